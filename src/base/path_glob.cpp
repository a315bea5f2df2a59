#include "base/path_glob.h"

#include <cstdint>
#include <vector>

namespace sf {
namespace {

// Backtracking over "*" and "**" is exponential in the worst case; remembering each
// (pattern position, path position) pair already tried keeps it to their product.
class Matcher {
 public:
  Matcher(std::string_view p, std::string_view t)
      : p_(p), t_(t), memo_((p.size() + 1) * (t.size() + 1), kUnknown) {}

  bool Match(size_t pi, size_t ti) {
    int8_t& known = memo_[pi * (t_.size() + 1) + ti];
    if (known == kUnknown) known = Step(pi, ti) ? kYes : kNo;
    return known == kYes;
  }

 private:
  static constexpr int8_t kUnknown = -1, kNo = 0, kYes = 1;

  bool Step(size_t pi, size_t ti) {
    if (pi == p_.size()) return ti == t_.size();
    char c = p_[pi];
    if (c == '*' && pi + 1 < p_.size() && p_[pi + 1] == '*') {
      size_t after = pi + 2;
      bool wholeSegment = (pi == 0 || p_[pi - 1] == '/') && after < p_.size() && p_[after] == '/';
      if (wholeSegment) {
        // "**/": no folder, or any run of whole folders.
        if (Match(after + 1, ti)) return true;
        for (size_t k = ti; k < t_.size(); ++k)
          if (t_[k] == '/' && Match(after + 1, k + 1)) return true;
        return false;
      }
      for (size_t k = ti; k <= t_.size(); ++k)
        if (Match(after, k)) return true;
      return false;
    }
    if (c == '*') {
      for (size_t k = ti; k <= t_.size(); ++k) {
        if (Match(pi + 1, k)) return true;
        if (k < t_.size() && t_[k] == '/') break;
      }
      return false;
    }
    if (ti == t_.size()) return false;
    if (c == '?') {
      if (t_[ti] == '/') return false;
      size_t next = ti + 1;
      while (next < t_.size() && (static_cast<unsigned char>(t_[next]) & 0xC0) == 0x80) ++next;
      return Match(pi + 1, next);
    }
    return c == t_[ti] && Match(pi + 1, ti + 1);
  }

  std::string_view p_, t_;
  std::vector<int8_t> memo_;
};

}  // namespace

bool GlobMatch(std::string_view pattern, std::string_view path) {
  return Matcher(pattern, path).Match(0, 0);
}

}  // namespace sf
