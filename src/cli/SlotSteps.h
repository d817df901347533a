#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

#include "station/StopSignal.h"

namespace veska::cli {

// `slots learn`: binds a bench's slots to a hub's ports. The operator plugs a device (a phone, any
// USB serial device) into the port of each slot in turn; each new device's USB location becomes
// the next slot's place, printed as the settings file's line ("Slot1=usb:1-1.3") on `out` and,
// with `write`, written into the [Bench] section of `settingsFile`. The prompts and what is
// skipped (a device without a USB location, a port learnt already) go to `err`. `count` 0 learns
// until Ctrl-C, which ends the step with what it learnt: while it waits, `interrupts` (when
// given) cancels the wait; afterwards its handler becomes `restoreHandler`. True when every
// slot asked for was learnt.
bool LearnSlotsStep(int count, bool write, const std::filesystem::path& settingsFile,
                    std::FILE* out, std::FILE* err, station::StopSignal* interrupts,
                    std::function<void()> restoreHandler);

// The [Bench] lines for slots whose places are `places`, slot 1 first: "Slot1=usb:1-1.3".
[[nodiscard]] std::string SlotLines(std::span<const std::string> places);

// Writes the slots into the [Bench] section of the settings file, keeping everything else.
// False, said on `err`, when the file cannot be written.
bool WriteSlots(const std::filesystem::path& settingsFile, std::span<const std::string> places,
                std::FILE* err);

}  // namespace veska::cli
