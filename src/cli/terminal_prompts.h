// The resolution's prompts and view on the terminal, shared by the commands that resolve a
// share: passwords and captcha answers read from standard input (the picture saved to a file
// whose path is printed), status lines on standard error, the rows kept for a table.
#pragma once

#include <array>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/terminal_io.h"
#include "share/resolve_driver.h"

namespace sf::cli {

// A GBK text of the service as the terminal shows it.
std::string Shown(const std::string& gbk);

class TerminalPrompts : public ResolvePrompts {
 public:
  // `firstPassword` (GBK) answers the first password prompt.
  TerminalPrompts(Streams io, std::optional<std::string> firstPassword)
      : io_(io), firstPassword_(std::move(firstPassword)) {}

  std::string AskPassword() override;
  std::string AskCaptcha(ShareSession& session, int reason) override;

  // Called before a prompt is written: takes a live display off the screen.
  std::function<void()> beforeWriting;

 private:
  std::string Ask(const char* prompt, const char* emptyMessage);

  Streams io_;
  std::optional<std::string> firstPassword_;
};

class TerminalView : public ResolveView {
 public:
  explicit TerminalView(Streams io);
  void ShowStatus(const std::string& text) override;
  void SetNameColumnTitle(const std::string& title) override { title_ = title; }
  void AddRow(const std::array<std::string, 4>& columns) override {
    if (keepRows_) rows_.push_back(columns);
  }
  void ShowMissingFolders(const std::vector<MissingFolder>& missing) override;

  // The rows as a tab-separated table on standard output.
  void PrintTable() const;
  // For a command that prints no table: a share of many files is not held once more as rows.
  void KeepNoRows() { keepRows_ = false; }

  // Called before a status line is written: takes a live display off the screen.
  std::function<void()> beforeWriting;

 private:
  Streams io_;
  std::string title_;
  bool keepRows_ = true;
  std::vector<std::array<std::string, 4>> rows_;
};

// One share resolved on the terminal, as `resolve` and `get` both do it: a session on the
// chosen host, the first password prompt answered by --password or else by the code found
// beside the link, the rest asked on standard input, status lines and the folders left out
// on standard error, the rows kept for a table.
struct TerminalResolution {
  TerminalResolution(Streams io, const ShareCommandArgs& given, const PastedShare& share);

  // Resolves the share and gives its result code (also kept in `result`).
  int Run();
  // The outcome for a JSON report: result, message, the reason when the message alone does not
  // say it ("" otherwise), the position reached when `withPosition`, complete and
  // missing_folders.
  void Describe(nlohmann::ordered_json& doc, bool withPosition) const;
  // What makes room on the screen before a prompt or a status line is written.
  void ClearFirst(const std::function<void()>& clear) {
    prompts.beforeWriting = clear;
    view.beforeWriting = clear;
  }

  const std::string shareUrl;  // GBK
  ShareSession session;
  TerminalPrompts prompts;
  TerminalView view;
  ResolveDriver driver;
  int result = 0;
};

}  // namespace sf::cli
