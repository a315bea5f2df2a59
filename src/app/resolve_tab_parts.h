// What the files of ResolveTab share: the tab's renewer with the renewals it
// leaves for the worker. Only those files include it.
#pragma once

#include <QPointer>
#include <memory>
#include <string>
#include <utility>

#include "app/controls.h"
#include "app/resolve_tab.h"
#include "share/resolve_driver.h"

namespace sf::app {

// A fresh link the downloads asked for, waiting for the worker.
struct ResolveTab::Renewal {
  std::shared_ptr<ResolveDriver> driver;
  std::string url;
  FileEntry entry;
  LinkRenewer::Answer done;
};

// The window's way of renewing a parse's links: on the tab's worker, with the parse's driver and
// so its prompts, the answer handed back on the window's thread.
class ResolveTab::Renewer : public LinkRenewer {
 public:
  Renewer(ResolveTab& tab, std::shared_ptr<ResolveDriver> driver, std::string url)
      : tab_(&tab), driver_(std::move(driver)), url_(std::move(url)) {}
  void Renew(const FileEntry& entry, Answer done) override {
    if (!tab_) return done({}, "no fresh link");
    tab_->waiting_.push_back({driver_, url_, entry, std::move(done)});
    tab_->RenewLinks();
  }
  // The address the parse resolved, known once it ended.
  void SetUrl(const std::string& url) { url_ = url; }

 private:
  QPointer<ResolveTab> tab_;
  std::shared_ptr<ResolveDriver> driver_;
  std::string url_;
};

}  // namespace sf::app
