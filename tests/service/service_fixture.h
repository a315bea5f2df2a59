// A real service on 127.0.0.1 at a free port, with its state in a fresh directory and
// settings small enough for tests (cheap hashing, short delays, small limits), and a raw
// socket client that sends exactly the bytes a row asks for.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "service/service.h"

namespace sf::test {

struct Reply {
  int status = 0;                              // 0: the connection closed without an answer
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
};

// An open connection, read as the bytes come (for event streams).
class RawConnection {
 public:
  explicit RawConnection(int port);
  ~RawConnection();
  bool Send(const std::string& bytes);
  // Reads until `text` has arrived (true), or the peer closed or 10 s passed (false).
  bool ReadUntil(const std::string& text);
  // Reads until the peer closes or 10 s passed; true when it closed.
  bool ReadToEnd();
  const std::string& received() const { return received_; }
  void Consume(size_t size) { received_.erase(0, size); }

 private:
  int fd_ = -1;
  std::string received_;
};

class ServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Options before Start; a test may change them and call Restart.
  service::ServiceOptions options_;
  void Start();

  virtual int port() const { return service_->port(); }
  // "METHOD path HTTP/1.1" with Host, Connection: close and Content-Length added.
  std::string Request(const std::string& method, const std::string& path,
                      const std::string& extraHeaders = "", const std::string& body = "") const;
  Reply Exchange(const std::string& raw) const;
  // Logs in; the cookie ("name=value") and the anti-forgery token.
  std::pair<std::string, std::string> Login(const std::string& extraHeaders = "");

  std::string directory_;
  std::string password_;
  std::unique_ptr<service::Service> service_;
};

}  // namespace sf::test
