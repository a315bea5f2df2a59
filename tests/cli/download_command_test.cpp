#include "cli/download_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "engine_api/engine_api.h"
#include "recording_engine.h"
#include "text_helpers.h"

namespace sf::cli {
namespace {

std::optional<DownloadOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string e;
  auto o = ParseDownloadArgs(args, e);
  if (error) *error = e;
  return o;
}

TEST(DownloadArgs, OptionsAndMistakes) {
  auto o = Parse({"--dir", "/d", "--limit", "300", "http://h/a", "http://h/b"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->dir, "/d");
  EXPECT_EQ(o->limitKb, 300);
  EXPECT_EQ(o->jobs, 3);
  EXPECT_EQ(o->urls.size(), 2u);
  EXPECT_EQ(Parse({"--jobs", "8", "http://h/a"})->jobs, 8);
  // Asking for help needs no address, and nothing after it is judged.
  EXPECT_TRUE(Parse({"--help"})->help);
  EXPECT_TRUE(Parse({"-h", "--bogus"})->help);

  std::string error;
  EXPECT_FALSE(Parse({}, &error));
  EXPECT_EQ(error, "no address given");
  EXPECT_FALSE(Parse({"--name", "x", "http://h/a", "http://h/b"}, &error));
  EXPECT_NE(error.find("one address"), std::string::npos);
  EXPECT_FALSE(Parse({"--limit", "fast", "http://h/a"}, &error));
  EXPECT_FALSE(Parse({"--limit", "99999999999", "http://h/a"}, &error));
  EXPECT_FALSE(Parse({"--jobs", "0", "http://h/a"}, &error));
  EXPECT_NE(error.find("1 to 64"), std::string::npos);
  EXPECT_FALSE(Parse({"--jobs", "-2", "http://h/a"}, &error));
  EXPECT_FALSE(Parse({"--dir"}, &error));
  EXPECT_EQ(error, "--dir needs a value");
  EXPECT_FALSE(Parse({"--bogus", "http://h/a"}, &error));
  EXPECT_FALSE(Parse({"--name", "a/b", "http://h/a"}, &error));
  EXPECT_FALSE(Parse({"http://h/" + std::string(2100, 'a')}, &error));
}

TEST(DownloadArgs, NameComesFromTheLastPathSegment) {
  EXPECT_EQ(NameFromUrl("http://h/a/b/%E6%96%87%20x.zip?name=y#z"), "文 x.zip");
  EXPECT_EQ(NameFromUrl("https://h/file/%D6%D0.txt"), "中.txt");  // percent-encoded GBK
  EXPECT_EQ(NameFromUrl("http://h/dir/"), "");
  EXPECT_EQ(NameFromUrl("http://h"), "");
  EXPECT_EQ(NameFromUrl("http://h/bad%zz"), "bad%zz");
}

using test::G;
using test::RecordingEngine;
using test::Report;

// What the command handed over for each task, as UTF-8.
std::vector<std::string> Names(const RecordingEngine& engine) {
  std::vector<std::string> names;
  for (const test::Created& c : engine.created) names.push_back(Utf16ToUtf8(c.wideFileName));
  return names;
}
std::vector<std::string> Dirs(const RecordingEngine& engine) {
  std::vector<std::string> dirs;
  for (const test::Created& c : engine.created) dirs.push_back(GbkToUtf8(c.saveDir));
  return dirs;
}
std::vector<bool> Resumed(const RecordingEngine& engine) {
  std::vector<bool> resume;
  for (const test::Created& c : engine.created) resume.push_back(c.resume);
  return resume;
}

Report Ends(int32_t state, const char* name, int32_t failure = 0, bool alreadyComplete = false) {
  return {
      .state = state, .fileName = G(name), .failure = failure, .alreadyComplete = alreadyComplete};
}

TEST(DownloadRun, ReportsSavedPathsAndFailures) {
  RecordingEngine engine(1);
  engine.reports[1] = Ends(layout::kStateFinished, "名 (1).bin");
  engine.reports[2] = Ends(layout::kStateFailed, "b.bin", 403);
  DownloadOptions o;
  o.dir = "/srv/dl/";
  o.limitKb = 64;
  o.urls = {"http://h/%E5%90%8D.bin", "http://h/b.bin"};
  std::ostringstream out, err;
  Console console{out, err};
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(RunDownloads(engine, o, console, interrupted), 1);
  EXPECT_EQ(engine.inits, 1);
  EXPECT_EQ(engine.limits, std::vector<int32_t>{64});
  EXPECT_EQ(Names(engine), (std::vector<std::string>{"名.bin", "b.bin"}));
  EXPECT_EQ(Dirs(engine), (std::vector<std::string>{"/srv/dl", "/srv/dl"}));
  EXPECT_EQ(Resumed(engine), (std::vector<bool>{true, true}));
  EXPECT_EQ(engine.started, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(out.str(), "/srv/dl/名 (1).bin\n");
  EXPECT_NE(err.str().find("b.bin: HTTP 403 (failure code 403)"), std::string::npos);

  // All finished, one of them found whole on disk: status 0, and both paths.
  engine.reports[3] = Ends(layout::kStateFinished, "名.bin", 0, true);
  engine.reports[4] = Ends(layout::kStateFinished, "b.bin");
  out.str("");
  err.str("");
  EXPECT_EQ(RunDownloads(engine, o, console, interrupted), 0);
  EXPECT_EQ(out.str(), "/srv/dl/名.bin\n/srv/dl/b.bin\n");
  EXPECT_NE(err.str().find("名.bin: already complete"), std::string::npos);

  // An interrupt pauses every running task, so the next run resumes them.
  engine.reports[5] = Ends(layout::kStateDownloading, "c");
  engine.reports[6] = Ends(layout::kStateDownloading, "d");
  interrupted = true;
  EXPECT_EQ(RunDownloads(engine, o, console, interrupted), 130);
  EXPECT_EQ(engine.stopped, (std::vector<int32_t>{5, 6}));
  EXPECT_NE(err.str().find("run the same command again"), std::string::npos);
}

TEST(DownloadRun, AnOverlongNameFromTheAddressIsShortenedAndTheRunGoesOn) {
  RecordingEngine engine(1);
  engine.reports[1] = Ends(layout::kStateFinished, "long.zip");
  engine.reports[2] = Ends(layout::kStateFinished, "b.bin");
  DownloadOptions o;
  o.dir = "/srv";
  std::string stem;
  for (int i = 0; i < 300; ++i) stem += "文";  // more characters than the record holds
  o.urls = {"http://h/" + stem + ".zip", "http://h/b.bin"};
  std::ostringstream out, err;
  Console console{out, err};
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(RunDownloads(engine, o, console, interrupted), 0) << err.str();
  ASSERT_EQ(engine.created.size(), 2u);
  const std::string name = Names(engine)[0];
  EXPECT_LT(Utf8ToUtf16(name).size(), 260u);  // the record's field, with its terminator
  EXPECT_GT(name.size(), 200u);
  EXPECT_EQ(name.substr(name.size() - 4), ".zip");
  EXPECT_TRUE(IsValidUtf8(name));
  EXPECT_EQ(Names(engine)[1], "b.bin");
}

}  // namespace
}  // namespace sf::cli
