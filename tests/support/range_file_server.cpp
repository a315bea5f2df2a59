#include "range_file_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sf::test {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string HeaderOf(const std::string& head, const std::string& name) {
  std::string lower = Lower(head);
  std::string key = "\r\n" + Lower(name) + ":";
  size_t at = lower.find(key);
  if (at == std::string::npos) return {};
  size_t start = at + key.size();
  size_t end = head.find("\r\n", start);
  std::string v = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
  while (!v.empty() && v.front() == ' ') v.erase(0, 1);
  return v;
}

}  // namespace

RangeFileServer::RangeFileServer(std::string content)
    : content_(std::make_shared<const std::string>(std::move(content))) {
  listener_ =
      std::make_unique<LoopbackListener>([this](int fd, int connection) { Serve(fd, connection); });
}

RangeFileServer::~RangeFileServer() {
  listener_->Stop();
}

std::string RangeFileServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(listener_->port()) + path;
}

void RangeFileServer::SetContent(std::string content) {
  std::lock_guard lock(mutex_);
  content_ = std::make_shared<const std::string>(std::move(content));
}

void RangeFileServer::SetValidators(std::string etag, std::string lastModified) {
  std::lock_guard lock(mutex_);
  etag_ = std::move(etag);
  lastModified_ = std::move(lastModified);
}

void RangeFileServer::ForceStatus(int status, int count) {
  std::lock_guard lock(mutex_);
  forcedStatus_ = status;
  forcedCount_ = count;
}

void RangeFileServer::DropAfter(int64_t bytes, int times) {
  std::lock_guard lock(mutex_);
  dropBytes_ = bytes;
  dropTimes_ = times;
}

std::vector<ServedRequest> RangeFileServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int64_t RangeFileServer::BodyBytesSent() const {
  std::lock_guard lock(mutex_);
  int64_t total = 0;
  for (const auto& r : requests_) total += r.bodyBytes;
  return total;
}

bool RangeFileServer::SendAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    if (listener_->stopping()) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void RangeFileServer::Serve(int fd, int connection) {
  std::string data;
  char buf[16384];
  while (!listener_->stopping()) {
    size_t headEnd;
    bool closed = false;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (listener_->stopping()) break;
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        closed = true;
        break;
      }
      data.append(buf, static_cast<size_t>(n));
    }
    if (closed || headEnd == std::string::npos) break;
    std::string head = data.substr(0, headEnd);
    data.erase(0, headEnd + 4);

    ServedRequest req;
    size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
    req.target = head.substr(sp1 + 1, sp2 - sp1 - 1);
    req.range = HeaderOf(head, "Range");
    req.cookie = HeaderOf(head, "Cookie");
    req.referer = HeaderOf(head, "Referer");
    req.ifRange = HeaderOf(head, "If-Range");
    req.connection = connection;

    std::shared_ptr<const std::string> content;
    int forced = 0;
    int64_t dropAt = -1;
    std::string validators;
    bool validatorMatches = req.ifRange.empty();
    {
      std::lock_guard lock(mutex_);
      content = content_;
      if (!etag_.empty()) validators += "ETag: " + etag_ + "\r\n";
      if (!lastModified_.empty()) validators += "Last-Modified: " + lastModified_ + "\r\n";
      validatorMatches |= req.ifRange == etag_ || req.ifRange == lastModified_;
      if (forcedStatus_ != 0 && forcedCount_ != 0) {
        forced = forcedStatus_;
        if (forcedCount_ > 0) --forcedCount_;
      }
    }
    const int64_t size = static_cast<int64_t>(content->size());
    std::string headers;
    int64_t first = 0, last = size - 1;
    int64_t announced = -1;  // Content-Length when it differs from the bytes sent
    Fault fault = Fault::kNone;
    if (req.target.rfind("/r/", 0) == 0) {
      req.status = 302;
      headers = "HTTP/1.1 302 Found\r\nLocation: " + req.target.substr(2) +
                "\r\nContent-Length: 0\r\n\r\n";
    } else if (forced != 0) {
      req.status = forced;
      headers = "HTTP/1.1 " + std::to_string(forced) + " Forced\r\nContent-Length: 6\r\n\r\nforced";
    } else if (chunked_) {
      req.status = 200;
      headers = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    } else if (honorRanges_ && validatorMatches && req.range.rfind("bytes=", 0) == 0) {
      std::string asked = req.range.substr(6);
      size_t dash = asked.find('-');
      first = std::atoll(asked.substr(0, dash).c_str());
      std::string lastText = dash == std::string::npos ? "" : asked.substr(dash + 1);
      last =
          lastText.empty() ? size - 1 : std::min<int64_t>(std::atoll(lastText.c_str()), size - 1);
      if (first >= size || last < first) {
        req.status = 416;
        headers = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                  std::to_string(size) + "\r\nContent-Length: 0\r\n\r\n";
        first = 0;
        last = -1;
      } else {
        req.status = 206;
        if (!lastText.empty()) fault = fault_;
        if (fault == Fault::kOtherRange) {
          int64_t shift = last + 1 < size ? 1 : -1;
          first += shift;
          last += shift;
        } else if (fault == Fault::kRangeFromZero) {
          last -= first;
          first = 0;
        }
        std::string range = std::to_string(first) + "-" + std::to_string(last);
        if (fault == Fault::kShortBody) --last;
        if (fault == Fault::kErrorAfterBody) announced = last - first + 2;
        headers = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + range + "/" +
                  std::to_string(size) + "\r\n" + validators + "Content-Length: " +
                  std::to_string(announced >= 0 ? announced : last - first + 1) + "\r\n\r\n";
      }
    } else {
      req.status = 200;
      headers = "HTTP/1.1 200 OK\r\n" + validators + "Content-Length: " + std::to_string(size) +
                "\r\n\r\n";
    }
    bool hasBody = req.status == 200 || req.status == 206;
    if (hasBody) {
      std::lock_guard lock(mutex_);
      if (dropTimes_ > 0) {
        --dropTimes_;
        dropAt = dropBytes_;
      }
    }
    size_t index;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(req);
      index = requests_.size() - 1;
    }
    if (!SendAll(fd, headers.data(), headers.size())) break;
    if (!hasBody) continue;

    int64_t length = last - first + 1;
    int64_t toSend = dropAt >= 0 ? std::min(dropAt, length) : length;
    int64_t sent = 0;
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    while (sent < toSend && ok) {
      int64_t chunk = std::min<int64_t>(toSend - sent, 16384);
      int64_t rate = rate_;
      if (rate > 0) {
        auto due = start + std::chrono::microseconds(sent * 1000000 / rate);
        while (!listener_->stopping() && std::chrono::steady_clock::now() < due)
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (int64_t total = totalRate_; total > 0) {
        std::chrono::steady_clock::time_point due;
        {
          std::lock_guard lock(mutex_);
          auto now = std::chrono::steady_clock::now();
          due = std::max(nextTurn_, now - std::chrono::microseconds(burst_ * 1000000 / total));
          nextTurn_ = due + std::chrono::microseconds(chunk * 1000000 / total);
        }
        while (!listener_->stopping() && std::chrono::steady_clock::now() < due)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (chunked_) {
        char size[32];
        std::snprintf(size, sizeof size, "%llx\r\n", static_cast<unsigned long long>(chunk));
        ok = SendAll(fd, size, std::strlen(size)) &&
             SendAll(fd, content->data() + first + sent, static_cast<size_t>(chunk)) &&
             SendAll(fd, "\r\n", 2);
      } else {
        ok = SendAll(fd, content->data() + first + sent, static_cast<size_t>(chunk));
      }
      if (ok) sent += chunk;
      std::lock_guard lock(mutex_);
      requests_[index].bodyBytes = sent;
    }
    if (ok && chunked_ && dropAt < 0) ok = SendAll(fd, "0\r\n\r\n", 5);
    if (!ok || dropAt >= 0 || announced >= 0) break;
  }
  ::close(fd);
}

}  // namespace sf::test
