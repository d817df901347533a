#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace veska::sim {

// What the phone saw and did, in order. Tests read it to check the PC's bytes; a violation of
// the wire tables is recorded here (and only here: the phone never tells the PC why it stopped).
enum class EventKind {
  PowerOn,
  PowerOff,
  UsbAttached,     // the USB device (link path) appeared
  StartByte,       // code: the PC's start byte, acknowledged
  LoaderReceived,  // length: payload size; detail: which payload
  RateChanged,     // code: rate code; length: bits per second
  Command,         // code: a driver command accepted; detail: its wire form
  FlashIdSent,
  BadBlocksSent,  // length: number of pairs
  Erased,         // code: erase command; address/length: first block, block count
  ImageRequest,   // address, length: image size
  ImageBlock,     // address: flash address of the block; length; sum: the phone's own sum
  ImageBlockBad,  // a UART block whose sum byte did not match; sum: the byte received
  ImageDone,      // address, length: bytes written
  Reboot,
  DumpRequest,  // code: area kind; address: from; length: bytes asked for
  DumpChunk,    // address: offset in the dump; length; sum; code: the PC's answer
  DumpDone,
  FaultInjected,  // detail: which fault
  PeerSilent,     // the PC stopped in the middle of an exchange; detail: where
  Violation,      // detail: "unexpected byte 0x.. in state .."
  LineDropped,
};

[[nodiscard]] const char* EventKindName(EventKind kind);

struct Event {
  EventKind kind = EventKind::Command;
  std::uint8_t code = 0;
  std::uint64_t address = 0;
  std::uint64_t length = 0;
  std::uint8_t sum = 0;
  std::string detail;
};

// One line of text for an event, as the verbose log prints it.
[[nodiscard]] std::string Describe(const Event& event);

// The record. Thread-safe; waiters are woken on every new event.
class EventRecord {
 public:
  void Add(Event event);
  [[nodiscard]] std::vector<Event> Snapshot() const;
  void Clear();
  // Waits until `predicate` holds on the record (checked at once and after every event) or the
  // time-out passes. Returns whether it held.
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& predicate,
               std::chrono::milliseconds timeout) const;
  // Echo every event to standard error as it is added.
  void SetVerbose(bool verbose);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Event> events_;
  bool verbose_ = false;
};

// Helpers for predicates.
[[nodiscard]] bool HasEvent(const std::vector<Event>& events, EventKind kind);
[[nodiscard]] std::size_t CountEvents(const std::vector<Event>& events, EventKind kind);

}  // namespace veska::sim
