// The two small prompts of a parse: the extraction password and the captcha answer. Each is
// made anew for every question; closing it any way but with an answer declines.
#pragma once

#include <QDialog>
#include <string>
#include <thread>

#include "net/cancel_flag.h"

class QLineEdit;
class QPushButton;

namespace sf {
class ShareSession;
}

namespace sf::app {

class PictureBox;

class PasswordDialog : public QDialog {
  Q_OBJECT
 public:
  explicit PasswordDialog(QWidget* parent = nullptr);
  // The trimmed, non-empty password (GBK) once confirmed; empty otherwise.
  const std::string& answer() const { return answer_; }
  // Asks again after the service refused the last password: says so below the box.
  void SayWrong();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Confirm();
  QLineEdit* edit_;
  QPushButton* button_;
  std::string answer_;
};

// The picture is fetched on a thread of the dialog's own, through a copy of the session, so a
// slow captcha host never holds up the window; the token is handed to the session when the
// picture arrives. Closing the dialog gives up a fetch under way.
class CaptchaDialog : public QDialog {
  Q_OBJECT
 public:
  // Fetches its picture through `session`; `reason` is the code that asked for a captcha.
  CaptchaDialog(ShareSession& session, int reason, QWidget* parent = nullptr);
  ~CaptchaDialog() override;
  const std::string& answer() const { return answer_; }
  bool loading() const { return loading_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void LoadCaptcha();
  void Loaded(const ShareSession& fetched, int code, const std::string& bytes);
  void Confirm();
  ShareSession& session_;
  int reason_;
  PictureBox* picture_;
  QLineEdit* edit_;
  QPushButton* button_;
  std::string answer_;
  bool loaded_ = false;
  bool loading_ = false;
  CancelFlag cancel_;
  std::thread fetcher_;
};

}  // namespace sf::app
