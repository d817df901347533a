#include "cli/CliArguments.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/FlashMap.h"
#include "app/Settings.h"
#include "link/BaudCodes.h"
#include "link/FilePath.h"
#include "payloads/PayloadSet.h"
#include "records/Record.h"
#include "station/ExitStatus.h"
#include "station/StepTable.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace veska::cli {

using namespace veska::station;

namespace {

constexpr const char* kHelpText =
    "veska-cli: the Veska Downloader's operations from a terminal.\n"
    "Steps run in order, like buttons pressed one after the other:\n"
    "  connect                              START: handshake, loaders, flash checks\n"
    "  download SELECTION [--default-cal] [--reboot] [--verify]\n"
    "                                       Download: SELECTION is bootloader, all-bin,\n"
    "                                       all-bin-fs, all, all-params, fs-files or one image\n"
    "                                       (apps comms sys-ind sys-dep patch spinner tfs rsrc\n"
    "                                       db2 nandpreboot boot1a boot2); --verify reads each\n"
    "                                       written image back from the flash before the\n"
    "                                       reboot and compares it with its file (not tfs and\n"
    "                                       db2: the phone rewrites them into its file system)\n"
    "  bootloader                           D / L Bootloader: the four boot images, UART only,\n"
    "                                       without connect\n"
    "  erase-nand                           NAND Erase: every block but the bootloader (after\n"
    "                                       connect)\n"
    "  erase-bootloader                     Bootloader Erase (after connect)\n"
    "  format                               TFS format (after connect)\n"
    "  dump AREA FILE                       NAND Dump of one area into FILE (after connect);\n"
    "                                       AREA is APPS, COMMS, Sysparm_ind, Sysparm_dep,\n"
    "                                       \"DSP patch\", \"Spinner FW\", Nandpreboot, Boot1a,\n"
    "                                       Boot1b, Boot2, LFS, \"Code(Nand1G)\" or\n"
    "                                       \"TFS(Nand2G)\"\n"
    "  explore ls DIR                       TFS Explorer (after connect): list a directory of\n"
    "  explore get PATH FILE                the phone's file system, copy a file from the\n"
    "  explore put FILE DIR                 phone, add a PC file to a directory, delete a\n"
    "  explore rm PATH                      file (--yes answers \"Sure to Delete?\"), show a\n"
    "  explore stat PATH                    file's status; consecutive explore steps share\n"
    "                                       one mount\n"
    "  checksum KIND | checksum --file FILE size and CRC-32 of an image file, no phone needed\n"
    "  ports                                the serial devices present: the COMn each stands\n"
    "                                       for, USB location and identity, whether it can\n"
    "                                       be opened\n"
    "  udev-rule PORT                       a udev rule for the USB device behind PORT: keeps\n"
    "                                       ModemManager away, grants it to the logged-in user\n"
    "  slots learn [--count N] [--write]    bind a bench's slots to a hub's ports: plug a\n"
    "                                       device into each slot's port in turn; prints the\n"
    "                                       [Bench] lines (Slot1=usb:1-1.3), --write puts them\n"
    "                                       into the settings file\n"
    "  records [--since DATE] [--station S] [--port P] [--release DIR|DIGEST] [--failed]\n"
    "          [--pending] [--unit SERIAL]  the phones served, from the records (--records),\n"
    "                                       summed up: passed, failed by cause, time a phone,\n"
    "                                       each station and port; a port failing three times\n"
    "                                       in a row and a unit served again after a pass are\n"
    "                                       pointed out; --unit lists one unit's history\n"
    "          [--html FILE] [--csv FILE]   instead, a shift report to look at: a page with\n"
    "                                       charts (yield by hour, failures by cause, the\n"
    "                                       slots' health), or the records for a spreadsheet\n"
    "  records --migrate                    brings the server's tables (--records) up to date,\n"
    "                                       as their owner\n"
    "  records --server-setup [--apply]     the SQL that makes the server's roles (veska_owner,\n"
    "                                       veska_writer, veska_reader), printed; --apply runs\n"
    "                                       it as the user of --records\n"
    "Exit status: 0 done, 1 the phone refused or an operation failed, 2 usage error, 3 a file\n"
    "or input was refused, 4 no answer from the phone, 5 the port could not be opened,\n"
    "130 interrupted (Ctrl-C; 143 SIGTERM, 129 SIGHUP).\n"
    "Bench: --port given several times runs the steps on every port at once, each port's log\n"
    "in --log-dir; the exit status is then the worst of the ports' (130, 5, 4, 3, 1).\n";

bool StandardInputIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stdin)) != 0;
#else
  return ::isatty(STDIN_FILENO) == 1;
#endif
}

// A day: a longer silence is no phone at work.
constexpr int kMaxTimeoutSeconds = 86400;

// The selector caption a --baud value stands for: the caption itself in any case, or the rate
// written out ("921600", "921.6k", "3000000"); empty when it names no rate of the selector.
std::string BaudCaption(std::string value) {
  for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const link::SelectorBaud& baud : link::kSelectorBauds) {
    const std::string rate = std::to_string(link::BaudRateForCode(baud.code));
    std::string kilo = std::to_string(link::BaudRateForCode(baud.code) / 100);
    kilo.insert(kilo.size() - 1, ".");  // 9216 -> "921.6"
    if (value == baud.caption || value == rate || value == kilo + "K") {
      return std::string(baud.caption);
    }
  }
  return {};
}

constexpr const char* kLinkGroup = "The phone's line";
constexpr const char* kRunGroup = "The run";
constexpr const char* kImageGroup = "Image files";
constexpr const char* kBenchGroup = "Bench (several --port)";

constexpr const char* kExamples =
    "Examples:\n"
    "  veska-cli --port COM17 --baud 921K --release ~/release connect download all-bin-fs\n"
    "  veska-cli --port /dev/ttyUSB0 connect dump APPS apps.bin\n"
    "  veska-cli --port COM17 connect explore ls / explore get /sys/config.bin config.bin\n"
    "  veska-cli --port COM17 --port COM18 --release ~/release --report bench.json \\\n"
    "            connect download all-bin --verify\n"
    "  veska-cli checksum --file FUSE_APPS.img\n"
    "  veska-cli ports\n"
    "veska-cli STEP --help explains one step.\n";

// The usage line names the steps, which come after the options.
class StepsFormatter final : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App*, std::string) const override {
    return "\nUsage: veska-cli [OPTIONS] STEP [STEP ...]\n";
  }
};

// The lines of the help text that explain `step`: from its first line up to the next step's.
std::string StepHelp(const std::string& step) {
  const std::string text = kHelpText;
  std::string found;
  bool inside = false;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const bool stepLine = line.starts_with("  ") && line.size() > 2 && line[2] != ' ';
    if (stepLine) {
      const std::string word = line.substr(2, line.find(' ', 2) - 2);
      inside = word == step;
    } else if (!line.starts_with("  ")) {
      inside = false;
    }
    if (inside) found += line + "\n";
  }
  return found;
}

// Every option, each bound to its field of `arguments`.
void AddOptions(CLI::App& app, CliArguments& arguments) {
  app.add_option("--port", arguments.ports,
                 "COM1 ... COM50, a device path, or a hub's port usb:LOCATION (as ports shows "
                 "it); given several times, the steps run on every port at once (a bench run)")
      ->allow_extra_args(false)
      ->group(kLinkGroup);
  app.set_version_flag("--version", std::string("veska-cli ") + VESKA_VERSION);
  app.add_option("--baud", arguments.baud,
                 "line rate after the loaders: 115K, 460K, 921K or 3M (also written out, "
                 "e.g. 921600)")
      ->transform([](std::string value) {
        std::string caption = BaudCaption(value);
        if (caption.empty())
          throw CLI::ValidationError(value + " is no rate of 115K, 460K, 921K, 3M");
        return caption;
      })
      ->group(kLinkGroup);
  app.add_option("--link", arguments.link, "link type")
      ->check(CLI::IsMember({"uart", "usb"}))
      ->group(kLinkGroup);
  app.add_flag("--yes", arguments.yes, "answer questions Yes (default: No)")->group(kRunGroup);
  app.add_flag("--json", arguments.json,
               "for scripts: ports, checksum, explore ls and stat as JSON on standard output, and "
               "one JSON line summing the run up at its end (steps, exit status, cause, "
               "seconds)")
      ->group(kRunGroup);
  app.add_option("--progress", arguments.progress,
                 "bar (redrawn in place), plain (a line every 10 %) or none; default: bar on a "
                 "terminal, plain otherwise")
      ->check(CLI::IsMember({"bar", "plain", "none"}))
      ->group(kRunGroup);
  app.add_option("--settings", arguments.settings, "settings file (default: the user's)")
      ->group(kRunGroup);
  app.add_option("--records", arguments.records,
                 "where each phone's record is kept: a database FILE, a server "
                 "(postgresql://USER@HOST/DB, or service=NAME of the PostgreSQL service file) or "
                 "none (default: veska-records.db beside the settings file)")
      ->type_name("WHERE")
      ->group(kRunGroup);
  app.add_option("--station", arguments.station,
                 "this PC's name in the records (default: its host name)")
      ->check(CLI::Validator(
          [](const std::string& name) {
            // Stored and printed as given: a newline or an escape would split the records'
            // lines or drive a reader's terminal.
            const bool control = std::any_of(name.begin(), name.end(), [](char c) {
              return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
            });
            return control ? std::string(
                                 "a station's name is one line of printable text, "
                                 "without a newline, tab, escape or other control "
                                 "character")
                           : std::string();
          },
          ""))
      ->group(kRunGroup);
  // Typed or scanned: the scanner's line end and stray spaces go, a control character or an
  // over-long text is refused before any port opens.
  const auto unitText = [](const char* what) {
    return [what](std::string value) {
      std::string text;
      std::string problem;
      if (!records::UnitText(value, text, problem)) {
        throw CLI::ValidationError(std::string(what) + " " + problem);
      }
      return text;
    };
  };
  app.add_option("--unit-serial", arguments.unitSerial,
                 "the unit's serial (as its label or a scanner gives it), kept in the phone's "
                 "record; a bench asks for each phone's with --ask-serial")
      ->transform(unitText("the serial"))
      ->type_name("TEXT")
      ->group(kRunGroup);
  app.add_option("--operator", arguments.operatorName,
                 "who serves the phones, kept in each phone's record")
      ->transform(unitText("the name"))
      ->type_name("NAME")
      ->group(kRunGroup);
  app.add_option("--release", arguments.release,
                 "release folder holding APPS/, COMMS/ and Rsrc.img (as tools/make-release "
                 "writes it)")
      ->group(kImageGroup);
  app.add_option("--log-dir", arguments.logDir,
                 "bench run: the folder for each port's log (default: veska-bench-DATE-TIME)")
      ->group(kBenchGroup);
  app.add_option("--log-split", arguments.logSplit,
                 "bench run: daily starts each port's log anew every day, as PORT-YYYY-MM-DD.log, "
                 "at the first phone of the day (default: none, one log a port)")
      ->check(CLI::IsMember({"none", "daily"}))
      ->group(kBenchGroup);
  app.add_option("--report", arguments.report,
                 "bench run: write a JSON report of every phone (steps, flash, images, errors)")
      ->group(kBenchGroup);
  app.add_flag("--ask-serial", arguments.askSerial,
               "bench run: before each phone, each port asks the terminal for the unit's "
               "serial (a barcode scanner types it); an empty answer asks again")
      ->group(kBenchGroup);
  app.add_flag("--repeat", arguments.repeat,
               "bench run: after each phone, wait for the next one on the same port, until "
               "Ctrl-C")
      ->group(kBenchGroup);
  app.add_option("--timeout", arguments.timeout,
                 "SECONDS a connected phone may stay silent (default 120; 0: built-in limits only)")
      ->check(CLI::Range(0, kMaxTimeoutSeconds))
      ->type_name("SECONDS")
      ->group(kLinkGroup);
  for (const app::ImageInfo& image : app::Catalogue()) {
    app.add_option_function<std::string>(
           "--" + std::string(image.cliName),
           [&arguments, n = std::string(image.cliName)](const std::string& path) {
             arguments.images[n] = path;
           },
           "image file")
        ->group(kImageGroup);
  }
}

// How many words a program option takes after its name: 0 for a flag or "--name=value", -1
// for a word that names none of them. --help and --version are left to the steps ("STEP --help").
int OptionWords(CLI::App& app, std::string_view word) {
  if (!word.starts_with("--") || word == "--help" || word == "--version") return -1;
  const std::size_t equals = word.find('=');
  const std::string name(word.substr(2, equals == std::string_view::npos ? word.npos : equals - 2));
  for (const CLI::Option* option : app.get_options()) {
    const std::vector<std::string>& names = option->get_lnames();
    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
    return equals != std::string_view::npos || option->get_expected_max() == 0 ? 0 : 1;
  }
  return -1;
}

// One reading of the words by CLI11; the steps' words are what it leaves. -1 to go on, else the
// exit status to end with.
int ParseOnce(const std::vector<std::string>& words, CliArguments& arguments, std::FILE* err,
              std::vector<std::string>& steps, std::vector<std::string>* options) {
  CLI::App app{kHelpText};
  app.prefix_command(true);  // everything from the first step on belongs to the steps
  app.formatter(std::make_shared<StepsFormatter>());
  app.footer(kExamples);
  AddOptions(app, arguments);
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return EXIT_OK;
  } catch (const CLI::CallForVersion&) {
    std::printf("veska-cli %s\n", VESKA_VERSION);
    // Which loader programs a run would send, and from where; then where a technician puts
    // the real ones.
    const std::vector<std::filesystem::path> folders = payloads::PayloadFolders();
    const payloads::PayloadSet set = payloads::PayloadSet::Load(folders);
    std::printf("%s\n%s\n", set.Describe().c_str(), payloads::DescribeFolders(folders).c_str());
    return EXIT_OK;
  } catch (const CLI::ParseError& e) {
    std::fprintf(err, "veska-cli: %s\n", e.what());
    return EXIT_USAGE;
  }
  steps = app.remaining();
  if (options != nullptr) {
    *options =
        TakeProgramOptions(steps, [&app](std::string_view word) { return OptionWords(app, word); });
  }
  return -1;
}

}  // namespace

int ParseArguments(int argc, const char* const* argv, CliArguments& arguments, std::FILE* err) {
  std::vector<std::string> words(argv, argv + argc);
  std::vector<std::string> options;
  if (int status = ParseOnce(words, arguments, err, arguments.steps, &options); status >= 0) {
    return status;
  }
  // Options that stood among the steps are read again with those before the first step, as if
  // they had been given there.
  if (!options.empty()) {
    words.resize(words.size() - (arguments.steps.size() + options.size()));
    words.insert(words.end(), options.begin(), options.end());
    words.insert(words.end(), arguments.steps.begin(), arguments.steps.end());
    arguments = CliArguments();
    std::vector<std::string> steps;
    if (int status = ParseOnce(words, arguments, err, steps, nullptr); status >= 0) return status;
    arguments.steps = std::move(steps);
  }
  // "STEP --help": that step's lines of the help.
  for (std::size_t i = 1; i < arguments.steps.size(); ++i) {
    if (arguments.steps[i] != "--help" && arguments.steps[i] != "-h") continue;
    const std::string help = StepHelp(arguments.steps[i - 1]);
    if (help.empty()) break;  // not after a step word: the steps' own reading says what is wrong
    std::printf("%s", help.c_str());
    return EXIT_OK;
  }
  if (arguments.ports.size() == 1) arguments.port = arguments.ports.front();
  if (arguments.steps.empty()) {
    std::fprintf(err, "veska-cli: no step given (try --help)\n");
    return EXIT_USAGE;
  }
  if (!arguments.unitSerial.empty() &&
      (arguments.ports.size() > 1 || arguments.repeat || arguments.askSerial)) {
    std::fprintf(err,
                 "veska-cli: --unit-serial names one phone's unit; a bench asks for each "
                 "phone's with --ask-serial\n");
    return EXIT_USAGE;
  }
  if (arguments.askSerial && !StandardInputIsTerminal()) {
    std::fprintf(err, "veska-cli: --ask-serial asks on the terminal, and there is none\n");
    return EXIT_USAGE;
  }
  // A mistyped settings path would otherwise pass unnoticed, the run taking the defaults.
  std::error_code error;
  if (!arguments.settings.empty() &&
      !std::filesystem::exists(link::PathOf(arguments.settings), error)) {
    std::fprintf(err, "veska-cli: the settings file %s does not exist; the defaults are used\n",
                 arguments.settings.c_str());
  }
  return -1;
}

}  // namespace veska::cli
