// The share service's `logid` value and the random digits it is made of. Both the share
// session and the quick mode stamp their requests with it.
#pragma once

#include <string>

namespace sf {

// `count` random decimal digits (19 when `count` is 0 or less).
std::string RandomDigitText(int count = 19);

// Base64 of the 13-digit timestamp of now, ".", and `digits`.
std::string LogIdWithDigits(const std::string& digits);

// A log id with 19 random digits.
std::string NewLogId();

}  // namespace sf
