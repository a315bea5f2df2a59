#include "data/json_document.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "text_helpers.h"

namespace sf {
namespace {

using test::G;

JsonDocument Loaded(std::string_view text) {
  JsonDocument document;
  EXPECT_TRUE(document.Parse(text)) << text;
  return document;
}

// Runs `body` on a thread with a 512 KiB stack, small enough that recursion over a deeply
// nested value would overflow it.
void OnSmallStack(const std::function<void()>& body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 512 * 1024);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

TEST(JsonDocument, NewAndResetDocuments) {
  JsonDocument document;
  EXPECT_EQ(document.ToText(), "{}");
  document.Reset(JsonType::kArray);
  EXPECT_EQ(document.ToText(), "[]");
  document.Reset(JsonType::kString);  // not a container code: nothing happens
  EXPECT_EQ(document.ToText(), "[]");
  document.Reset(JsonType::kNull);
  EXPECT_EQ(document.ToText(), "{}");
  ASSERT_TRUE(document.Parse("[1]"));
  document.Clear();
  EXPECT_EQ(document.ToText(), "{}");
}

TEST(JsonDocument, ReadsAShareAnswer) {
  JsonDocument answer = Loaded(R"({"errno":0,"list":[{"fs_id":1234567890123456,"isdir":0}]})");
  EXPECT_EQ(answer.GetText("list.length"), "1");
  EXPECT_EQ(answer.GetText("list[0].isdir"), "0");
  EXPECT_EQ(answer.GetText("list[0].fs_id", true), "1234567890123456");
  EXPECT_EQ(answer.GetText("errno"), "0");
  EXPECT_EQ(answer.GetNumber("list.length"), 1);
  EXPECT_EQ(answer.GetText("list[0]", true), R"({"fs_id":1234567890123456,"isdir":0})");
  EXPECT_EQ(answer.GetText("list[0]"), "[object Object]");
}

TEST(JsonDocument, LongIdsKeepEveryDigit) {
  for (const char* id : {"9223372036854775807", "1234567890123456789", "18446744073709551615",
                         "-9223372036854775808"}) {
    JsonDocument document = Loaded(std::string(R"({"fs_id":)") + id + "}");
    EXPECT_EQ(document.GetText("fs_id"), id);
    EXPECT_EQ(document.GetText("fs_id", true), id);
  }
}

TEST(JsonDocument, FailedParseLeavesANullDocument) {
  for (const char* text : {"", "   ", "{", "{\"a\":1} x", "null", "{'a':1}", "[1,]", "1e400"}) {
    JsonDocument document = Loaded("{\"a\":{\"b\":1}}");
    JsonDocument copy = document;
    EXPECT_FALSE(document.Parse(text)) << text;
    EXPECT_EQ(copy.ToText(), "null") << "copies share the failed load";
    EXPECT_EQ(document.TypeOf(), JsonType::kNull);
    EXPECT_EQ(document.GetText("a.b"), "");
    EXPECT_EQ(document.GetNumber("a.b"), 0);
    EXPECT_EQ(document.Count(), 0);
    EXPECT_FALSE(document.Exists("a"));
  }
  JsonDocument scalar;
  EXPECT_TRUE(scalar.Parse("false"));  // a value, if not a useful one
  EXPECT_EQ(scalar.ToText(), "false");
}

TEST(JsonDocument, MissingMembersReadAsNothing) {
  JsonDocument document = Loaded(R"({"list":[{"path":"/a"}],"none":null,"n":5})");
  for (const char* path : {"list[5].path", "list[1]", "nope", "none.x", "nope.x.y", "n.x"}) {
    EXPECT_EQ(document.GetText(path), "") << path;
    EXPECT_EQ(document.GetText(path, true), "") << path;
    EXPECT_FALSE(document.Exists(path)) << path;
    EXPECT_EQ(document.TypeOf(path), JsonType::kNull) << path;
    EXPECT_EQ(document.GetNumber(path), 0) << path;
  }
  EXPECT_FALSE(document.Exists("none"));
  EXPECT_EQ(document.GetText("none", true), "null");
  EXPECT_TRUE(document.Exists("list[0].path"));
}

TEST(JsonDocument, PathRules) {
  JsonDocument array = Loaded(R"([{"name":"a"},{"name":"b"}])");
  EXPECT_EQ(array.GetText("[1].name"), "b");  // A: a leading "[" reads the root array
  EXPECT_EQ(array.GetText(""), "");           // A: the empty path cannot be evaluated
  EXPECT_EQ(array.Count(""), 2);              // ...except for Count, which takes the root
  EXPECT_EQ(array.Count("[0]"), 1);
  EXPECT_EQ(array.TypeOf(""), JsonType::kArray);     // B: the empty path is the root
  EXPECT_EQ(array.TypeOf("[0]"), JsonType::kOther);  // B: "da.[0]" is no expression
  EXPECT_EQ(array.GetElementText(1, "", false), "[object Object]");
  EXPECT_EQ(array.GetElementText(0, "[0]", false), "");
  EXPECT_EQ(array.GetMemberJson("[0]"), "");  // C: must begin with a name
  EXPECT_EQ(array.GetNumber("length"), 2);

  JsonDocument object = Loaded(R"({"a":{"b_1":[10,20,[30]],"0":"zero","$x":1}})");
  EXPECT_EQ(object.GetText("a.b_1[2][0]"), "30");
  EXPECT_EQ(object.GetText("a[0]"), "zero");  // an index on an object names a member
  EXPECT_EQ(object.GetText("a.b_1[001]"), "20");
  EXPECT_EQ(object.GetText("a.$x"), "1");
  EXPECT_EQ(object.GetText("a.b_1[-1]"), "");
  for (const char* bad : {"a..b", "a.", "a[", "a[]", "a[x]", "a.0", "a b", "a-b", "a.b_1[0]]"}) {
    EXPECT_EQ(object.TypeOf(bad), JsonType::kOther) << bad;
    EXPECT_EQ(object.GetText(bad), "") << bad;
  }
}

TEST(JsonDocument, PlainAndSerialisedText) {
  JsonDocument document = Loaded(
      R"({"s":"say \"hi\"\\\n\t\u0001","t":true,"f":false,"z":null,"a":[1,[2,null],"x",{}],)"
      R"("o":{"k":[]},"x":0.1,"y":1.0,"big":1e21,"tiny":1e-7,"neg":-2.5e-3,"huge":123456789012345678901234})");
  EXPECT_EQ(document.GetText("s"), "say \"hi\"\\\n\t\x01");
  EXPECT_EQ(document.GetText("s", true), R"("say \"hi\"\\\n\t\u0001")");
  EXPECT_EQ(document.GetText("t"), "true");
  EXPECT_EQ(document.GetText("f", true), "false");
  EXPECT_EQ(document.GetText("z"), "");
  EXPECT_EQ(document.GetText("a"), "1,2,,x,[object Object]");
  EXPECT_EQ(document.GetText("a", true), R"([1,[2,null],"x",{}])");
  EXPECT_EQ(document.GetText("o", true), R"({"k":[]})");
  EXPECT_EQ(document.GetText("x"), "0.1");
  EXPECT_EQ(document.GetText("y", true), "1");
  EXPECT_EQ(document.GetText("big"), "1e+21");
  EXPECT_EQ(document.GetText("tiny"), "1e-7");
  EXPECT_EQ(document.GetText("neg"), "-0.0025");
  EXPECT_EQ(document.GetText("huge"), "1.2345678901234569e+23");
}

TEST(JsonDocument, TextCrossesTheGbkBoundary) {
  // "😀" has no GBK code; our GBK side holds it as a four-byte sequence.
  JsonDocument document = Loaded(G(R"({"名称":"文件😀.txt","list":["中"]})"));
  EXPECT_EQ(document.GetText(G("名称")), G("文件😀.txt"));
  EXPECT_EQ(document.GetText(G("名称"), true), G("\"文件😀.txt\""));
  EXPECT_EQ(document.GetNumber(G("名称.length")), 8);  // the emoji is two UTF-16 units
  EXPECT_EQ(document.ToText(), G(R"({"名称":"文件😀.txt","list":["中"]})"));
  std::vector<std::string> names;
  EXPECT_EQ(document.MemberNames(names), 2);
  EXPECT_EQ(names, (std::vector<std::string>{G("名称"), "list"}));
  document.SetMember("note", G("說明 ☃"), false);
  EXPECT_EQ(document.GetText("note"), G("說明 ☃"));
}

TEST(JsonDocument, TypesCountsAndNames) {
  JsonDocument document = Loaded(
      R"({"arr":[1],"obj":{"x":1},"s":"t","n":2.5,"b":true,"e":{},"d":{"a,b":1,"":2,"a":3,"a":4}})");
  EXPECT_EQ(document.TypeOf("arr"), JsonType::kArray);
  EXPECT_EQ(document.TypeOf("obj"), JsonType::kObject);
  EXPECT_EQ(document.TypeOf("s"), JsonType::kString);
  EXPECT_EQ(document.TypeOf("n"), JsonType::kNumber);
  EXPECT_EQ(document.TypeOf("arr.length"), JsonType::kNumber);
  EXPECT_EQ(document.TypeOf("b"), JsonType::kOther);
  EXPECT_EQ(document.TypeOf(), JsonType::kObject);
  EXPECT_EQ(Loaded(R"({"a":1,"b":2})").Count(), 2);
  EXPECT_EQ(Loaded("[7,8,9]").Count(), 3);
  EXPECT_EQ(document.Count("s"), 0);
  EXPECT_EQ(document.Count("nope"), 0);

  std::vector<std::string> names{"stale"};
  EXPECT_EQ(document.MemberNames(names, "e"), 0);
  EXPECT_TRUE(names.empty());
  // Names keep their commas and empty names survive; a repeated name keeps its first place.
  EXPECT_EQ(document.MemberNames(names, "d"), 3);
  EXPECT_EQ(names, (std::vector<std::string>{"a,b", "", "a"}));
  EXPECT_EQ(document.GetText("d.a"), "4");
  EXPECT_EQ(Loaded("[5,6]").MemberNames(names), 2);
  EXPECT_EQ(names, (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(document.MemberNames(names, "[0]"), 0);
}

TEST(JsonDocument, CopiesShareAndSubDocumentsDoNot) {
  JsonDocument document = Loaded(R"({"list":[{"a":1},{"a":2}]})");
  JsonDocument copy = document;
  JsonDocument sub = document.GetDocument("list[1]");
  JsonDocument element = document.GetElementDocument(0, "list");
  document.SetNumber("list[1].a", 9);
  EXPECT_EQ(copy.GetText("list[1].a"), "9");
  EXPECT_EQ(sub.ToText(), R"({"a":2})");
  sub.SetMember("b", "x", false);
  EXPECT_EQ(document.GetText("list[1]", true), R"({"a":9})");
  EXPECT_EQ(element.GetText("a"), "1");
  EXPECT_EQ(document.GetDocument("list.length").ToText(), "2");
  EXPECT_EQ(document.GetDocument("nope").ToText(), "null");
  EXPECT_EQ(document.GetDocument("nope").TypeOf(), JsonType::kNull);
  EXPECT_EQ(document.GetElementDocument(5, "list").ToText(), "null");
  EXPECT_EQ(Loaded("[[1,2]]").GetDocument("[0]").GetText("[1]"), "2");
}

TEST(JsonDocument, SetMemberEvaluatesOrStoresText) {
  JsonDocument document = Loaded(R"({"a":1,"list":[0],"n":3})");
  document.SetMember("b", R"({"c":[true]})", true);
  document.SetMember("e", "", true);
  document.SetMember("a", "it's a \\ \"quote\"\r\n", false);  // stored as it stands
  document.SetMember("bad", "{oops", true);
  document.SetMemberValue("v", "[1,2]");
  document.SetMemberValue("w", "");
  document.SetNumber("f", 1.5);
  document.SetNumber("g", 5);
  document.SetNumber("h", std::nan(""));
  EXPECT_EQ(document.ToText(),
            R"({"a":"it's a \\ \"quote\"\r\n","list":[0],"n":3,"b":{"c":[true]},"e":{},)"
            R"("v":[1,2],"f":1.5,"g":5})");
  const std::string before = document.ToText();
  document.SetMember("missing.x", "1", true);  // a member of a missing member
  document.SetMember("n.x", "1", true);        // a member of a number
  document.SetMember("list.x", "1", true);     // a named member of an array
  document.SetMember("", "1", true);
  document.SetMember("[0]", "1", true);
  document.SetNumber("list[2000000]", 1);  // too far past the end
  EXPECT_EQ(document.ToText(), before);
  document.SetNumber("list[3]", 7);
  EXPECT_EQ(document.GetText("list", true), "[0,null,null,7]");
  document.SetMember("b.c[0]", "y", false);
  EXPECT_EQ(document.GetText("b", true), R"({"c":["y"]})");
  EXPECT_EQ(document.GetNumber("f"), 1.5);
  JsonDocument numbers = Loaded(R"({"s":" 42 ","t":true,"u":"4x"})");
  EXPECT_EQ(numbers.GetNumber("s"), 42);
  EXPECT_EQ(numbers.GetNumber("t"), 1);
  EXPECT_EQ(numbers.GetNumber("u"), 0);
}

TEST(JsonDocument, AppendMakesArrays) {
  JsonDocument document = Loaded(R"({"n":5,"m":6,"list":["a"]})");
  document.Append("b", "list");
  document.Append("x", "n");  // a number becomes an array holding the value
  document.Append(R"({"k":1})", "new", true);
  document.Append("[oops", "list", true);  // does not parse: nothing changes
  document.Append("", "empty", true);      // raw nothing: an empty array
  document.Append("1", "m.deeper");        // a member of a number: nothing
  document.Append("1", "list.deeper");     // a named member of an array: nothing
  document.Append("1", "gone.deeper");
  EXPECT_EQ(document.ToText(), R"({"n":["x"],"m":6,"list":["a","b"],"new":[{"k":1}],"empty":[]})");
  document.Append("r");  // the root itself becomes an array
  EXPECT_EQ(document.ToText(), R"(["r"])");
}

TEST(JsonDocument, RootElementsAndRoot) {
  JsonDocument document = Loaded("[0,1,2,3]");
  document.SetElement(1, "one", false);
  document.SetElement(2, R"({"a":[]})", true);
  document.SetElement(0, "", true);
  document.SetElement(5, "null", true);
  EXPECT_EQ(document.ToText(), R"([0,"one",{"a":[]},3,null,null])");
  document.RemoveElement(-1);
  document.RemoveElement(1);
  document.RemoveElement(9);
  EXPECT_EQ(document.ToText(), R"([0,{"a":[]},3,null])");
  document.RemoveElement(-100);  // clamps to the first element, as splice does
  EXPECT_EQ(document.ToText(), R"([{"a":[]},3,null])");

  JsonDocument object = Loaded(R"({"a":1})");
  object.RemoveElement(0);
  object.SetElement(3, "x", false);
  EXPECT_EQ(object.ToText(), R"({"a":1,"3":"x"})");

  EXPECT_TRUE(object.SetRoot("text", false));
  EXPECT_EQ(object.ToText(), R"("text")");
  EXPECT_FALSE(object.SetRoot("{bad", true));
  EXPECT_EQ(object.ToText(), R"("text")");
  EXPECT_FALSE(object.SetRoot("false", true));
  EXPECT_EQ(object.ToText(), "false");
  EXPECT_TRUE(object.SetRoot("[1]", true));
  EXPECT_EQ(object.Count(), 1);
}

// A value nested 100000 levels deep, alone and next to other members: recursion over it, or a
// copy of it (growing an object copies its members), would overflow a 512 KiB stack.
TEST(JsonDocument, DeepValuesOnASmallStack) {
  OnSmallStack([] {
    constexpr size_t kDepth = 100000;
    const std::string deep = std::string(kDepth, '[') + "1" + std::string(kDepth, ']');
    JsonDocument document;
    ASSERT_TRUE(document.Parse(deep));
    EXPECT_EQ(document.ToText(), deep);
    EXPECT_EQ(document.GetText("[0]"), "1");
    EXPECT_EQ(document.TypeOf(), JsonType::kArray);
    EXPECT_EQ(document.GetDocument("[0][0]").GetText("[0]", true).size(), deep.size() - 6);

    const std::string wrapped = R"({"a":)" + deep + R"(,"b":2,"c":3})";
    ASSERT_TRUE(document.Parse(wrapped));
    document.SetMember("d", deep, true);
    document.SetMember("e", "4", true);
    document.Append(deep, "list", true);
    EXPECT_EQ(document.GetText("e"), "4");
    EXPECT_EQ(document.GetMemberJson("d"), deep);
    EXPECT_EQ(document.GetText("list[0]", true), deep);
    EXPECT_EQ(document.Count(), 6);
  });
}

TEST(JsonDocument, MultiMegabyteText) {
  std::string text = R"({"file_list":{"list":[)";
  constexpr int kFiles = 40000;
  for (int i = 0; i < kFiles; ++i) {
    if (i > 0) text += ',';
    text += R"({"fs_id":)" + std::to_string(900000000000000LL + i) +
            R"(,"server_filename":"file )" + std::to_string(i) + R"(.bin","size":1048576,)" +
            R"("path":"/share/some/rather/long/folder/name/file.bin","isdir":0})";
  }
  text += "]}}";
  ASSERT_GT(text.size(), 4u << 20);
  JsonDocument document = Loaded(text);
  EXPECT_EQ(document.GetText("file_list.list.length"), std::to_string(kFiles));
  EXPECT_EQ(document.GetText("file_list.list[39999].fs_id", true), "900000000039999");
  EXPECT_EQ(document.GetText("file_list.list[39999].server_filename"), "file 39999.bin");
  EXPECT_EQ(document.ToText(), text);
}

}  // namespace
}  // namespace sf
