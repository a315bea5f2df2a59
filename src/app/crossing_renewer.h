// The remote-following worker's renewer: the asking crosses to the window's thread, where the
// parse's renewer runs, and the answer crosses back to the worker at its next round.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "app/worker_bridge.h"
#include "download/link_renewer.h"

namespace sf::app {

// The renewer's answers, given on the window's thread and taken on the worker's.
struct CrossingAnswers {
  struct Answer {
    int key;
    std::string link, why;
  };
  std::mutex mutex;
  std::deque<Answer> given;
};

// The worker's renewer: the asking crosses to the window's thread, where the parse's renewer
// runs; its answer waits in `answers` until the worker's next round hands it to the follower.
class CrossingRenewer : public LinkRenewer {
 public:
  CrossingRenewer(WorkerBridge& bridge, std::shared_ptr<LinkRenewer> inner,
                  std::shared_ptr<CrossingAnswers> answers)
      : bridge_(bridge), inner_(std::move(inner)), answers_(std::move(answers)) {}

  void Renew(const FileEntry& entry, Answer done) override;

  // Worker's thread: the answers given since the last round, to the follower.
  void HandOver();

 private:
  WorkerBridge& bridge_;
  std::shared_ptr<LinkRenewer> inner_;
  std::shared_ptr<CrossingAnswers> answers_;
  std::map<int, Answer> waiting_;
  int nextKey_ = 1;
};

}  // namespace sf::app
