#include "app/prompt_dialogs.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <memory>

#include "app/picture_box.h"
#include "app/qt_text.h"
#include "base/text.h"
#include "share/share_session.h"

namespace sf::app {
namespace {

void Place(QWidget* w, const char* name, int x, int y, int width, int height) {
  w->setObjectName(QString::fromUtf8(name));
  w->setGeometry(x, y, width, height);
}

void Remind(QWidget* parent, const char* text) {
  QMessageBox::information(parent, QStringLiteral("提示"), QString::fromUtf8(text));
}

}  // namespace

PasswordDialog::PasswordDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("请输入提取密码"));
  setGeometry(50, 50, 225, 89);
  setFixedSize(225, 89);
  edit_ = new QLineEdit(this);
  Place(edit_, "编辑框_提取密码", 8, 8, 96, 39);
  button_ = new QPushButton(QStringLiteral("确定"), this);
  Place(button_, "按钮1", 116, 9, 84, 38);
  button_->setAutoDefault(false);
  edit_->installEventFilter(this);
  connect(button_, &QPushButton::clicked, this, &PasswordDialog::Confirm);
  connect(edit_, &QLineEdit::returnPressed, this, &PasswordDialog::Confirm);
}

// The dialog's fixed size leaves room under the box and the button for one line.
void PasswordDialog::SayWrong() {
  auto* wrong = new QLabel(QStringLiteral("提取密码错误，请重新输入"), this);
  Place(wrong, "密码错误", 8, 52, 209, 20);
  wrong->setStyleSheet(QStringLiteral("color: #b02020;"));
}

bool PasswordDialog::eventFilter(QObject* watched, QEvent* event) {
  // A click into the box erases what was typed there.
  if (watched == edit_ && event->type() == QEvent::MouseButtonPress) edit_->clear();
  return QDialog::eventFilter(watched, event);
}

void PasswordDialog::Confirm() {
  std::string text = TrimSpaces(ToGbk(edit_->text()));
  if (text.empty()) {
    Remind(this, "请输入提取密码!");
    return;
  }
  answer_ = text;
  accept();
}

CaptchaDialog::CaptchaDialog(ShareSession& session, int reason, QWidget* parent)
    : QDialog(parent), session_(session), reason_(reason) {
  setWindowTitle(QStringLiteral("请输入验证码"));
  setGeometry(50, 50, 351, 89);
  setFixedSize(351, 89);
  picture_ = new PictureBox(this);
  Place(picture_, "图片框_验证码", 8, 8, 120, 40);
  edit_ = new QLineEdit(this);
  Place(edit_, "编辑框_验证码", 136, 9, 96, 39);
  button_ = new QPushButton(QStringLiteral("确定"), this);
  Place(button_, "按钮1", 244, 10, 84, 38);
  button_->setAutoDefault(false);
  connect(picture_, &PictureBox::leftButtonPressed, this, &CaptchaDialog::LoadCaptcha);
  connect(button_, &QPushButton::clicked, this, &CaptchaDialog::Confirm);
  connect(edit_, &QLineEdit::returnPressed, this, &CaptchaDialog::Confirm);
  // Captchas have four characters: the fourth byte typed confirms at once.
  connect(edit_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (ToGbk(text).size() == 4) Confirm();
  });
}

void CaptchaDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!loaded_) {
    loaded_ = true;
    LoadCaptcha();
  }
}

CaptchaDialog::~CaptchaDialog() {
  cancel_.Raise();
  if (fetcher_.joinable()) fetcher_.join();
}

void CaptchaDialog::LoadCaptcha() {
  // One fetch at a time: a click while a picture is on its way asks for nothing more.
  if (loading_) return;
  loading_ = true;
  if (fetcher_.joinable()) fetcher_.join();
  auto copy = std::make_shared<ShareSession>(session_);
  copy->SetCancelFlag(cancel_);
  QPointer<CaptchaDialog> self(this);
  fetcher_ = std::thread([copy, self, reason = reason_] {
    auto bytes = std::make_shared<std::string>();
    int code = copy->FetchCaptcha(*bytes, reason);
    // The application outlives the dialog; a dialog gone meanwhile takes nothing.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, copy, code, bytes] {
          if (self) self->Loaded(*copy, code, *bytes);
        },
        Qt::QueuedConnection);
  });
}

void CaptchaDialog::Loaded(const ShareSession& fetched, int code, const std::string& bytes) {
  loading_ = false;
  if (code != 0) {
    QMessageBox::information(this, QStringLiteral("验证码获取失败"),
                             FromGbk(session_.ErrorMessage(code)));
    return;
  }
  session_.AdoptCaptchaToken(fetched);
  picture_->ShowBytes(bytes);
  edit_->clear();
}

void CaptchaDialog::Confirm() {
  if (result() == QDialog::Accepted && !answer_.empty()) return;
  std::string text = TrimSpaces(ToGbk(edit_->text()));
  if (text.empty()) {
    Remind(this, "请输入验证码!");
    return;
  }
  answer_ = text;
  accept();
}

}  // namespace sf::app
