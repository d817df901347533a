#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace veska::link::win32 {

// Lets Close run on another thread (Disconnect) while the owner's read or write is blocked on
// the device, without closing the handle under the blocked call.
//
// Every read or write enters the gate before it touches the device and leaves it afterwards.
// Close marks the gate closing, so that no new call enters, cancels what is in flight, waits
// until the last caller has left, and only then releases the device.
//
// One race is left to the caller: a call that has entered but not yet issued its I/O when the
// cancel runs would start after it and block for a full time-out. So after issuing, a call
// checks Closing() and cancels its own I/O when it is set. Closing is set before the cancel
// runs, so either the caller sees it or the cancel sees the issued I/O.
class IoGate {
 public:
  // Admits callers: the device is open and configured.
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    closing_ = false;
  }

  [[nodiscard]] bool IsOpen() const {
    std::lock_guard lock(mutex_);
    return open_ && !closing_;
  }

  [[nodiscard]] bool Closing() const { return closing_.load(); }

  // False when the device is closed or being closed; the call must not touch it then.
  [[nodiscard]] bool TryEnter() {
    std::lock_guard lock(mutex_);
    if (!open_ || closing_) return false;
    ++users_;
    return true;
  }

  void Leave() {
    std::lock_guard lock(mutex_);
    if (--users_ == 0) changed_.notify_all();
  }

  // cancel() makes in-flight calls return; it runs only when some call is inside, with the gate
  // locked. release(interrupted) frees the device once nobody is inside; `interrupted` tells
  // whether a call had to be cancelled. Returns false, calling neither, when the gate was not
  // open. A second Close while one is running waits for it and returns false.
  template <typename Cancel, typename Release>
  bool Close(Cancel&& cancel, Release&& release) {
    std::unique_lock lock(mutex_);
    if (closing_) {
      const unsigned seen = closes_;
      changed_.wait(lock, [this, seen] { return closes_ != seen; });
      return false;
    }
    if (!open_) return false;
    closing_ = true;
    const bool interrupted = users_ > 0;
    if (interrupted) {
      cancel();
      changed_.wait(lock, [this] { return users_ == 0; });
    }
    release(interrupted);
    open_ = false;
    closing_ = false;
    ++closes_;
    changed_.notify_all();
    return true;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int users_ = 0;
  unsigned closes_ = 0;  // lets a second Close wait for this one, even if a reopen follows
  bool open_ = false;
  std::atomic<bool> closing_{false};
};

// Holds a place in the gate for one read or write.
class IoPass {
 public:
  explicit IoPass(IoGate& gate) : gate_(gate), admitted_(gate.TryEnter()) {}
  ~IoPass() {
    if (admitted_) gate_.Leave();
  }
  IoPass(const IoPass&) = delete;
  IoPass& operator=(const IoPass&) = delete;

  [[nodiscard]] bool Admitted() const { return admitted_; }

 private:
  IoGate& gate_;
  bool admitted_;
};

}  // namespace veska::link::win32
