#include "station/ExploreSteps.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <utility>

#include "app/ControlIds.h"
#include "app/Printf.h"
#include "explorer/TfsExplorerDlg.h"
#include "link/FilePath.h"

namespace veska::station {

namespace {

// The directory part of a path on the phone ("/" for a file at the top) and its name.
std::pair<std::string, std::string> SplitPhonePath(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

// The Explorer's window acted on as the user would, one action at a time.
class ExploreScript {
 public:
  ExploreScript(ui::HeadlessWindow& window, ui::HeadlessHost& host, ErrorStream& errors,
                const ExploreFindings& findings)
      : w_(window),
        host_(host),
        errors_(errors),
        findings_(findings),
        explorer_(dynamic_cast<explorer::TfsExplorerDlg&>(window.Handler())) {}

  bool Run(const ExploreAction& action) {
    using Verb = ExploreAction::Verb;
    if (!mounted_ && !Mount()) return false;
    switch (action.verb) {
      case Verb::List:
        if (!Open(action.phonePath, true)) return false;
        if (findings_.listed) ReportListing(action.phonePath);
        return true;
      case Verb::Put:
        if (!Open(action.phonePath, false)) return false;
        w_.SetCurSel(app::IDC_EXPLORER_FILES, ui::LB_NONE);
        host_.QueueFileDialogAnswer(action.pcFile);
        return Choose(app::ID_EXPLORER_ADD);
      case Verb::Get:
      case Verb::Remove:
      case Verb::Status: {
        if (!SelectFile(action.phonePath)) return false;
        if (action.verb == Verb::Status) {
          if (!Choose(app::ID_EXPLORER_STATUS)) return false;
          if (const auto status = explorer_.LastStatus(); status && findings_.statusRead) {
            findings_.statusRead(action.phonePath, *status);
          }
          return true;
        }
        if (action.verb == Verb::Remove) return Choose(app::ID_EXPLORER_DELETE);
        host_.QueueFileDialogAnswer(action.pcFile);
        if (Choose(app::ID_EXPLORER_DUMP)) return true;
        // As a failed NAND dump says it: the file holds only part of the phone's file.
        if (explorer_.DumpIncomplete() &&
            !SayIncomplete(errors_, action.pcFile, "the copy of " + action.phonePath)) {
          errors_.Explain(app::Printf("veska-cli: %s is incomplete: the copy of %s stopped\n",
                                      action.pcFile.c_str(), action.phonePath.c_str()));
        }
        return false;
      }
    }
    return false;
  }

  // EXIT: the unmount, and the dialog's end.
  int Exit() {
    explorer_.WaitIdle();
    w_.Click(ui::IDOK);
    explorer_.WaitIdle();
    return w_.Ended() ? w_.Result() : ui::IDCANCEL;
  }

 private:
  bool Settled() {
    explorer_.WaitIdle();
    host_.ClearDialogAnswers();
    return explorer_.LastOutcome() == explorer::TfsExplorerDlg::ActionOutcome::Confirmed;
  }

  bool Mount() {
    w_.Click(app::IDC_EXPLORER_START);
    mounted_ = true;
    rootListed_ = Settled();
    return rootListed_;
  }

  // Lists `path` (walking down from the root, listing each level whose items the tree does
  // not hold yet). `always`: list it even when it is the directory listed last.
  bool Open(const std::string& path, bool always) {
    ui::TreeItem item = explorer_.RootItem();
    std::size_t from = 1;
    while (from < path.size()) {
      const std::size_t end = std::min(path.find('/', from), path.size());
      const std::string name = path.substr(from, end - from);
      from = end + 1;
      if (name.empty()) continue;
      ui::TreeItem child = Child(item, name);
      if (child == ui::TREE_NONE) {
        if (!List(item)) return false;
        child = Child(item, name);
      }
      if (child == ui::TREE_NONE) {
        errors_.Explain(app::Printf("veska-cli: no directory %s on the phone\n", path.c_str()));
        return false;
      }
      item = child;
    }
    if (!always && listed_ == item) return true;
    if (item == explorer_.RootItem() && std::exchange(rootListed_, false)) {
      listed_ = item;  // the mount has just listed it
      return true;
    }
    return List(item);
  }

  bool List(ui::TreeItem item) {
    rootListed_ = false;
    // A click on the selected item changes nothing: clear the selection first.
    w_.SelectTreeItem(app::IDC_EXPLORER_TREE, ui::TREE_NONE);
    if (!w_.ClickTreeItem(app::IDC_EXPLORER_TREE, item)) return false;
    const bool listed = Settled();
    listed_ = listed ? item : ui::TREE_NONE;
    return listed;
  }

  // The listed directory's sub-directories (the tree's children of it) and files (the list).
  void ReportListing(const std::string& path) const {
    std::vector<std::string> directories;
    for (ui::TreeItem child : w_.GetChildTreeItems(app::IDC_EXPLORER_TREE, listed_)) {
      directories.push_back(w_.GetTreeItemText(app::IDC_EXPLORER_TREE, child));
    }
    std::vector<std::string> files;
    for (int i = 0; i < w_.GetCount(app::IDC_EXPLORER_FILES); ++i) {
      files.push_back(w_.GetItemText(app::IDC_EXPLORER_FILES, i));
    }
    findings_.listed(path, directories, files);
  }

  ui::TreeItem Child(ui::TreeItem parent, const std::string& name) const {
    for (ui::TreeItem child : w_.GetChildTreeItems(app::IDC_EXPLORER_TREE, parent)) {
      if (w_.GetTreeItemText(app::IDC_EXPLORER_TREE, child) == name) return child;
    }
    return ui::TREE_NONE;
  }

  bool SelectFile(const std::string& path) {
    const auto [directory, name] = SplitPhonePath(path);
    if (!Open(directory, false)) return false;
    for (int i = 0; i < w_.GetCount(app::IDC_EXPLORER_FILES); ++i) {
      if (w_.GetItemText(app::IDC_EXPLORER_FILES, i) == name) {
        return w_.SelectItem(app::IDC_EXPLORER_FILES, i);
      }
    }
    errors_.Explain(app::Printf("veska-cli: no file %s on the phone\n", path.c_str()));
    return false;
  }

  // The user's right-click on the file list and `command` of its menu. Add and Delete list the
  // directory again when they succeed.
  bool Choose(unsigned command) {
    rootListed_ = false;
    const std::uint64_t before = explorer_.ActionsStarted();
    w_.QueueMenuAnswer(command);
    w_.ContextMenu(app::IDC_EXPLORER_FILES);
    // A menu that did not offer the command starts nothing: that is no success either.
    const bool confirmed = Settled() && explorer_.ActionsStarted() != before;
    if (command == app::ID_EXPLORER_ADD || command == app::ID_EXPLORER_DELETE) {
      listed_ = ui::TREE_NONE;
    }
    return confirmed;
  }

  ui::HeadlessWindow& w_;
  ui::HeadlessHost& host_;
  ErrorStream& errors_;
  const ExploreFindings& findings_;
  explorer::TfsExplorerDlg& explorer_;
  bool mounted_ = false;
  bool rootListed_ = false;              // the list shows the root as the mount listed it
  ui::TreeItem listed_ = ui::TREE_NONE;  // the directory whose files the list shows
};

}  // namespace

ExploreOutcome ActInExplorer(ui::HeadlessWindow& window, ui::HeadlessHost& host,
                             ErrorStream& errors, std::span<const ExploreAction> actions,
                             const ExploreFindings& findings) {
  ExploreScript script(window, host, errors, findings);
  ExploreOutcome outcome;
  outcome.succeeded =
      std::all_of(actions.begin(), actions.end(),
                  [&script](const ExploreAction& action) { return script.Run(action); });
  outcome.dialogResult = script.Exit();
  return outcome;
}

bool SayIncomplete(ErrorStream& errors, const std::string& file, const std::string& whole) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(link::PathOf(file), error);
  if (error) return false;
  errors.Explain(app::Printf("veska-cli: %s holds %llu bytes: %s is incomplete\n", file.c_str(),
                             static_cast<unsigned long long>(size), whole.c_str()));
  return true;
}

}  // namespace veska::station
