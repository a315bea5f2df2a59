// The C call table between the program and the download engine library, and the byte layout
// of the two records that cross it. Both sides include this header, so a signature or an
// offset can only change in one place. Records are packed and little-endian; text fields hold
// UTF-16LE, ended by a zero unit unless the text fills the whole field. Nothing else lives
// here: what the engine says on the wire (engine_client.h) is no part of the call table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" {
typedef int32_t (*XL_InitFn)();
typedef int32_t (*XL_CreateTaskFn)(const void* param);
typedef int32_t (*XL_StartTaskFn)(int32_t handle);
typedef int32_t (*XL_QueryTaskInfoExFn)(int32_t handle, void* info);
typedef int32_t (*XL_SetSpeedLimitFn)(int32_t kilobytesPerSecond);
typedef int32_t (*XL_CreateTaskByThunderFn)(const char16_t* url, const char16_t* fileName,
                                            const char16_t* referer, const void* charge,
                                            const char16_t* cookies);
typedef int32_t (*XL_CreateBTTaskByThunderFn)(const char16_t* path);
// Pauses a started task: its connections close and its state reads 2 within a second; its bytes
// stay on disk for XL_StartTask to resume from. 1, or 0 for an unknown handle.
typedef int32_t (*XL_StopTaskFn)(int32_t handle);
// Stops a task and forgets its handle. With removeFiles nonzero it also deletes the task's own
// partial and control files (never a finished file). 1, or 0 for an unknown handle.
typedef int32_t (*XL_DeleteTaskFn)(int32_t handle, int32_t removeFiles);
// A descriptor that turns readable whenever a task's state or failure code changes as later
// queries report it: it started asking the server, downloads, paused, finished or failed (not
// for progress alone). The caller waits on it instead of polling, reads 8 bytes from it to make
// it quiet again, and never closes it; it lives as long as the engine. Starts the engine as
// XL_Init does. -1 when there is none: the caller polls then.
typedef int32_t (*XL_GetTaskEventFdFn)();
}

namespace sf::layout {

// Engine task states as the info record reports them.
enum TaskState : int32_t {
  kStateNone = 0,
  kStateFailed = 1,  // the failure code (never 0) says why; XL_StartTask tries again
  kStatePaused = 2,  // created and not started, or paused by XL_StopTask
  kStateDownloading = 3,
  kStateFinished = 4,
  kStateRequesting = 5,
  kStateEndingRequest = 6,
};

// XL_SetSpeedLimit's value for "no limit"; 0 and below mean the same.
constexpr int32_t kNoSpeedLimit = 1410065407;

// While a target downloads it is NAME plus this suffix, with a control file beside it that
// records the address, the size and the ranges on disk. A NAME without a control file is whole.
constexpr std::string_view kPartSuffix = ".sfpart";
constexpr std::string_view kControlSuffix = ".sfctl";

// A field of a record: where it lies, and its name as the record's builder keys it (UTF-8;
// the program's side keys it by the GBK bytes of the name).
struct Field {
  size_t offset;
  size_t width;
  const char* name = "";
};

// UTF-16 units a text field holds, its terminator included when the text is shorter.
constexpr size_t TextUnits(Field f) {
  return f.width / 2;
}

// True when the fields follow one another without a gap and end at `size`: the builder lays
// them out in this order, so the list is the record's one shape.
template <size_t N>
constexpr bool Packed(const Field (&fields)[N], size_t size) {
  size_t at = 0;
  for (const Field& f : fields) {
    if (f.offset != at) return false;
    at += f.width;
  }
  return at == size;
}

namespace param {
constexpr size_t kSize = 26564;
constexpr Field kReserved{0, 4, "nReserved"};
// "nReserved", which this engine reads as the number of UTF-16 units at the start of the save
// directory that are the caller's own root (0: none). The folders below the root are opened
// without following a link, so a folder swapped for a link cannot lead a download out of it.
constexpr Field kRootUnits = kReserved;
constexpr Field kUrl{4, 4168, "任务URL"};
constexpr Field kReferer{4172, 4168, "引用页"};
constexpr Field kCookies{8340, 8192, "Cookies"};
constexpr Field kFileName{16532, 520, "保存文件名"};
constexpr Field kReserved0{17052, 520, "szReserved0"};
constexpr Field kSaveDir{17572, 520, "保存目录"};
constexpr Field kHandleReserved{18092, 4, "hReserved"};
constexpr Field kBoolReserved{18096, 4, "bReserved"};
constexpr Field kReserved1Text{18100, 128, "szReserved1"};
// "szReserved1", which this engine reads as the size the caller expects, in decimal digits
// (the share gives it): a body of unknown length that ends short of it is cut off, never a
// whole file. Empty, as ever, when the size is unknown. The layout is as ever.
constexpr Field kExpectedSize = kReserved1Text;
constexpr Field kReserved2Text{18228, 128, "szReserved2"};
constexpr Field kGivenAddressOnly{18356, 4, "原始地址下载"};
constexpr Field kReserved1{18360, 4, "nReserved1"};
constexpr Field kNoAutoRename{18364, 4, "禁止智能命名"};
constexpr Field kResume{18368, 4, "是否用续传"};
constexpr Field kTail{18372, 8192, "reserved"};
constexpr Field kFields[] = {
    kReserved,     kUrl,           kReferer,       kCookies,
    kFileName,     kReserved0,     kSaveDir,       kHandleReserved,
    kBoolReserved, kReserved1Text, kReserved2Text, kGivenAddressOnly,
    kReserved1,    kNoAutoRename,  kResume,        kTail,
};
static_assert(Packed(kFields, kSize));
}  // namespace param

namespace info {
constexpr size_t kSize = 1429;
constexpr Field kState{0, 4, "任务状态"};
constexpr Field kFailureCode{4, 4, "失败代码"};
constexpr Field kFileName{8, 520, "文件名"};
constexpr Field kReserved0Text{528, 520, "szReserved0"};
constexpr Field kTotalSize{1048, 8, "文件总大小"};
constexpr Field kDownloaded{1056, 8, "已下载速度"};
constexpr Field kProgress{1064, 4, "下载进度"};
// "nReserved0", which this engine uses for one flag: 1 when a finished task found its target
// already complete on disk (same size as the server's) and wrote nothing. The layout is as ever.
constexpr Field kAlreadyComplete{1068, 4, "nReserved0"};
constexpr Field kSourceCount{1072, 4, "总资源数"};
constexpr Field kUsableSourceCount{1076, 4, "可用资源数"};
// "nReserved1", ours to fill: how often the task dropped what it had on disk and started
// again from byte 0 (the server's file changed, or the partial could not be continued).
constexpr Field kStartedOver{1080, 4, "nReserved1"};
constexpr Field kReserved2{1084, 4, "nReserved2"};
constexpr Field kReserved3{1088, 4, "nReserved3"};
constexpr Field kReserved4{1092, 4, "nReserved4"};
constexpr Field kReserved5{1096, 8, "nReserved5"};
constexpr Field kPeerBytes{1104, 8, "P2P贡献字节数"};
constexpr Field kReserved6{1112, 8, "nReserved6"};
constexpr Field kOriginBytes{1120, 8, "原始资源共享字节数"};
constexpr Field kMirrorBytes{1128, 8, "镜像资源共享字节数"};
constexpr Field kReserved7{1136, 8, "nReserved7"};
constexpr Field kReserved8{1144, 8, "nReserved8"};
constexpr Field kSpeed{1152, 4, "下载速度"};
constexpr Field kSpeedMirror{1156, 4, "下载速度P2S"};
constexpr Field kSpeedPeer{1160, 4, "下载速度P2P"};
constexpr Field kOriginValid{1164, 1, "原始资源是否有效"};
constexpr Field kHashPercent{1165, 4, "fHashPercent"};
constexpr Field kCreatingFile{1169, 4, "是否正在创建文件"};
constexpr Field kTail{1173, 256, "reserved"};
constexpr Field kFields[] = {
    kState,        kFailureCode,
    kFileName,     kReserved0Text,
    kTotalSize,    kDownloaded,
    kProgress,     kAlreadyComplete,
    kSourceCount,  kUsableSourceCount,
    kStartedOver,  kReserved2,
    kReserved3,    kReserved4,
    kReserved5,    kPeerBytes,
    kReserved6,    kOriginBytes,
    kMirrorBytes,  kReserved7,
    kReserved8,    kSpeed,
    kSpeedMirror,  kSpeedPeer,
    kOriginValid,  kHashPercent,
    kCreatingFile, kTail,
};
static_assert(Packed(kFields, kSize));
}  // namespace info

}  // namespace sf::layout
