// A loopback HTTP/1.1 file server for download tests: serves one body under any path, honours
// single byte ranges (or ignores them on request), keeps connections alive, and injects
// faults: forced status codes, connections dropped mid-body, a per-connection rate, answers
// that break the range protocol. It can send validators (ETag, Last-Modified) and then honours
// If-Range. Paths under "/r/" answer with a redirect to the rest of the path. Every request is
// recorded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback_listener.h"

namespace sf::test {

struct ServedRequest {
  std::string target;
  std::string range;  // the Range header's value, empty when absent
  std::string cookie;
  std::string referer;
  std::string ifRange;
  int status = 0;
  int64_t bodyBytes = 0;  // bytes of body actually sent
  int connection = 0;     // which accepted connection carried it
};

class RangeFileServer {
 public:
  // Lies told in answer to a closed range ("bytes=A-B"); open ranges are served truthfully.
  enum class Fault {
    kNone,
    kOtherRange,      // a 206 for the range one byte further on
    kRangeFromZero,   // a 206 from byte 0, as long as the range asked for
    kShortBody,       // the right head, but the body (and its length) one byte short
    kErrorAfterBody,  // the whole range, then the connection ends one byte before its length
  };

  explicit RangeFileServer(std::string content);
  ~RangeFileServer();
  RangeFileServer(const RangeFileServer&) = delete;
  RangeFileServer& operator=(const RangeFileServer&) = delete;

  std::string Url(const std::string& path = "/file.bin") const;
  void SetContent(std::string content);
  void SetHonorRanges(bool on) { honorRanges_ = on; }
  // Whole bodies in chunked encoding, without a length (and without ranges).
  void SetChunked(bool on) { chunked_ = on; }
  // The next `count` requests (every request when negative) get `status` and a short body.
  void ForceStatus(int status, int count = -1);
  // The next `times` responses close their connection after `bytes` bytes of body.
  void DropAfter(int64_t bytes, int times);
  // Body bytes per second on each connection; 0: as fast as possible.
  void SetRate(int64_t bytesPerSecond) { rate_ = bytesPerSecond; }
  // Body bytes per second on all connections together, 0: no cap. Up to `burst` bytes saved
  // up while idle go at once, as fast as the connection takes them.
  void SetTotalRate(int64_t bytesPerSecond, int64_t burst = 0) {
    totalRate_ = bytesPerSecond;
    burst_ = burst;
  }
  void SetFault(Fault fault) { fault_ = fault; }
  // Sent with every answer that carries the file; empty values are left out.
  void SetValidators(std::string etag, std::string lastModified);

  std::vector<ServedRequest> Requests() const;
  int64_t BodyBytesSent() const;

 private:
  void Serve(int fd, int connection);
  bool SendAll(int fd, const char* data, size_t size);

  std::atomic<bool> honorRanges_{true};
  std::atomic<bool> chunked_{false};
  std::atomic<int64_t> rate_{0};
  std::atomic<int64_t> totalRate_{0};
  std::atomic<int64_t> burst_{0};
  std::atomic<Fault> fault_{Fault::kNone};
  mutable std::mutex mutex_;
  std::shared_ptr<const std::string> content_;
  int forcedStatus_ = 0;
  int forcedCount_ = 0;
  std::string etag_;
  std::string lastModified_;
  int64_t dropBytes_ = 0;
  int dropTimes_ = 0;
  std::vector<ServedRequest> requests_;
  std::chrono::steady_clock::time_point nextTurn_{};  // when the total cap lets a chunk go
  // Stopped first thing in the destructor, so its threads end before the members they use.
  std::unique_ptr<LoopbackListener> listener_;
};

}  // namespace sf::test
