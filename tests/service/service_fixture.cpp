#include "service_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

namespace sf::test {

RawConnection::RawConnection(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

namespace {

// One read of what is there, waiting at most until `deadline`; 0 on close, -1 on time-out.
ssize_t ReadSome(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd p{fd, POLLIN, 0};
  if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return -1;
  char buffer[16384];
  ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  if (n > 0) into.append(buffer, static_cast<size_t>(n));
  return n < 0 ? 0 : n;  // a reset counts as a close
}

}  // namespace

bool RawConnection::ReadUntil(const std::string& text) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (fd_ >= 0 && received_.find(text) == std::string::npos)
    if (ReadSome(fd_, received_, deadline) <= 0) return false;
  return fd_ >= 0;
}

bool RawConnection::ReadToEnd() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    if (fd_ < 0) return true;
    ssize_t n = ReadSome(fd_, received_, deadline);
    if (n == 0) return true;
    if (n < 0) return false;
  }
}

void ServiceFixture::SetUp() {
  char pattern[] = "/tmp/sf-service-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  directory_ = pattern;
  std::ofstream(directory_ + "/index.html") << "<p>the page</p>";
  options_.stateDirectory = directory_ + "/state";
  options_.http.staticFiles = {{"index.html", directory_ + "/index.html"}};
  options_.http.trustedProxies = {"127.0.0.1"};
  options_.http.maxBody = 4096;
  options_.http.idleTimeoutSeconds = 1;
  options_.http.maxPerAddress = 4;
  options_.passwordIterations = 1000;
  options_.login.failuresBeforeBan = 3;
  options_.login.refusalDelay = std::chrono::milliseconds(30);
  options_.heartbeat = std::chrono::milliseconds(100);
  options_.eventRing = 4;
  // Nothing here reaches a real share service: a pasted link goes to a closed loopback port.
  options_.shares.host = "http://127.0.0.1:1";
  options_.downloads.directory = directory_ + "/downloads";
  options_.downloads.engineLibrary = SF_ENGINE_PATH;
}

void ServiceFixture::Start() {
  service_ = std::make_unique<service::Service>(options_);
  std::string password;
  ASSERT_EQ(service_->Start(password), "");
  if (!password.empty()) password_ = password;
}

void ServiceFixture::TearDown() {
  service_.reset();
  std::filesystem::remove_all(directory_);
}

std::string ServiceFixture::Request(const std::string& method, const std::string& path,
                                    const std::string& extraHeaders,
                                    const std::string& body) const {
  std::string head = method + " " + path + " HTTP/1.1\r\n";
  if (extraHeaders.find("Host:") == std::string::npos)
    head += "Host: 127.0.0.1:" + std::to_string(port()) + "\r\n";
  head += extraHeaders + "Connection: close\r\n";
  if (!body.empty() || method == "POST")
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return head + "\r\n" + body;
}

Reply ServiceFixture::Exchange(const std::string& raw) const {
  RawConnection connection(port());
  connection.Send(raw);
  connection.ReadToEnd();
  Reply reply;
  const std::string& bytes = connection.received();
  size_t headEnd = bytes.find("\r\n\r\n");
  if (bytes.compare(0, 9, "HTTP/1.1 ") != 0 || headEnd == std::string::npos) return reply;
  reply.status = std::stoi(bytes.substr(9, 3));
  size_t line = bytes.find("\r\n") + 2;
  while (line < headEnd) {
    size_t end = bytes.find("\r\n", line), colon = bytes.find(':', line);
    std::string name = bytes.substr(line, colon - line);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    reply.headers[name] = bytes.substr(colon + 2, end - colon - 2);
    line = end + 2;
  }
  reply.body = bytes.substr(headEnd + 4);
  return reply;
}

std::pair<std::string, std::string> ServiceFixture::Login(const std::string& extraHeaders) {
  Reply reply = Exchange(Request("POST", "/api/v1/login", extraHeaders,
                                 nlohmann::json{{"password", password_}}.dump()));
  EXPECT_EQ(reply.status, 200) << reply.body;
  std::string cookie = reply.headers["set-cookie"];
  cookie = cookie.substr(0, cookie.find(';'));
  auto body = nlohmann::json::parse(reply.body, nullptr, false);
  std::string csrf = body.is_object() ? body.value("csrfToken", "") : "";
  return {cookie, csrf};
}

}  // namespace sf::test
