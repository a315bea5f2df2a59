#include "app/remote_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/qt_text.h"
#include "download/aria2_remote.h"
#include "net/json_rpc.h"

namespace sf::app {

QString RemoteFailureText(const std::string& method, const RpcError& error) {
  switch (error.kind) {
    case RpcFailure::kBadAddress:
      return QStringLiteral("地址须以 http:// 或 https:// 开头");
    case RpcFailure::kCannotConnect:
      return QStringLiteral("无法连接远程下载器");
    case RpcFailure::kNoAnswer:
      return QStringLiteral("远程下载器没有应答");
    case RpcFailure::kUnauthorized:
      return QStringLiteral("密钥不对（Unauthorized）");
    default:
      return QString::fromStdString(DescribeRpcError(method, error));
  }
}

RemoteDialog::RemoteDialog(const RemoteSettings& settings, QWidget* parent)
    : QDialog(parent), bridge_(this) {
  setObjectName(QStringLiteral("远程下载器设置"));
  setWindowTitle(QStringLiteral("远程下载器设置"));
  address_ = new QLineEdit(FromGbk(settings.address), this);
  address_->setObjectName(QStringLiteral("编辑框_RPC地址"));
  address_->setPlaceholderText(QStringLiteral("http://127.0.0.1:6800/jsonrpc"));
  address_->setMinimumWidth(280);
  secret_ = new QLineEdit(FromGbk(settings.secret), this);
  secret_->setObjectName(QStringLiteral("编辑框_RPC密钥"));
  secret_->setEchoMode(QLineEdit::Password);
  test_ = new QPushButton(QStringLiteral("测试连接"), this);
  test_->setObjectName(QStringLiteral("测试连接"));
  result_ = new QLabel(this);
  result_->setObjectName(QStringLiteral("测试结果"));
  result_->setWordWrap(true);
  result_->setTextFormat(Qt::PlainText);  // the version comes from the other machine
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("RPC 地址："), address_);
  form->addRow(QStringLiteral("密钥："), secret_);
  form->addRow(test_, result_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(
      new QLabel(QStringLiteral("把文件交给另一台机器上的 aria2 下载（JSON-RPC）。"), this));
  layout->addLayout(form);
  layout->addWidget(buttons);

  connect(test_, &QPushButton::clicked, this, &RemoteDialog::Test);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

RemoteDialog::~RemoteDialog() {
  bridge_.Close();
}

RemoteSettings RemoteDialog::settings() const {
  return {ToGbk(address_->text().trimmed()), ToGbk(secret_->text())};
}

void RemoteDialog::Test() {
  if (bridge_.running()) return;
  RemoteSettings entered = settings();
  if (entered.address.empty()) {
    result_->setText(QStringLiteral("请填写 RPC 地址"));
    return;
  }
  test_->setEnabled(false);
  result_->setText(QStringLiteral("正在连接……"));
  bridge_.Start(
      [this, address = GbkToUtf8(entered.address), secret = GbkToUtf8(entered.secret)] {
        JsonRpcClient client(address);
        client.SetCancelFlag(bridge_.cancelFlag());
        client.SetTimeoutSeconds(10);
        Aria2Remote remote(client, secret);
        Aria2Remote::Text version = remote.Version();
        QString text = version.ok() ? QStringLiteral("连接成功：aria2 ") +
                                          QString::fromStdString(version.value)
                                    : QStringLiteral("连接失败：") +
                                          RemoteFailureText("aria2.getVersion", version.error);
        bridge_.Post([this, text] { result_->setText(text); });
      },
      [this] { test_->setEnabled(true); });
}

}  // namespace sf::app
