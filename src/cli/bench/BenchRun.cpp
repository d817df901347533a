#include "cli/bench/Bench.h"

#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <variant>

#include "app/FlashMap.h"
#include "app/Settings.h"
#include "cli/Interrupt.h"
#include "cli/PortList.h"
#include "cli/Records.h"
#include "cli/YesNoPrompt.h"
#include "cli/bench/Board.h"
#include "cli/bench/Report.h"
#include "link/Crc32.h"
#include "link/DeviceWatch.h"
#include "link/FilePath.h"
#include "link/PortNames.h"
#include "link/SerialPort.h"
#include "link/UsbLocation.h"
#include "station/PassRecorder.h"
#include "station/PortClaim.h"
#include "station/PortFiles.h"
#include "station/SlotService.h"
#include "station/StepTable.h"
#include "station/UnitSerials.h"
#include "ui/Host.h"

namespace veska::cli {

using namespace veska::station;

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

// What Ctrl-C's handler makes readable, to end a wait for the terminal's answer.
class CancelPipe {
 public:
  CancelPipe() {
#if !defined(_WIN32)
    if (::pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
#endif
  }
  ~CancelPipe() {
#if !defined(_WIN32)
    for (const int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
#endif
  }
  CancelPipe(const CancelPipe&) = delete;
  CancelPipe& operator=(const CancelPipe&) = delete;
  [[nodiscard]] int ReadEnd() const {
    return fds_[0];
  }
  // Never read: once fired, every later wait ends at once too.
  void Fire() {
#if !defined(_WIN32)
    if (fds_[1] >= 0) (void)!::write(fds_[1], "x", 1);
#endif
  }

 private:
  int fds_[2] = {-1, -1};
};

class BenchRun {
 public:
  BenchRun(const CliArguments& arguments, InterruptWatch& interrupts, std::FILE* out,
           std::FILE* err, const BenchOptions& options)
      : arguments_(arguments),
        interrupts_(interrupts),
        out_(out),
        err_(err),
        options_(options),
        single_(arguments.ports.size() == 1),
        board_(out, err, arguments.ports, single_,
               options.table.value_or(::isatty(::fileno(out)) == 1)),
        tags_(PortFileTags(arguments.ports)),
        keeper_(
            arguments, [this](const std::string& line) { SayForRun(line); }, "bench") {
    board_.SetTerminalInput(CanAskOnTerminal(err));
    crcTable_.BuildCrc32Table();
  }

  int Run() {
    // Everything that can refuse the run does so before any port opens or any file is made:
    // a mistyped step is one usage error, not one failure per port.
    if (const StepPlan plan = PlanSteps(arguments_.steps); !plan.error.empty()) {
      std::fprintf(err_, "veska-cli: %s\n", plan.error.c_str());
      return EXIT_USAGE;
    }
    if (!FindDevices()) return EXIT_USAGE;
    if (!arguments_.report.empty()) {
      report_ = std::make_unique<ReportFile>(link::PathOf(arguments_.report), arguments_.ports,
                                             arguments_.steps, arguments_.operatorName);
      if (const std::string refusal = report_->Refusal(); !refusal.empty()) {
        std::fprintf(err_,
                     "veska-cli: the report %s %s; a report is written only to a regular file "
                     "or a new one\n",
                     arguments_.report.c_str(), refusal.c_str());
        return EXIT_INPUT_REFUSED;
      }
    }
    if (!keeper_.Start()) return EXIT_INPUT_REFUSED;
    if (!single_ && !OpenLogFiles()) return EXIT_INPUT_REFUSED;
    if (report_ && !report_->Begin()) {
      std::fprintf(err_, "veska-cli: the report %s could not be written\n",
                   arguments_.report.c_str());
      return EXIT_INPUT_REFUSED;
    }
    PlanPortFiles();

    for (const std::string& device : devices_) {
      watches_.push_back(std::make_unique<link::DeviceWatch>());
      // A pseudo-terminal or a link to one comes with no hot-plug event: its folder is watched.
      if (!link::UsbPlaceOf(device)) watches_.back()->WatchPath(device);
    }
    interrupts_.SetHandler([this] {
      {
        std::lock_guard lock(sessionsMutex_);
        for (CliSession* session : live_) {
          if (session != nullptr) session->Cancel();
        }
      }
      for (const auto& watch : watches_) watch->Cancel();
      cancel_.Fire();
      std::lock_guard lock(waitMutex_);
      waitWake_.notify_all();
    });
    live_.assign(arguments_.ports.size(), nullptr);
    inputEnded_.assign(arguments_.ports.size(), 0);
    statuses_.assign(arguments_.ports.size(), EXIT_OK);
    incomplete_.assign(arguments_.ports.size(), std::string());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < arguments_.ports.size(); ++i) {
      threads.emplace_back([this, i] { ServePort(i); });
    }
    for (std::thread& thread : threads) thread.join();
    interrupts_.SetHandler({});
    keeper_.Finish();
    board_.Stop();

    int status = WorstExitStatus(statuses_);
    if (interrupts_.Interrupted()) {
      for (std::size_t i = 0; i < incomplete_.size(); ++i) {
        if (!incomplete_[i].empty()) {
          std::fprintf(err_, "veska-cli: %s: the phone was left incomplete (%s)\n",
                       arguments_.ports[i].c_str(), incomplete_[i].c_str());
        }
      }
      // With one port the session has said so itself.
      if (!single_) std::fprintf(err_, "veska-cli: interrupted\n");
      status = interrupts_.ExitStatus();
    }
    if (report_ && !WriteReport(status)) {
      const std::string lacking = report_->Lacking();
      std::fprintf(err_, "veska-cli: the report %s could not be written (%s)%s%s\n",
                   arguments_.report.c_str(), report_->Problem().c_str(),
                   lacking.empty() ? "" : "; it lacks the records of ", lacking.c_str());
      if (status == EXIT_OK) status = EXIT_INPUT_REFUSED;
    } else if (report_ && !report_->Lacking().empty()) {
      // Written at last, but without the records given up while the disk stayed full.
      std::fprintf(err_, "veska-cli: the report %s lacks the records of %s\n",
                   arguments_.report.c_str(), report_->Lacking().c_str());
      if (status == EXIT_OK) status = EXIT_INPUT_REFUSED;
    }
    if (!single_) {
      std::fprintf(err_, "veska-cli: logs in %s\n", link::Utf8Of(logFolder_).c_str());
    }
    return status;
  }

 private:
  // The device of each port. Two names of one device (COM5 and com5, a link and its target, a
  // COMn and the path the settings give it) would be two sessions fighting over one phone.
  bool FindDevices() {
    link::LinkState state;
    state.portPaths =
        app::Settings(SettingsFileOf(arguments_), app::SettingsAccess::ReadOnly).PortOverrides();
    std::map<std::string, std::size_t> seen;
    std::vector<std::pair<link::UsbLocation, std::size_t>> places;
    for (std::size_t i = 0; i < arguments_.ports.size(); ++i) {
      const std::string& port = arguments_.ports[i];
      std::size_t same = i;
      if (const std::optional<std::string_view> usb = link::UsbPlaceOf(port)) {
        // A hub's port: its device comes and goes, and is looked for at every pass.
        const std::optional<link::UsbLocation> location = link::ParseUsbLocation(*usb);
        if (!location) {
          std::fprintf(err_,
                       "veska-cli: %s is no USB location (usb:1-1.3, "
                       "usb:pci-0000:00:14.0-usb-0:1.3, as veska-cli ports shows them)\n",
                       port.c_str());
          return false;
        }
        devices_.push_back("usb:" + location->Text());
        for (const auto& [other, index] : places) {
          if (link::SameUsbPort(other, *location)) same = index;
        }
        places.emplace_back(*location, i);
      } else {
        devices_.push_back(PortDevice(port, state));
        same = seen.emplace(DeviceIdentity(devices_.back()), i).first->second;
      }
      if (same != i) {
        std::fprintf(err_, "veska-cli: %s and %s are the same port\n",
                     arguments_.ports[same].c_str(), port.c_str());
        return false;
      }
    }
    return true;
  }

  bool OpenLogFiles() {
    logFolder_ = arguments_.logDir.empty() ? std::filesystem::path("veska-bench-" + LocalStamp())
                                           : link::PathOf(arguments_.logDir);
    std::error_code error;
    std::filesystem::create_directories(logFolder_, error);
    if (error) {
      std::fprintf(err_, "veska-cli: cannot create the log folder %s: %s\n",
                   link::Utf8Of(logFolder_).c_str(), error.message().c_str());
      return false;
    }
    logDays_.assign(tags_.size(), LogDay());
    for (std::size_t i = 0; i < tags_.size(); ++i) {
      const std::filesystem::path path = LogPath(i);
      std::string problem;
      logs_.push_back(CreateLogFile(path, problem));
      if (!logs_.back()) {
        std::fprintf(err_, "veska-cli: cannot write the log file %s: %s\n",
                     link::Utf8Of(path).c_str(), problem.c_str());
        return false;
      }
    }
    return true;
  }

  // --log-split daily: the day each port's log is named after; "" for one log a port.
  std::string LogDay() const {
    if (arguments_.logSplit != "daily") return "";
    return options_.today ? options_.today() : LocalDay();
  }

  std::filesystem::path LogPath(std::size_t index) const {
    const std::string& day = logDays_[index];
    return logFolder_ / (tags_[index] + (day.empty() ? "" : "-" + day) + ".log");
  }

  // --log-split daily: the first phone of a new day starts the port's log of that day. A log
  // that cannot be made leaves the phone in the old one.
  void SplitLog(std::size_t index) {
    const std::string day = LogDay();
    if (day == logDays_[index]) return;
    const std::string old = logDays_[index];
    logDays_[index] = day;
    std::string problem;
    link::UniqueFile file = CreateLogFile(LogPath(index), problem);
    if (!file) {
      const std::string path = link::Utf8Of(LogPath(index));
      logDays_[index] = old;
      Say(index, "veska-cli: cannot write the log file " + path + ": " + problem +
                     "; the log goes on in " + link::Utf8Of(LogPath(index)));
      return;
    }
    logs_[index] = std::move(file);
  }

  // With several ports, each writes its own copy of every file the steps write, named after the
  // port; standard error says which.
  void PlanPortFiles() {
    for (std::size_t i = 0; i < arguments_.ports.size(); ++i) {
      portSteps_.push_back(single_ ? arguments_.steps : StepsForPort(arguments_.steps, tags_[i]));
    }
    if (single_) return;
    for (std::size_t word = 0; word < arguments_.steps.size(); ++word) {
      if (portSteps_[0][word] == arguments_.steps[word]) continue;
      std::string names;
      for (const std::vector<std::string>& steps : portSteps_) {
        names += (names.empty() ? "" : ", ") + steps[word];
      }
      std::fprintf(err_, "veska-cli: each port writes its own %s: %s\n",
                   arguments_.steps[word].c_str(), names.c_str());
    }
  }

  // A line of the run's own on standard error, around the table.
  void SayForRun(const std::string& line) {
    if (single_) {
      std::fprintf(err_, "%s\n", line.c_str());
      std::fflush(err_);
    } else {
      board_.Say(line);
    }
  }

  std::string PayloadsInUse() {
    std::lock_guard lock(recordsMutex_);
    return payloads_;
  }

  // A line of the run's own about one port on standard error.
  void Say(std::size_t index, const std::string& line) {
    if (single_) {
      std::fprintf(err_, "%s\n", line.c_str());
      std::fflush(err_);
    } else {
      board_.Message(index, line);
    }
  }

  // Waits up to `pause`, or less when Ctrl-C comes; false after Ctrl-C.
  bool Rest(std::chrono::milliseconds pause) {
    std::unique_lock lock(waitMutex_);
    return !waitWake_.wait_for(lock, pause, [this] { return interrupts_.Interrupted(); });
  }

  [[nodiscard]] bool UsbLink() const { return arguments_.link == "usb"; }

  // One port as the station's slot service sees it.
  class PortHost final : public SlotHost {
   public:
    PortHost(BenchRun& run, std::size_t index, std::FILE* errors)
        : run_(run), index_(index), errors_(errors) {}
    [[nodiscard]] bool Stopping() const override {
      return run_.interrupts_.Interrupted() || run_.inputEnded_[index_] != 0;
    }
    bool Rest(std::chrono::milliseconds pause) override { return run_.Rest(pause); }
    [[nodiscard]] std::string Device() override {
      return DeviceNow(run_.devices_[index_], run_.devices_[index_]);
    }
    link::DeviceWatch& Watch() override { return *run_.watches_[index_]; }
    void Waiting(std::string_view what) override { run_.board_.Waiting(index_, std::string(what)); }
    void Say(const std::string& line) override { run_.Say(index_, line); }
    // With several ports the run says so at its end; with one, its session would have.
    void WaitStopped() override {
      if (run_.single_) std::fprintf(run_.err_, "veska-cli: interrupted\n");
    }
    void PassBegins() override {
      if (!run_.single_) run_.SplitLog(index_);
      if (run_.arguments_.askSerial) run_.AskSerial(index_);
    }
    PassEnd ServePhone(int pass, const std::string& /*device*/, PhoneRecord& phone) override {
      // No serial came (Ctrl-C, the terminal's input ended): no phone is served without one.
      if (run_.arguments_.askSerial && run_.serials_.Held(index_).empty()) return PassEnd::NoPhone;
      phone.unitSerial = run_.serials_.Held(index_);
      std::FILE* log = run_.single_ ? run_.out_ : run_.logs_[index_].get();
      return run_.ServePhone(index_, pass, log, errors_, phone);
    }
    bool Served(const PhoneRecord& phone) override {
      run_.board_.PassEnded(index_, phone);
      run_.keeper_.Keep(ToRecord(
          phone, {StationOf(run_.arguments_), run_.devices_[index_], run_.arguments_.release,
                  run_.PayloadsInUse(), run_.arguments_.operatorName}));
      run_.Record(phone);
      // The unit is served: the port's next phone is asked for its own.
      run_.serials_.Release(index_);
      if (!run_.arguments_.repeat || Stopping()) return false;
      run_.board_.Waiting(index_);
      if (run_.options_.afterPass)
        run_.options_.afterPass(run_.arguments_.ports[index_], phone.pass);
      return true;
    }

   private:
    BenchRun& run_;
    std::size_t index_;
    std::FILE* errors_;
  };

  void ServePort(std::size_t index) {
    // Several ports share the console: the board shows what each session says, from its
    // events, so the sessions' own standard error goes nowhere.
    std::FILE* errors = single_ || !discard_ ? err_ : discard_.get();
    PortHost host(*this, index, errors);
    statuses_[index] =
        ServeSlot(host, {arguments_.ports[index], devices_[index], arguments_.repeat, UsbLink()});
  }

  // --ask-serial: the unit's serial for the port's next phone, asked on the terminal until one
  // is taken (an empty answer asks again). The end of the terminal's input ends the port's
  // service; Ctrl-C ends the question.
  void AskSerial(std::size_t index) {
    if (!serials_.Held(index).empty()) return;  // the phone it was for has not come yet
    const std::string& port = arguments_.ports[index];
    const auto take = [this, index](const std::string& answer) -> std::pair<bool, std::string> {
      std::string serial;
      const std::string refusal = serials_.Take(index, answer, serial);
      if (!refusal.empty()) return {false, "veska-cli: " + refusal};
      return {!serial.empty(), std::string()};
    };
    const std::optional<std::string> answer =
        board_.AskLine("serial for " + port + ": ", take, cancel_.ReadEnd(), records::kMaxUnitText);
    if (!answer && !interrupts_.Interrupted()) {
      inputEnded_[index] = 1;
      Say(index, "veska-cli: " + port +
                     ": the terminal's input ended without a serial; the port serves no further "
                     "phone");
    }
  }

  // The command line of the port's session.
  CliArguments SessionArguments(std::size_t index) const {
    CliArguments arguments = arguments_;
    arguments.port = arguments_.ports[index];
    arguments.ports = {arguments.port};
    arguments.steps = portSteps_[index];
    if (!single_ && arguments.progress.empty()) arguments.progress = "none";
    return arguments;
  }

  // One phone on the port: its record in `phone`.
  PassEnd ServePhone(std::size_t index, int pass, std::FILE* log, std::FILE* errors,
                     PhoneRecord& phone) {
    phone.port = arguments_.ports[index];
    phone.pass = pass;
    phone.started = UtcNow();
    const Clock::time_point started = Clock::now();

    if (!single_) WriteToLog(index, LogHeader(phone));
    CliSession session(SessionArguments(index), log, errors);
    PassRecorder recorder(&board_, index, crcTable_, phone);
    Prepare(session, index, recorder);
    const int status = RunLive(session, index);
    recorder.NoteEnd(status, started, session.Dialog());
    {
      std::lock_guard lock(recordsMutex_);
      payloads_ = session.State().payloads.Describe();
    }
    const PassEnd end =
        ConcludePass(status, interrupts_.Interrupted(), interrupts_.ExitStatus(), arguments_.repeat,
                     PresentAt(devices_[index], DeviceNow(devices_[index], devices_[index])),
                     recorder, session.Dialog().PortFailureReason(), phone);
    // A phone that answered and was stopped is left half done: where, is said at the run's end.
    if (phone.interrupted && recorder.Answered()) {
      incomplete_[index] = WhereStopped(recorder.Running(), phone.steps);
    }
    if (!single_) {
      // The session's log may stop in the middle of a line.
      std::fflush(log);
      const std::string verdict = end == PassEnd::Phone
                                      ? LogVerdict(phone)
                                      : "== veska-cli: " + phone.port + ": no phone answered ==\n";
      WriteToLog(index, (LogEndsLine(index) ? "" : "\n") + verdict);
    }
    return end;
  }

  // A line of the run's own in the port's log file (several ports), around a phone's own log.
  void WriteToLog(std::size_t index, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), logs_[index].get());
    std::fflush(logs_[index].get());
  }

  // True when the port's log file is empty or its last byte ends a line.
  bool LogEndsLine(std::size_t index) const {
    std::ifstream file(LogPath(index), std::ios::binary | std::ios::ate);
    if (!file || file.tellg() <= 0) return true;
    file.seekg(-1, std::ios::end);
    char last = '\n';
    file.get(last);
    return last == '\n';
  }

  void Prepare(CliSession& session, std::size_t index, PassRecorder& recorder) {
    // Several ports: the table shows what the field lines would repeat for every image.
    if (!single_) session.ShowFieldLines(false);
    if (options_.prepare) options_.prepare(session, arguments_.ports[index]);
    session.ObserveInterrupts(interrupts_);
    recorder.Observe(session);
    if (!single_) {
      session.SetQuestionAsker([this, index](std::string_view text, std::string_view caption) {
        return board_.Ask(index, text, caption);
      });
    }
  }

  // Runs the session where Ctrl-C can reach it; its exit status.
  int RunLive(CliSession& session, std::size_t index) {
    {
      std::lock_guard lock(sessionsMutex_);
      live_[index] = &session;
    }
    const int status = interrupts_.Interrupted() ? EXIT_INTERRUPTED : session.Run();
    std::lock_guard lock(sessionsMutex_);
    live_[index] = nullptr;
    return status;
  }

  // Adds a phone's record to the report. A refused write is said once, until a write is
  // taken again; the record waits for the next.
  void Record(const PhoneRecord& phone) {
    if (!report_) return;
    std::lock_guard lock(recordsMutex_);
    const bool written =
        report_->Add(phone.port + " phone " + std::to_string(phone.pass), PhoneJson(phone));
    if (!written && !reportRefused_) {
      SayForRun("veska-cli: the report " + arguments_.report + " could not be written (" +
                report_->Problem() + "); its records wait for the next phone");
    }
    reportRefused_ = !written;
  }

  // The report a last time, with the run's `status`.
  bool WriteReport(int status) {
    std::lock_guard lock(recordsMutex_);
    return report_->Finish(status);
  }

  const CliArguments& arguments_;
  InterruptWatch& interrupts_;
  std::FILE* out_;
  std::FILE* err_;
  const BenchOptions& options_;
  bool single_;
  Board board_;
  link::UniqueFile discard_{std::fopen(kNullDevice, "w")};  // where no one reads
  link::Crc32Table crcTable_;
  std::filesystem::path logFolder_;
  std::vector<std::string> tags_;                    // what names each port's own files
  std::vector<std::string> devices_;                 // each port's device
  std::vector<link::UniqueFile> logs_;               // each port's log (several ports)
  std::vector<std::string> logDays_;                 // the day each log is named after
  std::vector<std::vector<std::string>> portSteps_;  // the steps as each port runs them

  std::mutex sessionsMutex_;
  std::vector<CliSession*> live_;        // the session running on each port, for Ctrl-C
  std::vector<char> inputEnded_;         // the terminal gave the port no serial: it serves no more
  std::vector<int> statuses_;            // each port's worst exit status (its own thread writes it)
  std::vector<std::string> incomplete_;  // the step a Ctrl-C cut short, by port

  // Ctrl-C ends the ports' rests and their waits for their devices.
  std::mutex waitMutex_;
  std::condition_variable waitWake_;
  // Each port's watch of the devices, made before Ctrl-C's handler, which cancels them.
  std::vector<std::unique_ptr<link::DeviceWatch>> watches_;
  CancelPipe cancel_;                      // ends the wait for a serial on Ctrl-C
  UnitSerials serials_{arguments_.ports};  // --ask-serial: each port's unit for its next phone

  std::mutex recordsMutex_;
  std::unique_ptr<ReportFile> report_;
  bool reportRefused_ = false;  // the last write of the report was refused
  std::string payloads_;        // the loader payloads the sessions use
  RecordKeeper keeper_;         // last, so gone first: its writer speaks through the board
};

}  // namespace

bool IsBenchRun(const CliArguments& arguments) {
  return arguments.ports.size() > 1 || arguments.repeat || arguments.askSerial ||
         !arguments.report.empty();
}

int RunBench(const CliArguments& arguments, InterruptWatch& interrupts, std::FILE* out,
             std::FILE* err, const BenchOptions& options) {
  if (arguments.ports.empty()) {
    std::fprintf(err, "veska-cli: a bench run needs its ports (--port COMn, once per phone)\n");
    return EXIT_USAGE;
  }
  BenchRun run(arguments, interrupts, out, err, options);
  return run.Run();
}

}  // namespace veska::cli
