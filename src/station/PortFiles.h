#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "link/UniqueFile.h"

namespace veska::station {

// What names each port's own files in a bench run.

// The file name a port's log gets in the log folder: the port's name with every character that
// has no place in a file name replaced ("/dev/ttyUSB0" -> "dev_ttyUSB0.log").
[[nodiscard]] std::string LogFileName(const std::string& port);

// What names each port's own files in a run of several ports (its log, its copies of the files
// the steps write): the port's log file name without ".log", made distinct where two ports'
// names map to the same one regardless of case ("x/a/b" and "x/a_b" give "x_a_b" and
// "x_a_b-2").
[[nodiscard]] std::vector<std::string> PortFileTags(const std::vector<std::string>& ports);

// The steps as one port of several runs them: each file a step writes (dump AREA FILE,
// explore get PATH FILE) becomes the port's own, beside it: "out/same.hex" with the tag "COM5"
// gives "out/same.COM5.hex".
[[nodiscard]] std::vector<std::string> StepsForPort(const std::vector<std::string>& steps,
                                                    const std::string& tag);

// A port's log file at `path`, new or emptied; null, with `problem` saying why, when it cannot be
// written or is no regular file.
[[nodiscard]] link::UniqueFile CreateLogFile(const std::filesystem::path& path,
                                             std::string& problem);

}  // namespace veska::station
