// A local stand-in for the share service: a real HTTP server on 127.0.0.1 that plays the
// service's side of every endpoint the client uses, driven by a fixture of shares, checking
// what the client sends, and logging every request for tests to read.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fixture.h"
#include "request_log.h"

namespace sf::sim {

class ShareSimulator {
 public:
  ShareSimulator();
  ~ShareSimulator();
  ShareSimulator(const ShareSimulator&) = delete;
  ShareSimulator& operator=(const ShareSimulator&) = delete;

  // Starts serving `fixture` on 127.0.0.1:`port` (0: a free port). False with error() set.
  bool Start(std::shared_ptr<const Fixture> fixture, int port = 0);
  bool StartFromFile(const std::string& fixturePath, int port = 0);
  bool StartFromText(const std::string& fixtureJson, int port = 0);
  void Stop();  // ends every connection; safe to call twice

  // Loads a fixture without listening; only AnswerConnection serves it then.
  bool Load(std::shared_ptr<const Fixture> fixture);
  bool LoadFromText(const std::string& fixtureJson);
  // Answers one connection's worth of request bytes in this process, without any socket, and
  // gives back every byte the server would send on it. Requests are logged as usual.
  std::string AnswerConnection(std::string_view requestBytes);

  int port() const;
  // How many connections the clients opened so far.
  uint64_t ConnectionsAccepted() const;
  const std::string& error() const;
  const Fixture* fixture() const;
  std::string Url(std::string_view pathAndQuery = "/") const;  // http://127.0.0.1:PORT + path
  std::string ShareUrl(std::string_view id) const;             // the short link /s/<id>
  std::string InitUrl(std::string_view id) const;  // /share/init?shareid=…&uk=… ("" if unknown)

  // The requests received so far, in the order they were answered.
  std::vector<RequestRecord> Requests() const;
  void ClearRequests();
  bool SetLogFile(const std::string& path);  // appends JSON lines; "" stops
  void SetKeepRequests(bool keep);           // false: only the file gets them

  // The requests to `path`, or below it when `path` ends in "/" ("/file/": every download).
  std::vector<RequestRecord> RequestsTo(std::string_view path) const;
  // How many of those there were, counting only bodies that hold `bodyPart` when it is given.
  size_t CountRequests(std::string_view path, std::string_view bodyPart = {}) const;

  // The answer of a captcha token, while the token is known.
  std::optional<std::string> CaptchaAnswer(const std::string& token) const;
  // The token of the captcha picture fetched last ("" when none was), and its answer: what a
  // user reading that picture would type.
  std::string LatestCaptchaToken() const;
  std::optional<std::string> LatestCaptchaAnswer() const;

  // Replaces the download quirks of the fixture and of every share (rate, range, drops).
  void SetDownloadOverride(std::optional<DownloadQuirks> quirks);

  // Direct links given out from now on point at `url` ("http://127.0.0.1:PORT", without a "/"
  // at the end) instead of this service; "" points them back here.
  void SetFileHost(const std::string& url);

  // Every link request (/api/sharedownload) is answered `ms` milliseconds late, as a distant
  // service would; 0: at once.
  void SetLinkDelay(int ms);

  // Every direct link given out so far has expired: the file server answers it with 403.
  void ExpireLinks();

  // Forgets captchas, visitors that passed a captcha, which "missingOnce" pages were shown
  // and which links expired, as if the simulator had just started. Requests stay.
  void Reset();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sf::sim
