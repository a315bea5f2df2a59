#include "sandbox.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <system_error>

namespace sf::test {

namespace {

// The running test's name, made safe for a file name; "" outside a GoogleTest test (Qt Test).
std::string TestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "";
  for (char& c : name)
    if (c == '/' || c == ' ') c = '_';
  return name.substr(0, 120);
}

}  // namespace

Sandbox::Sandbox() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / ("sf-" + TestName() + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category());
  path_ = pattern;
}

Sandbox::~Sandbox() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace sf::test
