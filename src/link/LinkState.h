#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/AdapterLatency.h"
#include "link/FrameTagGenerator.h"

namespace veska::link {

// Link modes: chosen by the UART/USB radio buttons, read by every sender at the moment it sends.
inline constexpr std::uint32_t LINK_UART = 201;
inline constexpr std::uint32_t LINK_USB = 85;

// The longest a phone may stay silent while the PC waits for its answer once the connection
// stands: long enough for any flash erase or format a real phone performs (they answer within
// seconds), short enough that a dead phone is reported while the technician still watches.
inline constexpr std::chrono::seconds DEFAULT_REPLY_TIMEOUT{120};

// The block being sent is read into this buffer; a block request longer than it is refused.
inline constexpr std::size_t TRANSFER_BUFFER_SIZE = 1572864;

// The serial link's process-wide values, held in one object so that each test (and later each
// port session) gets a fresh set. The application's process state embeds it.
//
// Only one operation talks to the phone at a time; the window's control states guarantee it.
// `portOpen` and `linkMode` are atomic because the user-interface thread reads them while a
// worker runs (Disconnect, the control states).
struct LinkState {
  // 0 until the link radio buttons, START or the bootloader download set it.
  std::atomic<std::uint32_t> linkMode{0};
  std::vector<std::uint8_t> transferBuffer = std::vector<std::uint8_t>(TRANSFER_BUFFER_SIZE);
  std::uint8_t lastBlockSum = 0;
  // Tags for the USB command frames; each session draws its own sequence.
  FrameTagGenerator frameTags;
  // True while some port record on this state holds an open device: set by a successful open,
  // cleared when the last record that opened its device closes it. A record that never opened
  // (a copy kept for later) changes nothing by closing or by failing to open.
  std::atomic<bool> portOpen{false};
  // The records holding a device, and the mutex that keeps the count and portOpen in step.
  std::mutex openRecordsMutex;
  unsigned openRecords = 0;
  // Cleared by Disconnect: a worker whose port was closed under it must not open it again (a
  // later step of its operation would otherwise reopen the device and wait on a phone nobody
  // watches). The next operation sets it again before it starts.
  std::atomic<bool> openAllowed{true};
  // Counts the Disconnects; an operation that began before the latest one is cancelled.
  std::atomic<std::uint32_t> disconnects{0};
  // Counts the opens that failed because the device could not be had (missing, refused, in use,
  // no serial device), so that a caller can tell an absent port from a silent phone.
  std::atomic<std::uint32_t> openFailures{0};
  // Bounds every silent stretch of a ReadFully that waits for the phone's answer (see
  // SerialPort::ReadFully); zero or less leaves only the time-out factors. Set at start from
  // the settings or the command line; tests shrink it.
  std::chrono::milliseconds replyTimeout{DEFAULT_REPLY_TIMEOUT};
  // The handshake's waits for the boot signal and its acknowledgement are long on purpose (the
  // user switches the phone on meanwhile) and only their factors bound them; set, the reply
  // time-out bounds them too (veska-cli --timeout, for benches that must not wait 27 minutes).
  bool replyTimeoutBoundsHandshake = false;
  // "COMn" -> device path overrides from the settings file (section "Ports").
  std::map<std::string, std::string> portPaths;
  // Every open asks the device's driver for low latency; a USB adapter whose timer stays slow
  // is told of once.
  AdapterLatency latency;
};

}  // namespace veska::link
