#pragma once

#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "explorer/FileStatus.h"
#include "station/ErrorStream.h"
#include "ui/HeadlessHost.h"

namespace veska::station {

// One explore step: what it does on the phone's file system ("ls DIR", "get PATH FILE", ...).
struct ExploreAction {
  enum class Verb { List, Get, Put, Remove, Status } verb = Verb::List;
  std::string phonePath;  // ls: the directory; get, rm, stat: the file; put: the directory
  std::string pcFile;     // get: the file written; put: the file added
};

// How a run of explore steps left the Explorer.
struct ExploreOutcome {
  bool succeeded = false;  // every action did what it was asked
  int dialogResult = 0;    // how the dialog ended (EXIT's result)
};

// What `ls` and `stat` found, for the caller to show beside the narrative: a directory's
// sub-directories and files as the window shows them, and a file's status record.
struct ExploreFindings {
  std::function<void(const std::string& directory, const std::vector<std::string>& directories,
                     const std::vector<std::string>& files)>
      listed;
  std::function<void(const std::string& path, const explorer::FileStatus& status)> statusRead;
};

// Acts in the Explorer's dialog `window` as the user would: mounts, runs `actions` in order
// until one fails (answering the dialog's file dialogs through `host`, saying on `errors` what
// went wrong, telling `findings` what ls and stat found), and ends the dialog with EXIT, which
// unmounts.
[[nodiscard]] ExploreOutcome ActInExplorer(ui::HeadlessWindow& window, ui::HeadlessHost& host,
                                           ErrorStream& errors,
                                           std::span<const ExploreAction> actions,
                                           const ExploreFindings& findings = {});

// Says on `errors` that `file` holds only part of `whole` ("the dump of Boot2", "the copy of
// /a"), as a stopped NAND dump and a stopped copy from the phone both do; false when its size
// cannot be read.
bool SayIncomplete(ErrorStream& errors, const std::string& file, const std::string& whole);

}  // namespace veska::station
