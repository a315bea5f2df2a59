#include "download/task_records.h"

#include <cstring>
#include <unordered_map>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "engine_api/engine_api.h"

namespace sf {
namespace {

// Field names are given in UTF-8 here and keyed by their GBK bytes, like every internal text.
// Each is converted once per thread: a poll reads several fields of every running download.
const std::string& N(const char* utf8) {
  thread_local std::unordered_map<const char*, std::string> converted;
  auto [it, fresh] = converted.try_emplace(utf8);
  if (fresh) it->second = Utf8ToGbk(utf8);
  return it->second;
}

std::string Bool(bool on) {
  return std::string(1, on ? '\1' : '\0');
}

std::string LittleEndian(int64_t v, int width) {
  std::string out(static_cast<size_t>(width), '\0');
  auto u = static_cast<uint64_t>(v);
  for (int i = 0; i < width; ++i) out[static_cast<size_t>(i)] = static_cast<char>(u >> (8 * i));
  return out;
}

int64_t FromLittleEndian(std::string_view bytes) {
  uint64_t u = 0;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i)
    u |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  // Sign-extend from the field's width.
  size_t bits = bytes.size() * 8;
  if (bits > 0 && bits < 64 && (u >> (bits - 1)) & 1) u |= ~uint64_t{0} << bits;
  return static_cast<int64_t>(u);
}

namespace lp = layout::param;
namespace li = layout::info;

// A field's value when the record is laid out; fields not given start zero.
struct Given {
  layout::Field field;
  std::string value;
};

// Adds the fields in the layout's order, so each lands at the offset the layout gives it. A
// failure stops there: the fields added so far stay, as the block does.
template <size_t Fields, size_t Values>
void LayOut(FieldRecordBuffer& buffer, const layout::Field (&fields)[Fields],
            const Given (&given)[Values]) {
  for (const layout::Field& f : fields) {
    std::optional<std::string_view> value;
    for (const Given& g : given)
      if (g.field.offset == f.offset) value = g.value;
    if (!buffer.AddField(N(f.name), static_cast<int>(f.width), value)) break;
  }
}

// A wide pointer argument needs a real UTF-16 buffer with its terminator.
std::u16string Wide16(std::string_view gbk) {
  return GbkToUtf16(gbk);
}

}  // namespace

std::string ToWide(std::string_view gbk) {
  std::u16string w = GbkToUtf16(gbk);
  w.push_back(u'\0');
  return Utf16ToBytes(w);
}

std::string FromWide(std::string_view bytes) {
  std::u16string w = BytesToUtf16(bytes);
  auto zero = w.find(u'\0');
  if (zero != std::u16string::npos) w.resize(zero);
  return Utf16ToGbk(w);
}

uint8_t* TaskParamRecord::Init(std::string_view url, std::string_view referer,
                               std::string_view cookies, std::string_view fileName,
                               std::string_view saveDir, bool givenAddressOnly, bool noAutoRename,
                               bool resume) {
  if (buffer_.Create(1, 0xCC, static_cast<int>(lp::kSize)) == nullptr) return nullptr;
  // Every other field starts zero.
  const Given given[] = {
      {lp::kUrl, ToWide(url)},
      {lp::kReferer, ToWide(referer)},
      {lp::kCookies, ToWide(cookies)},
      {lp::kFileName, ToWide(fileName)},
      {lp::kSaveDir, ToWide(saveDir)},
      {lp::kGivenAddressOnly, Bool(givenAddressOnly)},
      {lp::kReserved1, std::string(1, '\5')},
      {lp::kNoAutoRename, Bool(noAutoRename)},
      {lp::kResume, Bool(resume)},
  };
  LayOut(buffer_, lp::kFields, given);
  return buffer_.Address();
}

#define SF_TEXT_FIELD(Getter, Setter, field)               \
  std::string TaskParamRecord::Getter() const {            \
    return FromWide(buffer_.ReadField(N(field.name)));     \
  }                                                        \
  bool TaskParamRecord::Setter(std::string_view gbk) {     \
    return buffer_.WriteField(N(field.name), ToWide(gbk)); \
  }
#define SF_BOOL_FIELD(Getter, Setter, field)            \
  bool TaskParamRecord::Getter() const {                \
    std::string b = buffer_.ReadField(N(field.name));   \
    return !b.empty() && b[0] != 0;                     \
  }                                                     \
  bool TaskParamRecord::Setter(bool on) {               \
    return buffer_.WriteField(N(field.name), Bool(on)); \
  }

SF_TEXT_FIELD(Url, SetUrl, lp::kUrl)
SF_TEXT_FIELD(Referer, SetReferer, lp::kReferer)
SF_TEXT_FIELD(Cookies, SetCookies, lp::kCookies)
SF_TEXT_FIELD(FileName, SetFileName, lp::kFileName)
SF_TEXT_FIELD(SaveDir, SetSaveDir, lp::kSaveDir)
SF_BOOL_FIELD(GivenAddressOnly, SetGivenAddressOnly, lp::kGivenAddressOnly)
SF_BOOL_FIELD(NoAutoRename, SetNoAutoRename, lp::kNoAutoRename)
SF_BOOL_FIELD(Resume, SetResume, lp::kResume)

int64_t TaskParamRecord::ExpectedSize() const {
  std::string text = FromWide(buffer_.ReadField(N(lp::kExpectedSize.name)));
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoll(text);
}

bool TaskParamRecord::SetExpectedSize(int64_t bytes) {
  // Unknown leaves the field all zero, as it has always been.
  std::string field = bytes >= 0 ? ToWide(std::to_string(bytes)) : std::string();
  field.resize(lp::kExpectedSize.width, '\0');
  return buffer_.WriteField(N(lp::kExpectedSize.name), field);
}

std::string TaskParamRecord::Root() const {
  int64_t units = FromLittleEndian(buffer_.ReadField(N(lp::kRootUnits.name)));
  std::string dir = buffer_.ReadField(N(lp::kSaveDir.name));
  if (units <= 0 || static_cast<size_t>(units) * 2 > dir.size()) return {};
  return FromWide(dir.substr(0, static_cast<size_t>(units) * 2));
}

bool TaskParamRecord::SetRoot(std::string_view gbk) {
  int64_t units = 0;
  if (!gbk.empty()) {
    std::string wide = ToWide(gbk);
    units = static_cast<int64_t>(wide.size() / 2) - 1;  // without the terminator
    // Only a leading part of the directory, ended at a separator or the directory's end.
    std::string dir = buffer_.ReadField(N(lp::kSaveDir.name));
    size_t bytes = static_cast<size_t>(units) * 2;
    if (bytes > dir.size() || dir.compare(0, bytes, wide, 0, bytes) != 0) return false;
    if (bytes + 1 < dir.size() && !(dir[bytes] == '/' && dir[bytes + 1] == 0) &&
        !(dir[bytes] == 0 && dir[bytes + 1] == 0))
      return false;
  }
  return buffer_.WriteField(N(lp::kRootUnits.name),
                            LittleEndian(units, static_cast<int>(lp::kRootUnits.width)));
}

uint8_t* TaskInfoRecord::Init() {
  if (buffer_.Create(1, 0xCC, static_cast<int>(li::kSize)) == nullptr) return nullptr;
  const Given given[] = {{li::kState, LittleEndian(layout::kStatePaused, 4)}};
  LayOut(buffer_, li::kFields, given);
  return buffer_.Address();
}

int64_t TaskInfoRecord::ReadInt(size_t offset, size_t width) const {
  // Init lays every field out at the layout's offset, one after another: a field lies within
  // the bytes laid out or was never added. Read in place, a poll of hundreds of files waiting
  // for the disk looks no field up by its name.
  const uint8_t* block = buffer_.Address();
  if (block == nullptr || static_cast<size_t>(buffer_.Size()) < offset + width) return 0;
  return FromLittleEndian(std::string_view(reinterpret_cast<const char*>(block) + offset, width));
}

bool TaskInfoRecord::WriteInt(std::string_view name, int64_t v, int width) {
  return buffer_.WriteField(name, LittleEndian(v, width));
}

#define SF_INT_FIELD(Type, Getter, Setter, field)                     \
  Type TaskInfoRecord::Getter() const {                               \
    return static_cast<Type>(ReadInt(field.offset, field.width));     \
  }                                                                   \
  bool TaskInfoRecord::Setter(Type v) {                               \
    return WriteInt(N(field.name), v, static_cast<int>(field.width)); \
  }

SF_INT_FIELD(int32_t, State, SetState, li::kState)
SF_INT_FIELD(int32_t, FailureCode, SetFailureCode, li::kFailureCode)
SF_INT_FIELD(int64_t, TotalSize, SetTotalSize, li::kTotalSize)
SF_INT_FIELD(int64_t, Downloaded, SetDownloaded, li::kDownloaded)
SF_INT_FIELD(int32_t, SourceCount, SetSourceCount, li::kSourceCount)
SF_INT_FIELD(int32_t, UsableSourceCount, SetUsableSourceCount, li::kUsableSourceCount)
SF_INT_FIELD(int64_t, PeerBytes, SetPeerBytes, li::kPeerBytes)
SF_INT_FIELD(int64_t, OriginBytes, SetOriginBytes, li::kOriginBytes)
SF_INT_FIELD(int64_t, MirrorBytes, SetMirrorBytes, li::kMirrorBytes)
SF_INT_FIELD(int32_t, Speed, SetSpeed, li::kSpeed)
SF_INT_FIELD(int32_t, SpeedMirror, SetSpeedMirror, li::kSpeedMirror)
SF_INT_FIELD(int32_t, SpeedPeer, SetSpeedPeer, li::kSpeedPeer)
SF_INT_FIELD(int32_t, CreatingFile, SetCreatingFile, li::kCreatingFile)
SF_INT_FIELD(int32_t, AlreadyComplete, SetAlreadyComplete, li::kAlreadyComplete)
SF_INT_FIELD(int32_t, StartedOver, SetStartedOver, li::kStartedOver)

std::string TaskInfoRecord::FileName() const {
  return FromWide(buffer_.ReadField(N(li::kFileName.name)));
}
size_t TaskInfoRecord::FileNameKey() const {
  return std::hash<std::string>()(buffer_.ReadField(N(li::kFileName.name)));
}
bool TaskInfoRecord::SetFileName(std::string_view gbk) {
  return buffer_.WriteField(N(li::kFileName.name), ToWide(gbk));
}

float TaskInfoRecord::Progress() const {
  std::string b = buffer_.ReadField(N(li::kProgress.name));
  if (b.size() != 4) return 0.0f;
  auto bits = static_cast<uint32_t>(FromLittleEndian(b));
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

bool TaskInfoRecord::SetProgress(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  return WriteInt(N(li::kProgress.name), bits, static_cast<int>(li::kProgress.width));
}

bool TaskInfoRecord::OriginValid() const {
  std::string b = buffer_.ReadField(N(li::kOriginValid.name));
  return !b.empty() && b[0] != 0;
}

bool TaskInfoRecord::SetOriginValid(bool v) {
  return buffer_.WriteField(N(li::kOriginValid.name), Bool(v));
}

int32_t TaskInfoRecord::CreateBtTaskByThunder(DownloadEngine& engine, std::string_view path) {
  std::u16string p = Wide16(path);
  return engine.CreateBTTaskByThunder(p.c_str());
}

int32_t TaskInfoRecord::CreateTaskByThunder(DownloadEngine& engine, std::string_view url,
                                            std::string_view fileName, std::string_view referer,
                                            std::string_view charge, std::string_view cookies) {
  std::u16string a = Wide16(url), b = Wide16(fileName), c = Wide16(referer), e = Wide16(cookies);
  std::string d(charge);
  return engine.CreateTaskByThunder(a.c_str(), b.c_str(), c.c_str(), d.c_str(), e.c_str());
}

}  // namespace sf
