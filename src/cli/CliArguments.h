#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "station/RunOptions.h"

namespace veska::cli {

using station::kApplicationName;
using station::SettingsFileOf;

// What the command line asked for: a run's options, and the bench's own.
struct CliArguments : station::RunOptions {
  // Every --port given; more than one (or --repeat, or --report) makes a bench run.
  std::vector<std::string> ports;
  std::string logDir;      // --log-dir: where a bench run keeps each port's log
  std::string logSplit;    // --log-split: "daily" starts each port's log anew every day
  std::string report;      // --report: the bench report's JSON file
  bool repeat = false;     // --repeat: each port runs the steps again for the next phone
  bool askSerial = false;  // --ask-serial: each port asks the terminal for each phone's serial
};

// Parses argv. Returns -1 to go on, or the exit status to end with (0 after --help, 2 for a
// usage error, with the message already on `err`).
int ParseArguments(int argc, const char* const* argv, CliArguments& arguments, std::FILE* err);

}  // namespace veska::cli
