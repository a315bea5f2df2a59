// Conversions between our internal GBK text and the encodings at the edges (UTF-8 for the
// terminal, the window and the file system; UTF-16LE for the engine records and the HTTP
// layer). The GBK side is handled as GB18030: byte-identical to GBK on every GBK character,
// and able to hold the characters GBK lacks (an emoji in a file name) instead of turning
// them into "?".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sf {

std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);
std::u16string GbkToUtf16(std::string_view gbk);
std::string Utf16ToGbk(std::u16string_view utf16);
std::string Utf16ToUtf8(std::u16string_view utf16);
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16LE bytes (no terminator) and back; for byte-exact records.
std::string Utf16ToBytes(std::u16string_view utf16);
std::u16string BytesToUtf16(std::string_view bytes);

// Converts `bytes` from the character set named `from` into GBK. Bytes that are not valid in
// `from` become "?". Gives nothing when `from` is not a character set we know.
std::optional<std::string> DecodeToGbk(std::string_view bytes, std::string_view from);

bool IsValidUtf8(std::string_view bytes);

}  // namespace sf

namespace sf {

// GBK to UTF-8 one character at a time, recording for every UTF-8 character start the byte
// offset of the GBK character it came from (`offsets` gets utf8.size() + 1 entries; bytes
// inside a character map to that character's start). Lets a matcher that works on
// characters report positions in the GBK text.
std::string GbkToUtf8WithOffsets(std::string_view gbk, std::vector<size_t>* offsets);

}  // namespace sf
