#include "ui/Journal.h"

namespace veska::ui {

void Journal::Record(Event event) {
  std::lock_guard lock(mutex_);
  if (observer_) observer_(event);
  if (recording_) events_.push_back(std::move(event));
}

std::vector<Event> Journal::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void Journal::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

void Journal::SetRecording(bool on) {
  std::lock_guard lock(mutex_);
  recording_ = on;
}

void Journal::SetObserver(Observer observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

}  // namespace veska::ui
