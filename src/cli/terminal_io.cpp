#include "cli/terminal_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <iostream>

#include "base/encoding.h"
#include "base/text.h"

namespace sf::cli {
namespace {

std::string PictureExtension(const std::string& bytes) {
  if (bytes.rfind("\x89PNG", 0) == 0) return ".png";
  if (bytes.rfind("\xFF\xD8", 0) == 0) return ".jpg";
  return ".img";
}

}  // namespace

std::optional<std::string> ReadAnswer(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return TrimSpaces(Utf8ToGbk(line));
}

std::optional<std::string> AskLine(Streams io, const char* prompt, const char* blankMessage) {
  while (true) {
    io.err << prompt << std::flush;
    std::optional<std::string> answer = ReadAnswer(io.in);
    if (!answer) {
      io.err << "\n";
      return std::nullopt;
    }
    if (!answer->empty()) return answer;
    io.err << blankMessage << "\n";
  }
}

std::string SaveCaptchaPicture(Streams io, const std::string& bytes) {
  static std::atomic<int> counter{0};
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  // The temporary directory is shared: a name that already exists, or a link planted under
  // the next name, is passed over instead of written through.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::filesystem::path path = dir / ("sharefetch-captcha-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(++counter) + PictureExtension(bytes));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    bool written = fd >= 0;
    for (size_t done = 0; written && done < bytes.size();) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      written = n > 0;
      if (written) done += static_cast<size_t>(n);
    }
    if (fd >= 0) written = ::close(fd) == 0 && written;
    if (written) return path.string();
    if (fd >= 0) ::unlink(path.c_str());
    io.err << "验证码图片无法保存: " << path.string() << "\n";
    return {};
  }
  io.err << "验证码图片无法保存: " << dir.string() << "\n";
  return {};
}

}  // namespace sf::cli
