#include "base/settings_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/encoding.h"
#include "base/profile_file.h"
#include "sandbox.h"
#include "text_helpers.h"

namespace sf {
namespace {

namespace fs = std::filesystem;

using test::G;
using test::ReadFile;

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

class SettingsFileTest : public ::testing::Test {
 protected:
  test::Sandbox sandbox;
  fs::path root = sandbox.path();
  fs::path program = root / "program";
  fs::path config = root / "config";
  SettingsPaths paths;

  void SetUp() override {
    fs::create_directories(program);
    paths = SettingsPathsFor(program.string(), config.c_str(), "/home/nobody");
  }
};

TEST(SettingsPaths, BesideTheProgramAndInTheUsersConfiguration) {
  SettingsPaths p = SettingsPathsFor("/opt/sf/", "/xdg/", "/home/u");
  EXPECT_EQ(p.beside, "/opt/sf/Tavrin.ini");
  EXPECT_EQ(p.user, "/xdg/sharefetch/Tavrin.ini");
  // A relative XDG_CONFIG_HOME is not to be used; the home's .config takes its place.
  EXPECT_EQ(SettingsPathsFor("/opt/sf", "rel", "/home/u").user,
            "/home/u/.config/sharefetch/Tavrin.ini");
  EXPECT_EQ(SettingsPathsFor("/opt/sf", "", "/home/u").user,
            "/home/u/.config/sharefetch/Tavrin.ini");
  EXPECT_EQ(SettingsPathsFor("/", nullptr, nullptr).beside, "/Tavrin.ini");
  EXPECT_EQ(SettingsPathsFor("/", nullptr, nullptr).user, "");
}

TEST_F(SettingsFileTest, InstalledTheUsersDirectoriesReplaceTheProgramsOwn) {
  // From the build tree nothing changes: settings beside the program, downloads below it.
  StartDirectories build = StartDirectoriesFor("/b/bin", false, config.c_str(), "/home/u");
  EXPECT_EQ(build.settings.beside, "/b/bin/Tavrin.ini");
  EXPECT_EQ(build.settings.user, (config / "sharefetch/Tavrin.ini").string());
  EXPECT_EQ(build.saveDirectory, "/b/bin/下载内容");

  // Installed, without user-dirs.dirs: the configuration directory and ~/Downloads.
  StartDirectories installed = StartDirectoriesFor("/usr/bin", true, config.c_str(), "/home/u");
  EXPECT_EQ(installed.settings.beside, "");
  EXPECT_EQ(installed.settings.user, (config / "sharefetch/Tavrin.ini").string());
  EXPECT_EQ(installed.saveDirectory, "/home/u/Downloads/下载内容");

  // The download directory the desktop set, as xdg-user-dir reads it; the last line wins and
  // a value of another form is no directory.
  WriteFile(config / "user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/桌面\"\n"
            "XDG_DOWNLOAD_DIR=\"$HOME/old\"\n  XDG_DOWNLOAD_DIR=\"$HOME/下载/\"\n");
  EXPECT_EQ(StartDirectoriesFor("/usr/bin", true, config.c_str(), "/home/u").saveDirectory,
            "/home/u/下载/下载内容");
  WriteFile(config / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"/data/dl\"\r\n");
  EXPECT_EQ(StartDirectoriesFor("/usr/bin", true, config.c_str(), "/home/u").saveDirectory,
            "/data/dl/下载内容");
  WriteFile(config / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"relative\"\n");
  EXPECT_EQ(StartDirectoriesFor("/usr/bin", true, config.c_str(), "/home/u").saveDirectory,
            "/home/u/Downloads/下载内容");

  // What the window saves at close then lands in the user's configuration directory, even
  // where the program's directory is writable (as /usr/bin is for root).
  StartDirectories writable = StartDirectoriesFor(program.string(), true, config.c_str(), "/h");
  ASSERT_TRUE(
      SaveOnClose(writable.settings, {{"a", "http://h/a", "", -1}}, writable.saveDirectory));
  EXPECT_FALSE(fs::exists(program / "Tavrin.ini"));
  EXPECT_EQ(SettingsFileToRead(writable.settings), writable.settings.user);
}

TEST_F(SettingsFileTest, TwoDownloadsByteForByteAndBack) {
  std::vector<UnfinishedDownload> listed = {{"a.bin", "http://h/file/1?x=1&y=2", "", -1},
                                            {G("报告.pdf"), "http://h/file/2", "", -1}};
  ASSERT_TRUE(SaveOnClose(paths, listed, G("/home/u/下载内容")));
  EXPECT_EQ(ReadFile(paths.beside), G("[文件名]\r\n"
                                      "name:=2\r\n"
                                      "1=a.bin\r\n"
                                      "2=报告.pdf\r\n"
                                      "[下载地址]\r\n"
                                      "number:=2\r\n"
                                      "1=http://h/file/1?x=1&y=2\r\n"
                                      "2=http://h/file/2\r\n"
                                      "[保存目录]\r\n"
                                      "保存地址：=/home/u/下载内容\r\n"));
  EXPECT_FALSE(fs::exists(paths.user));
  ASSERT_EQ(SettingsFileToRead(paths), paths.beside);

  auto rows = LoadUnfinished(paths.beside);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].fileName, "a.bin");
  EXPECT_EQ(rows[0].address, "http://h/file/1?x=1&y=2");
  EXPECT_EQ(rows[1].fileName, G("报告.pdf"));
  EXPECT_EQ(rows[1].address, "http://h/file/2");
  for (const auto& r : rows) EXPECT_EQ(r.saveDirectory, G("/home/u/下载内容"));

  // The next close rewrites the file from scratch.
  ASSERT_TRUE(SaveOnClose(paths, {{"c", "http://h/3", "", -1}}, "/d"));
  EXPECT_EQ(ReadFile(paths.beside), G("[文件名]\r\nname:=1\r\n1=c\r\n[下载地址]\r\nnumber:=1\r\n"
                                      "1=http://h/3\r\n[保存目录]\r\n保存地址：=/d\r\n"));
}

TEST_F(SettingsFileTest, OwnDirectoriesAndSizesGoInASectionOfTheirOwn) {
  std::vector<UnfinishedDownload> listed = {{"a.bin", "http://h/1", "/d", 100},
                                            {"b.bin", "http://h/2", G("/别处"), -1},
                                            {"c.bin", "http://h/3", "", -1}};
  ASSERT_TRUE(SaveOnClose(paths, listed, "/d"));
  std::string written = ReadFile(paths.beside);
  EXPECT_EQ(written, G("[文件名]\r\nname:=3\r\n1=a.bin\r\n2=b.bin\r\n3=c.bin\r\n"
                       "[下载地址]\r\nnumber:=3\r\n1=http://h/1\r\n2=http://h/2\r\n3=http://h/3\r\n"
                       "[保存目录]\r\n保存地址：=/d\r\n"
                       "[下载任务]\r\n大小1=100\r\n目录2=/别处\r\n"));
  auto rows = LoadUnfinished(paths.beside);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].saveDirectory, "/d");
  EXPECT_EQ(rows[0].expectedSize, 100);
  EXPECT_EQ(rows[1].saveDirectory, G("/别处"));
  EXPECT_EQ(rows[1].expectedSize, -1);
  EXPECT_EQ(rows[2].saveDirectory, "/d");

  // Saving what was read changes nothing, and the file is not even written again.
  struct stat before {};
  ::stat(paths.beside.c_str(), &before);
  ASSERT_TRUE(SaveOnClose(paths, rows, "/d"));
  struct stat after {};
  ::stat(paths.beside.c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ReadFile(paths.beside), written);

  // A file of an older version, without the new section, reads back and saves unchanged too.
  std::string older =
      G("[文件名]\r\nname:=1\r\n1=x.bin\r\n[下载地址]\r\nnumber:=1\r\n1=http://h/x\r\n"
        "[保存目录]\r\n保存地址：=/old\r\n");
  WriteFile(paths.beside, older);
  ASSERT_TRUE(SaveOnClose(paths, LoadUnfinished(paths.beside), "/old"));
  EXPECT_EQ(ReadFile(paths.beside), older);
  // Another save directory now: the remembered one keeps its own.
  ASSERT_TRUE(SaveOnClose(paths, LoadUnfinished(paths.beside), "/new"));
  EXPECT_EQ(LoadUnfinished(paths.beside).at(0).saveDirectory, "/old");
}

TEST_F(SettingsFileTest, AnEmptyListRemovesTheFileThatWasRead) {
  WriteFile(paths.user, G("[文件名]\r\nname:=1\r\n1=a\r\n"));
  EXPECT_TRUE(SaveOnClose(paths, {}, "/d"));
  EXPECT_FALSE(fs::exists(paths.user));
  EXPECT_EQ(SettingsFileToRead(paths), "");
  EXPECT_TRUE(SaveOnClose(paths, {}, "/d"));  // nothing to remove
}

// What a close cannot read whole it leaves byte for byte, whatever it has to save: a file in
// UTF-8 with the remote downloader's secret, one with lines of another hand, a value longer
// than the read buffer, a row beyond the count, a name that is no file.
TEST_F(SettingsFileTest, AFileNotReadWholeIsNeverReplacedNorRemoved) {
  const std::vector<std::string> foreign = {
      "[远程下载器]\r\n地址=http://127.0.0.1:6800/jsonrpc\r\n密钥=s3cret\r\n",
      G("; mine\r\n[远程下载器]\r\n地址=http://h/rpc\r\n"),
      G("[远程下载器]\r\n密钥=") + std::string(ProfileFile::kReadBufferSize, 'k') + "\r\n",
      G("[文件名]\r\nname:=1\r\n1=a\r\n2=b\r\n"),
      G("[文件名]\r\nname:=1\r\n1=a\r\n[备注]\r\nx=y\r\n"),
  };
  for (const std::string& bytes : foreign) {
    WriteFile(paths.beside, bytes);
    EXPECT_FALSE(LoadSettings(paths.beside).whole) << bytes.substr(0, 40);
    EXPECT_TRUE(SaveOnClose(paths, {}, "/d"));
    EXPECT_FALSE(SaveOnClose(paths, {{"a.bin", "http://h/a", "", -1}}, "/d"));
    EXPECT_FALSE(SaveRemoteSettings(paths, {"http://h/other", ""}));
    EXPECT_EQ(ReadFile(paths.beside), bytes);
    EXPECT_FALSE(fs::exists(paths.user));
  }
  fs::remove(paths.beside);
  fs::create_directory(paths.beside);
  EXPECT_FALSE(LoadSettings(paths.beside).whole);
  EXPECT_TRUE(SaveOnClose(paths, {}, "/d"));
  EXPECT_TRUE(fs::is_directory(paths.beside));

  // What a close writes always reads whole: a value is cut as the reader would cut it.
  fs::remove(paths.beside);
  ASSERT_TRUE(SaveOnClose(paths, {{"a.bin", "http://h/" + std::string(20000, 'q'), "", -1}}, "/d"));
  LoadedSettings back = LoadSettings(paths.beside);
  EXPECT_TRUE(back.whole);
  EXPECT_EQ(back.unfinished.at(0).address.size(), ProfileFile::kReadBufferSize - 1);
}

// A stray file beside the program hides the user's own; a close replaces or removes the one
// it read and never the other, and the directories it makes for the user's are private.
TEST_F(SettingsFileTest, TheFileInTheOtherPlaceIsLeftAloneAndItsDirectoryPrivate) {
  const std::string users = G("[远程下载器]\r\n地址=http://h/rpc\r\n密钥=s\r\n");
  WriteFile(paths.user, users);
  WriteFile(paths.beside, G("[文件名]\r\nname:=1\r\n1=a\r\n"));
  ASSERT_TRUE(SaveOnClose(paths, {{"b.bin", "http://h/b", "", -1}}, "/d"));
  EXPECT_EQ(LoadUnfinished(paths.beside).at(0).fileName, "b.bin");
  ASSERT_TRUE(SaveOnClose(paths, {}, "/d"));
  EXPECT_FALSE(fs::exists(paths.beside));
  EXPECT_EQ(ReadFile(paths.user), users);

  // Made under umask 000, where the program's directory cannot be written.
  WriteFile(root / "file", "x");
  fs::remove_all(config);
  paths = SettingsPathsFor((root / "file" / "bin").string(), nullptr, config.c_str());
  mode_t mask = ::umask(0);
  bool saved = SaveOnClose(paths, {{"b.bin", "http://h/b", "", -1}}, "/d");
  ::umask(mask);
  ASSERT_TRUE(saved);
  for (const fs::path& dir : {config, config / ".config", config / ".config" / "sharefetch"})
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all) << dir;
}

TEST_F(SettingsFileTest, TheCountDecidesTheRows) {
  WriteFile(paths.beside, G("[文件名]\r\nNAME:=3\r\n1=a\r\n2=b\r\n[下载地址]\r\n1=http://h/a\r\n"
                            "2=http://h/b\r\n[保存目录]\r\n保存地址：=/dir\r\n"));
  auto rows = LoadUnfinished(paths.beside);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].fileName, "b");
  EXPECT_EQ(rows[1].address, "http://h/b");
  EXPECT_EQ(rows[2].fileName, "");
  EXPECT_EQ(rows[2].address, "");
  EXPECT_EQ(rows[2].saveDirectory, "/dir");

  WriteFile(paths.beside, G("[文件名]\r\nname:=2.9\r\n1=a\r\n"));
  EXPECT_EQ(LoadUnfinished(paths.beside).size(), 2u);
  WriteFile(paths.beside, G("[文件名]\r\nname:=many\r\n1=a\r\n"));
  EXPECT_TRUE(LoadUnfinished(paths.beside).empty());
  WriteFile(paths.beside, G("[文件名]\r\nname:=-4\r\n"));
  EXPECT_TRUE(LoadUnfinished(paths.beside).empty());
  EXPECT_TRUE(LoadUnfinished((root / "missing.ini").string()).empty());
  // A damaged count does not fill the list for minutes: no more rows than a file of its size
  // holds as a close writes them, two lines of at least 4 bytes each.
  const std::string damaged = G("[文件名]\r\nname:=999999999999\r\n");
  WriteFile(paths.beside, damaged);
  LoadedSettings read = LoadSettings(paths.beside);
  EXPECT_EQ(read.unfinished.size(), damaged.size() / 8);
  EXPECT_FALSE(read.whole);
  // Nor does a row number no file of that size can reach.
  WriteFile(paths.beside, G("[文件名]\r\nname:=1\r\n1=a\r\n[下载任务]\r\n目录9000000=/x\r\n"));
  read = LoadSettings(paths.beside);
  EXPECT_EQ(read.unfinished.size(), 1u);
  EXPECT_FALSE(read.whole);
}

// The sanitizers' checks make every byte costly; there a smaller queue, still far beyond the
// ten thousand rows of old, keeps the test within its time-out.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SF_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SF_SANITIZED 1
#endif
#ifdef SF_SANITIZED
constexpr int kBigQueue = 30000;
#else
constexpr int kBigQueue = 200000;
#endif

// A big share's queue (200 000 files) is remembered whole: every field of every row reads back,
// and a close that changes nothing leaves the file as it was.
TEST_F(SettingsFileTest, ABigSharesQueueReadsBackWhole) {
  std::vector<UnfinishedDownload> rows;
  for (int i = 0; i < kBigQueue; ++i) {
    std::string n = std::to_string(i);
    UnfinishedDownload r{"f" + n + ".bin", "http://h/file/" + n + "?sign=" + std::string(40, 's'),
                         "/d/folder" + std::to_string(i % 7), 1000 + i};
    r.state =
        i % 3 == 0 ? UnfinishedDownload::State::kPaused : UnfinishedDownload::State::kUnderWay;
    r.done = i % 5;
    r.shareUrl = "http://h/s/1share";
    r.shareCode = "ab12";
    r.shareFile = std::to_string(5000000 + i);
    r.shareApp = "250528";
    rows.push_back(std::move(r));
  }
  ASSERT_TRUE(SaveOnClose(paths, rows, "/d/folder0"));
  LoadedSettings back = LoadSettings(paths.beside);
  ASSERT_TRUE(back.whole);
  ASSERT_EQ(back.unfinished.size(), rows.size());
  const UnfinishedDownload& last = back.unfinished.back();
  EXPECT_EQ(last.fileName, "f" + std::to_string(kBigQueue - 1) + ".bin");
  EXPECT_EQ(last.saveDirectory, "/d/folder" + std::to_string((kBigQueue - 1) % 7));
  EXPECT_EQ(last.shareFile, std::to_string(5000000 + kBigQueue - 1));
  // What was read writes the same bytes again, so every field of every row came back.
  fs::last_write_time(paths.beside, fs::file_time_type{});
  ASSERT_TRUE(SaveOnClose(paths, back.unfinished, "/d/folder0"));
  EXPECT_EQ(fs::last_write_time(paths.beside), fs::file_time_type{});
  // One row fewer is written anew.
  back.unfinished.pop_back();
  ASSERT_TRUE(SaveOnClose(paths, back.unfinished, "/d/folder0"));
  EXPECT_NE(fs::last_write_time(paths.beside), fs::file_time_type{});
  EXPECT_EQ(LoadUnfinished(paths.beside).size(), rows.size() - 1);
}

TEST_F(SettingsFileTest, ASaveNeverWritesThroughALinkPlantedBesideTheFile) {
  // Someone who can write to the directory plants links at the names a save might use for
  // its temporary file; none may be followed.
  fs::path victim = root / "victim";
  WriteFile(victim, "keep me");
  for (const char* name : {"Tavrin.ini.tmp", "Tavrin.ini.new", "Tavrin.ini~"})
    fs::create_symlink(victim, program / name);
  mode_t mask = ::umask(022);
  ::umask(mask);
  ASSERT_TRUE(SaveOnClose(paths, {{"a.bin", "http://h/a", "", -1}}, "/d"));
  EXPECT_EQ(ReadFile(victim), "keep me");
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(paths.beside)));
  EXPECT_EQ(ReadFile(paths.beside),
            G("[文件名]\r\nname:=1\r\n1=a.bin\r\n[下载地址]\r\nnumber:=1\r\n"
              "1=http://h/a\r\n[保存目录]\r\n保存地址：=/d\r\n"));
  // It may hold the remote downloader's secret.
  EXPECT_EQ(static_cast<mode_t>(fs::status(paths.beside).permissions()), 0600 & ~mask);
  // Only the settings file and the planted links are left.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(program)) entries += e.path() != paths.beside ? 1 : 0;
  EXPECT_EQ(entries, 3);
}

// A hand-made or hostile file of 2.4 MB: one section with a long run of other keys before the
// ones the list asks for, and a count that asks for 10 000 rows. Its ctest time-out is short,
// so a reader that scans the section once per key fails here.
TEST_F(SettingsFileTest, AHugeHostileFileLoadsRight) {
  std::string text = G("[文件名]\r\nname:=99999\r\n");
  for (int i = 0; i < 160000; ++i) text += "k" + std::to_string(i) + "=x\r\n";
  for (int i = 1; i <= 10000; ++i) text += std::to_string(i) + "=f" + std::to_string(i) + "\r\n";
  text += "1=second\r\n" + G("[下载地址]\r\n");
  for (int i = 0; i < 60000; ++i) text += "k" + std::to_string(i) + "=y\r\n";
  for (int i = 1; i <= 10000; i += 2)
    text += std::to_string(i) + "=http://h/" + std::to_string(i) + "\r\n";
  text += G("[文件名]\r\n2=ignored\r\n[保存目录]\r\n保存地址：=/dir\r\n");
  ASSERT_GT(text.size(), 2400000u);
  WriteFile(paths.beside, text);

  // The count asks for more rows than the file names; those it does not are empty.
  auto rows = LoadUnfinished(paths.beside);
  ASSERT_EQ(rows.size(), 99999u);
  for (int i = 1; i <= 10000; ++i) {
    const UnfinishedDownload& r = rows[static_cast<size_t>(i) - 1];
    ASSERT_EQ(r.fileName, "f" + std::to_string(i));
    ASSERT_EQ(r.address, i % 2 ? "http://h/" + std::to_string(i) : "");
    ASSERT_EQ(r.saveDirectory, "/dir");
  }
  EXPECT_EQ(rows.back().fileName, "");
  EXPECT_EQ(rows.back().saveDirectory, "/dir");
}

// A million keys (11 MB) the window does not use, then the ones it does: read right, and
// within an address space of 96 MB more than the test already has, where a reader that kept
// every line would run out. A close leaves the file as it is.
TEST_F(SettingsFileTest, AMillionKeysAreReadInMemoryForWhatIsKept) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve address space of their own";
#endif
  {
    std::string text = G("[文件名]\r\nname:=2\r\n1=a\r\n[备注]\r\n");
    for (int i = 0; i < 1000000; ++i) text += "k" + std::to_string(i) + "=x\r\n";
    text += G("[文件名]\r\n2=late\r\n[远程下载器]\r\n地址=http://h/rpc\r\n");
    WriteFile(paths.beside, text);
  }
  const std::string before = ReadFile(paths.beside);
  auto readWithin = [&](size_t extra) {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    rlimit limit{pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) + extra, RLIM_INFINITY};
    limit.rlim_max = limit.rlim_cur;
    ::setrlimit(RLIMIT_AS, &limit);
    auto rows = LoadUnfinished(paths.beside);
    bool right = rows.size() == 2 && rows[0].fileName == "a" && rows[1].fileName.empty() &&
                 LoadRemoteSettings(paths.beside).address == "http://h/rpc" &&
                 SaveOnClose(paths, {}, "/d");
    std::exit(right ? 0 : 1);
  };
  EXPECT_EXIT(readWithin(size_t{96} << 20), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(paths.beside), before);
}

TEST_F(SettingsFileTest, AnUnwritableProgramDirectoryFallsBackToTheUsersConfiguration) {
  // A program "directory" below a regular file cannot be written, whoever runs the test.
  WriteFile(root / "file", "x");
  paths = SettingsPathsFor((root / "file" / "bin").string(), config.c_str(), nullptr);
  ASSERT_TRUE(SaveOnClose(paths, {{G("第一\r\n行.txt"), "http://h/1", "", -1}}, "/d"));
  EXPECT_EQ(SettingsFileToRead(paths), paths.user);
  EXPECT_EQ(ReadFile(paths.user),
            G("[文件名]\r\nname:=1\r\n1=第一 行.txt\r\n[下载地址]\r\n"
              "number:=1\r\n1=http://h/1\r\n[保存目录]\r\n保存地址：=/d\r\n"));
  EXPECT_EQ(LoadUnfinished(paths.user).at(0).fileName, G("第一 行.txt"));
}

TEST_F(SettingsFileTest, TheFileBesideTheProgramComesFirst) {
  WriteFile(paths.user, G("[文件名]\r\nname:=1\r\n1=a\r\n"));
  EXPECT_EQ(SettingsFileToRead(paths), paths.user);
  WriteFile(paths.beside, "[b]\r\n");
  EXPECT_EQ(SettingsFileToRead(paths), paths.beside);
  fs::remove(paths.beside);

  // A writable program directory takes the file back, and the user's copy goes.
  ASSERT_TRUE(SaveOnClose(paths, {{"n", "http://h/n", "", -1}}, "/d"));
  EXPECT_TRUE(fs::exists(paths.beside));
  EXPECT_FALSE(fs::exists(paths.user));

  // Nowhere to write: the caller hears of it.
  SettingsPaths nowhere = SettingsPathsFor((root / "file" / "bin").string(), nullptr, nullptr);
  WriteFile(root / "file", "x");
  EXPECT_FALSE(SaveOnClose(nowhere, {{"n", "http://h/n", "", -1}}, "/d"));
}

// The remote downloader's section lives beside the downloads' sections without touching them,
// survives a close that has no downloads to remember, and keeps the secret from other users.
TEST_F(SettingsFileTest, TheRemoteDownloaderSectionOutlivesTheDownloads) {
  auto mode = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::mask; };
  auto inode = [](const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_ino;
  };
  const RemoteSettings remote{"http://127.0.0.1:6800/jsonrpc", G(" 密\"钥=x\" ")};
  ASSERT_TRUE(SaveRemoteSettings(paths, remote));
  EXPECT_EQ(mode(paths.beside), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(LoadRemoteSettings(paths.beside), remote);
  EXPECT_TRUE(LoadUnfinished(paths.beside).empty());

  // A close with downloads writes the usual sections as always, the remote one after them.
  ASSERT_TRUE(SaveOnClose(paths, {{"a.bin", "http://h/1", "", -1}}, "/d"));
  const std::string withDownloads = ReadFile(paths.beside);
  EXPECT_EQ(
      withDownloads.find(G("[文件名]\r\nname:=1\r\n1=a.bin\r\n[下载地址]\r\nnumber:=1\r\n"
                           "1=http://h/1\r\n[保存目录]\r\n保存地址：=/d\r\n[远程下载器]\r\n")),
      0u);
  EXPECT_EQ(LoadRemoteSettings(paths.beside), remote);
  EXPECT_EQ(LoadUnfinished(paths.beside).size(), 1u);

  // A close that changes nothing leaves the very same file, but not open to others.
  fs::permissions(paths.beside, fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::add);
  ino_t before = inode(paths.beside);
  ASSERT_TRUE(SaveOnClose(paths, {{"a.bin", "http://h/1", "", -1}}, "/d"));
  EXPECT_EQ(inode(paths.beside), before);
  EXPECT_EQ(ReadFile(paths.beside), withDownloads);
  EXPECT_EQ(mode(paths.beside), fs::perms::owner_read | fs::perms::owner_write);

  // With nothing left to download, the file keeps the remote section alone, which an older
  // reader sees as no downloads.
  ASSERT_TRUE(SaveOnClose(paths, {}, "/d"));
  EXPECT_TRUE(LoadUnfinished(paths.beside).empty());
  EXPECT_EQ(LoadRemoteSettings(paths.beside), remote);
  EXPECT_EQ(ReadFile(paths.beside).find(G("[文件名]")), std::string::npos);

  // Emptied, the section goes too, and with it the file.
  ASSERT_TRUE(SaveRemoteSettings(paths, {}));
  ASSERT_TRUE(SaveOnClose(paths, {}, "/d"));
  EXPECT_FALSE(fs::exists(paths.beside));
}

// A close does not read again the file the start read whole, but one changed since, in any
// way the kernel records, is read: here written over in place, its size and modification time
// put back as they were, with a line of another hand in it.
TEST_F(SettingsFileTest, AFileChangedSinceItWasReadIsReadAgain) {
  const std::string ours = G("[文件名]\r\nname:=1\r\n1=a\r\n[远程下载器]\r\n地址=http://h/rpc\r\n");
  WriteFile(paths.beside, ours);
  auto stamped = [&] {
    struct stat st {};
    ::stat(paths.beside.c_str(), &st);
    return st;
  };
  // Until the file's change time is well behind the clock, a read of it is not remembered.
  auto settle = [&] {
    auto ns = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
    const long long changed = ns(stamped().st_ctim);
    timespec now{};
    do {
      ::usleep(5000);
      ::clock_gettime(CLOCK_REALTIME, &now);
    } while (ns(now) - changed < 200000000LL);
  };
  settle();
  ASSERT_TRUE(LoadSettings(paths.beside).whole);
  const std::vector<UnfinishedDownload> rows = {{"b.bin", "http://h/b", "", -1}};
  ASSERT_TRUE(SaveOnClose(paths, rows, "/d"));
  EXPECT_EQ(LoadRemoteSettings(paths.beside).address, "http://h/rpc");

  WriteFile(paths.beside, ours);
  settle();
  ASSERT_TRUE(LoadSettings(paths.beside).whole);
  const struct stat before = stamped();
  std::string foreign = ours;
  foreign.replace(foreign.find(G("地址")), 4, "; xx");
  ASSERT_EQ(foreign.size(), ours.size());
  {
    std::fstream out(paths.beside, std::ios::in | std::ios::out | std::ios::binary);
    out << foreign;
  }
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, paths.beside.c_str(), times, 0), 0);
  ASSERT_EQ(stamped().st_ino, before.st_ino);
  EXPECT_FALSE(SaveOnClose(paths, rows, "/d"));
  EXPECT_EQ(ReadFile(paths.beside), foreign);
}

}  // namespace
}  // namespace sf
