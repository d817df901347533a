#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace veska::cli {

// Ctrl-C for a run of the command line. While it lives, SIGINT is blocked in every thread the
// process starts afterwards and taken by one watcher thread instead, which calls the handler
// (outside any signal context, so the handler may do what Disconnect does); on Windows the
// console's control handler, which runs on a thread of its own, calls it. A second Ctrl-C ends
// the process at once with status 130, for a run that does not stop.
//
// Construct it before any other thread starts: threads inherit the blocked signal.
class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Returns only once no call of the previous handler runs any more: a handler's owner clears
  // it before it goes. The handler must not call SetHandler itself.
  void SetHandler(std::function<void()> handler);
  [[nodiscard]] bool Interrupted() const { return interrupted_.load(); }

  // One Ctrl-C: the first calls the handler, the second ends the process.
  void Deliver();
  // After a Ctrl-C: waits until its call of the handler has returned, so that what the handler
  // does (Disconnect's texts) is over before the run says it was interrupted.
  void WaitHandled();

 private:
  void Watch();

  std::atomic<bool> interrupted_{false};
  std::mutex mutex_;
  std::function<void()> handler_;
  std::mutex handledMutex_;
  std::condition_variable handledChanged_;
  bool handled_ = false;
  int signalFd_ = -1;
  int wakeFd_ = -1;
  std::thread watcher_;
};

}  // namespace veska::cli
