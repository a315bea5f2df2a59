// Where a share's files go on disk: under one directory, in the share's own folder tree, every
// folder and file name made safe first, names that meet on disk kept apart with " (n)", and
// what an earlier run left recognised, so that a rerun does only what is left. Names from the
// service are untrusted: nothing planned here lies outside the directory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "share/share_session.h"

namespace sf {

// A name segment of the service made safe to create (UTF-8 in and out) by MakeFileName, the
// engine's own maker, so that the engine saves a planned name unchanged: "/", "\\" and control
// characters become "_", blanks at either end go, "." and ".." (any name of dots, and nothing
// at all) become "_", and a name longer than `maxBytes` is shortened, keeping its extension
// and ending in no blank or dot.
std::string SafeShareSegment(std::string_view utf8, size_t maxBytes);

// The entry's path inside the share, "folder/sub/name", in UTF-8.
std::string SharePathOf(const FileEntry& entry);
// Its size in bytes as the share gives it; -1 when that is no whole number.
int64_t SizeOf(const FileEntry& entry);

// Which files of a share a user picked: those matching any include glob (or all, when none is
// given) and no exclude glob, over their share paths (see base/path_glob.h). UTF-8 globs.
struct ShareFilter {
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  bool Takes(std::string_view sharePath) const;
};

// The positions of the file entries the filter takes, in the share's order.
std::vector<size_t> ChooseFiles(const std::vector<FileEntry>& entries, const ShareFilter& filter);

// The files among the entries at `picked`, and every file inside a folder picked, at any depth,
// each once and in the share's order.
std::vector<size_t> FilesUnder(const std::vector<FileEntry>& entries,
                               const std::vector<size_t>& picked);

// What is at a path on disk, as far as a plan cares; a link at its end is not followed.
struct DiskEntry {
  enum class Kind { kNone, kDirectory, kFile, kOther };
  Kind kind = Kind::kNone;
  int64_t size = 0;      // of a file
  bool partial = false;  // an unfinished download of this path lies beside it
  // The errno value of a look that could not tell what is there (no memory, an I/O error):
  // such a path is neither free nor taken, and its file is refused rather than renamed.
  int error = 0;
};
using DiskLook = std::function<DiskEntry(const std::string& path)>;
DiskEntry LookOnDisk(const std::string& path);

enum class PlanStep {
  kDownload,  // nothing there yet
  kResume,    // an earlier run's partial download goes on
  kSkip,      // already there, whole: the size the share gives
  // Already there, but the share gives no size to tell whether it is whole: the engine learns
  // the server's size first, finds the file complete when it matches, and otherwise saves
  // under the next free name.
  kAskServer,
  kRefuse,  // cannot be saved; `problem` says why
};

struct PlannedFile {
  size_t entry = 0;       // position in the entries planned
  std::string sharePath;  // UTF-8
  std::string folder;     // the saved file's folder relative to the directory; "" at its top
  std::string name;       // the saved file's name
  int64_t size = -1;      // as the share gives it; -1 when it gives none
  PlanStep step = PlanStep::kDownload;
  std::string problem;

  std::string SavedPath() const { return folder.empty() ? name : folder + "/" + name; }
};

struct PlanOptions {
  std::string directory;  // absolute, UTF-8, without a "/" at the end
  size_t nameMax = 255;   // the file system's limit for one name, in bytes
  // The engine's task record holds a directory of at most this many UTF-16 units.
  size_t maxDirectoryUnits = 259;
};

// Plans the file entries at `chosen`. Every planned path lies inside the directory and no two
// share the same one; a target that exists with another size, or is no file, is left alone
// and the next free "NAME (n).ext" taken; a look that fails refuses the file, saying why. A file
// there of a size the share does not give is planned for the engine to compare with the server's.
// UTF-8 throughout; the entries are GBK.
std::vector<PlannedFile> PlanShare(const std::vector<FileEntry>& entries,
                                   const std::vector<size_t>& chosen, const PlanOptions& options,
                                   const DiskLook& look = LookOnDisk);

// PlanShare one file at a time, for a caller that hands a long plan on as it grows; every file
// planned by one planner is kept apart from the others as PlanShare keeps them. The entries
// must outlive it.
class SharePlanner {
 public:
  SharePlanner(const std::vector<FileEntry>& entries, const PlanOptions& options, DiskLook look);
  ~SharePlanner();
  SharePlanner(const SharePlanner&) = delete;
  SharePlanner& operator=(const SharePlanner&) = delete;
  // The entry at `index` (< entries.size()).
  PlannedFile Plan(size_t index);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Creates the planned folder `relative` under `directory` one segment at a time without
// following a link, so nothing can be made outside the directory, however the tree on disk
// was prepared. Empty on success, else what stood in the way.
std::string MakeFolders(const std::string& directory, const std::string& relative);

}  // namespace sf
