// One regular expression run over one subject, then questions about the result. The syntax
// and options are those of the scripting regex object our page scans were written for:
// JavaScript-style patterns, "." never matching a line break, case ignored, multi-line and
// global by default. Matching works on characters; positions come back as 0-based byte
// offsets in the GBK subject.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sf {

class RegexObject {
 public:
  // Runs `pattern` over `subject`; true when the pattern compiled (also with no match).
  // With `quoteEscape`, every "#引号" in the pattern stands for a double quote.
  bool Create(std::string_view pattern, std::string_view subject, bool caseSensitive = false,
              bool multiLine = true, bool global = true, bool quoteEscape = false);

  std::string GetPattern() const;

  // The kept subject with the matches replaced (all of them when global, else the first).
  // "$1".."$99", "$&", "$`", "$'" and "$$" work as in JavaScript.
  std::string Replace(std::string_view replacement) const;

  int MatchCount() const;
  int SubMatchCount() const;

  // Texts of match `index` (1-based) and of its group `group` (1-based); empty when out of
  // range. `position` receives the 0-based byte offset, or -1 when there is none.
  std::string GetMatch(int index, int* position = nullptr) const;
  std::string GetSubMatch(int index, int group, int* position = nullptr) const;

 private:
  struct Span {
    long begin = -1;  // byte offsets into the GBK subject; -1 for a group that did not take part
    long end = -1;
  };
  struct Match {
    Span whole;
    std::vector<Span> groups;
  };
  struct Run {
    std::string pattern;
    std::string subject;
    bool global = true;
    std::vector<Match> matches;
  };

  std::string SpanText(const Span& span) const;

  // Copies share the result of the last run, as copies of the scripting object did.
  std::shared_ptr<const Run> run_;
};

}  // namespace sf
