// The engine's pure parts: byte ranges and slicing, names, the control file, response heads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "base/url_text.h"
#include "engine/control_file.h"
#include "engine/file_naming.h"
#include "engine/http_response.h"
#include "engine/range_set.h"
#include "engine/save_directory.h"
#include "engine/task.h"
#include "engine/throughput.h"
#include "sandbox.h"

namespace sf::engine {
namespace {

TEST(RangeSet, MergesTouchingAndOverlappingRanges) {
  RangeSet s;
  s.Add(10, 20);
  s.Add(30, 40);
  s.Add(20, 25);  // touches the first
  s.Add(5, 5);    // empty: ignored
  EXPECT_EQ(s.Format(), "10-25 30-40");
  s.Add(0, 35);
  EXPECT_EQ(s.Format(), "0-40");
  EXPECT_EQ(s.Total(), 40);
  EXPECT_TRUE(s.Contains(0, 40));
  EXPECT_FALSE(s.Contains(0, 41));
  s.Add(50, 60);
  EXPECT_EQ(s.Missing(70), (std::vector<ByteRange>{{40, 50}, {60, 70}}));
  EXPECT_EQ(RangeSet().Missing(5), (std::vector<ByteRange>{{0, 5}}));
}

TEST(RangeSet, ParseAcceptsOnlyOrderedDisjointRanges) {
  auto ok = RangeSet::Parse("0-10 20-30");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->Total(), 20);
  EXPECT_TRUE(RangeSet::Parse(""));
  for (const char* bad : {"0-10 5-20", "20-30 0-10", "5-5", "a-b", "1-", "-1-3", "0-10x"})
    EXPECT_FALSE(RangeSet::Parse(bad)) << bad;
}

TEST(Slicing, PlanCoversTheGapsAndStealingTakesTheUpperHalf) {
  std::vector<ByteRange> gaps{{0, 100 << 20}, {(100 << 20) + 5, 101 << 20}};
  auto slices = PlanSlices(gaps, 16, 1 << 20);
  EXPECT_LE(slices.size(), 17u);
  RangeSet covered;
  int64_t sum = 0;
  for (const auto& s : slices) {
    covered.Add(s.begin, s.end);
    sum += s.Length();
  }
  EXPECT_EQ(sum, covered.Total());  // no overlaps
  EXPECT_EQ(covered.Missing(101 << 20), (std::vector<ByteRange>{{100 << 20, (100 << 20) + 5}}));
  // A small file is not cut below the minimum slice.
  EXPECT_EQ(PlanSlices({{0, 3 << 20}}, 16, 1 << 20).size(), 3u);
  EXPECT_TRUE(PlanSlices({}, 4, 1).empty());

  EXPECT_EQ(StealHalf(0, 1000, 100), (ByteRange{500, 1000}));
  EXPECT_EQ(StealHalf(0, 199, 100), std::nullopt);
}

TEST(FileNaming, NamesStayInsideTheDirectory) {
  EXPECT_EQ(SafeFileName("../../etc/passwd"), ".._.._etc_passwd");
  EXPECT_EQ(SafeFileName(".."), "_");
  EXPECT_EQ(SafeFileName("."), "_");
  EXPECT_EQ(SafeFileName(""), "download");
  EXPECT_EQ(SafeFileName("  "), "download");
  EXPECT_EQ(SafeFileName("a\\b\nc\x7f\u0085\u009f"), "a_b_c___");
  EXPECT_EQ(SafeFileName("普通 名字.txt"), "普通 名字.txt");
}

TEST(FileNaming, LongNamesKeepTheirExtensionAndWholeCharacters) {
  std::string stem;
  for (int i = 0; i < 100; ++i) stem += "文";  // 300 bytes
  std::string name = SafeFileName(stem + ".mp4", 255);
  EXPECT_LE(name.size() + std::string(" (99999)").size() + kPartSuffix.size(), 255u);
  EXPECT_EQ(name.substr(name.size() - 4), ".mp4");
  EXPECT_EQ((name.size() - 4) % 3, 0u);  // no character split
  // An overlong "extension" is part of the name; a name of dots stays harmless when cut.
  EXPECT_EQ(SafeFileName("a." + std::string(300, 'b'), 255).substr(0, 5), "a.bbb");
  for (const std::string& odd : {"a." + std::string(300, 'b'), std::string(300, '.')}) {
    std::string cut = SafeFileName(odd, 255);
    EXPECT_LE(cut.size() + kNameReserve, 255u) << odd;
    EXPECT_NE(cut.find_first_not_of('.'), std::string::npos) << odd;
  }
  EXPECT_EQ(NumberedName("a.tar.gz", 2), "a.tar (2).gz");
  EXPECT_EQ(NumberedName(".hidden", 1), ".hidden (1)");
  EXPECT_EQ(NumberedName("x", 0), "x");
}

// Below the caller's root every folder is opened, and made when missing, without following a
// link; the root itself may be a link. Without a root the directory is taken as given.
TEST(SaveDirectory, FoldersBelowTheRootAreNeverReachedThroughALink) {
  namespace fs = std::filesystem;
  test::Sandbox sandbox;
  const fs::path& top = sandbox.path();
  fs::create_directories(top / "root");
  fs::create_directories(top / "outside");
  fs::create_directory_symlink(top / "outside", top / "root" / "link");
  fs::create_directory_symlink(top / "root", top / "root-link");
  std::string root = (top / "root").string();
  auto same = [](int fd, const fs::path& path) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino;
  };

  int fd = -1;
  ASSERT_EQ(OpenSaveDirectory(root + "/a/b/c", root.size(), true, fd), 0);
  EXPECT_TRUE(same(fd, top / "root/a/b/c"));
  ::close(fd);
  std::string viaLink = (top / "root-link").string();
  ASSERT_EQ(OpenSaveDirectory(viaLink + "/a/b", viaLink.size(), false, fd), 0);
  EXPECT_TRUE(same(fd, top / "root/a/b"));
  ::close(fd);
  EXPECT_EQ(OpenSaveDirectory(root + "/a/missing", root.size(), false, fd), ENOENT);

  EXPECT_EQ(OpenSaveDirectory(root + "/link", root.size(), true, fd), ENOTDIR);
  EXPECT_EQ(OpenSaveDirectory(root + "/link/x/y", root.size(), true, fd), ENOTDIR);
  EXPECT_EQ(OpenSaveDirectory(root + "/a/../../outside", root.size(), true, fd), ENOTDIR);
  EXPECT_EQ(fd, -1);
  EXPECT_TRUE(fs::is_empty(top / "outside"));
  EXPECT_EQ(OpenSaveDirectory(root + "/a", root.size() - 1, true, fd), EINVAL);

  ASSERT_EQ(OpenSaveDirectory(root + "/link/x", 0, true, fd), 0);
  EXPECT_TRUE(same(fd, top / "outside/x"));
  ::close(fd);
}

TEST(ControlFile, RoundTripsReadsTheFirstVersionAndRejectsDamage) {
  ControlData d;
  d.url = "http://h/a b?sign=1#x";
  d.size = 1000;
  d.done.Add(0, 100);
  d.done.Add(500, 600);
  d.validators = {"\"abc\"", "Mon, 01 Jan 2024 00:00:00 GMT"};
  std::string text = FormatControl(d);
  auto back = ParseControl(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->url, "http://h/a b");  // the query changes with every link to the file
  EXPECT_EQ(back->size, 1000);
  EXPECT_EQ(back->done.Format(), "0-100 500-600");
  EXPECT_EQ(back->validators, d.validators);

  auto first = ParseControl("sharefetch-partial 1\nurl http://h/a?sign=1\nsize 9\ndone 0-5\n");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->url, "http://h/a?sign=1");
  EXPECT_EQ(first->done.Total(), 5);
  EXPECT_EQ(first->validators, Validators());
  EXPECT_FALSE(ParseControl("sharefetch-partial 2\nurl http://h/a\nsize 9\ndone 0-5\n"));

  EXPECT_FALSE(ParseControl(text.substr(0, text.size() - 1)));  // torn last line
  EXPECT_FALSE(ParseControl("something else\n"));
  d.done.Add(900, 1100);  // beyond the size
  EXPECT_FALSE(ParseControl(FormatControl(d)));
  d.url = "http://h/\ninjected";
  d.done.Clear();
  EXPECT_TRUE(ParseControl(FormatControl(d)));
}

TEST(ResponseHead, ContentRangeAndHeaderValues) {
  auto r = ParseContentRange("bytes 0-99/1000");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, 0);
  EXPECT_EQ(r->last, 99);
  EXPECT_EQ(r->total, 1000);
  auto star = ParseContentRange("bytes */1000");
  ASSERT_TRUE(star);
  EXPECT_EQ(star->first, -1);
  EXPECT_EQ(star->total, 1000);
  auto unknown = ParseContentRange("bytes 5-9/*");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->total, -1);
  for (const char* bad :
       {"bytes 9-5/100", "bytes 0-100/100", "items 0-1/2", "bytes */*", "bytes 1/2"})
    EXPECT_FALSE(ParseContentRange(bad)) << bad;

  EXPECT_EQ(HeaderValue("content-range: bytes 1-2/3\r\n", "Content-Range"), "bytes 1-2/3");
  EXPECT_FALSE(HeaderValue("Content-Rangex: 1", "Content-Range"));
  EXPECT_EQ(EncodeUrl(" http://h/文 a\"b "), "http://h/%E6%96%87%20a%22b");
}

// A claim wakes the engine thread only when its task waits for it, and never misses one that
// does, whichever of the two comes first.
TEST(ClaimOutcome, WakesOnlyATaskThatWaitsForIt) {
  ClaimOutcome awaited;
  ASSERT_TRUE(awaited.Begin());
  EXPECT_FALSE(awaited.Await());  // not done yet: the claim is to wake the engine
  EXPECT_TRUE(awaited.Done());

  ClaimOutcome quiet;
  ASSERT_TRUE(quiet.Begin());
  EXPECT_FALSE(quiet.Done());  // nobody waits: the first answer's pass takes it up
  EXPECT_TRUE(quiet.Await());  // done already, among the disk's results

  ClaimOutcome off;
  EXPECT_FALSE(off.Await());
  off.CallOff();
  EXPECT_FALSE(off.Begin());
  EXPECT_FALSE(off.Done());  // called off: nothing to take up
}

TEST(Throughput, BucketHoldsTheRateAndMeterAverages) {
  auto t0 = Clock::now();
  TokenBucket b;
  EXPECT_TRUE(b.Available());  // unlimited
  b.SetRate(100000, t0);
  b.Refill(t0 + std::chrono::seconds(10));  // a long idle time earns only a small burst
  EXPECT_TRUE(b.Available());
  b.Consume(16384);
  EXPECT_FALSE(b.Available());
  b.Refill(t0 + std::chrono::seconds(10) + std::chrono::milliseconds(200));
  EXPECT_TRUE(b.Available());

  SpeedMeter m;
  for (int i = 0; i < 30; ++i) m.Add(1000, t0 + std::chrono::milliseconds(100 * i));
  EXPECT_NEAR(static_cast<double>(m.BytesPerSecond(t0 + std::chrono::milliseconds(2950))), 10000,
              600);
  EXPECT_EQ(m.BytesPerSecond(t0 + std::chrono::seconds(10)), 0);
}

}  // namespace
}  // namespace sf::engine
