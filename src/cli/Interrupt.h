#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "station/StopSignal.h"

namespace veska::cli {

// Ctrl-C for a run of the command line. While it lives, SIGINT, SIGTERM and SIGHUP are blocked
// in every thread the process starts afterwards and taken by one watcher thread instead, which
// calls the handler (outside any signal context, so the handler may do what Disconnect does); on
// Windows the console's control handler, which runs on a thread of its own, calls it. A service
// manager's stop or a closed terminal thus ends the run as Ctrl-C does: the phones under way are
// named and recorded, the report finished. A second signal ends the process at once with status
// 128 + the signal, for a run that does not stop.
//
// Construct it before any other thread starts: threads inherit the blocked signal.
class InterruptWatch final : public station::StopSignal {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Returns only once no call of the previous handler runs any more: a handler's owner clears
  // it before it goes. The handler must not call SetHandler itself.
  void SetHandler(std::function<void()> handler) override;
  [[nodiscard]] bool Interrupted() const override { return signal_.load() != 0; }
  // The exit status of a run the first signal ended: 128 + the signal (130 for Ctrl-C).
  [[nodiscard]] int ExitStatus() const {
    const int signal = signal_.load();
    return 128 + (signal != 0 ? signal : kCtrlC);
  }

  // One Ctrl-C (or the signal `signal`): the first calls the handler, the second ends the
  // process.
  void Deliver(int signal = kCtrlC);
  // After a Ctrl-C: waits until its call of the handler has returned, so that what the handler
  // does (Disconnect's texts) is over before the run says it was interrupted.
  void WaitHandled() override;

 private:
  void Watch();

  static constexpr int kCtrlC = 2;  // SIGINT, which Windows has too

  std::atomic<int> signal_{0};  // the first signal; 0 before any
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
