#include "cli/ExitStatus.h"

#include "app/FlashMap.h"
#include "download/ImageTransfer.h"
#include "dump/ReadBackVerify.h"
#include "fs/FileSystemDownload.h"
#include "link/PortStatus.h"
#include "target/Connection.h"

namespace veska::cli {

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
      return 2;
  }
}

}  // namespace

int ExitStatusFor(const app::OperationResult& result, bool portOpenFailed) {
  if (result.Succeeded()) return EXIT_OK;
  if (portOpenFailed) return EXIT_PORT_UNAVAILABLE;
  if (result.outcome == app::Outcome::Refused && app::IsImageFileRefusal(result.reason)) {
    return EXIT_INPUT_REFUSED;
  }
  if (result.outcome != app::Outcome::Failed) return EXIT_STEP_FAILED;
  // The checksum tool talks to no phone: it fails only on its file.
  if (result.operation == app::OperationId::Checksum) return EXIT_INPUT_REFUSED;
  // An image file that went missing or changed after it was examined.
  const bool writesImages = result.operation == app::OperationId::Download ||
                            result.operation == app::OperationId::DownloadBootloader;
  if (writesImages && (result.status == download::TRANSFER_NO_FILE ||
                       result.status == download::TRANSFER_FILE_ERROR ||
                       result.status == dump::VERIFY_FILE_ERROR)) {
    return EXIT_INPUT_REFUSED;
  }
  const bool silent = result.status == link::PORT_NO_REPLY || result.status == link::PORT_TIMEOUT;
  const bool startSilent =
      result.operation == app::OperationId::Start && result.status == target::CONNECT_TIMEOUT;
  const bool formatSilent =
      result.operation == app::OperationId::Format && result.status == fs::FORMAT_NO_REPLY;
  return silent || startSilent || formatSilent ? EXIT_NO_ANSWER : EXIT_STEP_FAILED;
}

int WorstExitStatus(const std::vector<int>& statuses) {
  int worst = EXIT_OK;
  for (const int status : statuses) {
    if (Rank(status) > Rank(worst)) worst = status;
  }
  return worst;
}

}  // namespace veska::cli
