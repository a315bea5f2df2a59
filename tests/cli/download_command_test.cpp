#include "cli/download_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "engine_api/engine_api.h"

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

// Plays back a scripted state for each task and records what the command handed over.
class ScriptedEngine : public DownloadEngine {
 public:
  struct Script {
    int32_t state;
    int32_t failure;
    std::u16string name;
    int32_t alreadyComplete = 0;
  };
  int32_t Init() override { return ++inits; }
  int32_t CreateTask(const void* param) override {
    const auto* r = static_cast<const uint8_t*>(param);
    auto text = [&](layout::Field f) {
      std::u16string t;
      for (size_t i = 0; i < f.width; i += 2) {
        char16_t u = static_cast<char16_t>(r[f.offset + i] | (r[f.offset + i + 1] << 8));
        if (u == 0) break;
        t += u;
      }
      return Utf16ToUtf8(t);
    };
    names.push_back(text(layout::param::kFileName));
    dirs.push_back(text(layout::param::kSaveDir));
    resume.push_back(r[layout::param::kResume.offset] == 1);
    return static_cast<int32_t>(names.size());
  }
  int32_t StartTask(int32_t handle) override {
    started.push_back(handle);
    return 1;
  }
  int32_t QueryTaskInfoEx(int32_t handle, void* info) override {
    auto it = scripts.find(handle);
    if (it == scripts.end()) return 0;
    auto* r = static_cast<uint8_t*>(info);
    std::memcpy(r + layout::info::kState.offset, &it->second.state, 4);
    std::memcpy(r + layout::info::kFailureCode.offset, &it->second.failure, 4);
    std::memcpy(r + layout::info::kAlreadyComplete.offset, &it->second.alreadyComplete, 4);
    std::memset(r + layout::info::kFileName.offset, 0, layout::info::kFileName.width);
    std::memcpy(r + layout::info::kFileName.offset, it->second.name.data(),
                it->second.name.size() * 2);
    return 1;
  }
  int32_t SetSpeedLimit(int32_t kb) override {
    limits.push_back(kb);
    return 1;
  }
  int32_t CreateTaskByThunder(const char16_t*, const char16_t*, const char16_t*, const void*,
                              const char16_t*) override {
    return 0;
  }
  int32_t CreateBTTaskByThunder(const char16_t*) override { return 0; }
  int32_t StopTask(int32_t handle) override {
    stopped.push_back(handle);
    scripts[handle].state = layout::kStatePaused;
    return 1;
  }
  int32_t DeleteTask(int32_t, int32_t) override { return 0; }

  int inits = 0;
  std::vector<std::string> names, dirs;
  std::vector<bool> resume;
  std::vector<int32_t> started, limits, stopped;
  std::map<int32_t, Script> scripts;
};

TEST(DownloadRun, ReportsSavedPathsAndFailures) {
  ScriptedEngine engine;
  engine.scripts[1] = {layout::kStateFinished, 0, u"名 (1).bin"};
  engine.scripts[2] = {layout::kStateFailed, 403, u"b.bin"};
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
  EXPECT_EQ(engine.names, (std::vector<std::string>{"名.bin", "b.bin"}));
  EXPECT_EQ(engine.dirs, (std::vector<std::string>{"/srv/dl", "/srv/dl"}));
  EXPECT_EQ(engine.resume, (std::vector<bool>{true, true}));
  EXPECT_EQ(engine.started, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(out.str(), "/srv/dl/名 (1).bin\n");
  EXPECT_NE(err.str().find("b.bin: HTTP 403 (failure code 403)"), std::string::npos);

  // All finished, one of them found whole on disk: status 0, and both paths.
  engine.scripts[3] = {layout::kStateFinished, 0, u"名.bin", 1};
  engine.scripts[4] = {layout::kStateFinished, 0, u"b.bin"};
  out.str("");
  err.str("");
  EXPECT_EQ(RunDownloads(engine, o, console, interrupted), 0);
  EXPECT_EQ(out.str(), "/srv/dl/名.bin\n/srv/dl/b.bin\n");
  EXPECT_NE(err.str().find("名.bin: already complete"), std::string::npos);

  // An interrupt pauses every running task, so the next run resumes them.
  engine.scripts[5] = {layout::kStateDownloading, 0, u"c"};
  engine.scripts[6] = {layout::kStateDownloading, 0, u"d"};
  interrupted = true;
  EXPECT_EQ(RunDownloads(engine, o, console, interrupted), 130);
  EXPECT_EQ(engine.stopped, (std::vector<int32_t>{5, 6}));
  EXPECT_NE(err.str().find("run the same command again"), std::string::npos);
}

TEST(DownloadRun, AnOverlongNameFromTheAddressIsShortenedAndTheRunGoesOn) {
  ScriptedEngine engine;
  engine.scripts[1] = {layout::kStateFinished, 0, u"long.zip"};
  engine.scripts[2] = {layout::kStateFinished, 0, u"b.bin"};
  DownloadOptions o;
  o.dir = "/srv";
  std::string stem;
  for (int i = 0; i < 300; ++i) stem += "文";  // more characters than the record holds
  o.urls = {"http://h/" + stem + ".zip", "http://h/b.bin"};
  std::ostringstream out, err;
  Console console{out, err};
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(RunDownloads(engine, o, console, interrupted), 0) << err.str();
  ASSERT_EQ(engine.names.size(), 2u);
  const std::string& name = engine.names[0];
  EXPECT_LT(Utf8ToUtf16(name).size(), 260u);  // the record's field, with its terminator
  EXPECT_GT(name.size(), 200u);
  EXPECT_EQ(name.substr(name.size() - 4), ".zip");
  EXPECT_TRUE(IsValidUtf8(name));
  EXPECT_EQ(engine.names[1], "b.bin");
}

}  // namespace
}  // namespace sf::cli
