// The share session: turns one share URL into the share's files, each with a direct link.
// One session lives as long as the program; the resolution driver clears its cookies at the
// start of every parse and calls Resolve until it succeeds, fails for good, or the user
// declines a prompt. All requests go to the share host over the web client that merges
// cookies; nothing the session puts into a URL or body is percent-encoded.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "net/web_client.h"

namespace sf {

class JsonDocument;

// One file or folder of a share; every field is text.
struct FileEntry {
  std::string fs_id;
  std::string app_id;
  std::string server_filename;
  std::string size;
  std::string isdir;
  std::string path;
  std::string dlink;
  // Ours, not the service's: the folders from the share's root down to the item, joined by
  // "/" ("" at the top level), so its place in the share survives without the sharer's path.
  std::string folder_path;
};

// A folder of the share whose contents are not all in the entry list: the service refused to
// list it, its answer could not be read, or it lies deeper than the walk goes.
struct MissingFolder {
  std::string path;    // its place in the share, as folder_path joins it
  std::string reason;  // what kept it out, for the user
};

// Result codes of the session's own, besides the service's errno values.
inline constexpr int kLinkGone = -997;    // the page says the link does not exist
inline constexpr int kNoPageData = -998;  // no readable page data
inline constexpr int kBadCaptchaReason = -999;
// The share is more than we take in: more folders or entries than any real share, or an
// answer past the transport's cap. Resolution stops there and keeps what it collected.
inline constexpr int kShareTooLarge = -996;
// The link listener wanted no more links; those after the position reached were not asked for.
inline constexpr int kLinksStopped = -100001;
// The session's cancel flag was raised: the request under way was given up, nothing after it
// was asked. Not the service's answer, so nothing to show as one.
inline constexpr int kResolutionCancelled = -100002;
inline constexpr int kNeedLinkCaptcha = -20;
inline constexpr int kNeedVerifyCaptcha = -62;
inline constexpr int kPasswordMissing = -9;
inline constexpr int kPasswordWrong = -12;

class ShareSession {
 public:
  // `host`: the share service's web host with its scheme, e.g. "http://127.0.0.1:8080".
  // `plainGet`: fetches raw bytes of an address without cookies (the captcha picture);
  // empty means the plain request client.
  explicit ShareSession(std::string host, std::shared_ptr<HttpPlatform> platform = nullptr,
                        std::function<std::string(const std::string&)> plainGet = {});
  ShareSession(const ShareSession& other);
  ShareSession& operator=(const ShareSession& other);
  virtual ~ShareSession() = default;

  virtual std::string StripSlashes(const std::string& text) const;
  virtual std::string MakeLogId() const;
  virtual std::string RandomDigits(int count = 19) const;
  virtual int ReadErrno(const std::string& response) const;
  virtual int VerifyPassword(std::string& shareUrl, const std::string& password,
                             const std::string& captchaAnswer);
  virtual int ListFolder(const std::string& uk, const std::string& shareid, const std::string& dir,
                         std::vector<FileEntry>& entries);
  virtual std::string GetCookies() const;
  virtual bool ClearCookies();
  virtual int FetchCaptcha(std::string& imageBytes, int reason);
  virtual std::string ErrorMessage(int code) const;
  virtual int Resolve(std::string& shareUrl, std::vector<FileEntry>& entries, int& position,
                      const std::string& password, const std::string& captchaAnswer);

  // A fresh direct link for one file of a share resolved before, whose link has expired: the
  // page fetched again with the session's cookies (verifying `password` when the page asks for
  // it), its data read, and the same link request as Resolve sends for the entry. 0 with the
  // entry's dlink replaced, or a code as Resolve gives one (-20 asks for a captcha answer).
  int RefreshLink(std::string& shareUrl, FileEntry& entry, const std::string& password,
                  const std::string& captchaAnswer);

  // Why the last Resolve or RefreshLink failed when its code alone does not say it: a link
  // answer that was empty or unreadable gives kNoPageData, and this holds the transport's
  // error or the HTTP status (GBK). Empty otherwise.
  const std::string& FailureReason() const { return failureReason_; }

  // The folders the last fill of an entry list could not list whole; a Resolve call on an
  // empty list starts it afresh. A parse that returns 0 with any here is incomplete.
  const std::vector<MissingFolder>& MissingFolders() const { return missing_; }

  const std::string& host() const { return host_; }
  const std::string& vcodeStr() const { return vcodeStr_; }
  // Takes over the token of a captcha that a copy of this session fetched, so a prompt can
  // fetch pictures on a thread of its own while the parse waits for its answer.
  void AdoptCaptchaToken(const ShareSession& copy) { vcodeStr_ = copy.vcodeStr_; }

  // Every later request of the session, and the one under way, is given up once `cancel` is
  // raised. Set it before the session is handed to another thread.
  void SetCancelFlag(CancelFlag cancel);

  // Called with the entry's position each time Resolve has kept a link, before it asks the
  // next one, so the file can be fetched while the later links are still being asked for. It
  // gives false to have no more links asked for: Resolve then gives kLinksStopped. Empty:
  // nobody listens. Never copied with the session.
  using LinkListener = std::function<bool(size_t entry)>;
  void SetLinkListener(LinkListener listener) { linkListener_ = std::move(listener); }
  // Which file entries Resolve asks links for; the others are passed over as folders are, and
  // keep no link. Empty: every file. Never copied with the session.
  using LinkFilter = std::function<bool(const FileEntry& entry)>;
  void SetLinkFilter(LinkFilter filter) { linkFilter_ = std::move(filter); }
  // Called on the resolving thread with the entries listed so far: once the share's top-level
  // items are all in, then after every page of a folder listing. Those entries stay where they
  // are, each complete, so a caller may show them while the walk goes on. Empty: nobody
  // listens. Never copied with the session.
  using ListingListener = std::function<void(const std::vector<FileEntry>& entries)>;
  void SetListingListener(ListingListener listener) { listingListener_ = std::move(listener); }

  // Claims the session for one resolution at a time; false when another one holds it.
  bool TryBeginResolution() { return !busy_.exchange(true); }
  void EndResolution() { busy_ = false; }

  // More entries than any real share lists: resolution stops there (kShareTooLarge).
  static constexpr size_t kMaxEntries = 1000000;

 private:
  // A broken or hostile listing could nest without end or list a folder inside itself, or
  // name ever new folders: every folder listing two new ones would never end.
  static constexpr int kMaxFolderDepth = 64;
  static constexpr int kMaxListedFolders = 10000;
  // What one parse keeps of all its answers together (every entry's texts and links): a
  // hostile service could otherwise make a modest number of entries cost gigabytes. The
  // answers themselves pass one at a time; a real item keeps a small part of its answer, so a
  // share of a million real items still fits. No real name comes near the cap.
  static constexpr size_t kParseBudget = size_t{256} << 20;
  static constexpr size_t kMaxNameBytes = 4096;
  // Items a listing request asks for, and the most a page brings.
  static constexpr int kPageSize = 100;

  // What the share page gives the link requests of one call.
  struct PageData {
    std::string sign, timestamp, bdstoken, logid, uk, shareid, extra;
    int count = 0;  // the page's top-level items
  };

  // Fetches the share page, verifying the password when it asks for one, and reads its data
  // into `doc` and `data`: 0, or the code that stopped it.
  int OpenPage(std::string& shareUrl, const std::string& password, const std::string& captchaAnswer,
               JsonDocument& doc, PageData& data);
  // Resolve past the start of a parse: the page, its entries and their links.
  int ResolveFrom(std::string& shareUrl, std::vector<FileEntry>& entries, int& position,
                  const std::string& password, const std::string& captchaAnswer);
  // Why a link answer without a service error is no answer of the service's, or empty when it
  // is one. `status`: the transport's status line or error.
  static std::string UnreadableLinkAnswer(const std::string& answer, const std::string& status);
  // Asks the link of one file entry and keeps it in its dlink: 0, or the code that stopped it.
  int AskLink(FileEntry& entry, const std::string& shareUrl, const PageData& data,
              const std::string& captchaAnswer);

  // One walk over a share's folders.
  struct Walk {
    std::unordered_set<std::string> listed;
    int folders = 0;
    bool stopped = false;  // a limit was reached; nothing more is listed
  };

  // Every request of the session goes through here: nothing for an answer past the
  // transport's cap, which would otherwise look like an empty (successful) one. A request
  // that carries cookies carries those of the host it goes to (CookiesFor).
  std::optional<std::string> Ask(const WebRequest& request, std::string* status = nullptr);
  // The cookie text of the host `url` names: the session's own for the share host; one of its
  // own for any other (a share link typed with another host), which never sees the share
  // host's cookies, nor gives it its own.
  std::string* CookiesFor(const std::string& url);
  // A code of a call that failed, or kResolutionCancelled when that was the cancel flag.
  int Stopped(int code) const {
    return code != 0 && cancel_.raised() ? kResolutionCancelled : code;
  }
  std::optional<std::string> Fetch(const std::string& url);
  // The number of items is that of the list's real elements, never a count the answer claims.
  static int ListLength(const JsonDocument& doc, std::string_view path);
  std::string PlainGet(const std::string& url);
  // Counts `bytes` kept against the parse's budget; false once it is spent.
  bool Take(size_t bytes);
  static size_t KeptBytes(const FileEntry& e);
  // `folderPath`: the listed folder's place in the share, which its items take as theirs.
  int ListFolderAt(const std::string& uk, const std::string& shareid, const std::string& dir,
                   const std::string& folderPath, std::vector<FileEntry>& entries, int depth,
                   Walk& walk);

  std::string vcodeStr_;
  std::string cookies_;
  std::map<std::string, std::string> otherHostCookies_;  // by host name
  std::string host_;
  std::shared_ptr<HttpPlatform> platform_;
  std::function<std::string(const std::string&)> plainGet_;
  WebClient client_;
  CancelFlag cancel_;
  std::atomic<bool> busy_{false};
  LinkListener linkListener_;
  LinkFilter linkFilter_;
  ListingListener listingListener_;
  std::string failureReason_;
  // Of the parse under way; never copied.
  std::vector<MissingFolder> missing_;
  size_t taken_ = 0;
};

}  // namespace sf
