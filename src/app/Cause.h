#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "app/FlashMap.h"
#include "link/Sinks.h"

namespace veska::app {

// Why an operation did not succeed, in a form a caller can act on without reading texts: a
// bench script's exit status, a report's cause, a status line.
enum class CauseKind {
  None,              // it succeeded, or nothing more is known than its status
  Port,              // the port: missing, no permission, in use, no serial device, line failed
  NoReply,           // the phone stayed silent while something was awaited
  PhoneRefused,      // the phone answered, but not what was asked for (its code)
  FileRefused,       // a file on the PC was refused or failed (which image, which rule)
  VerifyDifference,  // the flash read back holds another byte than the file
  Cancelled,         // Disconnect (or Ctrl-C) ended it
};

// What is wrong with a file the operation needed.
enum class FileRule {
  CannotOpen,      // missing, a folder, locked, unreadable
  SizeOutOfRange,  // empty, or larger than its kind allows
  ReadFailed,      // it failed to read, or ended before its measured size
  WriteFailed,     // an output file did not take what was written
  Contents,        // what it holds is refused (a listing that does not match its image)
};

struct Cause {
  CauseKind kind = CauseKind::None;
  // Port: the kind of problem and the port layer's words on it (in use by whom, the system's
  // reason).
  link::PortProblem port = link::PortProblem::Other;
  // NoReply: what was awaited ("the mount reply") and for how long at most.
  std::string awaited;
  std::chrono::milliseconds waited{0};
  // PhoneRefused: the byte or code the phone answered.
  int phoneCode = 0;
  // FileRefused, VerifyDifference and a failed image: which image, and the file's path.
  std::optional<ImageKind> image;
  FileRule rule = FileRule::CannotOpen;
  std::string path;
  // VerifyDifference: the first address that differs, and the two bytes there.
  std::uint32_t address = 0;
  std::uint8_t fileByte = 0;
  std::uint8_t flashByte = 0;
  // Words for a person (the port layer's line, a refusal's text); may be empty.
  std::string detail;

  [[nodiscard]] static Cause OfPort(const link::PortFailure& failure) {
    Cause cause;
    cause.kind = CauseKind::Port;
    cause.port = failure.problem;
    cause.detail = failure.text;
    return cause;
  }
  [[nodiscard]] static Cause NoReplyTo(std::string awaited, std::chrono::milliseconds waited) {
    Cause cause;
    cause.kind = CauseKind::NoReply;
    cause.awaited = std::move(awaited);
    cause.waited = waited;
    return cause;
  }
  [[nodiscard]] static Cause Refused(int code) {
    Cause cause;
    cause.kind = CauseKind::PhoneRefused;
    cause.phoneCode = code;
    return cause;
  }
  [[nodiscard]] static Cause File(std::optional<ImageKind> image, FileRule rule, std::string path) {
    Cause cause;
    cause.kind = CauseKind::FileRefused;
    cause.image = image;
    cause.rule = rule;
    cause.path = std::move(path);
    return cause;
  }
  [[nodiscard]] static Cause Difference(ImageKind image, std::uint32_t address,
                                        std::uint8_t fileByte, std::uint8_t flashByte) {
    Cause cause;
    cause.kind = CauseKind::VerifyDifference;
    cause.image = image;
    cause.address = address;
    cause.fileByte = fileByte;
    cause.flashByte = flashByte;
    return cause;
  }
  [[nodiscard]] static Cause Cancel() {
    Cause cause;
    cause.kind = CauseKind::Cancelled;
    return cause;
  }

  bool operator==(const Cause&) const = default;
};

// The names of the kinds and rules, for reports ("port", "no-reply", ...).
[[nodiscard]] std::string_view CauseKindName(CauseKind kind);
[[nodiscard]] std::string_view PortProblemName(link::PortProblem problem);

// Keeps the cause an operation's engine or its port last noted, for the operation's result:
// the engines note what they were waiting for when the phone fell silent and what the phone or
// a file refused; the port notes why it failed (it is the port's diagnostics sink's neighbour).
// The latest note wins: a line that failed after a silence explains the end better.
//
// Thread safety: every member may be called from any thread.
class CauseRecorder {
 public:
  void Note(Cause cause) {
    std::lock_guard lock(mutex_);
    cause_ = std::move(cause);
  }
  [[nodiscard]] Cause Last() const {
    std::lock_guard lock(mutex_);
    return cause_;
  }
  void Clear() { Note({}); }

 private:
  mutable std::mutex mutex_;
  Cause cause_;
};

}  // namespace veska::app
