#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/CliSession.h"

namespace veska::cli {

class InterruptWatch;

// What a bench run keeps of one phone: one record per phone a port served.
struct ImageRecord {
  std::string image;  // the log's name ("APPS", "TFS", ...)
  std::string path;
  std::uint64_t size = 0;
  std::optional<std::uint32_t> crc32;  // none when the file could not be read again
  std::optional<std::uint32_t> address;
  double seconds = 0.0;
  bool written = false;
  bool verified = false;  // read back from the flash and found equal (download --verify)
};

struct StepRecord {
  std::string words;      // "download all-bin --verify"
  std::string outcome;    // the operation's outcome ("connected", "written", "failed", ...)
  std::string operation;  // the operation the step ran ("START", "Download", ...); may be empty
  int status = 0;         // the operation's own status when it failed
  std::string reason;
  int exitStatus = 0;
  double seconds = 0.0;
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

// The file name a port's log gets in the log folder: the port's name with every character that
// has no place in a file name replaced ("/dev/ttyUSB0" -> "dev_ttyUSB0.log").
[[nodiscard]] std::string LogFileName(const std::string& port);

// What names each port's own files in a run of several ports (its log, its copies of the files
// the steps write): the port's log file name without ".log", made distinct where two ports'
// names map to the same one regardless of case ("x/a/b" and "x/a_b" give "x_a_b" and
// "x_a_b-2").
[[nodiscard]] std::vector<std::string> PortFileTags(const std::vector<std::string>& ports);

// The steps as one port of several runs them: each file a step writes (dump AREA FILE,
// explore get PATH FILE) becomes the port's own, beside it: "out/same.hex" with the tag "COM5"
// gives "out/same.COM5.hex".
[[nodiscard]] std::vector<std::string> StepsForPort(const std::vector<std::string>& steps,
                                                    const std::string& tag);

// A bench run's knobs that only tests turn.
struct BenchOptions {
  // Called with each port's session before it runs (tests shrink its time-outs).
  std::function<void(CliSession&, const std::string& port)> prepare;
  // Called on the port's thread after each phone (tests power-cycle the virtual phone).
  std::function<void(const std::string& port, int pass)> afterPass;
  // Draw the live table (default: when standard output is a terminal).
  std::optional<bool> table;
};

// True when the arguments ask for a bench run: several ports, --repeat or --report.
[[nodiscard]] bool IsBenchRun(const CliArguments& arguments);

// Runs the steps on every port of `arguments.ports` at once, each port its own session. With
// one port the console shows the session as a plain run does; with several, each port's log goes
// to its own file and the console shows a table (a terminal) or a line per event. Returns the
// exit status.
int RunBench(const CliArguments& arguments, InterruptWatch& interrupts, std::FILE* out,
             std::FILE* err, const BenchOptions& options = {});

}  // namespace veska::cli
