// A byte count as each front-end shows it. The window's list and the terminal grew their own
// forms, which users and scripts now read: both stay as they are, chosen by the caller.
#pragma once

#include <cstdint>
#include <string>

namespace sf {

enum class SizeStyle {
  // "512B", "10.00KB", "1.50MB", "1.00GB": 1024-based, whole bytes below a KB, else two
  // decimals, each unit from 1024 of the one below on.
  kWindow,
  // "512 B", "1.5 MiB": 1024-based, whole bytes below a KiB, else one decimal, up to TiB.
  kTerminal,
};

std::string SizeText(int64_t bytes, SizeStyle style);

// What the window's figures are made of. A comparison against a unit boundary allows for the
// error of the division before it.
constexpr double kUnitEpsilon = 1e-7;
double RoundTo2(double v);
std::string FormatNumber(const char* format, double v);

}  // namespace sf
