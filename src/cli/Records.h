#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "cli/CliArguments.h"
#include "station/Records.h"
#include "station/Session.h"
#include "station/StepTable.h"

namespace veska::cli {

using station::LocalRecordsPath;
using station::RecordKeeper;
using station::RecordsPlaceOf;
using station::ReleaseFolderOf;
using station::StationOf;
using station::ToRecord;

// A stored text as `records` prints it: control characters (a newline, a tab, an escape, C1)
// shown as text ("\n", "\t", "\x1b"), so that a name cannot split a line or drive the
// reader's terminal.
[[nodiscard]] std::string Printable(std::string_view text);

class InterruptWatch;

// Runs a plain run's session; when its steps seek a phone, the phone's record is kept as a
// bench keeps each of its phones'. Returns the exit status.
int RunRecorded(station::Session& session, const CliArguments& arguments,
                InterruptWatch& interrupts, std::FILE* err);

// `records`: the records the step's filter chooses, one line each, and their sums; as JSON with
// `json`. False (its words on `err`) when the store cannot be read.
bool RecordsStep(const station::RunOptions& arguments, const station::steps::Records& step,
                 std::FILE* out, std::FILE* err, bool json);

}  // namespace veska::cli
