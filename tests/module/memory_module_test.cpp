#include "module/memory_module.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sample_images.h"

namespace sf {
namespace {

using namespace test;

constexpr PeKind kKinds[] = {PeKind::kPe32, PeKind::kPe32Plus};

const char* KindName(PeKind kind) {
  return kind == PeKind::kPe32 ? "PE32" : "PE32+";
}

// Supplies every import with an address a 32-bit thunk can hold, and logs what was asked.
struct Supplier {
  std::vector<std::string> asked;
  uintptr_t answer = 0x10000;  // 0: supply nothing

  static uintptr_t Resolve(const char* dll, const char* proc, void* self) {
    auto* s = static_cast<Supplier*>(self);
    s->asked.push_back(std::string(dll) + "!" + proc);
    return s->answer == 0 ? 0 : s->answer + s->asked.size();
  }
};

TEST(MemoryModuleRefuses, BrokenHeadersWithoutMappingAnything) {
  using Damage = std::function<void(std::vector<uint8_t>&, const PeBuilder&)>;
  const std::vector<std::pair<const char*, Damage>> cases = {
      {"63 bytes", [](auto& i, auto&) { i.resize(63); }},
      {"a bare DOS header", [](auto& i, auto&) { i.resize(64); }},
      {"no MZ", [](auto& i, auto&) { i[0] = 'X'; }},
      {"NT headers cut short", [](auto& i, auto&) { i.resize(kOptionalOffset + 100); }},
      {"negative e_lfanew", [](auto& i, auto&) { Poke32(i, kLfanewOffset, 0xFFFFFFF0); }},
      {"e_lfanew past the end", [](auto& i, auto&) { Poke32(i, kLfanewOffset, i.size() - 8); }},
      {"no PE signature", [](auto& i, auto&) { i[kNtOffset + 1] = 'X'; }},
      {"unknown optional header", [](auto& i, auto&) { Poke16(i, kOptionalOffset, 0x107); }},
      {"optional header too short", [](auto& i, auto&) { Poke16(i, kOptionalSizeOffset, 200); }},
      {"not an executable image",
       [](auto& i, auto&) { Poke16(i, kCharacteristicsOffset, 0x2000); }},
      {"section table cut short", [](auto& i, auto&) { Poke16(i, kSectionCountOffset, 0xFFFF); }},
      {"zero section alignment", [](auto& i, auto&) { Poke32(i, kSectionAlignmentOffset, 0); }},
      {"section data past the end",
       [](auto& i, auto& b) {
         Poke32(i, b.SectionTableOffset() + 40 + kSectionRawPointer, i.size() - 0x100);
       }},
      {"section data longer than the buffer",
       [](auto& i, auto& b) { Poke32(i, b.SectionTableOffset() + kSectionRawSize, i.size()); }},
      {"image of 512 MiB", [](auto& i, auto&) { Poke32(i, kSizeOfImageOffset, 512u << 20); }},
      {"entry point outside the image",
       [](auto& i, auto&) { Poke32(i, kEntryPointOffset, 0x100000); }},
  };
  for (PeKind kind : kKinds) {
    const PeBuilder b = SampleImage(kind);
    MemoryModule control;
    ASSERT_TRUE(control.Load(b.Build())) << KindName(kind);
    control.Free();
    for (const auto& [what, damage] : cases) {
      std::vector<uint8_t> image = b.Build();
      damage(image, b);
      UsageMark mark;
      MemoryModule m;
      EXPECT_FALSE(m.Load(image)) << KindName(kind) << ": " << what;
      EXPECT_EQ(m.Base(), 0u) << what;
      EXPECT_EQ(mark.BlocksMapped(), 0u) << KindName(kind) << ": " << what;
    }
  }
}

TEST(MemoryModuleRefuses, TablesPointingOutsideTheImageAndReleasesIt) {
  // Each case sets up tables inside the sample image that reach past its end (0x3000).
  using Setup = std::function<void(PeBuilder&)>;
  auto descriptor = [](PeBuilder& b, uint32_t lookup, uint32_t name, uint32_t first) {
    b.Put32(kTables, lookup);
    b.Put32(kTables + 12, name);
    b.Put32(kTables + 16, first);
    b.PutText(kTables + 0x40, "a.dll");
    b.SetDirectory(kImportDirectory, kTables, 40);
  };
  auto nameThunk = [](PeBuilder& b, uint32_t at) {
    b.PutText(kTables + 0x82, "Alpha");
    b.Put32(at, kTables + 0x80);
  };
  const std::vector<std::pair<const char*, Setup>> cases = {
      {"relocation directory past the end",
       [](PeBuilder& b) { b.SetDirectory(kRelocationDirectory, kRelocations, 0x1000); }},
      {"relocation block shorter than its header",
       [](PeBuilder& b) {
         b.Put32(kRelocations + 4, 4);
         b.SetDirectory(kRelocationDirectory, kRelocations, 16);
       }},
      {"relocation block longer than its directory",
       [](PeBuilder& b) { b.SetDirectory(kRelocationDirectory, kRelocations, 10); }},
      {"fix-up past the end",
       [](PeBuilder& b) {
         b.Put16(kRelocations + 8, 0x3FFE);
         b.Put16(kRelocations + 10, 0xAFFE);
       }},
      {"import descriptors past the end",
       [](PeBuilder& b) { b.SetDirectory(kImportDirectory, kImageEnd - 10, 20); }},
      {"library name running off the end",
       [&](PeBuilder& b) {
         b.Put32(kImageEnd - 4, 0x41414141);
         descriptor(b, 0, kImageEnd - 4, kTables + 0x100);
       }},
      {"import name outside the image",
       [&](PeBuilder& b) {
         descriptor(b, 0, kTables + 0x40, kTables + 0x100);
         b.Put32(kTables + 0x100, 0x7FFF0000);
       }},
      {"thunks running off the end",
       [&](PeBuilder& b) {
         const uint32_t at = kImageEnd - static_cast<uint32_t>(b.addressWidth());
         descriptor(b, 0, kTables + 0x40, at);
         nameThunk(b, at);
       }},
      {"address table outside the image",
       [&](PeBuilder& b) {
         descriptor(b, kTables + 0x100, kTables + 0x40, 0x7000);
         nameThunk(b, kTables + 0x100);
       }},
  };
  for (PeKind kind : kKinds) {
    for (const auto& [what, setup] : cases) {
      PeBuilder b = SampleImage(kind);
      setup(b);
      Supplier supplier;
      UsageMark mark;
      MemoryModule m;
      EXPECT_FALSE(m.Load(b.Build(), &Supplier::Resolve, &supplier))
          << KindName(kind) << ": " << what;
      EXPECT_EQ(m.Base(), 0u);
      EXPECT_TRUE(mark.NothingHeld()) << KindName(kind) << ": " << what;
    }
  }
}

uint64_t PointerAt(const MemoryModule& m, PeKind kind) {
  return kind == PeKind::kPe32 ? Load32(m.Base() + kPointer) : Load64(m.Base() + kPointer);
}

TEST(MemoryModuleRelocation, ImageMovedOffItsTakenBasePointsIntoItsNewPlace) {
  for (PeKind kind : kKinds) {
    const PeBuilder b = SampleImage(kind);
    Reservation taken(b.imageBase(), 0x10000);
    MemoryModule m;
    ASSERT_TRUE(m.Load(b.Build())) << KindName(kind);
    EXPECT_NE(m.Base(), b.imageBase());
    EXPECT_EQ(Load32(m.Base() + kValue), 0xC0FFEEu);
    if (kind == PeKind::kPe32) {
      // 32-bit absolute addresses can only reach a block in the low 4 GiB.
      EXPECT_LE(m.Base() + kImageEnd, uint64_t{1} << 32);
      EXPECT_EQ(PointerAt(m, kind), static_cast<uint32_t>(m.Base() + kValue));
    } else {
      EXPECT_EQ(PointerAt(m, kind), m.Base() + kValue);
    }
    EXPECT_TRUE(m.Free());
  }
}

TEST(MemoryModuleRelocation, ImageAtItsFreeBaseKeepsItsLinkedAddresses) {
  for (PeKind kind : kKinds) {
    for (bool relocations : {true, false}) {
      const PeBuilder b = SampleImage(kind, relocations);
      MemoryModule m;
      ASSERT_TRUE(m.Load(b.Build())) << KindName(kind);
      EXPECT_EQ(m.Base(), b.imageBase());
      EXPECT_EQ(PointerAt(m, kind), b.imageBase() + kValue);
      m.Free();
    }
  }
}

TEST(MemoryModuleRelocation, ImageWithoutRelocationsIsRefusedAwayFromItsBase) {
  for (PeKind kind : kKinds) {
    const PeBuilder b = SampleImage(kind, /*relocations=*/false);
    Reservation taken(b.imageBase(), 0x10000);
    UsageMark mark;
    MemoryModule m;
    EXPECT_FALSE(m.Load(b.Build())) << KindName(kind);
    EXPECT_TRUE(mark.NothingHeld());
  }
}

TEST(MemoryModuleImports, ResolverSuppliesNamesAndOrdinalsFromTheLookupTable) {
  for (PeKind kind : kKinds) {
    for (bool lookupTables : {true, false}) {
      PeBuilder b = SampleImage(kind);
      std::vector<uint32_t> slots = b.PutImports(
          kTables, {{"fake.dll", {"Alpha", "#7"}}, {"other.dll", {"Beta"}}}, lookupTables);
      // An address table bound ahead of time holds addresses, not names; with a lookup table
      // the names come from there.
      if (lookupTables) {
        for (uint32_t slot : slots) b.Put32(slot, 0xDEAD);
      }
      Supplier supplier;
      MemoryModule m;
      ASSERT_TRUE(m.Load(b.Build(), &Supplier::Resolve, &supplier)) << KindName(kind);
      EXPECT_EQ(supplier.asked,
                (std::vector<std::string>{"fake.dll!Alpha", "fake.dll!7", "other.dll!Beta"}));
      for (size_t i = 0; i < slots.size(); ++i) {
        const uint64_t bound =
            kind == PeKind::kPe32 ? Load32(m.Base() + slots[i]) : Load64(m.Base() + slots[i]);
        EXPECT_EQ(bound, 0x10000u + i + 1) << KindName(kind) << " slot " << i;
      }
      m.Free();
    }
  }
}

TEST(MemoryModuleImports, ImportNobodySuppliesFailsTheLoad) {
  struct Case {
    PeKind kind;
    PeBuilder::Library library;
    uintptr_t answer;
  };
  const Case cases[] = {
      {PeKind::kPe32Plus, {"no-such-library.dll", {"Alpha"}}, 0},
      {PeKind::kPe32Plus, {"libc.so.6", {"no_such_symbol_anywhere"}}, 0},
      {PeKind::kPe32Plus, {"libc.so.6", {"#3"}}, 0},  // shared libraries export no ordinals
      {PeKind::kPe32, {"libc.so.6", {"strlen"}}, 0},  // found, but beyond a 32-bit thunk
      {PeKind::kPe32, {"fake.dll", {"Alpha"}}, uintptr_t{1} << 32},
  };
  for (const Case& c : cases) {
    PeBuilder b = SampleImage(c.kind);
    b.PutImports(kTables, {c.library});
    Supplier supplier;
    supplier.answer = c.answer;
    UsageMark mark;
    MemoryModule m;
    EXPECT_FALSE(m.Load(b.Build(), &Supplier::Resolve, &supplier)) << c.library.name;
    EXPECT_TRUE(mark.NothingHeld()) << c.library.name;
  }
}

TEST(MemoryModuleImports, HostLibrariesSupplyWhatTheResolverDoesNot) {
  PeBuilder b = SampleImage(PeKind::kPe32Plus);
  const std::vector<uint32_t> slots = b.PutImports(kTables, {{"libc.so.6", {"strlen"}}});
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(libc, nullptr);
  UsageMark mark;
  MemoryModule m;
  ASSERT_TRUE(m.Load(b.Build()));
  EXPECT_EQ(Load64(m.Base() + slots[0]), reinterpret_cast<uintptr_t>(dlsym(libc, "strlen")));
  EXPECT_EQ(mark.LibrariesOpen(), 1u);
  EXPECT_TRUE(m.Free());
  EXPECT_TRUE(mark.NothingHeld());
  dlclose(libc);
}

struct EntryCall {
  uintptr_t entry, instance;
  uint32_t reason;
  uintptr_t reserved;
  uint32_t code;  // the first bytes at the entry when it was called
  bool operator==(const EntryCall&) const = default;
};

// A 32-bit DLL whose entry point is a recognisable marker; a stand-in records the calls.
struct EntryRecorder {
  std::vector<EntryCall> calls;
  int32_t attachAnswer = 1;

  MemoryModule::EntryCaller Caller() {
    return [this](uintptr_t entry, uintptr_t instance, uint32_t reason, uintptr_t reserved) {
      calls.push_back({entry, instance, reason, reserved, Load32(entry)});
      return reason == 1 ? attachAnswer : 1;
    };
  }
};

std::vector<uint8_t> DllWithEntry(uint16_t characteristics = 0x2102, uint32_t entry = kText + 8) {
  PeBuilder b = SampleImage(PeKind::kPe32);
  b.Put32(kText + 8, 0x5EED5EED);
  b.SetEntryPoint(entry);
  b.SetCharacteristics(characteristics);
  return b.Build();
}

TEST(MemoryModuleEntry, RefusedAttachIsFollowedByDetachAndFailsTheLoad) {
  EntryRecorder recorder;
  recorder.attachAnswer = 0;
  UsageMark mark;
  MemoryModule m;
  m.SetEntryCaller(recorder.Caller());
  EXPECT_FALSE(m.Load(DllWithEntry()));
  ASSERT_EQ(recorder.calls.size(), 2u);
  const uintptr_t entry = recorder.calls[0].entry;
  EXPECT_EQ(recorder.calls[0], (EntryCall{entry, 0, 1, 0, 0x5EED5EED}));
  EXPECT_EQ(recorder.calls[1], (EntryCall{entry, 0, 0, 0, 0x5EED5EED}));
  EXPECT_EQ(m.Base(), 0u);
  EXPECT_TRUE(mark.NothingHeld());
}

TEST(MemoryModuleEntry, AttachOnLoadAndDetachOnFreeOrReload) {
  EntryRecorder recorder;
  MemoryModule m;
  m.SetEntryCaller(recorder.Caller());
  ASSERT_TRUE(m.Load(DllWithEntry()));
  const uintptr_t entry = m.Base() + kText + 8;
  EXPECT_EQ(m.EntryPoint(), entry);
  EXPECT_EQ(recorder.calls, (std::vector<EntryCall>{{entry, 0, 1, 0, 0x5EED5EED}}));

  // Loading again unloads the first image, detach included.
  UsageMark mark;
  ASSERT_TRUE(m.Load(DllWithEntry()));
  ASSERT_EQ(recorder.calls.size(), 3u);
  EXPECT_EQ(recorder.calls[1], (EntryCall{entry, 0, 0, 0, 0x5EED5EED}));
  EXPECT_EQ(recorder.calls[2].reason, 1u);
  EXPECT_TRUE(mark.NothingHeld());

  EXPECT_TRUE(m.Free());
  EXPECT_EQ(recorder.calls.back().reason, 0u);
  EXPECT_EQ(m.Base(), 0u);
  EXPECT_EQ(m.EntryPoint(), 0u);
  EXPECT_TRUE(m.Free());
}

TEST(MemoryModuleEntry, OnlyDllsWithAnEntryPointAreCalled) {
  EntryRecorder recorder;
  MemoryModule m;
  m.SetEntryCaller(recorder.Caller());
  ASSERT_TRUE(m.Load(DllWithEntry(/*executable, not a DLL*/ 0x0102)));
  EXPECT_NE(m.EntryPoint(), 0u);
  ASSERT_TRUE(m.Load(DllWithEntry(0x2102, /*no entry point*/ 0)));
  EXPECT_EQ(m.EntryPoint(), 0u);
  m.Free();
  EXPECT_TRUE(recorder.calls.empty());
}

TEST(MemoryModuleEntry, CodeForAnotherMachineIsMappedButNeverRun) {
  // Without a stand-in the 32-bit entry point is left alone; were it called, the marker bytes
  // would crash the test.
  MemoryModule m;
  ASSERT_TRUE(m.Load(DllWithEntry()));
  EXPECT_EQ(m.EntryPoint(), m.Base() + kText + 8);
  EXPECT_TRUE(m.Free());
}

}  // namespace
}  // namespace sf
