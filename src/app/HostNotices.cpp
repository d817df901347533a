#include "app/HostNotices.h"

#include "app/Engine.h"
#include "app/FlashMap.h"
#include "app/OperationRunner.h"
#include "app/Printf.h"

namespace veska::app {

std::string ResultStatusText(const OperationResult& result, std::string_view portFailureReason) {
  if (result.operation == OperationId::Start && result.outcome == Outcome::Failed &&
      !result.reason.empty()) {
    // Only a connection whose flash checks failed says why in words of its own.
    return result.reason;
  }
  if (result.outcome != Outcome::Failed && result.outcome != Outcome::Refused) return {};
  std::string line;
  for (char c : portFailureReason) {
    if (c == '\n') {
      line += "; ";
    } else {
      line += c;
    }
  }
  return line;
}

std::string PortStatusText(std::string_view name, std::string_view device, bool present) {
  return std::string(name) + " = " + std::string(device) +
         (present ? " (present)" : " (not present)");
}

std::string PhoneWaitText(const PhoneWait& wait, std::string_view stopHint) {
  std::string text = "Waiting for " + wait.awaited + ": " + std::to_string(wait.seconds) + " s.";
  text += " Switch the phone on now; ";
  text += stopHint;
  return text;
}

void PortReasonRecorder::SetOutput(link::DiagnosticSink& output) {
  std::lock_guard lock(mutex_);
  output_ = &output;
}

void PortReasonRecorder::Diagnostic(std::string_view portName, std::string_view text) {
  link::DiagnosticSink* output = nullptr;
  {
    std::lock_guard lock(mutex_);
    output = output_;
    // Line by line, so that a diagnostic wrapped in line breaks reads as one line of reason.
    std::string_view rest = text;
    while (!rest.empty()) {
      const std::size_t end = rest.find_first_of("\r\n");
      const std::string_view line = rest.substr(0, end);
      if (!line.empty() && line != "-") {
        if (!reason_.empty()) reason_ += '\n';
        reason_ += line;
      }
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  // Outside the lock: the output may take its time (a slow terminal).
  output->Diagnostic(portName, text);
}

void PortReasonRecorder::PortFailed(std::string_view portName, const link::PortFailure& failure) {
  link::DiagnosticSink* output = nullptr;
  CauseRecorder* causes = nullptr;
  {
    std::lock_guard lock(mutex_);
    output = output_;
    causes = causes_;
  }
  if (causes != nullptr) causes->Note(Cause::OfPort(failure));
  output->PortFailed(portName, failure);
}

void PortReasonRecorder::SetCauseRecorder(CauseRecorder& causes) {
  std::lock_guard lock(mutex_);
  causes_ = &causes;
}

std::string PortReasonRecorder::Reason() const {
  std::lock_guard lock(mutex_);
  return reason_;
}

void PortReasonRecorder::Clear() {
  std::lock_guard lock(mutex_);
  reason_.clear();
}

ui::FileDialogRequest LogSaveRequest() {
  ui::FileDialogRequest request;
  request.open = false;
  request.filter = "Log File(*.log)|*.log|Text File(*.txt)|*.txt||";
  request.defaultExtension = "log";
  request.initialPath = "VeskaDownloader.log";
  request.flags = ui::OFN_OVERWRITEPROMPT | ui::OFN_HIDEREADONLY;
  return request;
}

std::string LogNotSavedText(std::string_view path) {
  return "The log could not be saved to " + std::string(path);
}

std::string ReadBackText(const ImagesReadBack& readBack) {
  std::string names;
  for (ImageKind kind : readBack.images) {
    names += (names.empty() ? "" : ", ") + std::string(Catalogue(kind).logName);
  }
  if (!readBack.ended) return "Reading " + names + " back from the flash to compare";
  return Printf("Read-back of %s: %s (%.1f s, not in the TOTAL)", names.c_str(),
                readBack.matched ? "matches the files" : "FAILED, see the log", readBack.seconds);
}

}  // namespace veska::app
