// Folder listing: the share page names only the top-level items, so every folder is asked of
// the list endpoint and walked depth first, its contents directly after the folder entry.
#include "data/json_document.h"
#include "base/text.h"
#include "share/share_session.h"

namespace sf {

int ShareSession::ListFolder(const std::string& uk, const std::string& shareid, const std::string& dir,
                             std::vector<FileEntry>& entries) {
  std::unordered_set<std::string> listed;
  return ListFolderAt(uk, shareid, dir, entries, 1, &listed);
}

int ShareSession::ListFolderAt(const std::string& uk, const std::string& shareid, const std::string& dir,
                               std::vector<FileEntry>& entries, int depth, std::unordered_set<std::string>* listed) {
  // Only the first page of a folder (100 items) is asked for; a folder met twice or nested
  // deeper than any real share is not listed again, so a broken answer cannot recurse forever.
  if (depth > kMaxFolderDepth || !listed->insert(dir).second) return 0;
  JsonDocument doc;
  FileEntry working;
  std::string t = RandomDigits(16);
  std::string logid = MakeLogId();
  std::string url = host_ + "/share/list?uk=" + uk + "&shareid=" + shareid +
                    "&order=server_filename&desc=1&showempty=0&web=1&page=1&num=100&dir=" + dir + "&t=0." + t +
                    "&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" + logid;
  std::string answer = client_.Request({.url = url, .cookies = &cookies_});
  (void)doc.Parse(answer);  // an answer that is not JSON simply holds no items
  int count = ReadInt(doc.GetText("list.length"));
  for (int i = 1; i <= count; ++i) {
    std::string item = "list[" + std::to_string(i - 1);
    working.size = doc.GetText(item + "].size");
    working.path = doc.GetText(item + "].path");
    working.fs_id = doc.GetText(item + "].fs_id", /*serialise=*/true);
    working.isdir = doc.GetText(item + "].isdir");
    working.app_id = "250528";
    working.server_filename = doc.GetText(item + "].server_filename");
    entries.push_back(working);
    if (working.isdir == "1") ListFolderAt(uk, shareid, working.path, entries, depth + 1, listed);
  }
  return ReadErrno(answer);
}

}  // namespace sf
