#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
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
#include "cli/ConsolePresenter.h"
#include "ui/HeadlessHost.h"

namespace veska::cli {

// Exit statuses a bench script can act on.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_STEP_FAILED = 1;       // the phone refused, or an operation failed
inline constexpr int EXIT_USAGE = 2;             // the command line itself is wrong
inline constexpr int EXIT_INPUT_REFUSED = 3;     // a file or other input was refused
inline constexpr int EXIT_NO_ANSWER = 4;         // the phone stayed silent (time-out)
inline constexpr int EXIT_PORT_UNAVAILABLE = 5;  // the port could not be opened
inline constexpr int EXIT_INTERRUPTED = 130;     // Ctrl-C

// The exit status for a step that ended with `result`; `portOpenFailed` when the step could
// not open its port.
[[nodiscard]] int ExitStatusFor(const app::OperationResult& result, bool portOpenFailed);

class InterruptWatch;

// What the command line asked for.
struct CliArguments {
  std::string port;  // "COMn" or a device path; empty: the remembered port
  // Every --port given; more than one (or --repeat, or --report) makes a bench run.
  std::vector<std::string> ports;
  std::string logDir;   // --log-dir: where a bench run keeps each port's log
  std::string report;   // --report: the bench report's JSON file
  bool repeat = false;  // --repeat: each port runs the steps again for the next phone
  std::string baud;     // "115K", "460K", "921K", "3M"; empty: the remembered rate
  std::string link;     // "uart", "usb"; empty: UART, as the window starts
  bool yes = false;     // answer questions Yes
  std::string settings;
  std::string release;
  std::string progress;  // --progress: "bar", "plain", "none"; empty: bar on a terminal, else plain
  int timeout = -1;      // --timeout: seconds a connected phone may stay silent; -1: the settings'
  std::map<std::string, std::string> images;  // image option name ("apps", ...) -> path
  std::vector<std::string> steps;             // the steps and their own arguments, in order
};

// The settings file a run reads: --settings, else the user's own.
[[nodiscard]] std::filesystem::path SettingsFileOf(const CliArguments& arguments);

// Parses argv. Returns -1 to go on, or the exit status to end with (0 after --help, 2 for a
// usage error, with the message already on `err`).
int ParseArguments(int argc, const char* const* argv, CliArguments& arguments, std::FILE* err);

// One run of veska-cli: the main dialog on a headless window, driven like a technician at the
// buttons, shown on the console. The steps run in order; the first that fails ends the run.
class CliSession {
 public:
  CliSession(CliArguments arguments, std::FILE* out, std::FILE* err);
  ~CliSession();
  CliSession(const CliSession&) = delete;
  CliSession& operator=(const CliSession&) = delete;

  // Sets the dialog up from the options and runs the steps. Returns the exit status.
  int Run();

  // Ctrl-C then stops the running operation as Disconnect does and ends the run with 130.
  void WatchInterrupts(InterruptWatch& watch);
  // The run ends at the watch's Ctrl-C, whose handler belongs to someone else (a bench run,
  // which stops every session with Cancel).
  void ObserveInterrupts(InterruptWatch& watch) { interrupt_ = &watch; }
  // What Disconnect does, from any thread: the running operation's port closes under it.
  void Cancel();

  // A step of the plan starting or ending, for a bench run's table and report.
  struct StepEvent {
    std::size_t index = 0;
    std::size_t count = 0;
    std::string words;  // the step as given ("download all-bin --verify")
    bool ended = false;
    int exitStatus = 0;                          // when ended: 0, or what the run ends with
    std::optional<app::OperationResult> result;  // when ended: its operation's, if it ran one
  };
  // Set before Run(); called on Run()'s thread.
  void SetStepObserver(std::function<void(const StepEvent&)> observer) {
    stepObserver_ = std::move(observer);
  }
  // Every event of the session's windows, after the console has shown it (under the journal's
  // lock: the tap must not call back into the session). Set before Run().
  void SetEventTap(std::function<void(const ui::Event&)> tap) { eventTap_ = std::move(tap); }
  // Who answers the operations' questions instead of the terminal (nothing: No, and the hint
  // at --yes). Set before Run().
  using QuestionAsker = std::function<std::optional<int>(std::string_view, std::string_view)>;
  void SetQuestionAsker(QuestionAsker asker) { asker_ = std::move(asker); }
  // Whether the Flash ID box and the information fields print on standard error as the steps
  // set them (the default). Set before Run().
  void ShowFieldLines(bool show) { showFieldLines_ = show; }
  // The Flash ID box's text after the run ("" before START).
  [[nodiscard]] std::string FlashIdText() const;

  // For tests: reach the session's parts before Run() (for example to shrink time-outs).
  [[nodiscard]] app::DownloaderDlg& Dialog() { return *dlg_; }
  [[nodiscard]] app::ProcessState& State() { return state_; }
  [[nodiscard]] ui::HeadlessHost& Host() { return host_; }

  // One step of the command line; returns true when it succeeded.
  using Step = std::function<bool()>;

  // One explore step: what it does and its words ("ls DIR", "get PATH FILE", ...).
  struct ExploreAction {
    enum class Verb { List, Get, Put, Remove, Status } verb = Verb::List;
    std::string phonePath;  // ls: the directory; get, rm, stat: the file; put: the directory
    std::string pcFile;     // get: the file written; put: the file added
  };

 private:
  // Turns the step words into runnable steps; false (after a message) on a usage error.
  bool PlanSteps(std::vector<Step>& plan);
  bool ApplyOptions();
  // Examines every file the planned steps will read (the downloads' images with the download's
  // own rules and texts, the files explore put adds), before the port is touched. EXIT_OK or
  // EXIT_INPUT_REFUSED.
  int CheckPlannedFiles();
  // Asks a question on the terminal; nothing when standard input or error is no terminal.
  std::optional<int> AskOnTerminal(std::string_view text, std::string_view caption);
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
  bool ChecksumFile(const std::string& path);
  // `ports`: the serial devices present, on standard output.
  bool ListPortsStep();
  // `udev-rule PORT`: the rule for the USB device behind the port, on standard output.
  bool UdevRuleStep(const std::string& port);
  // The checksum, size and path on standard output, one line.
  void PrintChecksum(const std::string& path);
  void ChooseSelection(int selectionIndex);

  CliArguments arguments_;
  std::FILE* out_;
  std::FILE* err_;
  ui::HeadlessHost host_;
  app::ProcessState state_;
  std::unique_ptr<app::Settings> settings_;
  std::unique_ptr<app::DownloaderDlg> dlg_;
  std::unique_ptr<ConsolePresenter> presenter_;
  std::unique_ptr<ui::HeadlessWindow> window_;
  std::unique_ptr<link::DiagnosticSink> diagnostics_;
  // The results the dialog's operations reported since the current step began.
  std::mutex resultsMutex_;
  std::vector<app::OperationResult> results_;
  // The result of the current step's operation, when it ran one.
  std::optional<app::OperationResult> stepResult_;
  // What the plan needs before it runs: a port, and the files of its downloads.
  bool needsPort_ = false;
  std::vector<int> plannedDownloads_;
  std::vector<std::string> plannedPuts_;
  InterruptWatch* interrupt_ = nullptr;  // not owned
  bool ownsInterruptHandler_ = false;
  bool showFieldLines_ = true;
  // The step words of each planned step, in the plan's order.
  std::vector<std::string> stepWords_;
  std::function<void(const StepEvent&)> stepObserver_;
  std::function<void(const ui::Event&)> eventTap_;
  QuestionAsker asker_;
  // The main window once Run() made it, for Cancel on another thread.
  std::atomic<ui::HeadlessWindow*> liveWindow_{nullptr};
  // The explore steps of the plan, one group per run of consecutive explore steps.
  std::vector<std::unique_ptr<std::vector<ExploreAction>>> exploreGroups_;
};

// The whole program: parse, run, exit status.
int CliMain(int argc, const char* const* argv);

}  // namespace veska::cli
