#include "sim/Exchange.h"

#include <string>

namespace veska::sim {

IoResult ReadInExchange(PhoneLine& line, EventRecord& events, std::chrono::milliseconds timeout,
                        std::span<std::uint8_t> out, const char* where) {
  const IoResult result = line.Read(out, timeout);
  if (result == IoResult::Timeout) {
    events.Add(
        Event{EventKind::PeerSilent, 0, 0, out.size(), 0, std::string("waiting for ") + where});
  }
  return result;
}

IoResult WriteInExchange(PhoneLine& line, EventRecord& events, std::chrono::milliseconds timeout,
                         std::span<const std::uint8_t> bytes, const char* where) {
  const IoResult result = line.Write(bytes, timeout);
  if (result == IoResult::Timeout) {
    events.Add(Event{EventKind::PeerSilent, 0, 0, bytes.size(), 0,
                     std::string("PC not reading ") + where});
  }
  return result;
}

}  // namespace veska::sim
