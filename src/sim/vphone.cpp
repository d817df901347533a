// vphone: a virtual QX7430 phone on a pseudo-terminal. Prints the slave's path (and the link
// path, when one is asked for) on standard output, one line each, then runs until SIGINT or
// SIGTERM (and then exports the file system when asked to).

#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/TextForms.h"
#include "sim/VirtualPhone.h"

namespace {

sigset_t HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, signal);
  return set;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace veska::sim;
  PhoneOptions options;

  CLI::App app{"vphone: a virtual QX7430 phone on a pseudo-terminal"};
  std::string link = "uart";
  std::string flashId;
  std::string badBlocks;
  std::string bootSignal;
  std::string prelude;
  int usbDelayMs = 0;
  int peerTimeoutMs = static_cast<int>(options.peerTimeout.count());
  int eraseMs = 0;
  bool powerOff = false;
  bool resync = false;
  std::vector<std::string> faults;
  std::vector<std::string> fsFaults;
  std::string fsFormatError;
  std::string fsFile;
  std::string fsExport;
  app.add_option("--link", link, "link dialect")->check(CLI::IsMember({"uart", "usb"}));
  app.add_option("--link-path", options.linkPath,
                 "place a symbolic link to the slave here (USB: once the device appears)");
  app.add_option("--usb-rate", options.usbRate, "USB: bit/s of the paced line (default 115200)");
  app.add_option("--usb-delay-ms", usbDelayMs, "USB: the device appears this long after power-on")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--flash-id", flashId, "flash identity bytes, e.g. EC:B1");
  app.add_option("--bad-blocks", badBlocks, "bad-block pairs, e.g. 18:2032,19:2033");
  app.add_option("--flash-file", options.flashFile, "backing file of the NAND flash");
  app.add_flag("--pace", options.pace, "pace both directions at rate/10 bytes per second");
  app.add_option("--block-length", options.blockLength, "block length asked for in image writes")
      ->check(CLI::Range(1u, 0x180000u));
  app.add_flag("--uart-ack-request", options.uartAckRequest,
               "UART image writes: send 0x26 before the first block request");
  app.add_option("--boot-signal", bootSignal, "boot signal byte: A5 or 77");
  app.add_option("--boot-prelude", prelude,
                 "bytes sent once before the first boot signal, e.g. 00,00");
  app.add_flag("--powered-off", powerOff, "start switched off (SIGUSR1 switches on, SIGUSR2 off)");
  app.add_option("--peer-timeout-ms", peerTimeoutMs, "give up on a silent PC after this long")
      ->check(CLI::PositiveNumber);
  app.add_option("--erase-ms", eraseMs, "an erase takes this long before the phone answers")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--resync", resync, "after a protocol violation wait for quiet instead of hanging");
  app.add_flag("-v,--verbose", options.verbose, "event log on standard error");
  app.add_option("--fault", faults,
                 "KIND@STEP[#N][=VALUE][!]: silence|wrong|stray|sum|code|corrupt|drop at "
                 "boot|ack|ready|rate|flash-id|bad-blocks|erase|sync|block|done|chunk");
  app.add_option("--fs-file", fsFile, "keep the file system in this file instead of the flash");
  app.add_option("--fs-export", fsExport,
                 "at shutdown, write the file system's files and records under this folder");
  app.add_option("--fs-fault", fsFaults,
                 "KIND@STEP[#N][=VALUE][!]: silence|sum|wrong|error at format|mount|checksum|"
                 "time|dir|dir-created|version|release|file|chunk|written|complete|unmount|"
                 "dump-chunk|dir-end|delete|read-file|status");
  app.add_option("--fs-format-error", fsFormatError,
                 "answer the next format with this error report, FUNCTION:ERROR in hex, e.g. "
                 "85:102");
  CLI11_PARSE(app, argc, argv);

  options.link = link == "usb" ? LinkDialect::Usb : LinkDialect::Uart;
  options.usbAppearDelay = std::chrono::milliseconds(usbDelayMs);
  options.peerTimeout = std::chrono::milliseconds(peerTimeoutMs);
  options.eraseDuration = std::chrono::milliseconds(eraseMs);
  options.poweredOnAtStart = !powerOff;
  options.haltOnViolation = !resync;
  if (!flashId.empty()) {
    auto id = ParseFlashId(flashId);
    if (!id) return std::fprintf(stderr, "vphone: bad --flash-id %s\n", flashId.c_str()), 2;
    options.flashId[0] = id->first;
    options.flashId[1] = id->second;
  }
  if (!badBlocks.empty()) {
    auto pairs = ParseBadBlocks(badBlocks);
    if (!pairs) return std::fprintf(stderr, "vphone: bad --bad-blocks %s\n", badBlocks.c_str()), 2;
    options.badBlocks = *pairs;
  }
  if (!bootSignal.empty()) {
    auto bytes = ParseBytes(bootSignal);
    if (!bytes || bytes->size() != 1 || ((*bytes)[0] != 0xA5 && (*bytes)[0] != 0x77)) {
      return std::fprintf(stderr, "vphone: --boot-signal must be A5 or 77\n"), 2;
    }
    options.bootSignal = (*bytes)[0];
  }
  if (!prelude.empty()) {
    auto bytes = ParseBytes(prelude);
    if (!bytes) return std::fprintf(stderr, "vphone: bad --boot-prelude %s\n", prelude.c_str()), 2;
    options.bootPrelude = *bytes;
  }
  for (const std::string& text : faults) {
    auto fault = ParseFault(text);
    if (!fault) return std::fprintf(stderr, "vphone: bad --fault %s\n", text.c_str()), 2;
    options.faults.push_back(*fault);
  }

  // Block the signals before any thread starts, so that only sigwait() below receives them and
  // the phone's thread never runs a handler.
  const sigset_t set = HandledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  std::vector<FsFault> fileSystemFaults;
  if (!fsFormatError.empty()) fsFaults.push_back("error@format=" + fsFormatError);
  for (const std::string& text : fsFaults) {
    auto fault = ParseFsFault(text);
    if (!fault) return std::fprintf(stderr, "vphone: bad file-system fault %s\n", text.c_str()), 2;
    fileSystemFaults.push_back(*fault);
  }

  VirtualPhone phone(options);
  if (!fsFile.empty()) phone.SetFileSystemFile(fsFile);
  for (const FsFault& fault : fileSystemFaults) phone.InjectFileSystemFault(fault);
  if (int error = phone.Start(); error != 0) {
    std::fprintf(stderr, "vphone: cannot start: %s\n", std::strerror(error));
    return 1;
  }
  std::printf("%s\n", phone.SlavePath().c_str());
  if (!options.linkPath.empty()) std::printf("%s\n", options.linkPath.c_str());
  std::fflush(stdout);

  // SIGUSR1 switches the phone on (or restarts it), SIGUSR2 switches it off.
  int signal = 0;
  for (;;) {
    if (sigwait(&set, &signal) != 0) continue;
    if (signal == SIGUSR1) {
      phone.PowerOn();
    } else if (signal == SIGUSR2) {
      phone.PowerOff();
    } else {
      break;
    }
  }
  if (options.verbose) std::fprintf(stderr, "vphone: %s, shutting down\n", strsignal(signal));
  phone.Stop();  // removes the link and flushes the flash file
  if (!fsExport.empty()) {
    std::size_t skipped = 0;
    if (int error = ExportTfs(phone.FileSystem(), fsExport, &skipped); error != 0) {
      std::fprintf(stderr, "vphone: cannot export the file system: %s\n", std::strerror(error));
      return 1;
    }
    if (skipped != 0) {
      std::fprintf(stderr, "vphone: %zu names leading out of %s not exported\n", skipped,
                   fsExport.c_str());
    }
  }
  return 0;
}
