#include "app/quick_tab.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

#include "app/controls.h"
#include "app/picture_box.h"
#include "app/qt_text.h"
#include "app/share_text_box.h"
#include "share/quick_mode.h"
#include "share/share_text.h"

namespace sf::app {

// The quick mode's controls on the worker's side: each call crosses to the window's thread.
class QuickTab::View : public QuickModeView {
 public:
  explicit View(QuickTab& tab) : tab_(&tab) {}
  void ShowStatus(const std::string& text) override {
    tab_->bridge_.Post([tab = tab_, text] {
      if (tab->showStatus_) tab->showStatus_(text);
    });
  }
  void SetOutput(const std::string& text) override {
    tab_->bridge_.Post([tab = tab_, text] { tab->output_->setPlainText(FromGbk(text)); });
  }
  void ShowCaptchaPicture(const std::string& bytes) override {
    tab_->bridge_.Post([tab = tab_, bytes] { tab->picture_->ShowBytes(bytes); });
  }
  std::string CaptchaText() override {
    return tab_->bridge_.Ask([tab = tab_] { return ToGbk(tab->captcha_->text()); });
  }
  void ClearCaptchaText() override {
    tab_->bridge_.Post([tab = tab_] { tab->captcha_->clear(); });
  }

 private:
  QuickTab* tab_;  // its controls are touched only by calls that run on the window's thread
};

QuickTab::QuickTab(const std::string& host, std::function<void(const std::string&)> showStatus,
                   QWidget* parent)
    : TabPage(parent), host_(host), showStatus_(std::move(showStatus)), bridge_(this) {
  Place(new QLabel(QStringLiteral("网盘地址："), this), "透明标签7", 36, 20, 64, 32);
  auto* url = Place(new ShareTextBox(this), "编辑框_URL1", 100, 27, 242, 20);
  url->SetTaker([this](const QString& text) { return TakeShareText(text, false); });
  url_ = url;
  parse_ = Place(new QPushButton(QStringLiteral("解析"), this), "解析2", 349, 26, 67, 23);
  mode_ = Place(new QFrame(this), "模式2", 7, 48, 440, 312);
  Place(new QLabel(QStringLiteral("分享密码："), mode_), "透明标签2", 16, 16, 64, 24);
  auto* password = Place(new ShareTextBox(mode_), "编辑框_密码", 73, 16, 72, 24);
  password->SetTaker([this](const QString& text) { return TakeShareText(text, true); });
  password_ = password;
  Place(new QLabel(QStringLiteral("验证码："), mode_), "透明标签3", 146, 15, 56, 24);
  captcha_ = Place(new QLineEdit(mode_), "编辑框_验证码", 190, 15, 120, 24);
  picture_ = Place(new PictureBox(mode_), "图片框1", 315, 8, 120, 48);
  auto* hint = Place(new QLabel(QStringLiteral("无分享密码，不填即可"), mode_), "透明标签4", 24, 76,
                     264, 64);
  hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  submit_ = Place(new QPushButton(QStringLiteral("有验证码点击此处解析"), mode_), "按钮_确定", 292,
                  88, 144, 32);
  output_ = Place(new QPlainTextEdit(mode_), "编辑框_输出", 0, 152, 440, 160);

  view_ = std::make_unique<View>(*this);
  quick_ = std::make_unique<QuickMode>(host, *view_);
  quick_->SetCancelFlag(bridge_.cancelFlag());
  connect(parse_, &QPushButton::clicked, this, [this] {
    // A message typed or put in the link box some other way is read as a pasted one.
    std::vector<PastedShare> found = ReadShareText(ToGbk(url_->text()), host_);
    if (!found.empty() && (found.size() > 1 || found.front().link != ToGbk(url_->text()) ||
                           !found.front().code.empty())) {
      // A password typed in its box wins over a code found in the text.
      QString typed = password_->text();
      TakeShareText(url_->text(), false);
      if (!typed.isEmpty()) password_->setText(typed);
    }
    // The captcha of an earlier parse belongs to that parse; its answer would only be refused.
    if (!bridge_.running()) {
      picture_->clear();
      captcha_->clear();
    }
    Run([url = ToGbk(url_->text()), password = ToGbk(password_->text())](QuickMode& quick) {
      quick.Parse(url, password);
    });
  });
  connect(submit_, &QPushButton::clicked, this,
          [this] { Run([](QuickMode& quick) { quick.SubmitCaptcha(); }); });
  // A click on the picture asks again exactly as the button does.
  connect(picture_, &PictureBox::leftButtonPressed, this,
          [this] { Run([](QuickMode& quick) { quick.SubmitCaptcha(); }); });
}

bool QuickTab::TakeShareText(const QString& text, bool intoPassword) {
  const std::string gbk = ToGbk(text);
  std::vector<PastedShare> found = ReadShareText(gbk, host_);
  std::string code = found.empty() ? std::string() : found.front().code;
  if (found.empty()) {
    if (!intoPassword || (code = ReadExtractionCode(gbk)).empty()) return false;
  } else {
    url_->setText(FromGbk(found.front().link));
  }
  if (!code.empty()) password_->setText(FromGbk(code));
  if (showStatus_) showStatus_(ToGbk(PasteStatus(found.size(), !code.empty())));
  return true;
}

QuickTab::~QuickTab() {
  StopWork();
}

void QuickTab::StopWork() {
  bridge_.Close();
}

void QuickTab::Run(std::function<void(QuickMode&)> step) {
  // One run at a time; the greyed buttons tell the user why.
  if (bridge_.running()) return;
  // Greying the pressed button moves the keyboard focus away; it comes back afterwards.
  QPointer<QWidget> focus = QApplication::focusWidget();
  parse_->setEnabled(false);
  submit_->setEnabled(false);
  bridge_.Start([this, step = std::move(step)] { step(*quick_); },
                [this, focus] {
                  parse_->setEnabled(true);
                  submit_->setEnabled(true);
                  if (focus) focus->setFocus();
                });
}

}  // namespace sf::app
