#include "station/PassRecorder.h"

namespace veska::station {

std::string WhereStopped(const std::optional<app::StepBegan>& running,
                         const std::vector<StepRecord>& steps) {
  if (running) return "stopped in " + running->words;
  if (steps.empty()) return {};
  const StepRecord& last = steps.back();
  return (last.exitStatus == EXIT_INTERRUPTED ? "stopped in " : "stopped after ") + last.words;
}

void NoteError(int status, bool interrupted, const std::string& portReason,
               const std::string& cause, PhoneRecord& phone) {
  if (status == EXIT_OK) return;
  if (!phone.steps.empty() && phone.steps.back().exitStatus != EXIT_OK) {
    // A port that failed under its phone says why only in its diagnostics ("... does not
    // exist"); the operation's result has no words of its own for it.
    if (phone.steps.back().reason.empty()) phone.steps.back().reason = portReason;
    phone.error = phone.steps.back();
    phone.cause = cause;
    if (!portReason.empty() && cause.find(portReason) == std::string::npos) {
      phone.cause = portReason + (cause.empty() ? "" : "\n") + cause;
    }
  } else if (!interrupted) {
    // The run ended before its first step (a refused file, no port chosen).
    StepRecord before;
    before.words = "(before the steps)";
    before.outcome = "refused";
    before.exitStatus = status;
    phone.error = before;
    phone.cause = cause;
  }
}

namespace {

// Whether a START that failed found no phone at all: its port failed, or the phone stayed
// silent.
bool StartUnanswered(const std::optional<app::OperationResult>& result) {
  return result && result->operation == app::OperationId::Start &&
         (result->cause.kind == app::CauseKind::Port ||
          result->cause.kind == app::CauseKind::NoReply);
}

// Whether the last step was a START whose line failed under it: its device went, or hung up
// as a USB device does when its phone goes.
bool StartLostItsLine(const PhoneRecord& phone) {
  if (phone.steps.empty()) return false;
  const std::optional<app::OperationResult>& result = phone.steps.back().result;
  return result && result->operation == app::OperationId::Start &&
         result->cause.kind == app::CauseKind::Port &&
         result->cause.port == link::PortProblem::LineFailed;
}

}  // namespace

PassEnd ConcludePass(int status, bool stopped, int stopStatus, bool repeat, bool devicePresent,
                     const PassRecorder& recorder, const std::string& portReason,
                     PhoneRecord& phone) {
  const bool answered = recorder.Answered();
  const bool interrupted = stopped && status != EXIT_OK;
  if (interrupted) {
    phone.interrupted = true;
    phone.exitStatus = stopStatus;
    // A wait for a phone that the stop ended served none; a phone that answered is left half
    // done.
    if (!answered) return PassEnd::NoPhone;
  }
  // A port that would not open, or whose device went (or hung up) while START waited for its
  // phone, served no phone.
  const bool unanswered = !phone.steps.empty() && StartUnanswered(phone.steps.back().result);
  if (repeat && !interrupted && status != EXIT_OK && !answered &&
      (status == EXIT_PORT_UNAVAILABLE ||
       (unanswered && (!devicePresent || StartLostItsLine(phone))))) {
    return PassEnd::PortUnavailable;
  }
  NoteError(status, interrupted, portReason, recorder.Cause(), phone);
  // A wait for a phone that ended without any answer is no phone.
  if (repeat && !interrupted && !answered && phone.steps.size() == 1 && phone.error &&
      StartUnanswered(phone.error->result)) {
    return PassEnd::NoPhone;
  }
  return PassEnd::Phone;
}

}  // namespace veska::station
