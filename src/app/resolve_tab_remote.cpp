// ResolveTab's picked files handed to the remote downloader, which the downloads tab follows there
// afterwards.
#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
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
  return remoteTarget_.following && remoteTarget_.following();
}

void ResolveTab::SendToRemote() {
  if (!parsed_ || !remoteTarget_.settings || !remoteTarget_.send) return;
  if (sending_ > 0) {
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
  ++sending_;
  ShareOrder order;
  order.entries = parsed_->entries();
  order.chosen = std::move(chosen);
  order.renewer = parsedRenewer_;
  order.source = parsedSource_;
  QPointer<ResolveTab> self(this);
  remoteTarget_.send(remote, std::move(order), [self](const SpreadHandOff& handOff) {
    if (!self) return;
    --self->sending_;
    self->ShowHandOff(handOff);
  });
}

void ResolveTab::ShowHandOff(const SpreadHandOff& handOff) {
  const auto [failure, failedMethod] = handOff.FirstFailure();
  const bool failed = failure.kind != RpcFailure::kNone;
  const std::string common = failed ? DescribeRpcError(failedMethod, failure) : std::string();
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
  if (failed) text += QStringLiteral("\n\n原因：") + RemoteFailureText(failedMethod, failure);
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("发送到远程下载器"), text,
                              QMessageBox::Ok, window());
  box->setObjectName(QStringLiteral("发送结果"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextFormat(Qt::PlainText);  // names from the share are text, never markup
  box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
  box->open();
}

}  // namespace sf::app
