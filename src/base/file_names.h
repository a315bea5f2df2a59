// File names as the file system limits them: shortening a UTF-8 name to a byte limit
// without losing what tells its type.
#pragma once

#include <string>
#include <string_view>

namespace sf {

// Where the extension of `name` starts (its last "."), or name.size() when it has none; a
// leading dot starts a hidden name, not an extension.
size_t FileNameExtensionStart(std::string_view name);

// `name` cut to at most `maxBytes` bytes (at least 1): the end of the stem goes, the extension
// stays when it is short, and no UTF-8 character is split (bytes that are not UTF-8 are cut
// where the limit falls). A name within the limit comes back unchanged.
std::string ShortenFileName(std::string_view name, size_t maxBytes);

}  // namespace sf
