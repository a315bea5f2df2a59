// Planning a share onto disk: hostile names, names that meet, what a rerun finds, and the
// globs a user picks files with.
#include "download/share_plan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "base/encoding.h"
#include "base/path_glob.h"
#include "sandbox.h"

namespace sf {
namespace {

FileEntry File(const std::string& folder, const std::string& name, const std::string& size) {
  FileEntry e;
  e.isdir = "0";
  e.folder_path = Utf8ToGbk(folder);
  e.server_filename = Utf8ToGbk(name);
  e.size = size;
  return e;
}

FileEntry Folder(const std::string& folder, const std::string& name) {
  FileEntry e = File(folder, name, "0");
  e.isdir = "1";
  return e;
}

// A directory that exists only as a table of what is in it.
struct FakeDisk {
  std::map<std::string, DiskEntry> at;
  std::set<std::string> looked;
  DiskLook Look() {
    return [this](const std::string& path) {
      looked.insert(path);
      auto it = at.find(path);
      return it == at.end() ? DiskEntry{} : it->second;
    };
  }
};

std::vector<PlannedFile> PlanAll(const std::vector<FileEntry>& entries, FakeDisk& disk) {
  return PlanShare(entries, ChooseFiles(entries, {}), {.directory = "/d"}, disk.Look());
}

TEST(SharePlan, HostileNamesStayInsideTheDirectory) {
  EXPECT_EQ(SafeShareSegment("..", 200), "_");
  EXPECT_EQ(SafeShareSegment(".", 200), "_");
  EXPECT_EQ(SafeShareSegment("  ", 200), "_");
  EXPECT_EQ(SafeShareSegment(" a/b\\c\x1b[2J\x7f ", 200), "a_b_c_[2J_");
  EXPECT_EQ(SafeShareSegment("...", 200), "_");
  std::string longName(300, 'x');
  EXPECT_EQ(SafeShareSegment(longName + ".mkv", 200), std::string(196, 'x') + ".mkv");
  // A cut that ends in blanks or dots drops them, extension or not: the engine would not keep
  // them, and two names planned apart would meet on disk.
  EXPECT_EQ(SafeShareSegment(std::string(198, 'x') + " . " + longName, 200), std::string(198, 'x'));
  EXPECT_EQ(SafeShareSegment(std::string(195, 'x') + "  " + longName + ".mkv", 200),
            std::string(195, 'x') + ".mkv");

  FakeDisk disk;
  std::vector<FileEntry> entries = {
      Folder("", ".."),      File("..", "../../etc/passwd", "5"), Folder("", "x/y"),
      File("x/y", "z", "1"), File("", "\n.bashrc", "2"),          File("", "/abs", "3"),
  };
  std::vector<PlannedFile> plan = PlanAll(entries, disk);
  ASSERT_EQ(plan.size(), 4u);
  EXPECT_EQ(plan[0].SavedPath(), "_/.._.._etc_passwd");
  EXPECT_EQ(plan[0].sharePath, "../../../etc/passwd");
  EXPECT_EQ(plan[1].SavedPath(), "x_y/z");  // a "/" inside a folder's own name is no separator
  EXPECT_EQ(plan[2].SavedPath(), "_.bashrc");
  EXPECT_EQ(plan[3].SavedPath(), "_abs");
  for (const PlannedFile& f : plan) {
    EXPECT_EQ(f.step, PlanStep::kDownload) << f.sharePath;
    std::string walked = "/" + f.SavedPath() + "/";
    EXPECT_EQ(walked.find("/../"), std::string::npos) << f.sharePath;
    EXPECT_EQ(walked.find("//"), std::string::npos) << f.sharePath;
  }
}

TEST(SharePlan, NamesThatMeetOnDiskAreKeptApart) {
  FakeDisk disk;
  std::vector<FileEntry> entries = {
      File("", "a:b.txt", "1"),  File("", "a:b.txt", "2"),  // a listing that names one file twice
      File("", " a:b.txt", "3"),                            // the same once trimmed
      File("", "d", "4"),        Folder("", "d"),          File("d", "x", "5"),
      Folder("", "d\\"),         File("d\\", "x", "6"),
  };
  std::vector<PlannedFile> plan = PlanAll(entries, disk);
  ASSERT_EQ(plan.size(), 6u);
  EXPECT_EQ(plan[0].SavedPath(), "a:b.txt");
  EXPECT_EQ(plan[1].SavedPath(), "a:b (1).txt");
  EXPECT_EQ(plan[2].SavedPath(), "a:b (2).txt");
  EXPECT_EQ(plan[3].SavedPath(), "d");
  EXPECT_EQ(plan[4].SavedPath(), "d (1)/x");  // the file "d" took the name first
  EXPECT_EQ(plan[5].SavedPath(), "d_/x");
}

TEST(SharePlan, ARerunDoesOnlyWhatIsLeft) {
  using K = DiskEntry::Kind;
  FakeDisk disk;
  disk.at["/d/done.bin"] = {K::kFile, 100, false};
  disk.at["/d/half.bin"] = {K::kNone, 0, true};
  disk.at["/d/mine.txt"] = {K::kFile, 7, false};        // the user's own file, another size
  disk.at["/d/mine (1).txt"] = {K::kFile, 100, false};  // ours from the last run
  disk.at["/d/other.txt"] = {K::kFile, 7, false};
  disk.at["/d/other (1).txt"] = {K::kNone, 0, true};  // ours, unfinished
  disk.at["/d/sub"] = {K::kFile, 1, false};           // a file where a folder goes
  disk.at["/d/nosize"] = {K::kFile, 0, false};
  disk.at["/d/folder"] = {K::kDirectory, 0, false};
  disk.at["/d/kept"] = {K::kDirectory, 0, false};
  disk.at["/d/kept/g"] = {K::kNone, 0, true};
  std::vector<FileEntry> entries = {
      File("", "done.bin", "100"),  File("", "half.bin", "100"), File("", "mine.txt", "100"),
      File("", "other.txt", "100"), Folder("", "sub"),           File("sub", "f", "1"),
      File("", "nosize", ""),       File("", "folder", "0"),     File("kept", "g", "5"),
  };
  std::vector<PlannedFile> plan = PlanAll(entries, disk);
  ASSERT_EQ(plan.size(), 8u);
  EXPECT_EQ(plan[7].step, PlanStep::kResume);  // inside a folder there, each file is looked at
  // A folder not there yet holds nothing to look at.
  EXPECT_EQ(disk.looked.count("/d/sub (1)"), 1u);
  EXPECT_EQ(disk.looked.count("/d/sub (1)/f"), 0u);
  EXPECT_EQ(plan[0].step, PlanStep::kSkip);
  EXPECT_EQ(plan[1].step, PlanStep::kResume);
  EXPECT_EQ(plan[2].SavedPath(), "mine (1).txt");
  EXPECT_EQ(plan[2].step, PlanStep::kSkip);
  EXPECT_EQ(plan[3].SavedPath(), "other (1).txt");
  EXPECT_EQ(plan[3].step, PlanStep::kResume);
  EXPECT_EQ(plan[4].SavedPath(), "sub (1)/f");
  // No size from the share: never taken as done here, nor copied again; the server's size
  // decides.
  EXPECT_EQ(plan[5].SavedPath(), "nosize");
  EXPECT_EQ(plan[5].step, PlanStep::kAskServer);
  EXPECT_EQ(plan[6].SavedPath(), "folder (1)");
  EXPECT_EQ(plan[6].step, PlanStep::kDownload);
}

TEST(SharePlan, ALookThatFailsRefusesTheFileInsteadOfTakingTheNextName) {
  FakeDisk disk;
  disk.at["/d/s003.bin"] = {.error = EIO};
  disk.at["/d/dir"] = {.error = ENOMEM};
  std::vector<PlannedFile> plan = PlanAll({File("", "s003.bin", "5"), File("dir", "f", "1")}, disk);
  ASSERT_EQ(plan.size(), 2u);
  for (const auto& f : plan) {
    EXPECT_EQ(f.step, PlanStep::kRefuse) << f.SavedPath();
    EXPECT_EQ(f.name, "");
  }
  EXPECT_NE(plan[0].problem.find(std::strerror(EIO)), std::string::npos) << plan[0].problem;
  EXPECT_NE(plan[1].problem.find(std::strerror(ENOMEM)), std::string::npos) << plan[1].problem;
}

TEST(SharePlan, AFolderTooDeepForTheEngineIsRefused) {
  FakeDisk disk;
  std::string deep;
  for (int i = 0; i < 30; ++i)
    deep += (deep.empty() ? "" : "/") + std::string("folder-") + std::to_string(i);
  std::vector<PlannedFile> plan = PlanAll({File(deep, "f", "1"), File("", "g", "1")}, disk);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].step, PlanStep::kRefuse);
  EXPECT_NE(plan[0].problem.find("longer than"), std::string::npos);
  EXPECT_EQ(plan[1].step, PlanStep::kDownload);
}

TEST(SharePlan, GlobsPickFilesByTheirSharePath) {
  struct Case {
    const char* glob;
    const char* path;
    bool match;
  } cases[] = {
      {"*.txt", "a.txt", true},        {"*.txt", "d/a.txt", false}, {"**/*.txt", "a.txt", true},
      {"**/*.txt", "d/e/a.txt", true}, {"d/**", "d/e/a.txt", true}, {"d/**", "dx/a.txt", false},
      {"a/**/b", "a/b", true},         {"a/**/b", "a/x/y/b", true}, {"a/**/b", "a/xb", false},
      {"?.bin", "文.bin", true},       {"?.bin", "ab.bin", false},  {"d?e", "d/e", false},
      {"**", "any/thing", true},       {"a*", "a/b", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GlobMatch(c.glob, c.path), c.match) << c.glob << " " << c.path;
  // A path of a mebibyte against globs that would try each of its splits for every star.
  const std::string huge(1 << 20, 'a');
  EXPECT_FALSE(GlobMatch("**a**b", huge));
  EXPECT_TRUE(GlobMatch("**a**b", huge + "b"));
  EXPECT_FALSE(GlobMatch("*a*a*b/*", huge + "/"));
  EXPECT_TRUE(GlobMatch("**/*a?a*", "d/e/" + huge));

  ShareFilter filter{{"docs/**", "*.iso"}, {"**/*.tmp"}};
  EXPECT_TRUE(filter.Takes("docs/a/b.pdf"));
  EXPECT_TRUE(filter.Takes("big.iso"));
  EXPECT_FALSE(filter.Takes("docs/a/b.tmp"));
  EXPECT_FALSE(filter.Takes("music/x.mp3"));
  EXPECT_TRUE(ShareFilter{}.Takes("music/x.mp3"));
}

TEST(SharePlan, AFolderRowStandsForItsWholeSubtreeAndNothingBeside) {
  std::vector<FileEntry> entries = {
      Folder("", "a"),       File("a", "1", "1"),  Folder("a", "b"),
      File("a/b", "2", "1"), Folder("", "ab"),     File("ab", "3", "1"),
      File("", "4", "1"),    Folder("a/b", "c/d"), File("a/b/c/d", "5", "1"),
  };
  EXPECT_EQ(FilesUnder(entries, {0}), (std::vector<size_t>{1, 3, 8}));
  EXPECT_EQ(FilesUnder(entries, {2, 6}), (std::vector<size_t>{3, 6, 8}));
  // A folder whose own name holds "/" is one folder, not two.
  EXPECT_EQ(FilesUnder(entries, {7}), (std::vector<size_t>{8}));
  EXPECT_EQ(FilesUnder(entries, {4, 99}), (std::vector<size_t>{5}));
}

TEST(SharePlan, FoldersAreMadeWithoutFollowingALink) {
  test::Sandbox sandbox;
  const std::filesystem::path& root = sandbox.path();
  std::filesystem::path outside = root / "outside";
  std::filesystem::create_directories(root / "in");
  std::filesystem::create_directories(outside);
  std::filesystem::create_directory_symlink(outside, root / "in" / "link");
  EXPECT_EQ(MakeFolders((root / "in").string(), "a/b/c"), "");
  EXPECT_TRUE(std::filesystem::is_directory(root / "in" / "a" / "b" / "c"));
  EXPECT_NE(MakeFolders((root / "in").string(), "link/x"), "");
  EXPECT_NE(MakeFolders((root / "in").string(), "a/../x"), "");
  EXPECT_TRUE(std::filesystem::is_empty(outside));
}

}  // namespace
}  // namespace sf
