#include "app/picture_box.h"

#include <QImage>
#include <QMouseEvent>
#include <QPixmap>

#include "data/picture.h"

namespace sf::app {

PictureBox::PictureBox(QWidget* parent) : QLabel(parent) {
  setAlignment(Qt::AlignCenter);
  setFrameShape(QFrame::StyledPanel);
  setCursor(Qt::PointingHandCursor);
}

bool PictureBox::ShowBytes(const std::string& bytes) {
  std::optional<Picture> picture = DecodePicture(bytes);
  if (!picture) {
    clear();
    return false;
  }
  QImage image(reinterpret_cast<const uchar*>(picture->rgba.data()), picture->width,
               picture->height, picture->width * 4, QImage::Format_RGBA8888);
  setPixmap(QPixmap::fromImage(image.copy())
                .scaled(contentsRect().size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
  return true;
}

void PictureBox::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) emit leftButtonPressed();
  QLabel::mousePressEvent(event);
}

}  // namespace sf::app
