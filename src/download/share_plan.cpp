#include "download/share_plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "base/encoding.h"
#include "base/file_names.h"
#include "base/path_glob.h"
#include "engine_api/engine_api.h"

namespace sf {
namespace {

// More candidates than this for one name means something is wrong with the directory.
constexpr int kMaxNumbered = 10000;
// " (99999)": what a numbered name may add.
constexpr size_t kCounterBytes = 8;

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// Maps the share's folders to folders on disk, each once, and keeps every path a plan hands
// out apart from every other.
class Layout {
 public:
  Layout(const std::vector<FileEntry>& entries, const PlanOptions& options, const DiskLook& look)
      : options_(options), look_(look) {
    size_t limit = options.nameMax > kEngineNameReserve + kCounterBytes + 16
                       ? options.nameMax - kEngineNameReserve - kCounterBytes
                       : 16;
    segmentBytes_ = limit;
    // A folder's own name is known from its entry, so a "/" inside that name does not pass for
    // a separator of its path.
    for (const FileEntry& e : entries)
      if (e.isdir == "1")
        folders_.emplace(Join(e.folder_path, e.server_filename),
                         std::make_pair(e.folder_path, e.server_filename));
  }

  size_t segmentBytes() const { return segmentBytes_; }

  // The disk folder (relative) of a share folder path (GBK); nothing when none is free.
  std::optional<std::string> Folder(const std::string& sharePath) {
    if (sharePath.empty()) return std::string();
    auto known = mapped_.find(sharePath);
    if (known != mapped_.end()) return known->second;
    std::string parent, name;
    auto entry = folders_.find(sharePath);
    if (entry != folders_.end()) {
      parent = entry->second.first;
      name = entry->second.second;
    } else {
      size_t slash = sharePath.rfind('/');
      parent = slash == std::string::npos ? std::string() : sharePath.substr(0, slash);
      name = slash == std::string::npos ? sharePath : sharePath.substr(slash + 1);
    }
    std::optional<std::string> parentDisk = Folder(parent);
    if (!parentDisk) return std::nullopt;
    const bool parentAbsent = Absent(*parentDisk);
    std::string safe = SafeShareSegment(GbkToUtf8(name), segmentBytes_);
    for (int n = 0; n < kMaxNumbered; ++n) {
      std::string candidate =
          Join(*parentDisk, n == 0 ? safe : safe + " (" + std::to_string(n) + ")");
      if (!Claim(candidate, "d" + sharePath)) continue;
      DiskEntry there = parentAbsent ? DiskEntry{} : look_(options_.directory + "/" + candidate);
      if (there.error != 0) {
        error_ = there.error;
        Release(candidate);
        return std::nullopt;
      }
      if (there.kind == DiskEntry::Kind::kNone || there.kind == DiskEntry::Kind::kDirectory) {
        if (there.kind == DiskEntry::Kind::kNone) absent_.insert(candidate);
        mapped_[sharePath] = candidate;
        return candidate;
      }
      Release(candidate);
    }
    return std::nullopt;
  }

  // True when `path` is free for `owner` (or already its own); it is then the owner's.
  bool Claim(const std::string& path, const std::string& owner) {
    auto [it, added] = claimed_.emplace(path, owner);
    return added || it->second == owner;
  }
  void Release(const std::string& path) { claimed_.erase(path); }
  // The disk folder (relative) was not there when it was looked for: nothing inside it needs a
  // look of its own, which saves a share never downloaded before three looks a file. What
  // appears there meanwhile is another's: a whole file is still found before its download
  // starts, and a listed one is taken up again.
  bool Absent(const std::string& folder) const { return absent_.count(folder) != 0; }
  // The errno value of the last look that could not tell what is on disk, 0 if none.
  int error() const { return error_; }
  void ClearError() { error_ = 0; }

 private:
  const PlanOptions& options_;
  const DiskLook& look_;
  size_t segmentBytes_;
  int error_ = 0;
  std::unordered_map<std::string, std::pair<std::string, std::string>> folders_;
  std::unordered_map<std::string, std::string> mapped_;
  std::unordered_map<std::string, std::string> claimed_;  // disk path -> who has it
  std::unordered_set<std::string> absent_;
};

}  // namespace

std::string SafeShareSegment(std::string_view utf8, size_t maxBytes) {
  std::string name = MakeFileName(utf8, maxBytes);
  return name.empty() ? "_" : name;
}

int64_t SizeOf(const FileEntry& entry) {
  const std::string& text = entry.size;
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoll(text);
}

std::string SharePathOf(const FileEntry& entry) {
  return GbkToUtf8(Join(entry.folder_path, entry.server_filename));
}

bool ShareFilter::Takes(std::string_view sharePath) const {
  bool taken = include.empty();
  for (const std::string& glob : include) taken = taken || GlobMatch(glob, sharePath);
  for (const std::string& glob : exclude) taken = taken && !GlobMatch(glob, sharePath);
  return taken;
}

std::vector<size_t> ChooseFiles(const std::vector<FileEntry>& entries, const ShareFilter& filter) {
  std::vector<size_t> chosen;
  // Without globs every file is taken: no path is made for each of a share of many files.
  const bool all = filter.include.empty() && filter.exclude.empty();
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].isdir == "0" && (all || filter.Takes(SharePathOf(entries[i]))))
      chosen.push_back(i);
  return chosen;
}

std::vector<size_t> FilesUnder(const std::vector<FileEntry>& entries,
                               const std::vector<size_t>& picked) {
  std::vector<bool> taken(entries.size());
  std::unordered_set<std::string> folders;
  for (size_t index : picked) {
    if (index >= entries.size()) continue;
    const FileEntry& e = entries[index];
    if (e.isdir == "1")
      folders.insert(Join(e.folder_path, e.server_filename));
    else
      taken[index] = true;
  }
  // A folder's items carry its path, or one below it, as theirs. Each file looks up its own
  // folder and that folder's parents, so a whole list selected costs one pass, not one per row.
  std::vector<size_t> files;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].isdir != "0") continue;
    std::string_view folder = entries[i].folder_path;
    bool under = taken[i];
    for (size_t end = folder.size(); !under && end > 0 && !folders.empty();) {
      under = folders.count(std::string(folder.substr(0, end))) != 0;
      size_t slash = end > 1 ? folder.rfind('/', end - 1) : std::string_view::npos;
      end = slash == std::string_view::npos ? 0 : slash;
    }
    if (under) files.push_back(i);
  }
  return files;
}

DiskEntry LookOnDisk(const std::string& path) {
  DiskEntry d;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    d.kind = S_ISDIR(st.st_mode)   ? DiskEntry::Kind::kDirectory
             : S_ISREG(st.st_mode) ? DiskEntry::Kind::kFile
                                   : DiskEntry::Kind::kOther;
    d.size = st.st_size;
  } else if (errno == EACCES || errno == ELOOP || errno == ENOTDIR || errno == ENAMETOOLONG) {
    d.kind = DiskEntry::Kind::kOther;  // unreadable: not ours to use
  } else if (errno != ENOENT) {
    d.error = errno;  // what is there is unknown: neither free nor taken
    return d;
  }
  for (std::string_view suffix : {layout::kPartSuffix, layout::kControlSuffix}) {
    if (::lstat((path + std::string(suffix)).c_str(), &st) == 0)
      d.partial = true;
    else if (errno != ENOENT && errno != EACCES && errno != ENOTDIR && errno != ELOOP)
      d.error = errno;
  }
  return d;
}

struct SharePlanner::State {
  State(const std::vector<FileEntry>& e, const PlanOptions& o, const DiskLook& l)
      : entries(e), options(o), look(l), layout(e, options, look) {}
  const std::vector<FileEntry>& entries;
  PlanOptions options;
  DiskLook look;
  Layout layout;
};

SharePlanner::SharePlanner(const std::vector<FileEntry>& entries, const PlanOptions& options,
                           DiskLook look)
    : state_(std::make_unique<State>(entries, options, std::move(look))) {}

SharePlanner::~SharePlanner() = default;

PlannedFile SharePlanner::Plan(size_t index) {
  const PlanOptions& options = state_->options;
  const DiskLook& look = state_->look;
  Layout& layout = state_->layout;
  const FileEntry& e = state_->entries[index];
  PlannedFile f;
  f.entry = index;
  f.sharePath = SharePathOf(e);
  f.size = SizeOf(e);
  layout.ClearError();
  std::optional<std::string> folder = layout.Folder(e.folder_path);
  if (!folder) {
    f.step = PlanStep::kRefuse;
    f.problem = layout.error() != 0
                    ? GbkToUtf8(e.folder_path) + ": " + std::strerror(layout.error())
                    : "no free folder name on disk";
    return f;
  }
  f.folder = *folder;
  std::string directory = Join(options.directory, f.folder);
  if (Utf8ToUtf16(directory).size() > options.maxDirectoryUnits) {
    f.step = PlanStep::kRefuse;
    f.problem =
        "folder path longer than " + std::to_string(options.maxDirectoryUnits) + " characters";
    return f;
  }
  std::string safe = SafeShareSegment(GbkToUtf8(e.server_filename), layout.segmentBytes());
  const bool absent = layout.Absent(f.folder);
  f.step = PlanStep::kRefuse;
  f.problem = "no free file name on disk";
  for (int n = 0; n < kMaxNumbered; ++n) {
    std::string name = NumberedName(safe, n);
    std::string path = Join(f.folder, name);
    if (!layout.Claim(path, "f" + std::to_string(index))) continue;
    DiskEntry there = absent ? DiskEntry{} : look(options.directory + "/" + path);
    if (there.error != 0) {
      layout.Release(path);
      f.problem = path + ": " + std::strerror(there.error);
      break;
    }
    std::optional<PlanStep> step;
    if (there.kind == DiskEntry::Kind::kFile && !there.partial && f.size >= 0 &&
        there.size == f.size)
      step = PlanStep::kSkip;
    else if (there.kind == DiskEntry::Kind::kNone)
      step = there.partial ? PlanStep::kResume : PlanStep::kDownload;
    else if (there.kind == DiskEntry::Kind::kFile && !there.partial && f.size < 0)
      step = PlanStep::kAskServer;  // taking the next name would copy it again on every run
    if (!step) {
      layout.Release(path);
      continue;
    }
    f.name = name;
    f.step = *step;
    f.problem.clear();
    break;
  }
  return f;
}

std::vector<PlannedFile> PlanShare(const std::vector<FileEntry>& entries,
                                   const std::vector<size_t>& chosen, const PlanOptions& options,
                                   const DiskLook& look) {
  SharePlanner planner(entries, options, look);
  std::vector<PlannedFile> plan;
  plan.reserve(chosen.size());  // a share of many files is not copied as the list grows
  for (size_t index : chosen)
    if (index < entries.size()) plan.push_back(planner.Plan(index));
  return plan;
}

std::string MakeFolders(const std::string& directory, const std::string& relative) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return directory + ": " + std::strerror(errno);
  std::string at = directory;
  size_t start = 0;
  std::string problem;
  while (problem.empty() && start < relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    std::string segment = relative.substr(start, slash - start);
    start = slash + 1;
    at += "/" + segment;
    if (segment.empty() || segment == "." || segment == "..") {
      problem = at + ": not a folder name";
      break;
    }
    if (::mkdirat(fd, segment.c_str(), 0755) != 0 && errno != EEXIST) {
      problem = at + ": " + std::strerror(errno);
      break;
    }
    int next = ::openat(fd, segment.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      problem =
          at + (errno == ELOOP || errno == ENOTDIR ? ": a link or a file is in the way"
                                                   : std::string(": ") + std::strerror(errno));
      break;
    }
    ::close(fd);
    fd = next;
  }
  ::close(fd);
  return problem;
}

}  // namespace sf
