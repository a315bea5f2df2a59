// The one place where the parse's worker thread meets the window: every prompt, status text
// and row the driver produces is carried over to the window's thread here. Prompts wait for
// the answer; status texts and rows are queued in order.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>

#include "share/resolve_driver.h"

namespace sf::app {

// What the window does with the driver's output, called on the window's thread.
struct ResolveTarget {
  std::function<std::string()> readUrl;
  std::function<void(const std::string&)> showStatus;
  std::function<void(const std::string&)> setNameColumnTitle;
  std::function<void(const std::array<std::string, 4>&)> addRow;
  std::function<std::string()> askPassword;
  std::function<std::string(ShareSession&, int)> askCaptcha;
};

class ResolveBridge : public ResolvePrompts, public ResolveView {
 public:
  // `context` lives on the window's thread; calls are dropped once it is gone.
  ResolveBridge(QObject* context, ResolveTarget target);

  std::string ReadUrl();
  std::string AskPassword() override;
  std::string AskCaptcha(ShareSession& session, int reason) override;
  void ShowStatus(const std::string& text) override;
  void SetNameColumnTitle(const std::string& title) override;
  void AddRow(const std::array<std::string, 4>& columns) override;

 private:
  std::string Wait(const std::function<std::string()>& call);
  void Post(std::function<void()> call);

  QPointer<QObject> context_;
  ResolveTarget target_;
};

}  // namespace sf::app
