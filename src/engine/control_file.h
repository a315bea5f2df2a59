// The small control file kept beside a partial download: the address without its query, the
// size, the ranges already on disk and the server's validators for that version of the file.
// It is always replaced whole, so a reader sees an old or a new version, never a mix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/http_response.h"
#include "engine/range_set.h"

namespace sf::engine {

struct ControlData {
  std::string url;    // written without its query; files of the first version hold it whole
  int64_t size = -1;  // -1: unknown
  RangeSet done;
  Validators validators;  // none in files of the first version
};

std::string FormatControl(const ControlData& data);
// Nothing for a file that is not a control file of ours or is damaged. Reads both versions.
std::optional<ControlData> ParseControl(std::string_view text);

// Writes `text` to `name` in the directory `dirFd` through a temporary file of a fresh name
// beside it and a rename, so a link planted at any name we write is replaced, never followed.
// Gives 0 or an errno value.
int WriteFileAtomically(int dirFd, const std::string& name, std::string_view text);
// Reads a whole small file (`name` in `dirFd`, or a path); nothing when it cannot be read, is a
// link or is larger than `limit`. `error`, when given, gets why: an errno value (ELOOP for a
// link, EFBIG for a file too large).
std::optional<std::string> ReadSmallFile(int dirFd, const std::string& name, size_t limit = 1 << 20,
                                         int* error = nullptr);
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit = 1 << 20);

}  // namespace sf::engine
