#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "app/Cause.h"
#include "link/Sinks.h"
#include "ui/Host.h"

namespace veska::app {

// What the hosts add around the log: the log itself stays exactly as the operations write it,
// while a window's status line or a terminal says what the program is waiting for and why a
// port failed.

// A wait for the phone that may last minutes (the boot signal of a phone still switched off).
// Reported when the wait begins, about once a second while it lasts, and once when it ends.
struct PhoneWait {
  std::string awaited;  // "the BOOT signal"
  std::uint64_t seconds = 0;
  bool ended = false;
  bool answered = false;  // ended: the phone sent what was awaited
};

// "Waiting for the BOOT signal: 12 s. Switch the phone on now; Disconnect stops the wait"; the
// host names its own way of stopping.
[[nodiscard]] std::string PhoneWaitText(const PhoneWait& wait,
                                        std::string_view stopHint = "Disconnect stops the wait");

struct OperationResult;

// What a window's status line says of a result: the reason of a connection whose flash checks
// failed, else for a failed or refused operation the port's failure reason (on one line); empty
// for a result it has nothing to add to.
[[nodiscard]] std::string ResultStatusText(const OperationResult& result,
                                           std::string_view portFailureReason);

// The status line's text for a port: "COM3 = /dev/ttyS2 (present)" or "... (not present)".
[[nodiscard]] std::string PortStatusText(std::string_view name, std::string_view device,
                                         bool present);
// The status line's text when no port is chosen.
inline constexpr std::string_view kNoPortChosen =
    "No COM port chosen: choose one in the Serial Port box before START";

// What the status line (and a console) says of a download's read-back as it begins and once it
// has ended: the images, the verdict and its time, which the log's TOTAL leaves out.
struct ImagesReadBack;
[[nodiscard]] std::string ReadBackText(const ImagesReadBack& readBack);

// The file dialog of the log menu's "Save log...", and what is said when the file cannot be
// written.
[[nodiscard]] ui::FileDialogRequest LogSaveRequest();
[[nodiscard]] std::string LogNotSavedText(std::string_view path);

// Passes the port layer's diagnostics on unchanged and keeps those of the current operation,
// so that a host can show why "Comm Error" came. The "-" of each open attempt is a trace, no
// reason, and is not kept.
//
// Thread safety: every member may be called from any thread.
class PortReasonRecorder final : public link::DiagnosticSink {
 public:
  void SetOutput(link::DiagnosticSink& output);
  // Where the typed failures are noted as the operation's cause (besides passing them on).
  void SetCauseRecorder(CauseRecorder& causes);
  void Diagnostic(std::string_view portName, std::string_view text) override;
  void PortFailed(std::string_view portName, const link::PortFailure& failure) override;
  // The kept diagnostics, one a line, without the blank lines around them; empty when none.
  [[nodiscard]] std::string Reason() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  link::DiagnosticSink* output_ = &link::StdoutDiagnostics();
  CauseRecorder* causes_ = nullptr;
  std::string reason_;
};

}  // namespace veska::app
