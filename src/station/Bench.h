#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace veska::station {

class Session;

// A slot: the name the operator sees ("A1", "Slot 3") and the place its phones plug in: a COM
// name ("COM5", mapped through the settings' [Ports] as everywhere), a device path, or a hub's
// port, "usb:LOCATION".
struct Slot {
  std::string name;
  std::string place;
};

// What a bench does with every phone, and where it keeps what it learns. The windows fill it from
// the settings file's [Bench] section (BenchSettings), the command line from its arguments.
struct BenchPlan {
  std::vector<Slot> slots;
  std::string link = "uart";  // "uart" or "usb"
  std::string baud;           // the command line's rate words ("921K"); empty: the remembered rate
  std::string release;        // the release folder
  std::string selection = "all-bin";  // the command line's selection words
  bool defaultCal = false;
  bool verify = false;
  bool reboot = false;
  std::string station;              // empty: the host name
  std::string records;              // as --records; empty: the default database
  std::string settings;             // the settings file (its [Ports] map COM names)
  std::filesystem::path logFolder;  // each slot's log file goes here
  int failLimit = 3;                // failures in a row that stop a slot; 0: never
  std::string operatorName;         // who serves the phones, in every record; "" none
  // Every phone needs its unit's serial: a slot starts only with one, and serves that one phone.
  bool requireSerial = false;
};

// What a slot is doing.
enum class SlotState {
  Stopped,      // not serving (never started, stopped, or the run ended)
  Waiting,      // serving: waiting for its phone (its device to appear, or the boot signal)
  Connecting,   // a phone answered; the loaders go up, the flash is asked for
  Writing,      // an image is being written (image k of n)
  Verifying,    // the written images are read back
  Passed,       // the last phone passed; waiting for the next (the verdict stays until it starts)
  Failed,       // the last phone failed; waiting for the next
  Quarantined,  // stopped after failLimit failures in a row: "check the cable and the port"
};

// One slot's row, as every view draws it.
struct SlotRow {
  std::string name;
  std::string place;
  std::string device;  // the device the place stands for now ("" while none is there)
  SlotState state = SlotState::Stopped;
  std::string
      stateText;       // "waiting for a phone", "writing APPS (3/7)", "PASS", "FAIL: <first line>"
  std::string image;   // the image being written, by its file's name
  int imageIndex = 0;  // k of n while writing (1-based; 0: none)
  int imageCount = 0;
  std::int64_t done = 0;   // bytes of the phone's whole group written so far
  std::int64_t total = 0;  // the group's bytes (0: unknown)
  double bytesPerSecond = 0.0;
  double secondsLeft = -1.0;  // -1: unknown
  int passes = 0;
  int failures = 0;
  int failuresInRow = 0;
  bool serving = false;
  std::string unitSerial;   // the unit's serial for the next phone, or the one being served
  std::string lastVerdict;  // "PASS" or "FAIL: <cause's first line>"; stays until the next phone
};

// The bench's totals.
struct Totals {
  int passed = 0;
  int failed = 0;
  double firstPassYield = 0.0;  // share of the phones that passed at their first try, 0..1
  double phonesPerHour = 0.0;
  double meanCycleSeconds = 0.0;
};

// The slot of an event that concerns the whole bench (the records' lines).
inline constexpr std::size_t kWholeBench = static_cast<std::size_t>(-1);

// What happened, typed, with the slot it happened on and when. Views redraw from Rows() and
// Totals(); the events are for logs, tests and whatever wants to know the moment.
struct SlotEvent {
  std::size_t slot = 0;
  std::chrono::system_clock::time_point at;
  enum class Kind {
    Changed,      // the row changed (state, progress, counters)
    PhoneBegan,   // a phone answered
    PhoneEnded,   // a phone's verdict (text: "PASS" or the cause)
    Quarantined,  // the slot stopped after too many failures in a row
    Message,      // a line the slot's session said (text)
  } kind = Kind::Changed;
  std::string text;
};

// A bench of slots served as their phones come. Every member may be called from any thread; the
// observer and the question asker are called on the slots' threads and must not call back into
// the bench except Rows(), Totals() and SlotLog().
class Bench {
 public:
  explicit Bench(BenchPlan plan);
  ~Bench();  // stops every slot and waits for them
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  void SetObserver(std::function<void(const SlotEvent&)> observer);
  // Asked once for the whole bench (the calibration-data question), not per phone; nothing: No.
  using QuestionAsker =
      std::function<std::optional<int>(std::string_view text, std::string_view caption)>;
  void SetQuestionAsker(QuestionAsker asker);
  // Called on a slot's thread with each phone's session before it runs (tests shrink its
  // time-outs there). Set before starting.
  void SetSessionHook(std::function<void(Session& session, std::size_t slot)> hook);

  // Checks what every phone will need before any slot starts: the release's images with the
  // download's own rules and messages, the records' place, the slots' places. "" when all is
  // well, else the refusal's text (the same messages the download gives).
  [[nodiscard]] std::string Check();

  // Serving: each slot waits for its phone, serves it, shows its verdict and waits for the next.
  // Starting a quarantined slot resumes it (its failures in a row start again from 0).
  // Stop returns at once: a phone under way is cancelled as Disconnect does, and the slot's row
  // turns Stopped (a Changed event) as its thread ends, a moment later.
  // Start and StartAll return what refused a slot (its Message's words; one line a slot), ""
  // when every slot asked for serves.
  std::string StartAll();
  void StopAll();  // every slot stopped; a phone under way is cancelled and gets no pass
  std::string Start(std::size_t slot);
  void Stop(std::size_t slot);

  // The unit serial (typed, or a scanner's text with its line end) for the slot's next phone;
  // its record carries it, then the slot's serial is cleared. "" when taken (an empty one clears
  // it), else why not, in words for the operator: a control character, too long, or the unit is
  // on another slot already. Under requireSerial, Start refuses a slot without one (a Message).
  [[nodiscard]] std::string SetUnitSerial(std::size_t slot, std::string_view serial);

  [[nodiscard]] std::size_t SlotCount() const;
  [[nodiscard]] std::vector<SlotRow> Rows() const;
  [[nodiscard]] Totals Sum() const;
  // The log text of the slot's current (or last) phone, as the single window shows it.
  [[nodiscard]] std::string SlotLog(std::size_t slot) const;
  // The slot's log file.
  [[nodiscard]] std::filesystem::path SlotLogFile(std::size_t slot) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// The words a row's state shows ("waiting for a phone", "PASS", ...).
[[nodiscard]] std::string_view StateWord(SlotState state);

}  // namespace veska::station
