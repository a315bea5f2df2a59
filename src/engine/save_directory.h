// The directory a task saves into, held open as a descriptor so that every name the task
// creates, renames or removes is taken relative to the very directory that was checked, never
// to a path looked up again later. When the caller says which leading part of the directory is
// its own root, the folders below that root are opened without following any link, so a folder
// swapped for a link cannot send a byte outside the root.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace sf::engine {

// Opens `dir` (UTF-8) and gives its descriptor in `fd` (O_RDONLY, close-on-exec), or an errno
// value. `rootBytes` is the length of the leading part of `dir` that is the caller's root: that
// part is opened as given (it may be a link the user made), and every folder below it is opened,
// and made when `create` and missing, one name at a time without following a link; a link or a
// file in the way gives ENOTDIR. With `rootBytes` 0 the whole directory is made and opened as
// given. A `rootBytes` that does not end at a "/" of `dir` (or at its end) gives EINVAL.
int OpenSaveDirectory(const std::string& dir, size_t rootBytes, bool create, int& fd);

// A save directory held open, shared by the tasks that save into it at the same time.
struct SaveDirectory {
  SaveDirectory() = default;
  SaveDirectory(const SaveDirectory&) = delete;
  SaveDirectory& operator=(const SaveDirectory&) = delete;
  ~SaveDirectory();

  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  size_t nameMax = 255;  // the file system's limit for one name, in bytes
};

// The directory OpenSaveDirectory opens, made when missing. While another task still holds it
// open and `dir` names that very directory (same device and inode, which no other directory
// can have while it is open), that one is shared: a stream of small files into one folder
// does not open, measure and close it for each. A directory removed or put elsewhere meanwhile
// is opened anew, the way the task's own open would.
int ShareSaveDirectory(const std::string& dir, size_t rootBytes,
                       std::shared_ptr<SaveDirectory>& out);

// While held, no other task of any process examines or changes which download files exist in
// the directory: a task that looks for a free name and claims it, or a finished download renamed
// into place with its control file removed, is seen whole or not at all. It is an exclusive
// flock on a descriptor of its own, so two threads of one process exclude each other as two
// processes do. A file system that cannot lock, or a holder that never lets go, leaves the
// section unguarded rather than stopping downloads; but when no descriptor can be opened for
// it (descriptors or memory run out) the lock is not held and `error()` says why: the caller
// must not go on. Never hold two at once.
//
// Threads of one process queue on a mutex of the directory first (shared with a few other
// directories), so they wait without trying the lock in a loop.
class NamingLock {
 public:
  // `device` and `inode` of the directory, when the caller knows them (else 0: looked up).
  // With `wait` false the lock is only tried: when another holds it, error() is EWOULDBLOCK.
  explicit NamingLock(int dirFd, dev_t device = 0, ino_t inode = 0, bool wait = true);
  ~NamingLock();
  NamingLock(const NamingLock&) = delete;
  NamingLock& operator=(const NamingLock&) = delete;

  // 0, or the errno value that kept the lock from being taken.
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
  std::timed_mutex* local_ = nullptr;
};

// True when the open file `fd` is the file `name` names in `dirFd` now (a link is not followed).
bool StillNamed(int dirFd, const std::string& name, int fd);

}  // namespace sf::engine
