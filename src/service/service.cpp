#include "service/service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "base/text.h"
#include "base/version.h"
#include "download/aria2_remote.h"
#include "net/json_rpc.h"
#include "service/secrets.h"

namespace sf::service {
namespace {

constexpr const char* kPasswordSetting = "password";

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The JSON object of a request body, or a null value when the body is not one.
nlohmann::json BodyObject(const HttpRequest& request) {
  nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  return body.is_object() ? body : nlohmann::json();
}

std::string StringField(const nlohmann::json& body, const char* name) {
  auto it = body.find(name);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A row id from a path segment; 0 for anything else, which no row has.
int64_t IdOf(const std::string& text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stoll(text);
}

// A whole number of the query within [low, high], else `fallback`; false when it is there and
// is not one.
bool QueryNumber(const HttpRequest& request, const char* name, int64_t low, int64_t high,
                 int64_t& value) {
  auto it = request.query.find(name);
  if (it == request.query.end()) return true;
  const std::string& text = it->second;
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stoll(text);
  return value >= low && value <= high;
}

// The texts of a JSON array of texts; false when the value is something else.
bool Texts(const nlohmann::json& value, std::vector<std::string>& out) {
  if (!value.is_array()) return false;
  for (const auto& item : value) {
    if (!item.is_string()) return false;
    out.push_back(item.get<std::string>());
  }
  return true;
}

// A filter from the API's object: {"state": "..." or [...], "q": "...", "share": N}.
bool ReadFilter(const nlohmann::json& value, DownloadFilter& filter) {
  if (!value.is_object()) return false;
  if (auto it = value.find("state"); it != value.end()) {
    if (it->is_string())
      filter.states.push_back(it->get<std::string>());
    else if (!Texts(*it, filter.states))
      return false;
  }
  if (auto it = value.find("q"); it != value.end()) {
    if (!it->is_string()) return false;
    filter.name = it->get<std::string>();
  }
  if (auto it = value.find("share"); it != value.end()) {
    if (!it->is_number_integer()) return false;
    filter.share = it->get<int64_t>();
  }
  return true;
}

nlohmann::json DescribeDownload(const DownloadView& row) {
  return {{"id", row.id},
          {"share", row.share},
          {"path", row.path},
          {"size", row.size},
          {"done", row.done},
          {"speed", row.speed},
          {"state", row.state},
          {"reason", row.reason},
          {"downloader",
           row.downloader == 0 ? nlohmann::json(nullptr) : nlohmann::json(row.downloader)},
          {"where", row.where}};
}

// The secret never goes out: only whether there is one.
nlohmann::json DescribeDownloader(const DownloaderRow& row) {
  return {{"id", row.id},
          {"name", row.name},
          {"url", row.url},
          {"directory", row.directory},
          {"hasSecret", row.hasSecret}};
}

bool HasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// A folder below a download folder: relative, with no empty, "." or ".." segment, no
// backslash and no control character; "" is the download folder itself.
bool SafeFolder(const std::string& folder) {
  if (folder.empty()) return true;
  if (HasControl(folder) || folder.find('\\') != std::string::npos) return false;
  for (const std::string& part : SplitText(folder, "/"))
    if (part.empty() || part == "." || part == "..") return false;
  return true;
}

// Whatever of the secret a downloader's words echo shows as "***".
std::string Masked(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
    text.replace(at, secret.size(), "***");
  return text;
}

constexpr int kDownloaderCallSeconds = 10;

HttpResponse NoShare() {
  return ErrorResponse(404, "not-found", "no such share");
}

}  // namespace

Service::Service(ServiceOptions options)
    : options_(std::move(options)), events_(options_.eventRing), guard_(options_.login) {}

Service::~Service() {
  Stop();
}

std::string Service::Start(std::string& newPassword) {
  newPassword.clear();
  std::string error;
  store_ = StateStore::Open(options_.stateDirectory, error);
  if (!store_) return error;
  shares_ = std::make_unique<ShareJobs>(
      *store_, options_.shares,
      [this](const std::string& name, const nlohmann::json& data) { events_.Publish(name, data); });
  shares_->Start();
  if (options_.downloads.directory.empty())
    options_.downloads.directory = options_.stateDirectory + "/downloads";
  downloads_ = std::make_unique<DownloadJobs>(
      *store_, *shares_, options_.downloads,
      [this](const std::string& name, const nlohmann::json& data) { events_.Publish(name, data); });
  error = downloads_->Start();
  if (!error.empty()) return error;
  if (!store_->Setting(kPasswordSetting)) {
    std::string password = RandomToken(12);
    std::string hash = HashPassword(password, options_.passwordIterations);
    if (password.empty() || hash.empty()) return "cannot make a password";
    if (!store_->SetSetting(kPasswordSetting, hash)) return store_->error();
    newPassword = password;
  }
  server_ = std::make_unique<HttpServer>(options_.http);
  AddRoutes();
  server_->SetGate([this](const HttpRequest& request) -> std::optional<HttpResponse> {
    if (guard_.Banned(request.client, LoginGuard::Clock::now()))
      return ErrorResponse(403, "banned", "too many refused logins from this address; wait");
    return std::nullopt;
  });
  error = server_->Start();
  if (!error.empty()) return error;
  heartbeat_ = std::thread([this] { HeartbeatLoop(); });
  return {};
}

void Service::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  if (heartbeat_.joinable()) heartbeat_.join();
  // Resolutions first: a worker waiting on a prompt holds no connection, but it writes to the
  // store and tells the event streams until it ends.
  // The downloads before the resolutions: a link that comes after goes nowhere, and the rows
  // stay as they were for the next start.
  if (downloads_) downloads_->Stop();
  if (shares_) shares_->Stop();
  if (server_) server_->Stop();
}

void Service::HeartbeatLoop() {
  std::unique_lock lock(mutex_);
  while (!stop_.wait_for(lock, options_.heartbeat, [this] { return stopping_; }))
    events_.Heartbeat();
}

void Service::AddRoutes() {
  auto bind = [this](HttpResponse (Service::*member)(const HttpRequest&)) {
    return [this, member](const HttpRequest& request) { return (this->*member)(request); };
  };
  server_->Route("POST", "/login", bind(&Service::Login));
  server_->Route("POST", "/logout", bind(&Service::Logout));
  server_->Route("GET", "/session", bind(&Service::SessionInfo));
  server_->Route("GET", "/keys", bind(&Service::ListKeys));
  server_->Route("POST", "/keys", bind(&Service::CreateKey));
  server_->Route("DELETE", "/keys/:id", bind(&Service::DeleteKey));
  server_->Route("GET", "/version", bind(&Service::Version));
  server_->Route("GET", "/events", bind(&Service::Events));
  server_->Route("POST", "/shares", bind(&Service::AddShares));
  server_->Route("GET", "/shares", bind(&Service::ListShares));
  server_->Route("GET", "/shares/:id", bind(&Service::ShareInfo));
  server_->Route("DELETE", "/shares/:id", bind(&Service::DeleteShare));
  server_->Route("GET", "/shares/:id/tree", bind(&Service::ShareTree));
  server_->Route("GET", "/shares/:id/captcha", bind(&Service::CaptchaPicture));
  server_->Route("POST", "/shares/:id/captcha", bind(&Service::AnswerCaptcha));
  server_->Route("POST", "/shares/:id/captcha/refresh", bind(&Service::RenewCaptcha));
  server_->Route("POST", "/shares/:id/password", bind(&Service::AnswerPassword));
  server_->Route("POST", "/shares/:id/downloads", bind(&Service::StartDownloads));
  server_->Route("GET", "/downloads", bind(&Service::ListDownloads));
  server_->Route("POST", "/downloads/pause", [this](const HttpRequest& request) {
    return ActOnDownloads(request, DownloadJobs::Act::kPause);
  });
  server_->Route("POST", "/downloads/resume", [this](const HttpRequest& request) {
    return ActOnDownloads(request, DownloadJobs::Act::kResume);
  });
  server_->Route("POST", "/downloads/retry", [this](const HttpRequest& request) {
    return ActOnDownloads(request, DownloadJobs::Act::kRetry);
  });
  server_->Route("POST", "/downloads/remove", [this](const HttpRequest& request) {
    return ActOnDownloads(request, DownloadJobs::Act::kRemove);
  });
  server_->Route("PUT", "/settings", bind(&Service::PutSettings));
  server_->Route("GET", "/settings", bind(&Service::GetSettings));
  server_->Route("GET", "/downloaders", bind(&Service::ListDownloaders));
  server_->Route("POST", "/downloaders", bind(&Service::AddDownloader));
  server_->Route("PUT", "/downloaders/:id", bind(&Service::ChangeDownloader));
  server_->Route("DELETE", "/downloaders/:id", bind(&Service::DeleteDownloader));
  server_->Route("POST", "/downloaders/:id/test", bind(&Service::TestDownloader));
  server_->Route("GET", "/history", bind(&Service::ListHistory));
  server_->Route("DELETE", "/history/:id", bind(&Service::DeleteHistory));
}

Caller Service::Identify(const HttpRequest& request) {
  Caller caller;
  const std::string authorization = request.Header("authorization");
  if (!authorization.empty()) {
    // A script's key: no cookie is looked at, so a key cannot borrow a browser's session.
    if (authorization.compare(0, 7, "Bearer ") != 0) return caller;
    if (auto id = store_->UseKey(TokenDigest(authorization.substr(7)), Now())) {
      caller.kind = Caller::kKey;
      caller.keyId = *id;
    }
    return caller;
  }
  const std::string token = request.Cookie(cookieName());
  if (token.empty()) return caller;
  std::string digest = TokenDigest(token);
  if (auto session = store_->FindSession(digest, Now())) {
    caller.kind = Caller::kSession;
    caller.sessionDigest = digest;
    caller.csrfDigest = session->csrfDigest;
  }
  return caller;
}

std::optional<HttpResponse> Service::Refuse(const HttpRequest& request, const Caller& caller,
                                            Allow allow) {
  if (caller.kind == Caller::kNobody)
    return ErrorResponse(401, "login", "log in, or give an API key");
  if (caller.kind == Caller::kKey && allow == Allow::kSessionOnly)
    return ErrorResponse(403, "key-not-allowed", "API keys cannot manage logins or keys");
  // A cookie comes with every request a browser makes, wherever the page is from; the token
  // only comes from our own page, which got it at login.
  if (caller.kind == Caller::kSession && request.Changes() &&
      !SameSecret(TokenDigest(request.Header("x-csrf-token")), caller.csrfDigest))
    return ErrorResponse(403, "csrf", "the X-CSRF-Token header is missing or wrong");
  return std::nullopt;
}

HttpResponse Service::Login(const HttpRequest& request) {
  nlohmann::json body = BodyObject(request);
  const std::string password = StringField(body, "password");
  if (password.empty()) return ErrorResponse(400, "request", "give {\"password\": \"...\"}");
  std::optional<std::string> stored = store_->Setting(kPasswordSetting);
  if (!stored) return ErrorResponse(500, "state", "the password cannot be read");
  if (!VerifyPassword(password, *stored)) {
    guard_.Failed(request.client, LoginGuard::Clock::now());
    HttpResponse refusal = ErrorResponse(401, "password", "wrong password");
    refusal.delay = guard_.policy().refusalDelay;
    return refusal;
  }
  guard_.Succeeded(request.client);
  std::string token = RandomToken(32), csrf = RandomToken(32);
  int64_t now = Now(), expires = now + options_.sessionLifetime.count();
  if (token.empty() || csrf.empty() ||
      !store_->AddSession(TokenDigest(token), TokenDigest(csrf), expires, now))
    return ErrorResponse(500, "state", "the session cannot be kept");
  HttpResponse response = JsonResponse(200, {{"csrfToken", csrf}, {"expires", expires}});
  response.headers.emplace_back("Set-Cookie", cookieName() + "=" + token +
                                                  "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" +
                                                  std::to_string(options_.sessionLifetime.count()));
  return response;
}

HttpResponse Service::Logout(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOnly)) return *refusal;
  if (!store_->DeleteSession(caller.sessionDigest))
    return ErrorResponse(500, "state", "the session cannot be ended");
  HttpResponse response = JsonResponse(200, nlohmann::json::object());
  response.headers.emplace_back("Set-Cookie",
                                cookieName() + "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0");
  return response;
}

HttpResponse Service::SessionInfo(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  if (caller.kind == Caller::kKey)
    return JsonResponse(200, {{"kind", "key"}, {"key", caller.keyId}});
  return JsonResponse(200, {{"kind", "session"}});
}

HttpResponse Service::ListKeys(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOnly)) return *refusal;
  nlohmann::json keys = nlohmann::json::array();
  for (const KeyRow& key : store_->Keys())
    keys.push_back(
        {{"id", key.id}, {"name", key.name}, {"created", key.created}, {"lastUsed", key.lastUsed}});
  return JsonResponse(200, {{"keys", keys}});
}

HttpResponse Service::CreateKey(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOnly)) return *refusal;
  const std::string name = StringField(BodyObject(request), "name");
  if (name.empty() || name.size() > 200)
    return ErrorResponse(400, "request", "give {\"name\": \"...\"}, at most 200 bytes");
  std::string key = RandomToken(32);
  if (key.empty()) return ErrorResponse(500, "random", "no random bytes for a key");
  key = "sfk_" + key;
  int64_t id = store_->AddKey(name, TokenDigest(key), Now());
  if (id < 0) return ErrorResponse(500, "state", "the key cannot be kept");
  // The only time the key is ever told: only its digest is kept.
  return JsonResponse(201, {{"id", id}, {"name", name}, {"key", key}});
}

HttpResponse Service::DeleteKey(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOnly)) return *refusal;
  const std::string& text = request.params.at("id");
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return ErrorResponse(404, "not-found", "no such key");
  if (!store_->DeleteKey(std::stoll(text))) return ErrorResponse(404, "not-found", "no such key");
  return JsonResponse(200, nlohmann::json::object());
}

HttpResponse Service::Version(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  return JsonResponse(200, {{"version", VersionNumber()}, {"commit", GitCommit()}, {"api", 1}});
}

HttpResponse Service::Events(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  std::string last = request.Header("last-event-id");
  if (last.empty() && request.query.count("lastEventId")) last = request.query.at("lastEventId");
  HttpResponse response;
  response.contentType = "text/event-stream";
  response.headers = {{"Cache-Control", "no-cache"}, {"X-Accel-Buffering", "no"}};
  response.stream = events_.Subscribe(last);
  return response;
}

nlohmann::json Service::DescribeShare(const ShareRow& row) {
  nlohmann::json share = {{"id", row.id},           {"url", row.url},
                          {"state", row.state},     {"message", row.message},
                          {"created", row.created}, {"hasCode", row.hasPassword}};
  if (std::optional<ShareTotals> totals = store_->Totals(row.id)) {
    share["files"] = totals->files;
    share["folders"] = totals->folders;
    share["bytes"] = totals->bytes;
  }
  nlohmann::json missing = nlohmann::json::array();
  for (const MissingFolderRow& folder : store_->MissingFolders(row.id))
    missing.push_back({{"path", folder.path}, {"reason", folder.reason}});
  share["missingFolders"] = std::move(missing);
  share["prompt"] = nullptr;
  if (std::optional<SharePrompt> prompt = shares_->Prompt(row.id))
    share["prompt"] = {
        {"kind", prompt->kind}, {"expires", prompt->expires}, {"picture", prompt->picture}};
  return share;
}

HttpResponse Service::AddShares(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  const std::string text = StringField(BodyObject(request), "text");
  if (text.empty())
    return ErrorResponse(400, "request", "give {\"text\": \"...\"}: the share as pasted");
  std::string error;
  std::vector<int64_t> ids = shares_->Add(text, error);
  if (ids.empty()) return ErrorResponse(400, "no-link", error);
  nlohmann::json added = nlohmann::json::array();
  for (int64_t id : ids)
    if (std::optional<ShareRow> row = store_->Share(id))
      added.push_back({{"id", row->id}, {"url", row->url}, {"state", row->state}});
  return JsonResponse(201, {{"shares", added}});
}

HttpResponse Service::ListShares(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  nlohmann::json shares = nlohmann::json::array();
  for (const ShareRow& row : store_->Shares()) shares.push_back(DescribeShare(row));
  return JsonResponse(200, {{"shares", shares}});
}

HttpResponse Service::ShareInfo(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  std::optional<ShareRow> row = store_->Share(IdOf(request.params.at("id")));
  if (!row) return NoShare();
  return JsonResponse(200, DescribeShare(*row));
}

HttpResponse Service::ShareTree(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  const int64_t id = IdOf(request.params.at("id"));
  if (!store_->Share(id)) return NoShare();
  std::string folder = request.query.count("folder") ? request.query.at("folder") : "/";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  int64_t offset = 0, limit = 100;
  if (folder.empty() || folder[0] != '/' || !QueryNumber(request, "offset", 0, INT32_MAX, offset) ||
      !QueryNumber(request, "limit", 1, 1000, limit))
    return ErrorResponse(400, "request",
                         "folder starts with /; offset is 0 or more; limit is 1 to 1000");
  if (folder != "/" && !store_->HasFolder(id, folder))
    return ErrorResponse(404, "not-found", "no such folder in the share");
  nlohmann::json entries = nlohmann::json::array();
  const size_t nameAt = folder == "/" ? 1 : folder.size() + 1;
  for (const FileRow& file : store_->Files(id, folder, offset, limit))
    entries.push_back({{"name", file.path.substr(std::min(nameAt, file.path.size()))},
                       {"path", file.path},
                       {"folder", file.isFolder},
                       {"size", file.size < 0 ? nlohmann::json() : nlohmann::json(file.size)}});
  return JsonResponse(200, {{"folder", folder},
                            {"offset", offset},
                            {"limit", limit},
                            {"total", store_->CountFiles(id, folder)},
                            {"entries", entries}});
}

HttpResponse Service::DeleteShare(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  if (!shares_->Remove(IdOf(request.params.at("id")))) return NoShare();
  return JsonResponse(200, nlohmann::json::object());
}

HttpResponse Service::CaptchaPicture(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  HttpResponse picture;
  if (!shares_->CaptchaPicture(IdOf(request.params.at("id")), picture.body, picture.contentType))
    return ErrorResponse(404, "not-found", "the share waits on no captcha picture");
  return picture;
}

HttpResponse Service::AnswerPassword(const HttpRequest& request) {
  return AnswerPrompt(request, share_state::kPassword, "password");
}

HttpResponse Service::AnswerCaptcha(const HttpRequest& request) {
  return AnswerPrompt(request, share_state::kCaptcha, "answer");
}

HttpResponse Service::RenewCaptcha(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  const int64_t id = IdOf(request.params.at("id"));
  if (!store_->Share(id)) return NoShare();
  if (shares_->RenewCaptcha(id) != ShareJobs::Answered::kTaken)
    return ErrorResponse(409, "no-prompt", "the share waits on no captcha prompt");
  // The fresh picture comes with the next `prompt` event of the share.
  return JsonResponse(202, nlohmann::json::object());
}

HttpResponse Service::AnswerPrompt(const HttpRequest& request, const char* kind,
                                   const char* field) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  const int64_t id = IdOf(request.params.at("id"));
  if (!store_->Share(id)) return NoShare();
  const std::string answer = StringField(BodyObject(request), field);
  bool control = std::any_of(answer.begin(), answer.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  if (TrimSpaces(answer).empty() || answer.size() > 256 || control)
    return ErrorResponse(400, "request",
                         std::string("give {\"") + field + "\": \"...\"}, at most 256 bytes");
  if (shares_->Answer(id, kind, answer) != ShareJobs::Answered::kTaken)
    return ErrorResponse(409, "no-prompt",
                         std::string("the share waits on no ") + kind + " prompt");
  return JsonResponse(200, nlohmann::json::object());
}

std::string KeepFirstPassword(const std::string& stateDirectory, const std::string& password) {
  std::string path = stateDirectory + "/" + kInitialPasswordFile;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  std::string line = password + "\n";
  bool written = fchmod(fd, 0600) == 0 &&
                 write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  written = close(fd) == 0 && written;
  if (!written) unlink(path.c_str());
  return written ? path : std::string();
}

std::string SetPassword(const std::string& stateDirectory, const std::string& password,
                        int iterations) {
  std::string error;
  std::unique_ptr<StateStore> store = StateStore::Open(stateDirectory, error);
  if (!store) return error;
  std::string hash = HashPassword(password, iterations);
  if (hash.empty()) return "cannot hash the password";
  if (!store->SetSetting(kPasswordSetting, hash) || !store->DeleteAllSessions())
    return store->error();
  unlink((stateDirectory + "/" + kInitialPasswordFile).c_str());
  return {};
}

}  // namespace sf::service

namespace sf::service {

HttpResponse Service::StartDownloads(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  const int64_t id = IdOf(request.params.at("id"));
  std::optional<ShareRow> share = store_->Share(id);
  if (!share) return NoShare();
  nlohmann::json body = BodyObject(request);
  auto usage = [] {
    return ErrorResponse(400, "request",
                         "give {\"paths\": [...]} or {\"all\": true}, with \"include\" and "
                         "\"exclude\" globs if wanted");
  };
  if (body.is_null()) return usage();
  std::vector<std::string> paths;
  ShareFilter filter;
  if (body.contains("include") && !Texts(body["include"], filter.include)) return usage();
  if (body.contains("exclude") && !Texts(body["exclude"], filter.exclude)) return usage();
  if (body.contains("all") && body["all"] == true) {
    (void)store_->EachShareFile(id,
                                [&paths](FileRow& file) { paths.push_back(std::move(file.path)); });
  } else if (!body.contains("paths") || !Texts(body["paths"], paths) || paths.empty()) {
    return usage();
  }
  // Globs match share paths as the terminal's get takes them: without the leading "/".
  std::erase_if(paths, [&filter](const std::string& path) {
    return !filter.Takes(path.empty() || path[0] != '/' ? path : path.substr(1));
  });
  DownloadTarget target;
  if (auto it = body.find("folder"); it != body.end() && !it->is_null()) {
    if (!it->is_string() || !SafeFolder(it->get<std::string>()))
      return ErrorResponse(400, "request",
                           "folder: a relative folder, without \"..\" or empty parts");
    target.folder = it->get<std::string>();
  }
  std::optional<DownloaderRow> downloader;
  if (auto it = body.find("downloader"); it != body.end() && !it->is_null()) {
    if (!it->is_number_integer()) return ErrorResponse(400, "request", "downloader: an id");
    downloader = store_->Downloader(it->get<int64_t>());
    if (!downloader) return ErrorResponse(400, "request", "no such downloader");
    target.downloader = downloader->id;
  }
  if (share->state != share_state::kResolved && share->state != share_state::kIncomplete)
    return ErrorResponse(409, "not-resolved", "the share is not resolved");
  if (downloader && downloader->directory.empty() && !target.folder.empty()) {
    // A folder below the downloader's own directory: that directory is asked for now, so
    // that the rows say where their files are even if it is set otherwise later.
    const std::string secret = store_->DownloaderSecret(downloader->id).value_or("");
    JsonRpcClient client(downloader->url);
    client.SetTimeoutSeconds(kDownloaderCallSeconds);
    Aria2Remote::Text dir = Aria2Remote(client, secret).GlobalDirectory();
    if (!dir.ok() || dir.value.empty())
      return ErrorResponse(502, "downloader",
                           Masked(DescribeRpcError("aria2.getGlobalOption", dir.error), secret));
    target.ownDirectory = dir.value;
  }
  std::string error;
  std::vector<int64_t> ids = downloads_->Add(id, paths, target, error);
  if (!error.empty()) return ErrorResponse(400, "request", error);
  std::string directory = downloads_->directory();
  if (!target.folder.empty()) directory += "/" + target.folder;
  if (downloader) {
    const std::string& base =
        downloader->directory.empty() ? target.ownDirectory : downloader->directory;
    directory = target.folder.empty() ? base : JoinRemoteDir(base, target.folder);
  }
  return JsonResponse(201, {{"ids", ids}, {"directory", directory}});
}

HttpResponse Service::ListDownloads(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  int64_t offset = 0, limit = 100;
  if (!QueryNumber(request, "offset", 0, INT_MAX, offset) ||
      !QueryNumber(request, "limit", 1, 1000, limit))
    return ErrorResponse(400, "request", "offset from 0, limit from 1 to 1000");
  DownloadFilter filter;
  if (auto it = request.query.find("state"); it != request.query.end())
    for (const std::string& state : SplitText(it->second, ","))
      if (!state.empty()) filter.states.push_back(state);
  if (auto it = request.query.find("q"); it != request.query.end()) filter.name = it->second;
  const std::string sort = request.query.count("sort") ? request.query.at("sort") : "name";
  const std::string order = request.query.count("order") ? request.query.at("order") : "asc";
  if ((sort != "name" && sort != "size" && sort != "state" && sort != "progress") ||
      (order != "asc" && order != "desc"))
    return ErrorResponse(400, "request",
                         "sort by name, size, state or progress; order asc or desc");
  const DownloadJobs::SortBy by = sort == "size"       ? DownloadJobs::SortBy::kSize
                                  : sort == "state"    ? DownloadJobs::SortBy::kState
                                  : sort == "progress" ? DownloadJobs::SortBy::kProgress
                                                       : DownloadJobs::SortBy::kName;
  DownloadJobs::Window rows = downloads_->Rows(
      filter, by, order == "desc", static_cast<size_t>(offset), static_cast<size_t>(limit));
  nlohmann::json window = nlohmann::json::array();
  for (const DownloadView& row : rows.rows) window.push_back(DescribeDownload(row));
  DownloadSums sums = downloads_->Sums();
  return JsonResponse(200, {{"revision", rows.revision},
                            {"total", rows.total},
                            {"offset", offset},
                            {"downloads", window},
                            {"totals",
                             {{"files", sums.files},
                              {"filesDone", sums.filesDone},
                              {"filesFailed", sums.filesFailed},
                              {"bytesDone", sums.bytesDone},
                              {"bytesTotal", sums.bytesTotal},
                              {"speed", sums.speed}}},
                            {"settings", Settings()}});
}

HttpResponse Service::ActOnDownloads(const HttpRequest& request, DownloadJobs::Act act) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  nlohmann::json body = BodyObject(request);
  std::vector<int64_t> ids;
  bool read = false;
  if (auto it = body.is_object() ? body.find("ids") : body.end();
      body.is_object() && it != body.end() && it->is_array()) {
    read = true;
    for (const auto& item : *it) {
      if (!item.is_number_integer()) read = false;
      if (read) ids.push_back(item.get<int64_t>());
    }
  } else if (body.is_object() && body.contains("filter")) {
    DownloadFilter filter;
    read = ReadFilter(body["filter"], filter);
    if (read) ids = downloads_->Ids(filter);
  }
  if (!read) return ErrorResponse(400, "request", "give {\"ids\": [...]} or {\"filter\": {...}}");
  bool files = body.contains("files") && body["files"] == true;
  int acted = downloads_->Apply(act, ids, files);
  return JsonResponse(200, {{"acted", acted}});
}

HttpResponse Service::PutSettings(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  nlohmann::json body = BodyObject(request);
  if (body.is_null()) return ErrorResponse(400, "request", "give a JSON object");
  nlohmann::json taken = nlohmann::json::object();
  if (auto it = body.find("speedLimit"); it != body.end()) {
    if (!it->is_number_integer() || *it < 0 || *it > INT32_MAX)
      return ErrorResponse(400, "request", "speedLimit: kilobytes per second, 0 for none");
    downloads_->SetSpeedLimit(it->get<int32_t>());
    taken["speedLimit"] = *it;
  }
  if (auto it = body.find("jobs"); it != body.end()) {
    if (!it->is_number_integer() || *it < 1 || *it > 64)
      return ErrorResponse(400, "request", "jobs: files at once, from 1 to 64");
    downloads_->SetJobs(it->get<int>());
    taken["jobs"] = *it;
  }
  return JsonResponse(200, taken);
}

nlohmann::json Service::Settings() {
  auto number = [this](const char* name, int fallback) {
    std::optional<std::string> value = store_->Setting(name);
    return value ? std::atoi(value->c_str()) : fallback;
  };
  return {{"speedLimit", number("speedLimit", 0)},
          {"jobs", number("jobs", DownloadQueue::kDefaultMaxRunning)}};
}

HttpResponse Service::GetSettings(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  return JsonResponse(200, Settings());
}

HttpResponse Service::ListDownloaders(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  nlohmann::json list = nlohmann::json::array();
  for (const DownloaderRow& row : store_->Downloaders()) list.push_back(DescribeDownloader(row));
  return JsonResponse(200, {{"downloaders", list}});
}

// Reads the fields a body gives into `row` and `secret`; empty, or what is wrong.
static std::string ReadDownloader(const nlohmann::json& body, DownloaderRow& row,
                                  std::optional<std::string>& secret) {
  for (const char* name : {"name", "url", "secret", "directory"})
    if (auto it = body.find(name); it != body.end() && !it->is_string())
      return std::string(name) + ": a text";
  if (body.contains("name")) row.name = body["name"].get<std::string>();
  if (body.contains("url")) row.url = body["url"].get<std::string>();
  if (body.contains("directory")) row.directory = body["directory"].get<std::string>();
  if (body.contains("secret")) secret = body["secret"].get<std::string>();
  if (row.name.empty() || row.name.size() > 200 || HasControl(row.name))
    return "name: 1 to 200 bytes, no control characters";
  const bool web = row.url.rfind("http://", 0) == 0 || row.url.rfind("https://", 0) == 0;
  if (!web || row.url.size() > 2000 || HasControl(row.url) ||
      row.url.find(' ') != std::string::npos)
    return "url: the downloader's JSON-RPC address, http:// or https://";
  if (row.directory.size() > 4096 || HasControl(row.directory))
    return "directory: no control characters";
  if (secret && (secret->size() > 1000 || HasControl(*secret)))
    return "secret: no control characters";
  return {};
}

HttpResponse Service::AddDownloader(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  nlohmann::json body = BodyObject(request);
  if (body.is_null()) return ErrorResponse(400, "request", "give {\"name\", \"url\"}");
  DownloaderRow row;
  std::optional<std::string> secret;
  if (std::string wrong = ReadDownloader(body, row, secret); !wrong.empty())
    return ErrorResponse(400, "request", wrong);
  row.id = store_->AddDownloader(row.name, row.url, secret.value_or(""), row.directory);
  if (row.id < 0) return ErrorResponse(500, "state", "the downloader cannot be kept");
  row.hasSecret = secret && !secret->empty();
  downloads_->DownloadersChanged();
  events_.Publish("downloaders", nlohmann::json::object());
  return JsonResponse(201, DescribeDownloader(row));
}

HttpResponse Service::ChangeDownloader(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  const int64_t id = IdOf(request.params.at("id"));
  std::optional<DownloaderRow> row = store_->Downloader(id);
  if (!row) return ErrorResponse(404, "not-found", "no such downloader");
  nlohmann::json body = BodyObject(request);
  if (body.is_null()) return ErrorResponse(400, "request", "give a JSON object");
  std::optional<std::string> secret;
  if (std::string wrong = ReadDownloader(body, *row, secret); !wrong.empty())
    return ErrorResponse(400, "request", wrong);
  if (!store_->UpdateDownloader(*row, secret))
    return ErrorResponse(500, "state", "the downloader cannot be kept");
  if (secret) row->hasSecret = !secret->empty();
  downloads_->DownloadersChanged();
  events_.Publish("downloaders", nlohmann::json::object());
  return JsonResponse(200, DescribeDownloader(*row));
}

HttpResponse Service::DeleteDownloader(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  const int64_t id = IdOf(request.params.at("id"));
  if (downloads_->Uses(id))
    return ErrorResponse(409, "in-use", "files still download there; remove them first");
  if (!store_->DeleteDownloader(id)) return ErrorResponse(404, "not-found", "no such downloader");
  downloads_->DownloadersChanged();
  events_.Publish("downloaders", nlohmann::json::object());
  return JsonResponse(200, nlohmann::json::object());
}

HttpResponse Service::TestDownloader(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  const int64_t id = IdOf(request.params.at("id"));
  std::optional<DownloaderRow> row = store_->Downloader(id);
  if (!row) return ErrorResponse(404, "not-found", "no such downloader");
  const std::string secret = store_->DownloaderSecret(id).value_or("");
  JsonRpcClient client(row->url);
  client.SetTimeoutSeconds(kDownloaderCallSeconds);
  Aria2Remote::Text version = Aria2Remote(client, secret).Version();
  if (!version.ok())
    return JsonResponse(
        200, {{"ok", false},
              {"message", Masked(DescribeRpcError("aria2.getVersion", version.error), secret)}});
  return JsonResponse(200, {{"ok", true}, {"version", Masked(version.value, secret)}});
}

HttpResponse Service::ListHistory(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  int64_t offset = 0, limit = 100;
  if (!QueryNumber(request, "offset", 0, INT_MAX, offset) ||
      !QueryNumber(request, "limit", 1, 1000, limit))
    return ErrorResponse(400, "request", "offset from 0, limit from 1 to 1000");
  nlohmann::json list = nlohmann::json::array();
  for (const HistoryRow& row : store_->History(offset, limit))
    list.push_back(
        {{"id", row.id},
         {"share", row.shareId == 0 ? nlohmann::json(nullptr) : nlohmann::json(row.shareId)},
         {"url", row.url},
         {"title", row.title},
         {"files", row.files},
         {"filesFailed", row.filesFailed},
         {"bytes", row.bytes},
         {"started", row.started},
         {"ended", row.finished}});
  return JsonResponse(200, {{"total", store_->CountHistory()}, {"history", list}});
}

HttpResponse Service::DeleteHistory(const HttpRequest& request) {
  Caller caller = Identify(request);
  if (auto refusal = Refuse(request, caller, Allow::kSessionOrKey)) return *refusal;
  if (!store_->DeleteHistory(IdOf(request.params.at("id"))))
    return ErrorResponse(404, "not-found", "no such history entry");
  return JsonResponse(200, nlohmann::json::object());
}

}  // namespace sf::service
