#include "download/task_records.h"

#include <cstring>

#include "base/encoding.h"
#include "download/download_engine.h"

namespace sf {
namespace {

// Field names are given in UTF-8 here and keyed by their GBK bytes, like every internal text.
std::string N(std::string_view utf8) {
  return Utf8ToGbk(utf8);
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
  if (buffer_.Create(1, 0xCC, 26564) == nullptr) return nullptr;
  struct FieldDef {
    const char* name;
    int width;
    std::optional<std::string> value;
  };
  const FieldDef fields[] = {
      {"nReserved", 4, std::nullopt},          {"任务URL", 4168, ToWide(url)},
      {"引用页", 4168, ToWide(referer)},       {"Cookies", 8192, ToWide(cookies)},
      {"保存文件名", 520, ToWide(fileName)},   {"szReserved0", 520, ToWide("")},
      {"保存目录", 520, ToWide(saveDir)},      {"hReserved", 4, std::nullopt},
      {"bReserved", 4, Bool(false)},           {"szReserved1", 128, ToWide("")},
      {"szReserved2", 128, ToWide("")},        {"原始地址下载", 4, Bool(givenAddressOnly)},
      {"nReserved1", 4, std::string(1, '\5')}, {"禁止智能命名", 4, Bool(noAutoRename)},
      {"是否用续传", 4, Bool(resume)},         {"reserved", 8192, std::nullopt},
  };
  for (const auto& f : fields) {
    if (!buffer_.AddField(N(f.name), f.width,
                          f.value ? std::optional<std::string_view>(*f.value) : std::nullopt)) {
      break;  // the fields added so far stay, as the block does
    }
  }
  return buffer_.Address();
}

#define SF_TEXT_FIELD(Getter, Setter, name)            \
  std::string TaskParamRecord::Getter() const {        \
    return FromWide(buffer_.ReadField(N(name)));       \
  }                                                    \
  bool TaskParamRecord::Setter(std::string_view gbk) { \
    return buffer_.WriteField(N(name), ToWide(gbk));   \
  }
#define SF_BOOL_FIELD(Getter, Setter, name)       \
  bool TaskParamRecord::Getter() const {          \
    std::string b = buffer_.ReadField(N(name));   \
    return !b.empty() && b[0] != 0;               \
  }                                               \
  bool TaskParamRecord::Setter(bool on) {         \
    return buffer_.WriteField(N(name), Bool(on)); \
  }

SF_TEXT_FIELD(Url, SetUrl, "任务URL")
SF_TEXT_FIELD(Referer, SetReferer, "引用页")
SF_TEXT_FIELD(Cookies, SetCookies, "Cookies")
SF_TEXT_FIELD(FileName, SetFileName, "保存文件名")
SF_TEXT_FIELD(SaveDir, SetSaveDir, "保存目录")
SF_BOOL_FIELD(GivenAddressOnly, SetGivenAddressOnly, "原始地址下载")
SF_BOOL_FIELD(NoAutoRename, SetNoAutoRename, "禁止智能命名")
SF_BOOL_FIELD(Resume, SetResume, "是否用续传")

int64_t TaskParamRecord::ExpectedSize() const {
  std::string text = FromWide(buffer_.ReadField(N("szReserved1")));
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoll(text);
}

bool TaskParamRecord::SetExpectedSize(int64_t bytes) {
  // Unknown leaves the field all zero, as it has always been.
  std::string field = bytes >= 0 ? ToWide(std::to_string(bytes)) : std::string();
  field.resize(128, '\0');
  return buffer_.WriteField(N("szReserved1"), field);
}

std::string TaskParamRecord::Root() const {
  int64_t units = FromLittleEndian(buffer_.ReadField(N("nReserved")));
  std::string dir = buffer_.ReadField(N("保存目录"));
  if (units <= 0 || static_cast<size_t>(units) * 2 > dir.size()) return {};
  return FromWide(dir.substr(0, static_cast<size_t>(units) * 2));
}

bool TaskParamRecord::SetRoot(std::string_view gbk) {
  int64_t units = 0;
  if (!gbk.empty()) {
    std::string wide = ToWide(gbk);
    units = static_cast<int64_t>(wide.size() / 2) - 1;  // without the terminator
    // Only a leading part of the directory, ended at a separator or the directory's end.
    std::string dir = buffer_.ReadField(N("保存目录"));
    size_t bytes = static_cast<size_t>(units) * 2;
    if (bytes > dir.size() || dir.compare(0, bytes, wide, 0, bytes) != 0) return false;
    if (bytes + 1 < dir.size() && !(dir[bytes] == '/' && dir[bytes + 1] == 0) &&
        !(dir[bytes] == 0 && dir[bytes + 1] == 0))
      return false;
  }
  return buffer_.WriteField(N("nReserved"), LittleEndian(units, 4));
}

uint8_t* TaskInfoRecord::Init() {
  if (buffer_.Create(1, 0xCC, 1429) == nullptr) return nullptr;
  if (!buffer_.AddField(N("任务状态"), 4, LittleEndian(2, 4)) ||
      !buffer_.AddField(N("失败代码"), 4, LittleEndian(0, 4))) {
    return buffer_.Address();
  }
  const std::pair<const char*, int> rest[] = {
      {"文件名", 520},           {"szReserved0", 520},      {"文件总大小", 8},
      {"已下载速度", 8},         {"下载进度", 4},           {"nReserved0", 4},
      {"总资源数", 4},           {"可用资源数", 4},         {"nReserved1", 4},
      {"nReserved2", 4},         {"nReserved3", 4},         {"nReserved4", 4},
      {"nReserved5", 8},         {"P2P贡献字节数", 8},      {"nReserved6", 8},
      {"原始资源共享字节数", 8}, {"镜像资源共享字节数", 8}, {"nReserved7", 8},
      {"nReserved8", 8},         {"下载速度", 4},           {"下载速度P2S", 4},
      {"下载速度P2P", 4},        {"原始资源是否有效", 1},   {"fHashPercent", 4},
      {"是否正在创建文件", 4},   {"reserved", 256},
  };
  for (const auto& [name, width] : rest)
    if (!buffer_.AddField(N(name), width)) break;
  return buffer_.Address();
}

int64_t TaskInfoRecord::ReadInt(std::string_view name) const {
  return FromLittleEndian(buffer_.ReadField(name));
}

bool TaskInfoRecord::WriteInt(std::string_view name, int64_t v, int width) {
  return buffer_.WriteField(name, LittleEndian(v, width));
}

#define SF_INT_FIELD(Type, Getter, Setter, name, width) \
  Type TaskInfoRecord::Getter() const {                 \
    return static_cast<Type>(ReadInt(N(name)));         \
  }                                                     \
  bool TaskInfoRecord::Setter(Type v) {                 \
    return WriteInt(N(name), v, width);                 \
  }

SF_INT_FIELD(int32_t, State, SetState, "任务状态", 4)
SF_INT_FIELD(int32_t, FailureCode, SetFailureCode, "失败代码", 4)
SF_INT_FIELD(int64_t, TotalSize, SetTotalSize, "文件总大小", 8)
SF_INT_FIELD(int64_t, Downloaded, SetDownloaded, "已下载速度", 8)
SF_INT_FIELD(int32_t, SourceCount, SetSourceCount, "总资源数", 4)
SF_INT_FIELD(int32_t, UsableSourceCount, SetUsableSourceCount, "可用资源数", 4)
SF_INT_FIELD(int64_t, PeerBytes, SetPeerBytes, "P2P贡献字节数", 8)
SF_INT_FIELD(int64_t, OriginBytes, SetOriginBytes, "原始资源共享字节数", 8)
SF_INT_FIELD(int64_t, MirrorBytes, SetMirrorBytes, "镜像资源共享字节数", 8)
SF_INT_FIELD(int32_t, Speed, SetSpeed, "下载速度", 4)
SF_INT_FIELD(int32_t, SpeedMirror, SetSpeedMirror, "下载速度P2S", 4)
SF_INT_FIELD(int32_t, SpeedPeer, SetSpeedPeer, "下载速度P2P", 4)
SF_INT_FIELD(int32_t, CreatingFile, SetCreatingFile, "是否正在创建文件", 4)
SF_INT_FIELD(int32_t, AlreadyComplete, SetAlreadyComplete, "nReserved0", 4)
SF_INT_FIELD(int32_t, StartedOver, SetStartedOver, "nReserved1", 4)

std::string TaskInfoRecord::FileName() const {
  return FromWide(buffer_.ReadField(N("文件名")));
}
bool TaskInfoRecord::SetFileName(std::string_view gbk) {
  return buffer_.WriteField(N("文件名"), ToWide(gbk));
}

float TaskInfoRecord::Progress() const {
  std::string b = buffer_.ReadField(N("下载进度"));
  if (b.size() != 4) return 0.0f;
  auto bits = static_cast<uint32_t>(FromLittleEndian(b));
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

bool TaskInfoRecord::SetProgress(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  return WriteInt(N("下载进度"), bits, 4);
}

bool TaskInfoRecord::OriginValid() const {
  std::string b = buffer_.ReadField(N("原始资源是否有效"));
  return !b.empty() && b[0] != 0;
}

bool TaskInfoRecord::SetOriginValid(bool v) {
  return buffer_.WriteField(N("原始资源是否有效"), Bool(v));
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
