// The second tab, "第二种模式": the quick path to the first file's direct link, with its
// captcha inside the tab.
#pragma once

#include "app/controls.h"

class QFrame;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace sf::app {

class PictureBox;

class QuickTab : public TabPage {
  Q_OBJECT
 public:
  explicit QuickTab(QWidget* parent = nullptr);

  QLineEdit* url() const { return url_; }
  QLineEdit* password() const { return password_; }
  QLineEdit* captcha() const { return captcha_; }
  QPlainTextEdit* output() const { return output_; }
  PictureBox* picture() const { return picture_; }
  QPushButton* parseButton() const { return parse_; }
  QPushButton* submitButton() const { return submit_; }

 private:
  QLineEdit* url_;
  QPushButton* parse_;
  QFrame* mode_;
  QLineEdit* password_;
  QLineEdit* captcha_;
  PictureBox* picture_;
  QPushButton* submit_;
  QPlainTextEdit* output_;
};

}  // namespace sf::app
