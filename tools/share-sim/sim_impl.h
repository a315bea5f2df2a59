// Internals of ShareSimulator shared by its source files (one per group of endpoints).
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "captcha.h"
#include "fixture.h"
#include "http_server.h"
#include "request_log.h"
#include "share_simulator.h"
#include "sim_text.h"

namespace sf::sim {

struct ShareSimulator::Impl {
  explicit Impl(uint64_t seed) : captchas(seed) {}

  std::shared_ptr<const Fixture> fixture;
  HttpServer server;
  RequestLog log;
  CaptchaStore captchas;
  std::string secret;  // keys, signs and link signatures are keyed with it; new every start
  std::string error;
  int port = 0;
  std::atomic<uint64_t> requestId{1};
  std::atomic<uint64_t> captchasIssued{0};
  std::atomic<int> linkDelayMs{0};  // each link request waits this long before its answer

  mutable std::mutex stateMutex;                   // guards everything below
  std::unordered_set<std::string> missingShown;    // share ids whose "missing" page went out
  std::unordered_set<std::string> passedVisitors;  // shareid + "|" + SHAREUID
  std::deque<std::string> passedOrder;
  std::optional<DownloadQuirks> downloadOverride;
  std::string fileHost;                                 // "" : the host the client asked
  uint64_t linksGiven = 0;                              // every direct link has its number
  uint64_t expiredBelow = 1;                            // links numbered below have expired
  std::unordered_set<uint64_t> expiredLinks;            // and these, given out expired
  std::unordered_map<uint64_t, uint64_t> linksPerFile;  // by fs_id, for "staleLinks"

  // As if just started: captchas, visitors, "missingOnce" pages and expired links forgotten.
  void ResetState();

  HttpResponse Handle(const HttpRequest& req);
  void Record(const HttpRequest& req, int status);

  // Endpoints.
  HttpResponse SharePage(const HttpRequest& req, const Share& share);
  HttpResponse ShortLink(const HttpRequest& req, const std::string& id);
  HttpResponse InitPage(const HttpRequest& req, const Pairs& query);
  HttpResponse Verify(const HttpRequest& req, const Pairs& query);
  HttpResponse Like(const HttpRequest& req, const Pairs& query);
  HttpResponse List(const HttpRequest& req, const std::string& query);
  HttpResponse ShareDownload(const HttpRequest& req, const Pairs& query);
  HttpResponse GetCaptcha(const HttpRequest& req, const Pairs& query);
  HttpResponse GetVcode(const HttpRequest& req, const Pairs& query);
  HttpResponse IssueCaptcha(const HttpRequest& req, const char* tokenKey, const char* imageKey);
  HttpResponse Image(const std::string& token);
  HttpResponse File(const HttpRequest& req, const std::string& path, const Pairs& query);

  // Helpers.
  std::string Mac(std::string_view data) const;  // 64 hex characters
  std::string Sign(const Share& s, uint64_t timestamp) const;
  std::string Bdstoken(const Share& s) const;
  std::string IssueKey(const Share& s, char kind);  // kind 'v' (verify) or 'l' (like)
  bool KeyValid(const Share& s, const std::string& key, bool verifiedOnly) const;
  std::string FileSign(uint64_t shareid, uint64_t fsId, uint64_t dstime, uint64_t serial) const;
  // The number of a new direct link for `file`, which is given out expired as long as the
  // file's "staleLinks" say so.
  uint64_t NewLink(const Node& file);
  // The failed answer of a link request for `file`, when its "linkFailure" says it fails now.
  std::optional<HttpResponse> FailedLink(const Node& file);
  bool LinkExpired(uint64_t serial) const;
  std::string Host(const HttpRequest& req) const;
  JsonStyle Style() const;
  HttpResponse Json(std::string body, std::vector<std::string> cookies = {});
  HttpResponse Errno(int code, std::string_view why = {});
  uint64_t NextRequestId() { return requestId.fetch_add(1) * 7919 + 3000000000ull; }
  // The share named by query keys `idKey` and `ukKey`, after checking both; null with
  // `why` set otherwise.
  const Share* FindShare(const Pairs& pairs, const char* idKey, const char* ukKey,
                         std::string* why) const;
  // Checks the fixed query values most endpoints carry; empty when all is well.
  std::string CheckCommon(const Pairs& query, bool bdstokenNull, bool fixedAppId) const;
};

std::string HttpDate(int64_t unixSeconds, bool cookieStyle);
std::string HtmlEscape(std::string_view text);
std::string ItemJson(const Node& n, const JsonStyle& style);

}  // namespace sf::sim
