// The terminal's words of the downloads: a line per running file and the total line, in UTF-8,
// and the escaping every text from outside goes through before the terminal shows it.
#pragma once

#include <string>
#include <string_view>

#include "download/download_queue.h"
#include "view/size_text.h"

namespace sf {

// UTF-8 text from the service as the terminal is to show it: control characters and the
// characters that reverse the text's direction written visibly (\t, \n, \r, \x1b, \u009b,
// \u202e ...) and a backslash as \\, so that no name can move the cursor, recolour the
// screen, forge a row or pass for another, and what is shown still tells every name apart.
std::string EscapeForTerminal(std::string_view utf8);

// One running file: "NAME  1.5 MiB / 3.0 MiB   50.0%  512.0 KiB/s  0:03 left", or the name
// with "requesting...", "paused" or "waiting"; `showWhere`: a remote file's line ends with its
// downloader ("  NAME").
std::string FileLine(const DownloadItem& item, bool showWhere = false);
// The display's last line: "2/5 files, 12.0 MiB of 40.0 MiB, 3.2 MiB/s, 0:09 left".
std::string TotalLine(const DownloadTotals& totals);

}  // namespace sf
