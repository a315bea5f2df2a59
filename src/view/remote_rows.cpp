#include "view/remote_rows.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "base/encoding.h"

namespace sf {

DownloadRowTexts RemoteRowTexts(const FollowedFile& f, const RemoteFile& file,
                                const std::string& downloader) {
  DownloadRowTexts row;
  auto& c = row.columns;
  c[kColumnFileName] = Utf8ToGbk(file.plan.name);
  int64_t size = file.plan.size >= 0 ? file.plan.size : f.last.total;
  int64_t done = f.end == FollowedFile::End::kComplete && size >= 0 ? size : f.last.done;
  c[kColumnTotalSize] = SizeText(std::max<int64_t>(size, 0), SizeStyle::kWindow);
  c[kColumnDownloaded] = SizeText(done, SizeStyle::kWindow);
  char percent[32] = "0.00%";
  if (size > 0)
    std::snprintf(percent, sizeof percent, "%.2f%%",
                  static_cast<double>(done) * 100.0 / static_cast<double>(size));
  c[kColumnProgress] = percent;
  c[kColumnSpeed] = SpeedText(static_cast<int32_t>(std::min<int64_t>(f.last.speed, INT32_MAX)));
  std::string tip = Utf8ToGbk("远程：" + downloader);
  if (f.end == FollowedFile::End::kComplete) {
    c[kColumnSpeed] = Utf8ToGbk("已完成");
  } else if (f.end == FollowedFile::End::kFailed) {
    row.failed = true;
    c[kColumnSpeed] = Utf8ToGbk("失败");
    c[kColumnProgress] = Utf8ToGbk(f.reason);
    tip += Utf8ToGbk("\n失败：" + f.reason);
  } else if (f.renewing) {
    c[kColumnSpeed] = Utf8ToGbk("等待中");
    tip += Utf8ToGbk("\n正在获取新的下载链接");
  } else if (f.last.status == "paused") {
    c[kColumnSpeed] = Utf8ToGbk("已暂停");
  } else if (f.last.status != "active") {
    c[kColumnSpeed] = Utf8ToGbk("等待中");
  } else if (size >= 0 && f.last.speed > 0) {
    tip +=
        Utf8ToGbk("\n剩余时间 ") + DurationText(std::max<int64_t>(0, size - done) / f.last.speed);
  }
  row.toolTip = tip + "\n" + Utf8ToGbk("已下载 ") + std::to_string(done) +
                (size > 0 ? " / " + std::to_string(size) : std::string()) + Utf8ToGbk(" 字节");
  return row;
}

}  // namespace sf
