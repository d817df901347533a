#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "sim/PhoneOptions.h"
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
  ~PhoneLine();
  PhoneLine(const PhoneLine&) = delete;
  PhoneLine& operator=(const PhoneLine&) = delete;

  // Puts an adapter model between the phone and the line for what the phone sends; call before
  // the line is used. Its bytes then leave on a thread of the adapter's own.
  void SetAdapter(const AdapterModel& adapter);

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
  // Goes on over another descriptor (a pseudo-terminal's master; reads and writes share it): the
  // old one closes, and what the adapter still held for it is lost with it.
  void Replace(UniqueFd fd);
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
  // The phone has waited for the PC since the last bytes it paced in each direction (phone
  // thread only), and when the adapter last handed the phone's bytes on: the PC could answer no
  // earlier, so the time the adapter held them is idle line, never credited as lateness.
  bool rxAwaited_ = false;
  bool txAwaited_ = false;
  std::atomic<std::chrono::steady_clock::rep> adapterReleased_{0};
  // Notes a wait for the PC that ended with `result`.
  IoResult AwaitedPeer(IoResult result);
  // The earliest the line may count as busy again: lateness is credited back, but not past the
  // adapter's last release when the phone waited for the PC (`awaited`).
  [[nodiscard]] std::chrono::steady_clock::time_point PaceFloor(bool awaited) const;

  // The adapter model: what the phone sent and the adapter holds, when its first byte came.
  // The adapter's thread is declared last so that it ends before the descriptors close.
  // Hands bytes to the adapter; false when it stays full for `gap` (nothing read them).
  IoResult ToAdapter(std::span<const std::uint8_t> bytes,
                     std::optional<std::chrono::milliseconds> gap);
  void RunAdapter(const std::stop_token& stop);
  bool WriteNow(std::span<const std::uint8_t> bytes);
  AdapterModel adapter_;
  std::mutex adapterMutex_;
  std::condition_variable_any adapterChanged_;
  std::deque<std::uint8_t> held_;
  std::chrono::steady_clock::time_point heldSince_{};
  std::mutex writeMutex_;  // the adapter's writes against Drop()
  std::jthread adapterThread_;
};

}  // namespace veska::sim
