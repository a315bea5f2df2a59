#include "base/profile_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/encoding.h"
#include "text_helpers.h"

namespace sf {
namespace {

using test::G;
using test::ReadFile;

TEST(ProfileFile, FindsSectionsAndKeysWithoutRegardToCase) {
  ProfileFile f = ProfileFile::Parse(
      "top=before any section\n"
      "[Main]\r\n"
      "; name:=a comment\r\n"
      "  Name:  =  two words  \r\n"
      "quoted=\"  kept  \"\r\n"
      "single='x'\r\n"
      "half=\"x\r\n"
      "bare\r\n"
      "[main]\r\n"
      "other=second section of the same name\r\n"
      "[ \xb0\x41 ]\r\n"
      "\xb0\x41=gbk\r\n");
  EXPECT_EQ(f.Get("MAIN", "NAME:"), "two words");
  EXPECT_EQ(f.Get("main", "name", "dflt"), "dflt");
  EXPECT_EQ(f.Get("main", "quoted"), "  kept  ");
  EXPECT_EQ(f.Get("main", "single"), "x");
  EXPECT_EQ(f.Get("main", "half"), "\"x");
  EXPECT_TRUE(f.Has("main", "bare"));
  EXPECT_EQ(f.Get("main", "bare", "dflt"), "");
  // The first section of a name answers; lines before any section belong to none.
  EXPECT_EQ(f.Get("main", "other", "dflt"), "dflt");
  EXPECT_EQ(f.Get("", "top", "dflt"), "dflt");
  EXPECT_EQ(f.Get("nowhere", "x", "dflt"), "dflt");
  // A GBK character whose trail byte is an ASCII letter does not fold.
  EXPECT_EQ(f.Get("\xb0\x41", "\xb0\x41"), "gbk");
  EXPECT_EQ(f.Get("\xb0\x61", "\xb0\x41", "dflt"), "dflt");
  EXPECT_EQ(f.Get("\xb0\x41", "\xb0\x61", "dflt"), "dflt");
}

TEST(ProfileFile, ReadsAtMostOneByteLessThanTheBuffer) {
  std::string exact(ProfileFile::kReadBufferSize - 1, 'a');
  ProfileFile f;
  f.Set("s", "exact", exact);
  f.Set("s", "longer", exact + "bc");
  // A double-byte character that would straddle the end is left out whole.
  f.Set("s", "split", std::string(ProfileFile::kReadBufferSize - 2, 'a') + G("中"));
  EXPECT_EQ(f.Get("s", "exact"), exact);
  EXPECT_EQ(f.Get("s", "longer"), exact);
  EXPECT_EQ(f.Get("s", "split"), std::string(ProfileFile::kReadBufferSize - 2, 'a'));
  EXPECT_EQ(f.Get("s", "exact", "", 4), "aaa");
  EXPECT_EQ(f.Get("s", "missing", "fallback", 4), "fal");
}

TEST(ProfileFile, WritesInPlaceAndKeepsWhatItDoesNotKnow) {
  ProfileFile f = ProfileFile::Parse(
      "; written by hand\n"
      "[A]\n"
      "one=1\n"
      "odd line\n"
      "\n"
      "[B]\n"
      "Two = 2\n");
  f.Set("a", "ONE", "uno");  // the file's spelling of the key stays
  f.Set("A", "three", "3");  // after the section's last line, before its blank line
  f.Set("b", "two", "dos");
  f.Set(G("新"), G("键："), G("值"));  // a new section at the end
  EXPECT_EQ(f.Text(),
            "; written by hand\r\n"
            "[A]\r\n"
            "one=uno\r\n"
            "odd line\r\n"
            "three=3\r\n"
            "\r\n"
            "[B]\r\n"
            "Two=dos\r\n" +
                G("[新]\r\n键：=值\r\n"));
}

TEST(ProfileFile, ValuesThatWouldBreakTheFileOrChangeAreWrittenSafely) {
  ProfileFile f;
  f.Set("s", "lines", "one\r\ntwo\nthree\rfour");
  f.Set("s", "blanks", " padded\t");
  f.Set("s", "quotes", "\"q\"");
  f.Set("s", "plain", "a \"b\" c");
  EXPECT_EQ(f.Text(),
            "[s]\r\n"
            "lines=one two three four\r\n"
            "blanks=\" padded\t\"\r\n"
            "quotes=\"\"q\"\"\r\n"
            "plain=a \"b\" c\r\n");
  ProfileFile back = ProfileFile::Parse(f.Text());
  EXPECT_EQ(back.Get("s", "lines"), "one two three four");
  EXPECT_EQ(back.Get("s", "blanks"), " padded\t");
  EXPECT_EQ(back.Get("s", "quotes"), "\"q\"");
  EXPECT_EQ(back.Get("s", "plain"), "a \"b\" c");
  EXPECT_FALSE(back.Has("s", "two"));
}

TEST(ProfileFile, OneCallFormsOnDisk) {
  auto dir = std::filesystem::temp_directory_path() / ("sf-profile-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "t.ini").string();
  std::filesystem::remove(path);

  EXPECT_EQ(ReadProfileString(path, "s", "k", "none"), "none");  // no file
  ASSERT_TRUE(WriteProfileString(path, "s", "k", "v1"));
  ASSERT_TRUE(WriteProfileString(path, "t", "k", "v2"));
  ASSERT_TRUE(WriteProfileString(path, "S", "K", "v3"));
  EXPECT_EQ(ReadFile(path), "[s]\r\nk=v3\r\n[t]\r\nk=v2\r\n");
  EXPECT_EQ(ReadProfileString(path, "T", "K"), "v2");
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  // A directory that cannot hold the file: the write fails and says so.
  EXPECT_FALSE(WriteProfileString(path + "/below-a-file.ini", "s", "k", "v"));
  EXPECT_EQ(ReadFile(path), "[s]\r\nk=v3\r\n[t]\r\nk=v2\r\n");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace sf
