// A 64-bit image for this very machine, with a few bytes of hand-assembled x86-64 code, loaded
// away from its preferred base and actually run.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "module/memory_module.h"
#include "sample_images.h"

namespace sf {
namespace {

#if defined(__x86_64__)

using namespace test;

std::vector<uint32_t> gNotified;
std::vector<int32_t> gAdded;
int32_t gAttachAnswer = 1;

// The imports the image's code calls, with the convention the image was built for.
__attribute__((ms_abi)) int32_t Notify(uint32_t reason) {
  gNotified.push_back(reason);
  return reason == 1 ? gAttachAnswer : 1;
}

__attribute__((ms_abi)) int32_t AddThousand(int32_t value) {
  gAdded.push_back(value);
  return value + 1000;
}

uintptr_t ResolveHost(const char* dll, const char* proc, void*) {
  if (std::strcmp(dll, "host.dll") != 0) return 0;
  if (std::strcmp(proc, "Notify") == 0) return reinterpret_cast<uintptr_t>(&Notify);
  if (std::strcmp(proc, "AddThousand") == 0) return reinterpret_cast<uintptr_t>(&AddThousand);
  return 0;
}

constexpr uint32_t kEntry = kText;
constexpr uint32_t kCompute = kText + 0x40;

// entry(instance, reason, reserved): return Notify(reason)
// Compute(): return AddThousand(*kValue)
// Both reach their data and imports through absolute addresses that must be relocated.
std::vector<uint8_t> HostImage() {
  PeBuilder b = SampleImage(PeKind::kPe32Plus, /*relocations=*/false);
  const std::vector<uint32_t> slots =
      b.PutImports(kTables, {{"host.dll", {"Notify", "AddThousand"}}});
  const uint8_t entry[] = {
      0x48, 0x83, 0xEC, 0x28,                    // sub rsp, 0x28 (shadow space, 16-byte alignment)
      0x89, 0xD1,                                // mov ecx, edx
      0x48, 0xB8, 0,    0,    0, 0, 0, 0, 0, 0,  // mov rax, &slot(Notify)
      0xFF, 0x10,                                // call [rax]
      0x48, 0x83, 0xC4, 0x28,                    // add rsp, 0x28
      0xC3,                                      // ret
  };
  const uint8_t compute[] = {
      0x48, 0x83, 0xEC, 0x28,                    // sub rsp, 0x28
      0x48, 0xB8, 0,    0,    0, 0, 0, 0, 0, 0,  // mov rax, &value
      0x8B, 0x08,                                // mov ecx, [rax]
      0x48, 0xB8, 0,    0,    0, 0, 0, 0, 0, 0,  // mov rax, &slot(AddThousand)
      0xFF, 0x10,                                // call [rax]
      0x48, 0x83, 0xC4, 0x28,                    // add rsp, 0x28
      0xC3,                                      // ret
  };
  b.Put(kEntry, entry);
  b.PutAddress(kEntry + 8, slots[0]);
  b.Put(kCompute, compute);
  b.PutAddress(kCompute + 6, kValue);
  b.PutAddress(kCompute + 18, slots[1]);
  b.PutRelocations(kRelocations);
  b.PutExports(kTables + 0x400, 1, {kCompute}, {{"Compute", 0}});
  b.SetEntryPoint(kEntry);
  b.Put32(kValue, 1234);
  return b.Build();
}

using ComputeFunction = int32_t(__attribute__((ms_abi)) *)();

TEST(MemoryModuleHostImage, RunsRelocatedCodeThatCallsResolvedImports) {
  gNotified.clear();
  gAdded.clear();
  gAttachAnswer = 1;
  Reservation taken(kBase64, 0x10000);
  MemoryModule m;
  ASSERT_TRUE(m.Load(HostImage(), &ResolveHost));
  EXPECT_NE(m.Base(), kBase64);
  EXPECT_EQ(gNotified, std::vector<uint32_t>{1});

  const uintptr_t compute = m.GetProc("Compute");
  ASSERT_EQ(compute, m.Base() + kCompute);
  EXPECT_EQ(reinterpret_cast<ComputeFunction>(compute)(), 2234);
  EXPECT_EQ(gAdded, std::vector<int32_t>{1234});

  EXPECT_TRUE(m.Free());
  EXPECT_EQ(gNotified, (std::vector<uint32_t>{1, 0}));
}

TEST(MemoryModuleHostImage, RefusedAttachIsDetachedAndUnloaded) {
  gNotified.clear();
  gAttachAnswer = 0;
  UsageMark mark;
  MemoryModule m;
  EXPECT_FALSE(m.Load(HostImage(), &ResolveHost));
  EXPECT_EQ(gNotified, (std::vector<uint32_t>{1, 0}));
  EXPECT_TRUE(mark.NothingHeld());
  gAttachAnswer = 1;
}

#endif

}  // namespace
}  // namespace sf
