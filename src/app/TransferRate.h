#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace veska::app {

// The rate of a transfer over its last few seconds. Over the whole transfer the first readings
// would weigh too much: a block arrives all at once into an empty queue, far faster than the
// line carries it.
class RateWindow {
 public:
  using Clock = std::chrono::steady_clock;

  // Readings older than `span` (but the last two) are forgotten; the rate is told once the
  // readings cover at least `shortest`.
  RateWindow(Clock::duration span, Clock::duration shortest) : span_(span), shortest_(shortest) {}

  void Clear() { samples_.clear(); }
  [[nodiscard]] bool Empty() const { return samples_.empty(); }
  // The transfer stood at `position` bytes at `when`.
  void Add(Clock::time_point when, std::int64_t position);
  // Bytes per second; negative while there is too little to tell.
  [[nodiscard]] double Rate() const;

 private:
  Clock::duration span_;
  Clock::duration shortest_;
  std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
};

// What a window's status line says while a transfer runs: how far it is, its rate and the time
// left ("45 % (1179648 / 2621440 bytes)  287.4 KiB/s  0:12 left"), told a few times a second
// and at its end, so that a fast transfer does not flood the window.
class TransferStatus {
 public:
  using Clock = RateWindow::Clock;
  // Takes a progress report (a new range starts at 0); the text when it is time to show one,
  // else empty.
  [[nodiscard]] std::string Take(std::uint32_t position, std::uint32_t upper, bool newRange,
                                 Clock::time_point now = Clock::now());

 private:
  RateWindow rate_{std::chrono::seconds(3), std::chrono::milliseconds(500)};
  std::uint32_t upper_ = 0;
  Clock::time_point lastShown_{};
};

// "M:SS", rounded to the second; "-" for a negative time (nothing to tell).
[[nodiscard]] std::string DurationText(double seconds);

// "12.3 KiB/s"; "-" for a negative rate (nothing to tell).
[[nodiscard]] std::string RateText(double bytesPerSecond);

}  // namespace veska::app
