// A whole parse (the driver, ShareSession::Resolve, verification, folder walk, link requests,
// captchas) against a service whose every answer comes from the input, over a fake HTTP layer:
// no sockets, no waiting. The input is the answers in the order the requests are made,
// separated by "\n----\n" (the page, then listings, links, captchas ...); an answer that
// starts with "HTTP/" carries its own head up to the first blank line. When the answers run
// out, every request gets an empty one.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/encoding.h"
#include "net/http_platform.h"
#include "share/resolve_driver.h"

namespace {

constexpr std::string_view kSeparator = "\n----\n";

class ScriptedService : public sf::HttpPlatform {
 public:
  explicit ScriptedService(std::string_view input) {
    while (true) {
      size_t cut = input.find(kSeparator);
      answers_.emplace_back(input.substr(0, cut));
      if (cut == std::string_view::npos) break;
      input.remove_prefix(cut + kSeparator.size());
    }
  }

  // The plain GET of a captcha picture takes an answer too.
  std::string NextBody() { return Split(Next()).second; }

  bool CheckPlatform() override { return true; }
  bool CrackUrl(const std::u16string& url, sf::CrackedUrl* out) override {
    return sf::CrackHttpUrl(url, out);
  }
  sf::HttpHandle Open(int, const std::u16string&) override { return 1; }
  sf::HttpHandle Connect(sf::HttpHandle, const std::u16string&, int) override { return 2; }
  sf::HttpHandle OpenRequest(sf::HttpHandle, const std::u16string&, const std::u16string&,
                             uint32_t) override {
    return 3;
  }
  bool SetTimeouts(sf::HttpHandle, int, int, int, int) override { return true; }
  bool SetCredentials(sf::HttpHandle, int, int, const std::u16string&,
                      const std::u16string&) override {
    return true;
  }
  bool SetOption(sf::HttpHandle, int, uint32_t) override { return true; }
  bool AddRequestHeaders(sf::HttpHandle, const std::u16string&, uint32_t) override { return true; }
  bool SendRequest(sf::HttpHandle, const std::string&) override {
    std::tie(head_, body_) = Split(Next());
    read_ = 0;
    return true;
  }
  bool ReceiveResponse(sf::HttpHandle) override { return true; }
  bool QueryDataAvailable(sf::HttpHandle, uint32_t* available) override {
    *available = static_cast<uint32_t>(std::min<size_t>(body_.size() - read_, 4096));
    return true;
  }
  bool ReadData(sf::HttpHandle, char* buffer, uint32_t size, uint32_t* read) override {
    size_t n = std::min<size_t>(size, body_.size() - read_);
    std::copy_n(body_.data() + read_, n, buffer);
    read_ += n;
    *read = static_cast<uint32_t>(n);
    return true;
  }
  bool QueryRawHeaders(sf::HttpHandle, std::u16string* block) override {
    *block = sf::GbkToUtf16(head_);
    return true;
  }
  void CloseHandle(sf::HttpHandle) override {}

  size_t requests() const { return next_; }

 private:
  std::string_view Next() { return next_ < answers_.size() ? answers_[next_++] : (++next_, ""); }

  static std::pair<std::string, std::string> Split(std::string_view answer) {
    size_t end = answer.find("\r\n\r\n");
    if (answer.substr(0, 5) != "HTTP/" || end == std::string_view::npos)
      return {"HTTP/1.1 200 OK\r\n\r\n", std::string(answer)};
    return {std::string(answer.substr(0, end + 4)), std::string(answer.substr(end + 4))};
  }

  std::vector<std::string_view> answers_;
  size_t next_ = 0;
  std::string head_, body_;
  size_t read_ = 0;
};

// Answers each prompt twice, then declines, so that a service asking for ever cannot keep
// the parse going.
class Prompts : public sf::ResolvePrompts {
 public:
  std::string AskPassword() override { return ++passwords_ <= 2 ? "pw" : ""; }
  std::string AskCaptcha(sf::ShareSession& session, int reason) override {
    std::string picture;
    session.FetchCaptcha(picture, reason);
    return ++captchas_ <= 2 ? "abcd" : "";
  }

 private:
  int passwords_ = 0, captchas_ = 0;
};

class View : public sf::ResolveView {
 public:
  void ShowStatus(const std::string&) override {}
  void SetNameColumnTitle(const std::string&) override {}
  void AddRow(const std::array<std::string, 4>&) override { ++rows; }
  void ShowMissingFolders(const std::vector<sf::MissingFolder>&) override {}
  size_t rows = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto service = std::make_shared<ScriptedService>(
      std::string_view(reinterpret_cast<const char*>(data), size));
  sf::ShareSession session("http://share.test", service,
                           [&](const std::string&) { return service->NextBody(); });
  Prompts prompts;
  View view;
  sf::ResolveDriver driver(session, prompts, view);
  int result = driver.Run([] { return std::string("http://share.test/s/1abc"); });

  const size_t entries = driver.entries().size();
  if (view.rows != entries) std::abort();
  if (entries > 1000000) std::abort();
  if (driver.position() < 1 || static_cast<size_t>(driver.position()) > entries + 1) std::abort();
  if (result == 0 && static_cast<size_t>(driver.position()) != entries + 1) std::abort();
  // A few requests per attempt, one listing per folder entry and one link request per file:
  // anything more is a parse that keeps asking and might never end.
  if (service->requests() > 64 + 2 * entries) std::abort();
  return 0;
}
