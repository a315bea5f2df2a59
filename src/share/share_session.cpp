#include "share/share_session.h"

#include <algorithm>

#include "base/encoding.h"
#include "base/text.h"
#include "data/json_document.h"
#include "net/cookies.h"
#include "net/plain_web_client.h"
#include "share/log_id.h"

namespace sf {

ShareSession::ShareSession(std::string host, std::shared_ptr<HttpPlatform> platform,
                           std::function<std::string(const std::string&)> plainGet)
    : host_(std::move(host)),
      platform_(platform ? std::move(platform) : DefaultHttpPlatform()),
      plainGet_(std::move(plainGet)),
      client_(/*mergeCookies=*/true, platform_) {}

ShareSession::ShareSession(const ShareSession& other)
    : vcodeStr_(other.vcodeStr_),
      cookies_(other.cookies_),
      otherHostCookies_(other.otherHostCookies_),
      host_(other.host_),
      platform_(other.platform_),
      plainGet_(other.plainGet_),
      client_(other.client_),
      cancel_(other.cancel_) {}

ShareSession& ShareSession::operator=(const ShareSession& other) {
  vcodeStr_ = other.vcodeStr_;
  cookies_ = other.cookies_;
  otherHostCookies_ = other.otherHostCookies_;
  host_ = other.host_;
  platform_ = other.platform_;
  plainGet_ = other.plainGet_;
  client_ = other.client_;
  cancel_ = other.cancel_;
  return *this;
}

void ShareSession::SetCancelFlag(CancelFlag cancel) {
  cancel_ = std::move(cancel);
  client_.SetCancelFlag(cancel_);
}

// Without a fetcher of the caller's, the picture comes through the plain request client, given
// up together with the session's other requests.
std::string ShareSession::PlainGet(const std::string& url) {
  if (plainGet_) return plainGet_(url);
  PlainWebClient plain;
  plain.SetCancelFlag(cancel_);
  return plain.Request({.url = url});
}

std::string ShareSession::StripSlashes(const std::string& text) const {
  return ReplaceAll(text, "\\", "");
}

std::string ShareSession::MakeLogId() const {
  return LogIdWithDigits(RandomDigits(19));
}

std::string ShareSession::RandomDigits(int count) const {
  return RandomDigitText(count);
}

int ShareSession::ReadErrno(const std::string& response) const {
  return ReadInt(MiddleText(response, "errno\":", ","));
}

std::string ShareSession::GetCookies() const {
  return cookies_;
}

bool ShareSession::ClearCookies() {
  cookies_.clear();
  otherHostCookies_.clear();
  return true;
}

std::string* ShareSession::CookiesFor(const std::string& url) {
  std::string host = CookieHostOf(url);
  if (host == CookieHostOf(host_)) return &cookies_;
  return &otherHostCookies_[host];
}

std::optional<std::string> ShareSession::Ask(const WebRequest& request, std::string* status) {
  std::string statusText;
  WebRequest r = request;
  r.statusText = &statusText;
  if (r.cookies) r.cookies = CookiesFor(r.url);
  std::string answer = client_.Request(r);
  if (status) *status = statusText;
  if (answer.empty() && statusText == WebClient::ErrorText(kAnswerTooLarge)) return std::nullopt;
  return answer;
}

std::optional<std::string> ShareSession::Fetch(const std::string& url) {
  return Ask({.url = url, .cookies = &cookies_});
}

bool ShareSession::Take(size_t bytes) {
  taken_ += bytes;
  return taken_ <= kParseBudget;
}

size_t ShareSession::KeptBytes(const FileEntry& e) {
  return e.fs_id.size() + e.app_id.size() + e.server_filename.size() + e.size.size() +
         e.isdir.size() + e.path.size() + e.dlink.size() + e.folder_path.size();
}

int ShareSession::ListLength(const JsonDocument& doc, std::string_view path) {
  return doc.TypeOf(path) == JsonType::kArray ? doc.Count(path) : 0;
}

int ShareSession::OpenPage(std::string& shareUrl, const std::string& password,
                           const std::string& captchaAnswer, JsonDocument& doc, PageData& data) {
  std::optional<std::string> page = Fetch(shareUrl);
  if (page && FindText(*page, Utf8ToGbk("页面不存在")) > 0) page = Fetch(shareUrl);
  if (!page) return kShareTooLarge;
  if (FindText(*page, Utf8ToGbk("链接不存在")) > 0) return kLinkGone;
  if (FindText(*page, Utf8ToGbk("请输入提取密码")) > 0) {
    int verified = VerifyPassword(shareUrl, password, captchaAnswer);
    if (verified != 0) return verified;
    page = Fetch(shareUrl);
    if (!page) return kShareTooLarge;
  }

  std::string sekey = MiddleText(cookies_, "BDCLND=", ";");
  data.extra = sekey.empty() ? std::string() : "{\"sekey\":\"" + sekey + "\"}";

  if (!doc.Parse(MiddleText(*page, "yunData.setData(", ");"))) return kNoPageData;
  // A share without a file list has no files; one whose list is something else cannot be
  // read, and counting it as empty would report a share of files as a success with none.
  JsonType fileList = doc.TypeOf("file_list");
  JsonType list = doc.TypeOf("file_list.list");
  if ((fileList != JsonType::kNull && fileList != JsonType::kObject) ||
      (list != JsonType::kNull && list != JsonType::kArray))
    return kNoPageData;
  data.sign = doc.GetText("sign");
  data.timestamp = doc.GetText("timestamp");
  data.bdstoken = doc.GetText("bdstoken");
  data.logid = MakeLogId();
  data.uk = doc.GetText("uk");
  data.shareid = doc.GetText("shareid");
  data.count = ListLength(doc, "file_list.list");
  return 0;
}

int ShareSession::Resolve(std::string& shareUrl, std::vector<FileEntry>& entries, int& position,
                          const std::string& password, const std::string& captchaAnswer) {
  // An empty list starts a parse; later calls of it resume link fetching and keep counting.
  if (entries.empty()) {
    missing_.clear();
    taken_ = 0;
  }
  failureReason_.clear();
  return Stopped(ResolveFrom(shareUrl, entries, position, password, captchaAnswer));
}

int ShareSession::ResolveFrom(std::string& shareUrl, std::vector<FileEntry>& entries, int& position,
                              const std::string& password, const std::string& captchaAnswer) {
  JsonDocument doc;
  PageData data;
  if (int code = OpenPage(shareUrl, password, captchaAnswer, doc, data); code != 0) return code;
  int count = data.count;

  if (entries.empty() && count >= 1) {
    Walk walk;
    walk.stopped = static_cast<size_t>(count) > kMaxEntries;
    count = static_cast<int>(std::min(static_cast<size_t>(count), kMaxEntries));
    entries.assign(static_cast<size_t>(count), FileEntry{});
    // The page's items are all read before any folder is listed, so that the entries a
    // listener sees are never blanks waiting for their item. A limit reached at an item leaves
    // the folders from that item on unlisted, as when each folder followed its item.
    int listedBefore = count + 1;
    for (int i = 1; i <= count; ++i) {
      std::string item = "file_list.list[" + std::to_string(i - 1);
      FileEntry& e = entries[static_cast<size_t>(i) - 1];
      e.size = doc.GetText(item + "].size");
      e.path = doc.GetText(item + "].path");
      e.fs_id = doc.GetText(item + "].fs_id", /*serialise=*/true);
      e.isdir = doc.GetText(item + "].isdir");
      e.app_id = doc.GetText(item + "].app_id");
      e.server_filename = doc.GetText(item + "].server_filename");
      // The page's items are all kept, whatever they hold: one answer bounds them.
      walk.stopped =
          walk.stopped || e.server_filename.size() > kMaxNameBytes || !Take(KeptBytes(e));
      if (walk.stopped && listedBefore > count) listedBefore = i;
    }
    walk.stopped = false;
    if (listingListener_) listingListener_(entries);
    for (int i = 1; i < listedBefore && !walk.stopped; ++i) {
      // Listing below appends to the vector, so no reference into it is kept across the call.
      const FileEntry& e = entries[static_cast<size_t>(i) - 1];
      if (e.isdir != "1") continue;
      std::string dir = e.path;
      std::string folderPath = e.server_filename;
      ListFolderAt(data.uk, data.shareid, dir, folderPath, entries, 1, walk);
    }
    if (listedBefore <= count) walk.stopped = true;
    // The page's own items are all kept; no link is asked for a share cut short.
    if (walk.stopped) return kShareTooLarge;
  }

  int last = static_cast<int>(entries.size());
  if (position < 1) position = 1;
  for (; position <= last; ++position) {
    FileEntry& e = entries[static_cast<size_t>(position) - 1];
    if (e.isdir != "0" || (linkFilter_ && !linkFilter_(e))) continue;
    if (int code = AskLink(e, shareUrl, data, captchaAnswer); code != 0) return code;
    if (linkListener_ && !linkListener_(static_cast<size_t>(position) - 1)) {
      ++position;  // this link was kept
      return kLinksStopped;
    }
  }
  return 0;
}

int ShareSession::RefreshLink(std::string& shareUrl, FileEntry& entry, const std::string& password,
                              const std::string& captchaAnswer) {
  taken_ = 0;  // one link, replacing the one the entry had
  failureReason_.clear();
  JsonDocument doc;
  PageData data;
  int code = OpenPage(shareUrl, password, captchaAnswer, doc, data);
  if (code == 0) code = AskLink(entry, shareUrl, data, captchaAnswer);
  return Stopped(code);
}

std::string ShareSession::UnreadableLinkAnswer(const std::string& answer,
                                               const std::string& status) {
  // The transport's failure ("712 …") or an HTTP status other than success ("502 Bad Gateway").
  if (!status.empty() && status[0] != '2') return status;
  JsonDocument doc;
  if (answer.empty() || !doc.Parse(answer) || doc.TypeOf() != JsonType::kObject ||
      doc.TypeOf("errno") != JsonType::kNumber)
    return Utf8ToGbk("链接应答无法读取");
  return {};
}

int ShareSession::AskLink(FileEntry& entry, const std::string& shareUrl, const PageData& data,
                          const std::string& captchaAnswer) {
  std::string url = host_ + "/api/sharedownload?sign=" + data.sign +
                    "&timestamp=" + data.timestamp + "&bdstoken=" + data.bdstoken +
                    "&channel=chunlei&clienttype=0&web=1&app_id=" + entry.app_id +
                    "&logid=" + data.logid;
  std::string body = "encrypt=0&product=share&uk=" + data.uk + "&primaryid=" + data.shareid +
                     "&vcode_input=" + captchaAnswer + "&vcode_str=" + vcodeStr_ +
                     "&extra=" + data.extra + "&fid_list=%5B" + entry.fs_id + "%5D";
  std::string status;
  std::optional<std::string> answer = Ask({.url = url,
                                           .method = 1,
                                           .body = body,
                                           .cookies = &cookies_,
                                           .headerLines = "Referer:" + shareUrl},
                                          &status);
  vcodeStr_.clear();
  if (!answer) return kShareTooLarge;
  int code = ReadErrno(*answer);
  if (code != 0) return code;
  // Only the service's own answer says a link was given. An error page of a proxy, a dropped
  // connection or a request that could not even be made holds no errno either, and taken for
  // success it would pass the file over without a link.
  if (std::string reason = UnreadableLinkAnswer(*answer, status); !reason.empty()) {
    failureReason_ = std::move(reason);
    return kNoPageData;
  }
  std::string dlink = StripSlashes(MiddleText(*answer, "dlink\":\"", "\""));
  if (!Take(dlink.size())) return kShareTooLarge;
  entry.dlink = std::move(dlink);
  return 0;
}

}  // namespace sf
