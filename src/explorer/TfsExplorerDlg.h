#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/ProcessState.h"
#include "explorer/ExplorerSession.h"
#include "ui/Dialog.h"
#include "ui/Host.h"

namespace veska::explorer {

// Texts of the Explorer's file dialogs.
inline constexpr std::string_view kAddFileFilter = "all files (*.*)|*.*||";
inline constexpr std::string_view kAddFileExtension = "*.*";
inline constexpr std::string_view kDumpFileFilter = "Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||";
inline constexpr std::string_view kDumpFileExtension = "hex";

// The TFS Explorer (template 130): browses the phone's file system and adds, deletes, dumps
// and describes its files over the connection START prepared (the session's shared port
// record). The exchanges are the ExplorerSession's; the dialog holds the tree, the list, the
// menu and the file dialogs, starts each action and shows what the session tells it.
//
// Threads: the handlers run on the user-interface thread; every exchange with the phone runs
// on a worker of the dialog, one at a time, with the tree and the list disabled as each
// operation says, so the window keeps repainting while the phone answers. While an exchange
// runs, the user's other requests are ignored. EXIT (or closing the dialog in any other way)
// ends a running exchange at once by closing the port under it; the dialog then closes
// without an unmount, since the phone is in the middle of an exchange whose end it waits for.
class TfsExplorerDlg final : public ui::Dialog, private ExplorerNotices {
 public:
  // How the last action (Start, a listing, Add, Delete, Dump, Status) ended.
  enum class ActionOutcome {
    None,       // nothing was asked yet
    Confirmed,  // the phone confirmed what was asked (a listing: its end)
    Failed,     // refused, stopped, declined or cancelled
  };

  TfsExplorerDlg(ui::Host& host, app::ProcessState& state);
  // A PC character set other than the user's locale (tests).
  TfsExplorerDlg(ui::Host& host, app::ProcessState& state, const std::string& pcCharset);
  ~TfsExplorerDlg() override;

  // --- ui::Dialog ---
  bool OnInitDialog() override;
  bool OnCommand(int id, ui::Notify code) override;
  void OnTreeSelChanged(int id, ui::TreeItem item) override;
  bool OnContextMenu(int id, ui::Point point) override;
  // EXIT: unmount and close. Cancel (Escape, the close box) does the same.
  void OnOK() override;
  void OnCancel() override;

  // The pop-up menu's commands.
  void OnAdd();
  void OnDelete();
  void OnDump();
  void OnStatus();

  // True while an exchange runs.
  [[nodiscard]] bool Busy() const;
  // Waits until no exchange runs (hosts without an event loop: tests and the command line).
  void WaitIdle();

  [[nodiscard]] ActionOutcome LastOutcome() const;
  // How many actions have started so far (a menu that was dismissed starts none).
  [[nodiscard]] std::uint64_t ActionsStarted() const;
  // True when every action asked so far was confirmed by the phone.
  [[nodiscard]] bool AllConfirmed() const;
  // True when the last Dump stopped after creating its file: the file holds only the chunks
  // accepted before (or fewer, when the disk did not take them).
  [[nodiscard]] bool DumpIncomplete() const;
  // True once the phone left an exchange unanswered for the reply time-out: the line is taken
  // for dead, and EXIT no longer waits for the unmount's answer.
  [[nodiscard]] bool NoReply() const;
  // Another flash than the phone's (tests).
  void SetLimits(const ExplorerLimits& limits) { session_.SetLimits(limits); }
  [[nodiscard]] ui::TreeItem RootItem() const { return rootItem_; }
  [[nodiscard]] std::string SelectedPath() const;
  // The status record the last Status read, if one was read.
  [[nodiscard]] std::optional<FileStatus> LastStatus() const;
  [[nodiscard]] ExplorerState State() const { return session_.State(); }

 private:
  // --- worker bracket ---
  // Runs `body` on the dialog's worker unless an exchange runs already (false then).
  bool Begin(std::function<void()> body);
  void Finish();
  void Exit();

  // --- action bodies (on the worker) ---
  void SelectBody(ui::TreeItem item);
  void AddBody();
  void DeleteBody();

  // --- ExplorerNotices: the session's exchanges shown in the window ---
  void Narrate(std::string_view text) override;
  void NarrateAnew(std::string_view text) override;
  void ListingStarted(bool root) override;
  void FileListed(std::string_view name) override;
  void DirectoryListed(std::string_view name) override;
  void EnableBrowsing(bool tree, bool list) override;
  void EnableTree() override;
  void ProgressRange(std::uint32_t upper) override;
  void Progress(std::uint32_t position) override;
  void Message(std::string_view text) override;
  [[nodiscard]] std::string DumpTarget() override;
  void Confirmed() override;
  void StatusRead(const FileStatus& status) override;

  // Runs a file action of the session on the list's selected file, when there is one.
  void ActOnSelectedFile(void (ExplorerSession::*action)(const std::string&, const std::string&));
  // The selected list entry's name, empty when none.
  std::string SelectedFileName() const;
  // The phone's name of a tree item (the tree shows names with their control bytes escaped).
  std::string TreeName(ui::TreeItem item) const;

  ui::Host& host_;
  app::ProcessState& process_;
  ExplorerSession session_;

  // Browsing.
  ui::TreeItem rootItem_ = ui::TREE_NONE;
  ui::TreeItem selectedItem_ = ui::TREE_NONE;
  std::string selectedPath_ = "/";
  // The listed directory had subdirectories in the tree before: they are not added again.
  bool itemHadChildren_ = false;
  int listExtent_ = 0;
  // The phone's names of the list's files (by index) and of the tree's items, as they go back
  // in requests; the window shows them with their control bytes escaped.
  std::vector<std::string> listNames_;
  std::map<ui::TreeItem, std::string> treeNames_;
  std::optional<FileStatus> lastStatus_;  // guarded by mutex_

  // The worker and its bracket.
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::thread worker_;
  bool running_ = false;
  bool exitRequested_ = false;
  ActionOutcome outcome_ = ActionOutcome::None;
  bool allConfirmed_ = true;
  std::uint64_t actionsStarted_ = 0;
};

}  // namespace veska::explorer
