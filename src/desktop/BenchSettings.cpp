#include "desktop/BenchSettings.h"

#include <charconv>
#include <optional>
#include <utility>

#include "app/FlashMap.h"
#include "link/AsciiCase.h"
#include "link/BaudCodes.h"
#include "link/FilePath.h"

namespace veska::desktop {

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The largest FailLimit taken: a bench that never quarantines says 0.
constexpr int kMaxFailLimit = 1000;

std::string SlotKey(int n) {
  return "Slot" + std::to_string(n);
}
std::string SlotNameKey(int n) {
  return SlotKey(n) + "Name";
}
std::string DefaultSlotName(int n) {
  return "Slot " + std::to_string(n);
}

// A key's value as the file holds it (the first of repeated keys, as every read takes), or
// nothing when it is missing or empty.
std::optional<std::string> Find(const Entries& entries, std::string_view key) {
  for (const auto& [name, value] : entries) {
    if (link::SameIgnoringAsciiCase(name, key)) {
      if (value.empty()) return std::nullopt;
      return value;
    }
  }
  return std::nullopt;
}

std::string BoolText(bool value) {
  return value ? "1" : "0";
}

// The values the file can hold, as texts: the plan and the window's switches.
struct KeyValue {
  std::string key;
  std::string value;
  std::string fallback;  // what a missing key stands for
};

std::vector<KeyValue> KeyValues(const BenchSettings& bench) {
  const station::BenchPlan& plan = bench.plan;
  const station::BenchPlan defaults;
  std::vector<KeyValue> values;
  int n = 0;
  for (const station::Slot& slot : plan.slots) {
    ++n;
    values.push_back({SlotKey(n), slot.place, ""});
    values.push_back(
        {SlotNameKey(n), slot.name.empty() ? DefaultSlotName(n) : slot.name, DefaultSlotName(n)});
  }
  // The list ends at the first missing slot.
  values.push_back({SlotKey(n + 1), "", ""});
  values.push_back({"Link", plan.link, defaults.link});
  values.push_back({"Baud", plan.baud, defaults.baud});
  values.push_back({"Release", plan.release, defaults.release});
  values.push_back({"Selection", plan.selection, defaults.selection});
  values.push_back({"DefaultCal", BoolText(plan.defaultCal), BoolText(defaults.defaultCal)});
  values.push_back({"Verify", BoolText(plan.verify), BoolText(defaults.verify)});
  values.push_back({"Reboot", BoolText(plan.reboot), BoolText(defaults.reboot)});
  values.push_back({"Station", plan.station, defaults.station});
  values.push_back({"Operator", plan.operatorName, defaults.operatorName});
  values.push_back(
      {"RequireSerial", BoolText(plan.requireSerial), BoolText(defaults.requireSerial)});
  values.push_back({std::string(app::KEY_RECORDS), plan.records, defaults.records});
  values.push_back(
      {"FailLimit", std::to_string(plan.failLimit), std::to_string(defaults.failLimit)});
  values.push_back({"AutoStart", BoolText(bench.autoStart), "0"});
  values.push_back({"Locked", BoolText(bench.locked), "0"});
  return values;
}

// A value as a problem line shows it: control characters as \xNN, so the line stays one line.
std::string Printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xf];
    } else {
      shown += c;
    }
  }
  return shown;
}

// Reads the values one key at a time, each a problem line when it is not understood.
class Reader {
 public:
  explicit Reader(Entries entries) : entries_(std::move(entries)) {}

  std::optional<std::string> Text(std::string_view key) const { return Find(entries_, key); }

  // A name or a path: a control character in it is no one's typing but a damaged file's.
  std::optional<std::string> Plain(std::string_view key, std::string_view consequence) {
    std::optional<std::string> text = Text(key);
    if (!text) return std::nullopt;
    for (char c : *text) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        Problem(key, Printable(*text), "holds a control character; " + std::string(consequence));
        return std::nullopt;
      }
    }
    return text;
  }

  void Flag(std::string_view key, bool& into) {
    const std::optional<std::string> text = Text(key);
    if (!text) return;
    if (*text == "0" || *text == "1") {
      into = *text == "1";
    } else {
      Problem(key, *text, "not 0 or 1; " + BoolText(into) + " is used");
    }
  }

  // One of `words`, in any letter case; kept as the word is spelled there.
  template <typename Words>
  void Word(std::string_view key, const Words& words, std::string_view expected,
            std::string_view fallbackText, std::string& into) {
    const std::optional<std::string> text = Text(key);
    if (!text) return;
    for (std::string_view word : words) {
      if (link::SameIgnoringAsciiCase(*text, word)) {
        into = std::string(word);
        return;
      }
    }
    Problem(key, *text, std::string(expected) + "; " + std::string(fallbackText) + " is used");
  }

  void Count(std::string_view key, int limit, int& into) {
    const std::optional<std::string> text = Text(key);
    if (!text) return;
    int value = 0;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    if (error == std::errc() && stop == end && value >= 0 && value <= limit) {
      into = value;
    } else {
      Problem(key, *text,
              "not a number from 0 to " + std::to_string(limit) + "; " + std::to_string(into) +
                  " is used");
    }
  }

  // "[Bench] Link=serial: not uart or usb; uart is used"
  void Problem(std::string_view key, std::string_view value, const std::string& why) {
    problems_.push_back("[" + std::string(BENCH_SECTION) + "] " + std::string(key) + "=" +
                        std::string(value) + ": " + why);
  }

  const Entries& entries() const { return entries_; }
  std::vector<std::string> TakeProblems() { return std::move(problems_); }

 private:
  Entries entries_;
  std::vector<std::string> problems_;
};

// A slot key past the list's end ("Slot5" when Slot4 is missing): its slot is not served, which
// the operator should know.
std::optional<std::pair<std::string, std::string>> StraySlot(const Entries& entries, int count) {
  for (const auto& [key, value] : entries) {
    if (value.empty() || key.size() <= 4 ||
        !link::SameIgnoringAsciiCase(key.substr(0, 4), "Slot")) {
      continue;
    }
    int n = 0;
    const char* begin = key.data() + 4;
    const char* end = key.data() + key.size();
    const auto [stop, error] = std::from_chars(begin, end, n);
    if (error == std::errc() && stop == end && n > count + 1) return std::make_pair(key, value);
  }
  return std::nullopt;
}

}  // namespace

BenchSettingsReading ReadBenchSettings(const app::Settings& settings) {
  Reader reader(settings.Section(BENCH_SECTION));
  BenchSettings bench;
  station::BenchPlan& plan = bench.plan;
  int n = 1;
  // A damaged place ends the list as a missing one does: a slot without its place is no slot.
  bool damaged = false;
  for (; n <= kMaxBenchSlots; ++n) {
    if (!reader.Text(SlotKey(n))) break;
    const std::optional<std::string> place =
        reader.Plain(SlotKey(n), "the slots from here on are left out");
    if (!place) {
      damaged = true;
      break;
    }
    const std::string fallbackName = DefaultSlotName(n);
    plan.slots.push_back(
        {reader.Plain(SlotNameKey(n), fallbackName + " is used").value_or(fallbackName), *place});
  }
  const int count = static_cast<int>(plan.slots.size());
  if (damaged) {
    // Said already.
  } else if (count == kMaxBenchSlots) {
    if (const std::optional<std::string> more = reader.Text(SlotKey(n))) {
      reader.Problem(SlotKey(n), *more,
                     "more than " + std::to_string(kMaxBenchSlots) +
                         " slots; the slots from here on are left out");
    }
  } else if (const auto stray = StraySlot(reader.entries(), count)) {
    reader.Problem(stray->first, stray->second,
                   SlotKey(count + 1) + " is missing; the slots from there on are left out");
  }

  static constexpr std::string_view kLinks[] = {"uart", "usb"};
  reader.Word("Link", kLinks, "not uart or usb", plan.link, plan.link);
  reader.Word("Baud", link::kSelectorBaudCaptions, "not 115K, 460K, 921K or 3M",
              "the remembered rate", plan.baud);
  plan.release = reader.Plain("Release", "no release is used").value_or("");
  if (const std::optional<std::string> selection = reader.Text("Selection")) {
    if (app::SelectionByName(*selection) >= 0) {
      plan.selection = *selection;
    } else {
      reader.Problem("Selection", *selection,
                     "not a download selection; " + plan.selection + " is used");
    }
  }
  reader.Flag("DefaultCal", plan.defaultCal);
  reader.Flag("Verify", plan.verify);
  reader.Flag("Reboot", plan.reboot);
  plan.station = reader.Plain("Station", "the host name is used").value_or("");
  plan.operatorName = reader.Plain("Operator", "no operator is named").value_or("");
  reader.Flag("RequireSerial", plan.requireSerial);
  plan.records = reader.Plain(app::KEY_RECORDS, "the default database is used").value_or("");
  reader.Count("FailLimit", kMaxFailLimit, plan.failLimit);
  reader.Flag("AutoStart", bench.autoStart);
  reader.Flag("Locked", bench.locked);

  plan.settings = link::Utf8Of(settings.File());
  const std::filesystem::path folder = settings.File().parent_path();
  plan.logFolder = (folder.empty() ? std::filesystem::path(".") : folder) / "bench-logs";
  return {std::move(bench), reader.TakeProblems()};
}

int SaveBenchSettings(const app::Settings& settings, const BenchSettings& bench) {
  const Entries entries = settings.Section(BENCH_SECTION);
  int failed = 0;
  for (const KeyValue& kv : KeyValues(bench)) {
    if (Find(entries, kv.key).value_or(kv.fallback) == kv.value) continue;
    if (!settings.WriteSectionString(BENCH_SECTION, kv.key, kv.value)) ++failed;
  }
  return failed;
}

}  // namespace veska::desktop
