#include "module/memory_module.h"

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "module/module_platform.h"
#include "module/pe_image.h"

namespace sf {
namespace {

// Imports come from the caller's resolver first, then from the host's shared library of the
// imported name, each library opened at most once per load and only when it is needed.
class HostImports final : public pe::ImportSource {
 public:
  HostImports(MemoryModule::ImportResolver resolver, void* userData, std::vector<void*>* opened)
      : resolver_(resolver), userData_(userData), opened_(opened) {}

  uintptr_t Find(const char* dllName, const char* procName) override {
    if (resolver_ != nullptr) {
      if (uintptr_t address = resolver_(dllName, procName, userData_)) return address;
    }
    // An ordinal reaches the host's libraries as decimal text, a name no symbol has.
    void* library = Library(dllName);
    return library != nullptr ? module_platform::FindSymbol(library, procName) : 0;
  }

 private:
  void* Library(const char* name) {
    for (const auto& [tried, library] : tried_) {
      if (tried == name) return library;
    }
    void* library = module_platform::OpenLibrary(name);
    tried_.emplace_back(name, library);
    if (library != nullptr) opened_->push_back(library);
    return library;
  }

  MemoryModule::ImportResolver resolver_;
  void* userData_;
  std::vector<void*>* opened_;
  std::vector<std::pair<std::string, void*>> tried_;
};

bool CopyInto(std::span<uint8_t> block, uint64_t offset, std::span<const uint8_t> bytes) {
  if (!pe::InRange(block.size(), offset, bytes.size())) return false;
  if (!bytes.empty()) std::memcpy(block.data() + offset, bytes.data(), bytes.size());
  return true;
}

}  // namespace

bool MemoryModule::Load(std::span<const uint8_t> image, ImportResolver resolver, void* userData) {
  if (!Free()) return false;
  std::optional<pe::ImagePlan> plan = pe::PlanImage(image);
  if (!plan) return false;
  const pe::NtHeaders& headers = plan->headers;

  // A 32-bit image holds its absolute addresses in 32 bits, so its block must lie below 4 GiB.
  const uint64_t limit = headers.pe32plus ? UINT64_MAX : uint64_t{1} << 32;
  block_ = module_platform::MapBlock(plan->imageSize, headers.imageBase, limit);
  if (block_ == nullptr) return false;
  size_ = plan->imageSize;
  entryRva_ = headers.entryRva;
  dll_ = (headers.characteristics & pe::kFileDll) != 0;
  hostRuns_ = module_platform::HostRuns(headers.machine, headers.pe32plus);

  const std::span<uint8_t> block(block_, size_);
  bool ok = CopyInto(block, 0, image.first(plan->headersLength));
  for (const pe::SectionPlacement& s : plan->sections) {
    ok = ok && CopyInto(block, s.virtualAddress, image.subspan(s.rawOffset, s.rawSize));
  }
  // Without relocations the image can only run where it was linked to.
  const uint64_t delta = Base() - headers.imageBase;
  if (headers.directories[pe::kDirectoryBaseReloc].Size > 0) {
    ok = ok && pe::ApplyRelocations(block, headers, delta);
  } else {
    ok = ok && delta == 0;
  }
  HostImports imports(resolver, userData, &libraries_);
  ok = ok && pe::BindImports(block, headers, imports);
  if (ok && dll_ && entryRva_ != 0 && CallEntryPoint(pe::kDllProcessAttach) == 0) {
    CallEntryPoint(pe::kDllProcessDetach);
    ok = false;
  }
  if (!ok) Release();
  return ok;
}

bool MemoryModule::Free() {
  if (block_ == nullptr) return true;
  if (dll_ && entryRva_ != 0) CallEntryPoint(pe::kDllProcessDetach);
  Release();
  return block_ == nullptr;
}

uintptr_t MemoryModule::GetProc(std::string_view name) const {
  if (block_ == nullptr) return 0;
  std::optional<uint32_t> rva = pe::FindExport(std::span<const uint8_t>(block_, size_), name);
  return rva ? Base() + *rva : 0;
}

uintptr_t MemoryModule::EntryPoint() const {
  return block_ != nullptr && entryRva_ != 0 ? Base() + entryRva_ : 0;
}

int32_t MemoryModule::CallEntryPoint(uint32_t reason) const {
  const uintptr_t entry = Base() + entryRva_;
  if (caller_) return caller_(entry, 0, reason, 0);
  if (hostRuns_) return module_platform::CallEntry(entry, 0, reason, 0);
  // Code for another machine cannot run here; the image is kept for its tables alone.
  return 1;
}

void MemoryModule::Release() {
  if (!module_platform::UnmapBlock(block_, size_)) return;
  for (void* library : libraries_) module_platform::CloseLibrary(library);
  libraries_.clear();
  block_ = nullptr;
  size_ = 0;
  entryRva_ = 0;
  dll_ = false;
  hostRuns_ = false;
}

}  // namespace sf
