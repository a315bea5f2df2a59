#include "service/share_jobs.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "base/encoding.h"
#include "base/text.h"
#include "download/share_plan.h"
#include "net/cancel_flag.h"
#include "share/resolve_driver.h"
#include "share/share_text.h"

namespace sf::service {
namespace {

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The driver's rows and status lines are for a screen; the service keeps what the parse
// found and tells it through the share's state.
class QuietView : public ResolveView {
 public:
  void ShowStatus(const std::string&) override {}
  void SetNameColumnTitle(const std::string&) override {}
  void AddRow(const std::array<std::string, 4>&) override {}
  void ShowMissingFolders(const std::vector<MissingFolder>&) override {}
};

// A size as the share tells it, or -1 when it tells none that reads as one.
int64_t SizeOf(const std::string& text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoll(text);
}

// The share's entries as rows, texts in UTF-8: each under the folder its place in the share
// names, so the tree is walked by the share's own folders and not by the sharer's paths.
FileRow RowOf(const FileEntry& e) {
  FileRow row;
  row.folder = "/" + GbkToUtf8(e.folder_path);
  row.path = (row.folder == "/" ? "" : row.folder) + "/" + GbkToUtf8(e.server_filename);
  row.isFolder = e.isdir == "1";
  row.size = row.isFolder ? 0 : SizeOf(e.size);
  row.fsId = e.fs_id;
  row.appId = e.app_id;
  row.remotePath = GbkToUtf8(e.path);
  return row;
}

}  // namespace

std::string PictureType(const std::string& bytes) {
  if (bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) return "image/png";
  if (bytes.compare(0, 3, "\xff\xd8\xff") == 0) return "image/jpeg";
  if (bytes.compare(0, 4, "GIF8") == 0) return "image/gif";
  return {};
}

struct ShareJobs::Job {
  int64_t id = 0;
  std::string link;  // GBK, as the driver takes it
  std::string code;  // GBK: the code found beside the link, tried first
  CancelFlag cancel;
  // Asked for links only: the share's paths wanted (UTF-8), who gets each link and the end.
  Paths paths;  // in order
  LinksDone linksDone;
  LinkHeard linkHeard;
  Hold hold;

  std::mutex mutex;  // guards the prompt below
  std::condition_variable answered;
  std::string waiting;  // the kind of prompt waited on, or empty
  std::string picture;
  std::string pictureType;
  std::optional<std::string> answer;  // GBK
  bool renew = false;                 // a fresh captcha picture is asked for
  int64_t expires = 0;
};

// The driver's prompts, answered through the API: each one waits for an answer, for the
// share's removal or the service's end, or for its time to run out.
class ShareJobs::Prompts : public ResolvePrompts {
 public:
  Prompts(ShareJobs& jobs, Job& job) : jobs_(jobs), job_(job) {}

  std::string AskPassword() override {
    // The code pasted with the link answers the first prompt, as on the terminal.
    if (!codeTried_) {
      codeTried_ = true;
      if (!job_.code.empty()) return password = job_.code;
    }
    std::string answer = Wait(share_state::kPassword, {});
    if (!answer.empty()) password = answer;
    return answer;
  }

  std::string AskCaptcha(ShareSession& session, int reason) override {
    // Without a picture the prompt still stands: the user may ask for a fresh one, or the
    // time runs out, as a window with an empty picture would wait. Pictures are fetched on
    // this worker, which holds the session, so the token the answer goes with is the one of
    // the picture shown last.
    return Wait(share_state::kCaptcha, [&session, reason] {
      std::string picture;
      if (session.FetchCaptcha(picture, reason) != 0) picture.clear();
      return picture;
    });
  }

  std::string password;  // the last one given, GBK
  std::string timedOut;  // the kind of the prompt that ran out, if one did

 private:
  // `fetch` gets a captcha prompt's picture, and a fresh one whenever the user asks; empty for
  // the password prompt.
  std::string Wait(const char* kind, const std::function<std::string()>& fetch) {
    auto deadline = std::chrono::steady_clock::now() + jobs_.options_.promptTimeout;
    int64_t expires =
        Now() +
        std::chrono::duration_cast<std::chrono::seconds>(jobs_.options_.promptTimeout).count();
    std::string picture = fetch ? fetch() : std::string();
    if (job_.cancel.raised()) return {};
    {
      std::lock_guard lock(job_.mutex);
      job_.waiting = kind;
      job_.answer.reset();
      job_.renew = false;
      job_.expires = expires;
    }
    jobs_.SetState(job_, kind);
    Show(kind, std::move(picture), expires);
    std::string answer;
    std::unique_lock lock(job_.mutex);
    for (;;) {
      bool ended = job_.answered.wait_until(lock, deadline, [this] {
        return job_.answer.has_value() || job_.renew || job_.cancel.raised();
      });
      if (ended && job_.renew && !job_.answer && !job_.cancel.raised()) {
        job_.renew = false;
        lock.unlock();
        Show(kind, fetch(), expires);
        lock.lock();
        continue;
      }
      if (!ended) timedOut = kind;
      if (ended && job_.answer) answer = std::move(*job_.answer);
      job_.waiting.clear();
      std::string().swap(job_.picture);
      job_.answer.reset();
      break;
    }
    lock.unlock();
    if (!answer.empty()) jobs_.SetState(job_, share_state::kResolving);
    return answer;
  }

  // Puts up the prompt's picture (if any) and tells the event streams.
  void Show(const char* kind, std::string picture, int64_t expires) {
    bool hasPicture = !picture.empty();
    {
      std::lock_guard lock(job_.mutex);
      job_.pictureType = PictureType(picture);
      if (job_.pictureType.empty()) job_.pictureType = "application/octet-stream";
      job_.picture = std::move(picture);
    }
    jobs_.publish_(
        "prompt",
        {{"share", job_.id}, {"kind", kind}, {"expires", expires}, {"picture", hasPicture}});
  }

  ShareJobs& jobs_;
  Job& job_;
  bool codeTried_ = false;
};

ShareJobs::ShareJobs(StateStore& store, ShareJobOptions options, Publish publish)
    : store_(store), options_(std::move(options)), publish_(std::move(publish)) {}

ShareJobs::~ShareJobs() {
  Stop();
}

void ShareJobs::Start() {
  // A resolution lives in this process only: one an earlier run left under way is over.
  store_.EndUnfinishedShares(
      {share_state::kResolved, share_state::kIncomplete, share_state::kFailed},
      share_state::kFailed, "the service stopped before this share was resolved");
  std::lock_guard lock(mutex_);
  stopping_ = false;
  for (unsigned i = 0; i < std::max(1u, options_.workers); ++i)
    workers_.emplace_back([this] { WorkerLoop(); });
}

void ShareJobs::Stop() {
  std::vector<std::shared_ptr<Job>> jobs;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [id, job] : jobs_) jobs.push_back(job);
    queue_.clear();
  }
  wake_.notify_all();
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : linkJobs_)
      if (auto job = weak.lock()) jobs.push_back(job);
    linkJobs_.clear();
  }
  for (const auto& job : jobs) {
    job->cancel.Raise();
    std::lock_guard lock(job->mutex);  // a prompt between its check and its wait sees the flag
    job->answered.notify_all();
  }
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  std::vector<Paced> paced;
  {
    std::lock_guard lock(mutex_);
    paced.swap(paced_);
  }
  for (Paced& p : paced) p.thread.join();
  std::lock_guard lock(mutex_);
  jobs_.clear();
}

std::vector<int64_t> ShareJobs::Add(const std::string& text, std::string& error) {
  std::vector<PastedShare> found = ReadShareText(Utf8ToGbk(text), options_.host);
  if (found.empty()) {
    error = "no share link in the text";
    return {};
  }
  if (found.size() > options_.maxSharesPerText) {
    error = "more than " + std::to_string(options_.maxSharesPerText) + " shares in one text";
    return {};
  }
  std::vector<int64_t> ids;
  for (const PastedShare& share : found) {
    int64_t id = store_.AddShare(GbkToUtf8(share.link), GbkToUtf8(share.code), Now());
    if (id < 0) {
      error = "the share cannot be kept: " + store_.error();
      break;
    }
    auto job = std::make_shared<Job>();
    job->id = id;
    job->link = share.link;
    job->code = share.code;
    // Told before a worker can see it, so its own states always come after this one.
    SetState(*job, share_state::kQueued);
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        error = "the service is stopping";
        break;
      }
      jobs_[id] = job;
      queue_.push_back(job);
    }
    ids.push_back(id);
    wake_.notify_one();
  }
  return ids;
}

bool ShareJobs::Remove(int64_t id) {
  std::shared_ptr<Job> job;
  {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(id);
    if (it != jobs_.end()) {
      job = it->second;
      jobs_.erase(it);
      std::erase(queue_, job);
    }
  }
  if (job) {
    job->cancel.Raise();
    std::lock_guard lock(job->mutex);
    job->answered.notify_all();
  }
  bool existed = store_.DeleteShare(id);
  if (existed) publish_("share-removed", {{"id", id}});
  return existed;
}

std::shared_ptr<ShareJobs::Job> ShareJobs::Find(int64_t id) {
  std::lock_guard lock(mutex_);
  auto it = jobs_.find(id);
  return it == jobs_.end() ? nullptr : it->second;
}

std::optional<SharePrompt> ShareJobs::Prompt(int64_t id) {
  std::shared_ptr<Job> job = Find(id);
  if (!job) return std::nullopt;
  std::lock_guard lock(job->mutex);
  if (job->waiting.empty()) return std::nullopt;
  return SharePrompt{job->waiting, job->expires, !job->picture.empty()};
}

bool ShareJobs::CaptchaPicture(int64_t id, std::string& bytes, std::string& type) {
  std::shared_ptr<Job> job = Find(id);
  if (!job) return false;
  std::lock_guard lock(job->mutex);
  if (job->waiting != share_state::kCaptcha || job->picture.empty()) return false;
  bytes = job->picture;
  type = job->pictureType;
  return true;
}

ShareJobs::Answered ShareJobs::Answer(int64_t id, const std::string& kind,
                                      const std::string& answer) {
  std::shared_ptr<Job> job = Find(id);
  if (!job) return Answered::kNoPrompt;
  std::lock_guard lock(job->mutex);
  if (job->waiting.empty() || job->waiting != kind || job->answer) return Answered::kNoPrompt;
  job->answer = Utf8ToGbk(TrimSpaces(answer));
  job->answered.notify_all();
  return Answered::kTaken;
}

ShareJobs::Answered ShareJobs::RenewCaptcha(int64_t id) {
  std::shared_ptr<Job> job = Find(id);
  if (!job) return Answered::kNoPrompt;
  std::lock_guard lock(job->mutex);
  if (job->waiting != share_state::kCaptcha || job->answer) return Answered::kNoPrompt;
  job->renew = true;
  job->answered.notify_all();
  return Answered::kTaken;
}

size_t ShareJobs::running() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

void ShareJobs::SetState(Job& job, const std::string& state, const std::string& message) {
  // A share removed meanwhile has no row to change, and nothing is told of it.
  if (store_.SetShareState(job.id, state, message))
    publish_("share", {{"id", job.id}, {"state", state}, {"message", message}});
}

void ShareJobs::WorkerLoop() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = queue_.front();
      queue_.pop_front();
    }
    if (job->linksDone)
      ResolveLinks(job);
    else
      Resolve(job);
    Finished(job);
  }
}

void ShareJobs::Finished(const std::shared_ptr<Job>& job) {
  // A large share's listing is let go by now, but this thread's heap would keep its pages:
  // they go back, so the next large task elsewhere does not add its peak to this one's.
  malloc_trim(0);
  std::lock_guard lock(mutex_);
  auto it = jobs_.find(job->id);
  if (it != jobs_.end() && it->second == job) jobs_.erase(it);
}

bool ShareJobs::StreamLinks(int64_t id, Paths sorted, LinkHeard link, LinksDone done, Hold hold) {
  std::optional<ShareRow> row = store_.Share(id);
  if (!row) return false;
  auto job = std::make_shared<Job>();
  job->id = id;
  job->link = Utf8ToGbk(row->url);
  job->code = Utf8ToGbk(store_.SharePassword(id).value_or(""));
  job->paths = std::move(sorted);
  job->linksDone = std::move(done);
  job->linkHeard = std::move(link);
  job->hold = std::move(hold);
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    std::erase_if(linkJobs_, [](const std::weak_ptr<Job>& weak) { return weak.expired(); });
    linkJobs_.push_back(job);
    // A prompt it meets is answered as the share's own; a resolution of the share under way
    // keeps its place.
    jobs_.emplace(id, job);
    if (!job->hold) {
      queue_.push_back(job);
    } else {
      std::erase_if(paced_, [](Paced& p) {
        if (!p.over->load()) return false;
        p.thread.join();
        return true;
      });
      auto over = std::make_shared<std::atomic<bool>>(false);
      paced_.push_back({std::thread([this, job, over] {
                          ResolveLinks(job);
                          Finished(job);
                          over->store(true);
                        }),
                        over});
      return true;
    }
  }
  wake_.notify_one();
  return true;
}

void ShareJobs::ResolveLinks(const std::shared_ptr<Job>& job) {
  if (job->cancel.raised()) return;
  std::optional<ShareRow> before = store_.Share(job->id);
  if (!before) return;
  ShareSession session(options_.host);
  session.SetCancelFlag(job->cancel);
  Prompts prompts(*this, *job);
  QuietView view;
  ResolveDriver driver(session, prompts, view);
  // The share is listed again whole to find the files' links; its count is known already.
  if (std::optional<ShareTotals> totals = store_.Totals(job->id))
    driver.ExpectEntries(
        static_cast<size_t>(std::max<int64_t>(totals->files + totals->folders, 0)));
  driver.SetLinkFilter([&job](const FileEntry& entry) {
    return std::binary_search(job->paths->begin(), job->paths->end(), SharePathOf(entry));
  });
  driver.SetLinkListener([&driver, &job](size_t entry) {
    const bool more = job->linkHeard(driver.entries()[entry]);
    driver.ReleaseLink(entry);
    if (more && job->hold) {
      // Woken by Remove and Stop as a prompt is.
      std::unique_lock lock(job->mutex);
      while (!job->cancel.raised() && job->hold())
        job->answered.wait_for(lock, std::chrono::milliseconds(50));
    }
    return more && !job->cancel.raised();
  });
  const int result = driver.Run([&job] { return job->link; });
  if (job->cancel.raised()) return;
  // The share's state says what its first resolution found; a prompt met here does not stay.
  if (std::optional<ShareRow> row = store_.Share(job->id); row && row->state != before->state)
    SetState(*job, before->state, before->message);
  // The links went on as they came; a resolution that listed nothing says why.
  job->linksDone(result != 0 && driver.entries().empty() ? GbkToUtf8(driver.ResultMessage())
                                                         : std::string());
}

void ShareJobs::Resolve(const std::shared_ptr<Job>& job) {
  if (job->cancel.raised()) return;
  SetState(*job, share_state::kResolving);
  ShareSession session(options_.host);
  session.SetCancelFlag(job->cancel);
  Prompts prompts(*this, *job);
  QuietView view;
  ResolveDriver driver(session, prompts, view);
  // Links expire within hours and a download asks its own: none is kept, so a share of many
  // files does not hold them all until its end.
  driver.SetLinkListener([&driver](size_t entry) {
    driver.ReleaseLink(entry);
    return true;
  });
  const int result = driver.Run([&job] { return job->link; });
  // Removed, or the service is ending: the next start marks what is left unfinished.
  if (job->cancel.raised()) return;

  const std::vector<FileEntry>& entries = driver.entries();
  if (!entries.empty() && !store_.AddFiles(job->id, entries.size(),
                                           [&entries](size_t i) { return RowOf(entries[i]); })) {
    SetState(*job, share_state::kFailed, "the share's listing cannot be kept: " + store_.error());
    return;
  }
  std::vector<MissingFolderRow> missing;
  for (const MissingFolder& folder : driver.missingFolders())
    missing.push_back({GbkToUtf8(folder.path), GbkToUtf8(folder.reason)});
  if (!missing.empty() && !store_.SetMissingFolders(job->id, missing)) {
    SetState(*job, share_state::kFailed, "the folders left out cannot be kept: " + store_.error());
    return;
  }
  // The code that opened the share is what a fresh link will be asked with later.
  if (result == 0 && !prompts.password.empty() && prompts.password != job->code &&
      !store_.SetSharePassword(job->id, GbkToUtf8(prompts.password))) {
    SetState(*job, share_state::kFailed, "the extraction code cannot be kept: " + store_.error());
    return;
  }
  if (result == 0 && missing.empty()) {
    SetState(*job, share_state::kResolved);
  } else if (result == 0) {
    SetState(*job, share_state::kIncomplete,
             GbkToUtf8(MissingFoldersSummary(driver.missingFolders())));
  } else if (!prompts.timedOut.empty()) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(options_.promptTimeout);
    SetState(*job, share_state::kFailed,
             "no answer to the " + prompts.timedOut + " prompt within " +
                 std::to_string(seconds.count()) + " s; the share was given up");
  } else {
    SetState(*job, share_state::kFailed, GbkToUtf8(driver.ResultMessage()));
  }
}

}  // namespace sf::service
