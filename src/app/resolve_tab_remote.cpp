// ResolveTab's picked files handed to the remote downloader, and followed there afterwards.
#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <utility>

#include "app/qt_text.h"
#include "app/remote_dialog.h"
#include "app/resolve_tab.h"
#include "app/resolve_tab_parts.h"
#include "base/encoding.h"
#include "download/remote_share.h"
#include "net/json_rpc.h"
#include "share/resolve_driver.h"

namespace sf::app {

void ResolveTab::SetRemoteTarget(RemoteTarget target) {
  remoteTarget_ = std::move(target);
  menu_->findChild<QAction*>(QStringLiteral("发送到远程下载器"))
      ->setEnabled(static_cast<bool>(remoteTarget_.settings));
}

bool ResolveTab::following() const {
  for (const auto& f : following_)
    if (f->running()) return true;
  return false;
}

void ResolveTab::SendToRemote() {
  if (!parsed_ || !remoteTarget_.settings) return;
  if (remoteBridge_.running()) {
    showStatus_(Utf8ToGbk("正在发送到远程下载器，请稍候"));
    return;
  }
  std::vector<size_t> chosen = SelectedFiles();
  if (chosen.empty()) {
    showStatus_(Utf8ToGbk("没有选中要发送的文件"));
    return;
  }
  RemoteSettings remote = remoteTarget_.settings();
  if (remote.address.empty()) {
    showStatus_(Utf8ToGbk("请先填写远程下载器的地址"));
    if (remoteTarget_.configure) remoteTarget_.configure();
    return;
  }
  showStatus_(Utf8ToGbk("正在发送到远程下载器……"));
  auto handOff = std::make_shared<RemoteHandOff>();
  const std::string address = GbkToUtf8(remote.address), secret = GbkToUtf8(remote.secret);
  remoteBridge_.Start(
      [this, handOff, entries = parsed_->entries(), chosen, address, secret] {
        JsonRpcClient client(address);
        client.SetCancelFlag(remoteBridge_.cancelFlag());
        Aria2Remote aria2(client, secret);
        *handOff = HandOverShare(aria2, entries, chosen, std::string());
      },
      [this, handOff, entries = parsed_->entries(), renewer = parsedRenewer_, address, secret] {
        ShowHandOff(*handOff);
        Follow(*handOff, entries, renewer, address, secret);
      });
}

void ResolveTab::Follow(const RemoteHandOff& handOff, const std::vector<FileEntry>& entries,
                        std::shared_ptr<LinkRenewer> renewer, const std::string& address,
                        const std::string& secret) {
  if (!remoteTarget_.showFollowed) return;
  // Only the files it took are followed.
  std::vector<RemoteFile> taken;
  for (const RemoteFile& f : handOff.files)
    if (f.accepted()) taken.push_back(f);
  if (taken.empty()) return;
  std::vector<int> ids;
  for (const RemoteFile& f : taken) {
    auto [at, added] = remoteRows_.try_emplace(address + "\n" + f.RemotePath(), nextRemoteRow_);
    if (added) --nextRemoteRow_;
    ids.push_back(at->second);
  }
  // Those that ended have nothing more to show.
  following_.erase(std::remove_if(following_.begin(), following_.end(),
                                  [](const auto& f) { return !f->running(); }),
                   following_.end());
  auto following = std::make_unique<RemoteFollowing>(this);
  following->Start(address, secret, std::move(taken), std::move(ids), entries, std::move(renewer),
                   remoteTarget_.showFollowed);
  following_.push_back(std::move(following));
}

void ResolveTab::ShowHandOff(const RemoteHandOff& handOff) {
  const bool failed = handOff.failure.kind != RpcFailure::kNone;
  const std::string common = handOff.FailureText();
  QStringList left;
  for (const RemoteFile& f : handOff.files) {
    if (f.accepted()) continue;
    // The cause most files share is said once, below.
    std::string reason = handOff.Reason(f);
    left << QString::fromStdString(f.plan.sharePath) +
                (reason == common ? QString()
                                  : QStringLiteral("：") + QString::fromStdString(reason));
  }
  const qsizetype sent = static_cast<qsizetype>(handOff.files.size()) - left.size();
  if (left.isEmpty()) {
    showStatus_(ToGbk(QStringLiteral("已发送到远程下载器：%1个文件").arg(sent)));
    return;
  }
  showStatus_(
      ToGbk(QStringLiteral("发送到远程下载器：%1个已发送，%2个未发送").arg(sent).arg(left.size())));
  QString text = QStringLiteral("以下文件没有交给远程下载器：\n\n");
  constexpr qsizetype kShown = 20;
  text += left.mid(0, kShown).join(QStringLiteral("\n"));
  if (left.size() > kShown) text += QStringLiteral("\n……另有%1个").arg(left.size() - kShown);
  if (failed)
    text += QStringLiteral("\n\n原因：") + RemoteFailureText(handOff.failedMethod, handOff.failure);
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("发送到远程下载器"), text,
                              QMessageBox::Ok, window());
  box->setObjectName(QStringLiteral("发送结果"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextFormat(Qt::PlainText);  // names from the share are text, never markup
  box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
  box->open();
}

}  // namespace sf::app
