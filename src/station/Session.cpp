#include "station/Session.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <tuple>
#include <utility>

#include <nlohmann/json.hpp>
#include "app/ControlIds.h"
#include "app/FlashMap.h"
#include "app/Printf.h"
#include "app/Templates.h"
#include "link/BaudCodes.h"
#include "link/FilePath.h"
#include "link/PortNames.h"
#include "operations/PlannedInputs.h"
#include "operations/Registry.h"
#include "payloads/PayloadSet.h"

namespace veska::station {

namespace {

// Seconds to a tenth, as the log gives times.
double SecondsSince(std::chrono::steady_clock::time_point start) {
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return std::round(elapsed.count() * 10.0) / 10.0;
}

// Never throws: bytes that are no UTF-8 are replaced.
std::string JsonLine(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

namespace {

// The port layer's diagnostics go to standard error here: standard output carries the log.
class StderrDiagnostics final : public link::DiagnosticSink {
 public:
  explicit StderrDiagnostics(ErrorStream& errors) : errors_(errors) {}
  // One port per run: its name would add nothing to the trace.
  void Diagnostic(std::string_view /*portName*/, std::string_view text) override {
    errors_.Diagnostic(text);
  }

 private:
  ErrorStream& errors_;
};

// "COM" in any case followed by digits only.
bool LooksLikeComName(std::string_view name) {
  if (name.size() < 4) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((name[i] | 0x20) != "com"[i]) return false;
  }
  return name.find_first_not_of("0123456789", 3) == std::string_view::npos;
}

}  // namespace

Session::Session(RunOptions options, std::FILE* out, std::FILE* err)
    : arguments_(std::move(options)),
      out_(out),
      errors_(err),
      host_(kApplicationName),
      view_(std::make_unique<LogFileView>(out)) {
  errors_.SetObserver([this](const app::SessionEvent& event) { Publish(event); });
  settings_ =
      std::make_unique<app::Settings>(SettingsFileOf(arguments_), app::SettingsAccess::ReadOnly);
  dlg_ = std::make_unique<app::DownloaderDlg>(host_, state_, *settings_);
  dlg_->SetOperations(operations::AllOperations());
  // Every step learns how its operation ended from the result the operation reports.
  dlg_->Runner().SetObserver([this](const app::OperationResult& result) {
    std::lock_guard lock(resultsMutex_);
    results_.push_back(result);
  });

  // A bench may run for days: the journal keeps no history, it only feeds the view.
  host_.EventJournal().SetRecording(false);
  host_.EventJournal().SetObserver([this](const ui::Event& event) { view_->Present(event); });
  host_.SetAnswerYes(arguments_.yes);
  host_.SetQuestionHook(
      [this](std::string_view text, std::string_view caption) { return Ask(text, caption); });
  view_->ShowFields(false);
  diagnostics_ = std::make_unique<StderrDiagnostics>(errors_);
  dlg_->SetEventObserver([this](const app::SessionEvent& event) {
    if (const auto* wait = std::get_if<app::PhoneWait>(&event); wait != nullptr) {
      view_->PhoneWaiting(*wait);
    }
    if (const auto* readBack = std::get_if<app::ImagesReadBack>(&event); readBack != nullptr) {
      SayReadBack(*readBack);
    }
    Publish(event);
  });
}

// The read-back is no part of the download's log, so the bar it draws gets a heading, and its
// time, which the log's total leaves out, a line after it.
void Session::SayReadBack(const app::ImagesReadBack& readBack) {
  view_->EndProgressLine();
  errors_.Note("verify: " + app::ReadBackText(readBack) + "\n");
}

void Session::SetView(std::unique_ptr<SessionView> view) {
  view_ = std::move(view);
  view_->HintAtYes(!arguments_.yes);
  view_->ShowFields(false);
}

Session::~Session() {
  if (ownsInterruptHandler_) interrupt_->SetHandler({});
  liveWindow_.store(nullptr);
  dlg_->Runner().Join();
  host_.JoinWorkers();
  host_.EventJournal().SetObserver({});
}

bool Session::ApplyOptions() {
  // The link first: choosing it brings back that link's remembered port.
  if (arguments_.link == "usb") {
    window_->Click(app::IDC_USB);
  } else {
    window_->Click(app::IDC_UART);
  }
  if (!arguments_.port.empty()) {
    int number = link::ParseComName(arguments_.port);
    if (number == 0 && LooksLikeComName(arguments_.port)) {
      // COM0, COM51: a port name the selector does not hold, never a file of that name.
      errors_.Explain(app::Printf("veska-cli: no such port %s (COM1 ... COM%d, or a device path)\n",
                                  arguments_.port.c_str(), link::kComPortCount));
      return false;
    }
    if (number == 0) {
      // A device path: the log and the port's messages name it. The selector still gets an
      // entry, so that the operations' start check sees a chosen port.
      dlg_->portDevice = arguments_.port;
      number = 1;
    }
    if (number < 1 || number > window_->GetCount(app::IDC_PORT)) {
      errors_.Explain(app::Printf("veska-cli: no such port %s\n", arguments_.port.c_str()));
      return false;
    }
    window_->SelectItem(app::IDC_PORT, number - 1);
  }
  if (!arguments_.baud.empty()) {
    for (std::size_t i = 0; i < link::kSelectorBaudCount; ++i) {
      if (arguments_.baud == link::kSelectorBauds[i].caption) {
        window_->SelectItem(app::IDC_BAUD, static_cast<int>(i));
      }
    }
  }
  if (arguments_.timeout > 0) {
    // An explicit limit bounds every wait for the phone, the boot signal's included.
    state_.link.replyTimeout = std::chrono::seconds(arguments_.timeout);
    state_.link.replyTimeoutBoundsHandshake = true;
  } else if (arguments_.timeout == 0) {
    state_.link.replyTimeout = std::chrono::seconds(0);
  }
  // The command line wins over the release folder, which wins over the settings file.
  if (!arguments_.release.empty()) {
    dlg_->DeriveReleasePaths(arguments_.release);
    // A release also holds files the window's browse buttons never derive, each chosen by
    // hand there; where the release has them at their usual place, they are taken too.
    for (const auto& [key, folder, name] :
         {std::tuple{app::KEY_NANDPREBOOT, "APPS", "nandpreboot.img"},
          std::tuple{app::KEY_RSRC, "", "Rsrc.img"}}) {
      const std::filesystem::path candidate = link::PathOf(arguments_.release) / folder / name;
      if (std::error_code error; std::filesystem::is_regular_file(candidate, error)) {
        dlg_->SetImagePathByKey(key, link::Utf8Of(candidate));
      }
    }
  }
  for (const app::ImageInfo& image : app::Catalogue()) {
    if (auto it = arguments_.images.find(std::string(image.cliName));
        it != arguments_.images.end()) {
      dlg_->SetImagePathByKey(image.settingsKey, it->second);
    }
  }
  return true;
}

namespace {

// A step that only answers a question (the ports, a checksum, the records): with --json its
// answer is the run's one JSON document.
bool IsQuery(const StepAction& action) {
  return std::holds_alternative<steps::ListPorts>(action) ||
         std::holds_alternative<steps::Checksum>(action) ||
         std::holds_alternative<steps::ChecksumFile>(action) ||
         std::holds_alternative<steps::Records>(action);
}

}  // namespace

int Session::Run() {
  const auto started = std::chrono::steady_clock::now();
  const int status = RunPlan();
  const StepPlan plan = PlanSteps(arguments_.steps);
  const bool queries = plan.error.empty() && !plan.steps.empty() &&
                       std::all_of(plan.steps.begin(), plan.steps.end(),
                                   [](const PlannedStep& step) { return IsQuery(step.action); });
  // The summary sums up steps that act on a phone; after queries standard output holds their
  // documents alone, each one JSON document a script reads whole.
  if (arguments_.json && !queries) {
    // One line a script takes with `tail -n 1`, after the log.
    nlohmann::ordered_json line;
    line["exit"] = status;
    line["steps"] = nlohmann::ordered_json::array();
    for (const StepSummary& step : summary_) {
      nlohmann::ordered_json value;
      value["step"] = step.words;
      value["exit"] = step.exit;
      value["outcome"] = step.outcome.empty() ? nlohmann::ordered_json(nullptr)
                                              : nlohmann::ordered_json(step.outcome);
      value["cause"] =
          step.cause.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(step.cause);
      value["seconds"] = step.seconds;
      line["steps"].push_back(std::move(value));
    }
    line["seconds"] = SecondsSince(started);
    std::fflush(out_);
    std::fprintf(out_, "%s\n", JsonLine(line).c_str());
    std::fflush(out_);
  }
  return status;
}

int Session::Check() {
  const StepPlan plan = PlanSteps(arguments_.steps);
  if (!plan.error.empty()) {
    errors_.Explain(app::Printf("veska-cli: %s\n", plan.error.c_str()));
    return EXIT_USAGE;
  }
  return Prepare(plan);
}

int Session::RunPlan() {
  if (const int status = Check(); status != EXIT_OK) return status;
  const StepPlan plan = PlanSteps(arguments_.steps);

  view_->ShowFields(showFieldLines_);
  for (std::size_t index = 0; index < plan.steps.size(); ++index) {
    if (Interrupted()) break;
    stepResult_.reset();
    Notify(plan, index, false, EXIT_OK);
    const int status = RunStep(plan.steps[index].action);
    Notify(plan, index, true, status);
    if (status == EXIT_INTERRUPTED) break;
    if (status != EXIT_OK) {
      view_->EndProgressLine();  // fields held back for a log line that stays unfinished
      return status;
    }
  }
  if (Interrupted()) {
    interrupt_->WaitHandled();
    view_->EndProgressLine();
    std::fflush(out_);
    // The log may have stopped in the middle of a line.
    errors_.Explain("\nveska-cli: interrupted\n");
    return EXIT_INTERRUPTED;
  }
  view_->EndProgressLine();
  return EXIT_OK;
}

int Session::Prepare(const StepPlan& plan) {
  state_.payloads = payloads::PayloadSet::Load(payloads::PayloadFolders());
  // Only the steps that open the port themselves (START, the bootloader) send loader programs;
  // which set they send is said once, there.
  if (plan.opensPort) {
    errors_.Note(state_.payloads.Describe() + "\n");
    for (const std::string& problem : state_.payloads.Problems()) errors_.Note(problem + "\n");
  }

  window_ = host_.Create(app::kMainDialogTemplate, *dlg_);
  liveWindow_.store(window_.get());
  dlg_->SetDiagnosticsOutput(*diagnostics_);
  if (!ApplyOptions()) return EXIT_USAGE;
  if (plan.opensPort && dlg_->portIndex < 0) {
    // The window would try "COM0" or report "Invalid Env": neither tells what to do.
    errors_.Explain("veska-cli: choose a port (--port COMn or a device path)\n");
    return EXIT_USAGE;
  }
  return CheckPlannedFiles(plan);
}

bool Session::Interrupted() const {
  return interrupt_ != nullptr && interrupt_->Interrupted();
}

void Session::Notify(const StepPlan& plan, std::size_t index, bool ended, int status) {
  const std::string& words = plan.steps[index].words;
  if (ended) {
    summary_.push_back(
        {words, status,
         stepResult_ ? std::string(app::OutcomeName(stepResult_->outcome)) : std::string(),
         StepCause(status), SecondsSince(stepStarted_)});
    Publish(app::StepEnded{index, plan.steps.size(), words, status, stepResult_});
  } else {
    stepStarted_ = std::chrono::steady_clock::now();
    Publish(app::StepBegan{index, plan.steps.size(), words});
  }
}

namespace {

// A failed download's reason names the image; what the phone answered instead says why
// ("APPS: the phone answered 0x41"). Empty for any other result.
std::string RefusedDownloadText(const app::OperationResult& result) {
  if (result.operation != app::OperationId::Download || result.outcome != app::Outcome::Failed ||
      result.cause.kind != app::CauseKind::PhoneRefused) {
    return {};
  }
  return app::Printf("%s: the phone answered 0x%02X", result.reason.c_str(),
                     result.cause.phoneCode);
}

}  // namespace

// Why a step ended as it did, in one line: its operation's reason, else the port's.
std::string Session::StepCause(int status) const {
  std::string cause = stepResult_ ? stepResult_->reason : std::string();
  if (stepResult_) {
    if (std::string refused = RefusedDownloadText(*stepResult_); !refused.empty()) {
      cause = std::move(refused);
    }
  }
  if (cause.empty() && status != EXIT_OK) cause = dlg_->PortFailureReason();
  std::replace(cause.begin(), cause.end(), '\n', ' ');
  return cause;
}

void Session::Publish(const app::SessionEvent& event) const {
  if (observer_) observer_(event);
}

int Session::RunStep(const StepAction& action) {
  if (Execute(action)) return EXIT_OK;
  if (Interrupted()) return EXIT_INTERRUPTED;
  if (!stepResult_) return EXIT_STEP_FAILED;
  int status = ExitStatusFor(*stepResult_);
  // A step may fail where its operation did not (an explore action the phone refused while
  // the Explorer itself ran to its end).
  if (status == EXIT_OK) status = EXIT_STEP_FAILED;
  if (status == EXIT_NO_ANSWER) SayNoAnswer(*stepResult_);
  return status;
}

void Session::SayNoAnswer(const app::OperationResult& result) {
  const bool start = result.operation == app::OperationId::Start;
  std::string within;
  if (state_.link.replyTimeout.count() > 0 && (!start || state_.link.replyTimeoutBoundsHandshake)) {
    within = " within " + std::to_string(state_.link.replyTimeout.count() / 1000) + " s";
  }
  errors_.Explain(app::Printf(
      "veska-cli: %s ended: no answer from the phone%s%s\n",
      std::string(app::OperationName(result.operation)).c_str(), within.c_str(),
      start ? " (waiting for its boot signal or the acknowledgement of the start signal)" : ""));
}

namespace {

// std::visit over one lambda per alternative.
template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace

bool Session::Execute(const StepAction& action) {
  return std::visit(
      Overloaded{
          [this](const steps::Connect&) { return Connect(); },
          [this](const steps::Bootloader&) {
            return Press(app::OperationId::DownloadBootloader, app::IDC_DL_BOOTLOADER).Succeeded();
          },
          [this](const steps::Download& d) {
            return Download(d.selection, d.defaultCal, d.reboot, d.verify);
          },
          [this](const steps::Erase& e) { return Erase(e.operation, e.button); },
          // The Format button is hidden in the window; the step runs the same operation.
          [this](const steps::Format&) { return Perform(app::OperationId::Format).Succeeded(); },
          [this](const steps::Dump& d) { return Dump(*d.area, d.file); },
          [this](const steps::Explore& e) { return Explore(e.actions); },
          [this](const steps::Checksum& c) { return Checksum(c.selection); },
          [this](const steps::ChecksumFile& c) { return ChecksumFile(c.file); },
          [this, &action](const steps::ListPorts&) { return Query(action); },
          [this, &action](const steps::UdevRule&) { return Query(action); },
          [this, &action](const steps::Records&) { return Query(action); },
          [this, &action](const steps::LearnSlots&) { return Query(action); },
      },
      action);
}

bool Session::Query(const StepAction& action) {
  if (queries_) return queries_(action);
  errors_.Explain("veska-cli: this step asks about the PC; it runs on the command line only\n");
  return false;
}

namespace {

// Why a file a step will write cannot be made at `path`, or empty when it can: its folder must
// exist and take new files, and what is already there must be a regular file the step may
// replace.
bool MayWrite(const std::filesystem::path& path) {
#if defined(_WIN32)
  return ::_waccess(path.c_str(), 2) == 0;
#else
  return ::access(path.c_str(), W_OK) == 0;
#endif
}

std::string UnwritableReason(const std::string& path) {
  const std::filesystem::path file = link::PathOf(path);
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    return "its folder " + link::Utf8Of(folder) + " does not exist";
  }
  if (!MayWrite(folder)) {
    return "its folder " + link::Utf8Of(folder) + " does not take new files (" +
           std::strerror(errno) + ")";
  }
  const std::filesystem::file_status status = std::filesystem::status(file, error);
  if (!std::filesystem::exists(status)) return {};
  if (!std::filesystem::is_regular_file(status)) return "it is not a regular file";
  if (!MayWrite(file)) return "it is there and may not be replaced";
  return {};
}

}  // namespace

int Session::CheckPlannedFiles(const StepPlan& plan) {
  std::vector<int> downloads;
  std::vector<std::string> puts;
  std::vector<std::string> outputs;  // the files dumps and explore get will write
  for (const PlannedStep& step : plan.steps) {
    if (const auto* download = std::get_if<steps::Download>(&step.action)) {
      downloads.push_back(download->selection);
    } else if (const auto* dump = std::get_if<steps::Dump>(&step.action)) {
      outputs.push_back(dump->file);
    } else if (const auto* explore = std::get_if<steps::Explore>(&step.action)) {
      for (const ExploreAction& action : explore->actions) {
        if (action.verb == ExploreAction::Verb::Put) puts.push_back(action.pcFile);
        if (action.verb == ExploreAction::Verb::Get) outputs.push_back(action.pcFile);
      }
    }
  }
  // Refused before connecting, with the message box the operation would have shown.
  const auto refuse = [this](const operations::InputRefusal& refusal) {
    host_.MessageBox(window_.get(), refusal.box);
    errors_.Explain("veska-cli: " + refusal.explanation + "\n");
    return EXIT_INPUT_REFUSED;
  };
  for (const int index : downloads) {
    if (const auto refusal = operations::RefusedDownloadFile(*dlg_, index)) return refuse(*refusal);
    // A file system's listing is read and checked as its download would, before the phone is
    // touched; the load shows the download's own box.
    if (const auto refusal = operations::RefusedListing(*dlg_, index)) {
      errors_.Explain("veska-cli: " + refusal->explanation + "\n");
      return EXIT_INPUT_REFUSED;
    }
  }
  // What a dump or a copy from the phone writes must be able to land before the phone is
  // touched; the operation's own box, with the path and the reason beside it.
  for (const std::string& file : outputs) {
    if (const std::string reason = UnwritableReason(file); !reason.empty()) {
      return refuse({"Internal Error! (file creation)",
                     file + " refused before connecting: " + reason,
                     app::Cause::File(std::nullopt, app::FileRule::CannotOpen, file)});
    }
  }
  // The files `explore put` will add, with the message the Explorer's Add would give.
  for (const std::string& file : puts) {
    if (const auto refusal = operations::RefusedExplorerFile(file)) return refuse(*refusal);
  }
  return EXIT_OK;
}

std::optional<int> Session::Ask(std::string_view text, std::string_view caption) {
  if (asker_) {
    const std::optional<int> answer = asker_(text, caption);
    // Asked and answered: the box is not shown again.
    if (answer) view_->SkipNextBox();
    return answer;
  }
  return view_->Ask(text, caption);
}

void Session::WatchInterrupts(StopSignal& watch) {
  interrupt_ = &watch;
  ownsInterruptHandler_ = true;
  watch.SetHandler([this] { Cancel(); });
}

void Session::Cancel() {
  // What the Disconnect button does: the running operation's port closes under it.
  ui::HeadlessWindow* window = liveWindow_.load();
  if (window != nullptr && window->IsEnabled(app::IDC_DISCONNECT)) {
    window->Click(app::IDC_DISCONNECT);
  }
}

app::OperationResult Session::Press(app::OperationId id, int button) {
  {
    std::lock_guard lock(resultsMutex_);
    results_.clear();
  }
  bool pressed = true;
  if (button != 0) {
    pressed = window_->Click(button);
  } else {
    dlg_->Perform(id);
  }
  // A Ctrl-C that came while the step was starting found nothing to stop yet.
  if (interrupt_ != nullptr && interrupt_->Interrupted()) Cancel();
  dlg_->Runner().Join();
  std::lock_guard lock(resultsMutex_);
  for (auto it = results_.rbegin(); it != results_.rend(); ++it) {
    if (it->operation == id) {
      stepResult_ = *it;
      return *it;
    }
  }
  if (!pressed) {
    errors_.Explain(app::Printf(
        "veska-cli: %s is not available now%s\n", std::string(app::OperationName(id)).c_str(),
        id == app::OperationId::Start || id == app::OperationId::DownloadBootloader
            ? ""
            : " (connect first)"));
  }
  stepResult_ = app::OperationResult::Ended(id, app::Outcome::Refused, 0, "not available now");
  return *stepResult_;
}

app::OperationResult Session::Perform(app::OperationId id) {
  return Press(id, 0);
}

bool Session::Connect() {
  const app::OperationResult result = Press(app::OperationId::Start, app::IDC_START);
  // The log reads as connected when only the flash checks went unanswered: say why it failed.
  if (result.outcome == app::Outcome::Failed && !result.reason.empty()) {
    errors_.Explain(app::Printf("veska-cli: %s\n", result.reason.c_str()));
  }
  return result.Succeeded();
}

bool Session::Erase(app::OperationId id, int button) {
  const app::OperationResult result = Press(id, button);
  // The log's line stays open at "> > > ": say what the phone answered instead.
  if (result.outcome == app::Outcome::Failed && result.cause.kind == app::CauseKind::PhoneRefused &&
      !result.reason.empty()) {
    errors_.Explain(app::Printf("veska-cli: %s failed: %s\n",
                                std::string(app::OperationName(id)).c_str(),
                                result.reason.c_str()));
  }
  return result.Succeeded();
}

void Session::ChooseSelection(int selectionIndex) {
  // Set directly rather than clicked: most of these buttons are hidden, and after a failed
  // download the group stays disabled.
  for (int i = 0; i < app::SELECTION_COUNT; ++i) {
    window_->SetCheck(app::Selection(i)->button, i == selectionIndex ? 1 : 0);
  }
}

bool Session::Download(int selectionIndex, bool defaultCal, bool reboot, bool verify) {
  ChooseSelection(selectionIndex);
  window_->SetCheck(app::IDC_DEFAULT_CAL_DATA, defaultCal ? 1 : 0);
  window_->SetCheck(app::IDC_AUTO_REBOOT, reboot ? 1 : 0);
  // The flag decides, whatever the desktop program's settings say.
  window_->SetCheck(app::IDC_VERIFY_AFTER_DOWNLOAD, verify ? 1 : 0);
  const app::OperationResult result = Press(app::OperationId::Download, app::IDC_DOWNLOAD);
  // The log says only "Download Failed": say what the phone answered instead.
  if (const std::string refused = RefusedDownloadText(result); !refused.empty()) {
    errors_.Explain("veska-cli: Download failed: " + refused + "\n");
  }
  return result.Succeeded();
}

bool Session::Dump(const app::DumpArea& area, const std::string& file) {
  // The answers wait for the dialogs only when the dump can get as far as showing them: a
  // script left over would answer a later step's dialog.
  if (window_->IsEnabled(app::IDC_NAND_DUMP) && dlg_->StartCheck()) {
    host_.QueueModalScript([button = app::DumpAreaButton(area)](ui::HeadlessWindow& w) {
      w.Click(button);
      w.Click(ui::IDOK);
      return w.Ended() ? w.Result() : ui::IDCANCEL;
    });
    host_.QueueFileDialogAnswer(file);
  }
  // Whether the dump has written the file, should Ctrl-C end it: a file left as it was is no
  // partial dump.
  std::error_code error;
  const auto writtenBefore = std::filesystem::last_write_time(file, error);
  const bool existedBefore = !error;
  const app::OperationResult result = Press(app::OperationId::NandDump, app::IDC_NAND_DUMP);
  const auto writtenAfter = std::filesystem::last_write_time(file, error);
  const bool written = !error && (!existedBefore || writtenAfter != writtenBefore);
  // A failed or interrupted dump keeps the chunks it accepted: say that the file is not the
  // whole area. Only a file that could not be created was never touched.
  const bool notCreated = result.cause.kind == app::CauseKind::FileRefused &&
                          result.cause.rule == app::FileRule::CannotOpen;
  if ((result.outcome == app::Outcome::Failed && !notCreated) ||
      (result.outcome == app::Outcome::Cancelled && written)) {
    (void)SayIncomplete(errors_, file, "the dump of " + std::string(area.caption));
  }
  return result.Succeeded();
}

bool Session::Explore(const std::vector<ExploreAction>& actions) {
  if (!state_.sharedPort || state_.bootloaderMode.load() ||
      !window_->IsEnabled(app::IDC_DISCONNECT)) {
    errors_.Explain("veska-cli: TFS Explorer is not available now (connect first)\n");
    return false;
  }
  bool succeeded = true;
  ExploreFindings findings;
  findings.listed = [this](const std::string& directory,
                           const std::vector<std::string>& directories,
                           const std::vector<std::string>& files) {
    std::fflush(out_);
    if (arguments_.json) {
      nlohmann::ordered_json value;
      value["ls"] = directory;
      value["directories"] = directories;
      value["files"] = files;
      std::fprintf(out_, "%s\n", JsonLine(value).c_str());
      std::fflush(out_);
      return;
    }
    // The narrative names the files only; the window's tree shows the sub-directories too.
    std::string text = directory + ":\n";
    for (const std::string& name : directories) text += "  " + name + "/\n";
    for (const std::string& name : files) text += "  " + name + "\n";
    errors_.Note(text);
  };
  if (arguments_.json) {
    findings.statusRead = [this](const std::string& path, const explorer::FileStatus& status) {
      nlohmann::ordered_json value;
      value["stat"] = path;
      value["size"] = status.size;
      value["mode"] = status.mode;
      value["inode"] = status.inode;
      value["device_id"] = status.deviceId;
      value["dummy_entry"] = status.dummyEntry;
      value["accessed"] = explorer::DosDateText(status.accessDate);
      value["modified"] = explorer::DosDateTimeText(status.modifiedTime);
      value["changed"] = explorer::DosDateTimeText(status.changedTime);
      std::fflush(out_);
      std::fprintf(out_, "%s\n", JsonLine(value).c_str());
      std::fflush(out_);
    };
  }
  host_.QueueModalScript([this, &actions, &succeeded, &findings](ui::HeadlessWindow& w) {
    const ExploreOutcome outcome = ActInExplorer(w, host_, errors_, actions, findings);
    succeeded = outcome.succeeded;
    return outcome.dialogResult;
  });
  // The button is shown on the UART link only; the step runs the same operation on both.
  const app::OperationResult result = Perform(app::OperationId::TfsExplorer);
  return succeeded && result.Succeeded();
}

void Session::ExplainUnreadable(const std::string& path) {
  if (const std::string reason = operations::UnreadableReason(path); !reason.empty()) {
    errors_.Explain(
        app::Printf("veska-cli: %s: %s\n", path.empty() ? "(none)" : path.c_str(), reason.c_str()));
  }
}

bool Session::Checksum(int selectionIndex) {
  ChooseSelection(selectionIndex);
  const app::ImageInfo& info = app::Catalogue(app::Selection(selectionIndex)->files.front());
  if (!Perform(app::OperationId::Checksum).Succeeded()) {
    // The box keeps its words; which file and why go beside it.
    ExplainUnreadable((*dlg_).*info.path);
    return false;
  }
  PrintChecksum((*dlg_).*info.path);
  return true;
}

void Session::PrintChecksum(const std::string& path) {
  // For scripts ($(veska-cli checksum apps)): the fields went to standard error.
  std::fflush(out_);
  const std::string checksum = window_->GetText(app::IDC_CHECKSUM_FIELD);
  const std::string size = window_->GetText(app::IDC_FILE_SIZE);
  if (arguments_.json) {
    nlohmann::ordered_json value;
    value["path"] = path;
    value["size"] = std::strtoull(size.c_str(), nullptr, 10);
    value["crc32"] = checksum;
    std::fprintf(out_, "%s\n", JsonLine(value).c_str());
  } else {
    std::fprintf(out_, "%s %s %s\n", checksum.c_str(), size.c_str(), path.c_str());
  }
  std::fflush(out_);
}

bool Session::ChecksumFile(const std::string& path) {
  {
    std::lock_guard lock(resultsMutex_);
    results_.clear();
  }
  const app::OperationResult result =
      dlg_->Runner().RunHere(app::OperationId::Checksum, [this, &path] {
        if (operations::ShowChecksumOf(*dlg_, path)) {
          return app::OperationResult::Ended(app::OperationId::Checksum, app::Outcome::Done);
        }
        // The tool talks to no phone: it fails only on its file.
        return app::OperationResult::Ended(
            app::OperationId::Checksum, app::Outcome::Failed, 0, {},
            app::Cause::File(std::nullopt, app::FileRule::CannotOpen, path));
      });
  stepResult_ = result;
  if (!result.Succeeded()) {
    ExplainUnreadable(path);
    return false;
  }
  PrintChecksum(path);
  return true;
}

}  // namespace veska::station
