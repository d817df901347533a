#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli/CliArguments.h"
#include "cli/CliSession.h"
#include "cli/Interrupt.h"
#include "cli/Records.h"
#include "cli/bench/Bench.h"
#include "link/FilePath.h"
#include "records/Stores.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace {

// The log goes out byte for byte: text mode would turn each "\n" into "\r\n". The progress bar
// redraws with ANSI escape sequences, which the console understands once asked to.
void PrepareConsole() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
      SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
  }
}

}  // namespace
#else
#include <csignal>
#endif

namespace {

int Main(int argc, char** argv) {
#if defined(_WIN32)
  PrepareConsole();
#else
  // A file-size limit must end a write with an error that the step reports (the copy is
  // incomplete), not kill the program before it can say so.
  std::signal(SIGXFSZ, SIG_IGN);
  // A reader that went (a pager quit, a pipe's far end closed) must not end a run half way:
  // writes to standard output then fail quietly and the phones, logs and report carry on.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  using namespace veska::cli;
  using namespace veska::station;
  CliArguments arguments;
  if (int status = ParseArguments(argc, argv, arguments, stderr); status >= 0) return status;
  // A command line is readable by every user of the PC (ps, /proc): said once, whatever the
  // run does with the address.
  if (veska::records::IsServerAddress(arguments.records) &&
      veska::records::HoldsPassword(arguments.records)) {
#if defined(_WIN32)
    const char* passwordFile = "%APPDATA%\\postgresql\\pgpass.conf";
#else
    const char* passwordFile = "~/.pgpass, mode 0600";
#endif
    std::fprintf(stderr,
                 "veska-cli: the password in --records is visible to every user of this PC; put "
                 "it in the password file (%s) and leave it out of the address\n",
                 passwordFile);
  }
  // Before the session starts any thread: they all inherit the blocked Ctrl-C.
  InterruptWatch interrupts;
  const int status = [&] {
    if (IsBenchRun(arguments)) return RunBench(arguments, interrupts, stdout, stderr);
    CliSession session(arguments, stdout, stderr);
    session.WatchInterrupts(interrupts);
    return RunRecorded(session, arguments, interrupts, stderr);
  }();
  // A run that SIGTERM or SIGHUP stopped says which, as a shell does for a killed program.
  return status == EXIT_INTERRUPTED ? interrupts.ExitStatus() : status;
}

}  // namespace

#if defined(_WIN32)
// Windows hands a narrow main its words in the ANSI code page, where a folder named in Korean
// or Greek cannot be written at all: the words are taken in UTF-16 and held as UTF-8, as every
// other name in the program is.
int wmain(int argc, wchar_t** wideArgv) {
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) words.push_back(veska::link::Utf8Of(wideArgv[i]));
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return Main(argc, argv.data());
}
#else
int main(int argc, char** argv) {
  return Main(argc, argv);
}
#endif
