#include "cli/resolve_command.h"

#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/encoding.h"
#include "base/text.h"
#include "share/resolve_driver.h"
#include "share/share_host.h"

namespace sf::cli {

const char* const kResolveUsage =
    "Usage: sharefetch-cli resolve [--host URL] [--password TEXT] [--json] SHARE_URL\n"
    "  Resolves a share link into its files with a direct link for each.\n"
    "  --host URL       the share service's web host (default: $SHAREFETCH_HOST, else the service)\n"
    "  --password TEXT  answers the first extraction-password prompt\n"
    "  --json           prints one JSON object instead of the table\n";

namespace {

// A GBK text of the service as the terminal shows it.
std::string Shown(const std::string& gbk) {
  return EscapeForTerminal(GbkToUtf8(gbk));
}

class TerminalPrompts : public ResolvePrompts {
 public:
  TerminalPrompts(Streams io, std::optional<std::string> firstPassword)
      : io_(io), firstPassword_(std::move(firstPassword)) {}

  std::string AskPassword() override {
    if (firstPassword_) {
      std::string given = TrimSpaces(*firstPassword_);
      firstPassword_.reset();
      if (!given.empty()) return given;
    }
    return Ask("请输入提取密码: ", "请输入提取密码!");
  }

  std::string AskCaptcha(ShareSession& session, int reason) override {
    std::string image;
    int code = session.FetchCaptcha(image, reason);
    if (code != 0) {
      io_.err << "验证码获取失败: " << Shown(session.ErrorMessage(code)) << "\n";
    } else if (image.empty()) {
      io_.err << "验证码获取失败\n";
    } else if (std::string path = SaveCaptchaPicture(io_, image); !path.empty()) {
      io_.err << "验证码图片: " << path << "\n";
    }
    return Ask("请输入验证码: ", "请输入验证码!");
  }

 private:
  std::string Ask(const char* prompt, const char* emptyMessage) {
    return AskLine(io_, prompt, emptyMessage).value_or(std::string());
  }

  Streams io_;
  std::optional<std::string> firstPassword_;
};

class TerminalView : public ResolveView {
 public:
  explicit TerminalView(Streams io) : io_(io) {}
  void ShowStatus(const std::string& text) override {
    io_.err << Shown(text) << "\n" << std::flush;
  }
  void SetNameColumnTitle(const std::string& title) override { title_ = title; }
  void AddRow(const std::array<std::string, 4>& columns) override { rows_.push_back(columns); }

  void PrintTable() const {
    if (rows_.empty()) return;
    io_.out << "编号\t" << Shown(title_) << "\t文件大小\t下载地址\n";
    for (const auto& row : rows_)
      io_.out << Shown(row[0]) << '\t' << Shown(row[1]) << '\t' << Shown(row[2]) << '\t'
              << Shown(row[3]) << '\n';
  }

 private:
  Streams io_;
  std::string title_ = Utf8ToGbk("文件名");
  std::vector<std::array<std::string, 4>> rows_;
};

}  // namespace

int RunResolve(const std::vector<std::string>& args, Streams io) {
  ShareCommandArgs given;
  if (std::optional<int> status = ParseShareCommandArgs(args, "resolve", kResolveUsage, true, io, &given))
    return *status;

  ShareSession session(given.host);
  TerminalPrompts prompts(io, given.password ? std::optional<std::string>(Utf8ToGbk(*given.password)) : std::nullopt);
  TerminalView view(io);
  ResolveDriver driver(session, prompts, view);
  const std::string shareUrl = Utf8ToGbk(given.url);
  int result = driver.Run([&] { return shareUrl; });

  if (given.json) {
    nlohmann::ordered_json doc;
    doc["result"] = result;
    doc["message"] = GbkToUtf8(session.ErrorMessage(result));
    doc["position"] = driver.position();
    doc["entries"] = nlohmann::ordered_json::array();
    for (const FileEntry& e : driver.entries()) {
      doc["entries"].push_back({{"fs_id", GbkToUtf8(e.fs_id)},
                                {"app_id", GbkToUtf8(e.app_id)},
                                {"server_filename", GbkToUtf8(e.server_filename)},
                                {"size", GbkToUtf8(e.size)},
                                {"isdir", GbkToUtf8(e.isdir)},
                                {"path", GbkToUtf8(e.path)},
                                {"dlink", GbkToUtf8(e.dlink)}});
    }
    io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    view.PrintTable();
  }
  return result == 0 ? 0 : 1;
}

}  // namespace sf::cli
