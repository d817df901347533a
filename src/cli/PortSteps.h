#pragma once

#include <cstdio>
#include <string>

#include "link/LinkState.h"

namespace veska::cli {

// The steps about the PC's serial devices; they need no phone. Each says on `err` why it failed
// and returns whether it succeeded; `state` maps the COMn names (the settings' [Ports]).

// `ports`: the serial devices present, one line each on `out`.
bool ListPortsStep(const link::LinkState& state, std::FILE* out, std::FILE* err, bool json = false);

// `udev-rule PORT`: the rule for the USB device behind the port on `out`, how to install it on
// `err`.
bool UdevRuleStep(const std::string& port, const link::LinkState& state, std::FILE* out,
                  std::FILE* err);

}  // namespace veska::cli
