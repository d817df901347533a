#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "sim/EventRecord.h"
#include "sim/PhoneLine.h"

namespace veska::sim {

// What a wait on the line means for the step that waited. `ok` and `timeout` are the step's
// own; a pending power change or shutdown (return at once) and a dropped line mean the same to
// every step of the driver and of the file-system service.
template <typename Outcome>
[[nodiscard]] Outcome OutcomeOf(IoResult result, Outcome ok, Outcome timeout) {
  switch (result) {
    case IoResult::Ok:
      return ok;
    case IoResult::Timeout:
      return timeout;
    case IoResult::Interrupted:
      return Outcome::Interrupted;
    case IoResult::Closed:
      return Outcome::LineDropped;
  }
  return Outcome::LineDropped;
}

// A read or a write in the middle of an exchange, each wait bounded by `timeout`. A PC that
// stops there is recorded as PeerSilent, with what the phone was waiting for: it is not a
// violation, the PC found an error or closed the port.
[[nodiscard]] IoResult ReadInExchange(PhoneLine& line, EventRecord& events,
                                      std::chrono::milliseconds timeout,
                                      std::span<std::uint8_t> out, const char* where);
[[nodiscard]] IoResult WriteInExchange(PhoneLine& line, EventRecord& events,
                                       std::chrono::milliseconds timeout,
                                       std::span<const std::uint8_t> bytes, const char* where);

}  // namespace veska::sim
