#include "view/terminal_text.h"

#include <cstdio>

#include "base/encoding.h"
#include "view/download_list.h"

namespace sf {

std::string EscapeForTerminal(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto hex = [](unsigned char c) { return std::string{kHex[c >> 4], kHex[c & 15]}; };
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    auto third = i + 2 < utf8.size() ? static_cast<unsigned char>(utf8[i + 2]) : 0;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t' || c == '\n' || c == '\r') {
      out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x" + hex(c);
    } else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {
      // U+0080 to U+009F: terminals take some of them (such as U+009B) as escapes too.
      out += "\\u00" + hex(next);
      ++i;
    } else if (c == 0xE2 && ((next == 0x80 && third >= 0xAA && third <= 0xAE) ||
                             (next == 0x81 && third >= 0xA6 && third <= 0xA9))) {
      // U+202A to U+202E and U+2066 to U+2069 turn the text after them around: "photo",
      // U+202E, "gpj.exe" would show as a picture's name.
      out += "\\u20" + hex(static_cast<unsigned char>(((next & 0x03) << 6) | (third & 0x3F)));
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Names may come from a share service: shown escaped.
std::string FileLine(const DownloadItem& item, bool showWhere) {
  std::string where = showWhere && !item.where.empty()
                          ? "  " + EscapeForTerminal(GbkToUtf8(item.where))
                          : std::string();
  std::string line = EscapeForTerminal(GbkToUtf8(item.Name())) + "  ";
  switch (item.status) {
    case DownloadStatus::kRequesting:
      return line + "requesting..." + where;
    case DownloadStatus::kPaused:
      return line + "paused" + where;
    case DownloadStatus::kQueued:
      return line + "waiting" + where;
    default:
      break;
  }
  int64_t size = item.KnownSize();
  char pct[16];
  std::snprintf(pct, sizeof pct, "%5.1f%%", static_cast<double>(item.progress) * 100.0);
  line += SizeText(item.done, SizeStyle::kTerminal) + " / " +
          (size >= 0 ? SizeText(size, SizeStyle::kTerminal) : std::string("?")) + "  " + pct +
          "  " + SizeText(item.speed, SizeStyle::kTerminal) + "/s";
  if (item.etaSeconds >= 0) line += "  " + DurationText(item.etaSeconds) + " left";
  return line + where;
}

std::string TotalLine(const DownloadTotals& t) {
  return std::to_string(t.filesDone) + "/" + std::to_string(t.files) + " files, " +
         SizeText(t.bytesDone, SizeStyle::kTerminal) + " of " +
         (t.allSizesKnown ? SizeText(t.bytesTotal, SizeStyle::kTerminal) : std::string("?")) +
         ", " + SizeText(t.speed, SizeStyle::kTerminal) + "/s, " +
         (t.etaSeconds >= 0 ? DurationText(t.etaSeconds) : std::string("--:--")) + " left";
}

}  // namespace sf
