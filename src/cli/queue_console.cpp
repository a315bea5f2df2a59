#include "cli/queue_console.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <map>
#include <ostream>
#include <thread>

#include "base/encoding.h"
#include "base/text.h"
#include "base/timestamp.h"
#include "cli/terminal_io.h"
#include "download/downloads.h"
#include "engine_api/engine_api.h"
#include "view/terminal_text.h"

namespace sf::cli {
namespace {

constexpr int kMaxJobs = 64;
constexpr auto kDrawEvery = std::chrono::milliseconds(250);

std::atomic<bool> gInterrupted{false};

// Until the back-end has news, or its next tick is due. Progress alone wakes nobody, so the
// display still redraws on time; a signal ends the wait at once.
void WaitForNews(const Downloads& downloads) {
  const int64_t now = NowMs();
  const int64_t wait = std::clamp<int64_t>(downloads.NextTickMs(now) - now, 0, kDrawEvery.count());
  const int fd = downloads.WakeFd();
  if (fd < 0) return std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait)) != 1) return;
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
}

void OnSignal(int) {
  gInterrupted = true;
}

// The live display: redrawn in place on the error stream, below whatever was printed before.
class LiveDisplay {
 public:
  LiveDisplay(std::ostream& err, bool showWhere) : err_(err), showWhere_(showWhere) {}
  // Moves back to where the display began and clears it, so other lines can be printed there.
  void Erase() {
    if (drawn_ > 0) err_ << "\x1b[" << drawn_ << "A\r\x1b[J" << std::flush;
    drawn_ = 0;
  }
  // In one write, so the display never shows half drawn.
  void Draw(const Downloads& downloads) {
    std::string text;
    if (drawn_ > 0) text = "\x1b[" + std::to_string(drawn_) + "A\r\x1b[J";
    drawn_ = 0;
    for (ItemId id : downloads.Started()) {
      text += "\x1b[2K" + FileLine(*downloads.Find(id), showWhere_) + "\n";
      ++drawn_;
    }
    text += "\x1b[2K" + TotalLine(downloads.Totals()) + "\n";
    ++drawn_;
    err_ << text << std::flush;
  }

 private:
  std::ostream& err_;
  bool showWhere_;
  size_t drawn_ = 0;
};

std::optional<int64_t> WholeNumber(std::string_view text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos)
    return std::nullopt;
  return ReadInteger(text);
}

}  // namespace

std::optional<int> ParseJobs(std::string_view text, std::string& error) {
  std::optional<int64_t> n = WholeNumber(text);
  if (!n || *n < 1 || *n > kMaxJobs) {
    error = "--jobs takes how many downloads run at once, 1 to " + std::to_string(kMaxJobs);
    return std::nullopt;
  }
  return static_cast<int>(*n);
}

std::optional<int32_t> ParseLimitKb(std::string_view text, std::string& error) {
  std::optional<int64_t> n = WholeNumber(text);
  if (!n || *n > INT32_MAX) {
    error = "--limit takes kilobytes per second, a whole number (0: no limit)";
    return std::nullopt;
  }
  return static_cast<int32_t>(*n);
}

struct QueueTurns::State {
  State(Downloads& d, const Console& c, QueueStep s)
      : downloads(d), console(c), step(std::move(s)), live(c.err, c.showWhere) {}
  Downloads& downloads;
  const Console& console;
  QueueStep step;
  LiveDisplay live;
  std::chrono::steady_clock::time_point lastPlain = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDraw = lastPlain - kDrawEvery;
  std::map<int, int32_t> startedOver;  // as last reported, per item
  std::chrono::steady_clock::time_point lastTurn = lastDraw;
  int64_t lastTurnMs = 0;
};

QueueTurns::QueueTurns(Downloads& downloads, const Console& console, QueueStep step)
    : state_(std::make_unique<State>(downloads, console, std::move(step))) {}

QueueTurns::~QueueTurns() = default;

void QueueTurns::Clear() {
  if (state_->console.live) state_->live.Erase();
}

std::optional<int> QueueTurns::Turn() {
  State& s = *state_;
  const Console& console = s.console;
  auto clear = [this] { Clear(); };
  Downloads& downloads = s.downloads;
  s.lastTurn = std::chrono::steady_clock::now();
  s.lastTurnMs = NowMs();
  std::vector<ItemId> ended = downloads.Tick(s.lastTurnMs);
  // Only an item started or just ended can have begun again; the waiting ones are not walked
  // on every turn.
  std::vector<ItemId> seenNow = downloads.Started();
  seenNow.insert(seenNow.end(), ended.begin(), ended.end());
  for (ItemId id : seenNow) {
    const DownloadItem* found = downloads.Find(id);
    if (found == nullptr || found->startedOver == 0) continue;
    const DownloadItem& item = *found;
    int32_t& seen = s.startedOver[item.id];
    if (item.startedOver > seen) {
      clear();
      Say(console.err) << EscapeForTerminal(GbkToUtf8(item.Name()))
                       << ": cannot continue the partial download; starting over from the "
                          "beginning\n";
    }
    seen = std::max(seen, item.startedOver);
  }
  std::optional<int> status = s.step(ended, clear);
  auto now = std::chrono::steady_clock::now();
  if (console.live) {
    if (status || now - s.lastDraw >= kDrawEvery) {
      s.live.Draw(downloads);
      s.lastDraw = now;
    }
  } else if (!status && now - s.lastPlain >= std::chrono::seconds(console.plainEverySeconds)) {
    s.lastPlain = now;
    for (ItemId id : downloads.Started())
      console.err << FileLine(*downloads.Find(id), console.showWhere) << "\n";
    console.err << TotalLine(downloads.Totals()) << "\n";
  }
  console.err << std::flush;
  return status;
}

std::optional<int> QueueTurns::TurnIfDue() {
  State& s = *state_;
  auto since = std::chrono::steady_clock::now() - s.lastTurn;
  int eventFd = s.downloads.WakeFd();
  bool due = since >= kDrawEvery || NowMs() >= s.downloads.NextTickMs(s.lastTurnMs);
  if (eventFd >= 0) {
    pollfd p{eventFd, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t n = ::read(eventFd, &count, sizeof count);
      due = true;
    }
  }
  if (!due) return std::nullopt;
  return Turn();
}

int QueueTurns::Run(const std::atomic<bool>& interrupted) {
  State& s = *state_;
  const Console& console = s.console;
  Downloads& downloads = s.downloads;
  while (true) {
    if (std::optional<int> status = Turn()) return *status;
    if (interrupted) break;
    WaitForNews(downloads);
  }
  if (!console.pauseOnInterrupt) {
    if (console.live) s.live.Draw(downloads);
    console.err << std::flush;
    return 130;
  }

  // Paused rather than dropped: each task closes its connections and records what is on disk,
  // so the same command resumes. The engine says so by reporting the paused state.
  std::vector<ItemId> ids;
  for (const DownloadItem& item : downloads.Items()) ids.push_back(ItemId{item.id});
  downloads.Pause(ids);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    downloads.Tick(NowMs());
    bool settled = true;
    for (const DownloadItem& item : downloads.Items())
      if (item.handle != 0 && !item.Ended() && item.engineState != layout::kStatePaused)
        settled = false;
    if (settled) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (console.live) s.live.Draw(downloads);
  Say(console.err) << "paused; run the same command again to resume\n" << std::flush;
  return 130;
}

int RunQueue(Downloads& downloads, const Console& console, const std::atomic<bool>& interrupted,
             const QueueStep& step) {
  return QueueTurns(downloads, console, step).Run(interrupted);
}

void InterruptOnSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit fails the download with EFBIG instead of killing the program.
  signal(SIGXFSZ, SIG_IGN);
}

const std::atomic<bool>& InterruptedFlag() {
  return gInterrupted;
}

}  // namespace sf::cli
