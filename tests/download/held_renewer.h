// What the tests of a share's downloads share: a file entry as the share lists it, and a renewer
// that keeps each question for the test to answer when it says, as the window's worker does.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/encoding.h"
#include "download/link_renewer.h"

namespace sf::test {

// A file of the share (name UTF-8), with its link when it has one.
inline FileEntry ShareFileEntry(const std::string& name, const std::string& size,
                                const std::string& link = {}) {
  FileEntry e;
  e.isdir = "0";
  e.server_filename = Utf8ToGbk(name);
  e.size = size;
  e.dlink = link;
  return e;
}

class HeldRenewer : public LinkRenewer {
 public:
  void Renew(const FileEntry& entry, Answer done) override {
    asked.push_back(GbkToUtf8(entry.server_filename));
    answers.push_back(std::move(done));
  }
  std::vector<std::string> asked;  // the files' names, UTF-8, in the order asked
  std::vector<Answer> answers;
};

}  // namespace sf::test
