#include "station/ExitStatus.h"

namespace veska::station {

namespace {

// How bad a status is, for the worst of several.
int Rank(int status) {
  switch (status) {
    case EXIT_OK:
      return 0;
    case EXIT_USAGE:
      return 1;
    case EXIT_STEP_FAILED:
      return 2;
    case EXIT_INPUT_REFUSED:
      return 3;
    case EXIT_NO_ANSWER:
      return 4;
    case EXIT_PORT_UNAVAILABLE:
      return 5;
    case EXIT_INTERRUPTED:
      return 6;
    default:
      return status > 128 ? 6 : 2;  // another signal than Ctrl-C ended the run
  }
}

}  // namespace

int ExitStatusFor(const app::OperationResult& result) {
  if (result.Succeeded()) return EXIT_OK;
  switch (result.cause.kind) {
    case app::CauseKind::Port:
      // A line that failed had been opened: the phone went away in the middle of an exchange.
      return result.cause.port == link::PortProblem::LineFailed ? EXIT_STEP_FAILED
                                                                : EXIT_PORT_UNAVAILABLE;
    case app::CauseKind::NoReply:
      return EXIT_NO_ANSWER;
    case app::CauseKind::FileRefused:
      return EXIT_INPUT_REFUSED;
    case app::CauseKind::PhoneRefused:
    case app::CauseKind::VerifyDifference:
    case app::CauseKind::Cancelled:
    case app::CauseKind::None:
      break;
  }
  return EXIT_STEP_FAILED;
}

int WorstExitStatus(const std::vector<int>& statuses) {
  int worst = EXIT_OK;
  for (const int status : statuses) {
    if (Rank(status) > Rank(worst)) worst = status;
  }
  return worst;
}

}  // namespace veska::station
