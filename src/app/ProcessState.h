#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "link/LinkState.h"
#include "link/SerialPort.h"
#include "payloads/PayloadSet.h"

namespace veska::app {

// The values one download session shares between its dialog, its operations and their worker
// threads. The application owns one and hands it to whoever needs it, so each test (and later
// each port of a multi-port bench) starts from a fresh set.
//
// Thread safety: the flags the user-interface thread reads while a worker runs are atomic; the
// rest is touched by one operation at a time, which the window's busy state guarantees.
struct ProcessState {
  // Link mode, transfer buffer, last block sum, port-open flag and the COMn path overrides.
  link::LinkState link;

  // Set by the bootloader download: the phone then runs the bootloader driver, so Download and
  // the TFS Explorer stay disabled until Disconnect.
  std::atomic<bool> bootloaderMode{false};

  // The copy of the port record that START keeps for the operations that open their own
  // connection later (the TFS Explorer). Replaced (START) and closed (Disconnect) under
  // sharedPortMutex, since Disconnect may come while START prepares it.
  std::unique_ptr<link::SerialPort> sharedPort;
  std::mutex sharedPortMutex;

  // The TFS Explorer's mount: `mountSent` is set when a mount request went out and cleared when
  // the Explorer closes; `mountSucceeded` is set by the first mount the phone confirmed and
  // stays set. Both outlive the Explorer's dialog.
  std::atomic<bool> mountSent{false};
  std::atomic<bool> mountSucceeded{false};

  // Set when the phone's boot signal was the variant that allows one retry; cleared when the
  // retry is taken. Lives as long as the process: a retry not taken is still allowed at the
  // next START.
  std::atomic<bool> bootRetryAllowed{false};

  // Held by a worker for its whole run, so that an operation started right after Disconnect
  // waits until the cancelled one has let go of the port record.
  std::mutex operationMutex;

  // What a worker does first. `generation` is link.disconnects as it was when the user started
  // the operation. Waits until a cancelled predecessor has let go, then allows opens again and
  // returns the held lock; returns an empty lock when Disconnect came in between, and the
  // worker then ends without touching anything.
  [[nodiscard]] std::unique_lock<std::mutex> BeginWorker(std::uint32_t generation) {
    std::unique_lock lock(operationMutex);
    if (link.disconnects.load() != generation) return {};
    link.openAllowed = true;
    return lock;
  }

  // The same for an operation on the user-interface thread, which must never wait for a
  // cancelled worker (that worker may be waiting for the user-interface thread): an empty lock
  // also when the phone is still held.
  [[nodiscard]] std::unique_lock<std::mutex> TryBeginWorker(std::uint32_t generation) {
    std::unique_lock lock(operationMutex, std::try_to_lock);
    if (!lock.owns_lock() || link.disconnects.load() != generation) return {};
    link.openAllowed = true;
    return lock;
  }

  // Disconnect: a worker's port is about to be closed under it; it must not open it again.
  void CancelOperations() {
    ++link.disconnects;
    link.openAllowed = false;
  }
  // Ends whatever exchange runs on the shared record (the Explorer's) at once.
  void CloseSharedPort() {
    std::lock_guard lock(sharedPortMutex);
    if (sharedPort) sharedPort->Close();
  }
  void KeepSharedPort(std::unique_ptr<link::SerialPort> port) {
    std::lock_guard lock(sharedPortMutex);
    sharedPort = std::move(port);
  }

  // The loader payloads in use: the built-in stand-ins unless the host found real ones.
  payloads::PayloadSet payloads;

  // The selection code of the running download request.
  std::uint8_t downloadSelection = 0;

  // The NAND dump's request: the area dialog sets all three at once, the dump worker reads
  // them. They keep their values from one dump to the next.
  std::uint32_t dumpFrom = 0;
  std::uint32_t dumpTo = 0;
  std::uint8_t dumpAreaKind = 0;
};

}  // namespace veska::app
