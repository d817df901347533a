#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veska::link {

// The link knows no window. Whoever drives a transfer passes these small interfaces in.

// Receives the bytes that left for the phone, for the progress bar.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void AddProgress(std::size_t bytes) = 0;
};

// Why a port could not serve: the kinds a user mends differently.
enum class PortProblem {
  Missing,     // no such device (an unplugged adapter, a wrong name)
  Permission,  // the user may not open it
  InUse,       // another program holds it
  NotSerial,   // it opens, but is no serial line
  Setup,       // the driver refused the line's settings
  LineFailed,  // it failed during a read or write (a pulled cable, a phone switched off)
  Other,
};
struct PortFailure {
  PortProblem problem = PortProblem::Other;
  std::string text;  // the diagnostic's words, without the blank lines around them
};

// Receives the port layer's diagnostics. They are meant for a console (standard output), never
// for the window's log, whose narration stays exactly as the operations write it. Each comes
// with the name of the port record it speaks of ("COM3", a device path), so that a host with
// several ports in one process can tell them apart; the text itself never names it.
class DiagnosticSink {
 public:
  virtual ~DiagnosticSink() = default;
  virtual void Diagnostic(std::string_view portName, std::string_view text) = 0;
  // The same failure typed, after its diagnostic lines: an open that could not have the device
  // or set it up, or a line that failed.
  virtual void PortFailed(std::string_view /*portName*/, const PortFailure& /*failure*/) {}
};

// Hears each read of a wait that came back empty (about one a second while the phone is
// silent), so that a host can show how long the wait has lasted without a timer of its own.
class WaitSink {
 public:
  virtual ~WaitSink() = default;
  virtual void SilentRead() = 0;
};

// Writes diagnostics to standard output unchanged (the port's name is not printed) and flushes,
// so that a trace of "-" per open attempt shows as it happens.
DiagnosticSink& StdoutDiagnostics();

}  // namespace veska::link
