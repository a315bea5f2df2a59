// Turning the name a caller asked for into one that is safe to create inside the chosen
// directory, and the numbered names tried when it is taken.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "base/file_names.h"
#include "engine_api/engine_api.h"

namespace sf::engine {

// Suffixes of the two files kept beside a target while it downloads; the programs know them too.
inline constexpr std::string_view kPartSuffix = layout::kPartSuffix;
inline constexpr std::string_view kControlSuffix = layout::kControlSuffix;
// Added to the control file's name for its temporary file (mkstemp fills in the X's).
inline constexpr std::string_view kTempSuffixPattern = ".XXXXXX";

// Bytes SafeFileName leaves free under the limit: a " (99999)" counter and our longest
// suffix, the control file's temporary name.
inline constexpr size_t kNameReserve =
    8 + std::max(kPartSuffix.size(), kControlSuffix.size() + kTempSuffixPattern.size());
// Callers outside the engine plan names that the engine will keep as they are.
static_assert(kNameReserve == kEngineNameReserve);

// A single path component made by MakeFileName, the maker the programs plan names with, so
// that a name they planned is saved as it is: separators and control characters become "_",
// a name of only dots becomes "_" and the empty name "download", and the name is shortened
// (keeping a short extension, never splitting a UTF-8 character, never ending in a blank or
// a dot after the cut) so that it and kNameReserve fit in `maxBytes`, the file system's name
// limit (when that leaves at least 16 bytes).
std::string SafeFileName(std::string_view utf8, size_t maxBytes = 255);

using sf::NumberedName;

}  // namespace sf::engine
