#include "service/state_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sf::service {
namespace {

// Each entry brings the schema from its index to the next version; entries are never edited
// once released, only appended.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE settings(name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE sessions(token_digest TEXT PRIMARY KEY, csrf_digest TEXT NOT NULL,
                      expires INTEGER NOT NULL);
CREATE TABLE api_keys(id INTEGER PRIMARY KEY, name TEXT NOT NULL, key_digest TEXT NOT NULL UNIQUE,
                      created INTEGER NOT NULL, last_used INTEGER NOT NULL DEFAULT 0);
CREATE TABLE shares(id INTEGER PRIMARY KEY, url TEXT NOT NULL, password TEXT NOT NULL DEFAULT '',
                    state TEXT NOT NULL, message TEXT NOT NULL DEFAULT '', created INTEGER NOT NULL);
CREATE TABLE files(id INTEGER PRIMARY KEY, share_id INTEGER NOT NULL REFERENCES shares(id)
                   ON DELETE CASCADE, folder TEXT NOT NULL, path TEXT NOT NULL,
                   size INTEGER NOT NULL, is_folder INTEGER NOT NULL, UNIQUE(share_id, path));
CREATE INDEX files_by_folder ON files(share_id, folder, path);
CREATE TABLE downloaders(id INTEGER PRIMARY KEY, name TEXT NOT NULL, url TEXT NOT NULL,
                         secret TEXT NOT NULL DEFAULT '');
CREATE TABLE downloads(id INTEGER PRIMARY KEY, share_id INTEGER REFERENCES shares(id)
                       ON DELETE SET NULL, path TEXT NOT NULL, target TEXT NOT NULL,
                       downloader_id INTEGER REFERENCES downloaders(id) ON DELETE SET NULL,
                       state TEXT NOT NULL, total INTEGER NOT NULL DEFAULT 0,
                       done INTEGER NOT NULL DEFAULT 0, error TEXT NOT NULL DEFAULT '');
CREATE TABLE history(id INTEGER PRIMARY KEY, share_id INTEGER, title TEXT NOT NULL,
                     files INTEGER NOT NULL, bytes INTEGER NOT NULL, finished INTEGER NOT NULL);
)sql",
    // What a share's records need for its files to be fetched later: each entry's ids and its
    // sharer's path (a fresh link is asked by them), whether it is chosen, its place in the
    // listing; and the folders a resolution could not list, named.
    R"sql(
ALTER TABLE files ADD COLUMN fs_id TEXT NOT NULL DEFAULT '';
ALTER TABLE files ADD COLUMN app_id TEXT NOT NULL DEFAULT '';
ALTER TABLE files ADD COLUMN remote_path TEXT NOT NULL DEFAULT '';
ALTER TABLE files ADD COLUMN chosen INTEGER NOT NULL DEFAULT 1;
CREATE TABLE missing_folders(id INTEGER PRIMARY KEY, share_id INTEGER NOT NULL
                             REFERENCES shares(id) ON DELETE CASCADE, path TEXT NOT NULL,
                             reason TEXT NOT NULL);
)sql",
    // Downloads come back after a restart share by share, and go with their share's files.
    R"sql(
CREATE INDEX downloads_by_share ON downloads(share_id, path);
)sql",
    // Downloaders get a directory of their own, downloads the moment they were asked for, and
    // a share's history the address, the files that failed and when its downloads began.
    R"sql(
ALTER TABLE downloaders ADD COLUMN directory TEXT NOT NULL DEFAULT '';
ALTER TABLE downloads ADD COLUMN started INTEGER NOT NULL DEFAULT 0;
ALTER TABLE history ADD COLUMN url TEXT NOT NULL DEFAULT '';
ALTER TABLE history ADD COLUMN files_failed INTEGER NOT NULL DEFAULT 0;
ALTER TABLE history ADD COLUMN started INTEGER NOT NULL DEFAULT 0;
)sql",
};
static_assert(std::size(kMigrations) == StateStore::kSchemaVersion);

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

// A prepared statement that finalizes itself; binding is by position from 1.
class StateStore::Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK;
  }
  ~Statement() { sqlite3_finalize(s_); }
  Statement& Bind(int i, int64_t v) {
    ok_ = ok_ && sqlite3_bind_int64(s_, i, v) == SQLITE_OK;
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    ok_ = ok_ && sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT) ==
                     SQLITE_OK;
    return *this;
  }
  // True while a row is there; ok() tells a finished walk from a failed one.
  bool Row() {
    if (!ok_) return false;
    int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    ok_ = rc == SQLITE_DONE;
    return false;
  }
  bool Run() {
    Row();
    return ok_;
  }
  bool ok() const { return ok_; }
  void Reset() { sqlite3_reset(s_); }
  int64_t Int(int i) { return sqlite3_column_int64(s_, i); }
  std::string Text(int i) {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, i));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, i))) : std::string();
  }

 private:
  sqlite3_stmt* s_ = nullptr;
  bool ok_ = false;
};

std::unique_ptr<StateStore> StateStore::Open(const std::string& directory, std::string& error) {
  if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + directory + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat info {};
  if (lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = directory + " is not a directory";
    return nullptr;
  }
  // An existing directory may have been made by hand with looser bits; ours are tightened.
  if ((info.st_mode & 077) != 0 && chmod(directory.c_str(), 0700) != 0) {
    error = "cannot restrict " + directory + ": " + std::strerror(errno);
    return nullptr;
  }
  // The database and its -wal and -shm companions are created under this mask.
  mode_t old = umask(077);
  std::string path = directory + "/" + kFileName;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX,
      nullptr);
  umask(old);
  if (rc != SQLITE_OK) {
    error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  chmod(path.c_str(), 0600);
  std::unique_ptr<StateStore> store(new StateStore(db));
  sqlite3_busy_timeout(db, 5000);
  if (!store->Exec("PRAGMA journal_mode=WAL") || !store->Exec("PRAGMA foreign_keys=ON") ||
      !store->Exec("PRAGMA synchronous=NORMAL") || !store->Migrate()) {
    error = path + ": " + store->error_;
    return nullptr;
  }
  return store;
}

StateStore::~StateStore() {
  sqlite3_close(db_);
}

bool StateStore::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error_ = message ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

// Ends the transaction a batch of writes began: kept whole when every write went in, otherwise
// undone whole, with the failed write's reason kept.
bool StateStore::EndTransaction(bool ok) {
  if (ok) return Exec("COMMIT");
  error_ = sqlite3_errmsg(db_);
  Exec("ROLLBACK");
  return false;
}

bool StateStore::Migrate() {
  int version = schemaVersion();
  if (version < 0) return false;
  if (version > kSchemaVersion) {
    error_ = "written by a newer version (schema " + std::to_string(version) + ", this knows " +
             std::to_string(kSchemaVersion) + ")";
    return false;
  }
  for (; version < kSchemaVersion; ++version) {
    std::string step = std::string("BEGIN IMMEDIATE;") + kMigrations[version] +
                       "PRAGMA user_version=" + std::to_string(version + 1) + ";COMMIT;";
    if (!Exec(step.c_str())) {
      std::string why = error_;
      Exec("ROLLBACK");
      error_ = "migration to schema " + std::to_string(version + 1) + " failed: " + why;
      return false;
    }
  }
  return true;
}

int StateStore::schemaVersion() {
  Statement s(db_, "PRAGMA user_version");
  if (!s.Row()) {
    error_ = sqlite3_errmsg(db_);
    return -1;
  }
  return static_cast<int>(s.Int(0));
}

std::string StateStore::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

// Every public call below holds the mutex for its whole statement, so the one connection
// never runs two at once and error_ belongs to the call that set it.
#define SF_STORE_CHECK(statement)                        \
  do {                                                   \
    if (!(statement).ok()) error_ = sqlite3_errmsg(db_); \
  } while (0)

std::optional<std::string> StateStore::Setting(const std::string& name) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT value FROM settings WHERE name=?");
  if (s.Bind(1, name).Row()) return s.Text(0);
  SF_STORE_CHECK(s);
  return std::nullopt;
}

bool StateStore::SetSetting(const std::string& name, const std::string& value) {
  std::lock_guard lock(mutex_);
  Statement s(db_,
              "INSERT INTO settings(name,value) VALUES(?,?) "
              "ON CONFLICT(name) DO UPDATE SET value=excluded.value");
  bool ok = s.Bind(1, name).Bind(2, value).Run();
  SF_STORE_CHECK(s);
  return ok;
}

bool StateStore::AddSession(const std::string& tokenDigest, const std::string& csrfDigest,
                            int64_t expires, int64_t now) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "INSERT INTO sessions(token_digest,csrf_digest,expires) VALUES(?,?,?)");
  bool ok = s.Bind(1, tokenDigest).Bind(2, csrfDigest).Bind(3, expires).Run();
  SF_STORE_CHECK(s);
  // Expired sessions go whenever a new one comes, so the table stays as small as the logins.
  Statement prune(db_, "DELETE FROM sessions WHERE expires<=?");
  prune.Bind(1, now).Run();
  return ok;
}

std::optional<SessionRow> StateStore::FindSession(const std::string& tokenDigest, int64_t now) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT csrf_digest,expires FROM sessions WHERE token_digest=? AND expires>?");
  if (s.Bind(1, tokenDigest).Bind(2, now).Row()) return SessionRow{s.Text(0), s.Int(1)};
  SF_STORE_CHECK(s);
  return std::nullopt;
}

bool StateStore::DeleteSession(const std::string& tokenDigest) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "DELETE FROM sessions WHERE token_digest=?");
  bool ok = s.Bind(1, tokenDigest).Run();
  SF_STORE_CHECK(s);
  return ok;
}

bool StateStore::DeleteAllSessions() {
  std::lock_guard lock(mutex_);
  return Exec("DELETE FROM sessions");
}

int64_t StateStore::AddKey(const std::string& name, const std::string& keyDigest, int64_t now) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "INSERT INTO api_keys(name,key_digest,created) VALUES(?,?,?)");
  if (s.Bind(1, name).Bind(2, keyDigest).Bind(3, now).Run()) return sqlite3_last_insert_rowid(db_);
  SF_STORE_CHECK(s);
  return -1;
}

std::optional<int64_t> StateStore::UseKey(const std::string& keyDigest, int64_t now) {
  std::lock_guard lock(mutex_);
  // A script that polls uses its key many times a second: the second it was last used is
  // written only when it changes, and the other calls only read.
  Statement found(db_, "SELECT id,last_used FROM api_keys WHERE key_digest=?");
  if (!found.Bind(1, keyDigest).Row()) {
    SF_STORE_CHECK(found);
    return std::nullopt;
  }
  const int64_t id = found.Int(0), last = found.Int(1);
  found.Reset();
  if (last == now) return id;
  Statement s(db_, "UPDATE api_keys SET last_used=? WHERE id=?");
  if (s.Bind(1, now).Bind(2, id).Run()) return id;
  SF_STORE_CHECK(s);
  return std::nullopt;
}

std::vector<KeyRow> StateStore::Keys() {
  std::lock_guard lock(mutex_);
  std::vector<KeyRow> rows;
  Statement s(db_, "SELECT id,name,created,last_used FROM api_keys ORDER BY id");
  while (s.Row()) rows.push_back({s.Int(0), s.Text(1), s.Int(2), s.Int(3)});
  SF_STORE_CHECK(s);
  return rows;
}

bool StateStore::DeleteKey(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "DELETE FROM api_keys WHERE id=?");
  bool ok = s.Bind(1, id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

int64_t StateStore::AddShare(const std::string& url, const std::string& password, int64_t now) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "INSERT INTO shares(url,password,state,created) VALUES(?,?,'new',?)");
  if (s.Bind(1, url).Bind(2, password).Bind(3, now).Run()) return sqlite3_last_insert_rowid(db_);
  SF_STORE_CHECK(s);
  return -1;
}

bool StateStore::SetShareState(int64_t id, const std::string& state, const std::string& message) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "UPDATE shares SET state=?,message=? WHERE id=?");
  bool ok = s.Bind(1, state).Bind(2, message).Bind(3, id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

namespace {
constexpr const char* kShareColumns =
    "SELECT id,url,password<>'',state,message,created FROM shares";
}

std::optional<ShareRow> StateStore::Share(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement s(db_, (std::string(kShareColumns) + " WHERE id=?").c_str());
  if (s.Bind(1, id).Row())
    return ShareRow{s.Int(0), s.Text(1), s.Int(2) != 0, s.Text(3), s.Text(4), s.Int(5)};
  SF_STORE_CHECK(s);
  return std::nullopt;
}

std::optional<std::string> StateStore::SharePassword(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT password FROM shares WHERE id=?");
  if (s.Bind(1, id).Row()) return s.Text(0);
  SF_STORE_CHECK(s);
  return std::nullopt;
}

bool StateStore::SetSharePassword(int64_t id, const std::string& password) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "UPDATE shares SET password=? WHERE id=?");
  bool ok = s.Bind(1, password).Bind(2, id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

bool StateStore::DeleteShare(int64_t id) {
  std::lock_guard lock(mutex_);
  totals_.erase(id);
  Statement s(db_, "DELETE FROM shares WHERE id=?");
  bool ok = s.Bind(1, id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

int64_t StateStore::EndUnfinishedShares(const std::vector<std::string>& finalStates,
                                        const std::string& state, const std::string& message) {
  std::lock_guard lock(mutex_);
  std::string sql = "UPDATE shares SET state=?,message=? WHERE state NOT IN (";
  for (size_t i = 0; i < finalStates.size(); ++i) sql += i ? ",?" : "?";
  Statement s(db_, (sql + ")").c_str());
  s.Bind(1, state).Bind(2, message);
  for (size_t i = 0; i < finalStates.size(); ++i) s.Bind(static_cast<int>(i) + 3, finalStates[i]);
  if (s.Run()) return sqlite3_changes(db_);
  SF_STORE_CHECK(s);
  return -1;
}

std::vector<ShareRow> StateStore::Shares() {
  std::lock_guard lock(mutex_);
  std::vector<ShareRow> rows;
  Statement s(db_, (std::string(kShareColumns) + " ORDER BY id").c_str());
  while (s.Row())
    rows.push_back({s.Int(0), s.Text(1), s.Int(2) != 0, s.Text(3), s.Text(4), s.Int(5)});
  SF_STORE_CHECK(s);
  return rows;
}

bool StateStore::AddFiles(int64_t shareId, const std::vector<FileRow>& files) {
  return AddFiles(shareId, files.size(), [&files](size_t i) { return files[i]; });
}

bool StateStore::AddFiles(int64_t shareId, size_t count,
                          const std::function<FileRow(size_t)>& fileAt) {
  std::lock_guard lock(mutex_);
  totals_.erase(shareId);
  if (!Exec("BEGIN IMMEDIATE")) return false;
  Statement s(db_,
              "INSERT INTO files(share_id,folder,path,size,is_folder,fs_id,app_id,remote_path,"
              "chosen) VALUES(?,?,?,?,?,?,?,?,?)");
  for (size_t i = 0; i < count; ++i) {
    const FileRow f = fileAt(i);
    s.Bind(1, shareId)
        .Bind(2, f.folder.empty() ? FolderOf(f.path) : f.folder)
        .Bind(3, f.path)
        .Bind(4, f.size)
        .Bind(5, f.isFolder)
        .Bind(6, f.fsId)
        .Bind(7, f.appId)
        .Bind(8, f.remotePath)
        .Bind(9, f.chosen);
    if (!s.Run()) break;
    s.Reset();
  }
  return EndTransaction(s.ok());
}

std::vector<FileRow> StateStore::Files(int64_t shareId, const std::string& folder, int64_t offset,
                                       int64_t limit) {
  std::lock_guard lock(mutex_);
  std::vector<FileRow> rows;
  Statement s(db_,
              "SELECT id,share_id,path,size,is_folder,folder,fs_id,app_id,remote_path,chosen "
              "FROM files WHERE share_id=? AND folder=? ORDER BY path LIMIT ? OFFSET ?");
  s.Bind(1, shareId).Bind(2, folder).Bind(3, limit).Bind(4, offset);
  while (s.Row())
    rows.push_back({s.Int(0), s.Int(1), s.Text(2), s.Int(3), s.Int(4) != 0, s.Text(5), s.Text(6),
                    s.Text(7), s.Text(8), s.Int(9) != 0});
  SF_STORE_CHECK(s);
  return rows;
}

bool StateStore::EachShareFile(int64_t shareId, const std::function<void(FileRow&)>& take) {
  std::lock_guard lock(mutex_);
  Statement s(db_,
              "SELECT id,share_id,path,size,is_folder,folder,fs_id,app_id,remote_path,chosen "
              "FROM files WHERE share_id=? AND NOT is_folder ORDER BY path");
  s.Bind(1, shareId);
  while (s.Row()) {
    FileRow row{s.Int(0),  s.Int(1),  s.Text(2), s.Int(3),  s.Int(4) != 0,
                s.Text(5), s.Text(6), s.Text(7), s.Text(8), s.Int(9) != 0};
    take(row);
  }
  SF_STORE_CHECK(s);
  return s.ok();
}

bool StateStore::HasFolder(int64_t shareId, const std::string& path) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT 1 FROM files WHERE share_id=? AND path=? AND is_folder");
  if (s.Bind(1, shareId).Bind(2, path).Row()) return true;
  SF_STORE_CHECK(s);
  return false;
}

int64_t StateStore::CountFiles(int64_t shareId, const std::string& folder) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT count(*) FROM files WHERE share_id=? AND folder=?");
  if (s.Bind(1, shareId).Bind(2, folder).Row()) return s.Int(0);
  SF_STORE_CHECK(s);
  return -1;
}

std::optional<ShareTotals> StateStore::Totals(int64_t shareId) {
  std::lock_guard lock(mutex_);
  if (auto known = totals_.find(shareId); known != totals_.end()) return known->second;
  Statement s(db_,
              "SELECT count(*) FILTER (WHERE NOT is_folder),count(*) FILTER (WHERE is_folder),"
              "IFNULL(sum(max(size,0)) FILTER (WHERE NOT is_folder),0) FROM files "
              "WHERE share_id=?");
  if (s.Bind(1, shareId).Row()) return totals_[shareId] = ShareTotals{s.Int(0), s.Int(1), s.Int(2)};
  SF_STORE_CHECK(s);
  return std::nullopt;
}

bool StateStore::SetMissingFolders(int64_t shareId, const std::vector<MissingFolderRow>& folders) {
  std::lock_guard lock(mutex_);
  if (!Exec("BEGIN IMMEDIATE")) return false;
  Statement clear(db_, "DELETE FROM missing_folders WHERE share_id=?");
  bool ok = clear.Bind(1, shareId).Run();
  Statement s(db_, "INSERT INTO missing_folders(share_id,path,reason) VALUES(?,?,?)");
  for (size_t i = 0; ok && i < folders.size(); ++i) {
    ok = s.Bind(1, shareId).Bind(2, folders[i].path).Bind(3, folders[i].reason).Run();
    s.Reset();
  }
  return EndTransaction(ok);
}

std::vector<MissingFolderRow> StateStore::MissingFolders(int64_t shareId) {
  std::lock_guard lock(mutex_);
  std::vector<MissingFolderRow> rows;
  Statement s(db_, "SELECT path,reason FROM missing_folders WHERE share_id=? ORDER BY id");
  s.Bind(1, shareId);
  while (s.Row()) rows.push_back({s.Text(0), s.Text(1)});
  SF_STORE_CHECK(s);
  return rows;
}

int64_t StateStore::AddDownload(const DownloadRow& r) {
  std::lock_guard lock(mutex_);
  Statement s(db_,
              "INSERT INTO downloads(share_id,path,target,downloader_id,state,total,done,error,"
              "started) VALUES(NULLIF(?,0),?,?,NULLIF(?,0),?,?,?,?,?)");
  s.Bind(1, r.shareId).Bind(2, r.path).Bind(3, r.target).Bind(4, r.downloaderId).Bind(5, r.state);
  if (s.Bind(6, r.total).Bind(7, r.done).Bind(8, r.error).Bind(9, r.started).Run())
    return sqlite3_last_insert_rowid(db_);
  SF_STORE_CHECK(s);
  return -1;
}

bool StateStore::AddDownloads(std::vector<DownloadRow>& rows) {
  std::lock_guard lock(mutex_);
  if (!Exec("BEGIN IMMEDIATE")) return false;
  Statement s(db_,
              "INSERT INTO downloads(share_id,path,target,downloader_id,state,total,done,error,"
              "started) VALUES(NULLIF(?,0),?,?,NULLIF(?,0),?,?,?,?,?)");
  for (DownloadRow& r : rows) {
    s.Bind(1, r.shareId).Bind(2, r.path).Bind(3, r.target).Bind(4, r.downloaderId);
    s.Bind(5, r.state).Bind(6, r.total).Bind(7, r.done).Bind(8, r.error);
    if (!s.Bind(9, r.started).Run()) break;
    r.id = sqlite3_last_insert_rowid(db_);
    s.Reset();
  }
  return EndTransaction(s.ok());
}

bool StateStore::UpdateDownload(int64_t id, const std::string& state, int64_t done, int64_t total,
                                const std::string& error) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "UPDATE downloads SET state=?,done=?,total=?,error=? WHERE id=?");
  bool ok = s.Bind(1, state).Bind(2, done).Bind(3, total).Bind(4, error).Bind(5, id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

bool StateStore::UpdateDownloads(const std::vector<DownloadChange>& changes) {
  if (changes.empty()) return true;
  std::lock_guard lock(mutex_);
  if (!Exec("BEGIN IMMEDIATE")) return false;
  Statement s(db_, "UPDATE downloads SET state=?,done=?,total=?,error=? WHERE id=?");
  for (const DownloadChange& c : changes) {
    if (!s.Bind(1, c.state).Bind(2, c.done).Bind(3, c.total).Bind(4, c.error).Bind(5, c.id).Run())
      break;
    s.Reset();
  }
  return EndTransaction(s.ok());
}

std::vector<DownloadRow> StateStore::Downloads() {
  std::lock_guard lock(mutex_);
  std::vector<DownloadRow> rows;
  Statement s(db_,
              "SELECT id,IFNULL(share_id,0),path,target,IFNULL(downloader_id,0),state,total,"
              "done,error,started FROM downloads ORDER BY id");
  while (s.Row())
    rows.push_back({s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Int(4), s.Text(5), s.Int(6),
                    s.Int(7), s.Text(8), s.Int(9)});
  SF_STORE_CHECK(s);
  return rows;
}

bool StateStore::DeleteDownload(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "DELETE FROM downloads WHERE id=?");
  bool ok = s.Bind(1, id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

int64_t StateStore::AddHistory(const HistoryRow& r) {
  std::lock_guard lock(mutex_);
  Statement s(db_,
              "INSERT INTO history(share_id,url,title,files,files_failed,bytes,started,finished)"
              " VALUES(NULLIF(?,0),?,?,?,?,?,?,?)");
  s.Bind(1, r.shareId).Bind(2, r.url).Bind(3, r.title).Bind(4, r.files).Bind(5, r.filesFailed);
  if (s.Bind(6, r.bytes).Bind(7, r.started).Bind(8, r.finished).Run())
    return sqlite3_last_insert_rowid(db_);
  SF_STORE_CHECK(s);
  return -1;
}

std::vector<HistoryRow> StateStore::History(int64_t offset, int64_t limit) {
  std::lock_guard lock(mutex_);
  std::vector<HistoryRow> rows;
  Statement s(db_,
              "SELECT id,IFNULL(share_id,0),title,files,bytes,finished,url,files_failed,started "
              "FROM history ORDER BY finished DESC,id DESC LIMIT ? OFFSET ?");
  s.Bind(1, limit).Bind(2, offset);
  while (s.Row())
    rows.push_back({s.Int(0), s.Int(1), s.Text(2), s.Int(3), s.Int(4), s.Int(5), s.Text(6),
                    s.Int(7), s.Int(8)});
  SF_STORE_CHECK(s);
  return rows;
}

int64_t StateStore::CountHistory() {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT COUNT(*) FROM history");
  if (s.Row()) return s.Int(0);
  SF_STORE_CHECK(s);
  return -1;
}

bool StateStore::DeleteHistory(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "DELETE FROM history WHERE id=?");
  bool ok = s.Bind(1, id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

int64_t StateStore::AddDownloader(const std::string& name, const std::string& url,
                                  const std::string& secret, const std::string& directory) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "INSERT INTO downloaders(name,url,secret,directory) VALUES(?,?,?,?)");
  if (s.Bind(1, name).Bind(2, url).Bind(3, secret).Bind(4, directory).Run())
    return sqlite3_last_insert_rowid(db_);
  SF_STORE_CHECK(s);
  return -1;
}

bool StateStore::UpdateDownloader(const DownloaderRow& row,
                                  const std::optional<std::string>& secret) {
  std::lock_guard lock(mutex_);
  Statement s(db_,
              "UPDATE downloaders SET name=?,url=?,directory=?,secret=IFNULL(?,secret) "
              "WHERE id=?");
  s.Bind(1, row.name).Bind(2, row.url).Bind(3, row.directory);
  if (secret) s.Bind(4, *secret);
  bool ok = s.Bind(5, row.id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

std::vector<DownloaderRow> StateStore::Downloaders() {
  std::lock_guard lock(mutex_);
  std::vector<DownloaderRow> rows;
  Statement s(db_, "SELECT id,name,url,secret<>'',directory FROM downloaders ORDER BY id");
  while (s.Row()) rows.push_back({s.Int(0), s.Text(1), s.Text(2), s.Int(3) != 0, s.Text(4)});
  SF_STORE_CHECK(s);
  return rows;
}

std::optional<std::string> StateStore::DownloaderSecret(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT secret FROM downloaders WHERE id=?");
  if (s.Bind(1, id).Row()) return s.Text(0);
  SF_STORE_CHECK(s);
  return std::nullopt;
}

bool StateStore::DeleteDownloader(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "DELETE FROM downloaders WHERE id=?");
  bool ok = s.Bind(1, id).Run();
  SF_STORE_CHECK(s);
  return ok && sqlite3_changes(db_) > 0;
}

std::optional<DownloaderRow> StateStore::Downloader(int64_t id) {
  for (DownloaderRow& d : Downloaders())
    if (d.id == id) return std::move(d);
  return std::nullopt;
}

}  // namespace sf::service
