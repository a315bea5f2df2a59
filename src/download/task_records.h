// The two records exchanged with the download engine, built field by field by name so the
// bytes match the engine's layout exactly (see engine_api.h). Texts in and out are GBK byte
// strings; the records hold them as UTF-16LE converted with code page 936.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "download/field_record_buffer.h"

namespace sf {

class DownloadEngine;

// UTF-16LE bytes of a GBK text with its terminating zero unit, and back (up to the first zero
// unit).
std::string ToWide(std::string_view gbk);
std::string FromWide(std::string_view utf16Bytes);

// The task description handed to XL_CreateTask: 26564 bytes.
class TaskParamRecord {
 public:
  // Gives the block address, or nullptr. Initialising again invalidates earlier addresses.
  uint8_t* Init(std::string_view url, std::string_view referer, std::string_view cookies,
                std::string_view fileName, std::string_view saveDir, bool givenAddressOnly = false,
                bool noAutoRename = false, bool resume = true);
  void Release() { buffer_.Release(); }
  uint8_t* Address() { return buffer_.Address(); }
  const FieldRecordBuffer& Buffer() const { return buffer_; }

  std::string Url() const;
  bool SetUrl(std::string_view gbk);
  std::string Referer() const;
  bool SetReferer(std::string_view gbk);
  std::string Cookies() const;
  bool SetCookies(std::string_view gbk);
  std::string FileName() const;
  bool SetFileName(std::string_view gbk);
  std::string SaveDir() const;
  bool SetSaveDir(std::string_view gbk);
  bool GivenAddressOnly() const;
  bool SetGivenAddressOnly(bool on);
  bool NoAutoRename() const;
  bool SetNoAutoRename(bool on);
  bool Resume() const;
  bool SetResume(bool on);
  // "szReserved1": the size in bytes the caller expects, as decimal text; -1 (an empty
  // field) when unknown. The engine never takes a body that ends short of it for the file.
  int64_t ExpectedSize() const;
  bool SetExpectedSize(int64_t bytes);

  // The leading part of the save directory that is the caller's own root (empty: none), kept
  // in "nReserved" as its length in UTF-16 units. The engine opens the folders below it without
  // following a link. Set it after the save directory; false when it is no leading part of it.
  std::string Root() const;
  bool SetRoot(std::string_view gbk);

 private:
  FieldRecordBuffer buffer_;
};

// The progress report XL_QueryTaskInfoEx fills: 1429 bytes, one field at an odd offset.
class TaskInfoRecord {
 public:
  uint8_t* Init();
  void Release() { buffer_.Release(); }
  uint8_t* Address() { return buffer_.Address(); }
  const FieldRecordBuffer& Buffer() const { return buffer_; }

  int32_t State() const;
  bool SetState(int32_t v);
  int32_t FailureCode() const;
  bool SetFailureCode(int32_t v);
  std::string FileName() const;
  bool SetFileName(std::string_view gbk);
  // A hash of the name's bytes as they stand: a caller that keeps the last one converts the
  // name only when it changed.
  size_t FileNameKey() const;
  int64_t TotalSize() const;
  bool SetTotalSize(int64_t v);
  int64_t Downloaded() const;  // bytes downloaded so far, though the field is named a speed
  bool SetDownloaded(int64_t v);
  float Progress() const;
  bool SetProgress(float v);
  int32_t SourceCount() const;
  bool SetSourceCount(int32_t v);
  int32_t UsableSourceCount() const;
  bool SetUsableSourceCount(int32_t v);
  int64_t PeerBytes() const;
  bool SetPeerBytes(int64_t v);
  int64_t OriginBytes() const;
  bool SetOriginBytes(int64_t v);
  int64_t MirrorBytes() const;
  bool SetMirrorBytes(int64_t v);
  int32_t Speed() const;
  bool SetSpeed(int32_t v);
  int32_t SpeedMirror() const;
  bool SetSpeedMirror(int32_t v);
  int32_t SpeedPeer() const;
  bool SetSpeedPeer(int32_t v);
  bool OriginValid() const;
  bool SetOriginValid(bool v);
  int32_t CreatingFile() const;
  bool SetCreatingFile(int32_t v);
  // "nReserved0": 1 when the engine found the target already complete and wrote nothing.
  int32_t AlreadyComplete() const;
  bool SetAlreadyComplete(int32_t v);
  // "nReserved1": how often the task dropped what it had on disk and started from byte 0.
  int32_t StartedOver() const;
  bool SetStartedOver(int32_t v);

  // UTF-16LE bytes with terminator, from a GBK text.
  static std::string ToWide936(std::string_view gbk) { return ToWide(gbk); }
  // The engine's entry points for an external client and for torrents, with texts converted
  // as the call expects; `charge` passes unconverted.
  static int32_t CreateBtTaskByThunder(DownloadEngine& engine, std::string_view path);
  static int32_t CreateTaskByThunder(DownloadEngine& engine, std::string_view url,
                                     std::string_view fileName, std::string_view referer = {},
                                     std::string_view charge = {}, std::string_view cookies = {});

 private:
  // The number at a field's offset and width in the layout; 0 when it was never laid out.
  int64_t ReadInt(size_t offset, size_t width) const;
  bool WriteInt(std::string_view name, int64_t v, int width);

  FieldRecordBuffer buffer_;
};

}  // namespace sf
