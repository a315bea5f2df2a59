// The second tab, "第二种模式": the quick path to the first file's direct link, with its
// captcha inside the tab. The quick mode runs on a worker; its buttons stay greyed until the
// run ends, and a click on the picture meanwhile starts nothing.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/controls.h"
#include "app/worker_bridge.h"

class QFrame;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace sf {
class QuickMode;
}

namespace sf::app {

class PictureBox;

class QuickTab : public TabPage {
  Q_OBJECT
 public:
  // `host`: the share service's web host; `showStatus` writes the status bar (GBK).
  QuickTab(const std::string& host, std::function<void(const std::string&)> showStatus,
           QWidget* parent = nullptr);
  ~QuickTab() override;

  QLineEdit* url() const { return url_; }
  QLineEdit* password() const { return password_; }
  QLineEdit* captcha() const { return captcha_; }
  QPlainTextEdit* output() const { return output_; }
  PictureBox* picture() const { return picture_; }
  QPushButton* parseButton() const { return parse_; }
  QPushButton* submitButton() const { return submit_; }

  // Text pasted or dropped on the link box (or, `intoPassword`, the password box): its first
  // share link goes into the link box, its code into the password box, and the status bar
  // says what was found. False, and nothing changed, when it holds neither.
  bool TakeShareText(const QString& text, bool intoPassword);

  // Gives up the run under way and waits for its worker; for good.
  void StopWork();
  bool running() const { return bridge_.running(); }

 private:
  class View;
  void Run(std::function<void(QuickMode&)> step);

  std::string host_;
  QLineEdit* url_;
  QPushButton* parse_;
  QFrame* mode_;
  QLineEdit* password_;
  QLineEdit* captcha_;
  PictureBox* picture_;
  QPushButton* submit_;
  QPlainTextEdit* output_;
  std::function<void(const std::string&)> showStatus_;
  std::unique_ptr<View> view_;
  std::unique_ptr<QuickMode> quick_;
  WorkerBridge bridge_;  // last: its worker uses the members above
};

}  // namespace sf::app
