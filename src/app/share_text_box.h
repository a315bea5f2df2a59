// A line edit for share links that hands pasted and dropped text to its owner first, so a
// whole message ("链接：… 提取码：…") can be read into its link and code instead of landing in
// the box as it is. Typing is left alone: a link typed half-way is no message.
#pragma once

#include <QLineEdit>
#include <functional>

namespace sf::app {

class ShareTextBox : public QLineEdit {
  Q_OBJECT
 public:
  using QLineEdit::QLineEdit;

  // `take` gets every pasted or dropped text; when it returns true it has dealt with the text,
  // and the box inserts nothing itself.
  void SetTaker(std::function<bool(const QString&)> take) { take_ = std::move(take); }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  bool Offer(const QString& text) { return take_ && !text.isEmpty() && take_(text); }
  void PasteFromClipboard();

  std::function<bool(const QString&)> take_;
};

// What the status bar says of a pasted text with `links` share links, the first with a code
// or not. It never shows the code: that is the share's secret.
QString PasteStatus(size_t links, bool code);

}  // namespace sf::app
