#pragma once

#include <functional>
#include <optional>
#include <streambuf>
#include <string>

namespace sf::cli {

// Standard input whose lines are made when the command reads them, so a test can answer a
// captcha it has not seen yet.
class LazyInput : public std::streambuf {
 public:
  explicit LazyInput(std::function<std::optional<std::string>()> next) : next_(std::move(next)) {}

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
  std::function<std::optional<std::string>()> next_;
  std::string buffer_;
};

}  // namespace sf::cli
