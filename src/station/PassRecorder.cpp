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

}  // namespace veska::station
