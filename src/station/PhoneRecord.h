#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/OperationRunner.h"
#include "records/Record.h"

namespace veska::station {

// What a run keeps of one phone while it serves it: one record per phone a port served.

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
  std::string unitSerial;  // the unit's serial as scanned or typed before it; "" none
  int pass = 1;            // the phone's number on its port (--repeat)
  std::string started;     // UTC, ISO 8601
  double seconds = 0.0;    // the whole pass
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

}  // namespace veska::station
