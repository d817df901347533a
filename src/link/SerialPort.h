#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "link/BaudCodes.h"
#include "link/LinkState.h"
#include "link/PortNames.h"
#include "link/PortStatus.h"
#include "link/Sinks.h"

namespace veska::link {

// The only way the system talks to the phone: one serial device (a UART or the boot ROM's USB
// virtual COM port), 8-N-1 without flow control, at a rate given by a one-byte baud code.
//
// Two layers of I/O: ReadSome/WriteSome move what the device can move within its time-outs;
// ReadFully/WriteFully loop until the whole buffer has moved or a count of consecutive empty
// transfers runs out (the time-out factor t allows t x 200 empty reads or t x 600000 empty
// writes, and any byte moved restarts the count). Two limits of time come on top: a stretch of
// writes that move nothing ends after writeStallTimeout, and a silent stretch of a read that
// waits for the phone's answer ends after the state's replyTimeout (PORT_NO_REPLY).
//
// Thread safety: one thread uses an open port at a time. Close() may also be called from
// another thread (Disconnect): a read or write blocked in the other thread then ends at once
// with PORT_IO_ERROR, and the device is released only after it has left. Everything else is
// not thread-safe.
//
// The record (name, baud code, time-outs) outlives opens and closes; an owner changes baudCode
// between a close and the next open to reopen at another rate.
class SerialPort {
 public:
  explicit SerialPort(LinkState& state);
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // A closed record with the same name, baud code, time-outs and sinks: what START keeps for
  // the operations that open their own connection later.
  [[nodiscard]] std::unique_ptr<SerialPort> CopyRecord() const;

  // "COM1" ... "COM50" (mapped to a device, see DevicePathFor) or a device path.
  std::string portName;
  std::uint8_t baudCode = 0;

  // Read time-outs: an empty read lasts up to readTotalTimeout when nothing arrives; once bytes
  // flow, a read returns after a gap of readIntervalTimeout. writeTimeout bounds one attempt to
  // hand bytes to a device that accepts none. Tests shrink these; production keeps them.
  std::chrono::milliseconds readTotalTimeout{1000};
  std::chrono::milliseconds readIntervalTimeout{100};
  std::chrono::milliseconds writeTimeout{1000};
  // The longest stretch of writes that move no byte before WriteFully gives up, whatever the
  // factor. A real line never comes near it: at 115200 bit/s the UART device's 4096-byte queue
  // drains in 0.36 s, whatever the block's size (each byte moved restarts the stretch), and a
  // USB phone pauses its reading for well under a second while it programs its flash. Without
  // it a phone that stopped reading would hold the PC for factor x 600000 attempts of
  // writeTimeout each.
  std::chrono::milliseconds writeStallTimeout{30000};
  // Delay between the attempts of OpenRetrying, and the pause after an empty write.
  std::chrono::milliseconds openRetryDelay{100};
  std::chrono::milliseconds emptyWritePause{5};
  int openRetryAttempts = 100;

  DiagnosticSink* diagnostics = &StdoutDiagnostics();
  // Told of every empty read of ReadFully while set. It belongs to one wait, so CopyRecord
  // leaves it behind.
  WaitSink* waitTicks = nullptr;

  // Both refuse with PORT_IO_ERROR while the state's openAllowed is clear (after Disconnect).
  // One attempt, device queues of 4096 bytes each way (UART link).
  [[nodiscard]] PortStatus Open();
  // Up to openRetryAttempts attempts openRetryDelay apart, queues of 65536 bytes (USB link: the
  // boot ROM's device appears only a moment after the phone is switched on).
  [[nodiscard]] PortStatus OpenRetrying();

  [[nodiscard]] PortStatus ReadSome(std::span<std::uint8_t> buffer, std::size_t& got);
  // Whether a read's silence is also bounded by the state's replyTimeout. Only the handshake's
  // waits go without: there the technician is still switching the phone on.
  enum class Silence { ReplyBounded, FactorOnly };
  // PORT_TIMEOUT when the factor's empty reads run out, PORT_NO_REPLY when a silent stretch
  // reaches the reply time-out first.
  [[nodiscard]] PortStatus ReadFully(std::span<std::uint8_t> buffer, std::uint8_t timeoutFactor,
                                     Silence silence = Silence::ReplyBounded);
  // Moves at most 32768 bytes per call.
  [[nodiscard]] PortStatus WriteSome(std::span<const std::uint8_t> buffer, std::size_t& put);
  [[nodiscard]] PortStatus WriteFully(std::span<const std::uint8_t> buffer,
                                      std::uint8_t timeoutFactor);

  // Lets the bytes already written reach the line, drops unread input and releases the device.
  // Harmless on a closed record. Always PORT_OK.
  PortStatus Close();

  // The state's flag: some port record on it holds an open device.
  [[nodiscard]] bool IsPortOpen() const { return state_.portOpen.load(); }
  // This record holds an open device.
  [[nodiscard]] bool HoldsDevice() const;

  [[nodiscard]] LinkState& State() const { return state_; }

  static constexpr std::size_t kMaxWritePiece = 0x8000;
  static constexpr std::size_t kUartQueueSize = 4096;
  static constexpr std::size_t kUsbQueueSize = 65536;

  struct Device;  // the back end's open device; defined by posix/ or win32/

 private:
  // Back end, one attempt to obtain the device (no configuration yet). Returns 0 or the OS
  // error code; on failure nothing is held.
  int OpenDevice();
  // What an open whose device was obtained ends with: `status`, or PORT_IO_ERROR with the device
  // let go again when a Disconnect came meanwhile.
  PortStatus Opened(PortStatus status);
  // Back end: configure the device obtained by OpenDevice (rate, 8-N-1, queues, time-outs,
  // purge). On failure everything obtained so far is released and the status returned.
  PortStatus ConfigureDevice(std::size_t queueSize);
  // Back end: a diagnostic line for a failed open ("" when there is nothing useful to add), for
  // example the group a Linux user must join to use serial devices, and the kind of problem.
  std::string OpenFailureHint(int osError) const;
  static PortProblem OpenProblem(int osError);
  // Says why an open failed: the hint on the diagnostics, then the typed failure.
  void ReportOpenFailure(int osError) const;
  // Tells the diagnostics' typed side of a failure whose lines were said already.
  void ReportFailure(PortProblem problem, std::string_view text) const;

  // Back end: says on the diagnostics that the device failed during a read or write (0: it
  // hung up), and returns PORT_IO_ERROR.
  PortStatus LineFailed(int osError) const;

  // POSIX back end: asks the driver of the configured device for low latency and says once per
  // device when its USB adapter's latency timer stays slow.
  void AskForLowLatency(int fd, const std::string& device);
  // Says on the diagnostics, once per device, that its USB adapter's latency timer is slow.
  void TellSlowAdapter(const std::string& device) const;

  // Every back end reports here when this record has obtained a configured device and when it
  // has let it go, so that only a record that opened the device clears the state's portOpen.
  void NoteDeviceOpened();
  void NoteDeviceReleased();

  LinkState& state_;
  std::unique_ptr<Device> device_;
  bool countedOpen_ = false;  // guarded by state_.openRecordsMutex
};

// The log line for a wait that ended with PORT_NO_REPLY: it names the time-out and what was
// awaited ("the next block request").
[[nodiscard]] std::string NoReplyText(const LinkState& state, std::string_view awaited);

// Opens `port` the way its link needs: OpenRetrying on the USB link (the boot ROM's device
// appears only a moment after the phone is switched on), Open otherwise.
[[nodiscard]] PortStatus OpenForLinkMode(SerialPort& port);

// The device a port name stands for. A name starting with '/' (or, on Windows, "\\.\") is a
// path already. "COMn" is looked up in the overrides first, then mapped by the back end's table
// (Linux: COM1-16 /dev/ttyS0-15, COM17-32 /dev/ttyUSB0-15, COM33-48 /dev/ttyACM0-15,
// COM49-50 /dev/ttyAMA0-1). An unknown name maps to itself.
[[nodiscard]] std::string DevicePathFor(const std::string& portName, const LinkState& state);

// Why the device at `path` could not be opened now, without opening it (opening a serial line
// can disturb what is on it): missing, no permission, or held by another program (named when
// it can be found). Empty when nothing stands in the way.
[[nodiscard]] std::string DeviceProblem(const std::string& path);

}  // namespace veska::link
