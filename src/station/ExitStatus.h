#pragma once

#include <vector>

#include "app/OperationRunner.h"

namespace veska::station {

// Exit statuses a bench script can act on.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_STEP_FAILED = 1;       // the phone refused, or an operation failed
inline constexpr int EXIT_USAGE = 2;             // the command line itself is wrong
inline constexpr int EXIT_INPUT_REFUSED = 3;     // a file or other input was refused
inline constexpr int EXIT_NO_ANSWER = 4;         // the phone stayed silent (time-out)
inline constexpr int EXIT_PORT_UNAVAILABLE = 5;  // the port could not be opened
inline constexpr int EXIT_INTERRUPTED = 130;     // Ctrl-C; SIGTERM and SIGHUP give 128 + theirs

// The exit status for a step that ended with `result`, by its cause.
[[nodiscard]] int ExitStatusFor(const app::OperationResult& result);

// The exit status of a run whose ports ended with `statuses`: 0 when all did, else the worst
// (interrupted, port unavailable, no answer, input refused, failed, usage; in that order).
[[nodiscard]] int WorstExitStatus(const std::vector<int>& statuses);

}  // namespace veska::station
