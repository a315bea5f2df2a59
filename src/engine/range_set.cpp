#include "engine/range_set.h"

#include <algorithm>
#include <charconv>

namespace sf::engine {

void RangeSet::Add(int64_t begin, int64_t end) {
  if (end <= begin) return;
  // Find the first range that ends at or after `begin` (touching ranges merge).
  auto it = std::lower_bound(ranges_.begin(), ranges_.end(), begin,
                             [](const ByteRange& r, int64_t b) { return r.end < b; });
  auto last = it;
  while (last != ranges_.end() && last->begin <= end) {
    begin = std::min(begin, last->begin);
    end = std::max(end, last->end);
    ++last;
  }
  it = ranges_.erase(it, last);
  ranges_.insert(it, ByteRange{begin, end});
}

int64_t RangeSet::Total() const {
  int64_t total = 0;
  for (const auto& r : ranges_) total += r.Length();
  return total;
}

bool RangeSet::Contains(int64_t begin, int64_t end) const {
  if (end <= begin) return true;
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), begin,
                             [](int64_t b, const ByteRange& r) { return b < r.end; });
  return it != ranges_.end() && it->begin <= begin && it->end >= end;
}

std::vector<ByteRange> RangeSet::Missing(int64_t size) const {
  std::vector<ByteRange> gaps;
  int64_t at = 0;
  for (const auto& r : ranges_) {
    if (r.begin >= size) break;
    if (r.begin > at) gaps.push_back({at, r.begin});
    at = std::max(at, r.end);
  }
  if (at < size) gaps.push_back({at, size});
  return gaps;
}

std::string RangeSet::Format() const {
  std::string out;
  for (const auto& r : ranges_) {
    if (!out.empty()) out += ' ';
    out += std::to_string(r.begin) + "-" + std::to_string(r.end);
  }
  return out;
}

std::optional<RangeSet> RangeSet::Parse(std::string_view text) {
  RangeSet set;
  int64_t lastEnd = -1;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  while (p < end) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    ByteRange r;
    auto a = std::from_chars(p, end, r.begin);
    if (a.ec != std::errc() || a.ptr == end || *a.ptr != '-') return std::nullopt;
    auto b = std::from_chars(a.ptr + 1, end, r.end);
    if (b.ec != std::errc() || (b.ptr != end && *b.ptr != ' ')) return std::nullopt;
    if (r.begin < 0 || r.end <= r.begin || r.begin <= lastEnd) return std::nullopt;
    set.ranges_.push_back(r);
    lastEnd = r.end;
    p = b.ptr;
  }
  return set;
}

std::vector<ByteRange> PlanSlices(const std::vector<ByteRange>& missing, int connections,
                                  int64_t minSlice) {
  int64_t total = 0;
  for (const auto& g : missing) total += g.Length();
  if (total == 0) return {};
  connections = std::max(connections, 1);
  int64_t target = std::max<int64_t>(minSlice, (total + connections - 1) / connections);
  std::vector<ByteRange> slices;
  for (const auto& g : missing) {
    int64_t pieces = std::max<int64_t>(1, (g.Length() + target / 2) / target);
    int64_t step = g.Length() / pieces;
    for (int64_t i = 0; i < pieces; ++i) {
      int64_t b = g.begin + i * step;
      slices.push_back({b, i + 1 == pieces ? g.end : b + step});
    }
  }
  // More gaps than connections: the longest go first; the rest wait for a free connection.
  std::stable_sort(slices.begin(), slices.end(),
                   [](const ByteRange& a, const ByteRange& b) { return a.Length() > b.Length(); });
  return slices;
}

std::optional<ByteRange> StealHalf(int64_t next, int64_t end, int64_t minSlice) {
  int64_t left = end - next;
  if (left < 2 * minSlice) return std::nullopt;
  int64_t mid = next + left / 2;
  return ByteRange{mid, end};
}

}  // namespace sf::engine
