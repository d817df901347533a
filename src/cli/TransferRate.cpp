#include "cli/TransferRate.h"

#include "app/Printf.h"

namespace veska::cli {

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

}  // namespace veska::cli
