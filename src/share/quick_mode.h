// The quick path to one direct link: a share URL (and its password) in, the direct link of
// the first file the share page lists out. It reads the page with plain text searches, and
// asks for a captcha inside the same view when the service wants one. Every request goes to
// the share host through a web client that never merges cookies (the quick mode keeps one
// cookie of its own choosing), the captcha picture through the plain request client.
//
// Runs on the caller's thread and blocks it, so a window runs it on a worker; a raised cancel
// flag gives up its requests. Values taken from answers and from the user go into URLs and
// bodies as they are, without any encoding.
#pragma once

#include <memory>
#include <string>

#include "net/inet_platform.h"
#include "net/plain_web_client.h"
#include "net/web_client.h"

namespace sf {

// What links a parse to the captcha submissions after it. Never reset: each parse overwrites
// what it computes, and the captcha id stays until the next captcha is fetched.
struct QuickModeState {
  std::string shareId;    // shareid
  std::string userId;     // uk
  std::string cookies;    // the cookie text sent with the requests
  std::string requestId;  // logid
  std::string sign;
  std::string sekey;
  std::string timestamp;
  std::string fileId;     // fs_id of the first file on the share page
  std::string captchaId;  // vcode_str of the last captcha
};

// The controls the quick mode works with. All texts are GBK.
class QuickModeView {
 public:
  virtual ~QuickModeView() = default;
  virtual void ShowStatus(const std::string& text) = 0;
  // Replaces the output box's text.
  virtual void SetOutput(const std::string& text) = 0;
  // PNG or JPEG bytes of a captcha picture; empty when it could not be fetched.
  virtual void ShowCaptchaPicture(const std::string& bytes) = 0;
  // The captcha box: what the user typed, and emptying it.
  virtual std::string CaptchaText() = 0;
  virtual void ClearCaptchaText() = 0;
};

class QuickMode {
 public:
  // `host`: the share service's web host with its scheme and without a trailing "/".
  // Null platforms mean the libcurl ones.
  QuickMode(std::string host, QuickModeView& view, std::shared_ptr<HttpPlatform> http = nullptr,
            std::shared_ptr<InetPlatform> inet = nullptr);

  // Every later request, and the one under way, is given up once `cancel` is raised.
  void SetCancelFlag(const CancelFlag& cancel);

  // The parse button: URL and password box texts. False, and nothing done, while another
  // parse or submission is still running.
  bool Parse(const std::string& url, const std::string& password);

  // The captcha button or a click on the picture: asks for the link again with the captcha
  // box's text and the last captcha's id. False, and nothing done, while a run is going on.
  bool SubmitCaptcha();

  // Steps of the two above: the link request with the state's values, and fetching and
  // showing a captcha.
  void RequestLink(const std::string& vcodeInput, const std::string& vcodeStr);
  void FetchCaptcha();

  const QuickModeState& state() const { return state_; }
  bool running() const { return running_; }

 private:
  std::string host_;
  QuickModeView& view_;
  WebClient client_;
  PlainWebClient plain_;
  QuickModeState state_;
  bool running_ = false;
};

}  // namespace sf
