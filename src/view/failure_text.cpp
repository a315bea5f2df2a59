#include "view/failure_text.h"

#include <cerrno>

#include "base/encoding.h"
#include "download/download_queue.h"

namespace sf {
namespace {

struct Meaning {
  int32_t code;
  const char* chinese;  // UTF-8 here, GBK when handed out
  const char* english;
};

// The codes a user meets: what the network, the server and the disk say.
constexpr Meaning kMeanings[] = {
    {ECONNREFUSED, "连接被拒绝", "connection refused"},
    {ENOSPC, "磁盘已满", "disk full"},
    {EDQUOT, "磁盘配额已满", "disk quota exceeded"},
    {ETIMEDOUT, "连接超时", "connection timed out"},
    {EHOSTUNREACH, "找不到服务器", "server not found"},
    {ENETUNREACH, "网络不通", "network unreachable"},
    {EKEYREJECTED, "证书无效", "certificate refused"},
    {EBUSY, "正被另一个下载使用", "in use by another download"},
    {EPROTO, "协议错误", "protocol error"},
    {EFBIG, "文件太大", "file too large"},
    {ECONNRESET, "连接被中断", "connection reset"},
    {EACCES, "没有写入权限", "permission denied"},
    {EPERM, "没有写入权限", "permission denied"},
    {EROFS, "磁盘只读", "read-only file system"},
    {ENAMETOOLONG, "文件名太长", "file name too long"},
    {ENOTDIR, "保存目录无效", "a link or a file is in the save folder's path"},
    {EEXIST, "没有可用的文件名", "no free file name"},
    {ELOOP, "重定向太多", "too many redirects"},
    {EPROTONOSUPPORT, "不支持的地址", "unsupported address"},
    {EINVAL, "地址无效", "invalid address"},
    {EMFILE, "打开的文件太多", "too many open files"},
    {ENFILE, "系统打开的文件太多", "too many open files in the system"},
    {ENOMEM, "内存不足", "out of memory"},
    {EIO, "读写错误", "input/output error"},
    {kFailureNotCreated, "无法创建任务", "the engine refused the task"},
    {0, "未知错误", "unknown error"},
};

const Meaning* Find(int32_t code) {
  for (const Meaning& m : kMeanings)
    if (m.code == code) return &m;
  return nullptr;
}

}  // namespace

std::string FailureText(int32_t code) {
  if (code >= 400) return "HTTP " + std::to_string(code);
  if (const Meaning* m = Find(code)) return Utf8ToGbk(m->chinese);
  return Utf8ToGbk("错误 ") + std::to_string(code);
}

std::string FailureTextEnglish(int32_t code) {
  if (code >= 400) return "HTTP " + std::to_string(code);
  if (const Meaning* m = Find(code)) return m->english;
  return "error " + std::to_string(code);
}

}  // namespace sf
