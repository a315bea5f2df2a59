#include "share/resolve_driver.h"

#include <algorithm>

#include "base/encoding.h"

namespace sf {

ResolveDriver::ResolveDriver(ShareSession& session, ResolvePrompts& prompts, ResolveView& view)
    : session_(session), prompts_(prompts), view_(view) {}

namespace {

// Holds the session for one use at a time, for as long as it lives.
struct SessionClaim {
  explicit SessionClaim(ShareSession& s) : session(s), held(s.TryBeginResolution()) {}
  ~SessionClaim() {
    if (held) session.EndResolution();
  }
  ShareSession& session;
  bool held;
};

}  // namespace

int ResolveDriver::Run(const std::function<std::string()>& readUrl) {
  SessionClaim claim(session_);
  if (!claim.held) return kResolutionBusy;

  session_.ClearCookies();
  entries_.clear();
  // Never more than the listing itself would take in.
  entries_.reserve(std::min(expected_, ShareSession::kMaxEntries));
  missing_.clear();
  result_ = 1;
  password_.clear();
  captchaAnswer_.clear();
  position_ = 1;
  reason_.clear();
  const std::string resultPrefix = Utf8ToGbk("解析结果：");
  // The listener hears of the links of this parse only, not of a later renewal.
  struct Listening {
    Listening(ShareSession& s, const ShareSession::LinkListener& l,
              const ShareSession::LinkFilter& f, const ShareSession::ListingListener& listed)
        : session(s) {
      session.SetLinkListener(l);
      session.SetLinkFilter(f);
      session.SetListingListener(listed);
    }
    ~Listening() {
      session.SetLinkListener({});
      session.SetLinkFilter({});
      session.SetListingListener({});
    }
    ShareSession& session;
  } listening(session_, linkListener_, linkFilter_, listingListener_);

  while (result_ != 0) {
    std::string url = readUrl();  // a working copy: what Resolve writes back is dropped
    result_ = session_.Resolve(url, entries_, position_, password_, captchaAnswer_);
    // Its listener's wish, or the user's, not the service's answer.
    if (result_ == kLinksStopped || result_ == kResolutionCancelled) break;
    reason_ = session_.FailureReason();
    if (result_ != kNeedLinkCaptcha) view_.ShowStatus(resultPrefix + ResultMessage());
    if (result_ == kNeedLinkCaptcha) {
      view_.ShowStatus(Utf8ToGbk("解析到第") + std::to_string(position_) +
                       Utf8ToGbk("个文件错误：") + session_.ErrorMessage(kNeedLinkCaptcha));
    }
    if (!AskFor(result_)) break;
  }
  // The list was filled by one of the attempts; no later one fills it again.
  if (!entries_.empty()) missing_ = session_.MissingFolders();
  if (!missing_.empty()) view_.ShowMissingFolders(missing_);
  ListEntries();
  return result_;
}

int ResolveDriver::RenewLink(FileEntry& entry, const std::string& shareUrl) {
  SessionClaim claim(session_);
  if (!claim.held) return kResolutionBusy;
  while (true) {
    std::string url = shareUrl;
    int code = session_.RefreshLink(url, entry, password_, captchaAnswer_);
    if (code == 0 || !AskFor(code)) return code;
  }
}

std::string ResolveDriver::ResultMessage() const {
  std::string message = session_.ErrorMessage(result_);
  if (!reason_.empty()) message += Utf8ToGbk("（") + reason_ + Utf8ToGbk("）");
  return message;
}

bool ResolveDriver::AskFor(int code) {
  if (code == kNeedVerifyCaptcha || code == kNeedLinkCaptcha) {
    captchaAnswer_.clear();
    captchaAnswer_ = prompts_.AskCaptcha(session_, code);
    return !captchaAnswer_.empty();
  }
  if (code == kPasswordMissing || code == kPasswordWrong) {
    password_.clear();
    password_ = prompts_.AskPassword();
    return !password_.empty();
  }
  return false;
}

std::string MissingFolderText(const MissingFolder& folder) {
  return folder.path + Utf8ToGbk("（") + folder.reason + Utf8ToGbk("）");
}

std::string MissingFoldersSummary(const std::vector<MissingFolder>& missing, size_t named) {
  std::string text = std::to_string(missing.size()) + Utf8ToGbk("个文件夹未能完整列出：");
  for (size_t i = 0; i < missing.size() && i < named; ++i)
    text += (i == 0 ? "" : Utf8ToGbk("、")) + missing[i].path;
  if (missing.size() > named) text += Utf8ToGbk("等");
  return text;
}

void ResolveDriver::ListEntries() {
  // Each title counts its own kind: "N个文件" of a share of files and folders counts the files.
  size_t folders = 0;
  for (const FileEntry& e : entries_) folders += e.isdir == "1" ? 1 : 0;
  const std::string folderTitle =
      Utf8ToGbk("目录 ") + std::to_string(folders) + Utf8ToGbk("个文件夹");
  const std::string fileTitle =
      Utf8ToGbk("文件名 ") + std::to_string(entries_.size() - folders) + Utf8ToGbk("个文件");
  const std::string noLink = Utf8ToGbk("用户主动放弃解析或解析失败");
  for (size_t i = 1; i <= entries_.size(); ++i) {
    const FileEntry& e = entries_[i - 1];
    if (e.isdir == "1") {
      view_.SetNameColumnTitle(folderTitle);
      view_.AddRow({std::to_string(i), e.server_filename, "", ""});
    } else {
      view_.SetNameColumnTitle(fileTitle);
      bool linked = static_cast<int>(i) < position_;
      view_.AddRow({std::to_string(i), e.server_filename, e.size, linked ? e.dlink : noLink});
    }
  }
}

}  // namespace sf
