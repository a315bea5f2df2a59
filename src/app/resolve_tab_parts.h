// What the files of ResolveTab share: the tab's renewer with the renewals it leaves for the
// worker, and the parse's prompts and view that cross from the worker to the window. Only those
// files include it.
#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <memory>
#include <string>
#include <utility>

#include "app/controls.h"
#include "app/prompt_dialogs.h"
#include "app/qt_text.h"
#include "app/resolve_tab.h"
#include "base/encoding.h"
#include "base/text.h"
#include "base/timestamp.h"
#include "share/resolve_driver.h"
#include "share/share_text.h"

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

// The driver's prompts and view on the worker's side: each call crosses to the window's thread.
class ResolveTab::Crossing : public ResolvePrompts, public ResolveView {
 public:
  explicit Crossing(ResolveTab& tab) : tab_(&tab), bridge_(tab.bridge_) {}

  std::string ReadUrl() {
    lastUrl_ = bridge_.Ask([tab = tab_] { return ToGbk(tab->url_->text()); });
    return lastUrl_;
  }
  // The address the last parse resolved; read once its worker has ended.
  const std::string& lastUrl() const { return lastUrl_; }
  // The password the last parse gave the service, kept with its downloads.
  const std::string& lastPassword() const { return lastPassword_; }
  // Set before a parse starts: answers its first password prompt without asking.
  void SetFirstPassword(std::string code) {
    firstPassword_ = std::move(code);
    passwordTried_ = false;
    lastPassword_.clear();
  }
  // The driver asks again only when the service refused the password it was given.
  std::string AskPassword() override {
    const bool wrong = std::exchange(passwordTried_, true);
    if (!firstPassword_.empty())
      lastPassword_ = std::exchange(firstPassword_, std::string());
    else
      lastPassword_ = bridge_.Ask([tab = tab_, wrong] { return tab->AskPassword(wrong); });
    return lastPassword_;
  }
  std::string AskCaptcha(ShareSession& session, int reason) override {
    return bridge_.Ask([tab = tab_, s = &session, reason] { return tab->AskCaptcha(*s, reason); });
  }
  void ShowStatus(const std::string& text) override {
    lastStatus_ = text;
    bridge_.Post([tab = tab_, text] { tab->showStatus_(text); });
  }
  // Beside the parse's own message, which stays; the whole text shows in the tooltip.
  void ShowMissingFolders(const std::vector<MissingFolder>& missing) override {
    ShowStatus(lastStatus_ + Utf8ToGbk("；") + MissingFoldersSummary(missing));
  }
  // The driver names the column once per row it lists; the last name stands, and is shown
  // when the parse ends.
  void SetNameColumnTitle(const std::string& title) override { title_ = title; }
  const std::string& title() const { return title_; }
  // The rows are the parse's entries themselves (ResultModel), not texts made of them.
  void AddRow(const std::array<std::string, 4>&) override {}

  // Set before a parse starts: nothing sent, nothing counted.
  void StartProgress() {
    sent_ = files_ = folders_ = links_ = 0;
    lastSent_ = 0;
    title_.clear();
  }
  // The entries the worker has listed so far: those the list lacks cross to it with the count
  // found, at most a few times a second unless `now`.
  void Listed(const std::vector<FileEntry>& entries, bool now) {
    if (sent_ >= entries.size() || (!now && NowMs() - lastSent_ < kProgressMs)) return;
    std::vector<FileEntry> more(entries.begin() + static_cast<std::ptrdiff_t>(sent_),
                                entries.end());
    sent_ = entries.size();
    for (const FileEntry& e : more) ++(e.isdir == "1" ? folders_ : files_);
    lastSent_ = NowMs();
    bridge_.Post([tab = tab_, more = std::move(more), status = ProgressText()]() mutable {
      tab->model_->Append(std::move(more));
      if (!tab->stopped_) tab->showStatus_(status);
    });
  }
  // A link came; the links that came show in the list and the count, a few times a second.
  void Linked() {
    ++links_;
    if (NowMs() - lastSent_ < kProgressMs) return;
    lastSent_ = NowMs();
    bridge_.Post([tab = tab_, status = ProgressText()] {
      tab->model_->Refresh();
      if (!tab->stopped_) tab->showStatus_(status);
    });
  }

 private:
  ResolveTab* tab_;  // touched only by calls that run on the window's thread
  WorkerBridge& bridge_;
  std::string lastUrl_;
  std::string firstPassword_;
  std::string lastPassword_;
  bool passwordTried_ = false;  // a password was given in this parse
  std::string lastStatus_;      // the worker's own
  std::string title_;

  static constexpr int64_t kProgressMs = 250;
  std::string ProgressText() const {
    std::string text = "正在解析：已找到" + std::to_string(files_) + "个文件，" +
                       std::to_string(folders_) + "个文件夹";
    if (links_ > 0) text += "，已取得" + std::to_string(links_) + "个下载地址";
    return Utf8ToGbk(text);
  }
  size_t sent_ = 0, files_ = 0, folders_ = 0, links_ = 0;
  int64_t lastSent_ = 0;
};

}  // namespace sf::app
