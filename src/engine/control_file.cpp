#include "engine/control_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "engine/file_naming.h"

namespace sf::engine {
namespace {

constexpr std::string_view kMagic = "sharefetch-partial 2";
// Written by earlier versions: no validators, and the address with its query.
constexpr std::string_view kMagicFirst = "sharefetch-partial 1";

std::string OneLine(std::string_view text) {
  std::string out;
  for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
  return out;
}

std::optional<std::string_view> Line(std::string_view& text) {
  if (text.empty()) return std::nullopt;
  size_t nl = text.find('\n');
  if (nl == std::string_view::npos) return std::nullopt;  // a torn last line is damage
  std::string_view line = text.substr(0, nl);
  text.remove_prefix(nl + 1);
  return line;
}

std::optional<std::string_view> Value(std::string_view line, std::string_view key) {
  if (line.substr(0, key.size()) != key || line.size() < key.size() + 1 ||
      line[key.size()] != ' ') {
    if (line == key) return std::string_view();
    return std::nullopt;
  }
  return line.substr(key.size() + 1);
}

}  // namespace

std::string FormatControl(const ControlData& data) {
  return std::string(kMagic) + "\nurl " + OneLine(AddressWithoutQuery(data.url)) + "\nsize " +
         std::to_string(data.size) + "\ndone " + data.done.Format() + "\netag " +
         OneLine(data.validators.etag) + "\nmodified " + OneLine(data.validators.lastModified) +
         "\n";
}

std::optional<ControlData> ParseControl(std::string_view text) {
  auto magic = Line(text);
  if (!magic || (*magic != kMagic && *magic != kMagicFirst)) return std::nullopt;
  ControlData data;
  auto url = Line(text);
  auto size = Line(text);
  auto done = Line(text);
  if (!url || !size || !done) return std::nullopt;
  auto u = Value(*url, "url");
  auto s = Value(*size, "size");
  auto d = Value(*done, "done");
  if (!u || !s || !d) return std::nullopt;
  data.url = std::string(*u);
  auto r = std::from_chars(s->data(), s->data() + s->size(), data.size);
  if (r.ec != std::errc() || r.ptr != s->data() + s->size() || data.size < -1) return std::nullopt;
  auto ranges = RangeSet::Parse(*d);
  if (!ranges) return std::nullopt;
  if (data.size >= 0 && !ranges->Ranges().empty() && ranges->Ranges().back().end > data.size)
    return std::nullopt;
  data.done = std::move(*ranges);
  if (*magic == kMagic) {
    auto etag = Line(text);
    auto modified = Line(text);
    if (!etag || !modified) return std::nullopt;
    auto e = Value(*etag, "etag");
    auto m = Value(*modified, "modified");
    if (!e || !m || e->size() > kMaxValidatorLength || m->size() > kMaxValidatorLength)
      return std::nullopt;
    data.validators = {std::string(*e), std::string(*m)};
  }
  return data;
}

int WriteFileAtomically(int dirFd, const std::string& name, std::string_view text) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string tmp = name + std::string(kTempSuffixPattern);
  size_t first = tmp.size() - (kTempSuffixPattern.size() - 1);
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    unsigned char random[8];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return EIO;
    for (size_t i = first; i < tmp.size(); ++i)
      tmp[i] = kLetters[random[i - first] % (sizeof kLetters - 1)];
    fd = ::openat(dirFd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      ::close(fd);
      ::unlinkat(dirFd, tmp.c_str(), 0);
      return err;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 || ::renameat(dirFd, tmp.c_str(), dirFd, name.c_str()) != 0) {
    int err = errno;
    ::unlinkat(dirFd, tmp.c_str(), 0);
    return err;
  }
  return 0;
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
  return ReadSmallFile(AT_FDCWD, path, limit);
}

std::optional<std::string> ReadSmallFile(int dirFd, const std::string& name, size_t limit,
                                         int* error) {
  int ignored;
  int& err = error != nullptr ? *error : ignored;
  err = 0;
  int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return std::nullopt;
  }
  std::string out;
  char buf[4096];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > limit) {
      err = EFBIG;
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return out;
}

}  // namespace sf::engine
