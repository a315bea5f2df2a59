#include "app/quick_tab.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/controls.h"
#include "app/picture_box.h"

namespace sf::app {

QuickTab::QuickTab(QWidget* parent) : TabPage(parent) {
  Place(new QLabel(QStringLiteral("网盘地址："), this), "透明标签7", 36, 20, 64, 32);
  url_ = Place(new QLineEdit(this), "编辑框_URL1", 100, 27, 242, 20);
  parse_ = Place(new QPushButton(QStringLiteral("解析"), this), "解析2", 349, 26, 67, 23);
  mode_ = Place(new QFrame(this), "模式2", 7, 48, 440, 312);
  Place(new QLabel(QStringLiteral("分享密码："), mode_), "透明标签2", 16, 16, 64, 24);
  password_ = Place(new QLineEdit(mode_), "编辑框_密码", 73, 16, 72, 24);
  Place(new QLabel(QStringLiteral("验证码："), mode_), "透明标签3", 146, 15, 56, 24);
  captcha_ = Place(new QLineEdit(mode_), "编辑框_验证码", 190, 15, 120, 24);
  picture_ = Place(new PictureBox(mode_), "图片框1", 315, 8, 120, 48);
  auto* hint = Place(new QLabel(QStringLiteral("无分享密码，不填即可"), mode_), "透明标签4", 24, 76, 264, 64);
  hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  submit_ = Place(new QPushButton(QStringLiteral("有验证码点击此处解析"), mode_), "按钮_确定", 292, 88, 144, 32);
  output_ = Place(new QPlainTextEdit(mode_), "编辑框_输出", 0, 152, 440, 160);
}

}  // namespace sf::app
