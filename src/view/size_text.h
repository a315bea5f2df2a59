// A byte count as each front-end shows it. The window's list and the terminal grew their own
// forms, which users and scripts now read: both stay as they are, chosen by the caller.
#pragma once

#include <cstdint>
#include <string>

namespace sf {

enum class SizeStyle {
  // "1.50MB", "1.00GB": 1024-based, two decimals, GB from 1024 MiB on.
  kWindow,
  // "512 B", "1.5 MiB": 1024-based, whole bytes below a KiB, else one decimal, up to TiB.
  kTerminal,
};

std::string SizeText(int64_t bytes, SizeStyle style);

}  // namespace sf
