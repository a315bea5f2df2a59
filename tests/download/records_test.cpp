#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "download/engine_api.h"
#include "download/field_record_buffer.h"
#include "download/task_records.h"
#include "text_helpers.h"

namespace sf {
namespace {

namespace lp = layout::param;
namespace li = layout::info;

using test::G;

std::string Bytes(const uint8_t* block, layout::Field f) {
  return std::string(reinterpret_cast<const char*>(block) + f.offset, f.width);
}

TEST(FieldRecordBuffer, KeysAreStandardCrc32) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
}

TEST(FieldRecordBuffer, GrowsInStepsAndKeepsWhatWasWritten) {
  FieldRecordBuffer b;
  ASSERT_NE(b.Create(1, 0xCC, 8, 16), nullptr);
  ASSERT_TRUE(b.AddField("a", 6, std::string_view("abcdefgh")));  // cut at the width
  EXPECT_EQ(b.Capacity(), 8);
  ASSERT_TRUE(b.AddField("b", 20, std::string_view("xy")));
  EXPECT_EQ(b.Capacity(), 40);  // 8 + 2 steps of 16
  EXPECT_EQ(b.Size(), 26);
  EXPECT_EQ(b.ReadField("a"), "abcdef");
  EXPECT_EQ(b.ReadField("b"), std::string("xy") + std::string(18, '\0'));
  EXPECT_EQ(b.FindField("b"), 2);
  EXPECT_EQ(b.FieldOffset("b"), 6);

  // A taken name changes nothing.
  EXPECT_FALSE(b.AddField("a", 4));
  EXPECT_EQ(b.Size(), 26);
  // Unknown names read empty and refuse writes.
  EXPECT_EQ(b.FindField("zz"), 0);
  EXPECT_EQ(b.ReadField("zz"), "");
  EXPECT_FALSE(b.WriteField("zz", "1"));
  // A short write keeps the rest of the field.
  EXPECT_TRUE(b.WriteField("a", "XY"));
  EXPECT_EQ(b.ReadField("a"), "XYcdef");
  // Create starts over.
  b.Create();
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.FindField("a"), 0);
}

TEST(FieldRecordBuffer, PadsToAlignmentInsideTheBlock) {
  FieldRecordBuffer b;
  ASSERT_NE(b.Create(4, 0xAB, 4, 4), nullptr);
  ASSERT_TRUE(b.AddField("x", 3, std::string_view("123")));
  ASSERT_TRUE(b.AddField("y", 5));  // 5 + 3 pad bytes: the block must grow to hold the pad too
  EXPECT_EQ(b.Size(), 12);
  EXPECT_GE(b.Capacity(), b.Size());
  const uint8_t* p = b.Address();
  EXPECT_EQ(p[3], 0xAB);
  EXPECT_EQ(b.FieldOffset("y"), 4);
  EXPECT_EQ(p[9], 0xAB);
  EXPECT_EQ(p[11], 0xAB);
}

TEST(TaskParamRecord, LaysOutEveryFieldByteForByte) {
  TaskParamRecord r;
  uint8_t* block = r.Init(G("http://h/文件.bin"), "http://ref/", "a=1; b=2", G("文件.bin"),
                          "/tmp/d", false, true);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(r.Buffer().Size(), 26564);
  struct {
    const char* name;
    layout::Field f;
  } fields[] = {{"nReserved", lp::kReserved},
                {"任务URL", lp::kUrl},
                {"引用页", lp::kReferer},
                {"Cookies", lp::kCookies},
                {"保存文件名", lp::kFileName},
                {"szReserved0", lp::kReserved0},
                {"保存目录", lp::kSaveDir},
                {"hReserved", lp::kHandleReserved},
                {"bReserved", lp::kBoolReserved},
                {"szReserved1", lp::kReserved1Text},
                {"szReserved2", lp::kReserved2Text},
                {"原始地址下载", lp::kGivenAddressOnly},
                {"nReserved1", lp::kReserved1},
                {"禁止智能命名", lp::kNoAutoRename},
                {"是否用续传", lp::kResume},
                {"reserved", lp::kTail}};
  for (const auto& f : fields) {
    EXPECT_EQ(r.Buffer().FieldOffset(G(f.name)), static_cast<int>(f.f.offset)) << f.name;
    EXPECT_EQ(r.Buffer().ReadField(G(f.name)).size(), f.f.width) << f.name;
  }
  // UTF-16LE with its terminator, the rest zero.
  std::string url = Utf16ToBytes(u"http://h/文件.bin");
  EXPECT_EQ(Bytes(block, lp::kUrl).substr(0, url.size() + 2), url + std::string(2, '\0'));
  EXPECT_EQ(Bytes(block, lp::kUrl).find_first_not_of('\0', url.size()), std::string::npos);
  EXPECT_EQ(block[lp::kReserved1.offset], 5);
  EXPECT_EQ(block[lp::kNoAutoRename.offset], 1);
  EXPECT_EQ(block[lp::kResume.offset], 1);  // resume unless told otherwise
  EXPECT_EQ(block[lp::kGivenAddressOnly.offset], 0);
  EXPECT_EQ(Bytes(block, lp::kReserved0), std::string(520, '\0'));
  EXPECT_EQ(Bytes(block, lp::kTail), std::string(8192, '\0'));

  EXPECT_EQ(r.Url(), G("http://h/文件.bin"));
  EXPECT_EQ(r.FileName(), G("文件.bin"));
  EXPECT_EQ(r.Cookies(), "a=1; b=2");
  EXPECT_TRUE(r.NoAutoRename());
  EXPECT_TRUE(r.SetResume(false));
  EXPECT_FALSE(r.Resume());
  EXPECT_TRUE(r.SetSaveDir("/x"));
  EXPECT_EQ(r.SaveDir(), "/x");

  // The expected size lives in "szReserved1" as decimal text; unknown keeps it all zero.
  EXPECT_EQ(Bytes(block, lp::kExpectedSize), std::string(128, '\0'));
  EXPECT_TRUE(r.SetExpectedSize(1234567890123));
  EXPECT_EQ(Bytes(block, lp::kExpectedSize).substr(0, 28),
            Utf16ToBytes(u"1234567890123") + std::string(2, '\0'));
  EXPECT_EQ(r.ExpectedSize(), 1234567890123);
  EXPECT_TRUE(r.SetExpectedSize(-1));
  EXPECT_EQ(Bytes(block, lp::kExpectedSize), std::string(128, '\0'));
}

TEST(TaskParamRecord, EmptyTextsStayZeroAndLongTextsAreCutWithoutTerminator) {
  TaskParamRecord r;
  std::string dir260(260, 'd'), dir259(259, 'd');
  uint8_t* block = r.Init("u", "", "", "", dir260);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Bytes(block, lp::kReferer), std::string(4168, '\0'));
  EXPECT_EQ(Bytes(block, lp::kFileName), std::string(520, '\0'));
  // 260 units fill the 520-byte field exactly; the next field starts right after.
  std::string full = Bytes(block, lp::kSaveDir);
  for (size_t i = 0; i < 520; i += 2) ASSERT_EQ(full.substr(i, 2), std::string("d\0", 2));
  EXPECT_EQ(block[lp::kHandleReserved.offset], 0);
  EXPECT_EQ(r.SaveDir(), dir260);

  block = r.Init("u", "", "", "", dir259);
  EXPECT_EQ(Bytes(block, lp::kSaveDir).substr(518), std::string(2, '\0'));
  EXPECT_EQ(r.SaveDir(), dir259);
}

TEST(TaskInfoRecord, LaysOutFieldsWithTheOddOffset) {
  TaskInfoRecord r;
  uint8_t* block = r.Init();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(r.Buffer().Size(), 1429);
  EXPECT_EQ(r.State(), 2);
  EXPECT_EQ(r.FailureCode(), 0);
  EXPECT_EQ(r.Buffer().FieldOffset(G("原始资源是否有效")), 1164);
  EXPECT_EQ(r.Buffer().FieldOffset("fHashPercent"), 1165);
  EXPECT_EQ(r.Buffer().FieldOffset(G("是否正在创建文件")), 1169);
  EXPECT_EQ(r.Buffer().FieldOffset("reserved"), 1173);
  EXPECT_EQ(r.Buffer().FieldOffset(G("下载速度")), static_cast<int>(li::kSpeed.offset));
  EXPECT_EQ(r.Buffer().FieldOffset(G("已下载速度")), static_cast<int>(li::kDownloaded.offset));
  EXPECT_EQ(r.Buffer().FieldOffset(G("镜像资源共享字节数")),
            static_cast<int>(li::kMirrorBytes.offset));
  EXPECT_EQ(block[0], 2);
  // Every field, reserved ones too, where the engine's side reads it; all zero but the state.
  for (const layout::Field& f : li::kFields) {
    EXPECT_EQ(r.Buffer().FieldOffset(G(f.name)), static_cast<int>(f.offset)) << f.name;
    EXPECT_EQ(r.Buffer().ReadField(G(f.name)).size(), f.width) << f.name;
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block) + 4, 1425), std::string(1425, '\0'));

  EXPECT_TRUE(r.SetTotalSize(int64_t{5} << 32));
  EXPECT_TRUE(r.SetDownloaded(-1));
  EXPECT_TRUE(r.SetProgress(0.25f));
  EXPECT_TRUE(r.SetOriginValid(true));
  EXPECT_TRUE(r.SetCreatingFile(7));
  EXPECT_TRUE(r.SetFileName(G("名字.txt")));
  EXPECT_EQ(r.TotalSize(), int64_t{5} << 32);
  EXPECT_EQ(r.Downloaded(), -1);
  EXPECT_FLOAT_EQ(r.Progress(), 0.25f);
  EXPECT_TRUE(r.OriginValid());
  EXPECT_EQ(block[1164], 1);
  EXPECT_EQ(block[1165], 0);  // the byte after the flag belongs to the next field
  EXPECT_EQ(block[1169], 7);
  EXPECT_EQ(r.FileName(), G("名字.txt"));
  uint32_t bits;
  std::memcpy(&bits, block + li::kProgress.offset, 4);
  EXPECT_EQ(bits, 0x3E800000u);  // 0.25f, little-endian
}

// Records the texts the record class hands over.
class RecordingEngine : public DownloadEngine {
 public:
  int32_t Init() override { return 1; }
  int32_t CreateTask(const void*) override { return 0; }
  int32_t StartTask(int32_t) override { return 0; }
  int32_t QueryTaskInfoEx(int32_t, void*) override { return 0; }
  int32_t SetSpeedLimit(int32_t) override { return 0; }
  int32_t CreateTaskByThunder(const char16_t* a, const char16_t* b, const char16_t* c,
                              const void* d, const char16_t* e) override {
    texts = {a, b, c, e};
    charge = static_cast<const char*>(d);
    return 42;
  }
  int32_t CreateBTTaskByThunder(const char16_t* path) override {
    texts = {path};
    return 7;
  }
  int32_t StopTask(int32_t) override { return 0; }
  int32_t DeleteTask(int32_t, int32_t) override { return 0; }
  std::vector<std::u16string> texts;
  std::string charge;
};

TEST(TaskInfoRecord, ExternalClientCallsPassConvertedTexts) {
  RecordingEngine engine;
  EXPECT_EQ(TaskInfoRecord::CreateTaskByThunder(engine, G("地址"), "n", "", "raw", "c=1"), 42);
  EXPECT_EQ(engine.texts, (std::vector<std::u16string>{u"地址", u"n", u"", u"c=1"}));
  EXPECT_EQ(engine.charge, "raw");
  EXPECT_EQ(TaskInfoRecord::CreateBtTaskByThunder(engine, G("种子.torrent")), 7);
  EXPECT_EQ(engine.texts, (std::vector<std::u16string>{u"种子.torrent"}));
  EXPECT_EQ(TaskInfoRecord::ToWide936(G("中")), Utf16ToBytes(u"中") + std::string(2, '\0'));
}

TEST(EngineLibrary, MissingLibraryOrFunctionIsAnErrorNamingThePath) {
  EngineLoad missing = LoadEngineLibrary("/nonexistent/libsfengine.so");
  EXPECT_EQ(missing.engine, nullptr);
  EXPECT_NE(missing.error.find("/nonexistent/libsfengine.so"), std::string::npos);

  EngineLoad incomplete = LoadEngineLibrary(SF_INCOMPLETE_ENGINE_PATH);
  EXPECT_EQ(incomplete.engine, nullptr);
  EXPECT_NE(incomplete.error.find(SF_INCOMPLETE_ENGINE_PATH), std::string::npos);
  EXPECT_NE(incomplete.error.find("XL_CreateTask"), std::string::npos) << incomplete.error;
}

// The engine beside the program wins; a program in <prefix>/bin finds the installed one in
// <prefix>/lib/sharefetch, and only then counts as installed.
TEST(EngineLibrary, FoundBesideTheProgramElseInTheInstalledTree) {
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("sf-engine-place-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "bin");
  auto touch = [](const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
  };
  std::string bin = (root / "bin").string();

  EngineLocation none = LocateEngineLibrary(bin);
  EXPECT_FALSE(none.found);
  EXPECT_FALSE(none.installed);
  EXPECT_EQ(none.path, bin + "/libsfengine.so");

  touch(root / "lib/sharefetch/libsfengine.so");
  EngineLocation installed = LocateEngineLibrary(bin + "/");
  EXPECT_TRUE(installed.found);
  EXPECT_TRUE(installed.installed);
  EXPECT_EQ(installed.path, (root / "lib/sharefetch/libsfengine.so").string());

  touch(root / "bin/libsfengine.so");
  EngineLocation beside = LocateEngineLibrary(bin);
  EXPECT_TRUE(beside.found);
  EXPECT_FALSE(beside.installed);
  EXPECT_EQ(beside.path, bin + "/libsfengine.so");

  // Only a directory named bin has an installed tree around it.
  fs::create_directories(root / "other");
  EXPECT_FALSE(LocateEngineLibrary((root / "other").string()).found);
  fs::remove_all(root);
}

}  // namespace
}  // namespace sf
