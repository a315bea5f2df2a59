// Texts on their way into a request: an address our download engine would ask for, and a
// header value that cannot start a header of its own. The engine and the code that hands its
// downloads to another downloader use the same rules, so both send the same bytes.
#pragma once

#include <string>
#include <string_view>

namespace sf {

// Percent-encodes bytes that may not appear raw in a URL (non-ASCII, blanks, controls), so a
// UTF-8 address typed or pasted with such characters still goes out as a valid request.
// Blanks at either end are dropped.
std::string EncodeUrl(std::string_view utf8);

// Percent-encodes blanks, controls, bytes outside ASCII and those in `alsoEncoded`, which a
// request line or a URL cannot carry raw.
std::string PercentEncodeBytes(std::string_view text, std::string_view alsoEncoded = {});

// The value without line breaks and zero bytes: they would end the header line early.
std::string HeaderSafe(std::string text);

}  // namespace sf
