#include "service/service.h"

#include "base/version.h"
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

std::string SetPassword(const std::string& stateDirectory, const std::string& password,
                        int iterations) {
  std::string error;
  std::unique_ptr<StateStore> store = StateStore::Open(stateDirectory, error);
  if (!store) return error;
  std::string hash = HashPassword(password, iterations);
  if (hash.empty()) return "cannot hash the password";
  if (!store->SetSetting(kPasswordSetting, hash) || !store->DeleteAllSessions())
    return store->error();
  return {};
}

}  // namespace sf::service
