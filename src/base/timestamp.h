#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace sf {

// Whole seconds from the local date-time 1970-01-01 08:00:00 to `local`, then `milliseconds`
// as three digits. On a clock set to UTC+8 this is the Unix time in milliseconds, which is
// what the share service expects; elsewhere it is off by the zone difference, as intended.
std::string TimestampTextAt(const std::tm& local, int milliseconds);

// The same for the current local time.
std::string TimestampText();

// Milliseconds on the steady clock: what the download owner's Tick and a follower's Poll take,
// so that a change of the wall clock never makes a wait look over or endless.
int64_t NowMs();

}  // namespace sf
