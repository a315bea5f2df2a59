// File names as the file system limits them: shortening a UTF-8 name to a byte limit
// without losing what tells its type, cleaning a name that came from elsewhere into one path
// component, and the numbered names tried when a name is taken.
#pragma once

#include <string>
#include <string_view>

namespace sf {

// What the download engine keeps free under the file system's name limit for a " (99999)"
// counter and the suffixes of the files it keeps beside a download: a name that leaves this
// much room is saved as it is.
inline constexpr size_t kEngineNameReserve = 21;

// Where the extension of `name` starts (its last "."), or name.size() when it has none; a
// leading dot starts a hidden name, not an extension.
size_t FileNameExtensionStart(std::string_view name);

// `name` cut to at most `maxBytes` bytes (at least 1): the end of the stem goes, the extension
// stays when it is short, and no UTF-8 character is split (bytes that are not UTF-8 are cut
// where the limit falls). Blanks and dots the cut leaves at the stem's end go too ("_" when
// nothing is left of it). A name within the limit comes back unchanged.
std::string ShortenFileName(std::string_view name, size_t maxBytes);

// A name from outside made into text that can only be one path component: "/", "\\" and
// control characters (C0, DEL and C1) become "_", blanks at either end go, and the rest is
// shortened to `maxBytes`. Empty when nothing is left. Names of dots are left as they are.
std::string CleanNameSegment(std::string_view utf8, size_t maxBytes);

// The one maker of the names files are saved under: CleanNameSegment, and a name of only dots
// becomes "_". Empty when nothing is left, for the caller to choose a name. A name it made
// comes back unchanged, with this limit or any larger one; so does that name numbered with
// NumberedName, when the limit leaves room for the counter. What a plan reserves is thus
// exactly what the engine saves under.
std::string MakeFileName(std::string_view utf8, size_t maxBytes);

// "name (n).ext" for n >= 1; the name itself for n == 0.
std::string NumberedName(std::string_view name, int n);

}  // namespace sf
