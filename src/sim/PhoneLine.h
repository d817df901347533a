#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/UniqueFd.h"

namespace veska::sim {

enum class IoResult {
  Ok,
  Timeout,      // nothing (more) arrived, or the PC accepted nothing, within the allowance
  Interrupted,  // Interrupt() was called: a power change or shutdown is pending
  Closed,       // the line is gone (dropped, or the other end closed a pipe)
};

// The phone's end of the serial line: one descriptor pair (the pty master twice, or two pipe
// ends), non-blocking, waited on with poll() together with an eventfd so that another thread
// can interrupt any wait. Optional pacing keeps both directions at rate / 10 bytes per second.
//
// Thread safety: Interrupt() and ClearInterrupt() may be called from any thread; everything
// else belongs to the phone's thread.
class PhoneLine {
 public:
  PhoneLine(UniqueFd readFd,
            UniqueFd writeFd);  // writeFd may be invalid: reads and writes share readFd
  PhoneLine(const PhoneLine&) = delete;
  PhoneLine& operator=(const PhoneLine&) = delete;

  [[nodiscard]] bool Valid() const { return wake_.Valid() && read_.Valid(); }

  // Exactly out.size() bytes. `gap` bounds each wait for more bytes (nullopt: wait forever).
  [[nodiscard]] IoResult Read(std::span<std::uint8_t> out,
                              std::optional<std::chrono::milliseconds> gap);
  // All bytes, each wait for room bounded by `gap`.
  [[nodiscard]] IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds gap);
  // Best effort, never waits: a line nobody reads fills up, and a real UART would simply lose
  // what it cannot send. Used for the boot signal.
  void Offer(std::span<const std::uint8_t> bytes);
  // Waits until input is readable.
  [[nodiscard]] IoResult WaitInput(std::optional<std::chrono::milliseconds> timeout);
  // Interruptible pause.
  [[nodiscard]] IoResult Pause(std::chrono::milliseconds duration);
  // Throws input away until the line has been quiet for `quiet`.
  [[nodiscard]] IoResult DrainUntilQuiet(std::chrono::milliseconds quiet);

  void Interrupt();
  void ClearInterrupt();
  [[nodiscard]] bool Interrupted() const { return interrupted_.load(); }

  void SetRate(std::uint32_t bitsPerSecond) { rate_ = bitsPerSecond; }
  [[nodiscard]] std::uint32_t Rate() const { return rate_; }
  void SetPacing(bool pace) { pace_ = pace; }

  // Closes the line for good, as a pulled cable does.
  void Drop();
  [[nodiscard]] bool Dropped() const { return !read_.Valid(); }

 private:
  int WriteFd() const { return write_.Valid() ? write_.Get() : read_.Get(); }
  // poll() on `fd` for `events` and on the eventfd. Timeout < 0 waits forever.
  IoResult WaitFor(int fd, short events, int timeoutMs);
  void PaceRead(std::size_t n);
  void PaceWrite(std::size_t n);
  std::chrono::steady_clock::duration WireTime(std::size_t n) const;

  UniqueFd read_;
  UniqueFd write_;
  UniqueFd wake_;
  std::atomic<bool> interrupted_{false};
  std::uint32_t rate_ = 115200;
  bool pace_ = false;
  std::chrono::steady_clock::time_point rxFree_{};
  std::chrono::steady_clock::time_point txFree_{};
};

}  // namespace veska::sim
