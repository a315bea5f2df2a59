// The service's state in one SQLite database: shares and their files, downloads, history,
// downloaders, login sessions and API key digests. WAL journal, one connection guarded by a
// mutex (so one writer), and a schema version kept in PRAGMA user_version that Open brings
// forward one migration at a time. The directory is made 0700 and the files 0600, since they
// hold secrets. Failures are values: false, an empty optional or -1, with error() saying why.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace sf::service {

struct SessionRow {
  std::string csrfDigest;
  int64_t expires = 0;
};

struct KeyRow {
  int64_t id = 0;
  std::string name;
  int64_t created = 0;
  int64_t lastUsed = 0;
};

struct ShareRow {
  int64_t id = 0;
  std::string url;
  bool hasPassword = false;  // the extraction code itself only comes from SharePassword
  std::string state;
  std::string message;
  int64_t created = 0;
};

struct FileRow {
  int64_t id = 0;
  int64_t shareId = 0;
  std::string path;  // "/folder/name", as the share lists it
  int64_t size = 0;  // -1 when the share does not tell it
  bool isFolder = false;
  // The folder it lies in ("/" at the top); empty: the path's own up to its last "/".
  std::string folder;
  // What asks the service for the file's link again, later: its ids and the sharer's path.
  std::string fsId;
  std::string appId;
  std::string remotePath;
  bool chosen = true;  // taken when the share's files are fetched
};

// A folder a resolution could not list whole, and why.
struct MissingFolderRow {
  std::string path;
  std::string reason;
};

struct ShareTotals {
  int64_t files = 0;
  int64_t folders = 0;
  int64_t bytes = 0;  // of the files whose size is known
};

struct DownloadRow {
  int64_t id = 0;
  int64_t shareId = 0;
  std::string path;
  std::string target;  // the file on disk, or the downloader's own name for it
  int64_t downloaderId = 0;
  std::string state;
  int64_t total = 0;
  int64_t done = 0;
  std::string error;
  int64_t started = 0;  // Unix seconds: when it was asked for
};

// A download's row as it changed: what UpdateDownload writes.
struct DownloadChange {
  int64_t id = 0;
  std::string state;
  int64_t done = 0;
  int64_t total = 0;
  std::string error;
};

struct HistoryRow {
  int64_t id = 0;
  int64_t shareId = 0;
  std::string title;
  int64_t files = 0;
  int64_t bytes = 0;
  int64_t finished = 0;  // Unix seconds: when its last file ended
  std::string url;
  int64_t filesFailed = 0;
  int64_t started = 0;  // Unix seconds: when its first file was asked for
};

struct DownloaderRow {
  int64_t id = 0;
  std::string name;
  std::string url;
  bool hasSecret = false;  // the secret itself only comes from DownloaderSecret
  std::string directory;   // where its files go there; empty: its own
};

class StateStore {
 public:
  static constexpr int kSchemaVersion = 4;
  static constexpr const char* kFileName = "state.db";

  // Opens (creating) `directory`/state.db and migrates it; null with `error` set on failure,
  // including a database written by a newer schema than this program knows.
  static std::unique_ptr<StateStore> Open(const std::string& directory, std::string& error);
  ~StateStore();
  StateStore(const StateStore&) = delete;
  StateStore& operator=(const StateStore&) = delete;

  int schemaVersion();
  std::string error() const;

  // Small named values (the password hash among them).
  std::optional<std::string> Setting(const std::string& name);
  [[nodiscard]] bool SetSetting(const std::string& name, const std::string& value);

  // Also forgets the sessions that expired by `now`.
  [[nodiscard]] bool AddSession(const std::string& tokenDigest, const std::string& csrfDigest,
                                int64_t expires, int64_t now);
  // The session under `tokenDigest` if it has not expired by `now`.
  std::optional<SessionRow> FindSession(const std::string& tokenDigest, int64_t now);
  [[nodiscard]] bool DeleteSession(const std::string& tokenDigest);
  [[nodiscard]] bool DeleteAllSessions();

  // The new key's id, or -1.
  int64_t AddKey(const std::string& name, const std::string& keyDigest, int64_t now);
  // The key's id when the digest is known (and notes its use), else empty.
  std::optional<int64_t> UseKey(const std::string& keyDigest, int64_t now);
  std::vector<KeyRow> Keys();
  // False when no key has that id.
  bool DeleteKey(int64_t id);

  int64_t AddShare(const std::string& url, const std::string& password, int64_t now);
  [[nodiscard]] bool SetShareState(int64_t id, const std::string& state,
                                   const std::string& message);
  std::optional<ShareRow> Share(int64_t id);
  std::optional<std::string> SharePassword(int64_t id);
  std::vector<ShareRow> Shares();
  // The extraction code that opened the share, once a prompt was answered with it.
  [[nodiscard]] bool SetSharePassword(int64_t id, const std::string& password);
  // Forgets the share with its files and missing folders; false when there is none.
  bool DeleteShare(int64_t id);
  // Every share whose state is not among `finalStates` gets `state` and `message`: at start,
  // no resolution of an earlier run is still going on. How many, or -1.
  int64_t EndUnfinishedShares(const std::vector<std::string>& finalStates, const std::string& state,
                              const std::string& message);
  // Replaces what is recorded of the folders a resolution left out.
  [[nodiscard]] bool SetMissingFolders(int64_t shareId,
                                       const std::vector<MissingFolderRow>& folders);
  std::vector<MissingFolderRow> MissingFolders(int64_t shareId);

  // Adds a share's listed files in one transaction; all or nothing.
  [[nodiscard]] bool AddFiles(int64_t shareId, const std::vector<FileRow>& files);
  // The same, each file made by `fileAt` (0 to `count` - 1) as it is written, so a share of
  // many files is not held a second time as records.
  [[nodiscard]] bool AddFiles(int64_t shareId, size_t count,
                              const std::function<FileRow(size_t)>& fileAt);
  // The entries directly inside `folder` ("/" for the top), by path, one page at a time.
  std::vector<FileRow> Files(int64_t shareId, const std::string& folder, int64_t offset,
                             int64_t limit);
  // Every file (no folder) the share lists, by path, one at a time, each given to `take`
  // (which may take its texts) and let go, so a share of many files is not held whole; `take`
  // must not call the store. False when the files could not all be read.
  bool EachShareFile(int64_t shareId, const std::function<void(FileRow&)>& take);
  // True when the share lists a folder at `path`.
  bool HasFolder(int64_t shareId, const std::string& path);
  // How many entries lie directly inside `folder`, or -1.
  int64_t CountFiles(int64_t shareId, const std::string& folder);
  std::optional<ShareTotals> Totals(int64_t shareId);

  int64_t AddDownload(const DownloadRow& row);
  // All in one transaction, each given its id; none kept when one cannot be.
  [[nodiscard]] bool AddDownloads(std::vector<DownloadRow>& rows);
  [[nodiscard]] bool UpdateDownload(int64_t id, const std::string& state, int64_t done,
                                    int64_t total, const std::string& error);
  // Many at once, in order, in one transaction: all or none.
  [[nodiscard]] bool UpdateDownloads(const std::vector<DownloadChange>& changes);
  std::vector<DownloadRow> Downloads();
  // False when no download has that id.
  bool DeleteDownload(int64_t id);

  int64_t AddHistory(const HistoryRow& row);
  // Newest first.
  std::vector<HistoryRow> History(int64_t offset, int64_t limit);
  int64_t CountHistory();
  bool DeleteHistory(int64_t id);

  int64_t AddDownloader(const std::string& name, const std::string& url, const std::string& secret,
                        const std::string& directory = {});
  // Name, address and directory as given; the secret only when one is given ("" clears it).
  // False when no downloader has that id.
  bool UpdateDownloader(const DownloaderRow& row, const std::optional<std::string>& secret);
  std::vector<DownloaderRow> Downloaders();
  // The one with that id, if it is kept.
  std::optional<DownloaderRow> Downloader(int64_t id);
  std::optional<std::string> DownloaderSecret(int64_t id);
  bool DeleteDownloader(int64_t id);

 private:
  explicit StateStore(sqlite3* db) : db_(db) {}
  bool Migrate();
  bool Exec(const char* sql);
  bool EndTransaction(bool ok);

  class Statement;
  sqlite3* db_;
  mutable std::mutex mutex_;
  std::string error_;
  // Totals as counted, until the share's files change: a listing of the shares asks for
  // every share's, and counting a large share's files takes long.
  std::map<int64_t, ShareTotals> totals_;
};

}  // namespace sf::service
