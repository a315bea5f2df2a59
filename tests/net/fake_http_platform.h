// A recording stand-in for the HTTP layer: every call is written down as one line of text
// (UTF-8), any operation can be told to fail, and the response is scripted.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "net/http_platform.h"

namespace sf::test {

class FakeHttpPlatform : public HttpPlatform {
 public:
  std::vector<std::string> calls;
  std::set<std::string> failing;        // names of operations that fail
  std::vector<std::string> bodyChunks;  // what the reads deliver, chunk by chunk
  bool failReadAfterChunks = false;     // the read after the last chunk fails
  std::string headerBlock = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  bool useRealCrack = true;

  bool CheckPlatform() override { return Record("CheckPlatform", ""); }
  bool CrackUrl(const std::u16string& url, CrackedUrl* out) override {
    if (!Record("CrackUrl", Utf16ToUtf8(url))) return false;
    return !useRealCrack || CrackHttpUrl(url, out);
  }
  HttpHandle Open(int access, const std::u16string& proxy) override {
    return Record("Open", std::to_string(access) + " [" + Utf16ToUtf8(proxy) + "]") ? 1 : 0;
  }
  HttpHandle Connect(HttpHandle, const std::u16string& host, int port) override {
    return Record("Connect", Utf16ToUtf8(host) + " " + std::to_string(port)) ? 2 : 0;
  }
  HttpHandle OpenRequest(HttpHandle, const std::u16string& method, const std::u16string& path,
                         uint32_t flags) override {
    return Record("OpenRequest", Utf16ToUtf8(method) + " " + Utf16ToUtf8(path) + " " + Hex(flags))
               ? 3
               : 0;
  }
  bool SetTimeouts(HttpHandle, int a, int b, int c, int d) override {
    return Record("SetTimeouts", std::to_string(a) + " " + std::to_string(b) + " " +
                                     std::to_string(c) + " " + std::to_string(d));
  }
  bool SetCredentials(HttpHandle, int target, int scheme, const std::u16string& user,
                      const std::u16string& password) override {
    return Record("SetCredentials", std::to_string(target) + " " + std::to_string(scheme) + " " +
                                        Utf16ToUtf8(user) + " " + Utf16ToUtf8(password));
  }
  bool SetOption(HttpHandle, int option, uint32_t value) override {
    return Record("SetOption", std::to_string(option) + " " + std::to_string(value));
  }
  bool AddRequestHeaders(HttpHandle, const std::u16string& headers, uint32_t flags) override {
    lastHeaders = Utf16ToUtf8(headers);
    return Record("AddRequestHeaders", Hex(flags));
  }
  bool SendRequest(HttpHandle, const std::string& body) override {
    return Record("SendRequest", body);
  }
  bool ReceiveResponse(HttpHandle) override { return Record("ReceiveResponse", ""); }
  bool QueryDataAvailable(HttpHandle, uint32_t* available) override {
    if (!Record("QueryDataAvailable", "")) return false;
    if (next_ < bodyChunks.size())
      *available = static_cast<uint32_t>(bodyChunks[next_].size());
    else
      *available = failReadAfterChunks ? 7 : 0;
    return true;
  }
  bool ReadData(HttpHandle, char* buffer, uint32_t size, uint32_t* read) override {
    if (!Record("ReadData", std::to_string(size))) return false;
    if (next_ >= bodyChunks.size()) return false;
    const std::string& chunk = bodyChunks[next_++];
    std::copy(chunk.begin(), chunk.end(), buffer);
    *read = static_cast<uint32_t>(chunk.size());
    return true;
  }
  bool QueryRawHeaders(HttpHandle, std::u16string* block) override {
    if (!Record("QueryRawHeaders", "")) return false;
    *block = Utf8ToUtf16(headerBlock);
    return true;
  }
  void CloseHandle(HttpHandle h) override { Record("CloseHandle", std::to_string(h)); }

  std::string lastHeaders;

  // The calls whose name is `name`, with their arguments.
  std::vector<std::string> Calls(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& c : calls)
      if (c.rfind(name + " ", 0) == 0 || c == name) out.push_back(c);
    return out;
  }

 private:
  bool Record(const std::string& name, const std::string& args) {
    calls.push_back(args.empty() ? name : name + " " + args);
    return failing.count(name) == 0;
  }
  static std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
  }
  size_t next_ = 0;
};

}  // namespace sf::test
