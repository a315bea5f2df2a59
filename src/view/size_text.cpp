#include "view/size_text.h"

#include <cmath>
#include <cstdio>

namespace sf {

double RoundTo2(double v) {
  return std::round(v * 100.0) / 100.0;
}

std::string FormatNumber(const char* format, double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, v);
  return buffer;
}

namespace {

// A small file reads in bytes or KB: in MB it would be "0.00MB", as if nothing were there.
std::string WindowSizeText(int64_t bytes) {
  const auto b = static_cast<double>(bytes);
  if (b / 1024.0 - 1024.0 < -kUnitEpsilon) {
    if (b / 1024.0 - 1.0 < -kUnitEpsilon) return std::to_string(bytes) + "B";
    return FormatNumber("%.2f", RoundTo2(b / 1024.0)) + "KB";
  }
  double mib = b / 1048576.0;
  if (mib - 1024.0 >= -kUnitEpsilon) return FormatNumber("%.2f", RoundTo2(b / 1073741824.0)) + "GB";
  return FormatNumber("%.2f", RoundTo2(mib)) + "MB";
}

std::string TerminalSizeText(int64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return buf;
}

}  // namespace

std::string SizeText(int64_t bytes, SizeStyle style) {
  return style == SizeStyle::kTerminal ? TerminalSizeText(bytes) : WindowSizeText(bytes);
}

}  // namespace sf
