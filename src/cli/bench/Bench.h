#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "cli/CliArguments.h"
#include "cli/CliSession.h"

namespace veska::cli {

class InterruptWatch;

// A bench run's knobs that only tests turn.
struct BenchOptions {
  // Called with each port's session before it runs (tests shrink its time-outs).
  std::function<void(CliSession&, const std::string& port)> prepare;
  // Called on the port's thread after each phone (tests power-cycle the virtual phone).
  std::function<void(const std::string& port, int pass)> afterPass;
  // Today's date for --log-split daily ("2026-12-07"; default: the local date).
  std::function<std::string()> today;
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
