#include "cli/SlotSteps.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "app/Settings.h"
#include "cli/Interrupt.h"
#include "link/DeviceWatch.h"
#include "link/FilePath.h"
#include "link/UsbLocation.h"

namespace veska::cli {

namespace {

// What the learning sees of one device: its name and where it is plugged in. A device that goes
// and comes back, even under the same name at the same port, is new again.
using Seen = std::set<std::pair<std::string, std::string>>;

Seen Look() {
  Seen seen;
  for (const link::SerialDevice& present : link::PresentSerialDevices()) {
    seen.emplace(present.device, present.location ? present.location->Text() : std::string());
  }
  return seen;
}

std::string SlotLine(std::size_t slot, const std::string& place) {
  return "Slot" + std::to_string(slot) + "=" + place + "\n";
}

// A wait with no end but Ctrl-C: the watch wakes for every change anyway.
constexpr std::chrono::hours kLongWait{24};

}  // namespace

std::string SlotLines(std::span<const std::string> places) {
  std::string text;
  for (std::size_t i = 0; i < places.size(); ++i) text += SlotLine(i + 1, places[i]);
  return text;
}

bool WriteSlots(const std::filesystem::path& settingsFile, std::span<const std::string> places,
                std::FILE* err) {
  const app::Settings settings(settingsFile, app::SettingsAccess::ReadWrite);
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (!settings.WriteString(app::BENCH_SECTION, "Slot" + std::to_string(i + 1), places[i])) {
      std::fprintf(err, "veska-cli: cannot write the slots into %s\n",
                   link::Utf8Of(settingsFile).c_str());
      return false;
    }
  }
  return true;
}

bool LearnSlotsStep(int count, bool write, const std::filesystem::path& settingsFile,
                    std::FILE* out, std::FILE* err, station::StopSignal* interrupts,
                    std::function<void()> restoreHandler) {
  link::DeviceWatch watch;
  if (interrupts != nullptr) {
    interrupts->SetHandler([&watch] { watch.Cancel(); });
    if (interrupts->Interrupted()) watch.Cancel();
  }
  std::vector<std::string> places;
  std::vector<link::UsbLocation> learnt;
  Seen known = Look();
  while ((count == 0 || places.size() < static_cast<std::size_t>(count)) && !watch.Cancelled()) {
    std::fprintf(err, "veska-cli: plug a device into the port for slot %zu (Ctrl-C ends)\n",
                 places.size() + 1);
    std::fflush(err);
    bool taken = false;
    while (!taken && watch.Wait(kLongWait) != link::DeviceWatch::Wake::Cancelled) {
      const Seen now = Look();
      std::vector<std::pair<std::string, std::string>> fresh;
      std::set_difference(now.begin(), now.end(), known.begin(), known.end(),
                          std::back_inserter(fresh));
      known = now;
      for (const auto& [device, text] : fresh) {
        const std::optional<link::UsbLocation> location = link::ParseUsbLocation(text);
        if (!location) {
          std::fprintf(err, "veska-cli: %s has no USB location; skipped\n", device.c_str());
          continue;
        }
        const std::string place = "usb:" + location->PortText();
        const auto same = std::find_if(learnt.begin(), learnt.end(), [&](const auto& other) {
          return link::SameUsbPort(other, *location);
        });
        if (same != learnt.end()) {
          std::fprintf(err, "veska-cli: %s at %s is slot %zu already; skipped\n", device.c_str(),
                       place.c_str(), static_cast<std::size_t>(same - learnt.begin()) + 1);
        } else if (taken) {
          std::fprintf(err, "veska-cli: %s at %s came with another device; plug one at a time\n",
                       device.c_str(), place.c_str());
        } else {
          places.push_back(place);
          learnt.push_back(*location);
          taken = true;
          if (places.size() == 1) std::fputs("[Bench]\n", out);
          std::fputs(SlotLine(places.size(), place).c_str(), out);
          std::fflush(out);
          std::fprintf(err, "veska-cli: slot %zu is %s (%s)\n", places.size(), place.c_str(),
                       device.c_str());
        }
      }
      std::fflush(err);
    }
  }
  if (interrupts != nullptr) interrupts->SetHandler(std::move(restoreHandler));
  if (write && !places.empty()) {
    if (!WriteSlots(settingsFile, places, err)) return false;
    std::fprintf(err, "veska-cli: %zu slots written into the [Bench] section of %s\n",
                 places.size(), link::Utf8Of(settingsFile).c_str());
  }
  return count == 0 || places.size() == static_cast<std::size_t>(count);
}

}  // namespace veska::cli
