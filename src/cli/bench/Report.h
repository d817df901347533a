#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/OperationRunner.h"
#include "records/Record.h"

namespace veska::cli {

// What a bench run keeps of one phone: one record per phone a port served.

// The images the phone's steps wrote, as the records keep them.
using ImageRecord = records::ImageRecord;

struct StepRecord {
  std::string words;      // "download all-bin --verify"
  std::string outcome;    // the operation's outcome ("connected", "written", "failed", ...)
  std::string operation;  // the operation the step ran ("START", "Download", ...); may be empty
  int status = 0;         // the operation's own status when it failed
  std::string reason;
  int exitStatus = 0;
  double seconds = 0.0;
  std::optional<app::OperationResult> result;  // the operation's own, when the step ran one
};

struct PhoneRecord {
  std::string port;
  int pass = 1;          // the phone's number on its port (--repeat)
  std::string started;   // UTC, ISO 8601
  double seconds = 0.0;  // the whole pass
  int exitStatus = 0;
  bool interrupted = false;  // Ctrl-C ended the pass while a step ran
  std::string flashId;       // the Flash ID box; empty before START
  bool badBlocksKnown = false;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> badBlocks;
  std::vector<StepRecord> steps;
  std::vector<ImageRecord> images;
  // The step that ended the pass and why, when one did.
  std::optional<StepRecord> error;
  std::string cause;  // the program's own words on it (standard error's last explanation)
};

// The report of a bench run as JSON (docs/bench-report.md describes the schema).
[[nodiscard]] std::string ReportJson(const std::vector<std::string>& ports,
                                     const std::vector<std::string>& steps,
                                     const std::vector<PhoneRecord>& phones, int exitStatus);

// The record of one phone as the report holds it, indented for its place in the list of phones.
[[nodiscard]] std::string PhoneJson(const PhoneRecord& phone);

// How the phone's pass ended, as its record's "result" says: "passed", "failed" or "interrupted".
[[nodiscard]] const char* ResultWord(const PhoneRecord& phone);

// The lines a port's log file holds around each phone's own log, so that the log can be matched
// to its record: the port, the phone's number on it and its start; then its result with the exit
// status, the time and, for a failure, the first line of its cause.
[[nodiscard]] std::string LogHeader(const PhoneRecord& phone);
[[nodiscard]] std::string LogVerdict(const PhoneRecord& phone);

// Now in UTC as the report writes its times ("2026-12-07T18:34:08Z").
[[nodiscard]] std::string UtcNow();

// Now in local time for a folder's name ("20261207-183408").
[[nodiscard]] std::string LocalStamp();

// Today in local time for a daily log's name ("2026-12-07").
[[nodiscard]] std::string LocalDay();

// The report's file. Every version of it is written whole, through a temporary file and a
// rename, so that the file is whole JSON whatever happens to the disk: a write refused half way
// (the disk full) leaves the previous version as it was. The records are not kept in memory,
// which would grow with every phone of a --repeat run that lasts for weeks: a new version is the
// run's head, the phones of the previous version copied from the file itself, and the records
// added since. A record whose write was refused waits for the next phone's write and the run's
// last; while the disk stays full, the waiting records are bounded and the oldest given up.
//
// Thread safety: none; the run calls it under its records' lock.
class ReportFile {
 public:
  ReportFile(std::filesystem::path path, std::vector<std::string> ports,
             std::vector<std::string> steps)
      : path_(std::move(path)), ports_(std::move(ports)), steps_(std::move(steps)) {}

  // What makes the path unfit for the report, "" when nothing does: only a regular file or a
  // new one is written (a link is followed, and stays a link).
  [[nodiscard]] std::string Refusal();

  // The report without phones, the run not finished.
  bool Begin() { return Write(-1); }

  // Adds a phone's record (PhoneJson), named `name` should it never reach the file, and writes
  // the report anew with it and every record still waiting. False when the write was refused.
  bool Add(std::string name, std::string phone);

  // The report a last time, with the run's exit status.
  bool Finish(int exitStatus) { return Write(exitStatus); }

  // The phones whose records the file lacks ("" when none): those a refused write left waiting
  // and those given up while the disk stayed full.
  [[nodiscard]] std::string Lacking() const;

  // Why the last write was refused ("" after a good one).
  [[nodiscard]] const std::string& Problem() const { return problem_; }

  // At most this many bytes of records wait for a write; older ones are given up.
  static constexpr std::size_t kMaxWaitingBytes = std::size_t{4} << 20;

 private:
  bool Write(int exitStatus);
  bool CopyPhones(std::ostream& out);

  std::filesystem::path path_;
  std::filesystem::path target_;
  std::vector<std::string> ports_;
  std::vector<std::string> steps_;
  // Where the records stand in the file as last written: from just after the list's "[" to
  // its closing lines; `size_` is the file's whole size, to tell a file changed since.
  std::uint64_t phonesFrom_ = 0;
  std::uint64_t phonesTo_ = 0;
  std::uint64_t size_ = 0;
  std::vector<std::pair<std::string, std::string>> waiting_;  // name, record
  std::size_t waitingBytes_ = 0;
  std::size_t givenUp_ = 0;
  std::string firstGivenUp_;
  std::string problem_;
};

}  // namespace veska::cli
