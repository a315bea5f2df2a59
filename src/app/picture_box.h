// A picture box: shows a decoded captcha picture and reports a left-button press.
#pragma once

#include <QLabel>
#include <string>

namespace sf::app {

class PictureBox : public QLabel {
  Q_OBJECT
 public:
  explicit PictureBox(QWidget* parent = nullptr);
  // Shows PNG or JPEG bytes; anything else empties the box. True when a picture is shown.
  bool ShowBytes(const std::string& bytes);

 signals:
  void leftButtonPressed();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

}  // namespace sf::app
