#include "cli/terminal_prompts.h"

#include <ostream>

#include "base/encoding.h"
#include "base/text.h"

namespace sf::cli {

std::string Shown(const std::string& gbk) {
  return EscapeForTerminal(GbkToUtf8(gbk));
}

std::string TerminalPrompts::AskPassword() {
  if (firstPassword_) {
    std::string given = TrimSpaces(*firstPassword_);
    firstPassword_.reset();
    if (!given.empty()) return given;
  }
  if (beforeWriting) beforeWriting();
  return Ask("请输入提取密码: ", "请输入提取密码!");
}

std::string TerminalPrompts::AskCaptcha(ShareSession& session, int reason) {
  if (beforeWriting) beforeWriting();
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

std::string TerminalPrompts::Ask(const char* prompt, const char* emptyMessage) {
  return AskLine(io_, prompt, emptyMessage).value_or(std::string());
}

TerminalView::TerminalView(Streams io) : io_(io), title_(Utf8ToGbk("文件名")) {}

void TerminalView::ShowStatus(const std::string& text) {
  if (beforeWriting) beforeWriting();
  io_.err << Shown(text) << "\n" << std::flush;
}

// One line per folder, so that none of ten thousand is left unnamed.
void TerminalView::ShowMissingFolders(const std::vector<MissingFolder>& missing) {
  if (beforeWriting) beforeWriting();
  for (const MissingFolder& f : missing)
    io_.err << "未能列出的文件夹：" << Shown(MissingFolderText(f)) << "\n";
  io_.err << "共" << missing.size() << "个文件夹未能完整列出，所列文件不全\n" << std::flush;
}

void TerminalView::PrintTable() const {
  if (rows_.empty()) return;
  io_.out << "编号\t" << Shown(title_) << "\t文件大小\t下载地址\n";
  for (const auto& row : rows_)
    io_.out << Shown(row[0]) << '\t' << Shown(row[1]) << '\t' << Shown(row[2]) << '\t'
            << Shown(row[3]) << '\n';
}

namespace {

std::optional<std::string> FirstPassword(const ShareCommandArgs& given, const PastedShare& share) {
  ShareCommandArgs asked = given;
  asked.code = share.code;
  return asked.FirstPassword();
}

}  // namespace

TerminalResolution::TerminalResolution(Streams io, const ShareCommandArgs& given,
                                       const PastedShare& share)
    : shareUrl(Utf8ToGbk(share.link)),
      session(given.host),
      prompts(io, FirstPassword(given, share)),
      view(io),
      driver(session, prompts, view) {}

int TerminalResolution::Run() {
  result = driver.Run([&] { return shareUrl; });
  return result;
}

void TerminalResolution::Describe(nlohmann::ordered_json& doc, bool withPosition) const {
  doc["result"] = result;
  doc["message"] = GbkToUtf8(session.ErrorMessage(result));
  doc["reason"] = GbkToUtf8(driver.reason());
  if (withPosition) doc["position"] = driver.position();
  doc["complete"] = driver.complete();
  doc["missing_folders"] = nlohmann::ordered_json::array();
  for (const MissingFolder& f : driver.missingFolders())
    doc["missing_folders"].push_back(
        {{"path", GbkToUtf8(f.path)}, {"reason", GbkToUtf8(f.reason)}});
}

}  // namespace sf::cli
