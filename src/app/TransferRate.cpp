#include "app/TransferRate.h"

#include <algorithm>
#include <cstdio>

#include "app/Printf.h"

namespace veska::app {

void RateWindow::Add(Clock::time_point when, std::int64_t position) {
  samples_.emplace_back(when, position);
  while (samples_.size() > 2 && when - samples_[1].first >= span_) samples_.pop_front();
}

double RateWindow::Rate() const {
  if (samples_.size() < 2) return -1.0;
  const auto& [since, from] = samples_.front();
  const auto& [now, position] = samples_.back();
  if (now - since < shortest_) return -1.0;
  return static_cast<double>(position - from) / std::chrono::duration<double>(now - since).count();
}

std::string DurationText(double seconds) {
  if (seconds < 0) return "-";
  const auto whole = static_cast<long>(seconds + 0.5);
  return app::Printf("%ld:%02ld", whole / 60, whole % 60);
}

std::string RateText(double bytesPerSecond) {
  if (bytesPerSecond < 0) return "-";
  return app::Printf("%.1f KiB/s", bytesPerSecond / 1024.0);
}

std::string TransferStatus::Take(std::uint32_t position, std::uint32_t upper, bool newRange,
                                 Clock::time_point now) {
  if (newRange) {
    upper_ = upper;
    rate_.Clear();
    rate_.Add(now, 0);
    lastShown_ = now;
    return {};
  }
  if (upper_ == 0 || position == 0) return {};
  rate_.Add(now, position);
  const bool done = position >= upper_;
  if (!done && now - lastShown_ < std::chrono::milliseconds(250)) return {};
  lastShown_ = now;
  const double rate = rate_.Rate();
  const std::uint32_t shown = std::min(position, upper_);
  char text[160];
  int length = std::snprintf(text, sizeof text, "%u %% (%u / %u bytes)",
                             static_cast<unsigned>(100ull * shown / upper_), shown, upper_);
  // The rate and the time left once there is enough to tell them, and while they mean something.
  if (!done && rate > 0 && length > 0) {
    std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "  %s  %s left",
                  RateText(rate).c_str(),
                  DurationText(static_cast<double>(upper_ - shown) / rate).c_str());
  }
  return text;
}

}  // namespace veska::app
