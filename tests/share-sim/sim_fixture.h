// The fixture most simulator tests share, and helpers that build requests the way the
// client does.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "share_simulator.h"
#include "sim_client.h"

namespace sf::sim::test {

inline constexpr const char* kTestFixture = R"({
  "shares": [
    {"id": "pub", "uk": 42, "shareid": 9001, "items": [
      {"name": "a.txt", "size": 10, "fs_id": 1234567890123456},
      {"name": "b 乙.bin", "size": 200000, "fs_id": 9876543210987654321},
      {"name": "docs", "children": [
        {"name": "x.txt", "size": 1},
        {"name": "文件 夹", "children": [{"name": "deep.txt", "size": 2}]},
        {"name": "A&B=C", "children": [{"name": "amp.txt", "size": 3}]}
      ]}
    ]},
    {"id": "locked", "uk": 43, "shareid": 9002, "password": "a&b=", "items": [
      {"name": "secret.txt", "size": 5},
      {"name": "inner", "children": [{"name": "s2.txt", "size": 6}]}
    ]},
    {"id": "rel", "uk": 48, "shareid": 9008, "password": "pw34", "redirect": "relative",
     "items": [{"name": "r.txt", "size": 1}]},
    {"id": "vcap", "uk": 44, "shareid": 9003, "password": "pw12", "verifyCaptcha": true,
     "items": [{"name": "v.txt", "size": 7}]},
    {"id": "lcap", "uk": 45, "shareid": 9004, "linkCaptchaAt": 3, "items": [
      {"name": "1.txt", "size": 1}, {"name": "2.txt", "size": 2}, {"name": "3.txt", "size": 3},
      {"name": "4.txt", "size": 4}, {"name": "5.txt", "size": 5}
    ]},
    {"id": "big", "uk": 46, "shareid": 9005, "items": [
      {"name": "many", "children": [{"generate": {"count": 150, "name": "f{i}.bin", "digits": 3, "size": 1}}]},
      {"name": "broken", "listError": -7},
      {"name": "loop", "loop": true, "children": [{"name": "l.txt", "size": 1}]}
    ]},
    {"id": "flaky", "uk": 47, "shareid": 9006, "missingOnce": true, "items": [{"name": "f.txt", "size": 1}]},
    {"id": "dead", "uk": 49, "shareid": 9009, "gone": true, "items": []},
    {"id": "blank", "uk": 50, "shareid": 9010, "noPageData": true, "items": [{"name": "n.txt", "size": 1}]}
  ]
})";

// The page data between "yunData.setData(" and ");", parsed; null when absent.
inline nlohmann::json PageData(const std::string& html) {
  size_t a = html.find("yunData.setData(");
  if (a == std::string::npos) return nullptr;
  a += 16;
  size_t b = html.find(");", a);
  return nlohmann::json::parse(html.substr(a, b - a), nullptr, false);
}

inline std::string VerifyTarget(const std::string& shareid, const std::string& uk) {
  return "/share/verify?shareid=" + shareid + "&uk=" + uk +
         "&t=1733650000123&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" +
         LogId();
}

inline std::string ListTarget(const std::string& uk, const std::string& shareid,
                              const std::string& dir, int page = 1) {
  return "/share/list?uk=" + uk + "&shareid=" + shareid +
         "&order=server_filename&desc=1&showempty=0&web=1&page=" + std::to_string(page) +
         "&num=100&dir=" + dir + "&t=" + Fraction() +
         "&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" + LogId();
}

inline std::string CaptchaTarget(const std::string& prod) {
  return "/api/getcaptcha?prod=" + prod + "&web=1&t=" + Fraction() +
         "&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" + LogId();
}

// What a link request needs from the share page.
struct PageInfo {
  std::string sign, timestamp, bdstoken, uk, shareid;
  nlohmann::json data;
};

inline PageInfo ReadPage(int port, const std::string& target, const std::string& cookie = {}) {
  Reply r = Fetch(
      port, "GET", target,
      cookie.empty() ? std::vector<std::string>{} : std::vector<std::string>{"Cookie: " + cookie});
  PageInfo p;
  p.data = PageData(r.body);
  if (!p.data.is_object()) return p;
  p.sign = p.data["sign"].get<std::string>();
  p.timestamp = std::to_string(p.data["timestamp"].get<uint64_t>());
  p.bdstoken = p.data["bdstoken"].get<std::string>();
  p.uk = std::to_string(p.data["uk"].get<uint64_t>());
  p.shareid = std::to_string(p.data["shareid"].get<uint64_t>());
  return p;
}

inline std::string LinkTarget(const PageInfo& p, const std::string& appId = "250528") {
  return "/api/sharedownload?sign=" + p.sign + "&timestamp=" + p.timestamp +
         "&bdstoken=" + p.bdstoken + "&channel=chunlei&clienttype=0&web=1&app_id=" + appId +
         "&logid=" + LogId();
}

inline std::string LinkBody(const PageInfo& p, const std::string& fsId,
                            const std::string& answer = {}, const std::string& token = {},
                            const std::string& extra = {}) {
  return "encrypt=0&product=share&uk=" + p.uk + "&primaryid=" + p.shareid +
         "&vcode_input=" + answer + "&vcode_str=" + token + "&extra=" + extra + "&fid_list=%5B" +
         fsId + "%5D";
}

inline int Errno(const Reply& r) {
  auto j = nlohmann::json::parse(r.body, nullptr, false);
  return j.is_object() && j.contains("errno") ? j["errno"].get<int>() : 99999;
}

// The first name=value of a Set-Cookie value.
inline std::string CookiePair(const std::string& setCookie) {
  return setCookie.substr(0, setCookie.find(';'));
}

}  // namespace sf::sim::test
