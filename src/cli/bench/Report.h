#pragma once

#include <cstdint>
#include <filesystem>
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

// The report's file. It is written whole through a temporary file and a rename when the run
// starts and when it ends; in between, each phone's record goes in place before the closing
// brackets. So the file is whole JSON after every phone, and a phone costs the disk its own
// record rather than the whole report again (a long --repeat run would otherwise write the
// square of its records).
//
// Thread safety: none; the run calls it under its records' lock.
class ReportFile {
 public:
  explicit ReportFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~ReportFile() { CloseRecords(); }
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // What makes the path unfit for the report, "" when nothing does: only a regular file or a
  // new one is written (a link is followed, and stays a link).
  [[nodiscard]] std::string Refusal();

  // The whole report (ReportJson) anew.
  bool Replace(const std::string& json);

  // Adds a phone's record (PhoneJson) and refreshes the time the file was written. False when
  // it could not: the caller then writes the report whole.
  bool Append(const std::string& phone);

 private:
  bool WriteAt(std::uint64_t offset, std::string_view bytes);

  void CloseRecords();

  // The ends of ReportJson's text, with and without phones, and where its time stamp stands.
  static constexpr std::string_view kNoPhonesTail = "]\n}\n";
  static constexpr std::string_view kPhonesTail = "\n  ]\n}\n";
  static constexpr std::string_view kStampKey = "\"written\": \"";
  static constexpr std::size_t kStampSize = 20;  // 2026-12-07T18:34:08Z

  std::filesystem::path path_;
  std::filesystem::path target_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::size_t stampAt_ = 0;
  bool hasPhones_ = false;
};

}  // namespace veska::cli
