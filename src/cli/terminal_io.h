// What the terminal commands share: their three streams, reading an answer line, and saving a
// captcha picture where the user can open it.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "share/share_text.h"

namespace sf::cli {

// The program's three streams; tests run commands in-process with their own.
struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// UTF-8 text from the service as the terminal is to show it: control characters and the
// characters that reverse the text's direction written visibly (\t, \n, \r, \x1b, \u009b,
// \u202e ...) and a backslash as \\, so that no name can move the cursor, recolour the
// screen, forge a row or pass for another, and what is shown still tells every name apart.
std::string EscapeForTerminal(std::string_view utf8);

// A directory given on the command line made absolute against the current one (which an empty
// `dir` stands for), without a "/" at its end; empty when the current directory is unknown.
std::string AbsoluteDirectory(const std::string& dir);

// One line of input in GBK, trimmed; nothing at the end of input.
std::optional<std::string> ReadAnswer(std::istream& in);

// Writes `prompt` on the error stream and reads answers until one is not blank, writing
// `blankMessage` after each blank one. Nothing at the end of input.
std::optional<std::string> AskLine(Streams io, const char* prompt, const char* blankMessage);

// Saves picture bytes to a new file in the temporary directory (never one that exists already)
// and returns its path; "" (with a message on the error stream) when it cannot be written.
std::string SaveCaptchaPicture(Streams io, const std::string& bytes);

// An option with a value at args[i], "--name VALUE" or "--name=VALUE": 1 with the value in
// `value` (and `i` moved onto a separate value), 0 when args[i] is not this option, -1 when its
// value is missing.
int TakeOptionValue(const std::vector<std::string>& args, size_t& i, std::string_view name,
                    std::string* value);

// What the share commands are given: [--host URL] [--password TEXT] [--json] SHARE, where
// SHARE is whatever text the user copied: a link, a link with "?pwd=", the service's message.
struct ShareCommandArgs {
  std::string host;                     // the chosen share host
  std::optional<std::string> password;  // UTF-8, as typed
  std::string url;                      // the clean share link out of SHARE
  std::string code;                     // the extraction code SHARE held; empty when none
  std::vector<std::string> texts;       // with `manyShares`: every SHARE as given, UTF-8
  bool json = false;

  // What answers the first password prompt, in GBK: --password, else the code SHARE held.
  std::optional<std::string> FirstPassword() const;
};

// Parses the arguments of `command`. Gives the exit status when the command should end here
// (0 after --help, 2 with a clear message for wrong usage), nothing when `out` is filled.
// Values with control characters are refused: they would travel inside header lines. With
// `manyShares` every SHARE goes to `texts`, unread, and none at all is the caller's to judge.
std::optional<int> ParseShareCommandArgs(const std::vector<std::string>& args, const char* command,
                                         const char* usage, bool acceptJson, Streams io,
                                         ShareCommandArgs* out, bool manyShares = false);

// The shares a SHARE text names (UTF-8), as ReadShareText finds them on `host`; a text that
// holds none of them but is one word without control characters (an address of some other
// form) is taken as it is. Nothing, with `problem` set, for a text that names no share.
std::vector<PastedShare> SharesInText(const std::string& utf8, const std::string& host,
                                      std::string* problem);

}  // namespace sf::cli
