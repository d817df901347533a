#include "station/Bench.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "app/FlashMap.h"
#include "app/Settings.h"
#include "app/TransferRate.h"
#include "link/Crc32.h"
#include "link/DeviceWatch.h"
#include "link/FilePath.h"
#include "link/LinkState.h"
#include "link/PortNames.h"
#include "link/SerialPort.h"
#include "link/UniqueFile.h"
#include "link/UsbLocation.h"
#include "station/PassRecorder.h"
#include "station/PortClaim.h"
#include "station/PortFiles.h"
#include "station/Records.h"
#include "station/Session.h"
#include "station/SlotService.h"
#include "station/StepTable.h"
#include "station/UnitSerials.h"

namespace veska::station {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#if defined(_WIN32)
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

// A slot's log text kept for its view: the phone's last mebibyte.
constexpr std::size_t kMaxSlotLog = std::size_t{1} << 20;
// Progress is told to the observer at most this often; the rows always hold the latest.
constexpr auto kProgressEventInterval = 100ms;

// The device a slot's place stands for now, "" while it stands for none: a COMn through the
// settings' [Ports] and the built-in table, a path as it is.
std::string DeviceAt(const std::string& place, const link::LinkState& ports) {
  // A hub's port: the device plugged in there now (the place's own words while none is).
  if (link::UsbPlaceOf(place)) return DeviceNow(place, place);
  const int number = link::ParseComName(place);
  return link::DevicePathFor(number > 0 ? link::ComName(number) : place, ports);
}

void KeepLast(std::string& text, std::size_t limit) {
  if (text.size() > limit) text.erase(0, text.size() - limit);
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// What the sessions and the serving loop say names the command line at the start of each line,
// which its logs and records keep; a window shows the words without it.
std::string WithoutProgramName(std::string text) {
  constexpr std::string_view kProgram = "veska-cli: ";
  for (std::size_t at = 0; at < text.size();) {
    if (std::string_view(text).substr(at).starts_with(kProgram)) text.erase(at, kProgram.size());
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return text;
}

// A slot's stop: its session watches it as a console run watches Ctrl-C, and the handler the
// session sets (Disconnect's click) runs under the lock, so WaitHandled waits for it.
class SlotStop final : public StopSignal {
 public:
  void SetHandler(std::function<void()> handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  [[nodiscard]] bool Interrupted() const override { return stopped_.load(); }
  void WaitHandled() override { std::lock_guard lock(mutex_); }
  void Fire() {
    stopped_.store(true);
    std::lock_guard lock(mutex_);
    if (watch_ != nullptr) watch_->Cancel();
    if (handler_) handler_();
  }
  // The slot's device watch while it waits on one (nothing: none), which the stop ends.
  void Watching(link::DeviceWatch* watch) {
    std::lock_guard lock(mutex_);
    watch_ = watch;
    if (watch_ != nullptr && stopped_.load()) watch_->Cancel();
  }
  void Reset() { stopped_.store(false); }

 private:
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::function<void()> handler_;
  link::DeviceWatch* watch_ = nullptr;  // not owned
};

}  // namespace

std::string_view StateWord(SlotState state) {
  switch (state) {
    case SlotState::Stopped:
      return "stopped";
    case SlotState::Waiting:
      return "waiting for a phone";
    case SlotState::Connecting:
      return "connecting";
    case SlotState::Writing:
      return "writing";
    case SlotState::Verifying:
      return "verifying";
    case SlotState::Passed:
      return "PASS";
    case SlotState::Failed:
      return "FAIL";
    case SlotState::Quarantined:
      return "quarantined: check the cable and the port";
  }
  return "";
}

class Bench::Impl {
 public:
  explicit Impl(BenchPlan plan) : plan_(std::move(plan)), serials_(SlotNames(plan_)) {
    crcTable_.BuildCrc32Table();
    options_.link = plan_.link;
    options_.baud = plan_.baud;
    options_.release = plan_.release;
    options_.settings = plan_.settings;
    options_.records = plan_.records;
    options_.station = plan_.station;
    options_.operatorName = plan_.operatorName;
    options_.progress = "none";
    options_.steps = {"connect", "download"};
    for (std::size_t from = 0; from < plan_.selection.size();) {
      const std::size_t begin = plan_.selection.find_first_not_of(" \t", from);
      if (begin == std::string::npos) break;
      const std::size_t end =
          std::min(plan_.selection.find_first_of(" \t", begin), plan_.selection.size());
      options_.steps.push_back(plan_.selection.substr(begin, end - begin));
      from = end;
    }
    if (plan_.defaultCal) options_.steps.emplace_back("--default-cal");
    if (plan_.verify) options_.steps.emplace_back("--verify");
    if (plan_.reboot) options_.steps.emplace_back("--reboot");
    ports_.portPaths =
        app::Settings(SettingsFileOf(options_), app::SettingsAccess::ReadOnly).PortOverrides();
    std::vector<std::string> names;
    for (const Slot& slot : plan_.slots) names.push_back(slot.name);
    const std::vector<std::string> tags = PortFileTags(names);
    for (std::size_t i = 0; i < plan_.slots.size(); ++i) {
      auto slot = std::make_unique<SlotData>();
      slot->row.name = plan_.slots[i].name;
      slot->row.place = plan_.slots[i].place;
      slot->row.stateText = std::string(StateWord(SlotState::Stopped));
      slot->logPath = plan_.logFolder / (tags[i] + ".log");
      slots_.push_back(std::move(slot));
    }
  }

  ~Impl() {
    StopAll();
    for (const auto& slot : slots_) {
      if (slot->thread.joinable()) slot->thread.join();
    }
    std::lock_guard lock(keeperMutex_);
    if (keeper_ && keeperStarted_.load()) keeper_->Finish();
  }

  void SetObserver(std::function<void(const SlotEvent&)> observer) {
    std::lock_guard lock(observerMutex_);
    observer_ = std::move(observer);
  }

  void SetQuestionAsker(QuestionAsker asker) {
    std::lock_guard lock(askMutex_);
    asker_ = std::move(asker);
    answers_.clear();
  }

  void SetSessionHook(std::function<void(Session&, std::size_t)> hook) {
    std::lock_guard lock(hookMutex_);
    hook_ = std::move(hook);
  }

  std::string Check() { return WithoutProgramName(CheckAll()); }

  std::string CheckAll() {
    if (plan_.slots.empty()) return "veska-cli: the bench has no slots";
    // Two names of one device would be two slots fighting over one phone.
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < plan_.slots.size(); ++i) {
      const std::string device = DeviceAt(plan_.slots[i].place, ports_);
      if (!DevicePresent(device)) continue;
      if (const auto [it, added] = seen.emplace(DeviceIdentity(device), i); !added) {
        return "veska-cli: " + plan_.slots[it->second].place + " and " + plan_.slots[i].place +
               " are the same port";
      }
    }
    if (std::string refusal = StartRecords(); !refusal.empty()) return refusal;
    // The planned files, examined by a session as each phone's will: the same rules and boxes.
    RunOptions options = options_;
    options.port = plan_.slots.front().place;
    Session session(options, discard_.get(), discard_.get());
    std::mutex said;
    std::string box;
    std::string explanation;
    session.SetEventObserver([&](const app::SessionEvent& event) {
      std::lock_guard lock(said);
      if (const auto* shown = std::get_if<app::MessageShown>(&event); shown && box.empty()) {
        box = shown->text;
      } else if (const auto* line = std::get_if<app::Said>(&event);
                 line && line->kind == app::Said::Kind::Explanation) {
        explanation += line->text;
      }
    });
    if (session.Check() != EXIT_OK) {
      std::lock_guard lock(said);
      while (!explanation.empty() && explanation.back() == '\n') explanation.pop_back();
      return box.empty() ? explanation : box + "\n" + explanation;
    }
    MeasureGroup(session);
    return "";
  }

  std::string StartAll() {
    std::string refusals;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (std::string refusal = Start(i); !refusal.empty()) {
        // The records' refusal is the whole bench's: once is enough.
        if (refusals.find(refusal) == std::string::npos) {
          refusals += (refusals.empty() ? "" : "\n") + refusal;
        }
      }
    }
    return refusals;
  }

  void StopAll() {
    for (std::size_t i = 0; i < slots_.size(); ++i) Stop(i);
  }

  std::string Start(std::size_t index) {
    if (index >= slots_.size()) return "";
    std::lock_guard control(controlMutex_);
    SlotData& slot = *slots_[index];
    if (slot.serving.load() && !slot.stop.Interrupted()) return "";
    if (plan_.requireSerial && serials_.Held(index).empty()) {
      return Refuse(index, plan_.slots[index].name +
                               ": scan or type the unit's serial first: this bench serves no "
                               "phone without one");
    }
    // A slot stopped a moment ago ends quickly: its phone was cancelled.
    if (slot.thread.joinable()) slot.thread.join();
    if (const std::string refusal = StartRecords(); !refusal.empty()) {
      return Refuse(index, refusal);
    }
    if (!slot.log) {
      std::error_code error;
      std::filesystem::create_directories(plan_.logFolder, error);
      std::string problem;
      slot.log = CreateLogFile(slot.logPath, problem);
      if (!slot.log) {
        return Refuse(index, "veska-cli: cannot write the log file " + link::Utf8Of(slot.logPath) +
                                 ": " + problem);
      }
    }
    slot.stop.Reset();
    slot.serving.store(true);
    Change(index, [](SlotRow& row) {
      if (row.state == SlotState::Quarantined) row.failuresInRow = 0;
      row.serving = true;
      row.state = SlotState::Waiting;
      row.stateText = std::string(StateWord(SlotState::Waiting));
    });
    {
      std::lock_guard lock(mutex_);
      if (!everStarted_) {
        everStarted_ = true;
        firstStart_ = Clock::now();
      }
    }
    slot.thread = std::thread([this, index] { Serve(index); });
    return "";
  }

  // A start refused: said as the slot's line, and returned for the view that asked.
  std::string Refuse(std::size_t index, const std::string& why) {
    Emit(index, SlotEvent::Kind::Message, why);
    return WithoutProgramName(why);
  }

  // Cancels the slot's phone as Disconnect does and returns at once: the slot's thread says
  // Stopped as it ends. The question asker and the observer may thus wait for the thread that
  // stops the bench.
  void Stop(std::size_t index) {
    if (index >= slots_.size()) return;
    std::lock_guard control(controlMutex_);
    SlotData& slot = *slots_[index];
    slot.stop.Fire();
    Wake();
    // The unit is not served here after all: its serial may go to another slot.
    serials_.Release(index);
    Change(index, [](SlotRow& row) { row.unitSerial.clear(); });
    if (slot.serving.load()) return;
    // Nothing runs (never started, or quarantined): the row says so now.
    Change(index, [](SlotRow& row) {
      row.serving = false;
      row.state = SlotState::Stopped;
      row.stateText = std::string(StateWord(SlotState::Stopped));
    });
  }

  std::string SetUnitSerial(std::size_t index, std::string_view raw) {
    if (index >= slots_.size()) return "no such slot";
    std::string serial;
    if (std::string refusal = serials_.Take(index, raw, serial); !refusal.empty()) return refusal;
    Change(index, [&serial](SlotRow& row) { row.unitSerial = serial; });
    return "";
  }

  [[nodiscard]] std::size_t SlotCount() const { return slots_.size(); }

  [[nodiscard]] std::vector<SlotRow> Rows() const {
    std::lock_guard lock(mutex_);
    std::vector<SlotRow> rows;
    for (const auto& slot : slots_) rows.push_back(slot->row);
    return rows;
  }

  [[nodiscard]] Totals Sum() const {
    std::lock_guard lock(mutex_);
    Totals totals;
    for (const auto& slot : slots_) {
      totals.passed += slot->row.passes;
      totals.failed += slot->row.failures;
    }
    const int phones = totals.passed + totals.failed;
    if (firstTries_ > 0) {
      totals.firstPassYield = static_cast<double>(firstTryPasses_) / firstTries_;
    }
    if (phones > 0) {
      totals.meanCycleSeconds = cycleSeconds_ / phones;
      const double hours =
          std::chrono::duration<double>(Clock::now() - firstStart_).count() / 3600.0;
      if (hours > 0) totals.phonesPerHour = phones / hours;
    }
    return totals;
  }

  [[nodiscard]] std::string SlotLog(std::size_t index) const {
    if (index >= slots_.size()) return {};
    std::lock_guard lock(mutex_);
    const SlotData& slot = *slots_[index];
    return slot.answered || slot.lastLog.empty() ? slot.log_ : slot.lastLog;
  }

  [[nodiscard]] std::filesystem::path SlotLogFile(std::size_t index) const {
    return index < slots_.size() ? slots_[index]->logPath : std::filesystem::path();
  }

 private:
  struct SlotData {
    SlotRow row;
    SlotStop stop;
    std::thread thread;
    std::atomic<bool> serving{false};  // its thread runs
    link::UniqueFile log;
    std::filesystem::path logPath;
    std::string log_;       // the text of this pass's log
    std::string lastLog;    // the text of the last phone's
    bool answered = false;  // a phone answered in this pass
    bool logEndsLine = true;
    bool lastFailed = false;  // the slot's last phone failed: the next is likely its retry
    int phones = 0;           // the phones served so far, for their numbers
    app::RateWindow rate{std::chrono::seconds(3), std::chrono::milliseconds(500)};
    std::int64_t doneBefore = 0;  // bytes written under the ranges before the current one
    std::int64_t rangeUpper = 0;
    Clock::time_point lastProgressEvent{};
  };

  // What a slot's pass shows, from its recorder: the steps, the progress and what was said.
  class SlotView final : public PassView {
   public:
    explicit SlotView(Impl& bench) : bench_(bench) {}
    void StepStarted(std::size_t, const app::StepBegan&) override {}
    void StepEnded(std::size_t, const app::StepEnded&) override {}
    void ImageNamed(std::size_t, const std::string&) override {}
    void ProgressRange(std::size_t slot, std::int64_t upper) override {
      bench_.ProgressRange(slot, upper);
    }
    void ProgressAt(std::size_t slot, std::int64_t position) override {
      bench_.ProgressAt(slot, position);
    }
    void Message(std::size_t slot, const std::string& line) override {
      bench_.Emit(slot, SlotEvent::Kind::Message, line);
    }

   private:
    Impl& bench_;
  };

  void Emit(std::size_t slot, SlotEvent::Kind kind, std::string text = {}) {
    SlotEvent event;
    event.slot = slot;
    event.at = std::chrono::system_clock::now();
    event.kind = kind;
    event.text = WithoutProgramName(std::move(text));
    std::lock_guard lock(observerMutex_);
    if (observer_) observer_(event);
  }

  // Edits the slot's row and tells the observer.
  template <class Edit>
  void Change(std::size_t index, Edit edit) {
    {
      std::lock_guard lock(mutex_);
      edit(slots_[index]->row);
    }
    Emit(index, SlotEvent::Kind::Changed);
  }

  // Between phones: a verdict stays on the row until the next phone starts.
  void Waiting(std::size_t index, std::string_view what) {
    Change(index, [what](SlotRow& row) {
      if (row.state == SlotState::Passed || row.state == SlotState::Failed) return;
      row.state = SlotState::Waiting;
      row.stateText = std::string(what);
    });
  }

  void Wake() {
    std::lock_guard lock(wakeMutex_);
    wake_.notify_all();
  }

  // Waits up to `pause`, or less when the slot is stopped; false once it is.
  bool Rest(std::size_t index, std::chrono::milliseconds pause) {
    const SlotStop& stop = slots_[index]->stop;
    std::unique_lock lock(wakeMutex_);
    return !wake_.wait_for(lock, pause, [&stop] { return stop.Interrupted(); });
  }

  // The records' store, started once for the whole bench; "" when it is there, else why not.
  std::string StartRecords() {
    std::lock_guard lock(keeperMutex_);
    if (keeperStarted_.load()) return "";
    {
      std::lock_guard said(keeperSaidMutex_);
      keeperSaid_.clear();
    }
    // What the keeper says while it starts is the refusal's text; later, a line for the bench.
    keeper_ = std::make_unique<RecordKeeper>(
        options_,
        [this](const std::string& line) {
          if (keeperStarted_.load()) {
            Emit(kWholeBench, SlotEvent::Kind::Message, line);
            return;
          }
          std::lock_guard said(keeperSaidMutex_);
          keeperSaid_ += (keeperSaid_.empty() ? "" : "\n") + line;
        },
        "bench");
    if (!keeper_->Start()) {
      keeper_.reset();
      std::lock_guard said(keeperSaidMutex_);
      return keeperSaid_.empty() ? "veska-cli: the records cannot be kept" : keeperSaid_;
    }
    keeperStarted_.store(true);
    return "";
  }

  // The group's bytes and images, as the checked session's window names its files.
  void MeasureGroup(Session& session) {
    const StepPlan plan = PlanSteps(options_.steps);
    std::int64_t bytes = 0;
    int images = 0;
    for (const PlannedStep& step : plan.steps) {
      const auto* download = std::get_if<steps::Download>(&step.action);
      if (download == nullptr) continue;
      for (const app::ImageKind kind : app::Selection(download->selection)->written) {
        // A group writes the calibration images only when asked for them.
        if (app::Catalogue(kind).calibration && !plan_.defaultCal) continue;
        const std::string& path = session.Dialog().*app::Catalogue(kind).path;
        std::error_code error;
        const auto size = std::filesystem::file_size(link::PathOf(path), error);
        if (path.empty() || error) continue;
        bytes += static_cast<std::int64_t>(size);
        ++images;
      }
    }
    std::lock_guard lock(mutex_);
    groupBytes_ = bytes;
    groupImages_ = images;
  }

  static std::vector<std::string> SlotNames(const BenchPlan& plan) {
    std::vector<std::string> names;
    for (const Slot& slot : plan.slots) names.push_back(slot.name);
    return names;
  }

  // A slot as the slot service sees it.
  class SlotHostOf final : public SlotHost {
   public:
    SlotHostOf(Impl& bench, std::size_t index, link::DeviceWatch& watch)
        : bench_(bench), index_(index), watch_(watch) {}
    [[nodiscard]] bool Stopping() const override {
      return bench_.slots_[index_]->stop.Interrupted();
    }
    bool Rest(std::chrono::milliseconds pause) override { return bench_.Rest(index_, pause); }
    link::DeviceWatch& Watch() override { return watch_; }
    [[nodiscard]] std::string Device() override {
      return DeviceAt(bench_.plan_.slots[index_].place, bench_.ports_);
    }
    void Waiting(std::string_view what) override {
      const std::string device = Device();
      const bool there = PresentAt(bench_.plan_.slots[index_].place, device);
      bench_.Change(index_, [&](SlotRow& row) { row.device = there ? device : std::string(); });
      bench_.Waiting(index_, what);
    }
    void Say(const std::string& line) override {
      bench_.Emit(index_, SlotEvent::Kind::Message, line);
    }
    PassEnd ServePhone(int /*pass*/, const std::string& device, PhoneRecord& phone) override {
      return bench_.ServePhone(index_, device, phone);
    }
    bool Served(const PhoneRecord& phone) override {
      // A phone the stop cut short keeps its record, and gets no verdict.
      if (phone.interrupted) return false;
      quarantined = bench_.Verdict(index_, phone);
      // Each unit's serial starts its one phone: the next waits for its own.
      needsSerial = bench_.plan_.requireSerial;
      return !quarantined && !needsSerial;
    }
    bool quarantined = false;
    bool needsSerial = false;

   private:
    Impl& bench_;
    std::size_t index_;
    link::DeviceWatch& watch_;
  };

  void Serve(std::size_t index) {
    const std::string& place = plan_.slots[index].place;
    link::DeviceWatch watch;
    // A pseudo-terminal or a link to one comes with no hot-plug event: its folder is watched.
    if (!link::UsbPlaceOf(place)) watch.WatchPath(DeviceAt(place, ports_));
    slots_[index]->stop.Watching(&watch);
    SlotHostOf host(*this, index, watch);
    (void)ServeSlot(host, {place, link::UsbPlaceOf(place) ? place : DeviceAt(place, ports_), true,
                           plan_.link == "usb"});
    slots_[index]->stop.Watching(nullptr);
    if (host.needsSerial && !host.quarantined && !slots_[index]->stop.Interrupted()) {
      // The verdict stays on the row until the next unit's serial starts the slot again.
      Change(index, [](SlotRow& row) { row.serving = false; });
    } else if (!host.quarantined || slots_[index]->stop.Interrupted()) {
      Change(index, [](SlotRow& row) {
        row.serving = false;
        row.state = SlotState::Stopped;
        row.stateText = std::string(StateWord(SlotState::Stopped));
      });
    }
    slots_[index]->serving.store(false);
  }

  // The phone's verdict on its row and in the totals. True when the slot is quarantined by it.
  bool Verdict(std::size_t index, const PhoneRecord& phone) {
    SlotData& slot = *slots_[index];
    const bool passed = phone.exitStatus == EXIT_OK;
    const std::string verdict =
        passed ? "PASS" : "FAIL: " + FirstLine(WithoutProgramName(phone.cause));
    bool quarantine = false;
    int inRow = 0;
    {
      std::lock_guard lock(mutex_);
      // A phone served right after a failure is most likely that phone again.
      if (!slot.lastFailed) {
        ++firstTries_;
        if (passed) ++firstTryPasses_;
      }
      slot.lastFailed = !passed;
      cycleSeconds_ += phone.seconds;
      SlotRow& row = slot.row;
      row.lastVerdict = verdict;
      row.stateText = verdict;
      row.state = passed ? SlotState::Passed : SlotState::Failed;
      if (passed) {
        ++row.passes;
        row.failuresInRow = 0;
      } else {
        ++row.failures;
        ++row.failuresInRow;
      }
      inRow = row.failuresInRow;
      quarantine = !passed && plan_.failLimit > 0 && inRow >= plan_.failLimit;
      if (quarantine) {
        row.state = SlotState::Quarantined;
        row.stateText = std::string(StateWord(SlotState::Quarantined));
        row.serving = false;
      }
    }
    Emit(index, SlotEvent::Kind::PhoneEnded, passed ? "PASS" : phone.cause);
    Emit(index, SlotEvent::Kind::Changed);
    if (quarantine) {
      Emit(index, SlotEvent::Kind::Quarantined);
      Emit(index, SlotEvent::Kind::Message,
           "veska-cli: " + plan_.slots[index].name + ": " + std::to_string(inRow) +
               " phones failed in a row; the slot stops: check the cable and the port");
    }
    return quarantine;
  }

  // One phone on the slot: its record in `phone`, kept with the records.
  PassEnd ServePhone(std::size_t index, const std::string& device, PhoneRecord& phone) {
    SlotData& slot = *slots_[index];
    Change(index, [&device](SlotRow& row) { row.device = device; });
    phone.port = plan_.slots[index].name;
    phone.unitSerial = serials_.Held(index);
    phone.pass = slot.phones + 1;
    phone.started = UtcNow();
    const Clock::time_point started = Clock::now();
    {
      std::lock_guard lock(mutex_);
      slot.log_.clear();
      slot.answered = false;
      slot.doneBefore = 0;
      slot.rangeUpper = 0;
      slot.rate.Clear();
    }
    WriteToLog(index, LogHeader(phone));

    RunOptions options = options_;
    options.port = device;
    Session session(options, slot.log.get(), discard_.get());
    session.SetView(std::make_unique<LogFileView>(
        slot.log.get(), [this, index](std::string_view text) { Logged(index, text); }));
    session.ShowFieldLines(false);
    session.SetQuestionAsker(
        [this](std::string_view text, std::string_view caption) { return AskOnce(text, caption); });
    {
      std::lock_guard control(hookMutex_);
      if (hook_) hook_(session, index);
    }
    SlotView view(*this);
    PassRecorder recorder(&view, index, crcTable_, phone);
    recorder.Observe(session,
                     [this, index](const app::SessionEvent& event) { Take(index, event); });
    session.WatchInterrupts(slot.stop);
    const int status = slot.stop.Interrupted() ? EXIT_INTERRUPTED : session.Run();
    recorder.NoteEnd(status, started, session.Dialog());
    const PassEnd end = ConcludePass(
        status, slot.stop.Interrupted(), EXIT_INTERRUPTED, true,
        PresentAt(plan_.slots[index].place, DeviceAt(plan_.slots[index].place, ports_)), recorder,
        session.Dialog().PortFailureReason(), phone);
    if (end == PassEnd::Phone) {
      ++slot.phones;
      std::lock_guard lock(keeperMutex_);
      if (keeper_) {
        // A hub's port is where the phone was: its record names the port, not the passing device.
        const std::string& place = plan_.slots[index].place;
        keeper_->Keep(ToRecord(
            phone, {StationOf(options_), link::UsbPlaceOf(place) ? place : device, plan_.release,
                    session.State().payloads.Describe(), plan_.operatorName}));
      }
    }
    if (end == PassEnd::Phone && !phone.unitSerial.empty()) {
      // The unit is served: its serial goes with its record, and the next phone needs its own.
      serials_.Release(index, phone.unitSerial);
      const std::string left = serials_.Held(index);
      Change(index, [&left](SlotRow& row) { row.unitSerial = left; });
    }
    // The session's log may stop in the middle of a line.
    std::fflush(slot.log.get());
    bool endsLine = true;
    {
      std::lock_guard lock(mutex_);
      endsLine = slot.logEndsLine;
    }
    WriteToLog(index, (endsLine ? "" : "\n") +
                          (end == PassEnd::Phone
                               ? LogVerdict(phone)
                               : "== veska-cli: " + phone.port + ": no phone answered ==\n"));
    if (end == PassEnd::Phone) {
      std::lock_guard lock(mutex_);
      slot.lastLog = slot.log_;
    }
    return end;
  }

  // A line of the bench's own in the slot's log file, around a phone's own log.
  void WriteToLog(std::size_t index, const std::string& text) {
    SlotData& slot = *slots_[index];
    std::fwrite(text.data(), 1, text.size(), slot.log.get());
    std::fflush(slot.log.get());
    Logged(index, text);
  }

  // The slot's log text as written, for SlotLog().
  void Logged(std::size_t index, std::string_view text) {
    if (text.empty()) return;
    std::lock_guard lock(mutex_);
    SlotData& slot = *slots_[index];
    slot.log_.append(text);
    KeepLast(slot.log_, kMaxSlotLog);
    slot.logEndsLine = text.back() == '\n';
  }

  // The session's typed events that change the row.
  void Take(std::size_t index, const app::SessionEvent& event) {
    if (const auto* wait = std::get_if<app::PhoneWait>(&event)) {
      if (!wait->ended || !wait->answered) return;
      bool first = false;
      {
        std::lock_guard lock(mutex_);
        SlotData& slot = *slots_[index];
        first = !slot.answered;
        slot.answered = true;
        if (first) {
          SlotRow& row = slot.row;
          row.state = SlotState::Connecting;
          row.stateText = std::string(StateWord(SlotState::Connecting));
          row.image.clear();
          row.imageIndex = 0;
          row.imageCount = groupImages_;
          row.done = 0;
          row.total = groupBytes_;
          row.bytesPerSecond = 0.0;
          row.secondsLeft = -1.0;
        }
      }
      if (first) {
        Emit(index, SlotEvent::Kind::PhoneBegan);
        Emit(index, SlotEvent::Kind::Changed);
      }
    } else if (const auto* image = std::get_if<app::ImageBegan>(&event)) {
      Change(index, [this, image](SlotRow& row) {
        row.state = SlotState::Writing;
        row.image = link::Utf8Of(link::PathOf(image->path).filename());
        ++row.imageIndex;
        row.imageCount = std::max(groupImages_, row.imageIndex);
        row.stateText = "writing " + std::string(app::Catalogue(image->kind).logName) + " (" +
                        std::to_string(row.imageIndex) + "/" + std::to_string(row.imageCount) + ")";
      });
    } else if (const auto* readBack = std::get_if<app::ImagesReadBack>(&event)) {
      if (readBack->ended) return;
      Change(index, [](SlotRow& row) {
        row.state = SlotState::Verifying;
        row.stateText = std::string(StateWord(SlotState::Verifying));
      });
    }
  }

  void ProgressRange(std::size_t index, std::int64_t upper) {
    // A download's range is its whole group of images, whose positions go on from image to
    // image; a file system that follows sets a range of its own. The loaders' ranges before the
    // first image are no writing.
    std::lock_guard lock(mutex_);
    SlotData& slot = *slots_[index];
    if (slot.row.state == SlotState::Writing) slot.doneBefore += slot.rangeUpper;
    slot.rangeUpper = upper;
  }

  void ProgressAt(std::size_t index, std::int64_t position) {
    bool tell = false;
    {
      std::lock_guard lock(mutex_);
      SlotData& slot = *slots_[index];
      SlotRow& row = slot.row;
      // The read-back's own bar is no writing.
      if (row.state != SlotState::Writing) return;
      const auto now = Clock::now();
      // The bar goes back to 0 between images on the window; the group's count does not.
      row.done = std::max(row.done, slot.doneBefore + std::min(position, slot.rangeUpper));
      row.total = std::max(groupBytes_, slot.doneBefore + slot.rangeUpper);
      slot.rate.Add(now, row.done);
      const double rate = slot.rate.Rate();
      row.bytesPerSecond = rate > 0 ? rate : 0.0;
      row.secondsLeft = rate > 0 ? static_cast<double>(row.total - row.done) / rate : -1.0;
      if (now - slot.lastProgressEvent >= kProgressEventInterval || position >= slot.rangeUpper) {
        slot.lastProgressEvent = now;
        tell = true;
      }
    }
    if (tell) Emit(index, SlotEvent::Kind::Changed);
  }

  // The bench's questions are asked once, whichever phone asks first; every later phone takes
  // the same answer.
  std::optional<int> AskOnce(std::string_view text, std::string_view caption) {
    // One question at a time; the asker is called outside the lock that SetQuestionAsker takes.
    std::lock_guard asking(questionMutex_);
    const std::string key = std::string(caption) + '\n' + std::string(text);
    QuestionAsker asker;
    {
      std::lock_guard lock(askMutex_);
      if (const auto it = answers_.find(key); it != answers_.end()) return it->second;
      asker = asker_;
    }
    const std::optional<int> answer = asker ? asker(text, caption) : std::nullopt;
    std::lock_guard lock(askMutex_);
    answers_.emplace(key, answer);
    return answer;
  }

  BenchPlan plan_;
  RunOptions options_;     // what every phone's session runs, but its port
  link::LinkState ports_;  // the settings' [Ports]
  std::vector<std::unique_ptr<SlotData>> slots_;
  UnitSerials serials_;                                     // each slot's unit for its next phone
  link::UniqueFile discard_{std::fopen(kNullDevice, "w")};  // where no one reads
  link::Crc32Table crcTable_;

  mutable std::mutex mutex_;  // the rows, the logs' texts, the totals
  std::int64_t groupBytes_ = 0;
  int groupImages_ = 0;
  bool everStarted_ = false;
  Clock::time_point firstStart_{};
  int firstTries_ = 0;      // phones not served right after a failure on their slot
  int firstTryPasses_ = 0;  // of those, the ones that passed
  double cycleSeconds_ = 0.0;

  std::mutex controlMutex_;  // Start and Stop, one at a time
  std::mutex hookMutex_;
  std::function<void(Session&, std::size_t)> hook_;
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  std::mutex observerMutex_;
  std::function<void(const SlotEvent&)> observer_;
  std::mutex questionMutex_;
  std::mutex askMutex_;
  QuestionAsker asker_;
  std::map<std::string, std::optional<int>> answers_;
  std::mutex keeperMutex_;
  std::unique_ptr<RecordKeeper> keeper_;
  std::atomic<bool> keeperStarted_{false};
  std::mutex keeperSaidMutex_;
  std::string keeperSaid_;
};

Bench::Bench(BenchPlan plan) : impl_(std::make_unique<Impl>(std::move(plan))) {}
Bench::~Bench() = default;

void Bench::SetObserver(std::function<void(const SlotEvent&)> observer) {
  impl_->SetObserver(std::move(observer));
}
void Bench::SetQuestionAsker(QuestionAsker asker) {
  impl_->SetQuestionAsker(std::move(asker));
}
void Bench::SetSessionHook(std::function<void(Session&, std::size_t slot)> hook) {
  impl_->SetSessionHook(std::move(hook));
}
std::string Bench::Check() {
  return impl_->Check();
}
std::string Bench::StartAll() {
  return impl_->StartAll();
}
void Bench::StopAll() {
  impl_->StopAll();
}
std::string Bench::Start(std::size_t slot) {
  return impl_->Start(slot);
}
void Bench::Stop(std::size_t slot) {
  impl_->Stop(slot);
}
std::string Bench::SetUnitSerial(std::size_t slot, std::string_view serial) {
  return impl_->SetUnitSerial(slot, serial);
}
std::size_t Bench::SlotCount() const {
  return impl_->SlotCount();
}
std::vector<SlotRow> Bench::Rows() const {
  return impl_->Rows();
}
Totals Bench::Sum() const {
  return impl_->Sum();
}
std::string Bench::SlotLog(std::size_t slot) const {
  return impl_->SlotLog(slot);
}
std::filesystem::path Bench::SlotLogFile(std::size_t slot) const {
  return impl_->SlotLogFile(slot);
}

}  // namespace veska::station
