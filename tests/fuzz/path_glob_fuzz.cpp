// A glob and a path, split at the first zero byte. Short ones are checked against a plain
// recursive reading of the glob rules; any length must simply come back, and fast enough for
// the fuzzer's time-out.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/path_glob.h"

namespace {

// The rules as written, one (pattern, path) position at a time, remembered so that short
// inputs stay cheap however many stars they hold.
class Reference {
 public:
  Reference(std::string_view p, std::string_view t)
      : p_(p), t_(t), known_((p.size() + 1) * (t.size() + 1), -1) {}

  bool Match(size_t pi, size_t ti) {
    signed char& k = known_[pi * (t_.size() + 1) + ti];
    if (k < 0) k = Decide(pi, ti) ? 1 : 0;
    return k == 1;
  }

 private:
  bool Decide(size_t pi, size_t ti) {
    if (pi == p_.size()) return ti == t_.size();
    if (p_.substr(pi, 2) == "**") {
      bool folders = (pi == 0 || p_[pi - 1] == '/') && p_.substr(pi + 2, 1) == "/";
      if (folders) {
        if (Match(pi + 3, ti)) return true;
        for (size_t k = ti; k < t_.size(); ++k)
          if (t_[k] == '/' && Match(pi + 3, k + 1)) return true;
        return false;
      }
      for (size_t k = ti; k <= t_.size(); ++k)
        if (Match(pi + 2, k)) return true;
      return false;
    }
    if (p_[pi] == '*') {
      for (size_t k = ti; k <= t_.size() && (k == ti || t_[k - 1] != '/'); ++k)
        if (Match(pi + 1, k)) return true;
      return false;
    }
    if (ti == t_.size()) return false;
    if (p_[pi] == '?') {
      if (t_[ti] == '/') return false;
      size_t next = ti + 1;
      while (next < t_.size() && (static_cast<unsigned char>(t_[next]) & 0xC0) == 0x80) ++next;
      return Match(pi + 1, next);
    }
    return p_[pi] == t_[ti] && Match(pi + 1, ti + 1);
  }

  std::string_view p_, t_;
  std::vector<signed char> known_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t zero = input.find('\0');
  if (zero == std::string_view::npos) return 0;
  std::string_view pattern = input.substr(0, zero), path = input.substr(zero + 1);
  bool got = sf::GlobMatch(pattern, path);
  if (pattern.size() <= 64 && path.size() <= 256 && got != Reference(pattern, path).Match(0, 0))
    std::abort();
  return 0;
}
