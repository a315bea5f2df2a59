#include "module/window_skin.h"

#include <gtest/gtest.h>

#include "sample_images.h"

namespace sf {
namespace {

using test::PeBuilder;
using test::PeKind;

// A 32-bit skin library exporting SkinH_AttachRes (its code is never run here).
std::vector<uint8_t> SkinLibraryImage() {
  PeBuilder b = test::SampleImage(PeKind::kPe32);
  b.PutText(test::kTables + 0x100, "skin");
  b.PutExports(test::kTables, 1, {test::kText}, {{"SkinH_AttachRes", 0}});
  return b.Build();
}

TEST(WindowSkin, AttachPassesTheSkinItsLengthNoPasswordAndTheNumbers) {
  std::vector<uint8_t> image = SkinLibraryImage();
  WindowSkin skin;
  ASSERT_TRUE(skin.LoadLibraryImage(image));
  struct Call {
    uintptr_t proc;
    const uint8_t* data;
    int32_t length;
    const char* password;
    int32_t a, b, c;
  };
  std::vector<Call> calls;
  skin.SetAttachCall([&](uintptr_t proc, const uint8_t* data, int32_t length, const char* password,
                         int32_t a, int32_t b, int32_t c) {
    calls.push_back({proc, data, length, password, a, b, c});
    return 1;
  });
  std::vector<uint8_t> file(7012, 0x5A);
  file[0] = '.';
  EXPECT_TRUE(skin.AttachSkin(file, nullptr, 0, 0, 0));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].proc, skin.module().Base() + test::kText);
  EXPECT_EQ(calls[0].length, 7012);
  EXPECT_EQ(calls[0].password, nullptr);
  EXPECT_EQ(calls[0].a + calls[0].b + calls[0].c, 0);
  // The library reads the program's own copy, which stays valid for the whole run.
  EXPECT_EQ(calls[0].data, skin.skinFile().data());
  EXPECT_EQ(skin.skinFile(), file);
  skin.module().Free();
}

TEST(WindowSkin, WithoutALibraryForThisHostTheAttachIsSkipped) {
  WindowSkin none;
  EXPECT_FALSE(none.LoadLibraryImage(CarriedSkinLibrary()));
  EXPECT_FALSE(none.AttachSkin(std::vector<uint8_t>{1, 2, 3}, nullptr, 0, 0, 0));
  EXPECT_EQ(none.skinFile().size(), 3u);  // kept all the same

  // A 32-bit library maps, but its code cannot run on this host: skipped, not called.
  std::vector<uint8_t> image = SkinLibraryImage();
  WindowSkin foreign;
  ASSERT_TRUE(foreign.LoadLibraryImage(image));
  EXPECT_FALSE(foreign.module().RunsOnHost());
  EXPECT_FALSE(foreign.AttachSkin(std::vector<uint8_t>(7012), nullptr, 0, 0, 0));
  foreign.module().Free();

  // A library without the export gives no address and nothing to call.
  PeBuilder plain = test::SampleImage(PeKind::kPe32);
  std::vector<uint8_t> plainImage = plain.Build();
  WindowSkin exportless;
  ASSERT_TRUE(exportless.LoadLibraryImage(plainImage));
  int calls = 0;
  exportless.SetAttachCall([&](uintptr_t, const uint8_t*, int32_t, const char*, int32_t, int32_t,
                               int32_t) { return ++calls; });
  EXPECT_FALSE(exportless.AttachSkin(std::vector<uint8_t>(10), nullptr, 0, 0, 0));
  EXPECT_EQ(calls, 0);
  exportless.module().Free();
}

}  // namespace
}  // namespace sf
