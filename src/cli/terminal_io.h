// What the terminal commands share: their three streams, reading an answer line, and saving a
// captcha picture where the user can open it.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

namespace sf::cli {

// The program's three streams; tests run commands in-process with their own.
struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// One line of input in GBK, trimmed; nothing at the end of input.
std::optional<std::string> ReadAnswer(std::istream& in);

// Writes `prompt` on the error stream and reads answers until one is not blank, writing
// `blankMessage` after each blank one. Nothing at the end of input.
std::optional<std::string> AskLine(Streams io, const char* prompt, const char* blankMessage);

// Saves picture bytes to a new file in the temporary directory (never one that exists already)
// and returns its path; "" (with a message on the error stream) when it cannot be written.
std::string SaveCaptchaPicture(Streams io, const std::string& bytes);

}  // namespace sf::cli
