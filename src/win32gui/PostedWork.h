#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace veska::win32gui {

// Work other threads hand to the user-interface thread without waiting for it: they add it and
// post a message of their window's own, whose handler runs what is queued.
//
// Thread safety: Add and Clear from any thread; RunAll on the user-interface thread.
class PostedWork {
 public:
  void Add(std::function<void()> work) {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
  }

  // Runs the queued work in order, one at a time, the lock released while each runs: work may
  // add more, and a message box's own loop may run the queue meanwhile.
  void RunAll() {
    for (;;) {
      std::function<void()> work;
      {
        const std::lock_guard lock(mutex_);
        if (queue_.empty()) return;
        work = std::move(queue_.front());
        queue_.pop_front();
      }
      if (work) work();
    }
  }

  // Drops what is still queued.
  void Clear() {
    const std::lock_guard lock(mutex_);
    queue_.clear();
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace veska::win32gui
