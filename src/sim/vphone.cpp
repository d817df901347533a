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

using namespace veska::sim;

namespace {

sigset_t HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, signal);
  return set;
}

// The command line's words that become phone options only once they are parsed.
struct Arguments {
  std::string link = "uart";
  std::string flashId;
  std::string badBlocks;
  std::string bootSignal;
  std::string prelude;
  int usbDelayMs = 0;
  int peerTimeoutMs = static_cast<int>(PhoneOptions{}.peerTimeout.count());
  int eraseMs = 0;
  bool powerOff = false;
  bool resync = false;
  std::vector<std::string> faults;
  std::vector<std::string> fsFaults;
  std::string fsFormatError;
  std::string fsFile;
  std::string fsExport;
  std::string adapter;
};

void AddOptions(CLI::App& app, PhoneOptions& options, Arguments& args) {
  app.add_option("--link", args.link, "link dialect")->check(CLI::IsMember({"uart", "usb"}));
  app.add_option("--link-path", options.linkPath,
                 "place a symbolic link to the slave here (USB: once the device appears)");
  app.add_option("--usb-rate", options.usbRate, "USB: bit/s of the paced line (default 115200)");
  app.add_option("--usb-delay-ms", args.usbDelayMs,
                 "USB: the device appears this long after power-on")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--flash-id", args.flashId, "flash identity bytes, e.g. EC:B1");
  app.add_option("--bad-blocks", args.badBlocks, "bad-block pairs, e.g. 18:2032,19:2033");
  app.add_option("--flash-file", options.flashFile, "backing file of the NAND flash");
  app.add_flag("--pace", options.pace, "pace both directions at rate/10 bytes per second");
  app.add_option("--adapter", args.adapter,
                 "the USB adapter before the PC: ftdi[:MS] (holds bytes until 62 or its latency "
                 "timer, default 16 ms), cdc (64-byte packets, 1 ms frames) or none");
  app.add_option("--block-length", options.blockLength, "block length asked for in image writes")
      ->check(CLI::Range(1u, 0x180000u));
  app.add_flag("--uart-ack-request", options.uartAckRequest,
               "UART image writes: send 0x26 before the first block request");
  app.add_option("--boot-signal", args.bootSignal, "boot signal byte: A5 or 77");
  app.add_option("--boot-prelude", args.prelude,
                 "bytes sent once before the first boot signal, e.g. 00,00");
  app.add_flag("--powered-off", args.powerOff,
               "start switched off (SIGUSR1 switches on, SIGUSR2 off)");
  app.add_option("--peer-timeout-ms", args.peerTimeoutMs, "give up on a silent PC after this long")
      ->check(CLI::PositiveNumber);
  app.add_option("--erase-ms", args.eraseMs, "an erase takes this long before the phone answers")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--resync", args.resync,
               "after a protocol violation wait for quiet instead of hanging");
  app.add_flag("-v,--verbose", options.verbose, "event log on standard error");
  app.add_option("--fault", args.faults,
                 "KIND@STEP[#N][=VALUE][!]: silence|wrong|stray|sum|code|corrupt|drop at "
                 "boot|ack|ready|rate|flash-id|bad-blocks|erase|sync|block|done|chunk");
  app.add_option("--fs-file", args.fsFile,
                 "keep the file system in this file instead of the flash");
  app.add_option("--fs-export", args.fsExport,
                 "at shutdown, write the file system's files and records under this folder");
  app.add_option("--fs-fault", args.fsFaults,
                 "KIND@STEP[#N][=VALUE][!]: silence|sum|wrong|error at format|mount|checksum|"
                 "time|dir|dir-created|version|release|file|chunk|written|complete|unmount|"
                 "dump-chunk|dir-end|delete|read-file|status");
  app.add_option("--fs-format-error", args.fsFormatError,
                 "answer the next format with this error report, FUNCTION:ERROR in hex, e.g. "
                 "85:102");
}

// The phone's options from the parsed words; 2, with the reason on standard error, for a word
// that does not parse.
int ApplyArguments(const Arguments& args, PhoneOptions& options) {
  options.link = args.link == "usb" ? LinkDialect::Usb : LinkDialect::Uart;
  options.usbAppearDelay = std::chrono::milliseconds(args.usbDelayMs);
  options.peerTimeout = std::chrono::milliseconds(args.peerTimeoutMs);
  options.eraseDuration = std::chrono::milliseconds(args.eraseMs);
  options.poweredOnAtStart = !args.powerOff;
  options.haltOnViolation = !args.resync;
  if (!args.flashId.empty()) {
    auto id = ParseFlashId(args.flashId);
    if (!id) return std::fprintf(stderr, "vphone: bad --flash-id %s\n", args.flashId.c_str()), 2;
    options.flashId[0] = id->first;
    options.flashId[1] = id->second;
  }
  if (!args.badBlocks.empty()) {
    auto pairs = ParseBadBlocks(args.badBlocks);
    if (!pairs) {
      return std::fprintf(stderr, "vphone: bad --bad-blocks %s\n", args.badBlocks.c_str()), 2;
    }
    options.badBlocks = *pairs;
  }
  if (!args.adapter.empty()) {
    auto adapter = ParseAdapter(args.adapter);
    if (!adapter) {
      return std::fprintf(stderr, "vphone: --adapter must be ftdi, ftdi:MS (1-255), cdc or none\n"),
             2;
    }
    options.adapter = *adapter;
  }
  if (!args.bootSignal.empty()) {
    auto bytes = ParseBytes(args.bootSignal);
    if (!bytes || bytes->size() != 1 || ((*bytes)[0] != 0xA5 && (*bytes)[0] != 0x77)) {
      return std::fprintf(stderr, "vphone: --boot-signal must be A5 or 77\n"), 2;
    }
    options.bootSignal = (*bytes)[0];
  }
  if (!args.prelude.empty()) {
    auto bytes = ParseBytes(args.prelude);
    if (!bytes) {
      return std::fprintf(stderr, "vphone: bad --boot-prelude %s\n", args.prelude.c_str()), 2;
    }
    options.bootPrelude = *bytes;
  }
  for (const std::string& text : args.faults) {
    auto fault = ParseFault(text);
    if (!fault) return std::fprintf(stderr, "vphone: bad --fault %s\n", text.c_str()), 2;
    options.faults.push_back(*fault);
  }
  return 0;
}

// The file system's faults, a format error report among them; 2 as ApplyArguments.
int ParseFileSystemFaults(const Arguments& args, std::vector<FsFault>& faults) {
  std::vector<std::string> texts = args.fsFaults;
  if (!args.fsFormatError.empty()) texts.push_back("error@format=" + args.fsFormatError);
  for (const std::string& text : texts) {
    auto fault = ParseFsFault(text);
    if (!fault) return std::fprintf(stderr, "vphone: bad file-system fault %s\n", text.c_str()), 2;
    faults.push_back(*fault);
  }
  return 0;
}

// SIGUSR1 switches the phone on (or restarts it), SIGUSR2 switches it off; another handled
// signal ends the run and is returned.
int ServeUntilStopped(VirtualPhone& phone, const sigset_t& set) {
  int signal = 0;
  for (;;) {
    if (sigwait(&set, &signal) != 0) continue;
    if (signal == SIGUSR1) {
      phone.PowerOn();
    } else if (signal == SIGUSR2) {
      phone.PowerOff();
    } else {
      return signal;
    }
  }
}

int ExportFileSystem(VirtualPhone& phone, const std::string& folder) {
  std::size_t skipped = 0;
  if (int error = ExportTfs(phone.FileSystem(), folder, &skipped); error != 0) {
    std::fprintf(stderr, "vphone: cannot export the file system: %s\n", std::strerror(error));
    return 1;
  }
  if (skipped != 0) {
    std::fprintf(stderr, "vphone: %zu names leading out of %s not exported\n", skipped,
                 folder.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  PhoneOptions options;
  Arguments args;
  CLI::App app{"vphone: a virtual QX7430 phone on a pseudo-terminal"};
  AddOptions(app, options, args);
  CLI11_PARSE(app, argc, argv);
  if (int status = ApplyArguments(args, options); status != 0) return status;

  // Block the signals before any thread starts, so that only sigwait() below receives them and
  // the phone's thread never runs a handler.
  const sigset_t set = HandledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  std::vector<FsFault> fileSystemFaults;
  if (int status = ParseFileSystemFaults(args, fileSystemFaults); status != 0) return status;

  VirtualPhone phone(options);
  if (!args.fsFile.empty()) phone.SetFileSystemFile(args.fsFile);
  for (const FsFault& fault : fileSystemFaults) phone.InjectFileSystemFault(fault);
  if (int error = phone.Start(); error != 0) {
    std::fprintf(stderr, "vphone: cannot start: %s\n", std::strerror(error));
    return 1;
  }
  std::printf("%s\n", phone.SlavePath().c_str());
  if (!options.linkPath.empty()) std::printf("%s\n", options.linkPath.c_str());
  std::fflush(stdout);

  const int signal = ServeUntilStopped(phone, set);
  if (options.verbose) std::fprintf(stderr, "vphone: %s, shutting down\n", strsignal(signal));
  phone.Stop();  // removes the link and flushes the flash file
  if (!args.fsExport.empty()) return ExportFileSystem(phone, args.fsExport);
  return 0;
}
