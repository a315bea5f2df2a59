// Captcha pictures (decoded with libpng and libjpeg, and read back glyph by glyph) and the
// files behind the links: generated content, ranges, HEAD, throttling and the engine quirks.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include <chrono>
#include <csetjmp>

#include "captcha.h"
#include "file_content.h"
#include "sim_fixture.h"

namespace sf::sim::test {
namespace {

struct Grey {
  int width = 0, height = 0;
  std::vector<uint8_t> px;
  int At(int x, int y) const { return px[static_cast<size_t>(y * width + x)]; }
};

std::optional<Grey> DecodePng(const std::string& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_GRAY;
  Grey g;
  g.width = static_cast<int>(image.width);
  g.height = static_cast<int>(image.height);
  g.px.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, g.px.data(), 0, nullptr)) return std::nullopt;
  return g;
}

struct JpegErr {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

std::optional<Grey> DecodeJpeg(const std::string& bytes) {
  jpeg_decompress_struct info{};
  JpegErr err;
  info.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<JpegErr*>(c->err)->jump, 1); };
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&info);
    return std::nullopt;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_GRAYSCALE;
  jpeg_start_decompress(&info);
  Grey g;
  g.width = static_cast<int>(info.output_width);
  g.height = static_cast<int>(info.output_height);
  g.px.resize(static_cast<size_t>(g.width * g.height));
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = g.px.data() + static_cast<size_t>(info.output_scanline) * g.width;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return g;
}

// Reads the four characters back by matching every font glyph at every allowed offset: if a
// person can read the picture, so can this.
std::string ReadCaptcha(const Grey& g) {
  std::string out;
  for (int k = 0; k < 4; ++k) {
    int bestScore = -1;
    char best = '?';
    for (const char* c = kCaptchaAlphabet; *c; ++c) {
      auto rows = Glyph(*c);
      for (int dy = -kGlyphJitter; dy <= kGlyphJitter; ++dy) {
        int score = 0;
        for (int r = 0; r < 7; ++r)
          for (int col = 0; col < 5; ++col) {
            int x = kGlyphLeft + k * kGlyphPitch + col * kGlyphScale + kGlyphScale / 2;
            int y = kGlyphTop + dy + r * kGlyphScale + kGlyphScale / 2;
            bool ink = g.At(x, y) < 110;
            score += ink == static_cast<bool>((*rows)[r] & (0x10 >> col));
          }
        if (score > bestScore) {
          bestScore = score;
          best = *c;
        }
      }
    }
    out += best;
  }
  return out;
}

TEST(CaptchaPictures, PngAndJpegDecodeAndShowTheAnswer) {
  ShareSimulator sim;
  ASSERT_TRUE(sim.StartFromText(R"({"captchaFormat": "alternate", "shares": []})")) << sim.error();
  for (int i = 0; i < 6; ++i) {
    auto j = nlohmann::json::parse(
        Fetch(sim.port(), "GET", CaptchaTarget(i % 2 ? "pan" : "shareverify")).body);
    ASSERT_EQ(j["errno"], 0);
    std::string token = j["vcode_str"];
    std::string img = j["vcode_img"];
    ASSERT_EQ(img, sim.Url("/genimage?" + token));
    Reply pic = Fetch(sim.port(), "GET", "/genimage?" + token);
    ASSERT_EQ(pic.status, 200);
    bool jpeg = i % 2 == 1;
    EXPECT_EQ(pic.Header("Content-Type"), jpeg ? "image/jpeg" : "image/png");
    auto grey = jpeg ? DecodeJpeg(pic.body) : DecodePng(pic.body);
    ASSERT_TRUE(grey.has_value()) << "picture " << i << " does not decode";
    EXPECT_EQ(grey->width, kCaptchaWidth);
    EXPECT_EQ(grey->height, kCaptchaHeight);
    std::string answer = sim.CaptchaAnswer(token).value_or("");
    EXPECT_EQ(ReadCaptcha(*grey), answer) << "picture " << i;
    Reply debug = Fetch(sim.port(), "GET", "/__sim/captcha?" + token);
    EXPECT_EQ(debug.body, answer + "\n");
    EXPECT_EQ(Fetch(sim.port(), "GET", "/genimage?" + token).body, pic.body);  // stable per token
  }
  EXPECT_EQ(Fetch(sim.port(), "GET", "/genimage?NOSUCHTOKEN").status, 404);
  std::string bad = CaptchaTarget("other");
  EXPECT_EQ(Errno(Fetch(sim.port(), "GET", bad)), 2);
}

TEST(FileContentTest, Sha256AndGeneratedBytesAreStable) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Two blocks of padding: the 56-byte case.
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  std::string whole(1000, '\0');
  FileContent(77, 0, whole.data(), whole.size());
  std::string part(333, '\0');
  FileContent(77, 501, part.data(), part.size());
  EXPECT_EQ(part, whole.substr(501, 333));
  std::string other(1000, '\0');
  FileContent(78, 0, other.data(), other.size());
  EXPECT_NE(whole, other);
  EXPECT_EQ(FileSha256Hex(77, 1000), Sha256Hex(whole));
}

class FileServing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.StartFromText(kTestFixture)) << sim.error();
    PageInfo p = ReadPage(sim.port(), "/s/pub");
    Reply r =
        Fetch(sim.port(), "POST", LinkTarget(p), {"Referer:x"}, LinkBody(p, "9876543210987654321"));
    std::string link = nlohmann::json::parse(r.body)["list"][0]["dlink"];
    target = link.substr(link.find("/file/"));
  }
  Reply Get(const std::vector<std::string>& headers = {}, const std::string& method = "GET") {
    return Fetch(sim.port(), method, target, headers);
  }
  static constexpr uint64_t kId = 9876543210987654321u;
  static constexpr uint64_t kSize = 200000;
  ShareSimulator sim;
  std::string target;
};

TEST_F(FileServing, WholeFileRangesAndHead) {
  Reply all = Get();
  ASSERT_EQ(all.status, 200);
  EXPECT_EQ(all.Header("Accept-Ranges"), "bytes");
  EXPECT_EQ(all.body.size(), kSize);
  EXPECT_EQ(Sha256Hex(all.body), FileSha256Hex(kId, kSize));

  struct Case {
    const char* range;
    uint64_t first, last;
  } cases[] = {{"bytes=0-99", 0, 99},
               {"bytes=199990-", 199990, 199999},
               {"bytes=-5", 199995, 199999},
               {"bytes=100-999999", 100, 199999},
               {"bytes=-999999", 0, 199999}};
  for (const auto& c : cases) {
    Reply r = Get({std::string("Range: ") + c.range});
    EXPECT_EQ(r.status, 206) << c.range;
    EXPECT_EQ(r.Header("Content-Range"),
              "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/200000")
        << c.range;
    EXPECT_EQ(r.body, all.body.substr(c.first, c.last - c.first + 1)) << c.range;
  }
  for (const char* range : {"bytes=200000-", "bytes=300000-300010", "bytes=-0"}) {
    Reply r = Get({std::string("Range: ") + range});
    EXPECT_EQ(r.status, 416) << range;
    EXPECT_EQ(r.Header("Content-Range"), "bytes */200000") << range;
  }
  EXPECT_EQ(Get({"Range: bytes=0-1,5-6"}).status, 200);  // several ranges: the whole file
  EXPECT_EQ(Get({"Range: items=0-1"}).status, 200);

  Reply head = Get({}, "HEAD");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("Content-Length"), "200000");
  EXPECT_TRUE(head.body.empty());
  Reply headRange = Get({"Range: bytes=10-19"}, "HEAD");
  EXPECT_EQ(headRange.status, 206);
  EXPECT_EQ(headRange.Header("Content-Length"), "10");

  std::string forged = target;
  forged.replace(forged.find("sign=") + 5, 1, forged[forged.find("sign=") + 5] == 'a' ? "b" : "a");
  EXPECT_EQ(Fetch(sim.port(), "GET", forged).status, 403);
  EXPECT_EQ(Fetch(sim.port(), "POST", target).status, 405);
}

TEST_F(FileServing, IgnoredRangesDroppedConnectionsAndThrottling) {
  sim.SetDownloadOverride(DownloadQuirks{0, true, 0});
  Reply r = Get({"Range: bytes=100-199"});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body.size(), kSize);

  sim.SetDownloadOverride(DownloadQuirks{0, false, 5000});
  Connection c(sim.port());
  ASSERT_TRUE(c.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::string partial;
  EXPECT_FALSE(c.Read(false, &partial).has_value());
  EXPECT_EQ(partial.size(), 5000u);  // then the server hung up mid-body
  std::string expected(5000, '\0');
  FileContent(kId, 0, expected.data(), expected.size());
  EXPECT_EQ(partial, expected);

  sim.SetDownloadOverride(DownloadQuirks{100000, false, 0});
  auto start = std::chrono::steady_clock::now();
  Reply slow = Get({"Range: bytes=0-49999"});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(slow.body.size(), 50000u);
  EXPECT_GE(seconds, 0.45);  // 50 kB at 100 kB/s
  EXPECT_LT(seconds, 5.0);
}

TEST_F(FileServing, StopEndsAThrottledDownloadPromptly) {
  sim.SetDownloadOverride(DownloadQuirks{1000, false, 0});
  Connection c(sim.port());
  ASSERT_TRUE(c.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
  Connection idle(sim.port());
  ASSERT_TRUE(idle.Send("GET /s/pub HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(idle.Read().has_value());  // kept alive, now idle
  auto start = std::chrono::steady_clock::now();
  sim.Stop();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
  EXPECT_TRUE(idle.ClosedWithin(1000));
}

}  // namespace
}  // namespace sf::sim::test
