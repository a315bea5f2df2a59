// The resolution's prompts and view on the terminal, shared by the commands that resolve a
// share: passwords and captcha answers read from standard input (the picture saved to a file
// whose path is printed), status lines on standard error, the rows kept for a table.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

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
  void AddRow(const std::array<std::string, 4>& columns) override { rows_.push_back(columns); }
  void ShowMissingFolders(const std::vector<MissingFolder>& missing) override;

  // The rows as a tab-separated table on standard output.
  void PrintTable() const;

 private:
  Streams io_;
  std::string title_;
  std::vector<std::array<std::string, 4>> rows_;
};

}  // namespace sf::cli
