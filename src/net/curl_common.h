// Pieces both libcurl layers share.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/cancel_flag.h"
#include "net/http_platform.h"

namespace sf {

void InitCurlOnce();

// Escapes spaces, control characters and non-ASCII bytes of a request target as %XX, the
// way the target goes on the wire; everything else goes as the caller wrote it.
std::string EscapeRequestTarget(std::string_view utf8);

// The proxy for a request of `scheme` from a list such as "http=host:port" or "host:port";
// "" when none applies.
std::string PickProxy(const std::string& list, const std::string& scheme);

// The request's header list: our lines as they are, and libcurl's own Accept, Content-Type and
// "Expect: 100-continue" kept out, so only our lines describe the request. Empty lines are
// skipped. The caller frees the list with curl_slist_free_all.
curl_slist* OurHeaderList(const std::vector<std::string>& lines);

// Connections kept open from one exchange to the next, as a browser keeps them: an exchange
// borrows a multi handle, whose cache holds the connections that the exchanges before it left
// open, with an easy handle set back to its defaults. libcurl takes a cached connection only
// for the same scheme, host, port and proxy, and makes a new one when the server has closed
// it; a transfer given up or cut short costs its connection. Any thread may borrow; a lease
// is one thread's until it is given back.
class CurlConnectionPool {
 public:
  struct Lease {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;  // null when libcurl could not make one
  };

  CurlConnectionPool() = default;
  ~CurlConnectionPool();
  CurlConnectionPool(const CurlConnectionPool&) = delete;
  CurlConnectionPool& operator=(const CurlConnectionPool&) = delete;

  Lease Borrow();
  void GiveBack(Lease lease);

 private:
  std::mutex mutex_;
  std::vector<Lease> idle_;
};

// Runs one transfer of `lease` to its end as curl_easy_perform does, or gives it up (dropping
// its connection) within a few hundredths of a second of `cancel` being raised, with
// CURLE_ABORTED_BY_CALLBACK; a flag raised before the start sends nothing at all.
CURLcode PerformUnlessCancelled(const CurlConnectionPool::Lease& lease, const CancelFlag& cancel);

// Brackets an IPv6 literal for use in a URL.
std::string BracketHost(const std::string& host);

// Collects the head of the last response (status line and header lines, CRLF line ends,
// then the empty line) and its body. A head or body past kMaxAnswerBytes ends the transfer;
// the body then holds one byte more than the cap, so the client above sees it was too large.
struct ResponseCollector {
  std::string head;
  int status = 0;
  bool headDone = false;
  std::string body;
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();

  void Attach(CURL* curl);
};

}  // namespace sf
