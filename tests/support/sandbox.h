// A fresh folder for one test, named after it so that a folder left by a crashed run says whose
// it was, and removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <string>

namespace sf::test {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace sf::test
