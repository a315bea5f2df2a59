#include <gtest/gtest.h>

#include <functional>

#include "module/memory_module.h"
#include "sample_images.h"

namespace sf {
namespace {

using namespace test;

constexpr uint32_t kExports = kTables;

// Functions (Base 1): ordinal 1 at kText+0x10, 2 at kText+0x20, 3 empty, 4 forwarded (its
// address lies inside the export directory), 5 at kText+0x50, the last one.
PeBuilder ExportingImage(PeKind kind) {
  PeBuilder b = SampleImage(kind);
  b.PutExports(
      kExports, 1, {kText + 0x10, kText + 0x20, 0, kExports + 40, kText + 0x50},
      {{"Alpha", 0}, {"Beta", 1}, {"Empty", 2}, {"Forward", 3}, {"Broken", 9}, {"Last", 4}});
  return b;
}

TEST(MemoryModuleExports, ByNameAndByOrdinal) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"Alpha", kText + 0x10},
      {"Beta", kText + 0x20},
      {"Last", kText + 0x50},
      {"alpha", 0},  // names match case-sensitively
      {"Gamma", 0},
      {"Empty", 0},
      {"Forward", 0},
      {"Broken", 0},  // its ordinal index lies past NumberOfFunctions
      {"", 0},
      {"1", kText + 0x10},
      {"001", kText + 0x10},
      {"5", kText + 0x50},
      {"0", 0},  // Base 1: index -1
      {"6", 0},  // Base + NumberOfFunctions
      {"3", 0},
      {"4", 0},
      {"+1", 0},
      {"1 ", 0},
      {"99999999999999999999999", 0},
  };
  for (PeKind kind : {PeKind::kPe32, PeKind::kPe32Plus}) {
    MemoryModule m;
    ASSERT_TRUE(m.Load(ExportingImage(kind).Build()));
    for (const auto& [name, rva] : cases) {
      EXPECT_EQ(m.GetProc(name), rva == 0 ? 0 : m.Base() + rva) << '"' << name << '"';
    }
    m.Free();
    EXPECT_EQ(m.GetProc("Alpha"), 0u);
  }
}

TEST(MemoryModuleExports, NamesAreFoundWhereverTheyAreStored) {
  // The name table lists "Zed" first although it is stored after "Alpha", with other bytes
  // in between: each name is reached through its own table entry.
  PeBuilder b = SampleImage(PeKind::kPe32);
  b.Put32(kExports + 16, 1);                // Base
  b.Put32(kExports + 20, 2);                // NumberOfFunctions
  b.Put32(kExports + 24, 2);                // NumberOfNames
  b.Put32(kExports + 28, kExports + 0x40);  // AddressOfFunctions
  b.Put32(kExports + 32, kExports + 0x50);  // AddressOfNames
  b.Put32(kExports + 36, kExports + 0x60);  // AddressOfNameOrdinals
  b.Put32(kExports + 0x40, kText + 0x10);
  b.Put32(kExports + 0x44, kText + 0x20);
  b.Put32(kExports + 0x50, kExports + 0x300);
  b.Put32(kExports + 0x54, kExports + 0x100);
  b.Put16(kExports + 0x60, 1);
  b.Put16(kExports + 0x62, 0);
  b.PutText(kExports + 0x100, "Alpha");
  b.PutText(kExports + 0x106, "junk");
  b.PutText(kExports + 0x300, "Zed");
  b.SetDirectory(kExportDirectory, kExports, 40);
  MemoryModule m;
  ASSERT_TRUE(m.Load(b.Build()));
  EXPECT_EQ(m.GetProc("Zed"), m.Base() + kText + 0x20);
  EXPECT_EQ(m.GetProc("Alpha"), m.Base() + kText + 0x10);
  EXPECT_EQ(m.GetProc("junk"), 0u);
  m.Free();
}

TEST(MemoryModuleExports, TablesOutsideTheImageFindNothing) {
  struct Case {
    const char* what;
    std::function<void(PeBuilder&)> damage;
    bool ordinalsToo;  // whether the damage also hides ordinal 1
  };
  const Case cases[] = {
      {"directory", [](PeBuilder& b) { b.SetDirectory(kExportDirectory, kImageEnd - 8, 40); },
       true},
      {"functions", [](PeBuilder& b) { b.Put32(kExports + 28, 0x7FFFFF00); }, true},
      {"names", [](PeBuilder& b) { b.Put32(kExports + 32, kImageEnd - 2); }, false},
      {"ordinals", [](PeBuilder& b) { b.Put32(kExports + 36, 0xFFFFFFF0); }, false},
      {"function address", [](PeBuilder& b) { b.Put32(kExports + 40, 0x100000); }, true},
  };
  for (const auto& [what, damage, ordinalsToo] : cases) {
    PeBuilder b = ExportingImage(PeKind::kPe32);
    damage(b);
    MemoryModule m;
    ASSERT_TRUE(m.Load(b.Build())) << what;
    EXPECT_EQ(m.GetProc("Alpha"), 0u) << what;
    EXPECT_EQ(m.GetProc("1") == 0, ordinalsToo) << what;
    m.Free();
  }
}

}  // namespace
}  // namespace sf
