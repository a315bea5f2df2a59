// The window's edge: texts of the core are GBK, Qt wants QString.
#pragma once

#include <QString>
#include <string>

#include "base/encoding.h"

namespace sf::app {

inline QString FromGbk(const std::string& gbk) {
  return QString::fromStdString(GbkToUtf8(gbk));
}
inline std::string ToGbk(const QString& text) {
  return Utf8ToGbk(text.toStdString());
}

}  // namespace sf::app
