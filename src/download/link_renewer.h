// How a download whose link a server refused gets a fresh one from its share, and the ways of
// renewing that do not need a window: through the driver that resolved the share, held until
// the resolution ends, or after taking a live display off the screen. The window's own (on its
// worker) live in src/app.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "share/share_session.h"

namespace sf {

class ResolveDriver;

// Asks the share for a fresh link of one file. `done` gets the link (GBK), or "" and why
// (UTF-8); at once or later, but always on the owner's thread, and at most once.
class LinkRenewer {
 public:
  using Answer = std::function<void(const std::string& link, const std::string& why)>;
  virtual ~LinkRenewer() = default;
  virtual void Renew(const FileEntry& entry, Answer done) = 0;
};

// Renews on the calling thread, through the driver that resolved the share: the terminal's. A
// renewal given up through the session's cancel flag is not answered.
class DriverRenewer : public LinkRenewer {
 public:
  DriverRenewer(ResolveDriver& driver, ShareSession& session, std::string shareUrl)
      : driver_(driver), session_(session), shareUrl_(std::move(shareUrl)) {}
  void Renew(const FileEntry& entry, Answer done) override;

 private:
  ResolveDriver& driver_;
  ShareSession& session_;
  std::string shareUrl_;
};

// Holds the fresh links files ask for while the share's later links are still being asked for:
// the session serves one resolution at a time, and the share sees its link requests in the
// order of a resolution alone. They are asked for, in order, once the resolution has ended.
class AfterResolution : public LinkRenewer {
 public:
  explicit AfterResolution(std::shared_ptr<LinkRenewer> renewer) : renewer_(std::move(renewer)) {}
  void Renew(const FileEntry& entry, Answer done) override {
    if (!resolving_) return renewer_->Renew(entry, std::move(done));
    held_.push_back({entry, std::move(done)});
  }
  void Release() {
    resolving_ = false;
    std::vector<std::pair<FileEntry, Answer>> held;
    held.swap(held_);
    for (auto& [entry, done] : held) renewer_->Renew(entry, std::move(done));
  }

 private:
  std::shared_ptr<LinkRenewer> renewer_;
  bool resolving_ = true;
  std::vector<std::pair<FileEntry, Answer>> held_;
};

// A renewer that takes the live display off the screen first: the renewal may prompt.
class ClearingRenewer : public LinkRenewer {
 public:
  ClearingRenewer(std::shared_ptr<LinkRenewer> inner, std::function<void()> clear)
      : inner_(std::move(inner)), clear_(std::move(clear)) {}
  void Renew(const FileEntry& entry, Answer done) override {
    clear_();
    inner_->Renew(entry, std::move(done));
  }

 private:
  std::shared_ptr<LinkRenewer> inner_;
  std::function<void()> clear_;
};

}  // namespace sf
