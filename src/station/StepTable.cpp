#include "station/StepTable.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "app/ControlIds.h"

namespace veska::station {

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

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Edits (insertions, deletions, changes, case aside) that turn `a` into `b`.
std::size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t change = diagonal + (Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, change});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " (did you mean 'X'?)" for the candidate nearest to a mistyped `word`, when one is near
// enough to be what was meant (a third of its letters at most, and at least one letter kept);
// empty otherwise.
template <typename Names>
std::string Suggestion(std::string_view word, const Names& names) {
  std::string_view best;
  std::size_t bestDistance = 0;
  for (std::string_view name : names) {
    const std::size_t distance = Distance(word, name);
    if (best.empty() || distance < bestDistance) {
      best = name;
      bestDistance = distance;
    }
  }
  const std::size_t allowed = std::max<std::size_t>(1, std::max(word.size(), best.size()) / 3);
  if (best.empty() || bestDistance > allowed || bestDistance >= best.size()) return {};
  return " (did you mean '" + std::string(best) + "'?)";
}

// The download step's selection, or the checksum step's image kind (a single-image selection),
// by its command-line name; -1 for any other word.
int SelectionByName(const std::string& name, bool singleImage) {
  const int index = app::SelectionByName(name);
  if (index < 0 || (singleImage && !app::IsImageCode(app::Selection(index)->code))) return -1;
  return index;
}

// The command-line names a step accepts.
std::vector<std::string_view> SelectionNameList(bool singleImage) {
  std::vector<std::string_view> names;
  for (int i = 0; i < app::SELECTION_COUNT; ++i) {
    const app::SelectionInfo* selection = app::Selection(i);
    if (singleImage && !app::IsImageCode(selection->code)) continue;
    names.emplace_back(selection->cliName);
  }
  return names;
}

std::string Listed(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::string_view name : names) {
    text += text.empty() ? "" : ", ";
    text += name;
  }
  return text;
}

// The command-line names a step accepts, for the message that refuses another word.
std::string SelectionNames(bool singleImage) {
  return Listed(SelectionNameList(singleImage));
}

// The area of the dump list captioned `caption`, case aside ("apps" is APPS), or null.
const app::DumpArea* DumpAreaByCaption(std::string_view caption) {
  for (const app::DumpArea& area : app::DumpAreas()) {
    const std::string_view name = area.caption;
    if (name.size() == caption.size() &&
        std::equal(name.begin(), name.end(), caption.begin(),
                   [](char a, char b) { return Lower(a) == Lower(b); })) {
      return &area;
    }
  }
  return nullptr;
}

// download SELECTION [--default-cal] [--reboot] [--verify]
Reading ReadDownload(Words words) {
  const int selection = words.empty() ? -1 : SelectionByName(words[0], false);
  if (selection < 0 && !words.empty()) {
    return Wrong("unknown selection '" + words[0] + "'" +
                 Suggestion(words[0], SelectionNameList(false)) +
                 "; SELECTION is one of: " + SelectionNames(false));
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
      static constexpr std::string_view kOptions[] = {"--default-cal", "--reboot", "--verify"};
      return Wrong("unknown download option '" + words[taken] + "'" +
                   Suggestion(words[taken], kOptions) +
                   "; the options are --default-cal, --reboot and --verify");
    }
  }
  return Took(download, taken);
}

// dump AREA FILE
Reading ReadDump(Words words) {
  std::vector<std::string_view> captions;
  for (const app::DumpArea& known : app::DumpAreas()) captions.emplace_back(known.caption);
  const std::string areas = "AREA is one of (case aside): " + Listed(captions);
  if (words.empty()) return Wrong("dump needs an AREA and a FILE; " + areas);
  const app::DumpArea* area = DumpAreaByCaption(words[0]);
  if (area == nullptr) {
    return Wrong("unknown dump area '" + words[0] + "'" + Suggestion(words[0], captions) + "; " +
                 areas);
  }
  if (words.size() < 2) return Wrong("dump " + words[0] + " needs a FILE to write the area to");
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
    return Wrong("unknown image kind '" + words[0] + "'" +
                 Suggestion(words[0], SelectionNameList(true)) +
                 "; KIND is one of: " + SelectionNames(true));
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

// slots learn [--count N] [--write]
Reading ReadSlots(Words words) {
  if (words.empty() || words[0] != "learn") return Wrong("slots needs learn");
  steps::LearnSlots learn;
  std::size_t at = 1;
  for (; at < words.size() && words[at].starts_with("--"); ++at) {
    if (words[at] == "--write") {
      learn.write = true;
    } else if (words[at] == "--count" && at + 1 < words.size()) {
      const std::string& number = words[++at];
      const bool digits = !number.empty() && number.size() <= 3 &&
                          number.find_first_not_of("0123456789") == std::string::npos;
      learn.count = digits ? std::atoi(number.c_str()) : 0;
      if (learn.count < 1) {
        return Wrong("slots learn --count takes a number from 1 to 999, not '" + number + "'");
      }
    } else {
      return Wrong("slots learn takes --count N and --write, not '" + words[at] + "'");
    }
  }
  return Took(learn, at);
}

// True for "YYYY-MM-DD" and "YYYY-MM-DDTHH:MM:SSZ", the forms the records' times compare with.
bool IsRecordTime(std::string_view text) {
  constexpr std::string_view kDate = "0000-00-00";
  constexpr std::string_view kTime = "0000-00-00T00:00:00Z";
  if (text.size() != kDate.size() && text.size() != kTime.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char form = kTime[i];
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (form == '0' ? !digit : text[i] != form) return false;
  }
  return true;
}

// records [--since DATE] [--station S] [--port P] [--release DIR|DIGEST] [--unit SERIAL]
//         [--failed] [--pending] [--html FILE] [--csv FILE]
// records --migrate | --server-setup [--apply]
Reading ReadRecords(Words words) {
  steps::Records records;
  std::size_t at = 0;
  const std::vector<std::string_view> options = {
      "--since",   "--station", "--port", "--release", "--unit",         "--failed",
      "--pending", "--html",    "--csv",  "--migrate", "--server-setup", "--apply"};
  int flags = 0;  // of the reading's options
  int ownerWork = 0;
  while (at < words.size() && words[at].starts_with("--")) {
    const std::string& option = words[at];
    if (option == "--failed" || option == "--pending") {
      (option == "--failed" ? records.filter.failedOnly : records.pending) = true;
      ++flags;
      ++at;
      continue;
    }
    if (option == "--migrate" || option == "--server-setup" || option == "--apply") {
      (option == "--migrate" ? records.migrate
       : option == "--apply" ? records.apply
                             : records.serverSetup) = true;
      ownerWork += option == "--apply" ? 0 : 1;
      ++at;
      continue;
    }
    if (std::find(options.begin(), options.end(), option) == options.end()) {
      return Wrong("records has no option '" + option + "'" + Suggestion(option, options) +
                   "; it takes --since DATE, --station S, --port P, --release DIR|DIGEST, "
                   "--unit SERIAL, --failed, --pending, --html FILE and --csv FILE, or "
                   "--migrate, or --server-setup [--apply]");
    }
    ++flags;
    if (at + 1 >= words.size()) return Wrong("records " + option + " needs a value");
    const std::string& value = words[at + 1];
    if (option == "--since") {
      if (!IsRecordTime(value)) {
        return Wrong(
            "records --since takes a date (2026-12-09) or a UTC time "
            "(2026-12-09T08:00:00Z), not '" +
            value + "'");
      }
      records.filter.since = value;
    } else if (option == "--station") {
      records.filter.station = value;
    } else if (option == "--port") {
      records.filter.port = value;
    } else if (option == "--html" || option == "--csv") {
      if (value.empty()) return Wrong("records " + option + " needs a file name");
      (option == "--html" ? records.html : records.csv) = value;
    } else if (option == "--unit") {
      // Looked for as the benches keep it: a scanned serial pasted with its line end finds it.
      std::string problem;
      if (!records::UnitText(value, records.filter.unit, problem) || records.filter.unit.empty()) {
        return Wrong("records --unit takes a unit serial; '" + value + "' " +
                     (problem.empty() ? std::string("is empty") : problem));
      }
    } else {
      records.filter.release = value;
    }
    at += 2;
  }
  if (records.apply && !records.serverSetup)
    return Wrong("records --apply goes with --server-setup");
  if (ownerWork > 1 || (ownerWork == 1 && flags > 0)) {
    return Wrong(
        "records --migrate and --server-setup each go alone (--server-setup with --apply)");
  }
  if (records.pending && (!records.html.empty() || !records.csv.empty())) {
    return Wrong(
        "records --pending lists what waits for the server; --html and --csv take "
        "the records");
  }
  return Took(std::move(records), at);
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
    {"records", false, ReadRecords},
    {"slots", false, ReadSlots},
};

std::string Joined(Words words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

const StepRow* FindStep(const std::string& word) {
  const auto row = std::find_if(std::begin(kStepTable), std::end(kStepTable),
                                [&word](const StepRow& r) { return r.word == word; });
  return row == std::end(kStepTable) ? nullptr : &*row;
}

}  // namespace

std::vector<std::string> TakeProgramOptions(
    std::vector<std::string>& words, const std::function<int(std::string_view)>& optionWords) {
  std::vector<std::string> options;
  std::vector<std::string> steps;
  // Takes the option at `at` with its values; where the words go on.
  const auto take = [&](std::size_t at) {
    const std::size_t end =
        std::min(words.size(), at + 1 + static_cast<std::size_t>(optionWords(words[at])));
    options.insert(options.end(), words.begin() + static_cast<std::ptrdiff_t>(at),
                   words.begin() + static_cast<std::ptrdiff_t>(end));
    return end;
  };
  const auto isOption = [&](std::size_t at) { return optionWords(words[at]) >= 0; };
  for (std::size_t at = 0; at < words.size();) {
    const StepRow* row = FindStep(words[at]);
    if (row == nullptr) {
      // Not a step: an option, or a word PlanSteps names as wrong.
      if (isOption(at)) {
        at = take(at);
      } else {
        steps.push_back(words[at++]);
      }
      continue;
    }
    steps.push_back(words[at]);
    std::vector<std::string> own;  // the step's own words so far
    std::size_t next = at + 1;
    for (;;) {
      std::size_t option = next;
      while (option < words.size() && !isOption(option)) ++option;
      std::vector<std::string> upTo = own;
      upTo.insert(upTo.end(), words.begin() + static_cast<std::ptrdiff_t>(next),
                  words.begin() + static_cast<std::ptrdiff_t>(option));
      const Reading reading = row->read(upTo);
      if (reading.error.empty() && reading.taken < upTo.size()) {
        // The step ends before the option: the words after it begin the next step.
        const std::size_t taken = std::max(reading.taken, own.size());
        steps.insert(steps.end(), upTo.begin(), upTo.begin() + static_cast<std::ptrdiff_t>(taken));
        at = next + (taken - own.size());
        break;
      }
      if (option == words.size()) {
        // The step's to the end; PlanSteps says what is wrong with them, if anything.
        steps.insert(steps.end(), upTo.begin(), upTo.end());
        at = option;
        break;
      }
      // Whether the step reads the option's words itself.
      std::vector<std::string> with = upTo;
      const std::size_t end =
          std::min(words.size(), option + 1 + static_cast<std::size_t>(optionWords(words[option])));
      with.insert(with.end(), words.begin() + static_cast<std::ptrdiff_t>(option),
                  words.begin() + static_cast<std::ptrdiff_t>(end));
      const Reading withOption = row->read(with);
      if (withOption.error.empty() && withOption.taken > upTo.size()) {
        const std::size_t extra = std::min(withOption.taken, with.size()) - upTo.size();
        own = std::move(upTo);
        own.insert(own.end(), words.begin() + static_cast<std::ptrdiff_t>(option),
                   words.begin() + static_cast<std::ptrdiff_t>(option + extra));
        next = option + extra;
        continue;
      }
      own = std::move(upTo);
      next = take(option);
    }
  }
  words = std::move(steps);
  return options;
}

StepPlan PlanSteps(std::span<const std::string> words) {
  StepPlan plan;
  bool lastWasExplore = false;
  for (std::size_t at = 0; at < words.size();) {
    const auto row = std::find_if(std::begin(kStepTable), std::end(kStepTable),
                                  [&word = words[at]](const StepRow& r) { return r.word == word; });
    if (row == std::end(kStepTable)) {
      std::vector<std::string_view> steps;
      for (const StepRow& known : kStepTable) steps.push_back(known.word);
      plan.error = words[at].starts_with('-') ? "unknown option '" + words[at] + "' (try --help)"
                                              : "unknown step '" + words[at] + "'" +
                                                    Suggestion(words[at], steps) + " (try --help)";
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

}  // namespace veska::station
