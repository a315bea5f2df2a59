// Handing downloads to a download engine that runs elsewhere: aria2, reached over its JSON-RPC
// interface, or its input-file format for `aria2c -i`. Each file goes with exactly what our
// own engine would send for it (its link as we would request it, the User-Agent, and the
// Referer and Cookie lines when the task carries them), so the server sees the same client.
// Texts are UTF-8 here: they are bound for JSON and for a file aria2 reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/json_rpc.h"

namespace sf {

struct RemoteDownload {
  std::string link;                  // percent-encoded as our engine requests it
  std::string dir;                   // the directory to save into, on the downloader's side
  std::string out;                   // the file name there
  std::vector<std::string> headers;  // whole lines, "Name: value"
  // A file at dir/out without aria2's control file is started over instead of kept (or saved
  // beside under a name of aria2's): for a file aria2 ended short.
  bool restart = false;
};

// The header lines our engine sends for a task with this referring page and these cookies.
std::vector<std::string> EngineHeaderLines(std::string_view referer, std::string_view cookies);

// A download of `link` (as the share gives it) into `dir`/`out`. Our engine fetches only
// http:// and https:// links, and so does this: anything else gives nothing and says why in
// `problem`, so no other protocol reaches the downloader.
std::optional<RemoteDownload> MakeRemoteDownload(std::string_view link, std::string dir,
                                                 std::string out, std::string* problem,
                                                 std::string_view referer = {},
                                                 std::string_view cookies = {});

// `base` and a relative folder joined with one "/"; `base` alone for the top folder.
std::string JoinRemoteDir(std::string_view base, std::string_view folder);

// A download as the downloader reports it (aria2.tellStatus and its lists). Lengths are -1
// until known.
struct RemoteStatus {
  std::string gid;
  std::string status;  // "active", "waiting", "paused", "error", "complete" or "removed"
  std::string path;    // the first file's path there: dir/out
  int64_t total = -1;
  int64_t done = 0;
  int64_t speed = 0;         // bytes per second
  std::string errorCode;     // aria2's code, "0" or empty while none
  std::string errorMessage;  // its words for it
  RpcError error;            // why the download could not be asked about
  bool ok() const { return error.kind == RpcFailure::kNone; }
};

struct RemoteOutcome {
  std::string gid;  // the downloader's id for the download, when it took it
  RpcError error;   // otherwise why not
  bool accepted() const { return !gid.empty(); }
};

class Aria2Remote {
 public:
  // `secret`: aria2's --rpc-secret; empty when it has none. It travels as the "token:SECRET"
  // that leads every call's parameters and appears in nothing this class returns.
  Aria2Remote(JsonRpcClient& client, std::string secret);

  struct Text {
    RpcError error;
    std::string value;
    bool ok() const { return error.kind == RpcFailure::kNone; }
  };
  // aria2.getVersion's "version".
  Text Version();
  // The downloader's own download directory: the "dir" of aria2.getGlobalOption.
  Text GlobalDirectory();

  // One aria2.addUri per download, all in one system.multicall (or, for a share too large for
  // one request, one after another in several): one outcome per download, in order. A batch
  // that fails as a whole gives its failure to each of its downloads, and the later batches
  // are not sent.
  // A download of a dir/out where an earlier one left its partial continues it: aria2 takes
  // the partial up from the control file it keeps beside it. ("continue" is not asked for: it
  // would take a preallocated file without that control file for bytes already there.)
  std::vector<RemoteOutcome> AddAll(const std::vector<RemoteDownload>& downloads);

  // aria2.tellStatus of each gid, all in one system.multicall: one status per gid, in order.
  // A call that fails as a whole gives its failure to each.
  std::vector<RemoteStatus> Statuses(const std::vector<std::string>& gids);
  // Every download the downloader holds, running, waiting and stopped, each gid once. The
  // waiting and stopped lists are asked `page` at a time, until a page comes back short.
  // `error` says why there is no list.
  std::vector<RemoteStatus> Everything(RpcError* error, int page = kListPage);
  // aria2.removeDownloadResult: a stopped download's result goes, its files stay.
  RpcError RemoveResult(const std::string& gid);
  // aria2.forcePause, aria2.unpause or aria2.forceRemove of one download: it stops at once,
  // goes on, or ends with its partial and control file left where they are.
  RpcError Pause(const std::string& gid);
  RpcError Unpause(const std::string& gid);
  RpcError Remove(const std::string& gid);

  static constexpr int kListPage = 1000;

 private:
  nlohmann::json Params(nlohmann::json rest) const;
  // The downloader's own words go through these before anyone sees them: whatever it echoes of
  // the secret shows as "***".
  RpcError Scrubbed(RpcError error) const;
  std::string Masked(std::string text) const;
  RemoteStatus Masked(RemoteStatus status) const;
  Text Field(const char* method, const char* field);

  JsonRpcClient& client_;
  std::string secret_;
};

// The largest request body AddAll puts into one system.multicall. aria2 refuses requests over
// --rpc-max-request-size (2 MiB unless set otherwise).
inline constexpr size_t kMaxMulticallBytes = 1 << 20;

// The downloads as an aria2 input file: for each, its link on a line of its own, then the
// indented lines " dir=", " out=" and one " header=" per header line. aria2 reads a value up to
// the end of its line and trims it, so a download whose values hold a control character (a
// line break would forge an entry of its own) or begin or end with a blank would not read back
// as written: it is left out of the text and named in `refused` with the reason.
struct InputFile {
  std::string text;
  struct Refused {
    size_t index;  // position in the downloads given
    std::string reason;
  };
  std::vector<Refused> refused;
};
InputFile WriteInputFile(const std::vector<RemoteDownload>& downloads);

}  // namespace sf
