// Shares pasted into the service, each resolved on one of a few workers through the same
// session and driver as the terminal's, with the driver's prompts handed to whoever calls the
// API: a worker that needs a password or a captcha answer says so (a state and an event) and
// waits for the answer to be posted, or for its time to run out. What a resolution found is
// written to the state store, so it outlives the service; what is under way lives here.
// Extraction codes, cookies and captcha answers stay inside: no state, event or text handed
// out carries one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/state_store.h"
#include "share/share_host.h"
#include "share/share_session.h"

namespace sf::service {

// The states a share goes through, as the API names them.
namespace share_state {
inline constexpr const char* kQueued = "queued";
inline constexpr const char* kResolving = "resolving";
inline constexpr const char* kPassword = "password";  // waits for the extraction code
inline constexpr const char* kCaptcha = "captcha";    // waits for a captcha answer
inline constexpr const char* kResolved = "resolved";
inline constexpr const char* kIncomplete = "incomplete";  // resolved, some folders left out
inline constexpr const char* kFailed = "failed";
}  // namespace share_state

struct ShareJobOptions {
  std::string host = kDefaultShareHost;  // the share service's web host, with its scheme
  std::chrono::milliseconds promptTimeout{10 * 60 * 1000};
  unsigned workers = 2;
  size_t maxSharesPerText = 100;
};

// A prompt a share waits on.
struct SharePrompt {
  std::string kind;      // "password" or "captcha"
  int64_t expires = 0;   // when it is given up, in seconds since the epoch
  bool picture = false;  // a captcha picture came to be shown
};

class ShareJobs {
 public:
  using Publish = std::function<void(const std::string& name, const nlohmann::json& data)>;
  ShareJobs(StateStore& store, ShareJobOptions options, Publish publish);
  ~ShareJobs();
  ShareJobs(const ShareJobs&) = delete;
  ShareJobs& operator=(const ShareJobs&) = delete;

  // Ends what an earlier run left under way, and starts the workers.
  void Start();
  // Gives up every resolution (its requests and its prompt) and joins the workers. Safe twice.
  void Stop();

  // Records every share found in `text` (UTF-8, as pasted) and queues it; the new ids in the
  // order the text gives them. Empty with `error` set when the text holds no share link or
  // the store failed.
  std::vector<int64_t> Add(const std::string& text, std::string& error);
  // Gives up the share's resolution, if one runs, and forgets it; false when there is none.
  bool Remove(int64_t id);

  std::optional<SharePrompt> Prompt(int64_t id);
  // The picture of the captcha the share waits on and its media type; false when it waits on
  // none, or none came.
  bool CaptchaPicture(int64_t id, std::string& bytes, std::string& type);

  enum class Answered { kTaken, kNoPrompt };
  // Answers the share's password or captcha prompt (UTF-8); kNoPrompt when it waits on no
  // prompt of that kind.
  Answered Answer(int64_t id, const std::string& kind, const std::string& answer);
  // Has the share's captcha prompt fetch a fresh picture, told by a new `prompt` event, as a
  // click on the picture does in the window; kNoPrompt when it waits on no captcha.
  Answered RenewCaptcha(int64_t id);

  size_t running() const;

  // The share resolved again on a worker for fresh links of the files at `sorted` (UTF-8 share
  // paths, "folder/name", in order, shared with the caller, who finds its files among them):
  // links expire, so a download asks for them when it starts. Each link is handed on as it
  // comes (`link`: the entry with its link, on the worker), so the files waiting for it may
  // start at once, and nothing holds the links meanwhile; `link` gives false when no file waits
  // for one any more: no more are asked. Then `done` gets why the resolution failed, if it did;
  // on the worker, and never for a resolution given up by Remove or Stop.
  // With `hold`, the next link is not asked while it gives true (the files that have theirs
  // still wait for their turn, and links expire): such a resolution lasts as long as the
  // downloads, so it runs on a thread of its own and leaves the workers to other shares.
  using LinkHeard = std::function<bool(const FileEntry& entry)>;
  using LinksDone = std::function<void(std::string error)>;
  using Paths = std::shared_ptr<const std::vector<std::string>>;
  using Hold = std::function<bool()>;
  bool StreamLinks(int64_t id, Paths sorted, LinkHeard link, LinksDone done, Hold hold = {});

 private:
  struct Job;
  class Prompts;
  void WorkerLoop();
  void Resolve(const std::shared_ptr<Job>& job);
  void ResolveLinks(const std::shared_ptr<Job>& job);
  // A job is over: the thread's heap gives its pages back and the job is forgotten.
  void Finished(const std::shared_ptr<Job>& job);
  void SetState(Job& job, const std::string& state, const std::string& message = {});
  std::shared_ptr<Job> Find(int64_t id);

  StateStore& store_;
  ShareJobOptions options_;
  Publish publish_;

  mutable std::mutex mutex_;  // guards jobs_, queue_ and stopping_
  std::condition_variable wake_;
  std::map<int64_t, std::shared_ptr<Job>> jobs_;  // queued or resolving
  std::deque<std::shared_ptr<Job>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  std::vector<std::weak_ptr<Job>> linkJobs_;  // asked for links; given up at Stop
  struct Paced {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> over;
  };
  std::vector<Paced> paced_;  // the threads of held link resolutions
};

// The media type of a picture by its first bytes; empty when it is none we know.
std::string PictureType(const std::string& bytes);

}  // namespace sf::service
