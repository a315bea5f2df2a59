// aria2c, the download engine, with its JSON-RPC interface on 127.0.0.1 at a free port, saving
// into a directory of the test's. It is started by the constructor, which waits until it
// accepts connections, and stopped (and waited for) by the destructor; it also ends by itself
// when the test process does.
#pragma once

#include <sys/types.h>

#include <string>

namespace sf::test {

class Aria2Daemon {
 public:
  // `secret`: its --rpc-secret; empty for none. `dir`: its --dir; its log goes to `dir`.log.
  Aria2Daemon(const std::string& dir, const std::string& secret);
  ~Aria2Daemon();
  Aria2Daemon(const Aria2Daemon&) = delete;
  Aria2Daemon& operator=(const Aria2Daemon&) = delete;

  // True once it answers; otherwise error() says why.
  bool running() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  std::string Endpoint() const;  // http://127.0.0.1:PORT/jsonrpc

 private:
  bool StartOnce(const std::string& dir, const std::string& secret);
  void Stop();

  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

// A port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

}  // namespace sf::test
