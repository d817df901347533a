#include "sim/EventRecord.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace veska::sim {

const char* EventKindName(EventKind kind) {
  switch (kind) {
    case EventKind::PowerOn:
      return "power-on";
    case EventKind::PowerOff:
      return "power-off";
    case EventKind::UsbAttached:
      return "usb-attached";
    case EventKind::StartByte:
      return "start-byte";
    case EventKind::LoaderReceived:
      return "loader";
    case EventKind::RateChanged:
      return "rate";
    case EventKind::Command:
      return "command";
    case EventKind::FlashIdSent:
      return "flash-id";
    case EventKind::BadBlocksSent:
      return "bad-blocks";
    case EventKind::Erased:
      return "erased";
    case EventKind::ImageRequest:
      return "image-request";
    case EventKind::ImageBlock:
      return "image-block";
    case EventKind::ImageBlockBad:
      return "image-block-bad";
    case EventKind::ImageDone:
      return "image-done";
    case EventKind::Reboot:
      return "reboot";
    case EventKind::DumpRequest:
      return "dump-request";
    case EventKind::DumpChunk:
      return "dump-chunk";
    case EventKind::DumpDone:
      return "dump-done";
    case EventKind::FaultInjected:
      return "fault";
    case EventKind::PeerSilent:
      return "peer-silent";
    case EventKind::Violation:
      return "violation";
    case EventKind::LineDropped:
      return "line-dropped";
  }
  return "?";
}

std::string Describe(const Event& event) {
  char text[160];
  std::snprintf(text, sizeof text,
                "%-15s code=0x%02X address=0x%08" PRIX64 " length=%" PRIu64 " sum=0x%02X",
                EventKindName(event.kind), event.code, event.address, event.length, event.sum);
  std::string line = text;
  if (!event.detail.empty()) line += " " + event.detail;
  return line;
}

void EventRecord::Add(Event event) {
  {
    std::lock_guard lock(mutex_);
    if (verbose_) std::fprintf(stderr, "vphone: %s\n", Describe(event).c_str());
    events_.push_back(std::move(event));
  }
  changed_.notify_all();
}

std::vector<Event> EventRecord::Snapshot() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void EventRecord::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

bool EventRecord::WaitFor(const std::function<bool(const std::vector<Event>&)>& predicate,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return predicate(events_); });
}

void EventRecord::SetVerbose(bool verbose) {
  std::lock_guard lock(mutex_);
  verbose_ = verbose;
}

bool HasEvent(const std::vector<Event>& events, EventKind kind) {
  return CountEvents(events, kind) != 0;
}

std::size_t CountEvents(const std::vector<Event>& events, EventKind kind) {
  return static_cast<std::size_t>(std::count_if(events.begin(), events.end(),
                                                [kind](const Event& e) { return e.kind == kind; }));
}

}  // namespace veska::sim
