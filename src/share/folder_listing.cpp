// Folder listing: the share page names only the top-level items, so every folder is asked of
// the list endpoint and walked depth first, its contents directly after the folder entry.
#include "base/text.h"
#include "data/json_document.h"
#include "share/share_session.h"

namespace sf {

int ShareSession::ListFolder(const std::string& uk, const std::string& shareid,
                             const std::string& dir, std::vector<FileEntry>& entries) {
  Walk walk;
  // Without the share's root at hand, the folder's own name is its place.
  size_t slash = dir.rfind('/');
  return ListFolderAt(uk, shareid, dir, slash == std::string::npos ? dir : dir.substr(slash + 1),
                      entries, 1, walk);
}

int ShareSession::ListFolderAt(const std::string& uk, const std::string& shareid,
                               const std::string& dir, const std::string& folderPath,
                               std::vector<FileEntry>& entries, int depth, Walk& walk) {
  // Only the first page of a folder (100 items) is asked for; a folder met twice or nested
  // deeper than any real share is not listed again, so a broken answer cannot recurse forever.
  if (walk.stopped || depth > kMaxFolderDepth || !walk.listed.insert(dir).second) return 0;
  if (walk.folders >= kMaxListedFolders) {
    walk.stopped = true;
    return kShareTooLarge;
  }
  ++walk.folders;
  JsonDocument doc;
  FileEntry working;
  working.folder_path = folderPath;
  std::string t = RandomDigits(16);
  std::string logid = MakeLogId();
  std::string url =
      host_ + "/share/list?uk=" + uk + "&shareid=" + shareid +
      "&order=server_filename&desc=1&showempty=0&web=1&page=1&num=100&dir=" + dir + "&t=0." + t +
      "&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" + logid;
  std::optional<std::string> answer = Ask({.url = url, .cookies = &cookies_});
  if (!answer) {
    walk.stopped = true;
    return kShareTooLarge;
  }
  (void)doc.Parse(*answer);  // an answer that is not JSON simply holds no items
  int count = ListLength(doc, "list");
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
    entries.push_back(working);
    if (working.isdir == "1")
      ListFolderAt(uk, shareid, working.path, folderPath + "/" + working.server_filename, entries,
                   depth + 1, walk);
    if (walk.stopped) return kShareTooLarge;
  }
  return ReadErrno(*answer);
}

}  // namespace sf
