#include "app/desktop_notice.h"

#include <QFileInfo>
#include <QVariantMap>

#ifdef SF_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#endif

namespace sf::app {

#ifdef SF_HAVE_DBUS
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// Without an address the bus library may try to launch a bus of its own; a session that has
// none gets no notice instead.
bool SessionBusAround() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

}  // namespace
#endif

DesktopNotice::DesktopNotice(QObject* parent) : QObject(parent) {}

#ifdef SF_HAVE_DBUS
void DesktopNotice::Show(const QString& title, const QString& body, std::function<void()> clicked) {
  if (!SessionBusAround()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  if (!listening_) {
    listening_ = bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                             SLOT(ActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(Closed(uint, uint)));
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  call << QStringLiteral("ShareFetch") << uint(0) << QStringLiteral("org.sharefetch.ShareFetch")
       << title << body << QStringList{QStringLiteral("default"), QStringLiteral("打开文件夹")}
       << QVariantMap{} << int(-1);
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, clicked = std::move(clicked)](QDBusPendingCallWatcher* w) {
            QDBusPendingReply<uint> reply = *w;
            if (!reply.isError()) clicks_[reply.value()] = clicked;
            w->deleteLater();
          });
}

#else
void DesktopNotice::Show(const QString&, const QString&, std::function<void()>) {}
#endif

void DesktopNotice::ActionInvoked(uint id, const QString&) {
  auto it = clicks_.find(id);
  if (it == clicks_.end()) return;
  std::function<void()> clicked = std::move(it->second);
  clicks_.erase(it);
  clicked();
}

void DesktopNotice::Closed(uint id, uint) {
  clicks_.erase(id);
}

}  // namespace sf::app
