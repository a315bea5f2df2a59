#include "share/resolve_driver.h"

#include "base/encoding.h"

namespace sf {

ResolveDriver::ResolveDriver(ShareSession& session, ResolvePrompts& prompts, ResolveView& view)
    : session_(session), prompts_(prompts), view_(view) {}

int ResolveDriver::Run(const std::function<std::string()>& readUrl) {
  if (!session_.TryBeginResolution()) return kResolutionBusy;
  struct Release {
    ShareSession& s;
    ~Release() { s.EndResolution(); }
  } release{session_};

  session_.ClearCookies();
  entries_.clear();
  result_ = 1;
  password_.clear();
  captchaAnswer_.clear();
  position_ = 1;
  const std::string resultPrefix = Utf8ToGbk("解析结果：");

  while (result_ != 0) {
    std::string url = readUrl();  // a working copy: what Resolve writes back is dropped
    result_ = session_.Resolve(url, entries_, position_, password_, captchaAnswer_);
    if (result_ != kNeedLinkCaptcha) view_.ShowStatus(resultPrefix + session_.ErrorMessage(result_));
    if (result_ == kNeedVerifyCaptcha || result_ == kNeedLinkCaptcha) {
      if (result_ == kNeedLinkCaptcha) {
        view_.ShowStatus(Utf8ToGbk("解析到第") + std::to_string(position_) + Utf8ToGbk("个文件错误：") +
                         session_.ErrorMessage(kNeedLinkCaptcha));
      }
      captchaAnswer_.clear();
      captchaAnswer_ = prompts_.AskCaptcha(session_, result_);
      if (captchaAnswer_.empty()) break;
    } else if (result_ == kPasswordMissing || result_ == kPasswordWrong) {
      password_.clear();
      password_ = prompts_.AskPassword();
      if (password_.empty()) break;
    } else {
      break;
    }
  }
  ListEntries();
  return result_;
}

void ResolveDriver::ListEntries() {
  const std::string n = std::to_string(entries_.size());
  const std::string folderTitle = Utf8ToGbk("目录 ") + n + Utf8ToGbk("个文件夹");
  const std::string fileTitle = Utf8ToGbk("文件名 ") + n + Utf8ToGbk("个文件");
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
