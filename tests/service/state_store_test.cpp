// The state database from nothing, across a reopen, and refusing one from a newer program.
#include "service/state_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>

namespace sf::service {
namespace {

mode_t Mode(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST(StateStoreTest, MigratesFromNothingKeepsAcrossReopenAndRefusesNewer) {
  char pattern[] = "/tmp/sf-store-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern, directory = root + "/state";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);  // made loosely by hand: tightened
  std::string error;
  {
    auto store = StateStore::Open(directory, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->schemaVersion(), StateStore::kSchemaVersion);
    int64_t share = store->AddShare("https://pan.example/s/1abc", "x1y2", 100);
    ASSERT_GT(share, 0);
    ASSERT_TRUE(store->SetShareState(share, "resolved", ""));
    auto file = [](const std::string& path, int64_t size, bool isFolder = false) {
      FileRow row;
      row.path = path;
      row.size = size;
      row.isFolder = isFolder;
      return row;
    };
    std::vector<FileRow> listing = {file("/b.bin", 7), file("/a", 0, true),
                                    file("/a/inner.txt", 3)};
    listing[0].fsId = "91";
    listing[2].chosen = false;
    ASSERT_TRUE(store->AddFiles(share, listing));
    EXPECT_FALSE(store->AddFiles(share, {file("/c.bin", 1), file("/b.bin", 7)}))
        << "a listing repeating a path is refused whole";
    ASSERT_TRUE(store->SetMissingFolders(share, {{"gone", "refused"}}));
    int64_t engine = store->AddDownloader("box", "http://127.0.0.1:6800/jsonrpc", "s3cret");
    ASSERT_GT(
        store->AddDownload({0, share, "/b.bin", "/srv/b.bin", engine, "active", 7, 2, "", 150}), 0);
    ASSERT_GT(store->AddHistory({0, share, "the share", 2, 10, 200, "http://h/s/1x", 1, 150}), 0);
    ASSERT_GT(store->AddHistory({0, share, "again", 1, 7, 300, "http://h/s/1x", 0, 250}), 0);
    ASSERT_GT(store->AddKey("script", "digest-1", 100), 0);
    ASSERT_TRUE(store->AddSession("token-digest", "csrf-digest", 1000, 100));
    ASSERT_TRUE(store->AddSession("later-digest", "csrf-digest", 1200, 120));
  }
  EXPECT_EQ(Mode(directory), 0700u);
  EXPECT_EQ(Mode(directory + "/" + StateStore::kFileName), 0600u);

  {
    auto store = StateStore::Open(directory, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->schemaVersion(), StateStore::kSchemaVersion);
    auto shares = store->Shares();
    ASSERT_EQ(shares.size(), 1u);
    EXPECT_EQ(shares[0].state, "resolved");
    EXPECT_TRUE(shares[0].hasPassword);
    EXPECT_EQ(store->SharePassword(shares[0].id), "x1y2");
    auto top = store->Files(shares[0].id, "/", 0, 10);
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0].path, "/a");
    EXPECT_EQ(top[1].path, "/b.bin");
    EXPECT_EQ(store->Files(shares[0].id, "/", 1, 10).size(), 1u);
    EXPECT_EQ(store->Files(shares[0].id, "/a", 0, 10).at(0).path, "/a/inner.txt");
    EXPECT_TRUE(store->Files(shares[0].id, "/c.bin", 0, 10).empty());
    EXPECT_EQ(top[1].fsId, "91");
    EXPECT_FALSE(store->Files(shares[0].id, "/a", 0, 10).at(0).chosen);
    EXPECT_EQ(store->CountFiles(shares[0].id, "/"), 2);
    EXPECT_TRUE(store->HasFolder(shares[0].id, "/a"));
    EXPECT_FALSE(store->HasFolder(shares[0].id, "/b.bin"));
    ASSERT_TRUE(store->Totals(shares[0].id));
    EXPECT_EQ(store->Totals(shares[0].id)->bytes, 10);
    ASSERT_EQ(store->MissingFolders(shares[0].id).size(), 1u);
    EXPECT_EQ(store->MissingFolders(shares[0].id)[0].reason, "refused");
    auto downloaders = store->Downloaders();
    ASSERT_EQ(downloaders.size(), 1u);
    EXPECT_TRUE(downloaders[0].hasSecret);
    EXPECT_EQ(store->DownloaderSecret(downloaders[0].id), "s3cret");
    // A change that gives no secret keeps it; an empty one clears it.
    downloaders[0].directory = "/srv";
    ASSERT_TRUE(store->UpdateDownloader(downloaders[0], std::nullopt));
    EXPECT_EQ(store->DownloaderSecret(downloaders[0].id), "s3cret");
    EXPECT_EQ(store->Downloaders().at(0).directory, "/srv");
    ASSERT_TRUE(store->UpdateDownloader(downloaders[0], std::string()));
    EXPECT_FALSE(store->Downloaders().at(0).hasSecret);
    auto downloads = store->Downloads();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0].done, 2);
    EXPECT_EQ(downloads[0].started, 150);
    ASSERT_TRUE(store->UpdateDownload(downloads[0].id, "complete", 7, 7, ""));
    // Changes written together go in order, the last one of a row staying.
    ASSERT_TRUE(store->UpdateDownloads({{downloads[0].id, "downloading", 3, 9, ""},
                                        {downloads[0].id, "failed", 4, 9, "HTTP 403"}}));
    EXPECT_EQ(store->Downloads().at(0).state, "failed");
    EXPECT_EQ(store->Downloads().at(0).done, 4);
    EXPECT_EQ(store->Downloads().at(0).error, "HTTP 403");
    // Newest first, and each entry as it was written.
    auto history = store->History(0, 10);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].title, "again");
    EXPECT_EQ(history[1].title, "the share");
    EXPECT_EQ(history[1].filesFailed, 1);
    EXPECT_EQ(history[1].started, 150);
    EXPECT_EQ(history[1].url, "http://h/s/1x");
    EXPECT_TRUE(store->DeleteHistory(history[0].id));
    EXPECT_FALSE(store->DeleteHistory(history[0].id));
    EXPECT_EQ(store->CountHistory(), 1);
    EXPECT_EQ(store->UseKey("digest-1", 150), std::optional<int64_t>(1));
    EXPECT_EQ(store->UseKey("digest-1", 150), std::optional<int64_t>(1)) << "used again at once";
    EXPECT_EQ(store->Keys().at(0).lastUsed, 150);
    EXPECT_FALSE(store->UseKey("digest-2", 150));
    EXPECT_TRUE(store->FindSession("token-digest", 999)) << "a later login keeps earlier ones";
    EXPECT_FALSE(store->FindSession("token-digest", 1000)) << "expired";
  }

  // A database from a newer program is left alone, not migrated backwards.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open((directory + "/" + StateStore::kFileName).c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
  EXPECT_FALSE(StateStore::Open(directory, error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace sf::service
