#include "net/curl_common.h"

#include <algorithm>
#include <mutex>

#include "base/text.h"
#include "base/url_text.h"

namespace sf {
namespace {

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* c = static_cast<ResponseCollector*>(user);
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // A new status line starts a new response (an interim 1xx, or the next hop of a redirect).
  if (line.substr(0, 5) == "HTTP/") {
    c->head.clear();
    c->headDone = false;
    size_t space = line.find(' ');
    c->status = space == std::string_view::npos ? 0 : ReadInt(line.substr(space));
  }
  if (c->head.size() + line.size() > kMaxAnswerBytes) return 0;  // ends the transfer
  c->head.append(line);
  c->head += "\r\n";
  if (line.empty() && c->status >= 200) c->headDone = true;
  c->lastActivity = std::chrono::steady_clock::now();
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* c = static_cast<ResponseCollector*>(user);
  size_t n = size * count;
  size_t room = kMaxAnswerBytes + 1 - std::min(c->body.size(), kMaxAnswerBytes + 1);
  c->body.append(data, std::min(n, room));
  c->lastActivity = std::chrono::steady_clock::now();
  return n <= room ? n : 0;  // taking less than was given ends the transfer
}

}  // namespace

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string EscapeRequestTarget(std::string_view utf8) {
  return PercentEncodeBytes(utf8);
}

std::string PickProxy(const std::string& list, const std::string& scheme) {
  std::string fallback;
  for (std::string entry : SplitText(list, ";")) {
    entry = TrimSpaces(entry);
    if (entry.empty()) continue;
    size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      if (fallback.empty()) fallback = entry;
    } else if (EqualsIgnoreCase(entry.substr(0, eq), scheme)) {
      return entry.substr(eq + 1);
    }
  }
  return fallback;
}

curl_slist* OurHeaderList(const std::vector<std::string>& lines) {
  curl_slist* list = nullptr;
  bool hasAccept = false, hasContentType = false;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    hasAccept |= StartsWithIgnoreCase(line, "Accept:");
    hasContentType |= StartsWithIgnoreCase(line, "Content-Type:");
    list = curl_slist_append(list, line.c_str());
  }
  if (!hasAccept) list = curl_slist_append(list, "Accept:");
  if (!hasContentType) list = curl_slist_append(list, "Content-Type:");
  return curl_slist_append(list, "Expect:");
}

namespace {

// Idle leases kept beyond this are closed: more threads than this rarely ask at once.
constexpr size_t kMaxIdleLeases = 8;

void Close(const CurlConnectionPool::Lease& lease) {
  if (lease.easy) curl_easy_cleanup(lease.easy);
  if (lease.multi) curl_multi_cleanup(lease.multi);
}

}  // namespace

CurlConnectionPool::~CurlConnectionPool() {
  for (const Lease& lease : idle_) Close(lease);
}

CurlConnectionPool::Lease CurlConnectionPool::Borrow() {
  Lease lease;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      lease = idle_.back();
      idle_.pop_back();
    }
  }
  if (lease.easy) return lease;
  lease.multi = curl_multi_init();
  lease.easy = lease.multi ? curl_easy_init() : nullptr;
  if (!lease.easy) {
    Close(lease);
    return {};
  }
  return lease;
}

void CurlConnectionPool::GiveBack(Lease lease) {
  if (!lease.easy) return;
  // Nothing of the exchange is left on the handle: its options point into the caller's frame.
  curl_easy_reset(lease.easy);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kMaxIdleLeases) return idle_.push_back(lease);
  }
  Close(lease);
}

CURLcode PerformUnlessCancelled(const CurlConnectionPool::Lease& lease, const CancelFlag& cancel) {
  // How long a wait on the network may go on before the flag is looked at again.
  constexpr int kCancelCheckMs = 50;
  if (cancel.raised()) return CURLE_ABORTED_BY_CALLBACK;
  CURLM* multi = lease.multi;
  CURL* curl = lease.easy;
  if (curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  while (!cancel.raised()) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) {
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &left))
        if (message->msg == CURLMSG_DONE && message->easy_handle == curl)
          result = message->data.result;
      break;
    }
    if (curl_multi_poll(multi, nullptr, 0, kCancelCheckMs, nullptr) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
  }
  // A transfer still running when it is removed loses its connection; a finished one leaves
  // its connection in the multi handle's cache for the next exchange.
  curl_multi_remove_handle(multi, curl);
  return result;
}

std::string BracketHost(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

void ResponseCollector::Attach(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
}

}  // namespace sf
