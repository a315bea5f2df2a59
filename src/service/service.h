// The service as one object: its state, its event hub, the login guard and the HTTP server
// with the API's routes. sharefetchd runs one; the tests run one in-process on a free port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/download_jobs.h"
#include "service/event_hub.h"
#include "service/http_server.h"
#include "service/login_guard.h"
#include "service/share_jobs.h"
#include "service/state_store.h"

namespace sf::service {

struct ServiceOptions {
  HttpServerOptions http;
  std::string stateDirectory;
  LoginPolicy login;
  int passwordIterations = 600000;
  std::chrono::seconds sessionLifetime{7 * 24 * 3600};
  std::chrono::milliseconds heartbeat{15000};
  size_t eventRing = 1024;
  ShareJobOptions shares;
  // An empty folder: `downloads` in the state directory.
  DownloadOptions downloads;
};

// Who is calling: nobody, a browser's login session or a script's API key.
struct Caller {
  enum Kind { kNobody, kSession, kKey } kind = kNobody;
  std::string sessionDigest;
  std::string csrfDigest;
  int64_t keyId = 0;
};

class Service {
 public:
  explicit Service(ServiceOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Opens the state and listens; empty, or why not. On the first start a random password is
  // made and handed out once through `newPassword` (empty otherwise).
  [[nodiscard]] std::string Start(std::string& newPassword);
  void Stop();

  uint16_t port() const { return server_ ? server_->port() : 0; }
  // The session cookie's name carries the port, so two services on one host keep apart.
  std::string cookieName() const { return "sfd_session_" + std::to_string(port()); }
  unsigned connections() const { return server_ ? server_->connections() : 0; }
  EventHub& events() { return events_; }
  StateStore* store() { return store_.get(); }
  ShareJobs* shares() { return shares_.get(); }
  DownloadJobs* downloads() { return downloads_.get(); }

 private:
  enum class Allow { kSessionOrKey, kSessionOnly };
  Caller Identify(const HttpRequest& request);
  std::optional<HttpResponse> Refuse(const HttpRequest& request, const Caller& caller, Allow allow);
  void AddRoutes();
  HttpResponse Login(const HttpRequest& request);
  HttpResponse Logout(const HttpRequest& request);
  HttpResponse SessionInfo(const HttpRequest& request);
  HttpResponse ListKeys(const HttpRequest& request);
  HttpResponse CreateKey(const HttpRequest& request);
  HttpResponse DeleteKey(const HttpRequest& request);
  HttpResponse Version(const HttpRequest& request);
  HttpResponse Events(const HttpRequest& request);
  HttpResponse AddShares(const HttpRequest& request);
  HttpResponse ListShares(const HttpRequest& request);
  HttpResponse ShareInfo(const HttpRequest& request);
  HttpResponse ShareTree(const HttpRequest& request);
  HttpResponse DeleteShare(const HttpRequest& request);
  HttpResponse CaptchaPicture(const HttpRequest& request);
  HttpResponse AnswerPassword(const HttpRequest& request);
  HttpResponse AnswerCaptcha(const HttpRequest& request);
  HttpResponse RenewCaptcha(const HttpRequest& request);
  HttpResponse AnswerPrompt(const HttpRequest& request, const char* kind, const char* field);
  HttpResponse StartDownloads(const HttpRequest& request);
  HttpResponse ListDownloads(const HttpRequest& request);
  HttpResponse ActOnDownloads(const HttpRequest& request, DownloadJobs::Act act);
  HttpResponse PutSettings(const HttpRequest& request);
  HttpResponse GetSettings(const HttpRequest& request);
  nlohmann::json Settings();
  HttpResponse ListDownloaders(const HttpRequest& request);
  HttpResponse AddDownloader(const HttpRequest& request);
  HttpResponse ChangeDownloader(const HttpRequest& request);
  HttpResponse DeleteDownloader(const HttpRequest& request);
  HttpResponse TestDownloader(const HttpRequest& request);
  HttpResponse ListHistory(const HttpRequest& request);
  HttpResponse DeleteHistory(const HttpRequest& request);
  nlohmann::json DescribeShare(const ShareRow& row);
  void HeartbeatLoop();

  ServiceOptions options_;
  std::unique_ptr<StateStore> store_;
  EventHub events_;
  LoginGuard guard_;
  std::unique_ptr<ShareJobs> shares_;
  std::unique_ptr<DownloadJobs> downloads_;
  std::unique_ptr<HttpServer> server_;

  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread heartbeat_;
};

// The file that holds the first login password when it cannot be shown: kInitialPasswordFile
// in `stateDirectory`, written 0600 without following a link. Its path, or empty on failure.
inline constexpr const char* kInitialPasswordFile = "initial-password";
std::string KeepFirstPassword(const std::string& stateDirectory, const std::string& password);

// Replaces the login password kept in `stateDirectory` and ends every session; empty, or
// what failed. Works while a service runs on the same directory. The first password's file,
// if one is left, goes: it no longer opens anything.
std::string SetPassword(const std::string& stateDirectory, const std::string& password,
                        int iterations);

}  // namespace sf::service
