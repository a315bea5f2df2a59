#include "data/regex_object.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "base/encoding.h"
#include "base/text.h"

namespace sf {
namespace {

constexpr std::string_view kQuoteMarker = "#\xD2\xFD\xBA\xC5";  // "#引号" in GBK

// A guard against patterns that backtrack without end on hostile input.
constexpr uint32_t kMatchLimit = 5'000'000;

struct CodeDeleter {
  void operator()(pcre2_code* c) const { pcre2_code_free(c); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
};
struct CompileContextDeleter {
  void operator()(pcre2_compile_context* c) const { pcre2_compile_context_free(c); }
};
struct MatchContextDeleter {
  void operator()(pcre2_match_context* c) const { pcre2_match_context_free(c); }
};

size_t NextCharEnd(const std::string& utf8, size_t pos) {
  if (pos >= utf8.size()) return pos + 1;
  ++pos;
  while (pos < utf8.size() && (static_cast<unsigned char>(utf8[pos]) & 0xC0) == 0x80) ++pos;
  return pos;
}

}  // namespace

bool RegexObject::Create(std::string_view pattern, std::string_view subject, bool caseSensitive,
                         bool multiLine, bool global, bool quoteEscape) {
  run_.reset();
  auto run = std::make_shared<Run>();
  run->pattern = quoteEscape ? ReplaceAll(pattern, kQuoteMarker, "\"") : std::string(pattern);
  run->subject = std::string(subject);
  run->global = global;

  std::string pattern8 = GbkToUtf8(run->pattern);
  std::unique_ptr<pcre2_compile_context, CompileContextDeleter> cctx(
      pcre2_compile_context_create(nullptr));
  if (!cctx) return false;
  // Both CR and LF end a line, so "." never crosses either and "^"/"$" see both.
  pcre2_set_newline(cctx.get(), PCRE2_NEWLINE_ANYCRLF);
  uint32_t options = PCRE2_UTF | PCRE2_ALT_BSUX | PCRE2_MATCH_UNSET_BACKREF |
                     PCRE2_ALLOW_EMPTY_CLASS | PCRE2_DOLLAR_ENDONLY;
  if (!caseSensitive) options |= PCRE2_CASELESS;
  if (multiLine) options |= PCRE2_MULTILINE;
  int error = 0;
  PCRE2_SIZE errorOffset = 0;
  std::unique_ptr<pcre2_code, CodeDeleter> code(
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern8.data()), pattern8.size(), options, &error,
                    &errorOffset, cctx.get()));
  if (!code) return false;

  std::vector<size_t> offsets;
  std::string subject8 = GbkToUtf8WithOffsets(run->subject, &offsets);
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> md(
      pcre2_match_data_create_from_pattern(code.get(), nullptr));
  std::unique_ptr<pcre2_match_context, MatchContextDeleter> mctx(
      pcre2_match_context_create(nullptr));
  if (!md || !mctx) return false;
  pcre2_set_match_limit(mctx.get(), kMatchLimit);

  uint32_t groupCount = 0;
  pcre2_pattern_info(code.get(), PCRE2_INFO_CAPTURECOUNT, &groupCount);
  auto toGbk = [&](PCRE2_SIZE at) {
    return static_cast<long>(offsets[std::min(at, subject8.size())]);
  };

  size_t start = 0;
  while (start <= subject8.size()) {
    int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(subject8.data()), subject8.size(),
                         start, 0, md.get(), mctx.get());
    if (rc < 0) break;  // no further match, or a resource limit: keep what was found
    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
    Match m;
    m.whole = {toGbk(std::min(ov[0], ov[1])), toGbk(ov[1])};
    m.groups.resize(groupCount);
    for (uint32_t g = 1; g <= groupCount; ++g) {
      if (static_cast<int>(g) < rc && ov[2 * g] != PCRE2_UNSET)
        m.groups[g - 1] = {toGbk(ov[2 * g]), toGbk(ov[2 * g + 1])};
    }
    run->matches.push_back(std::move(m));
    if (!global) break;
    // An empty match moves on by one character, as the scripting engines do.
    start = ov[1] > ov[0] ? ov[1] : NextCharEnd(subject8, ov[1]);
  }
  run_ = std::move(run);
  return true;
}

std::string RegexObject::GetPattern() const {
  return run_ ? run_->pattern : std::string();
}

int RegexObject::MatchCount() const {
  return run_ ? static_cast<int>(run_->matches.size()) : 0;
}

int RegexObject::SubMatchCount() const {
  if (!run_ || run_->matches.empty()) return 0;
  return static_cast<int>(run_->matches.front().groups.size());
}

std::string RegexObject::SpanText(const Span& span) const {
  if (span.begin < 0) return {};
  return run_->subject.substr(static_cast<size_t>(span.begin),
                              static_cast<size_t>(span.end - span.begin));
}

std::string RegexObject::GetMatch(int index, int* position) const {
  if (position) *position = -1;
  if (!run_ || index < 1 || index > MatchCount()) return {};
  const Span& s = run_->matches[static_cast<size_t>(index) - 1].whole;
  if (position) *position = static_cast<int>(s.begin);
  return SpanText(s);
}

std::string RegexObject::GetSubMatch(int index, int group, int* position) const {
  if (position) *position = -1;
  if (!run_ || index < 1 || index > MatchCount()) return {};
  const Match& m = run_->matches[static_cast<size_t>(index) - 1];
  if (group < 1 || group > static_cast<int>(m.groups.size())) return {};
  const Span& s = m.groups[static_cast<size_t>(group) - 1];
  if (position) *position = static_cast<int>(s.begin);
  return SpanText(s);
}

std::string RegexObject::Replace(std::string_view replacement) const {
  if (!run_) return {};
  const std::string& subject = run_->subject;
  std::string out;
  size_t copied = 0;
  for (const Match& m : run_->matches) {
    auto begin = static_cast<size_t>(m.whole.begin);
    auto end = static_cast<size_t>(m.whole.end);
    out.append(subject, copied, begin - copied);
    for (size_t i = 0; i < replacement.size(); ++i) {
      char c = replacement[i];
      if (c != '$' || i + 1 >= replacement.size()) {
        out += c;
        continue;
      }
      char n = replacement[i + 1];
      if (n == '$') {
        out += '$';
        ++i;
      } else if (n == '&') {
        out.append(subject, begin, end - begin);
        ++i;
      } else if (n == '`') {
        out.append(subject, 0, begin);
        ++i;
      } else if (n == '\'') {
        out.append(subject, end, std::string::npos);
        ++i;
      } else if (n >= '0' && n <= '9') {
        // Two digits when they name a group, else one; "$0" and unknown groups stay literal.
        size_t groups = m.groups.size();
        size_t one = static_cast<size_t>(n - '0');
        size_t two =
            (i + 2 < replacement.size() && replacement[i + 2] >= '0' && replacement[i + 2] <= '9')
                ? one * 10 + static_cast<size_t>(replacement[i + 2] - '0')
                : 0;
        if (two >= 1 && two <= groups) {
          out += SpanText(m.groups[two - 1]);
          i += 2;
        } else if (one >= 1 && one <= groups) {
          out += SpanText(m.groups[one - 1]);
          ++i;
        } else {
          out += c;
        }
      } else {
        out += c;
      }
    }
    copied = end;
  }
  out.append(subject, copied, std::string::npos);
  return out;
}

}  // namespace sf
