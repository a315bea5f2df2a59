// The downloads run from the terminal, for `download`, `get` and `get --rpc ... --follow` alike,
// through the one seam whatever back-end holds them: ticked as soon as its WakeFd says there is
// news, and at the latest when NextTickMs says, shown on a terminal as a live display of the
// running files and a total line with the time left (redrawn in place on the error stream),
// otherwise as a plain line per running file every few seconds. An interruption pauses every
// download the back-end can pause, so running the command again resumes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sf {

class Downloads;
struct DownloadTotals;
enum class ItemId : int;

namespace cli {

struct Console {
  std::ostream& out;  // saved paths
  std::ostream& err;  // progress and failures
  bool live = false;  // redraw a live display instead of printing plain lines
  int plainEverySeconds = 5;
  bool showWhere = false;  // each running file's line ends with where it downloads
  // Interrupted, the downloads are paused and the run says so; otherwise they are left to go
  // on (a remote downloader's) and the command says what it likes.
  bool pauseOnInterrupt = true;
};

// The values of --jobs (1 to 64) and --limit (KB per second, 0: no limit); nothing, with
// `error` saying why, for anything else.
std::optional<int> ParseJobs(std::string_view text, std::string& error);
std::optional<int32_t> ParseLimitKb(std::string_view text, std::string& error);

// What the command does with each poll: it gets the ids of the items that ended since the
// last one and a call that takes the live display off the screen, which it makes before it
// prints anything. It gives the exit status once it is done, nothing while it goes on.
using QueueStep = std::function<std::optional<int>(const std::vector<ItemId>& ended,
                                                   const std::function<void()>& clearDisplay)>;

// Moves `downloads` until `step` gives the exit status, or until `interrupted` turns true: then
// every download is paused, its bytes kept for the next run, and the status is 130.
int RunQueue(Downloads& downloads, const Console& console, const std::atomic<bool>& interrupted,
             const QueueStep& step);

// The same in turns, for a caller that has other work between them (links still to ask for):
// Turn moves the downloads once without waiting, Run goes on as RunQueue does.
class QueueTurns {
 public:
  QueueTurns(Downloads& downloads, const Console& console, QueueStep step);
  ~QueueTurns();
  QueueTurns(const QueueTurns&) = delete;
  QueueTurns& operator=(const QueueTurns&) = delete;

  // One poll, its step and the display; the step's status once it gives one.
  std::optional<int> Turn();
  // A turn when one is due: the back-end has news, or the display or the tick is late. Cheap
  // otherwise, so it can follow every one of many quick steps of other work.
  std::optional<int> TurnIfDue();
  // Takes the live display off the screen, so that other lines can be printed.
  void Clear();
  int Run(const std::atomic<bool>& interrupted);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// SIGINT and SIGTERM raise InterruptedFlag(); a closed pipe and a file-size limit fail the
// write or the download instead of ending the program.
void InterruptOnSignals();
const std::atomic<bool>& InterruptedFlag();

}  // namespace cli
}  // namespace sf
