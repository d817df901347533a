#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "cli/CliArguments.h"
#include "cli/StepTable.h"
#include "cli/bench/Report.h"
#include "records/Keeper.h"
#include "records/Record.h"

namespace veska::cli {

// Where a run keeps its phones' records: --records, else the settings' key, else the default.
[[nodiscard]] records::Place RecordsPlaceOf(const CliArguments& arguments);
// This PC's own records database: veska-records.db beside the settings file. With a server it
// is where records wait until the server has them.
[[nodiscard]] std::string LocalRecordsPath(const CliArguments& arguments);

// This PC's name in the records: --station, else the host name.
[[nodiscard]] std::string StationOf(const CliArguments& arguments);

// The release folder as the records keep it: absolute and normal, without a trailing separator,
// so that "./release/" and its full path are one release.
[[nodiscard]] std::string ReleaseFolderOf(const std::string& typed);

// A stored text as `records` prints it: control characters (a newline, a tab, an escape, C1)
// shown as text ("\n", "\t", "\x1b"), so that a name cannot split a line or drive the
// reader's terminal.
[[nodiscard]] std::string Printable(std::string_view text);

// What a phone's record holds besides what its pass learned.
struct RecordFacts {
  std::string station;
  std::string device;
  std::string release;
  std::string payloads;
};

// The record of a phone served: `phone` as its pass ended, with the run's facts; its id is made
// now, with its end.
[[nodiscard]] records::Record ToRecord(const PhoneRecord& phone, const RecordFacts& facts);

// The run's records::Keeper: its store from --records, its lines on `err` (or through `say`)
// as the program's own.
class RecordKeeper {
 public:
  RecordKeeper(const CliArguments& arguments, std::function<void(const std::string&)> say);
  // False, with its words said, when the store the user chose cannot be written.
  [[nodiscard]] bool Start();
  void Keep(records::Record record) { keeper_.Keep(std::move(record)); }
  void Finish() { keeper_.Finish(); }

 private:
  std::function<void(const std::string&)> say_;
  records::Keeper keeper_;
};

class CliSession;
class InterruptWatch;

// Runs a plain run's session; when its steps seek a phone, the phone's record is kept as a
// bench keeps each of its phones'. Returns the exit status.
int RunRecorded(CliSession& session, const CliArguments& arguments, InterruptWatch& interrupts,
                std::FILE* err);

// `records`: the records the step's filter chooses, one line each, and their sums; as JSON with
// `json`. False (its words on `err`) when the store cannot be read.
bool RecordsStep(const CliArguments& arguments, const steps::Records& step, std::FILE* out,
                 std::FILE* err, bool json);

}  // namespace veska::cli
