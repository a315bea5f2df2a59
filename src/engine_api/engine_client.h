// How the engine presents itself to a server. It is no part of the call table, yet both the
// engine and whatever hands one of its downloads to another downloader need it, so it lives
// beside the ABI rather than in either of them.
#pragma once

namespace sf {

// The User-Agent line the engine sends with every request. Whatever hands a download to
// another downloader sends the same, so the server sees the same client.
inline constexpr char kEngineUserAgent[] = "ShareFetch/0.1";

}  // namespace sf
