#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/FlashMap.h"
#include "app/OperationRunner.h"
#include "records/Record.h"
#include "station/ExploreSteps.h"

namespace veska::station {

// What each step of the command line runs, with what it read from its own words.
namespace steps {
struct Connect {};     // START
struct Bootloader {};  // D / L Bootloader
struct Download {
  int selection = 0;
  bool defaultCal = false;
  bool reboot = false;
  bool verify = false;
};
struct Erase {  // NAND Erase or Bootloader Erase
  app::OperationId operation;
  int button;
};
struct Format {};
struct Dump {
  const app::DumpArea* area;
  std::string file;
};
// A run of consecutive explore steps: one Explorer dialog, one mount.
struct Explore {
  std::vector<ExploreAction> actions;
};
struct Checksum {  // of the image file the window's fields name for a one-image selection
  int selection = 0;
};
struct ChecksumFile {
  std::string file;
};
struct ListPorts {};
struct Records {
  records::Filter filter;
  bool pending = false;  // what waits for the server instead of the records
  // The server's owner's work instead: its schema brought up to date, its roles' SQL shown
  // (or run: apply).
  bool migrate = false;
  bool serverSetup = false;
  bool apply = false;
  std::string html;  // --html FILE: the shift report's page, instead of the listing
  std::string csv;   // --csv FILE: the records for a spreadsheet, instead of the listing
};
struct UdevRule {
  std::string port;
};
struct LearnSlots {  // slots learn
  int count = 0;     // 0: until Ctrl-C
  bool write = false;
};
}  // namespace steps

using StepAction =
    std::variant<steps::Connect, steps::Bootloader, steps::Download, steps::Erase, steps::Format,
                 steps::Dump, steps::Explore, steps::Checksum, steps::ChecksumFile,
                 steps::ListPorts, steps::UdevRule, steps::Records, steps::LearnSlots>;

struct PlannedStep {
  std::string words;  // the step as given ("download all-bin --verify")
  StepAction action;
};

// The command line's steps, read before anything runs.
struct StepPlan {
  std::vector<PlannedStep> steps;
  // A step opens the port itself (connect, bootloader): the run needs a port chosen.
  bool opensPort = false;
  // Which of the words name files the steps write (dump AREA FILE, explore get PATH FILE).
  std::vector<std::size_t> writtenFiles;
  // What is wrong with the words, for the usage error; empty when nothing is. The steps before
  // the wrong one are planned.
  std::string error;
};

// Reads the step words through the table of steps.
[[nodiscard]] StepPlan PlanSteps(std::span<const std::string> words);

// Takes the program's own options out of the step words, where they may stand as well as before
// the first step ("records --release DIR --json"). `optionWords(word)` says how many words an
// option of the program takes after its name (0 for a flag, or for "--name=value"), -1 for a word
// that is none. A word a step reads itself stays the step's: its own option of the same name
// (records --port), or a FILE that happens to begin with "--" (dump AREA --json). Returns the
// options taken, with their values, in order; `words` keeps the rest.
[[nodiscard]] std::vector<std::string> TakeProgramOptions(
    std::vector<std::string>& words, const std::function<int(std::string_view)>& optionWords);

}  // namespace veska::station
