#pragma once

#include <optional>
#include <string>

#include "share_simulator.h"

namespace sf::cli {

// The answer to the captcha picture fetched last from `simulator`, for a prompt a test answers.
inline std::optional<std::string> LatestCaptchaAnswer(const sim::ShareSimulator& simulator) {
  std::string token;
  for (const auto& r : simulator.Requests())
    if (r.Path() == "/genimage") token = r.Query();
  return simulator.CaptchaAnswer(token);
}

}  // namespace sf::cli
