// The parts of the port that do not depend on the operating system: the open sequence around
// the back end's single attempt, and the whole-buffer loops with their empty-transfer counts.
#include "link/SerialPort.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace veska::link {

std::unique_ptr<SerialPort> SerialPort::CopyRecord() const {
  auto copy = std::make_unique<SerialPort>(state_);
  copy->portName = portName;
  copy->baudCode = baudCode;
  copy->readTotalTimeout = readTotalTimeout;
  copy->readIntervalTimeout = readIntervalTimeout;
  copy->writeTimeout = writeTimeout;
  copy->writeStallTimeout = writeStallTimeout;
  copy->openRetryDelay = openRetryDelay;
  copy->emptyWritePause = emptyWritePause;
  copy->openRetryAttempts = openRetryAttempts;
  copy->diagnostics = diagnostics;
  return copy;
}

void SerialPort::TellSlowAdapter(const std::string& device) const {
  const std::string hint = state_.latency.HintOnce(portName, device);
  if (!hint.empty()) diagnostics->Diagnostic(portName, "\n" + hint + "\n");
}

void SerialPort::NoteDeviceOpened() {
  std::lock_guard lock(state_.openRecordsMutex);
  if (!countedOpen_) {
    countedOpen_ = true;
    ++state_.openRecords;
  }
  state_.portOpen = true;
}

void SerialPort::NoteDeviceReleased() {
  std::lock_guard lock(state_.openRecordsMutex);
  if (!countedOpen_) return;
  countedOpen_ = false;
  if (--state_.openRecords == 0) state_.portOpen = false;
}

void SerialPort::ReportFailure(PortProblem problem, std::string_view text) const {
  std::string words(text);
  // The diagnostics put lines apart with blank ones; the failure's words stand alone.
  while (!words.empty() && (words.front() == '\n' || words.front() == '\r')) words.erase(0, 1);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r')) words.pop_back();
  diagnostics->PortFailed(portName, {problem, std::move(words)});
}

void SerialPort::ReportOpenFailure(int osError) const {
  const std::string hint = OpenFailureHint(osError);
  if (!hint.empty()) diagnostics->Diagnostic(portName, hint);
  ReportFailure(OpenProblem(osError), hint.empty() ? portName + " can not be opened" : hint);
}

PortStatus SerialPort::Open() {
  if (!state_.openAllowed) return PORT_IO_ERROR;
  if (int error = OpenDevice(); error != 0) {
    ++state_.openFailures;
    ReportOpenFailure(error);
    return PORT_IO_ERROR;
  }
  return Opened(ConfigureDevice(kUartQueueSize));
}

PortStatus SerialPort::Opened(PortStatus status) {
  // A Disconnect that came between the check above and the device's open found nothing to
  // close: the open is undone, as the Disconnect would have done it.
  if (status == PORT_OK && !state_.openAllowed) {
    Close();
    return PORT_IO_ERROR;
  }
  return status;
}

PortStatus SerialPort::OpenRetrying() {
  int error = 0;
  for (int attempt = 0; attempt < openRetryAttempts; ++attempt) {
    if (!state_.openAllowed) return PORT_IO_ERROR;
    error = OpenDevice();
    if (error == 0) return Opened(ConfigureDevice(kUsbQueueSize));
    // The trace shows a technician that the tool is still waiting for the phone's device.
    diagnostics->Diagnostic(portName, "-");
    std::this_thread::sleep_for(openRetryDelay);
  }
  ++state_.openFailures;
  diagnostics->Diagnostic(portName, "\n" + portName + " can not be opened\n");
  ReportOpenFailure(error);
  return PORT_IO_ERROR;
}

PortStatus OpenForLinkMode(SerialPort& port) {
  return port.State().linkMode == LINK_USB ? port.OpenRetrying() : port.Open();
}

PortStatus SerialPort::ReadFully(std::span<std::uint8_t> buffer, std::uint8_t timeoutFactor,
                                 Silence silence) {
  using Clock = std::chrono::steady_clock;
  const unsigned fullAllowance = timeoutFactor * 1000u / 5u;
  unsigned allowance = fullAllowance;
  const std::chrono::milliseconds replyTimeout = state_.replyTimeout;
  const bool bounded =
      silence == Silence::ReplyBounded && replyTimeout > std::chrono::milliseconds::zero();
  auto silentSince = Clock::now();
  while (!buffer.empty()) {
    std::size_t got = 0;
    if (ReadSome(buffer, got) != PORT_OK) return PORT_IO_ERROR;
    if (got > 0) {
      allowance = fullAllowance;
      silentSince = Clock::now();
    } else {
      if (allowance == 0) return PORT_TIMEOUT;
      --allowance;
      if (waitTicks != nullptr) waitTicks->SilentRead();
      if (bounded && Clock::now() - silentSince >= replyTimeout) return PORT_NO_REPLY;
    }
    buffer = buffer.subspan(std::min(got, buffer.size()));
  }
  return PORT_OK;
}

PortStatus SerialPort::WriteFully(std::span<const std::uint8_t> buffer,
                                  std::uint8_t timeoutFactor) {
  using Clock = std::chrono::steady_clock;
  const unsigned long fullAllowance = timeoutFactor * 600000ul;
  unsigned long allowance = fullAllowance;
  auto stalledSince = Clock::now();
  while (!buffer.empty()) {
    std::size_t put = 0;
    if (WriteSome(buffer, put) != PORT_OK) return PORT_IO_ERROR;
    if (put > 0) {
      allowance = fullAllowance;
      stalledSince = Clock::now();
    } else {
      std::this_thread::sleep_for(emptyWritePause);
      if (allowance == 0) return PORT_TIMEOUT;
      --allowance;
      if (Clock::now() - stalledSince >= writeStallTimeout) return PORT_TIMEOUT;
    }
    buffer = buffer.subspan(std::min(put, buffer.size()));
  }
  return PORT_OK;
}

std::string NoReplyText(const LinkState& state, std::string_view awaited) {
  const auto ms = state.replyTimeout.count();
  const std::string span =
      ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  return "\r\nNo answer from the phone for " + span + " (waiting for " + std::string(awaited) +
         ")\r\n";
}

}  // namespace veska::link
