#include "app/resolve_bridge.h"

#include <QMetaObject>
#include <QThread>

namespace sf::app {

ResolveBridge::ResolveBridge(QObject* context, ResolveTarget target)
    : context_(context), target_(std::move(target)) {}

std::string ResolveBridge::Wait(const std::function<std::string()>& call) {
  std::string result;
  QObject* context = context_.data();
  if (!context) return result;
  if (QThread::currentThread() == context->thread()) return call();
  QMetaObject::invokeMethod(context, [&] { result = call(); }, Qt::BlockingQueuedConnection);
  return result;
}

void ResolveBridge::Post(std::function<void()> call) {
  QObject* context = context_.data();
  if (!context) return;
  QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
}

std::string ResolveBridge::ReadUrl() { return Wait(target_.readUrl); }

std::string ResolveBridge::AskPassword() { return Wait(target_.askPassword); }

std::string ResolveBridge::AskCaptcha(ShareSession& session, int reason) {
  return Wait([&] { return target_.askCaptcha(session, reason); });
}

void ResolveBridge::ShowStatus(const std::string& text) {
  Post([f = target_.showStatus, text] { f(text); });
}

void ResolveBridge::SetNameColumnTitle(const std::string& title) {
  Post([f = target_.setNameColumnTitle, title] { f(title); });
}

void ResolveBridge::AddRow(const std::array<std::string, 4>& columns) {
  Post([f = target_.addRow, columns] { f(columns); });
}

}  // namespace sf::app
