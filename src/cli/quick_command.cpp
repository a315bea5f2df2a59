#include "cli/quick_command.h"

#include <iostream>
#include <optional>
#include <utility>

#include "base/encoding.h"
#include "cli/command_line.h"
#include "share/quick_mode.h"

namespace sf::cli {

const char* const kQuickUsage =
    "Usage: sharefetch-cli quick [--host URL] [--password TEXT] SHARE\n"
    "  Gets the direct link of the first file of a share through the service's API and prints it.\n"
    "  SHARE is the link or the text it came in; a code found there serves as the password.\n"
    "  A protected share is named by its address with shareid= and uk=, and needs --password.\n"
    "  A captcha picture is saved to a file whose path is printed; type its characters.\n"
    "  --host URL       the share service's web host (default: $SHAREFETCH_HOST, else the "
    "service)\n"
    "  --password TEXT  the share's extraction password\n";

namespace {

// The quick mode's controls on a terminal: status texts on the error stream, the output box
// kept for the end, a captcha picture saved to a file, the captcha box filled from input.
class TerminalQuickView : public QuickModeView {
 public:
  explicit TerminalQuickView(Streams io) : io_(io) {}

  void ShowStatus(const std::string& text) override {
    io_.err << EscapeForTerminal(GbkToUtf8(text)) << "\n" << std::flush;
  }
  void SetOutput(const std::string& text) override { output_ = text; }
  void ShowCaptchaPicture(const std::string& bytes) override {
    captchaShown_ = true;
    if (bytes.empty())
      io_.err << "验证码图片获取失败\n";
    else if (std::string path = SaveCaptchaPicture(io_, bytes); !path.empty())
      io_.err << "验证码图片: " << path << "\n";
  }
  std::string CaptchaText() override { return captchaText_; }
  void ClearCaptchaText() override { captchaText_.clear(); }

  void SetCaptchaText(std::string text) { captchaText_ = std::move(text); }
  // Whether a captcha was shown since the last call.
  bool TakeCaptchaShown() { return std::exchange(captchaShown_, false); }
  const std::string& output() const { return output_; }

 private:
  Streams io_;
  std::string output_;
  std::string captchaText_;
  bool captchaShown_ = false;
};

}  // namespace

int RunQuick(const std::vector<std::string>& args, Streams io) {
  ShareCommandArgs given;
  if (std::optional<int> status =
          ParseShareCommandArgs(args, "quick", kQuickUsage, false, io, &given))
    return *status;

  TerminalQuickView view(io);
  QuickMode mode(given.host, view);
  mode.Parse(Utf8ToGbk(given.url), given.FirstPassword().value_or(""));
  while (view.TakeCaptchaShown()) {
    std::optional<std::string> answer = AskLine(io, "请输入验证码: ", "请输入验证码!");
    if (!answer) break;
    view.SetCaptchaText(*answer);
    mode.SubmitCaptcha();
  }
  if (view.output().empty()) {
    io.err << "未得到下载链接\n";
    return 1;
  }
  io.out << EscapeForTerminal(GbkToUtf8(view.output())) << "\n";
  return 0;
}

}  // namespace sf::cli
