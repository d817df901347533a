#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/Settings.h"
#include "station/Bench.h"

namespace veska::desktop {

// The production bench's choices live in the settings file's own section, beside the window's.
inline constexpr std::string_view BENCH_SECTION = "Bench";
// More slots than any bench has ports for are a mistyped file, not a bench.
inline constexpr int kMaxBenchSlots = 64;

// What the bench window keeps in the settings file: the plan its slots serve phones by, and how
// the window itself starts.
//   Slot1=COM5  Slot1Name=A1  Slot2=usb:1-1.4 ...  (from 1, consecutive; a name is optional)
//   Link=uart|usb  Baud=921K  Release=DIR  Selection=all-bin  DefaultCal=0|1  Verify=0|1
//   Reboot=0|1  Station=NAME  Operator=NAME  RequireSerial=0|1  Records=...  FailLimit=3
//   AutoStart=0|1  Locked=0|1
struct BenchSettings {
  station::BenchPlan plan;
  bool autoStart = false;  // every slot starts serving as the window opens
  bool locked = false;     // the operator may start and stop slots but not change the plan
};

struct BenchSettingsReading {
  BenchSettings bench;
  // One line for each value that was not understood (its default is used instead), naming the
  // key and the value, for the window to show.
  std::vector<std::string> problems;
};

// Reads the [Bench] section. The plan's settings file is `settings`' own, and its log folder
// "bench-logs" beside it.
[[nodiscard]] BenchSettingsReading ReadBenchSettings(const app::Settings& settings);

// Writes the keys whose value differs from what the file holds (a missing key holding its
// default), one key at a time, so that what another program wrote to other keys stays. Slots
// beyond the plan's end are ended by an empty Slot key. 0 when every write succeeded, else the
// number of keys that could not be written.
int SaveBenchSettings(const app::Settings& settings, const BenchSettings& bench);

}  // namespace veska::desktop
