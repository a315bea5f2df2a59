// ResolveTab's parse: the worker that resolves the share, the prompts and view it crosses to
// the window, the rows it hands over as folders are listed, and the stop.
#include <QLineEdit>
#include <QPushButton>
#include <utility>

#include "app/prompt_dialogs.h"
#include "app/qt_text.h"
#include "app/resolve_tab.h"
#include "app/resolve_tab_parts.h"
#include "base/encoding.h"
#include "base/text.h"
#include "base/timestamp.h"
#include "download/share_stream.h"
#include "share/resolve_driver.h"
#include "share/share_text.h"

namespace sf::app {

void ResolveTab::Parse() {
  if (bridge_.running()) return;
  // The title counts the rows of the last parse; until this one lists its own, it counts none.
  // The last parse's stream may be lent the list's rows: it goes first.
  stream_.reset();
  model_->Clear();
  parse_->setEnabled(false);
  stop_->setEnabled(true);
  stopped_ = false;
  FreshCancel();
  crossing_->StartProgress();
  listed_ = false;
  parsed_.reset();
  parsedSource_ = {};
  // A message typed or put in the box some other way is read as a pasted one.
  if (std::string box = ToGbk(url_->text()); box != pastedLink_) {
    std::vector<PastedShare> found = ReadShareText(box, session_->host());
    if (!found.empty() &&
        (found.size() > 1 || found.front().link != box || !found.front().code.empty()))
      TakeShareText(url_->text());
  }
  crossing_->SetFirstPassword(ToGbk(url_->text()) == pastedLink_ ? pastedCode_ : std::string());
  auto driver = std::make_shared<ResolveDriver>(*session_, *crossing_, *crossing_);
  // The address is filled in once the parse ends, before the stream lets a renewal through.
  auto renewer = std::make_shared<Renewer>(*this, driver, std::string());
  parsedRenewer_ = renewer;
  if (downloads_) {
    stream_ = std::make_unique<ShareStream>(*downloads_, renewer);
    parsedRenewer_ = stream_->renewer();
  }
  // The rows cross as the share's folders are listed, a batch at a time.
  driver->SetListingListener(
      [this](const std::vector<FileEntry>& entries) { crossing_->Listed(entries, false); });
  // Each link crosses as it comes. The listing is whole by the first, and crosses before it:
  // the list's rows, which take each link as it comes, are the listing the shares opened
  // meanwhile are planned on, not a copy of a share's every entry.
  driver->SetLinkListener([this, d = driver.get(), first = true](size_t entry) mutable {
    if (std::exchange(first, false))
      crossing_->Listed(d->entries(), true);  // the rows not sent yet, before any link
    bridge_.Post([this, entry, link = d->entries()[entry].dlink]() mutable {
      listed_ = true;
      model_->SetLink(entry, link);
      if (stream_ && !stream_->listing() && !model_->running().empty())
        stream_->LendListing(model_->running());
      if (stream_) stream_->Link(entry, std::move(link));
    });
    crossing_->Linked();
    return true;
  });
  bridge_.Start(
      [this, driver] { driver->Run([this] { return crossing_->ReadUrl(); }); },
      [this, driver, renewer] {
        parse_->setEnabled(true);
        stop_->setEnabled(false);
        parsed_ = driver;
        // The list's rows, lent to the stream, go: the parse's own entries are the listing,
        // unchanged from now on, so the shares opened later plan on them instead of a copy and
        // keep the driver for as long as they do.
        if (stream_)
          stream_->ShareListing(
              std::shared_ptr<const std::vector<FileEntry>>(driver, &driver->entries()));
        model_->Finish(driver);
        if (!crossing_->title().empty())
          model_->setHeaderData(1, Qt::Horizontal, FromGbk(crossing_->title()));
        // Given up by the user: the driver says nothing of it, the list is what was
        // found, its files without a link marked so.
        if (stopped_)
          showStatus_(
              ToGbk(QStringLiteral("解析已停止：已找到%1个文件，%2个文件夹，%3个文件未取得下载地址")
                        .arg(model_->files())
                        .arg(model_->folders())
                        .arg(model_->files() - model_->links())));
        listed_ = false;
        const std::string& url = crossing_->lastUrl();
        renewer->SetUrl(url);
        // A session that passed the share before asks no password; the pasted code
        // is still the share's.
        std::string code = crossing_->lastPassword();
        if (code.empty() && url == pastedLink_) code = pastedCode_;
        parsedSource_ = {url, code};
        // No more links come: the shares opened meanwhile are closed and the renewals
        // held go to the worker, now free, in their order. Later shares are queued whole.
        if (stream_) stream_->End(parsedSource_);
        RenewLinks();  // those other shares asked for while the parse ran
      });
}

std::string ResolveTab::AskPassword(bool wrong) {
  PasswordDialog dialog(window());
  if (wrong) dialog.SayWrong();
  prompt_ = &dialog;
  dialog.exec();
  return dialog.answer();
}

std::string ResolveTab::AskCaptcha(ShareSession& session, int reason) {
  CaptchaDialog dialog(session, reason, window());
  prompt_ = &dialog;
  dialog.exec();
  return dialog.answer();
}

void ResolveTab::StopParse() {
  if (!bridge_.running() || stopped_ || !stop_->isEnabled()) return;
  stopped_ = true;
  stop_->setEnabled(false);
  showStatus_(Utf8ToGbk("正在停止解析……"));
  cancel_.Raise();
}

void ResolveTab::FreshCancel() {
  if (!cancel_.raised()) return;
  cancel_ = CancelFlag();
  session_->SetCancelFlag(cancel_);
}

}  // namespace sf::app
