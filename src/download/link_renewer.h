// How a download whose link a server refused gets a fresh one from its share, and the ways of
// renewing that do not need a window: through the driver that resolved the share, or after
// taking a live display off the screen. Renewals held until a resolution ends are the share
// stream's (share_stream.h); the window's own (on its worker) live in src/app.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

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
