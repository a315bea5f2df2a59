// Text helpers over GBK byte strings. Positions are 1-based and a failed search gives -1.
// Searches only match at character boundaries, so an ASCII marker never matches the trail
// byte of a double-byte character (GBK trail bytes overlap the ASCII range 0x40-0x7E).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sf {

// Length in bytes of the GBK (or GB18030) character starting at `p`, never more than `left`.
size_t GbkCharLength(const char* p, size_t left);

// 1-based position of `needle` in `text`, searching from the 1-based `start`; -1 when absent.
// With `caseInsensitive` only ASCII letters fold. An empty needle is found at `start`.
int FindText(std::string_view text, std::string_view needle, int start = 1,
             bool caseInsensitive = false);

// The text between the first `left` at or after `start` and the first `right` after it.
// Every "#引号" in either marker stands for a double quote. Missing marker: empty text.
std::string MiddleText(std::string_view text, std::string_view left, std::string_view right,
                       int start = 1, bool caseInsensitive = false);

// The part of `text` after the last `marker`; empty when the marker does not occur.
std::string TextAfterLast(std::string_view text, std::string_view marker);

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to,
                       bool caseInsensitive = false);

// Splits at every `separator`; an empty text gives one empty piece.
std::vector<std::string> SplitText(std::string_view text, std::string_view separator);

// Spaces are the ASCII space and the full-width space (bytes A1 A1).
std::string TrimSpaces(std::string_view text);
std::string RemoveSpaces(std::string_view text);

std::string ToLowerAscii(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

// True when `text` holds an ASCII control character (below 0x20, or DEL): a value that would
// break the line, the header or the file it is written into.
bool HasControlCharacters(std::string_view text);

// The whole number at the start of `text`: optional blanks, an optional sign, then decimal
// digits up to the first other character. No digits gives 0; overflow saturates.
int64_t ReadInteger(std::string_view text);

// ReadInteger clamped into the int range, for counts and codes.
int ReadInt(std::string_view text);

}  // namespace sf
