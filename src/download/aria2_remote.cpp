#include "download/aria2_remote.h"

#include <algorithm>
#include <set>

#include "base/text.h"
#include "base/url_text.h"
#include "engine_api/engine_client.h"

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
  error.message = Masked(std::move(error.message));
  return error;
}

std::string Aria2Remote::Masked(std::string text) const {
  if (secret_.empty() || text.find(secret_) == std::string::npos) return text;
  return ReplaceAll(text, secret_, "***");
}

RemoteStatus Aria2Remote::Masked(RemoteStatus s) const {
  for (std::string* text : {&s.gid, &s.status, &s.path, &s.errorCode, &s.errorMessage})
    *text = Masked(std::move(*text));
  s.error = Scrubbed(std::move(s.error));
  return s;
}

Aria2Remote::Text Aria2Remote::Field(const char* method, const char* field) {
  RpcReply reply = client_.Call(method, Params(Json::array()));
  Text text{Scrubbed(reply.error), {}};
  if (!reply.ok()) return text;
  auto value = reply.result.is_object() ? reply.result.find(field) : reply.result.end();
  if (value == reply.result.end() || !value->is_string())
    text.error = {RpcFailure::kNotJson, 0, {}};
  else
    text.value = Masked(value->get<std::string>());
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
      if (d.restart) options["allow-overwrite"] = "true";
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
        o.gid = Masked(r[0].get<std::string>());
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
          statuses[i] = Masked(StatusOf(r[0]));
        else
          statuses[i].error = Scrubbed(r.is_object() ? RpcErrorFromObject(r)
                                                     : RpcError{RpcFailure::kNotJson, 0, {}});
      }
      statuses[i].gid = gids[i];
    }
  }
  return statuses;
}

std::vector<RemoteStatus> Aria2Remote::Everything(RpcError* error, int page) {
  page = std::max(page, 1);
  // aria2 answers a system.multicall in one go, with no download moving between its lists
  // meanwhile; so every page goes in one request, as many as the counts say, lest a download
  // that moves from one list to another between two requests slip past both. Pages are asked
  // on while the last one comes back full: the lists grew since they were counted.
  int64_t counts[2] = {0, 0};
  RpcReply stat = client_.Call("aria2.getGlobalStat", Params(Json::array()));
  if (!stat.ok() && stat.error.kind != RpcFailure::kRpcError) {
    *error = Scrubbed(stat.error);
    return {};
  }
  if (stat.ok() && stat.result.is_object()) {
    counts[0] = Number(stat.result, "numWaiting", 0);
    counts[1] = Number(stat.result, "numStopped", 0);
  }
  static const char* const kLists[2] = {"aria2.tellWaiting", "aria2.tellStopped"};
  // Bounds against a downloader that pages on for ever.
  constexpr int64_t kPagesPerRequest = 64;
  constexpr size_t kMost = size_t{1} << 20;
  int64_t offset[2] = {0, 0};
  bool open[2] = {true, true};
  bool active = true;
  std::vector<RemoteStatus> all;
  std::set<std::string> seen;
  RpcError failure;
  while (failure.kind == RpcFailure::kNone && (active || open[0] || open[1])) {
    Json calls = Json::array();
    std::vector<int> lists;  // which list each call asks: -1 for the active one
    if (active) {
      calls.push_back(
          {{"methodName", "aria2.tellActive"}, {"params", Params(Json::array({kStatusKeys}))}});
      lists.push_back(-1);
    }
    for (int l = 0; l < 2; ++l) {
      if (!open[l]) continue;
      const int64_t pages =
          std::clamp<int64_t>((counts[l] - offset[l]) / page + 1, 1, kPagesPerRequest);
      for (int64_t p = 0; p < pages; ++p) {
        calls.push_back(
            {{"methodName", kLists[l]},
             {"params", Params(Json::array({offset[l] + p * page, page, kStatusKeys}))}});
        lists.push_back(l);
      }
    }
    RpcReply reply = client_.Call("system.multicall", Json::array({std::move(calls)}));
    if (reply.ok() && (!reply.result.is_array() || reply.result.size() != lists.size()))
      reply.error = {RpcFailure::kNotJson, 0, {}};
    if (!reply.ok()) {
      failure = reply.error;
      break;
    }
    bool full[2] = {false, false}, fresh[2] = {false, false};
    for (size_t k = 0; k < lists.size() && failure.kind == RpcFailure::kNone; ++k) {
      const Json& r = reply.result[k];
      const int l = lists[k];
      if (r.is_object()) {
        failure = RpcErrorFromObject(r);
      } else if (!r.is_array() || r.size() != 1 || !r[0].is_array()) {
        failure = {RpcFailure::kNotJson, 0, {}};
      } else {
        for (const Json& item : r[0]) {
          RemoteStatus s = Masked(StatusOf(item));
          // Without a gid it could be neither followed nor removed.
          if (s.gid.empty() || !seen.insert(s.gid).second) continue;
          if (l >= 0) fresh[l] = true;
          all.push_back(std::move(s));
        }
        if (l >= 0) {
          full[l] = r[0].size() >= static_cast<size_t>(page);
          offset[l] += page;
        }
      }
    }
    active = false;
    for (int l = 0; l < 2; ++l) open[l] = open[l] && full[l] && fresh[l] && all.size() < kMost;
  }
  *error = Scrubbed(failure);
  if (failure.kind != RpcFailure::kNone) all.clear();
  return all;
}

RpcError Aria2Remote::RemoveResult(const std::string& gid) {
  return Scrubbed(client_.Call("aria2.removeDownloadResult", Params(Json::array({gid}))).error);
}

RpcError Aria2Remote::Pause(const std::string& gid) {
  return Scrubbed(client_.Call("aria2.forcePause", Params(Json::array({gid}))).error);
}

RpcError Aria2Remote::Unpause(const std::string& gid) {
  return Scrubbed(client_.Call("aria2.unpause", Params(Json::array({gid}))).error);
}

RpcError Aria2Remote::Remove(const std::string& gid) {
  return Scrubbed(client_.Call("aria2.forceRemove", Params(Json::array({gid}))).error);
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
