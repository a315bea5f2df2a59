#include "download/aria2_remote.h"

#include <algorithm>

#include "base/text.h"
#include "base/url_text.h"
#include "download/engine_api.h"

namespace sf {
namespace {

using Json = nlohmann::json;

bool HasOuterBlank(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return !text.empty() && (blank(text.front()) || blank(text.back()));
}

// Why `value` would not read back from an input file as written; empty when it would.
std::string ValueProblem(const char* name, std::string_view value, bool trimmed) {
  if (HasControlCharacters(value)) return std::string(name) + " holds a control character";
  if (trimmed && HasOuterBlank(value)) return std::string(name) + " begins or ends with a blank";
  return {};
}

}  // namespace

std::vector<std::string> EngineHeaderLines(std::string_view referer, std::string_view cookies) {
  std::vector<std::string> lines{std::string("User-Agent: ") + kEngineUserAgent};
  if (std::string r = HeaderSafe(EncodeUrl(referer)); !r.empty()) lines.push_back("Referer: " + r);
  if (std::string c = HeaderSafe(std::string(cookies)); !c.empty()) lines.push_back("Cookie: " + c);
  return lines;
}

std::optional<RemoteDownload> MakeRemoteDownload(std::string_view link, std::string dir,
                                                 std::string out, std::string* problem,
                                                 std::string_view referer,
                                                 std::string_view cookies) {
  std::string encoded = EncodeUrl(link);
  if (!StartsWithIgnoreCase(encoded, "http://") && !StartsWithIgnoreCase(encoded, "https://")) {
    if (problem) *problem = "not an http:// or https:// link";
    return std::nullopt;
  }
  return RemoteDownload{std::move(encoded), std::move(dir), std::move(out),
                        EngineHeaderLines(referer, cookies)};
}

std::string JoinRemoteDir(std::string_view base, std::string_view folder) {
  std::string joined(base);
  if (folder.empty()) return joined;
  while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  if (joined.empty()) return std::string(folder);
  if (joined != "/") joined += '/';
  return joined + std::string(folder);
}

Aria2Remote::Aria2Remote(JsonRpcClient& client, std::string secret)
    : client_(client), secret_(std::move(secret)) {}

Json Aria2Remote::Params(Json rest) const {
  Json params = Json::array();
  if (!secret_.empty()) params.push_back("token:" + secret_);
  for (Json& p : rest) params.push_back(std::move(p));
  return params;
}

// Nothing this class returns is built from a request, but a downloader could still echo the
// secret back in an error message of its own.
RpcError Aria2Remote::Scrubbed(RpcError error) const {
  if (!secret_.empty()) error.message = ReplaceAll(error.message, secret_, "***");
  return error;
}

Aria2Remote::Text Aria2Remote::Field(const char* method, const char* field) {
  RpcReply reply = client_.Call(method, Params(Json::array()));
  Text text{Scrubbed(reply.error), {}};
  if (!reply.ok()) return text;
  auto value = reply.result.is_object() ? reply.result.find(field) : reply.result.end();
  if (value == reply.result.end() || !value->is_string())
    text.error = {RpcFailure::kNotJson, 0, {}};
  else
    text.value = value->get<std::string>();
  return text;
}

Aria2Remote::Text Aria2Remote::Version() {
  return Field("aria2.getVersion", "version");
}

Aria2Remote::Text Aria2Remote::GlobalDirectory() {
  return Field("aria2.getGlobalOption", "dir");
}

std::vector<RemoteOutcome> Aria2Remote::AddAll(const std::vector<RemoteDownload>& downloads) {
  std::vector<RemoteOutcome> outcomes(downloads.size());
  size_t next = 0;
  while (next < downloads.size()) {
    // The calls of one batch, and which download each belongs to.
    Json calls = Json::array();
    std::vector<size_t> members;
    size_t bytes = 0;
    for (; next < downloads.size(); ++next) {
      const RemoteDownload& d = downloads[next];
      Json options = {{"dir", d.dir}, {"out", d.out}, {"header", d.headers}};
      if (d.dir.empty()) options.erase("dir");
      Json call = {{"methodName", "aria2.addUri"},
                   {"params", Params(Json::array({Json::array({d.link}), options}))}};
      size_t size = 0;
      try {
        size = call.dump().size();
      } catch (const Json::exception&) {
        outcomes[next].error = {RpcFailure::kBadRequest, 0, {}};
        continue;
      }
      if (!members.empty() && bytes + size > kMaxMulticallBytes) break;
      bytes += size + 1;
      calls.push_back(std::move(call));
      members.push_back(next);
    }
    if (members.empty()) continue;

    RpcReply reply = client_.Call("system.multicall", Json::array({std::move(calls)}));
    if (reply.ok() && (!reply.result.is_array() || reply.result.size() != members.size()))
      reply.error = {RpcFailure::kNotJson, 0, {}};
    if (!reply.ok()) {
      // Whatever this batch held, and every later one, stays with us.
      for (size_t i = members.front(); i < downloads.size(); ++i)
        if (outcomes[i].error.kind == RpcFailure::kNone) outcomes[i].error = Scrubbed(reply.error);
      break;
    }
    for (size_t k = 0; k < members.size(); ++k) {
      const Json& r = reply.result[k];
      RemoteOutcome& o = outcomes[members[k]];
      if (r.is_array() && r.size() == 1 && r[0].is_string() && !r[0].get<std::string>().empty())
        o.gid = r[0].get<std::string>();
      else if (r.is_object())
        o.error = Scrubbed(RpcErrorFromObject(r));
      else
        o.error = {RpcFailure::kNotJson, 0, {}};
    }
  }
  return outcomes;
}

namespace {

const Json kStatusKeys = {"gid",           "status",    "totalLength",  "completedLength",
                          "downloadSpeed", "errorCode", "errorMessage", "files"};

int64_t Number(const Json& object, const char* key, int64_t otherwise) {
  auto v = object.find(key);
  if (v == object.end() || !v->is_string()) return otherwise;
  const std::string& text = v->get_ref<const std::string&>();
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos)
    return otherwise;
  return std::stoll(text);
}

std::string TextOf(const Json& object, const char* key) {
  auto v = object.find(key);
  return v != object.end() && v->is_string() ? v->get<std::string>() : std::string();
}

RemoteStatus StatusOf(const Json& object) {
  RemoteStatus s;
  if (!object.is_object()) {
    s.error = {RpcFailure::kNotJson, 0, {}};
    return s;
  }
  s.gid = TextOf(object, "gid");
  s.status = TextOf(object, "status");
  s.total = Number(object, "totalLength", -1);
  s.done = Number(object, "completedLength", 0);
  s.speed = Number(object, "downloadSpeed", 0);
  s.errorCode = TextOf(object, "errorCode");
  s.errorMessage = TextOf(object, "errorMessage");
  // aria2 reports 0 before the server named a length.
  if (s.total == 0 && s.status != "complete") s.total = -1;
  auto files = object.find("files");
  if (files != object.end() && files->is_array() && !files->empty() && (*files)[0].is_object())
    s.path = TextOf((*files)[0], "path");
  return s;
}

}  // namespace

std::vector<RemoteStatus> Aria2Remote::Statuses(const std::vector<std::string>& gids) {
  // Asked every second: the files and their links are left out, and a long list goes in
  // batches well below aria2's request limit.
  static const Json kKeys = {"gid",           "status",    "totalLength", "completedLength",
                             "downloadSpeed", "errorCode", "errorMessage"};
  constexpr size_t kBatch = 2000;
  std::vector<RemoteStatus> statuses(gids.size());
  for (size_t first = 0; first < gids.size(); first += kBatch) {
    const size_t end = std::min(gids.size(), first + kBatch);
    Json calls = Json::array();
    for (size_t i = first; i < end; ++i)
      calls.push_back(
          {{"methodName", "aria2.tellStatus"}, {"params", Params(Json::array({gids[i], kKeys}))}});
    RpcReply reply = client_.Call("system.multicall", Json::array({std::move(calls)}));
    if (reply.ok() && (!reply.result.is_array() || reply.result.size() != end - first))
      reply.error = {RpcFailure::kNotJson, 0, {}};
    for (size_t i = first; i < end; ++i) {
      if (!reply.ok()) {
        statuses[i].error = Scrubbed(reply.error);
      } else {
        const Json& r = reply.result[i - first];
        if (r.is_array() && r.size() == 1)
          statuses[i] = StatusOf(r[0]);
        else
          statuses[i].error = Scrubbed(r.is_object() ? RpcErrorFromObject(r)
                                                     : RpcError{RpcFailure::kNotJson, 0, {}});
      }
      statuses[i].gid = gids[i];
    }
  }
  return statuses;
}

std::vector<RemoteStatus> Aria2Remote::Everything(RpcError* error, int most) {
  Json calls = Json::array({
      {{"methodName", "aria2.tellActive"}, {"params", Params(Json::array({kStatusKeys}))}},
      {{"methodName", "aria2.tellWaiting"},
       {"params", Params(Json::array({0, most, kStatusKeys}))}},
      {{"methodName", "aria2.tellStopped"},
       {"params", Params(Json::array({0, most, kStatusKeys}))}},
  });
  RpcReply reply = client_.Call("system.multicall", Json::array({std::move(calls)}));
  if (reply.ok() && (!reply.result.is_array() || reply.result.size() != 3))
    reply.error = {RpcFailure::kNotJson, 0, {}};
  std::vector<RemoteStatus> all;
  for (size_t k = 0; reply.ok() && k < 3; ++k) {
    const Json& r = reply.result[k];
    if (r.is_object()) {
      reply.error = RpcErrorFromObject(r);
    } else if (!r.is_array() || r.size() != 1 || !r[0].is_array()) {
      reply.error = {RpcFailure::kNotJson, 0, {}};
    } else {
      for (const Json& item : r[0]) all.push_back(StatusOf(item));
    }
  }
  *error = Scrubbed(reply.error);
  if (!reply.ok()) all.clear();
  return all;
}

RpcError Aria2Remote::RemoveResult(const std::string& gid) {
  return Scrubbed(client_.Call("aria2.removeDownloadResult", Params(Json::array({gid}))).error);
}

InputFile WriteInputFile(const std::vector<RemoteDownload>& downloads) {
  InputFile file;
  for (size_t i = 0; i < downloads.size(); ++i) {
    const RemoteDownload& d = downloads[i];
    // The link is percent-encoded again for safety's sake: a line break or a tab left in it
    // would split the entry. Encoding leaves an encoded link as it is.
    std::string link = EncodeUrl(d.link);
    std::string problem;
    if (!StartsWithIgnoreCase(link, "http://") && !StartsWithIgnoreCase(link, "https://"))
      problem = "not an http:// or https:// link";
    if (problem.empty()) problem = ValueProblem("the directory", d.dir, true);
    if (problem.empty()) problem = ValueProblem("the file name", d.out, true);
    if (problem.empty() && d.out.empty()) problem = "the file name is empty";
    for (const std::string& h : d.headers)
      if (problem.empty()) problem = ValueProblem("a header", h, false);
    if (!problem.empty()) {
      file.refused.push_back({i, problem});
      continue;
    }
    file.text += link + "\n";
    if (!d.dir.empty()) file.text += " dir=" + d.dir + "\n";
    file.text += " out=" + d.out + "\n";
    for (const std::string& h : d.headers) file.text += " header=" + h + "\n";
  }
  return file;
}

}  // namespace sf
