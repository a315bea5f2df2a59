// The shares the share-level suites have in common, with the service's numbers their
// assertions name: a public share of two files and one behind a password.
#pragma once

#include <string>

namespace sf::test {

// A fixture of the common shares followed by `more` (a suite's own, a JSON list's items).
inline std::string CommonSharesAnd(const std::string& more) {
  return R"({
  "captchaFormat": "png",
  "shares": [
    {"id": "pub", "uk": 42, "shareid": 9001,
     "items": [{"name": "a.txt", "size": 10, "fs_id": 1234567890123456}, {"name": "报告.pdf", "size": 2048}]},
    {"id": "locked", "uk": 43, "shareid": 9002, "password": "ab12",
     "items": [{"name": "secret.zip", "size": 77, "fs_id": 5550001}]},
)" + more +
         R"(
  ]
})";
}

}  // namespace sf::test
