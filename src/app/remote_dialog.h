// The remote downloader's settings: the JSON-RPC address of an aria2 that downloads on another
// machine, and its secret, shown masked. "测试连接" asks that downloader for its version on a
// worker, so the window never waits on the network; closing the dialog gives the question up.
#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "app/worker_bridge.h"
#include "base/settings_file.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace sf {
struct RpcError;
}

namespace sf::app {

// Why a call to the remote downloader failed, for the window; `method` is the call's name.
QString RemoteFailureText(const std::string& method, const RpcError& error);

class RemoteDialog : public QDialog {
  Q_OBJECT
 public:
  explicit RemoteDialog(const RemoteSettings& settings, QWidget* parent = nullptr);
  ~RemoteDialog() override;

  // As entered (GBK).
  RemoteSettings settings() const;

  QLineEdit* address() const { return address_; }
  QLineEdit* secret() const { return secret_; }
  QPushButton* testButton() const { return test_; }
  QLabel* result() const { return result_; }
  bool testing() const { return bridge_.running(); }

 private:
  void Test();

  QLineEdit* address_;
  QLineEdit* secret_;
  QPushButton* test_;
  QLabel* result_;
  WorkerBridge bridge_;  // last: its worker's posts use the members above
};

}  // namespace sf::app
