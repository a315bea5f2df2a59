#include "share_simulator.h"

#include <chrono>
#include <ctime>
#include <random>
#include <thread>

#include "file_content.h"
#include "sim_impl.h"

namespace sf::sim {

ShareSimulator::ShareSimulator() : impl_(std::make_unique<Impl>(std::random_device{}())) {}

ShareSimulator::~ShareSimulator() {
  Stop();
}

bool ShareSimulator::Load(std::shared_ptr<const Fixture> fixture) {
  if (!fixture) {
    impl_->error = "no fixture";
    return false;
  }
  if (impl_->port != 0) {
    impl_->error = "already running";
    return false;
  }
  impl_->fixture = std::move(fixture);
  std::random_device rd;
  impl_->secret = std::to_string(rd()) + ":" + std::to_string(rd()) + ":" + std::to_string(rd());
  Reset();
  Impl* impl = impl_.get();
  impl_->server.SetRejectObserver(
      [impl](const HttpRequest& r, int status) { impl->Record(r, status); });
  return true;
}

bool ShareSimulator::Start(std::shared_ptr<const Fixture> fixture, int port) {
  if (!Load(std::move(fixture))) return false;
  Impl* impl = impl_.get();
  if (!impl_->server.Start(
          port, [impl](const HttpRequest& r) { return impl->Handle(r); }, &impl_->error))
    return false;
  impl_->port = impl_->server.port();
  return true;
}

bool ShareSimulator::LoadFromText(const std::string& fixtureJson) {
  auto f = ParseFixture(fixtureJson, &impl_->error);
  return f && Load(f);
}

std::string ShareSimulator::AnswerConnection(std::string_view requestBytes) {
  Impl* impl = impl_.get();
  return impl_->server.AnswerBytes(
      requestBytes, [impl](const HttpRequest& r) { return impl->Handle(r); }, HttpServer::Limits());
}

bool ShareSimulator::StartFromFile(const std::string& fixturePath, int port) {
  auto f = LoadFixture(fixturePath, &impl_->error);
  return f && Start(f, port);
}

bool ShareSimulator::StartFromText(const std::string& fixtureJson, int port) {
  auto f = ParseFixture(fixtureJson, &impl_->error);
  return f && Start(f, port);
}

void ShareSimulator::Stop() {
  impl_->server.Stop();
  impl_->port = 0;
}

uint64_t ShareSimulator::ConnectionsAccepted() const {
  return impl_->server.ConnectionsAccepted();
}

int ShareSimulator::port() const {
  return impl_->port;
}
const std::string& ShareSimulator::error() const {
  return impl_->error;
}
const Fixture* ShareSimulator::fixture() const {
  return impl_->fixture.get();
}

std::string ShareSimulator::Url(std::string_view pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + std::string(pathAndQuery);
}

std::string ShareSimulator::ShareUrl(std::string_view id) const {
  return Url("/s/" + std::string(id));
}

std::string ShareSimulator::InitUrl(std::string_view id) const {
  if (!impl_->fixture) return {};
  auto it = impl_->fixture->byId.find(std::string(id));
  if (it == impl_->fixture->byId.end()) return {};
  return Url("/share/init?shareid=" + std::to_string(it->second->shareid) +
             "&uk=" + std::to_string(it->second->uk));
}

std::vector<RequestRecord> ShareSimulator::Requests() const {
  return impl_->log.Records();
}
void ShareSimulator::ClearRequests() {
  impl_->log.Clear();
}

bool ShareSimulator::SetLogFile(const std::string& path) {
  return impl_->log.OpenFile(path, &impl_->error);
}

void ShareSimulator::SetKeepRequests(bool keep) {
  impl_->log.SetKeepInMemory(keep);
}

std::optional<std::string> ShareSimulator::CaptchaAnswer(const std::string& token) const {
  return impl_->captchas.Answer(token);
}

std::vector<RequestRecord> ShareSimulator::RequestsTo(std::string_view path) const {
  bool below = !path.empty() && path.back() == '/';
  std::vector<RequestRecord> out;
  for (RequestRecord& r : impl_->log.Records()) {
    std::string p = r.Path();
    if (below ? p.rfind(path, 0) == 0 : p == path) out.push_back(std::move(r));
  }
  return out;
}

size_t ShareSimulator::CountRequests(std::string_view path, std::string_view bodyPart) const {
  size_t n = 0;
  for (const RequestRecord& r : RequestsTo(path)) n += r.body.find(bodyPart) != std::string::npos;
  return n;
}

std::string ShareSimulator::LatestCaptchaToken() const {
  std::vector<RequestRecord> pictures = RequestsTo("/genimage");
  return pictures.empty() ? "" : pictures.back().Query();
}

std::optional<std::string> ShareSimulator::LatestCaptchaAnswer() const {
  return CaptchaAnswer(LatestCaptchaToken());
}

void ShareSimulator::SetDownloadOverride(std::optional<DownloadQuirks> quirks) {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  impl_->downloadOverride = quirks;
}

void ShareSimulator::SetFileHost(const std::string& url) {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  impl_->fileHost = url;
}

void ShareSimulator::SetLinkDelay(int ms) {
  impl_->linkDelayMs = ms;
}

void ShareSimulator::ExpireLinks() {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  impl_->expiredBelow = impl_->linksGiven + 1;
}

void ShareSimulator::Reset() {
  impl_->ResetState();
}

void ShareSimulator::Impl::ResetState() {
  captchas.Clear();
  std::lock_guard<std::mutex> lock(stateMutex);
  missingShown.clear();
  passedVisitors.clear();
  passedOrder.clear();
  expiredBelow = 1;
  expiredLinks.clear();
  linksPerFile.clear();
}

uint64_t ShareSimulator::Impl::NewLink(const Node& file) {
  std::lock_guard<std::mutex> lock(stateMutex);
  uint64_t serial = ++linksGiven;
  if (linksPerFile[file.fsId]++ < file.staleLinks) expiredLinks.insert(serial);
  return serial;
}

bool ShareSimulator::Impl::LinkExpired(uint64_t serial) const {
  std::lock_guard<std::mutex> lock(stateMutex);
  return serial < expiredBelow || expiredLinks.count(serial) > 0;
}

// ---------------------------------------------------------------------------------------

HttpResponse ShareSimulator::Impl::Handle(const HttpRequest& req) {
  std::string path = req.target.substr(0, req.target.find('?'));
  size_t q = req.target.find('?');
  std::string query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
  Pairs pairs = SplitPairs(query);
  HttpResponse resp;
  if (path.rfind("/s/", 0) == 0)
    resp = ShortLink(req, path.substr(3));
  else if (path == "/share/init")
    resp = InitPage(req, pairs);
  else if (path == "/share/verify")
    resp = Verify(req, pairs);
  else if (path == "/share/list")
    resp = List(req, query);
  else if (path == "/api/sharedownload") {
    // One thread per connection: only this request waits.
    if (int ms = linkDelayMs.load(); ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    resp = ShareDownload(req, pairs);
  } else if (path == "/api/getcaptcha")
    resp = GetCaptcha(req, pairs);
  else if (path == "/api/getvcode")
    resp = GetVcode(req, pairs);
  else if (path == "/genimage")
    resp = Image(query);
  else if (path == "/pcloud/like/data")
    resp = Like(req, pairs);
  else if (path.rfind("/file/", 0) == 0)
    resp = File(req, path, pairs);
  else if (path == "/__sim/captcha") {
    auto answer = captchas.Answer(query);
    resp.status = answer ? 200 : 404;
    resp.headers = {"Content-Type: text/plain; charset=utf-8"};
    resp.body = answer ? *answer + "\n" : "unknown token\n";
  } else if (path == "/__sim/reset") {
    ResetState();
    resp.headers = {"Content-Type: text/plain; charset=utf-8"};
    resp.body = "reset\n";
  } else if (path == "/__sim/expire-links") {
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      expiredBelow = linksGiven + 1;
    }
    resp.headers = {"Content-Type: text/plain; charset=utf-8"};
    resp.body = "expired\n";
  } else {
    resp.status = 404;
    resp.headers = {"Content-Type: text/html; charset=utf-8"};
    resp.body =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>404</title></head>"
        "<body>404 Not Found</body></html>";
  }
  resp.headers.insert(resp.headers.begin(), "Server: share-sim");
  Record(req, resp.status);
  return resp;
}

void ShareSimulator::Impl::Record(const HttpRequest& req, int status) {
  RequestRecord rec;
  rec.method = req.method;
  rec.target = req.target;
  rec.version = req.version;
  rec.headerLines = req.headerLines;
  rec.body = req.body;
  rec.status = status;
  log.Add(std::move(rec));
}

std::string ShareSimulator::Impl::Mac(std::string_view data) const {
  return Sha256Hex(secret + "|" + std::string(data));
}

std::string ShareSimulator::Impl::Sign(const Share& s, uint64_t timestamp) const {
  return Mac("sign|" + std::to_string(s.shareid) + "|" + std::to_string(timestamp)).substr(0, 40);
}

std::string ShareSimulator::Impl::Bdstoken(const Share& s) const {
  return Mac("bdstoken|" + std::to_string(s.shareid)).substr(0, 32);
}

std::string ShareSimulator::Impl::IssueKey(const Share& s, char kind) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  char nonce[17];
  std::snprintf(nonce, sizeof nonce, "%016llx", static_cast<unsigned long long>(rng()));
  std::string head = std::string(nonce) + kind;
  return head + Mac("key|" + std::to_string(s.shareid) + "|" + head).substr(0, 23);
}

bool ShareSimulator::Impl::KeyValid(const Share& s, const std::string& key,
                                    bool verifiedOnly) const {
  if (key.size() != 40) return false;
  char kind = key[16];
  if (kind != 'v' && (verifiedOnly || kind != 'l')) return false;
  return Mac("key|" + std::to_string(s.shareid) + "|" + key.substr(0, 17)).substr(0, 23) ==
         key.substr(17);
}

std::string ShareSimulator::Impl::FileSign(uint64_t shareid, uint64_t fsId, uint64_t dstime,
                                           uint64_t serial) const {
  return Mac("file|" + std::to_string(shareid) + "|" + std::to_string(fsId) + "|" +
             std::to_string(dstime) + "|" + std::to_string(serial))
      .substr(0, 32);
}

std::string ShareSimulator::Impl::Host(const HttpRequest& req) const {
  std::string host = req.Header("Host");
  bool safe = !host.empty() && host.size() < 256;
  for (char c : host)
    safe = safe && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ':' ||
                    c == '-' || c == '[' || c == ']');
  return safe ? host : "127.0.0.1:" + std::to_string(port);
}

JsonStyle ShareSimulator::Impl::Style() const {
  JsonStyle st;
  st.asciiOnly = fixture->asciiJson;
  return st;
}

HttpResponse ShareSimulator::Impl::Json(std::string body, std::vector<std::string> cookies) {
  HttpResponse r;
  r.headers.push_back("Content-Type: application/json; charset=utf-8");
  r.headers.push_back("Cache-Control: no-cache");
  for (auto& c : cookies) r.headers.push_back("Set-Cookie: " + c);
  r.body = std::move(body);
  return r;
}

HttpResponse ShareSimulator::Impl::Errno(int code, std::string_view why) {
  std::string body =
      "{\"errno\":" + std::to_string(code) + ",\"request_id\":" + std::to_string(NextRequestId());
  if (!why.empty()) body += ",\"err_msg\":" + JsonString(why);
  return Json(body + "}");
}

const Share* ShareSimulator::Impl::FindShare(const Pairs& pairs, const char* idKey,
                                             const char* ukKey, std::string* why) const {
  auto idNum = ParseUint(Find(pairs, idKey).value_or(""));
  auto ukNum = ParseUint(Find(pairs, ukKey).value_or(""));
  if (!idNum.has_value() || !ukNum.has_value()) {
    *why = std::string("\"") + idKey + "\" and \"" + ukKey + "\" must be numbers";
    return nullptr;
  }
  uint64_t id = idNum.value(), uk = ukNum.value();
  auto it = fixture->byShareId.find(id);
  if (it == fixture->byShareId.end() || it->second->uk != uk) {
    *why = "no share with these ids";
    return nullptr;
  }
  return it->second;
}

std::string ShareSimulator::Impl::CheckCommon(const Pairs& query, bool bdstokenNull,
                                              bool fixedAppId) const {
  if (bdstokenNull && !AllEqual(query, "bdstoken", "null")) return "bdstoken must be null";
  if (!AllEqual(query, "channel", "chunlei")) return "channel must be chunlei";
  if (!AllEqual(query, "clienttype", "0")) return "clienttype must be 0";
  if (!AllEqual(query, "web", "1")) return "web must be 1";
  if (fixedAppId ? !AllEqual(query, "app_id", "250528")
                 : !AllDigits(Find(query, "app_id").value_or("")))
    return fixedAppId ? "app_id must be 250528" : "app_id must be a number";
  if (!IsValidLogId(Find(query, "logid").value_or("")))
    return "logid must be the Base64 of 13 digits, \".\" and 19 digits";
  return {};
}

std::string HttpDate(int64_t unixSeconds, bool cookieStyle) {
  std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf,
                cookieStyle ? "%a, %d-%b-%Y %H:%M:%S GMT" : "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return buf;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ItemJson(const Node& n, const JsonStyle& style) {
  // fs_id first: quick readers find the first file id with a plain text search.
  return "{\"fs_id\":" + std::to_string(n.fsId) + ",\"app_id\":\"" + std::to_string(n.appId) +
         "\",\"server_filename\":" + JsonString(n.name, style) +
         (n.noSize ? "" : ",\"size\":" + std::to_string(n.size)) +
         ",\"isdir\":" + (n.isDir ? "1" : "0") + ",\"path\":" + JsonString(n.path, style) +
         ",\"server_mtime\":" + std::to_string(n.mtime) + ",\"category\":" + (n.isDir ? "6" : "4") +
         "}";
}

}  // namespace sf::sim
