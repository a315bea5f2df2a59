// A raw HTTP/1.1 client for the simulator's tests: it sends exactly the bytes a test writes
// and reads answers by their Content-Length, so tests see the wire as it is.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sf::sim::test {

struct Reply {
  int status = 0;
  std::vector<std::string> headers;  // lines without CRLF, in order
  std::string body;

  std::string Header(std::string_view name) const;  // first value; "" when absent
  std::vector<std::string> Headers(std::string_view name) const;
};

class Connection {
 public:
  explicit Connection(int port);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool Send(std::string_view bytes);
  // Reads one answer; `headOnly` for the answer to a HEAD. Nothing when the connection ended
  // before a whole answer came; `partial` then gets what did come of the body.
  std::optional<Reply> Read(bool headOnly = false, std::string* partial = nullptr);
  // True when the server closes the connection within `ms`.
  bool ClosedWithin(int ms);

 private:
  bool Fill();
  int fd_ = -1;
  std::string buf_;
};

// One request on a fresh connection. `headers` are extra lines; Host, Content-Length (for a
// body or a POST) and Connection: close are added.
Reply Fetch(int port, const std::string& method, const std::string& target,
            const std::vector<std::string>& headers = {}, const std::string& body = {});

// A log id as the client makes it, and the client's random "0." fraction.
std::string LogId();
std::string Fraction();

}  // namespace sf::sim::test
