// Byte ranges of a file: which are on disk, and how the missing ones are shared out among
// connections.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sf::engine {

struct ByteRange {
  int64_t begin = 0;
  int64_t end = 0;  // exclusive
  int64_t Length() const { return end - begin; }
  bool operator==(const ByteRange&) const = default;
};

// A set of disjoint, non-adjacent half-open ranges kept in order.
class RangeSet {
 public:
  void Add(int64_t begin, int64_t end);
  void Clear() { ranges_.clear(); }
  int64_t Total() const;
  bool Contains(int64_t begin, int64_t end) const;
  const std::vector<ByteRange>& Ranges() const { return ranges_; }
  // The gaps in [0, size).
  std::vector<ByteRange> Missing(int64_t size) const;
  // "0-100 200-300"; Parse refuses anything else (and overlapping or unordered ranges).
  std::string Format() const;
  static std::optional<RangeSet> Parse(std::string_view text);

 private:
  std::vector<ByteRange> ranges_;
};

// Cuts the missing ranges into at most `connections` slices of about equal length, none
// shorter than `minSlice` unless a gap itself is shorter.
std::vector<ByteRange> PlanSlices(const std::vector<ByteRange>& missing, int connections,
                                  int64_t minSlice);

// The upper half of the slice [next, end) that a finished connection may take over, or
// nothing when what is left is too short to be worth a second connection.
std::optional<ByteRange> StealHalf(int64_t next, int64_t end, int64_t minSlice);

}  // namespace sf::engine
