#include "fixture.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace sf::sim {
namespace {

using nlohmann::json;

constexpr size_t kMaxNodes = 1000000;
constexpr int kMaxDepth = 256;

struct FixtureError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw FixtureError{where + ": " + what};
}

uint64_t Hash(const std::string& a, const std::string& b) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : a + std::string(1, '\0') + b) h = (h ^ c) * 1099511628211ull;
  h += 0x9E3779B97F4A7C15ull;
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
  return h ^ (h >> 31);
}

void OnlyKeys(const json& j, const std::string& where, std::initializer_list<const char*> keys) {
  if (!j.is_object()) Fail(where, "must be a JSON object");
  for (const auto& [k, v] : j.items()) {
    bool known = false;
    for (const char* key : keys) known = known || k == key;
    if (!known) Fail(where, "unknown key \"" + k + "\"");
  }
}

uint64_t U64(const json& j, const std::string& where, const char* key, uint64_t fallback) {
  if (!j.contains(key)) return fallback;
  const json& v = j[key];
  if (!v.is_number_unsigned())
    Fail(where, std::string("\"") + key + "\" must be a whole number >= 0");
  return v.get<uint64_t>();
}

bool Bool(const json& j, const std::string& where, const char* key) {
  if (!j.contains(key)) return false;
  if (!j[key].is_boolean()) Fail(where, std::string("\"") + key + "\" must be true or false");
  return j[key].get<bool>();
}

std::string Str(const json& j, const std::string& where, const char* key, std::string fallback) {
  if (!j.contains(key)) return fallback;
  if (!j[key].is_string()) Fail(where, std::string("\"") + key + "\" must be a text");
  return j[key].get<std::string>();
}

// "file-{i}.bin" with i zero-padded to `digits`.
std::string Pattern(const std::string& pattern, uint64_t i, uint64_t digits) {
  std::string n = std::to_string(i);
  if (n.size() < digits) n.insert(0, digits - n.size(), '0');
  std::string out = pattern;
  for (size_t p; (p = out.find("{i}")) != std::string::npos;) out.replace(p, 3, n);
  return out;
}

DownloadQuirks ReadDownload(const json& j, const std::string& where) {
  OnlyKeys(j, where, {"rate", "ignoreRange", "dropAfter", "noLength"});
  DownloadQuirks d;
  d.bytesPerSecond = U64(j, where, "rate", 0);
  d.ignoreRange = Bool(j, where, "ignoreRange");
  d.dropAfterBytes = U64(j, where, "dropAfter", 0);
  d.noLength = Bool(j, where, "noLength");
  return d;
}

class Builder {
 public:
  explicit Builder(Share* share) : share_(share) {}

  void Items(const json& items, Node* parent, const std::string& where, int depth) {
    if (!items.is_array()) Fail(where, "must be a list of items");
    for (size_t i = 0; i < items.size(); ++i)
      Item(items[i], parent, where + "[" + std::to_string(i) + "]", depth);
  }

  void Item(const json& j, Node* parent, const std::string& where, int depth) {
    if (j.is_object() && j.contains("generate")) return Generate(j, parent, where);
    if (j.is_object() && j.contains("tree")) return Tree(j, parent, where, depth);
    OnlyKeys(j, where,
             {"name", "size", "fs_id", "app_id", "mtime", "children", "dir", "captcha", "listError",
              "loop", "rawName", "staleLinks", "noSize", "linkFailure", "linkFailureAfter"});
    // "listError" and "loop" only make sense on folders, so they make one.
    bool dir = j.contains("children") || Bool(j, where, "dir") || j.contains("listError") ||
               Bool(j, where, "loop");
    Node* n = Add(parent, Str(j, where, "name", ""), dir, U64(j, where, "size", 0), where,
                  Bool(j, where, "rawName"));
    if (j.contains("fs_id")) n->fsId = U64(j, where, "fs_id", 0);
    n->appId = U64(j, where, "app_id", 250528);
    n->mtime = U64(j, where, "mtime", n->mtime);
    n->linkCaptcha = Bool(j, where, "captcha");
    n->loop = Bool(j, where, "loop");
    n->staleLinks = U64(j, where, "staleLinks", 0);
    if (dir && n->staleLinks) Fail(where, "\"staleLinks\" is for files");
    n->noSize = Bool(j, where, "noSize");
    n->linkFailure = Str(j, where, "linkFailure", "");
    n->linkFailureAfter = U64(j, where, "linkFailureAfter", 0);
    if (!n->linkFailure.empty() && n->linkFailure != "badGateway" && n->linkFailure != "drop" &&
        n->linkFailure != "hang")
      Fail(where, "\"linkFailure\" must be \"badGateway\", \"drop\" or \"hang\"");
    if (dir && !n->linkFailure.empty()) Fail(where, "\"linkFailure\" is for files");
    if (j.contains("listError")) {
      if (!j["listError"].is_number_integer() || j["listError"].get<int64_t>() == 0)
        Fail(where, "\"listError\" must be a nonzero whole number");
      n->listError = j["listError"].get<int>();
    }
    if (dir && n->linkCaptcha) Fail(where, "\"captcha\" is for files");
    if (j.contains("children")) Items(j["children"], n, where + ".children", depth + 1);
  }

  void Generate(const json& j, Node* parent, const std::string& where) {
    OnlyKeys(j, where, {"generate"});
    const json& g = j["generate"];
    std::string w = where + ".generate";
    OnlyKeys(g, w, {"count", "name", "size", "sizeStep", "start", "digits"});
    uint64_t count = U64(g, w, "count", 0);
    std::string name = Str(g, w, "name", "file-{i}.bin");
    if (count > 1 && name.find("{i}") == std::string::npos) Fail(w, "\"name\" needs \"{i}\"");
    uint64_t size = U64(g, w, "size", 1024), step = U64(g, w, "sizeStep", 0);
    uint64_t start = U64(g, w, "start", 1), digits = U64(g, w, "digits", 0);
    for (uint64_t i = 0; i < count; ++i)
      Add(parent, Pattern(name, start + i, digits), false, size + step * i, w);
  }

  void Tree(const json& j, Node* parent, const std::string& where, int depth) {
    OnlyKeys(j, where, {"tree"});
    const json& t = j["tree"];
    std::string w = where + ".tree";
    OnlyKeys(t, w, {"depth", "folders", "files", "name", "fileName", "size", "digits"});
    uint64_t levels = U64(t, w, "depth", 1), folders = U64(t, w, "folders", 1);
    uint64_t files = U64(t, w, "files", 0), size = U64(t, w, "size", 1024);
    uint64_t digits = U64(t, w, "digits", 0);
    std::string name = Str(t, w, "name", "dir-{i}"),
                fileName = Str(t, w, "fileName", "file-{i}.bin");
    if (levels == 0 || levels > kMaxDepth) Fail(w, "\"depth\" must be 1 to 256");
    if ((folders > 1 && name.find("{i}") == std::string::npos) ||
        (files > 1 && fileName.find("{i}") == std::string::npos))
      Fail(w, "names need \"{i}\"");
    std::function<void(Node*, uint64_t, int)> level = [&](Node* at, uint64_t left, int d) {
      if (d > kMaxDepth) Fail(w, "folders nested deeper than 256 levels");
      for (uint64_t f = 1; f <= folders; ++f) {
        Node* dir = Add(at, Pattern(name, f, digits), true, 0, w);
        for (uint64_t i = 1; i <= files; ++i)
          Add(dir, Pattern(fileName, i, digits), false, size, w);
        if (left > 1) level(dir, left - 1, d + 1);
      }
    };
    level(parent, levels, depth + 1);
  }

  // `rawName`: the name goes out as it is, even "..", or with "/" in it, as a hostile service
  // would.
  Node* Add(Node* parent, const std::string& name, bool dir, uint64_t size,
            const std::string& where, bool rawName = false) {
    if (++count_ > kMaxNodes) Fail(where, "more than 1000000 items in one share");
    if (name.empty() ||
        (!rawName && (name.find('/') != std::string::npos || name == "." || name == "..")))
      Fail(where, "\"name\" must be a non-empty text without \"/\"");
    auto n = std::make_unique<Node>();
    n->name = name;
    n->path = parent->path + "/" + name;
    n->isDir = dir;
    n->size = dir ? 0 : size;
    n->mtime = share_->ctime + count_;
    n->fsId = 1000000000000000ull + Hash(share_->id, n->path) % 9999000000000000000ull;
    Node* raw = n.get();
    parent->children.push_back(std::move(n));
    return raw;
  }

 private:
  Share* share_;
  size_t count_ = 0;
};

// Sorts every folder, fills the lookup maps and checks the tree's uniqueness rules.
void Index(Share* share, Node* node, const std::string& where) {
  std::set<std::string> names;
  for (auto& c : node->children) {
    if (!names.insert(c->name).second)
      Fail(where, "two items named \"" + c->name + "\" in \"" +
                      (node->path.empty() ? "/" : node->path) + "\"");
    if (!share->byFsId.emplace(c->fsId, c.get()).second)
      Fail(where, "fs_id " + std::to_string(c->fsId) + " is used twice");
    node->sorted.push_back(c.get());
    if (c->isDir) {
      share->folders.emplace(c->path, c.get());
      Index(share, c.get(), where);
    }
  }
  std::sort(node->sorted.begin(), node->sorted.end(),
            [](const Node* a, const Node* b) { return a->name > b->name; });
}

// The files in the order a client that lists page 1 of every folder asks for their links:
// the top level in page order, then each top-level folder's listing, depth first.
void LinkOrder(const Node* folder, std::vector<const Node*>* out) {
  size_t shown = 0;
  for (const Node* c : folder->sorted) {
    if (++shown > 100) break;
    if (!c->isDir)
      out->push_back(c);
    else if (!c->listError)
      LinkOrder(c, out);
  }
}

std::unique_ptr<Share> ReadShare(const json& j, const std::string& where) {
  OnlyKeys(j, where,
           {"id", "uk", "shareid", "password", "redirect", "verifyCaptcha", "linkCaptchaAt",
            "missingOnce", "gone", "noPageData", "pageCharset", "owner", "root", "ctime",
            "download", "items"});
  auto s = std::make_unique<Share>();
  s->id = Str(j, where, "id", "");
  if (s->id.empty() || s->id.size() > 64 || !std::all_of(s->id.begin(), s->id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
      }))
    Fail(where, "\"id\" must be 1 to 64 letters, digits, \"-\" or \"_\"");
  s->uk = U64(j, where, "uk", 1000000000 + Hash("uk", s->id) % 9000000000);
  s->shareid = U64(j, where, "shareid", 1000000000 + Hash("shareid", s->id) % 9000000000);
  s->password = Str(j, where, "password", "");
  std::string redirect = Str(j, where, "redirect", s->isProtected() ? "absolute" : "none");
  if (redirect == "absolute")
    s->redirect = RedirectMode::kAbsolute;
  else if (redirect == "relative")
    s->redirect = RedirectMode::kRelative;
  else if (redirect == "none")
    s->redirect = RedirectMode::kNone;
  else
    Fail(where, "\"redirect\" must be \"absolute\", \"relative\" or \"none\"");
  s->verifyCaptcha = Bool(j, where, "verifyCaptcha");
  s->missingOnce = Bool(j, where, "missingOnce");
  s->gone = Bool(j, where, "gone");
  s->noPageData = Bool(j, where, "noPageData");
  s->pageCharset = Str(j, where, "pageCharset", "utf-8");
  if (s->pageCharset != "utf-8" && s->pageCharset != "gbk")
    Fail(where, "\"pageCharset\" must be \"utf-8\" or \"gbk\"");
  s->owner = Str(j, where, "owner", s->owner);
  s->root = Str(j, where, "root", "");
  if (!s->root.empty() && (s->root.front() != '/' || s->root.back() == '/'))
    Fail(where, "\"root\" must start with \"/\" and not end with one");
  s->ctime = U64(j, where, "ctime", s->ctime);
  if (j.contains("download")) s->download = ReadDownload(j["download"], where + ".download");
  s->top.path = s->root;
  s->top.isDir = true;
  Builder builder(s.get());
  if (j.contains("items")) builder.Items(j["items"], &s->top, where + ".items", 0);
  Index(s.get(), &s->top, where + ".items");
  if (s->verifyCaptcha && !s->isProtected()) Fail(where, "\"verifyCaptcha\" needs a password");
  uint64_t at = U64(j, where, "linkCaptchaAt", 0);
  if (at > 0) {
    // The top level is listed on the page in fixture order, not sorted.
    std::vector<const Node*> order;
    for (auto& c : s->top.children)
      if (!c->isDir) order.push_back(c.get());
    for (auto& c : s->top.children)
      if (c->isDir && !c->listError) LinkOrder(c.get(), &order);
    if (at > order.size()) Fail(where, "\"linkCaptchaAt\" is past the share's last file");
    const_cast<Node*>(order[at - 1])->linkCaptcha = true;
  }
  return s;
}

}  // namespace

std::shared_ptr<const Fixture> ParseFixture(const std::string& jsonText, std::string* error) {
  try {
    json j = json::parse(jsonText);
    OnlyKeys(j, "fixture", {"captchaFormat", "asciiJson", "download", "shares"});
    auto f = std::make_shared<Fixture>();
    f->captchaFormat = Str(j, "fixture", "captchaFormat", "png");
    if (f->captchaFormat != "png" && f->captchaFormat != "jpeg" && f->captchaFormat != "alternate")
      Fail("fixture", "\"captchaFormat\" must be \"png\", \"jpeg\" or \"alternate\"");
    f->asciiJson = Bool(j, "fixture", "asciiJson");
    if (j.contains("download")) f->download = ReadDownload(j["download"], "download");
    if (!j.contains("shares") || !j["shares"].is_array())
      Fail("fixture", "\"shares\" must be a list");
    for (size_t i = 0; i < j["shares"].size(); ++i) {
      std::string where = "shares[" + std::to_string(i) + "]";
      auto s = ReadShare(j["shares"][i], where);
      if (!f->byId.emplace(s->id, s.get()).second)
        Fail(where, "share id \"" + s->id + "\" is used twice");
      if (!f->byShareId.emplace(s->shareid, s.get()).second)
        Fail(where, "shareid " + std::to_string(s->shareid) + " is used twice");
      f->shares.push_back(std::move(s));
    }
    return f;
  } catch (const FixtureError& e) {
    if (error) *error = e.message;
  } catch (const json::exception& e) {
    if (error) *error = std::string("not valid JSON: ") + e.what();
  }
  return nullptr;
}

std::shared_ptr<const Fixture> LoadFixture(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path;
    return nullptr;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string inner;
  auto f = ParseFixture(ss.str(), &inner);
  if (!f && error) *error = path + ": " + inner;
  return f;
}

}  // namespace sf::sim
