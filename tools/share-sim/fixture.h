// The shares a simulator plays, read from a fixture file (JSON; the format is in README.md).
// After loading, a fixture is immutable: requests only read it, so it needs no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sf::sim {

struct Node {
  std::string name;  // server_filename, UTF-8
  std::string path;  // full path in the sharer's drive
  uint64_t fsId = 0;
  uint64_t size = 0;
  uint64_t appId = 250528;
  uint64_t mtime = 0;
  bool isDir = false;
  bool linkCaptcha = false;  // a link request for this file demands a captcha
  int listError = 0;         // nonzero: listing this folder answers this errno
  bool loop = false;         // the listing names the folder itself as a subfolder
  uint64_t staleLinks = 0;   // this many of the file's first links are given out expired
  bool noSize = false;       // the page and the listings give no size for this file
  // How the file's link requests fail once `linkFailureAfter` links were given out for it:
  // "" never, "badGateway" (a proxy's 502 page), "drop" (the connection closed unanswered) or
  // "hang" (no answer ever).
  std::string linkFailure;
  uint64_t linkFailureAfter = 0;
  std::vector<std::unique_ptr<Node>> children;  // in fixture order
  std::vector<const Node*> sorted;              // children by server_filename, descending
};

struct DownloadQuirks {
  uint64_t bytesPerSecond = 0;  // 0: unthrottled
  bool ignoreRange = false;     // answer 200 with the whole file even when a Range came
  uint64_t dropAfterBytes = 0;  // 0: never; else close the connection after this many body bytes
  // Answers without a Content-Length: the body ends where the connection closes.
  bool noLength = false;
};

enum class RedirectMode { kNone, kAbsolute, kRelative };

struct Share {
  std::string id;  // the short link is /s/<id>
  uint64_t uk = 0;
  uint64_t shareid = 0;
  std::string password;  // protected when not empty
  RedirectMode redirect = RedirectMode::kNone;
  bool verifyCaptcha = false;
  bool missingOnce = false;
  bool gone = false;
  bool noPageData = false;
  std::string pageCharset = "utf-8";  // "utf-8" or "gbk"
  std::string owner = "分享者";
  std::string root;  // path prefix of the top-level items
  uint64_t ctime = 1500000000;
  std::optional<DownloadQuirks> download;
  Node top;  // the share's top level, a folder without a name of its own

  std::unordered_map<std::string, const Node*> folders;  // by path
  std::unordered_map<uint64_t, const Node*> byFsId;
  bool isProtected() const { return !password.empty(); }
};

struct Fixture {
  std::string captchaFormat = "png";  // "png", "jpeg" or "alternate"
  bool asciiJson = false;             // JSON answers escape non-ASCII as \uXXXX
  DownloadQuirks download;
  std::vector<std::unique_ptr<Share>> shares;
  std::unordered_map<std::string, const Share*> byId;
  std::unordered_map<uint64_t, const Share*> byShareId;
};

// Reads a fixture from JSON text or a file. On failure: nothing, and a message that names
// the place ("shares[1].items[3]: ...").
std::shared_ptr<const Fixture> ParseFixture(const std::string& jsonText, std::string* error);
std::shared_ptr<const Fixture> LoadFixture(const std::string& path, std::string* error);

// The bundled demo fixture (fixtures/demo.json), compiled into the library.
const std::string& DemoFixtureText();

}  // namespace sf::sim
