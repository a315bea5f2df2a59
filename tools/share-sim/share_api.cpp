// Folder listing, direct links and captchas.
#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>

#include "sim_impl.h"

namespace sf::sim {
namespace {

constexpr uint64_t kMaxPageItems = 100;

std::string RandomDigits(size_t n) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  std::string out;
  for (size_t i = 0; i < n; ++i) out += static_cast<char>('0' + rng() % 10);
  return out;
}

}  // namespace

HttpResponse ShareSimulator::Impl::List(const HttpRequest& req, const std::string& query) {
  if (req.method != "GET") return Errno(2, "list must be a GET");
  // "dir" is sent unencoded and may hold "&" or "=": it runs from "dir=" to the last "&t=",
  // since only fixed keys follow it.
  size_t dirKey = query.rfind("dir=", 0) == 0 ? 0 : query.find("&dir=");
  if (dirKey == std::string::npos) return Errno(2, "dir is missing");
  size_t dirStart = query.find('=', dirKey) + 1;
  size_t tPos = query.rfind("&t=");
  if (tPos == std::string::npos || tPos < dirStart) return Errno(2, "t must follow dir");
  std::string rawDir = query.substr(dirStart, tPos - dirStart);
  Pairs pairs = SplitPairs(query.substr(0, dirKey) + query.substr(tPos));
  std::string why;
  const Share* s = FindShare(pairs, "shareid", "uk", &why);
  if (!s) return Errno(2, why);
  if (s->gone) return Errno(-7, "the share was cancelled");
  if (!AllEqual(pairs, "order", "server_filename"))
    return Errno(2, "order must be server_filename");
  auto desc = Find(pairs, "desc").value_or("");
  if (desc != "0" && desc != "1") return Errno(2, "desc must be 0 or 1");
  if (!AllEqual(pairs, "showempty", "0")) return Errno(2, "showempty must be 0");
  auto page = ParseUint(Find(pairs, "page").value_or(""));
  auto num = ParseUint(Find(pairs, "num").value_or(""));
  if (!page || *page == 0 || !num || *num == 0)
    return Errno(2, "page and num must be numbers above 0");
  if (!IsRandomFraction(Find(pairs, "t").value_or("")))
    return Errno(2, "t must be 0. and 16 digits");
  why = CheckCommon(pairs, true, true);
  if (!why.empty()) return Errno(2, why);
  if (s->isProtected() &&
      !KeyValid(*s, CookieValue(req.Headers("Cookie"), "BDCLND").value_or(""), true))
    return Errno(-9, "the BDCLND cookie of this share is missing or wrong");

  // The client's transport escapes blanks and non-ASCII bytes; a "%" of a folder's own name
  // arrives as it is, so the raw text is tried when the decoded one names nothing.
  auto it = s->folders.find(PercentDecode(rawDir));
  if (it == s->folders.end()) it = s->folders.find(rawDir);
  if (it == s->folders.end()) return Errno(2, "no folder with this path in the share");
  const Node& folder = *it->second;
  if (folder.listError) return Errno(folder.listError, "this folder cannot be listed");

  std::vector<const Node*> items;
  if (folder.loop) items.push_back(&folder);  // a broken answer that names the folder itself
  items.insert(items.end(), folder.sorted.begin(), folder.sorted.end());
  if (desc == "0") std::reverse(items.begin() + (folder.loop ? 1 : 0), items.end());
  uint64_t per = std::min(*num, kMaxPageItems);
  uint64_t from = (*page - 1) * per;
  JsonStyle st = Style();
  std::string body = "{\"errno\":0,\"list\":[";
  for (uint64_t i = from; i < items.size() && i < from + per; ++i)
    body += (i == from ? "" : ",") + ItemJson(*items[i], st);
  body += "],\"request_id\":" + std::to_string(NextRequestId()) + "}";
  return Json(body);
}

HttpResponse ShareSimulator::Impl::ShareDownload(const HttpRequest& req, const Pairs& query) {
  if (req.method != "POST") return Errno(2, "sharedownload must be a POST");
  Pairs body = SplitPairs(req.body);
  std::string why;
  const Share* s = FindShare(body, "primaryid", "uk", &why);
  if (!s) return Errno(2, "body: " + why);
  if (s->gone) return Errno(-7, "the share was cancelled");
  auto ts = ParseUint(Find(query, "timestamp").value_or(""));
  if (!ts || Find(query, "sign").value_or("") != Sign(*s, *ts))
    return Errno(2, "sign and timestamp must be those of the share page");
  auto bdstoken = Find(query, "bdstoken").value_or("");
  if (bdstoken != Bdstoken(*s) && bdstoken != "null")
    return Errno(2, "bdstoken must be the page's or null");
  why = CheckCommon(query, false, false);
  if (!why.empty()) return Errno(2, why);
  // No Referer is demanded here: the quick mode's link request goes without one.
  for (const char* key : {"encrypt", "product", "vcode_input", "vcode_str", "extra", "fid_list"})
    if (!Find(body, key)) return Errno(2, std::string("body: ") + key + " is missing");
  if (!AllEqual(body, "encrypt", "0") || !AllEqual(body, "product", "share"))
    return Errno(2, "body: encrypt must be 0 and product share");

  std::string cookieKey = CookieValue(req.Headers("Cookie"), "BDCLND").value_or("");
  if (s->isProtected() && !KeyValid(*s, cookieKey, true))
    return Errno(-9, "the BDCLND cookie of this share is missing or wrong");
  std::string extra = PercentDecode(Find(body, "extra").value_or(""));
  if (!extra.empty()) {
    auto j = nlohmann::json::parse(extra, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("sekey") || !j["sekey"].is_string())
      return Errno(2, "body: extra must be {\"sekey\":\"…\"}");
    std::string sekey = j["sekey"].get<std::string>();
    if (sekey != cookieKey || !KeyValid(*s, sekey, s->isProtected()))
      return Errno(2, "body: the sekey must be the BDCLND cookie of this share");
  }

  std::string ids = PercentDecode(Find(body, "fid_list").value_or(""));
  if (ids.size() < 3 || ids.front() != '[' || ids.back() != ']')
    return Errno(2, "body: fid_list must be [fs_id,…]");
  std::vector<const Node*> files;
  std::string_view rest = std::string_view(ids).substr(1, ids.size() - 2);
  while (true) {
    size_t comma = rest.find(',');
    auto id = ParseUint(rest.substr(0, comma));
    auto node = id ? s->byFsId.find(*id) : s->byFsId.end();
    if (node == s->byFsId.end() || node->second->isDir)
      return Errno(2, "body: fid_list must name files of this share");
    files.push_back(node->second);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }

  bool needCaptcha =
      std::any_of(files.begin(), files.end(), [](const Node* n) { return n->linkCaptcha; });
  if (needCaptcha) {
    std::string token = PercentDecode(Find(body, "vcode_str").value_or(""));
    std::string answer = PercentDecode(Find(body, "vcode_input").value_or(""));
    if (token.empty() || !captchas.Redeem(token, answer))
      return Json("{\"errno\":-20,\"request_id\":" + std::to_string(NextRequestId()) +
                  ",\"err_msg\":\"a captcha is required\"}");
  }

  for (const Node* n : files)
    if (std::optional<HttpResponse> failed = FailedLink(*n)) return *failed;

  JsonStyle st = Style();
  st.escapeSlash = true;  // links travel as "http:\/\/…"
  uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  std::string host;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    host = fileHost;
  }
  if (host.empty()) host = "http://" + Host(req);
  std::string out = "{\"errno\":0,\"request_id\":" + std::to_string(NextRequestId()) +
                    ",\"server_time\":" + std::to_string(now) + ",\"list\":[";
  for (size_t i = 0; i < files.size(); ++i) {
    const Node& n = *files[i];
    uint64_t serial = NewLink(n);
    std::string link = host + "/file/" + std::to_string(s->shareid) + "/" + std::to_string(n.fsId) +
                       "/" + PercentEncode(n.name) + "?fid=" + std::to_string(s->uk) + "-250528-" +
                       std::to_string(n.fsId) + "&dstime=" + std::to_string(now) +
                       "&rt=sh&sn=" + std::to_string(serial) +
                       "&sign=" + FileSign(s->shareid, n.fsId, now, serial) +
                       "&expires=8h&chkv=1&chkbd=0&chkpc=" + "&dp-logid=" + RandomDigits(18) +
                       "&dp-callid=0&r=" + RandomDigits(9);
    out += std::string(i ? "," : "") + "{\"fs_id\":" + std::to_string(n.fsId) +
           ",\"server_filename\":" + JsonString(n.name, st) +
           (n.noSize ? "" : ",\"size\":" + std::to_string(n.size)) +
           ",\"dlink\":" + JsonString(link, st) + ",\"isdir\":0}";
  }
  return Json(out + "]}");
}

std::optional<HttpResponse> ShareSimulator::Impl::FailedLink(const Node& file) {
  if (file.linkFailure.empty()) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (linksPerFile[file.fsId] < file.linkFailureAfter) return std::nullopt;
  }
  HttpResponse r;
  if (file.linkFailure == "drop") {
    r.drop = true;
  } else if (file.linkFailure == "hang") {
    r.hang = true;
  } else {
    r.status = 502;
    r.headers = {"Content-Type: text/html"};
    r.body =
        "<html><head><title>502 Bad Gateway</title></head><body><center><h1>502 Bad "
        "Gateway</h1></center></body></html>";
  }
  return r;
}

HttpResponse ShareSimulator::Impl::GetCaptcha(const HttpRequest& req, const Pairs& query) {
  if (req.method != "GET") return Errno(2, "getcaptcha must be a GET");
  auto prod = Find(query, "prod").value_or("");
  if (prod != "shareverify" && prod != "pan") return Errno(2, "prod must be shareverify or pan");
  if (!IsRandomFraction(Find(query, "t").value_or("")))
    return Errno(2, "t must be 0. and 16 digits");
  std::string why = CheckCommon(query, true, true);
  if (!why.empty()) return Errno(2, why);
  return IssueCaptcha(req, "vcode_str", "vcode_img");
}

HttpResponse ShareSimulator::Impl::GetVcode(const HttpRequest& req, const Pairs& query) {
  if (req.method != "GET") return Errno(2, "getvcode must be a GET");
  if (!AllEqual(query, "prod", "pan")) return Errno(2, "prod must be pan");
  auto t = Find(query, "t").value_or("");
  if (t.size() < 3 || t.rfind("0.", 0) != 0 || !AllDigits(t.substr(2)))
    return Errno(2, "t must be 0. and digits");
  std::string why = CheckCommon(query, true, true);
  if (!why.empty()) return Errno(2, why);
  return IssueCaptcha(req, "vcode", "img");
}

// A fresh token and the address of its picture, under the member names of the asking endpoint.
HttpResponse ShareSimulator::Impl::IssueCaptcha(const HttpRequest& req, const char* tokenKey,
                                                const char* imageKey) {
  uint64_t n = captchasIssued.fetch_add(1);
  bool jpeg =
      fixture->captchaFormat == "jpeg" || (fixture->captchaFormat == "alternate" && n % 2 == 1);
  std::string token = captchas.Issue(jpeg);
  JsonStyle st = Style();
  st.escapeSlash = true;
  return Json("{\"errno\":0,\"" + std::string(tokenKey) + "\":\"" + token + "\",\"" + imageKey +
              "\":" + JsonString("http://" + Host(req) + "/genimage?" + token, st) +
              ",\"request_id\":" + std::to_string(NextRequestId()) + "}");
}

HttpResponse ShareSimulator::Impl::Image(const std::string& token) {
  auto pic = captchas.Picture(token);
  HttpResponse r;
  if (!pic) {
    r.status = 404;
    r.headers = {"Content-Type: text/plain; charset=utf-8"};
    r.body = "unknown captcha\n";
    return r;
  }
  r.headers = {"Content-Type: " + pic->contentType, "Cache-Control: no-cache"};
  r.body = std::move(pic->bytes);
  return r;
}

}  // namespace sf::sim
