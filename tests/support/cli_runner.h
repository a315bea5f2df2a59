// One terminal command run in this process: its arguments, the lines a user would type when it
// asks, and what it gave back.
#pragma once

#include <functional>
#include <istream>
#include <optional>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "cli/terminal_io.h"

namespace sf::test {

// What a command ended with: its exit code and all it wrote to each stream.
struct Outcome {
  int code;
  std::string out, err;
};

// The next line typed at a prompt; none: the input has ended.
using TypedLine = std::function<std::optional<std::string>()>;

// Standard input whose lines are made when the command reads them, so a test can answer a
// captcha it has not seen yet.
class LazyInput : public std::streambuf {
 public:
  explicit LazyInput(TypedLine next) : next_(std::move(next)) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    std::optional<std::string> line = next_();
    if (!line) return traits_type::eof();
    buffer_ = *line + "\n";
    setg(buffer_.data(), buffer_.data(), buffer_.data() + buffer_.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  TypedLine next_;
  std::string buffer_;
};

using Command = std::function<int(const std::vector<std::string>&, cli::Streams)>;

// Runs `command` with `args`; `input` answers its prompts (none: nothing is typed).
inline Outcome RunCommand(const Command& command, const std::vector<std::string>& args,
                          TypedLine input = {}) {
  if (!input) input = [] { return std::nullopt; };
  LazyInput buffer(std::move(input));
  std::istream in(&buffer);
  std::ostringstream out, err;
  int code = command(args, {in, out, err});
  return {code, out.str(), err.str()};
}

}  // namespace sf::test
