#include "engine/save_directory.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace sf::engine {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// A link, a file or a way out in place of a folder: the folder the task was given is not there.
int InTheWay(int err) {
  return err == ELOOP || err == EXDEV || err == ENOTDIR ? ENOTDIR : err;
}

// One call resolves the whole path below the root, refusing any link and any way out of it.
// Kernels without openat2 (or sandboxes that forbid it) answer ENOSYS or EPERM: the caller
// walks instead.
int OpenBeneath(int rootFd, const std::string& relative) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = kDirFlags | O_NOFOLLOW;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// The same, one name at a time, each opened without following a link; with `create` a missing
// folder is made first.
int WalkBeneath(int rootFd, const std::string& relative, bool create, int& out) {
  int fd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return errno;
  size_t start = 0;
  while (start < relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    std::string segment = relative.substr(start, slash - start);
    start = slash + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      ::close(fd);
      return ENOTDIR;
    }
    if (create && ::mkdirat(fd, segment.c_str(), 0755) != 0 && errno != EEXIST) {
      int err = errno;
      ::close(fd);
      return err;
    }
    int next = ::openat(fd, segment.c_str(), kDirFlags | O_NOFOLLOW);
    int err = errno;
    ::close(fd);
    if (next < 0) return InTheWay(err);
    fd = next;
  }
  out = fd;
  return 0;
}

}  // namespace

int OpenSaveDirectory(const std::string& dir, size_t rootBytes, bool create, int& fd) {
  fd = -1;
  if (dir.empty()) return EINVAL;
  if (rootBytes == 0) {
    if (create) {
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      if (ec) return ec.value();
    }
    fd = ::open(dir.c_str(), kDirFlags);
    return fd < 0 ? errno : 0;
  }
  if (rootBytes > dir.size() || (rootBytes < dir.size() && dir[rootBytes] != '/')) return EINVAL;
  // The root is the user's own choice, a link to elsewhere included.
  int rootFd = ::open(dir.substr(0, rootBytes).c_str(), kDirFlags);
  if (rootFd < 0) return errno;
  std::string relative = dir.substr(rootBytes);
  while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  if (relative.empty()) {
    fd = rootFd;
    return 0;
  }
  int err = 0;
  fd = OpenBeneath(rootFd, relative);
  if (fd < 0) {
    err = errno;
    if (err == ENOENT || err == ENOSYS || err == EPERM || err == E2BIG || err == EINVAL)
      err = WalkBeneath(rootFd, relative, create, fd);
    else
      err = InTheWay(err);
  }
  ::close(rootFd);
  return err;
}

SaveDirectory::~SaveDirectory() {
  if (fd >= 0) ::close(fd);
}

int ShareSaveDirectory(const std::string& dir, size_t rootBytes,
                       std::shared_ptr<SaveDirectory>& out) {
  static std::mutex mutex;
  // Only while a task holds one: a share of 200 000 files in thousands of folders keeps no
  // descriptor of a folder it is done with.
  static std::map<std::pair<std::string, size_t>, std::weak_ptr<SaveDirectory>> open;
  auto key = std::pair(dir, rootBytes);
  std::shared_ptr<SaveDirectory> held;
  {
    std::lock_guard lock(mutex);
    auto it = open.find(key);
    if (it != open.end()) held = it->second.lock();
  }
  struct stat named;
  if (held && ::stat(dir.c_str(), &named) == 0 && S_ISDIR(named.st_mode) &&
      named.st_dev == held->device && named.st_ino == held->inode) {
    out = std::move(held);
    return 0;
  }
  auto made = std::make_shared<SaveDirectory>();
  if (int err = OpenSaveDirectory(dir, rootBytes, true, made->fd)) return err;
  struct stat st;
  if (::fstat(made->fd, &st) != 0) return errno;
  made->device = st.st_dev;
  made->inode = st.st_ino;
  long nameMax = ::fpathconf(made->fd, _PC_NAME_MAX);
  made->nameMax = nameMax > 0 ? static_cast<size_t>(nameMax) : 255;
  {
    std::lock_guard lock(mutex);
    if (open.size() >= 64) std::erase_if(open, [](const auto& kv) { return kv.second.expired(); });
    open[key] = made;
  }
  out = std::move(made);
  return 0;
}

NamingLock::NamingLock(int dirFd, dev_t device, ino_t inode, bool wait) {
  fd_ = ::openat(dirFd, ".", kDirFlags);
  if (fd_ < 0) {
    error_ = errno != 0 ? errno : EIO;
    return;
  }
  // Holders keep it for a few metadata calls; far longer means something else holds it.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  // The threads of this process wait their turn on a mutex instead of trying the lock again
  // and again: many small files are renamed into one folder side by side. The flock below
  // then keeps other processes out.
  // Not waited for: another holds it.
  auto busy = [this] {
    ::close(fd_);
    fd_ = -1;
    if (local_ != nullptr) local_->unlock();
    local_ = nullptr;
    error_ = EWOULDBLOCK;
  };
  struct stat st;
  if (inode == 0 && ::fstat(fd_, &st) == 0) {
    device = st.st_dev;
    inode = st.st_ino;
  }
  if (inode != 0) {
    static std::timed_mutex stripes[64];
    std::timed_mutex& m = stripes[(inode ^ (device << 7)) % 64];
    if (wait ? m.try_lock_until(until) : m.try_lock()) {
      local_ = &m;
    } else if (!wait) {
      busy();
      return;
    }
  }
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (!wait && errno == EWOULDBLOCK) {
      busy();
      return;
    }
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > until) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

NamingLock::~NamingLock() {
  if (fd_ >= 0) ::close(fd_);
  if (local_ != nullptr) local_->unlock();
}

bool StillNamed(int dirFd, const std::string& name, int fd) {
  struct stat named, open;
  return ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstat(fd, &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

}  // namespace sf::engine
