#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/DownloaderDlg.h"
#include "app/FlashMap.h"
#include "app/ProcessState.h"
#include "app/Settings.h"
#include "station/ErrorStream.h"
#include "station/ExitStatus.h"
#include "station/ExploreSteps.h"
#include "station/RunOptions.h"
#include "station/SessionView.h"
#include "station/StepTable.h"
#include "station/StopSignal.h"
#include "ui/HeadlessHost.h"

namespace veska::station {

// One run of the steps: the main dialog on a headless window, driven like a technician at the
// buttons. The steps run in order; the first that fails ends the run. What the window shows goes
// to the session's view: by default the log's text on `out`; a console sets its own.
class Session {
 public:
  Session(RunOptions options, std::FILE* out, std::FILE* err);
  virtual ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Sets the dialog up from the options and runs the steps. Returns the exit status.
  int Run();
  // Only what Run does before the first step: the window set up from the options and every
  // planned file examined, with the same messages. EXIT_OK or the status Run would end with.
  int Check();

  // The stop (Ctrl-C) then stops the running operation as Disconnect does and ends the run with
  // 130.
  void WatchInterrupts(StopSignal& watch);
  // The run ends at the stop, whose handler belongs to someone else (a bench run, which stops
  // every session with Cancel).
  void ObserveInterrupts(StopSignal& watch) { interrupt_ = &watch; }
  // The stop signal whose handler this session set (WatchInterrupts), for a step that waits
  // with a handler of its own and then gives the session's back; nothing when it observes one.
  [[nodiscard]] StopSignal* OwnedInterrupts() const {
    return ownsInterruptHandler_ ? interrupt_ : nullptr;
  }
  // What Disconnect does, from any thread: the running operation's port closes under it.
  void Cancel();

  // Hears what the session tells, typed: its steps beginning and ending (on Run()'s thread),
  // what its operations tell besides the log (the images, the read-back, the progress, the
  // waits for the phone; on their workers' threads), its message boxes and what it says on
  // standard error (on the thread that says it). Set before Run(); it must not call back into
  // the session.
  void SetEventObserver(app::SessionObserver observer) { observer_ = std::move(observer); }
  // Who answers the operations' questions instead of the terminal (nothing: No, and the hint
  // at --yes). Set before Run().
  using QuestionAsker = std::function<std::optional<int>(std::string_view, std::string_view)>;
  void SetQuestionAsker(QuestionAsker asker) { asker_ = std::move(asker); }
  // Where the session shows itself instead of the log on `out`. Set before Run().
  void SetView(std::unique_ptr<SessionView> view);
  // The steps that only ask about the PC (ports, udev-rule, records) run through the host,
  // which prints their answers; without one they are not available. Set before Run().
  using QueryRunner = std::function<bool(const StepAction& action)>;
  void SetQueryRunner(QueryRunner queries) { queries_ = std::move(queries); }
  // Whether the Flash ID box and the information fields print on standard error as the steps
  // set them (the default). Set before Run().
  void ShowFieldLines(bool show) { showFieldLines_ = show; }

  // For tests: reach the session's parts before Run() (for example to shrink time-outs).
  [[nodiscard]] app::DownloaderDlg& Dialog() { return *dlg_; }
  [[nodiscard]] app::ProcessState& State() { return state_; }
  [[nodiscard]] ui::HeadlessHost& Host() { return host_; }
  // What the session says beside the log, for a view that writes there too.
  [[nodiscard]] ErrorStream& Errors() { return errors_; }
  [[nodiscard]] const RunOptions& Options() const { return arguments_; }

 private:
  int RunPlan();
  [[nodiscard]] std::string StepCause(int status) const;
  // What the run needs before its first step: the loader payloads, the window set up from the
  // options, a port when a step opens one, the planned files examined. EXIT_OK or the status
  // to end with.
  int Prepare(const StepPlan& plan);
  bool ApplyOptions();
  // Examines every file the planned steps will read (the downloads' images with the download's
  // own rules and texts, the files explore put adds), before the port is touched. EXIT_OK or
  // EXIT_INPUT_REFUSED.
  int CheckPlannedFiles(const StepPlan& plan);
  // Runs one step; its exit status (EXIT_INTERRUPTED after Ctrl-C).
  int RunStep(const StepAction& action);
  // Runs what the step stands for; true when it succeeded.
  bool Execute(const StepAction& action);
  // Tells the observer that step `index` of `plan` starts or ended.
  void Notify(const StepPlan& plan, std::size_t index, bool ended, int status);
  void Publish(const app::SessionEvent& event) const;
  // The line that says how long the phone was waited for, and for what.
  void SayNoAnswer(const app::OperationResult& result);
  [[nodiscard]] bool Interrupted() const;
  // Asks a question through the asker, else the view; nothing when neither can.
  std::optional<int> Ask(std::string_view text, std::string_view caption);
  // Presses `button` (or, with 0, runs the operation as its hidden button would) and waits for
  // the operation's result.
  app::OperationResult Press(app::OperationId id, int button);
  app::OperationResult Perform(app::OperationId id);
  bool Connect();
  bool Download(int selectionIndex, bool defaultCal, bool reboot, bool verify);
  // NAND Erase or Bootloader Erase; an answer that is not the erase's confirmation is named.
  bool Erase(app::OperationId id, int button);
  // NAND Dump: answers the area dialog and the save dialog as the user would.
  bool Dump(const app::DumpArea& area, const std::string& file);
  // A run of consecutive explore steps: one Explorer dialog, mounted by its first action and
  // unmounted by EXIT when the last one has ended (or the first one failed).
  bool Explore(const std::vector<ExploreAction>& actions);
  bool Checksum(int selectionIndex);
  // A step that asks about the PC, through the host's runner.
  bool Query(const StepAction& action);
  void SayReadBack(const app::ImagesReadBack& readBack);
  // Says on standard error which file a failed step could not read, and why.
  void ExplainUnreadable(const std::string& path);
  bool ChecksumFile(const std::string& path);
  // The checksum, size and path on standard output, one line.
  void PrintChecksum(const std::string& path);
  void ChooseSelection(int selectionIndex);

  RunOptions arguments_;
  std::FILE* out_;
  ErrorStream errors_;
  ui::HeadlessHost host_;
  app::ProcessState state_;
  std::unique_ptr<app::Settings> settings_;
  std::unique_ptr<app::DownloaderDlg> dlg_;
  std::unique_ptr<SessionView> view_;
  std::unique_ptr<ui::HeadlessWindow> window_;
  std::unique_ptr<link::DiagnosticSink> diagnostics_;
  // The results the dialog's operations reported since the current step began.
  std::mutex resultsMutex_;
  std::vector<app::OperationResult> results_;
  // The result of the current step's operation, when it ran one.
  std::optional<app::OperationResult> stepResult_;
  std::chrono::steady_clock::time_point stepStarted_{};
  // The steps ended so far, for --json's summary line.
  struct StepSummary {
    std::string words;
    int exit = 0;
    std::string outcome;  // empty: the step ran no operation
    std::string cause;
    double seconds = 0.0;
  };
  std::vector<StepSummary> summary_;
  StopSignal* interrupt_ = nullptr;  // not owned
  bool ownsInterruptHandler_ = false;
  bool showFieldLines_ = true;
  app::SessionObserver observer_;
  QuestionAsker asker_;
  QueryRunner queries_;
  // The main window once Run() made it, for Cancel on another thread.
  std::atomic<ui::HeadlessWindow*> liveWindow_{nullptr};
};

}  // namespace veska::station
