// Win32 back end of the serial port: one communications device opened for overlapped I/O, with
// one manual-reset event per direction. Every read and write is issued and then waited for, so
// the overlapped mode serves only to let Close cancel a call blocked in another thread.

#include "link/DeviceWatch.h"
#include "link/SerialPort.h"
#include "link/UsbLocation.h"
#include "link/win32/IoGate.h"
#include "link/win32/Win32PortRules.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "link/win32/UniqueHandle.h"

namespace veska::link {

static_assert(win32::kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(win32::kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(win32::kErrorSemTimeout == ERROR_SEM_TIMEOUT);
static_assert(win32::kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(win32::kErrorTimeout == ERROR_TIMEOUT);

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
static_assert(kPurgeAll == 0x0F);
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;

// Line errors latch and stop the device until they are cleared; what they were is of no use to
// the caller, whose own checks (block sums, replies) catch damaged data.
void ClearLineErrors(HANDLE file) {
  DWORD errors = 0;
  COMSTAT status{};
  ClearCommError(file, &errors, &status);
}

// Waits for an issued (or at once completed) overlapped operation and fetches its count.
// Waiting on the operation's own event, ERROR_IO_INCOMPLETE can only follow a wake-up before the
// operation ended, so asking again waits again rather than spinning.
bool AwaitOverlapped(HANDLE file, OVERLAPPED& overlapped, DWORD& count) {
  for (;;) {
    if (GetOverlappedResult(file, &overlapped, &count, TRUE)) return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
  }
}

}  // namespace

struct SerialPort::Device {
  win32::UniqueHandle file;
  win32::UniqueHandle readEvent;
  win32::UniqueHandle writeEvent;
  OVERLAPPED readOverlapped{};
  OVERLAPPED writeOverlapped{};
  DCB dcb{};
  win32::IoGate gate;

  // Everything the open obtained, in the reverse order of obtaining it.
  void Release() {
    readOverlapped = OVERLAPPED{};
    writeOverlapped = OVERLAPPED{};
    writeEvent.Reset();
    readEvent.Reset();
    file.Reset();
  }
};

// The device record lives as long as the port, so that Close on another thread never races
// with its creation; the open only fills it.
SerialPort::SerialPort(LinkState& state) : state_(state), device_(std::make_unique<Device>()) {}

SerialPort::~SerialPort() {
  Close();
}

bool SerialPort::HoldsDevice() const {
  return device_->gate.IsOpen();
}

int SerialPort::OpenDevice() {
  // The device is opened without sharing: a second open while this record still holds it would
  // fail, so an open without a close in between releases the old one first.
  if (HoldsDevice()) Close();
  Device& device = *device_;
  device.Release();

  const std::string path = DevicePathFor(portName, state_);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE);
  }
  device.file.Reset(file);
  return 0;
}

PortStatus SerialPort::ConfigureDevice(std::size_t queueSize) {
  Device& device = *device_;
  const HANDLE file = device.file.Get();

  // Manual reset, because GetOverlappedResult waits on them and ReadFile/WriteFile reset them
  // when they start an operation.
  device.readEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  device.writeEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!device.readEvent.Valid() || !device.writeEvent.Valid()) {
    device.Release();
    return PORT_IO_ERROR;
  }
  device.readOverlapped = OVERLAPPED{};
  device.readOverlapped.hEvent = device.readEvent.Get();
  device.writeOverlapped = OVERLAPPED{};
  device.writeOverlapped.hEvent = device.writeEvent.Get();

  // Only the framing and the flow control are ours; DTR/RTS lines, special characters and
  // buffer limits stay as the driver has them, since USB virtual ports differ there. The
  // results of the state, mask and queue calls are not checked: virtual ports refuse some of
  // them and work regardless.
  device.dcb = DCB{};
  device.dcb.DCBlength = sizeof(DCB);
  GetCommState(file, &device.dcb);
  device.dcb.BaudRate = BaudRateForCode(baudCode);
  if (device.dcb.BaudRate == 0) {
    device.Release();
    return PORT_BAD_BAUD;
  }
  device.dcb.ByteSize = 8;
  device.dcb.Parity = NOPARITY;
  device.dcb.StopBits = ONESTOPBIT;
  device.dcb.fBinary = 1;
  device.dcb.fParity = 1;
  device.dcb.fOutxCtsFlow = 0;
  device.dcb.fOutxDsrFlow = 0;
  device.dcb.fOutX = 0;
  device.dcb.fInX = 0;
  SetCommState(file, &device.dcb);
  // The rate is the one field that must hold: read it back where the driver reports it.
  DCB actual{};
  actual.DCBlength = sizeof(DCB);
  if (GetCommState(file, &actual)) {
    const std::string mismatch =
        win32::RateMismatchText(portName, device.dcb.BaudRate, actual.BaudRate);
    if (!mismatch.empty()) {
      diagnostics->Diagnostic(portName, mismatch);
      device.Release();
      return PORT_BAD_BAUD;
    }
  }
  SetCommMask(file, EV_RXCHAR);
  const auto queue = static_cast<DWORD>(queueSize);
  SetupComm(file, queue, queue);

  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(file, &timeouts)) {
    diagnostics->Diagnostic(portName, "\nGet Timeouts error!!!");
    ReportFailure(PortProblem::Setup, "Get Timeouts error!!!");
    device.Release();
    return PORT_SETUP_FAILED;
  }
  // A read returns what has arrived once the line has been quiet for the interval, or nothing
  // after the total time; the write fields stay as the driver reports them.
  timeouts.ReadIntervalTimeout = win32::ReadIntervalMillis(readIntervalTimeout);
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = win32::ReadTotalMillis(readTotalTimeout);
  if (!SetCommTimeouts(file, &timeouts)) {
    diagnostics->Diagnostic(portName, "\nSet Timeouts error!!!");
    ReportFailure(PortProblem::Setup, "Set Timeouts error!!!");
    device.Release();
    return PORT_SETUP_FAILED;
  }

  // Whatever the phone sent before this open (or a previous session left) must not be taken
  // for a reply.
  PurgeComm(file, kPurgeAll);
  device.gate.Open();
  // Windows' FTDI driver keeps its latency timer where only the user changes it: say so when
  // it holds the phone's answers.
  TellSlowAdapter(DevicePathFor(portName, state_));
  NoteDeviceOpened();
  return PORT_OK;
}

std::string SerialPort::OpenFailureHint(int osError) const {
  return win32::OpenHintText(osError, portName, DevicePathFor(portName, state_));
}

PortProblem SerialPort::OpenProblem(int osError) {
  return win32::OpenProblemOf(osError);
}

PortStatus SerialPort::ReadSome(std::span<std::uint8_t> buffer, std::size_t& got) {
  got = 0;
  Device& device = *device_;
  win32::IoPass pass(device.gate);
  if (!pass.Admitted()) return PORT_IO_ERROR;
  if (buffer.empty()) return PORT_OK;

  const HANDLE file = device.file.Get();
  ClearLineErrors(file);
  const auto want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
  if (!ReadFile(file, buffer.data(), want, nullptr, &device.readOverlapped)) {
    // A read the driver refuses at once counts as an empty read: the whole-buffer loop then
    // decides, through its allowance, whether the phone has gone quiet.
    if (GetLastError() != ERROR_IO_PENDING) return PORT_OK;
    if (device.gate.Closing()) CancelIoEx(file, &device.readOverlapped);
  }
  DWORD count = 0;
  const bool completed = AwaitOverlapped(file, device.readOverlapped, count);
  const win32::ReadEnd end = win32::ClassifyReadEnd(completed, completed ? 0 : GetLastError());
  if (end != win32::ReadEnd::kTransfer) {
    ClearLineErrors(file);
    return PORT_IO_ERROR;
  }
  // A read that timed out still reports what it moved before the time-out.
  got = std::min<std::size_t>(count, want);
  return PORT_OK;
}

PortStatus SerialPort::WriteSome(std::span<const std::uint8_t> buffer, std::size_t& put) {
  put = 0;
  Device& device = *device_;
  win32::IoPass pass(device.gate);
  if (!pass.Admitted()) return PORT_IO_ERROR;
  if (buffer.empty()) return PORT_OK;

  const HANDLE file = device.file.Get();
  const auto want = static_cast<DWORD>(std::min(buffer.size(), kMaxWritePiece));
  if (!WriteFile(file, buffer.data(), want, nullptr, &device.writeOverlapped)) {
    if (GetLastError() != ERROR_IO_PENDING) {
      ClearLineErrors(file);
      return PORT_IO_ERROR;
    }
    if (device.gate.Closing()) CancelIoEx(file, &device.writeOverlapped);
  }
  DWORD count = 0;
  const bool completed = AwaitOverlapped(file, device.writeOverlapped, count);
  put = std::min<std::size_t>(count, want);
  if (!completed) {
    const DWORD error = GetLastError();
    ClearLineErrors(file);
    // A write that Close cancelled is not an empty write to be retried: the port is going away.
    if (error == ERROR_OPERATION_ABORTED) return PORT_IO_ERROR;
    // Otherwise a late failure (a line error, a driver time-out) counts as the bytes it moved;
    // the whole-buffer loop retries the rest.
  }
  return PORT_OK;
}

PortStatus SerialPort::Close() {
  Device& device = *device_;
  const HANDLE file = device.file.Get();
  const bool closed = device.gate.Close(
      // Ends a read or write blocked in another thread (Disconnect) at once.
      [file] { CancelIoEx(file, nullptr); },
      [&device, file](bool interrupted) {
        // A finished write only means the bytes were queued: drain them to the line before
        // anything is purged, or the last bytes sent (a final command, a block's sum) are lost.
        // Every write of ours has completed by now, so the flush waits for the driver's buffer,
        // not for a phone that stopped reading. When a write had to be cancelled the user is
        // abandoning the exchange and the line may not move at all: the output is dropped.
        if (interrupted) {
          PurgeComm(file, kPurgeAll);
        } else {
          FlushFileBuffers(file);
          PurgeComm(file, kPurgeInput);
        }
        SetCommMask(file, 0);
        device.Release();
      });
  if (closed) NoteDeviceReleased();
  return PORT_OK;
}

// Windows tells whether a port is free only by opening it.
std::string DeviceProblem(const std::string& /*path*/) {
  return "";
}

std::string DevicePathFor(const std::string& portName, const LinkState& state) {
  // A hub's port stands for the COM port plugged in there now, by its own name: the settings'
  // renamings are for names the user gives.
  if (UsbPlaceOf(portName)) {
    const std::string com = DeviceAtPlace(portName);
    return std::string(win32::kDeviceNamespace) + (com.empty() ? portName : com);
  }
  return win32::DevicePathForName(portName, state.portPaths);
}

}  // namespace veska::link
