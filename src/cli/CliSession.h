#pragma once

#include <cstdio>

#include "cli/CliArguments.h"
#include "station/Session.h"

namespace veska::cli {

// One run of veska-cli: the station's session shown on the console (the log on standard
// output, boxes, fields and progress on standard error, questions on the terminal), with the
// queries about the PC (ports, udev-rule, records) answered here.
class CliSession : public station::Session {
 public:
  CliSession(const CliArguments& arguments, std::FILE* out, std::FILE* err);
};

}  // namespace veska::cli
