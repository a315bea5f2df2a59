// A resolve view that keeps what it was shown, its texts in UTF-8.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "share/resolve_driver.h"

namespace sf::test {

class RecordingView : public ResolveView {
 public:
  std::vector<std::string> statuses;
  std::string title;
  std::vector<std::array<std::string, 4>> rows;  // number, name, size, address
  std::vector<MissingFolder> missing;

  void ShowStatus(const std::string& t) override { statuses.push_back(GbkToUtf8(t)); }
  void SetNameColumnTitle(const std::string& t) override { title = GbkToUtf8(t); }
  void AddRow(const std::array<std::string, 4>& r) override {
    rows.push_back({r[0], GbkToUtf8(r[1]), r[2], GbkToUtf8(r[3])});
  }
  void ShowMissingFolders(const std::vector<MissingFolder>& m) override { missing = m; }
};

}  // namespace sf::test
