// The small control file kept beside a partial download: the address, the size and the
// ranges already on disk. It is always replaced whole, so a reader sees an old or a new
// version, never a mix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/range_set.h"

namespace sf::engine {

struct ControlData {
  std::string url;
  int64_t size = -1;  // -1: unknown
  RangeSet done;
};

std::string FormatControl(const ControlData& data);
// Nothing for a file that is not a control file of ours or is damaged.
std::optional<ControlData> ParseControl(std::string_view text);

// Writes `text` to `path` through a temporary file and a rename. Gives 0 or an errno value.
int WriteFileAtomically(const std::string& path, std::string_view text);
// Reads a whole small file; nothing when it cannot be read or is larger than `limit`.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit = 1 << 20);

}  // namespace sf::engine
