#include "cli/terminal_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <iostream>

#include "base/encoding.h"
#include "base/text.h"

namespace sf::cli {

std::ostream& Say(std::ostream& to) {
  return to << "sharefetch-cli: ";
}

namespace {

std::string PictureExtension(const std::string& bytes) {
  if (bytes.rfind("\x89PNG", 0) == 0) return ".png";
  if (bytes.rfind("\xFF\xD8", 0) == 0) return ".jpg";
  return ".img";
}

}  // namespace

std::string AbsoluteDirectory(const std::string& dir) {
  std::string out = dir;
  if (out.empty() || out[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
    out = out.empty() ? std::string(cwd) : std::string(cwd) + "/" + out;
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

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

namespace {

// The text as given, without the blanks around it: what GBK cannot hold stays in what is shown.
std::string_view TrimBlanks(std::string_view utf8) {
  size_t begin = utf8.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return utf8.substr(begin, utf8.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

std::string TextExcerpt(std::string_view utf8) {
  constexpr size_t kShownCharacters = 80;
  size_t end = 0;
  for (size_t shown = 0; end < utf8.size() && shown < kShownCharacters; ++shown) {
    ++end;
    // A character's continuation bytes stay with it.
    while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) ++end;
  }
  return end < utf8.size() ? std::string(utf8.substr(0, end)) + "…" : std::string(utf8);
}

std::vector<PastedShare> SharesInText(const std::string& utf8, const std::string& host,
                                      std::string* problem, bool wordAsIs) {
  const std::string gbk = TrimSpaces(Utf8ToGbk(utf8));
  const std::string text = GbkToUtf8(gbk);
  std::vector<PastedShare> shares = ReadShareText(gbk, host);
  for (PastedShare& s : shares) {
    s.link = GbkToUtf8(s.link);
    s.code = GbkToUtf8(s.code);
  }
  if (!shares.empty()) return shares;
  if (text.empty())
    *problem = "empty SHARE";
  else if (HasControlCharacters(text))
    *problem = "SHARE holds a control character and no share link";
  else if (!wordAsIs || text.find_first_of(" \t") != std::string::npos)
    *problem = "no share link on " + host + " in \"" + TextExcerpt(TrimBlanks(utf8)) + "\"";
  else
    return {{text, ""}};
  return {};
}

}  // namespace sf::cli
