// The parse of the first tab, free of any window: resolve the share in the URL box, ask for
// a password or a captcha answer whenever the service wants one, report every attempt, and
// list every entry with its number, name, size and link. The window and the terminal
// program plug in their own prompts and views.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "share/share_session.h"

namespace sf {

// Asks the user. Each returns the answer, or "" when the prompt was declined.
class ResolvePrompts {
 public:
  virtual ~ResolvePrompts() = default;
  virtual std::string AskPassword() = 0;
  // `reason` is the code that asked (-62 or -20); the prompt fetches the picture, and any
  // fresh one the user asks for, through `session`.
  virtual std::string AskCaptcha(ShareSession& session, int reason) = 0;
};

// Receives what the parse shows; texts are GBK.
class ResolveView {
 public:
  virtual ~ResolveView() = default;
  virtual void ShowStatus(const std::string& text) = 0;
  virtual void SetNameColumnTitle(const std::string& title) = 0;
  // Columns: number, name, size, link.
  virtual void AddRow(const std::array<std::string, 4>& columns) = 0;
  // Once a parse that left folders out has ended, before its rows are listed.
  virtual void ShowMissingFolders(const std::vector<MissingFolder>& missing) = 0;
};

// "PATH（REASON）" of a folder left out, GBK.
std::string MissingFolderText(const MissingFolder& folder);
// What the status bar adds after the parse's own message: how many folders are missing and the
// first `named` of them, GBK.
std::string MissingFoldersSummary(const std::vector<MissingFolder>& missing, size_t named = 10);

// Returned by Run when another parse holds the session; nothing was done.
inline constexpr int kResolutionBusy = -100000;

class ResolveDriver {
 public:
  ResolveDriver(ShareSession& session, ResolvePrompts& prompts, ResolveView& view);

  // One parse. `readUrl` gives the URL box's text and is read again before every attempt,
  // so an edit made while a prompt was open takes effect. Returns the last result code.
  int Run(const std::function<std::string()>& readUrl);

  // A fresh link for one file entry of the share this driver resolved, once the link it had
  // was refused: the session's link request again, with the prompts as a parse asks them and
  // the password and captcha answer the parse was given. 0 with the entry's dlink replaced, or
  // the code that stopped it (a declined prompt leaves that prompt's code).
  int RenewLink(FileEntry& entry, const std::string& shareUrl);

  // Called during Run with the position in entries() of each file whose link has just come,
  // while the later links are still to be asked for; the entries are all listed by then and
  // stay where they are. It may act on anything but this driver and its session, ReleaseLink
  // aside. When it gives false, the parse asks for no more links and ends with kLinksStopped,
  // saying nothing of it.
  void SetLinkListener(ShareSession::LinkListener listener) { linkListener_ = std::move(listener); }
  // Called during Run, on its thread, with the entries listed so far as the walk over the
  // share's folders goes on (ShareSession::ListingListener); it may read them, not keep them.
  void SetListingListener(ShareSession::ListingListener listener) {
    listingListener_ = std::move(listener);
  }
  // Which files of the share the parse asks links for (empty: all); the others keep no link.
  void SetLinkFilter(ShareSession::LinkFilter filter) { linkFilter_ = std::move(filter); }
  // The link of the entry at `entry` is kept elsewhere now, by a download of the file: the list
  // lets it go, so a share of many files does not hold every link twice. The entry's row in
  // the list then shows no link.
  void ReleaseLink(size_t entry) {
    if (entry < entries_.size()) std::string().swap(entries_[entry].dlink);
  }

  // How many entries the share held when it was listed before: the list takes room for them
  // at once, so a share of many files is not copied whole to a list twice its size, both held
  // for a moment, as it grows. A count that proves short only costs that growth again.
  void ExpectEntries(size_t count) { expected_ = count; }

  const std::vector<FileEntry>& entries() const { return entries_; }
  int position() const { return position_; }
  int result() const { return result_; }
  // The message of the result as the status line shows it: the service's message, and the
  // transport's or the service's reason when the code alone does not say it (GBK).
  std::string ResultMessage() const;
  // That reason alone; empty when the code says it all.
  const std::string& reason() const { return reason_; }
  // The folders the parse could not list whole; their rows are missing from entries().
  const std::vector<MissingFolder>& missingFolders() const { return missing_; }
  // Every file of the share found, each with its link.
  bool complete() const { return result_ == 0 && missing_.empty(); }

 private:
  void ListEntries();
  // Asks the user what `code` wants, a captcha answer or the password; true with one to try.
  bool AskFor(int code);

  ShareSession& session_;
  ResolvePrompts& prompts_;
  ResolveView& view_;
  std::vector<FileEntry> entries_;
  size_t expected_ = 0;
  std::vector<MissingFolder> missing_;
  int result_ = 1;
  int position_ = 1;
  std::string password_;
  std::string captchaAnswer_;
  ShareSession::LinkListener linkListener_;
  ShareSession::LinkFilter linkFilter_;
  ShareSession::ListingListener listingListener_;
  std::string reason_;
};

}  // namespace sf
