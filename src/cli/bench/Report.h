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
#include "station/PhoneRecord.h"

namespace veska::cli {

using station::ImageRecord;
using station::LocalDay;
using station::LocalStamp;
using station::LogHeader;
using station::LogVerdict;
using station::PhoneRecord;
using station::ResultWord;
using station::StepRecord;
using station::UtcNow;

// The report of a bench run as JSON (docs/bench-report.md describes the schema).
[[nodiscard]] std::string ReportJson(const std::vector<std::string>& ports,
                                     const std::vector<std::string>& steps,
                                     const std::vector<PhoneRecord>& phones, int exitStatus,
                                     std::string_view operatorName = {});

// The record of one phone as the report holds it, indented for its place in the list of phones.
[[nodiscard]] std::string PhoneJson(const PhoneRecord& phone);

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
             std::vector<std::string> steps, std::string operatorName = {})
      : path_(std::move(path)),
        ports_(std::move(ports)),
        steps_(std::move(steps)),
        operator_(std::move(operatorName)) {}

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
  std::string operator_;
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
