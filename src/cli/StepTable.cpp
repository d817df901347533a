#include "cli/StepTable.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "app/ControlIds.h"

namespace veska::cli {

namespace {

// A step's own words, after the step word.
using Words = std::span<const std::string>;

// What a step made of its own words: what it runs and how many words it took, or what is wrong.
struct Reading {
  StepAction action;
  std::size_t taken = 0;
  std::optional<std::size_t> writes;  // which of its words names a file the step writes
  std::string error;
};

Reading Took(StepAction action, std::size_t taken = 0, std::optional<std::size_t> writes = {}) {
  return {std::move(action), taken, writes, {}};
}

Reading Wrong(std::string error) {
  return {{}, 0, {}, std::move(error)};
}

// The download step's selection, or the checksum step's image kind (a single-image selection),
// by its command-line name; -1 for any other word.
int SelectionByName(const std::string& name, bool singleImage) {
  const int index = app::SelectionByName(name);
  if (index < 0 || (singleImage && !app::IsImageCode(app::Selection(index)->code))) return -1;
  return index;
}

// The command-line names a step accepts, for the message that refuses another word.
std::string SelectionNames(bool singleImage) {
  std::string names;
  for (int i = 0; i < app::SELECTION_COUNT; ++i) {
    const app::SelectionInfo* selection = app::Selection(i);
    if (singleImage && !app::IsImageCode(selection->code)) continue;
    names += names.empty() ? "" : ", ";
    names += selection->cliName;
  }
  return names;
}

// The area of the dump list captioned `caption`, or null.
const app::DumpArea* DumpAreaByCaption(std::string_view caption) {
  for (const app::DumpArea& area : app::DumpAreas()) {
    if (area.caption == caption) return &area;
  }
  return nullptr;
}

// download SELECTION [--default-cal] [--reboot] [--verify]
Reading ReadDownload(Words words) {
  const int selection = words.empty() ? -1 : SelectionByName(words[0], false);
  if (selection < 0 && !words.empty()) {
    return Wrong("unknown selection '" + words[0] +
                 "'; SELECTION is one of: " + SelectionNames(false));
  }
  if (selection < 0) return Wrong("download needs a SELECTION, one of: " + SelectionNames(false));
  steps::Download download{selection};
  std::size_t taken = 1;
  for (; taken < words.size() && words[taken].starts_with("--"); ++taken) {
    if (words[taken] == "--default-cal") {
      download.defaultCal = true;
    } else if (words[taken] == "--reboot") {
      download.reboot = true;
    } else if (words[taken] == "--verify") {
      download.verify = true;
    } else {
      return Wrong("unknown download option '" + words[taken] + "'");
    }
  }
  return Took(download, taken);
}

// dump AREA FILE
Reading ReadDump(Words words) {
  const app::DumpArea* area = words.empty() ? nullptr : DumpAreaByCaption(words[0]);
  if (area == nullptr || words.size() < 2) {
    std::string areas;
    for (const app::DumpArea& known : app::DumpAreas()) {
      areas += areas.empty() ? "" : ", ";
      areas += known.caption;
    }
    return Wrong("dump needs an AREA and a FILE; AREA is one of: " + areas);
  }
  return Took(steps::Dump{area, words[1]}, 2, 1);
}

// explore ls DIR | get PATH FILE | put FILE DIR | rm PATH | stat PATH
Reading ReadExplore(Words words) {
  using Verb = ExploreAction::Verb;
  const std::string verb = words.empty() ? std::string() : words[0];
  const std::size_t arguments = verb == "get" || verb == "put" ? 2 : 1;
  if ((verb != "ls" && verb != "get" && verb != "put" && verb != "rm" && verb != "stat") ||
      words.size() <= arguments) {
    return Wrong("explore needs ls DIR, get PATH FILE, put FILE DIR, rm PATH or stat PATH");
  }
  const std::string& first = words[1];
  const std::string second = arguments == 2 ? words[2] : std::string();
  ExploreAction action;
  if (verb == "ls") {
    action = {Verb::List, first, {}};
  } else if (verb == "get") {
    action = {Verb::Get, first, second};
  } else if (verb == "put") {
    action = {Verb::Put, second, first};
  } else if (verb == "rm") {
    action = {Verb::Remove, first, {}};
  } else {
    action = {Verb::Status, first, {}};
  }
  if (!action.phonePath.starts_with('/')) {
    return Wrong("explore: a path on the phone starts with / (" + action.phonePath + ")");
  }
  return Took(steps::Explore{{std::move(action)}}, 1 + arguments,
              verb == "get" ? std::optional<std::size_t>(2) : std::nullopt);
}

// checksum KIND | checksum --file FILE
Reading ReadChecksum(Words words) {
  if (!words.empty() && words[0] == "--file") {
    if (words.size() < 2) return Wrong("checksum --file needs a FILE");
    return Took(steps::ChecksumFile{words[1]}, 2);
  }
  const int kind = words.empty() ? -1 : SelectionByName(words[0], true);
  if (kind < 0 && !words.empty()) {
    return Wrong("unknown image kind '" + words[0] + "'; KIND is one of: " + SelectionNames(true));
  }
  if (kind < 0) {
    return Wrong("checksum needs an image KIND or --file FILE; KIND is one of: " +
                 SelectionNames(true));
  }
  return Took(steps::Checksum{kind}, 1);
}

// udev-rule PORT
Reading ReadUdevRule(Words words) {
  if (words.empty()) return Wrong("udev-rule needs a PORT (COMn or a device path)");
  return Took(steps::UdevRule{words[0]}, 1);
}

// One row per step: its word (an operation's step word, from the table of operations, or a
// step of the command line's own), whether it opens the port itself (the others need one of
// those first), and how it reads its own words into what it runs.
struct StepRow {
  std::string_view word;
  bool opensPort;
  Reading (*read)(Words);
};

constexpr std::string_view StepOf(app::OperationId id) {
  return app::Operation(id).step;
}

// An erase step: the operation and the button that starts it.
template <app::OperationId id>
Reading ReadErase(Words) {
  return Took(steps::Erase{id, app::Operation(id).button});
}

constexpr StepRow kStepTable[] = {
    {StepOf(app::OperationId::Start), true, [](Words) { return Took(steps::Connect{}); }},
    {StepOf(app::OperationId::Download), false, ReadDownload},
    {StepOf(app::OperationId::DownloadBootloader), true,
     [](Words) { return Took(steps::Bootloader{}); }},
    {StepOf(app::OperationId::NandErase), false, ReadErase<app::OperationId::NandErase>},
    {StepOf(app::OperationId::BootloaderErase), false,
     ReadErase<app::OperationId::BootloaderErase>},
    {StepOf(app::OperationId::Format), false, [](Words) { return Took(steps::Format{}); }},
    {StepOf(app::OperationId::NandDump), false, ReadDump},
    {StepOf(app::OperationId::TfsExplorer), false, ReadExplore},
    {StepOf(app::OperationId::Checksum), false, ReadChecksum},
    {"ports", false, [](Words) { return Took(steps::ListPorts{}); }},
    {"udev-rule", false, ReadUdevRule},
};

std::string Joined(Words words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

}  // namespace

StepPlan PlanSteps(std::span<const std::string> words) {
  StepPlan plan;
  bool lastWasExplore = false;
  for (std::size_t at = 0; at < words.size();) {
    const auto row = std::find_if(std::begin(kStepTable), std::end(kStepTable),
                                  [&word = words[at]](const StepRow& r) { return r.word == word; });
    if (row == std::end(kStepTable)) {
      plan.error = "unknown step '" + words[at] + "' (try --help)";
      return plan;
    }
    Reading reading = row->read(words.subspan(at + 1));
    if (!reading.error.empty()) {
      plan.error = std::move(reading.error);
      return plan;
    }
    plan.opensPort = plan.opensPort || row->opensPort;
    if (reading.writes) plan.writtenFiles.push_back(at + 1 + *reading.writes);
    const Words taken = words.subspan(at, 1 + reading.taken);
    at += taken.size();
    // Consecutive explore steps share one dialog, so the phone is mounted once; the step goes
    // by the first one's words.
    auto* explore = std::get_if<steps::Explore>(&reading.action);
    if (explore != nullptr && lastWasExplore) {
      auto& group = std::get<steps::Explore>(plan.steps.back().action).actions;
      group.insert(group.end(), explore->actions.begin(), explore->actions.end());
      continue;
    }
    lastWasExplore = explore != nullptr;
    plan.steps.push_back({Joined(taken), std::move(reading.action)});
  }
  return plan;
}

}  // namespace veska::cli
