// What the terminal commands share: their three streams, reading an answer line, and saving a
// captcha picture where the user can open it.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "share/share_text.h"
#include "view/terminal_text.h"

namespace sf::cli {

// The program's three streams; tests run commands in-process with their own.
struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// Starts a line the program says for itself on `to` ("sharefetch-cli: "), the one place that
// names it so; the rest of the line follows on the stream given back.
std::ostream& Say(std::ostream& to);

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

// Pasted text (UTF-8) as a message shows it: its first 80 characters, then "…" when there is
// more. Raw: printed through EscapeForTerminal like any other text from outside.
std::string TextExcerpt(std::string_view utf8);

// The shares a SHARE text names (UTF-8), as ReadShareText finds them on `host`. When
// `wordAsIs`, a text that holds none of them but is one word without control characters (an
// address of some other form, typed as it is) is taken as it is; a line of an input file or a
// pasted message never is. Nothing, with `problem` set, for a text that names no share.
std::vector<PastedShare> SharesInText(const std::string& utf8, const std::string& host,
                                      std::string* problem, bool wordAsIs = true);

}  // namespace sf::cli
