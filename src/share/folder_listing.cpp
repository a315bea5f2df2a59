// Folder listing: the share page names only the top-level items, so every folder is asked of
// the list endpoint and walked depth first, its contents directly after the folder entry.
#include <functional>
#include <unordered_set>

#include "base/encoding.h"
#include "base/text.h"
#include "data/json_document.h"
#include "share/share_session.h"

namespace sf {

int ShareSession::ListFolder(const std::string& uk, const std::string& shareid,
                             const std::string& dir, std::vector<FileEntry>& entries) {
  missing_.clear();
  taken_ = 0;
  Walk walk;
  // Without the share's root at hand, the folder's own name is its place.
  size_t slash = dir.rfind('/');
  return ListFolderAt(uk, shareid, dir, slash == std::string::npos ? dir : dir.substr(slash + 1),
                      entries, 1, walk);
}

int ShareSession::ListFolderAt(const std::string& uk, const std::string& shareid,
                               const std::string& dir, const std::string& folderPath,
                               std::vector<FileEntry>& entries, int depth, Walk& walk) {
  // A folder met twice is not listed again: its items are in the list already, and a broken
  // answer naming a folder inside itself cannot recurse forever.
  if (walk.stopped || !walk.listed.insert(dir).second) return 0;
  if (depth > kMaxFolderDepth) {
    missing_.push_back({folderPath, Utf8ToGbk("文件夹层级过深，未列出")});
    return 0;
  }
  // Every page asks what the first one asks, but for its number: same t, same log id.
  const std::string head = host_ + "/share/list?uk=" + uk + "&shareid=" + shareid +
                           "&order=server_filename&desc=1&showempty=0&web=1&page=";
  const std::string tail =
      "&num=" + std::to_string(kPageSize) + "&dir=" + dir + "&t=0." + RandomDigits(16) +
      "&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" + MakeLogId();
  FileEntry working;
  working.folder_path = folderPath;
  // Items of this folder already taken, by a hash of what tells them apart: a service that
  // ignores the page number answers the first page again, and that brings nothing new.
  std::unordered_set<size_t> seen;
  int firstErrno = 0;
  for (int page = 1;; ++page) {
    if (walk.folders >= kMaxListedFolders) {
      walk.stopped = true;
      return kShareTooLarge;
    }
    ++walk.folders;
    std::optional<std::string> answer =
        Ask({.url = head + std::to_string(page) + tail, .cookies = &cookies_});
    if (!answer) {
      walk.stopped = true;
      return kShareTooLarge;
    }
    JsonDocument doc;
    (void)doc.Parse(*answer);
    int code = ReadErrno(*answer);
    if (page == 1) firstErrno = code;
    // A refusal, or an answer without a list of items, leaves the folder out (or the rest of
    // it); the walk goes on and the parse says which folder is missing.
    if (code != 0 || doc.TypeOf("list") != JsonType::kArray) {
      std::string why = code != 0 ? ErrorMessage(code) : Utf8ToGbk("列表应答无法读取");
      if (page > 1) why = Utf8ToGbk("只列出了一部分：") + why;
      missing_.push_back({folderPath, why});
      return firstErrno;
    }
    int count = doc.Count("list");
    int fresh = 0;
    for (int i = 1; i <= count; ++i) {
      if (entries.size() >= kMaxEntries) {
        walk.stopped = true;
        return kShareTooLarge;
      }
      std::string item = "list[" + std::to_string(i - 1);
      working.size = doc.GetText(item + "].size");
      working.path = doc.GetText(item + "].path");
      working.fs_id = doc.GetText(item + "].fs_id", /*serialise=*/true);
      working.isdir = doc.GetText(item + "].isdir");
      working.app_id = "250528";
      working.server_filename = doc.GetText(item + "].server_filename");
      const size_t key = std::hash<std::string>{}(working.fs_id + '\n' + working.path + '\n' +
                                                  working.server_filename);
      // The first page is taken as it comes; later ones add only what no page before brought.
      if (!seen.insert(key).second && page > 1) continue;
      ++fresh;
      if (working.server_filename.size() > kMaxNameBytes || !Take(KeptBytes(working))) {
        walk.stopped = true;
        return kShareTooLarge;
      }
      entries.push_back(working);
      if (working.isdir == "1")
        ListFolderAt(uk, shareid, working.path, folderPath + "/" + working.server_filename, entries,
                     depth + 1, walk);
      if (walk.stopped) return kShareTooLarge;
    }
    if (listingListener_ && fresh > 0) listingListener_(entries);
    if (count < kPageSize || fresh == 0) return firstErrno;
  }
}

}  // namespace sf
