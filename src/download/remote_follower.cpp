#include "download/remote_follower.h"

#include <algorithm>

#include "base/encoding.h"

namespace sf {
namespace {

// The HTTP status aria2 names in its message ("... status=403"); 0 when none.
int StatusIn(const std::string& message) {
  size_t at = message.find("status=");
  if (at == std::string::npos) return 0;
  size_t end = at + 7;
  while (end < message.size() && message[end] >= '0' && message[end] <= '9') ++end;
  if (end - (at + 7) != 3) return 0;
  return std::stoi(message.substr(at + 7, 3));
}

}  // namespace

bool LinkRefusedByServer(const std::string& errorCode, const std::string& errorMessage) {
  if (errorCode == "3") return true;
  if (errorCode != "22") return false;
  // After a refusal on a connection that had to come back, aria2's last words are "No URI
  // available." with the refusal's code: a 22 naming no status is taken for one. Were it
  // something else, one fresh link more is all it costs.
  int status = StatusIn(errorMessage);
  return status == 0 || status == 403 || status == 404 || status == 410;
}

std::string RemoteErrorText(const std::string& errorCode, const std::string& errorMessage) {
  if (errorCode == "3") return "HTTP 404";
  if (int status = StatusIn(errorMessage); errorCode == "22" && status != 0)
    return "HTTP " + std::to_string(status);
  std::string text = "aria2 error " + (errorCode.empty() ? std::string("?") : errorCode);
  return errorMessage.empty() ? text : text + ": " + errorMessage;
}

RemoteFollower::RemoteFollower(std::vector<Aria2Remote*> remotes, std::vector<RemoteFile> files,
                               std::vector<FileEntry> entries, std::shared_ptr<LinkRenewer> renewer)
    : remotes_(std::move(remotes)),
      files_(std::move(files)),
      entries_(std::move(entries)),
      renewer_(std::move(renewer)),
      silentSince_(remotes_.size(), -1) {
  for (size_t i = 0; i < files_.size(); ++i) {
    if (!files_[i].accepted() || files_[i].engine >= remotes_.size()) continue;
    FollowedFile& f = followed_.emplace_back();
    f.file = i;
    f.gid = files_[i].outcome.gid;
  }
}

RemoteFollower::~RemoteFollower() {
  *alive_ = false;
}

bool RemoteFollower::Ended() const {
  return std::all_of(followed_.begin(), followed_.end(),
                     [](const FollowedFile& f) { return f.end != FollowedFile::End::kNone; });
}

std::vector<FollowEvent> RemoteFollower::Poll(int64_t nowMs) {
  if (nowMs >= nextPollMs_) {
    nextPollMs_ = nowMs + kPollEveryMs;
    for (size_t e = 0; e < remotes_.size(); ++e) {
      std::vector<size_t> asked;
      std::vector<std::string> gids;
      for (size_t i = 0; i < followed_.size(); ++i) {
        const FollowedFile& f = followed_[i];
        if (f.end != FollowedFile::End::kNone || f.renewing || files_[f.file].engine != e) continue;
        asked.push_back(i);
        gids.push_back(f.gid);
      }
      if (asked.empty()) continue;
      std::vector<RemoteStatus> statuses = remotes_[e]->Statuses(gids);
      // Only an answer about the gid itself (aria2's "not found") is the file's own; any
      // other failure is the downloader's, which may come back.
      bool answered = std::any_of(statuses.begin(), statuses.end(), [](const RemoteStatus& s) {
        return s.ok() || s.error.kind == RpcFailure::kRpcError;
      });
      if (!answered) {
        if (silentSince_[e] < 0) silentSince_[e] = nowMs;
        if (nowMs - silentSince_[e] < kGiveUpMs) continue;
        std::string why = DescribeRpcError("aria2.tellStatus", statuses.front().error);
        for (size_t i : asked) Fail(i, "the downloader stopped answering: " + why);
        continue;
      }
      silentSince_[e] = -1;
      for (size_t k = 0; k < asked.size(); ++k) See(asked[k], statuses[k], nowMs);
    }
  }
  return std::exchange(events_, {});
}

void RemoteFollower::See(size_t index, const RemoteStatus& status, int64_t nowMs) {
  FollowedFile& f = followed_[index];
  if (!status.ok()) {
    if (status.error.kind == RpcFailure::kRpcError)
      return Fail(index, "the downloader no longer has it (" +
                             DescribeRpcError("aria2.tellStatus", status.error) + ")");
    return;
  }
  f.last = status;
  if (status.status == "complete") {
    // aria2 kept no control file for it to continue from: it ends failed, and a rerun of the
    // hand-off starts it over.
    if (!HoldsWholeFile(status, files_[f.file].plan.size)) {
      const int64_t size = files_[f.file].plan.size >= 0 ? files_[f.file].plan.size : status.total;
      return Fail(index, "ended with " + std::to_string(status.done) +
                             (size >= 0 ? " of " + std::to_string(size) + " bytes"
                                        : " bytes, but neither the share nor the server gave "
                                          "its size"));
    }
    f.end = FollowedFile::End::kComplete;
    events_.push_back({FollowEvent::kCompleted, index, {}});
    return;
  }
  if (status.status == "removed") return Fail(index, "removed on the downloader");
  if (status.status != "error") return;

  std::string error = RemoteErrorText(status.errorCode, status.errorMessage);
  if (!LinkRefusedByServer(status.errorCode, status.errorMessage) || !renewer_)
    return Fail(index, error);
  if (f.renewals > 0 && nowMs - f.renewedAtMs < kRenewEveryMs)
    return Fail(index, error + ", with a fresh link too");
  f.renewals += 1;
  f.renewedAtMs = nowMs;
  f.renewing = true;
  events_.push_back({FollowEvent::kNeedsLink, index, error});
  std::weak_ptr<bool> alive = alive_;
  renewer_->Renew(entries_[files_[f.file].plan.entry],
                  [this, alive, index](const std::string& link, const std::string& why) {
                    if (auto still = alive.lock(); still && *still) HandBack(index, link, why);
                  });
}

void RemoteFollower::Fail(size_t index, std::string reason) {
  FollowedFile& f = followed_[index];
  f.end = FollowedFile::End::kFailed;
  f.reason = std::move(reason);
  f.renewing = false;
  events_.push_back({FollowEvent::kFailed, index, f.reason});
}

void RemoteFollower::HandBack(size_t index, const std::string& link, const std::string& why) {
  FollowedFile& f = followed_[index];
  if (!f.renewing) return;
  f.renewing = false;
  std::string refused = RemoteErrorText(f.last.errorCode, f.last.errorMessage);
  if (link.empty()) return Fail(index, refused + "; " + why);
  RemoteFile& file = files_[f.file];
  std::string problem;
  std::optional<RemoteDownload> fresh =
      MakeRemoteDownload(GbkToUtf8(link), file.dir, file.plan.name, &problem);
  if (!fresh) return Fail(index, refused + "; the fresh link: " + problem);
  if (file.download) fresh->headers = file.download->headers;
  Aria2Remote& remote = *remotes_[file.engine];
  // The failed result goes first, so that the one download of that path is the new one; the
  // new one continues the partial the failed one left.
  remote.RemoveResult(f.gid);
  std::vector<RemoteOutcome> outcome = remote.AddAll({*fresh});
  if (outcome.empty() || !outcome[0].accepted())
    return Fail(index, refused + "; not handed back: " +
                           DescribeRpcError("aria2.addUri",
                                            outcome.empty() ? RpcError{} : outcome[0].error));
  file.download = std::move(fresh);
  file.outcome = outcome[0];
  f.gid = outcome[0].gid;
  f.last.status = "waiting";
  events_.push_back({FollowEvent::kHandedBack, index, f.gid});
}

DownloadTotals RemoteFollower::Totals() const {
  DownloadTotals t;
  for (const FollowedFile& f : followed_) {
    const RemoteFile& file = files_[f.file];
    t.files += 1;
    int64_t size = file.plan.size >= 0 ? file.plan.size : f.last.total;
    if (f.end == FollowedFile::End::kComplete) {
      t.filesDone += 1;
      size = size >= 0 ? size : f.last.done;
      t.bytesDone += size;
      t.bytesTotal += size;
      continue;
    }
    t.bytesDone += f.last.done;
    if (size >= 0)
      t.bytesTotal += size;
    else
      t.allSizesKnown = false;
    if (f.end == FollowedFile::End::kNone && f.last.status == "active") t.speed += f.last.speed;
  }
  if (t.allSizesKnown && t.speed > 0)
    t.etaSeconds = std::max<int64_t>(0, t.bytesTotal - t.bytesDone) / t.speed;
  return t;
}

}  // namespace sf
