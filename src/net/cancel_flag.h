// Lets one thread give up the requests that another thread is making. A client holds a copy
// of the flag and hands it to every request; once any copy is raised, the exchange under way
// ends at once as a failed one (its connection dropped) and every later one fails before it
// connects. A raised flag stays raised.
#pragma once

#include <atomic>
#include <memory>

namespace sf {

class CancelFlag {
 public:
  // A flag that counts as raised whenever `raised` is true, too: a program-wide one that a
  // signal handler sets. `raised` must outlive every copy.
  static CancelFlag Following(const std::atomic<bool>& raised) {
    CancelFlag flag;
    flag.follows_ = &raised;
    return flag;
  }

  void Raise() { raised_->store(true); }
  bool raised() const { return raised_->load() || (follows_ != nullptr && follows_->load()); }

 private:
  const std::atomic<bool>* follows_ = nullptr;
  // Shared by every copy, so the flag outlives whichever side lets go of it first.
  std::shared_ptr<std::atomic<bool>> raised_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace sf
