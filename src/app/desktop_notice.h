// A notice on the desktop through its notification service (org.freedesktop.Notifications on
// the session bus). Where there is no bus or no service, nothing shows and nothing waits: the
// call is sent without waiting for its answer.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <map>

namespace sf::app {

class DesktopNotice : public QObject {
  Q_OBJECT
 public:
  explicit DesktopNotice(QObject* parent = nullptr);
  // `clicked` runs on the window's thread when the user clicks the notice.
  void Show(const QString& title, const QString& body, std::function<void()> clicked);

 private slots:
  void ActionInvoked(uint id, const QString& action);
  void Closed(uint id, uint reason);

 private:
  std::map<uint, std::function<void()>> clicks_;
  bool listening_ = false;
};

}  // namespace sf::app
