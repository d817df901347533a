#include "cli/CliSession.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "app/ControlIds.h"
#include "app/FlashMap.h"
#include "app/Templates.h"
#include "cli/Bench.h"
#include "cli/Interrupt.h"
#include "cli/PortList.h"
#include "cli/YesNoPrompt.h"
#include "download/ChecksumTool.h"
#include "download/ImageCatalogue.h"
#include "download/ImageTransfer.h"
#include "dump/NandDump.h"
#include "dump/NandDumpDlg.h"
#include "dump/ReadBackVerify.h"
#include "explorer/TfsExplorer.h"
#include "explorer/TfsExplorerDlg.h"
#include "fs/FileSystemDownload.h"
#include "fs/Listing.h"
#include "link/BaudCodes.h"
#include "link/PortNames.h"
#include "operations/Registry.h"
#include "payloads/PayloadSet.h"
#include "target/Bootloader.h"
#include "target/Connection.h"

namespace veska::cli {

namespace {

constexpr const char* kApplicationName = "VeskaDownloader";

// The download step's selection, or the checksum step's image kind (a single-image selection),
// by its command-line name; -1 for any other word.
int SelectionByName(const std::string& name, bool singleImage) {
  const int index = app::SelectionByName(name);
  if (index < 0 || (singleImage && !app::IsImageCode(app::Selection(index)->code))) return -1;
  return index;
}

// The command-line names a step accepts, for the message that refuses another word.
std::string SelectionNames(bool singleImage) {
  std::string names;
  for (int i = 0; i < download::SELECTION_COUNT; ++i) {
    const app::SelectionInfo* selection = app::Selection(i);
    if (singleImage && !app::IsImageCode(selection->code)) continue;
    names += names.empty() ? "" : ", ";
    names += selection->cliName;
  }
  return names;
}

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

// The area of the dump list captioned `caption`, or null.
const app::DumpArea* DumpAreaByCaption(std::string_view caption) {
  for (const app::DumpArea& area : app::DumpAreas()) {
    if (area.caption == caption) return &area;
  }
  return nullptr;
}

// The port layer's diagnostics go to standard error here: standard output carries the log.
class StderrDiagnostics final : public link::DiagnosticSink {
 public:
  explicit StderrDiagnostics(std::FILE* err) : err_(err) {}
  // One port per run: its name would add nothing to the trace.
  void Diagnostic(std::string_view /*portName*/, std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), err_);
    std::fflush(err_);
  }

 private:
  std::FILE* err_;
};

// "COM" in any case followed by digits only.
bool LooksLikeComName(std::string_view name) {
  if (name.size() < 4) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((name[i] | 0x20) != "com"[i]) return false;
  }
  return name.find_first_not_of("0123456789", 3) == std::string_view::npos;
}

}  // namespace

int ParseArguments(int argc, const char* const* argv, CliArguments& arguments, std::FILE* err) {
  CLI::App app{
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
      "                                       for, USB identity, whether it can be opened\n"
      "  udev-rule PORT                       a udev rule for the USB device behind PORT: keeps\n"
      "                                       ModemManager away, grants it to the logged-in user\n"
      "Exit status: 0 done, 1 the phone refused or an operation failed, 2 usage error, 3 a file\n"
      "or input was refused, 4 no answer from the phone, 5 the port could not be opened,\n"
      "130 interrupted (Ctrl-C).\n"
      "Bench: --port given several times runs the steps on every port at once, each port's log\n"
      "in --log-dir; the exit status is then the worst of the ports' (130, 5, 4, 3, 1).\n"};
  app.prefix_command(true);  // everything from the first step on belongs to the steps
  app.add_option("--port", arguments.ports,
                 "COM1 ... COM50, or a device path; given several times, the steps run on every "
                 "port at once (a bench run)")
      ->allow_extra_args(false);
  app.set_version_flag("--version", std::string("veska-cli ") + VESKA_VERSION);
  app.add_option("--baud", arguments.baud,
                 "line rate after the loaders: 115K, 460K, 921K or 3M (also written out, "
                 "e.g. 921600)")
      ->transform([](std::string value) {
        std::string caption = BaudCaption(value);
        if (caption.empty())
          throw CLI::ValidationError("--baud", value + " is no rate of 115K, 460K, 921K, 3M");
        return caption;
      });
  app.add_option("--link", arguments.link, "link type")->check(CLI::IsMember({"uart", "usb"}));
  app.add_flag("--yes", arguments.yes, "answer questions Yes (default: No)");
  app.add_option("--progress", arguments.progress,
                 "bar (redrawn in place), plain (a line every 10 %) or none; default: bar on a "
                 "terminal, plain otherwise")
      ->check(CLI::IsMember({"bar", "plain", "none"}));
  app.add_option("--settings", arguments.settings, "settings file (default: the user's)");
  app.add_option("--release", arguments.release, "release folder holding APPS/ and COMMS/");
  app.add_option("--log-dir", arguments.logDir,
                 "bench run: the folder for each port's log (default: veska-bench-DATE-TIME)");
  app.add_option("--report", arguments.report,
                 "bench run: write a JSON report of every phone (steps, flash, images, errors)");
  app.add_flag("--repeat", arguments.repeat,
               "bench run: after each phone, wait for the next one on the same port, until "
               "Ctrl-C");
  app.add_option("--timeout", arguments.timeout,
                 "SECONDS a connected phone may stay silent (default 120; 0: built-in limits only)")
      ->check(CLI::NonNegativeNumber);
  for (const app::ImageInfo& image : app::Catalogue()) {
    app.add_option_function<std::string>(
        "--" + std::string(image.cliName),
        [&arguments, n = std::string(image.cliName)](const std::string& path) {
          arguments.images[n] = path;
        },
        "image file");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return EXIT_OK;
  } catch (const CLI::CallForVersion&) {
    std::printf("veska-cli %s\n", VESKA_VERSION);
    // Which loader programs a run would send, and from where.
    const payloads::PayloadSet set = payloads::PayloadSet::Load(payloads::PayloadFolders());
    std::printf("%s\n", set.Describe().c_str());
    return EXIT_OK;
  } catch (const CLI::ParseError& e) {
    std::fprintf(err, "veska-cli: %s\n", e.what());
    return EXIT_USAGE;
  }
  arguments.steps = app.remaining();
  if (arguments.ports.size() == 1) arguments.port = arguments.ports.front();
  if (arguments.steps.empty()) {
    std::fprintf(err, "veska-cli: no step given (try --help)\n");
    return EXIT_USAGE;
  }
  return -1;
}

std::filesystem::path SettingsFileOf(const CliArguments& arguments) {
  const std::filesystem::path settingsFile = !arguments.settings.empty()
                                                 ? std::filesystem::path(arguments.settings)
                                                 : app::UserSettingsFile(kApplicationName);
  return settingsFile.empty() ? std::filesystem::path("VeskaDownloader.INI") : settingsFile;
}

CliSession::CliSession(CliArguments arguments, std::FILE* out, std::FILE* err)
    : arguments_(std::move(arguments)), out_(out), err_(err), host_(kApplicationName) {
  settings_ =
      std::make_unique<app::Settings>(SettingsFileOf(arguments_), app::SettingsAccess::ReadOnly);
  dlg_ = std::make_unique<app::DownloaderDlg>(host_, state_, *settings_);
  dlg_->SetOperations(operations::AllOperations());
  // Every step learns how its operation ended from the result the operation reports.
  dlg_->Runner().SetObserver([this](const app::OperationResult& result) {
    std::lock_guard lock(resultsMutex_);
    results_.push_back(result);
  });

  const bool errTerminal = ::isatty(::fileno(err_)) == 1;
  presenter_ = std::make_unique<ConsolePresenter>(out_, err_, kApplicationName, errTerminal);
  ProgressMode progress = errTerminal ? ProgressMode::Bar : ProgressMode::Plain;
  if (arguments_.progress == "bar") progress = ProgressMode::Bar;
  if (arguments_.progress == "plain") progress = ProgressMode::Plain;
  if (arguments_.progress == "none") progress = ProgressMode::None;
  presenter_->SetProgressMode(progress);
  presenter_->SetLogOnSameTerminal(errTerminal && ::isatty(::fileno(out_)) == 1);
  // A bench may run for days: the journal keeps no history, it only feeds the console.
  host_.EventJournal().SetRecording(false);
  host_.EventJournal().SetObserver([this](const ui::Event& event) {
    presenter_->Present(event);
    if (eventTap_) eventTap_(event);
  });
  host_.SetAnswerYes(arguments_.yes);
  host_.SetQuestionHook([this](std::string_view text, std::string_view caption) {
    return AskOnTerminal(text, caption);
  });
  presenter_->HintAtYes(!arguments_.yes);
  presenter_->ShowFields(false);
  diagnostics_ = std::make_unique<StderrDiagnostics>(err_);
  // A wait for the phone may last many minutes; on a terminal its seconds are counted. Pipes
  // and log files get nothing of it.
  if (::isatty(::fileno(err_)) == 1) {
    dlg_->SetWaitObserver([this](const app::PhoneWait& wait) {
      // Ctrl-C is the terminal's way of stopping; there is no Disconnect button here.
      if (wait.ended) {
        presenter_->EndTransient();
      } else {
        presenter_->ShowTransient(app::PhoneWaitText(wait, "Ctrl-C stops the wait"));
      }
    });
  }
}

CliSession::~CliSession() {
  if (ownsInterruptHandler_) interrupt_->SetHandler({});
  liveWindow_.store(nullptr);
  dlg_->Runner().Join();
  host_.JoinWorkers();
  host_.EventJournal().SetObserver({});
}

namespace {

// Names the step a pass of the planning loop added, by the words it took, when the pass ends
// (whichever way it leaves the loop's body).
class StepNamer {
 public:
  StepNamer(std::vector<std::string>& names, const std::vector<CliSession::Step>& plan,
            const std::vector<std::string>& words, const std::size_t& position)
      : names_(names),
        plan_(plan),
        words_(words),
        position_(position),
        before_(plan.size()),
        first_(position) {}
  ~StepNamer() {
    if (plan_.size() == before_) return;
    std::string name;
    for (std::size_t i = first_; i <= position_ && i < words_.size(); ++i) {
      name += (name.empty() ? "" : " ") + words_[i];
    }
    names_.push_back(std::move(name));
  }
  StepNamer(const StepNamer&) = delete;
  StepNamer& operator=(const StepNamer&) = delete;

 private:
  std::vector<std::string>& names_;
  const std::vector<CliSession::Step>& plan_;
  const std::vector<std::string>& words_;
  const std::size_t& position_;
  std::size_t before_;
  std::size_t first_;
};

}  // namespace

bool CliSession::PlanSteps(std::vector<Step>& plan) {
  const auto& words = arguments_.steps;
  bool lastWasExplore = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const StepNamer namer(stepWords_, plan, words, i);
    const std::string& word = words[i];
    // The steps that open the port themselves; the others need one of these first.
    if (word == "connect" || word == "bootloader") needsPort_ = true;
    if (word != "explore") lastWasExplore = false;
    if (word == "connect") {
      plan.push_back([this] { return Connect(); });
    } else if (word == "download") {
      const int selection = i + 1 < words.size() ? SelectionByName(words[i + 1], false) : -1;
      if (selection < 0) {
        if (i + 1 < words.size()) {
          std::fprintf(err_, "veska-cli: unknown selection '%s'; SELECTION is one of: %s\n",
                       words[i + 1].c_str(), SelectionNames(false).c_str());
        } else {
          std::fprintf(err_, "veska-cli: download needs a SELECTION, one of: %s\n",
                       SelectionNames(false).c_str());
        }
        return false;
      }
      plannedDownloads_.push_back(selection);
      ++i;
      bool defaultCal = false;
      bool reboot = false;
      bool verify = false;
      for (; i + 1 < words.size() && words[i + 1].starts_with("--"); ++i) {
        if (words[i + 1] == "--default-cal") {
          defaultCal = true;
        } else if (words[i + 1] == "--reboot") {
          reboot = true;
        } else if (words[i + 1] == "--verify") {
          verify = true;
        } else {
          std::fprintf(err_, "veska-cli: unknown download option '%s'\n", words[i + 1].c_str());
          return false;
        }
      }
      plan.push_back([this, selection, defaultCal, reboot, verify] {
        return Download(selection, defaultCal, reboot, verify);
      });
    } else if (word == "bootloader") {
      plan.push_back([this] {
        return Press(app::OperationId::DownloadBootloader, app::IDC_DL_BOOTLOADER).Succeeded();
      });
    } else if (word == "erase-nand") {
      plan.push_back([this] { return Erase(app::OperationId::NandErase, app::IDC_NAND_ERASE); });
    } else if (word == "erase-bootloader") {
      plan.push_back(
          [this] { return Erase(app::OperationId::BootloaderErase, app::IDC_BOOTLOADER_ERASE); });
    } else if (word == "format") {
      // The Format button is hidden in the window; the step runs the same operation.
      plan.push_back([this] { return Perform(app::OperationId::Format).Succeeded(); });
    } else if (word == "dump") {
      const app::DumpArea* area = i + 1 < words.size() ? DumpAreaByCaption(words[i + 1]) : nullptr;
      if (area == nullptr || i + 2 >= words.size()) {
        std::string areas;
        for (const app::DumpArea& known : app::DumpAreas()) {
          areas += areas.empty() ? "" : ", ";
          areas += known.caption;
        }
        std::fprintf(err_, "veska-cli: dump needs an AREA and a FILE; AREA is one of: %s\n",
                     areas.c_str());
        return false;
      }
      std::string file = words[i + 2];
      i += 2;
      plan.push_back([this, area, file] { return Dump(*area, file); });
    } else if (word == "ports") {
      plan.push_back([this] { return ListPortsStep(); });
    } else if (word == "udev-rule") {
      if (i + 1 >= words.size()) {
        std::fprintf(err_, "veska-cli: udev-rule needs a PORT (COMn or a device path)\n");
        return false;
      }
      std::string port = words[++i];
      plan.push_back([this, port] { return UdevRuleStep(port); });
    } else if (word == "explore") {
      ExploreAction action;
      const std::string verb = i + 1 < words.size() ? words[i + 1] : std::string();
      const std::size_t arguments = verb == "get" || verb == "put" ? 2 : 1;
      if ((verb != "ls" && verb != "get" && verb != "put" && verb != "rm" && verb != "stat") ||
          i + 1 + arguments >= words.size()) {
        std::fprintf(err_,
                     "veska-cli: explore needs ls DIR, get PATH FILE, put FILE DIR, rm PATH or "
                     "stat PATH\n");
        return false;
      }
      const std::string& first = words[i + 2];
      const std::string second = arguments == 2 ? words[i + 3] : std::string();
      if (verb == "ls") {
        action = {ExploreAction::Verb::List, first, {}};
      } else if (verb == "get") {
        action = {ExploreAction::Verb::Get, first, second};
      } else if (verb == "put") {
        action = {ExploreAction::Verb::Put, second, first};
        plannedPuts_.push_back(first);
      } else if (verb == "rm") {
        action = {ExploreAction::Verb::Remove, first, {}};
      } else {
        action = {ExploreAction::Verb::Status, first, {}};
      }
      if (!action.phonePath.starts_with('/')) {
        std::fprintf(err_, "veska-cli: explore: a path on the phone starts with / (%s)\n",
                     action.phonePath.c_str());
        return false;
      }
      i += 1 + arguments;
      // Consecutive explore steps share one dialog, so the phone is mounted once.
      if (!lastWasExplore) {
        exploreGroups_.push_back(std::make_unique<std::vector<ExploreAction>>());
        plan.push_back([this, group = exploreGroups_.back().get()] { return Explore(*group); });
      }
      exploreGroups_.back()->push_back(std::move(action));
      lastWasExplore = true;
      continue;
    } else if (word == "checksum") {
      if (i + 1 < words.size() && words[i + 1] == "--file") {
        if (i + 2 >= words.size()) {
          std::fprintf(err_, "veska-cli: checksum --file needs a FILE\n");
          return false;
        }
        std::string file = words[i + 2];
        i += 2;
        plan.push_back([this, file] { return ChecksumFile(file); });
        continue;
      }
      const int kind = i + 1 < words.size() ? SelectionByName(words[i + 1], true) : -1;
      if (kind < 0) {
        if (i + 1 < words.size()) {
          std::fprintf(err_, "veska-cli: unknown image kind '%s'; KIND is one of: %s\n",
                       words[i + 1].c_str(), SelectionNames(true).c_str());
        } else {
          std::fprintf(err_,
                       "veska-cli: checksum needs an image KIND or --file FILE; KIND is "
                       "one of: %s\n",
                       SelectionNames(true).c_str());
        }
        return false;
      }
      ++i;
      plan.push_back([this, kind] { return Checksum(kind); });
    } else {
      std::fprintf(err_, "veska-cli: unknown step '%s' (try --help)\n", word.c_str());
      return false;
    }
  }
  return true;
}

bool CliSession::ApplyOptions() {
  // The link first: choosing it brings back that link's remembered port.
  if (arguments_.link == "usb") {
    window_->Click(app::IDC_USB);
  } else {
    window_->Click(app::IDC_UART);
  }
  if (!arguments_.port.empty()) {
    int number = link::ParseComName(arguments_.port);
    if (number == 0 && LooksLikeComName(arguments_.port)) {
      // COM0, COM51: a port name the selector does not hold, never a file of that name.
      std::fprintf(err_, "veska-cli: no such port %s (COM1 ... COM%d, or a device path)\n",
                   arguments_.port.c_str(), link::kComPortCount);
      return false;
    }
    if (number == 0) {
      // A device path: the log and the port's messages name it. The selector still gets an
      // entry, so that the operations' start check sees a chosen port.
      dlg_->portDevice = arguments_.port;
      number = 1;
    }
    if (number < 1 || number > window_->GetCount(app::IDC_PORT)) {
      std::fprintf(err_, "veska-cli: no such port %s\n", arguments_.port.c_str());
      return false;
    }
    window_->SelectItem(app::IDC_PORT, number - 1);
  }
  if (!arguments_.baud.empty()) {
    for (std::size_t i = 0; i < link::kSelectorBaudCount; ++i) {
      if (arguments_.baud == link::kSelectorBauds[i].caption) {
        window_->SelectItem(app::IDC_BAUD, static_cast<int>(i));
      }
    }
  }
  if (arguments_.timeout > 0) {
    // An explicit limit bounds every wait for the phone, the boot signal's included.
    state_.link.replyTimeout = std::chrono::seconds(arguments_.timeout);
    state_.link.replyTimeoutBoundsHandshake = true;
  } else if (arguments_.timeout == 0) {
    state_.link.replyTimeout = std::chrono::seconds(0);
  }
  // The command line wins over the release folder, which wins over the settings file.
  if (!arguments_.release.empty()) dlg_->DeriveReleasePaths(arguments_.release);
  for (const app::ImageInfo& image : app::Catalogue()) {
    if (auto it = arguments_.images.find(std::string(image.cliName));
        it != arguments_.images.end()) {
      dlg_->SetImagePathByKey(image.settingsKey, it->second);
    }
  }
  return true;
}

int CliSession::Run() {
  std::vector<Step> plan;
  if (!PlanSteps(plan)) return EXIT_USAGE;

  state_.payloads = payloads::PayloadSet::Load(payloads::PayloadFolders());
  std::fprintf(err_, "%s\n", state_.payloads.Describe().c_str());
  for (const std::string& problem : state_.payloads.Problems()) {
    std::fprintf(err_, "%s\n", problem.c_str());
  }

  window_ = host_.Create(app::kMainDialogTemplate, *dlg_);
  liveWindow_.store(window_.get());
  dlg_->SetDiagnosticsOutput(*diagnostics_);
  if (!ApplyOptions()) return EXIT_USAGE;
  if (needsPort_ && dlg_->portIndex < 0) {
    // The window would try "COM0" or report "Invalid Env": neither tells what to do.
    std::fprintf(err_, "veska-cli: choose a port (--port COMn or a device path)\n");
    return EXIT_USAGE;
  }
  if (const int status = CheckPlannedFiles(); status != EXIT_OK) return status;

  presenter_->ShowFields(showFieldLines_);
  const auto notify = [this, &plan](std::size_t index, bool ended, int status) {
    if (!stepObserver_) return;
    StepEvent event;
    event.index = index;
    event.count = plan.size();
    event.words = index < stepWords_.size() ? stepWords_[index] : std::string();
    event.ended = ended;
    event.exitStatus = status;
    if (ended) event.result = stepResult_;
    stepObserver_(event);
  };
  for (std::size_t index = 0; index < plan.size(); ++index) {
    if (interrupt_ != nullptr && interrupt_->Interrupted()) break;
    stepResult_.reset();
    notify(index, false, EXIT_OK);
    const std::uint32_t openFailures = state_.link.openFailures.load();
    if (plan[index]()) {
      notify(index, true, EXIT_OK);
      continue;
    }
    if (interrupt_ != nullptr && interrupt_->Interrupted()) {
      notify(index, true, EXIT_INTERRUPTED);
      break;
    }
    if (!stepResult_) {
      notify(index, true, EXIT_STEP_FAILED);
      return EXIT_STEP_FAILED;
    }
    int status = ExitStatusFor(*stepResult_, state_.link.openFailures.load() != openFailures);
    // A step may fail where its operation did not (an explore action the phone refused while
    // the Explorer itself ran to its end).
    if (status == EXIT_OK) status = EXIT_STEP_FAILED;
    if (status == EXIT_NO_ANSWER) {
      const bool start = stepResult_->operation == app::OperationId::Start;
      std::string within;
      if (state_.link.replyTimeout.count() > 0 &&
          (!start || state_.link.replyTimeoutBoundsHandshake)) {
        within = " within " + std::to_string(state_.link.replyTimeout.count() / 1000) + " s";
      }
      std::fprintf(
          err_, "veska-cli: %s ended: no answer from the phone%s%s\n",
          std::string(app::OperationName(stepResult_->operation)).c_str(), within.c_str(),
          start ? " (waiting for its boot signal or the acknowledgement of the start signal)" : "");
    }
    notify(index, true, status);
    return status;
  }
  if (interrupt_ != nullptr && interrupt_->Interrupted()) {
    interrupt_->WaitHandled();
    presenter_->EndProgressLine();
    std::fflush(out_);
    // The log may have stopped in the middle of a line.
    std::fprintf(err_, "\nveska-cli: interrupted\n");
    return EXIT_INTERRUPTED;
  }
  return EXIT_OK;
}

int CliSession::CheckPlannedFiles() {
  for (const int index : plannedDownloads_) {
    for (const app::ImageKind kind : app::Selection(index)->files) {
      const download::FileCheck check = download::CheckImageFile(*dlg_, kind);
      if (check == download::FileCheck::Ok) continue;
      const app::ImageInfo& info = app::Catalogue(kind);
      host_.MessageBox(window_.get(), check == download::FileCheck::OpenFailed
                                          ? info.openFailureText
                                          : info.sizeFailureText);
      std::fprintf(err_, "veska-cli: %s file refused before connecting: %s\n",
                   std::string(info.logName).c_str(),
                   ((*dlg_).*info.path).empty() ? "no path given" : ((*dlg_).*info.path).c_str());
      return EXIT_INPUT_REFUSED;
    }
  }
  // The files `explore put` will add, with the message the Explorer's Add would give.
  for (const std::string& file : plannedPuts_) {
    // Only a regular file, looked at without waiting for anyone (a FIFO would block the open).
    std::uint64_t length = 0;
    int error = 0;
    const fs::FileStatus status = fs::RegularFileLength(file, length, error);
    if (status == fs::FileStatus::Ok && length <= explorer::kMaxAddBytes) continue;
    if (status == fs::FileStatus::Ok) {
      host_.MessageBox(window_.get(), explorer::kAddTooLargeText);
      std::fprintf(err_,
                   "veska-cli: %s refused before connecting: it holds %ju bytes, more than a "
                   "file's size record carries (%ju)\n",
                   file.c_str(), static_cast<std::uintmax_t>(length),
                   static_cast<std::uintmax_t>(explorer::kMaxAddBytes));
      return EXIT_INPUT_REFUSED;
    }
    host_.MessageBox(window_.get(), "Fail to open resource file!");
    std::fprintf(
        err_, "veska-cli: %s refused before connecting: %s\n", file.c_str(),
        status == fs::FileStatus::NotRegular ? "it is not a regular file" : "it cannot be read");
    return EXIT_INPUT_REFUSED;
  }
  return EXIT_OK;
}

std::optional<int> CliSession::AskOnTerminal(std::string_view text, std::string_view caption) {
  if (asker_) {
    const std::optional<int> answer = asker_(text, caption);
    // Asked and answered: the box is not shown again.
    if (answer) presenter_->SkipNextBox();
    return answer;
  }
  if (!CanAskOnTerminal(err_)) return std::nullopt;
  presenter_->EndProgressLine();
  std::fflush(out_);
  ShowQuestion(err_, "", caption, text);
  const int answer = ReadAnswer(err_);
  presenter_->SkipNextBox();
  return answer;
}

void CliSession::WatchInterrupts(InterruptWatch& watch) {
  interrupt_ = &watch;
  ownsInterruptHandler_ = true;
  watch.SetHandler([this] { Cancel(); });
}

void CliSession::Cancel() {
  // What the Disconnect button does: the running operation's port closes under it.
  ui::HeadlessWindow* window = liveWindow_.load();
  if (window != nullptr && window->IsEnabled(app::IDC_DISCONNECT)) {
    window->Click(app::IDC_DISCONNECT);
  }
}

std::string CliSession::FlashIdText() const {
  return window_ ? window_->GetText(app::IDC_FLASH_ID) : std::string();
}

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

app::OperationResult CliSession::Press(app::OperationId id, int button) {
  {
    std::lock_guard lock(resultsMutex_);
    results_.clear();
  }
  bool pressed = true;
  if (button != 0) {
    pressed = window_->Click(button);
  } else {
    dlg_->Perform(id);
  }
  // A Ctrl-C that came while the step was starting found nothing to stop yet.
  if (interrupt_ != nullptr && interrupt_->Interrupted()) Cancel();
  dlg_->Runner().Join();
  std::lock_guard lock(resultsMutex_);
  for (auto it = results_.rbegin(); it != results_.rend(); ++it) {
    if (it->operation == id) {
      stepResult_ = *it;
      return *it;
    }
  }
  if (!pressed) {
    std::fprintf(err_, "veska-cli: %s is not available now%s\n",
                 std::string(app::OperationName(id)).c_str(),
                 id == app::OperationId::Start || id == app::OperationId::DownloadBootloader
                     ? ""
                     : " (connect first)");
  }
  stepResult_ = app::OperationResult::Ended(id, app::Outcome::Refused, 0, "not available now");
  return *stepResult_;
}

app::OperationResult CliSession::Perform(app::OperationId id) {
  return Press(id, 0);
}

bool CliSession::Connect() {
  const app::OperationResult result = Press(app::OperationId::Start, app::IDC_START);
  // The log reads as connected when only the flash checks went unanswered: say why it failed.
  if (result.outcome == app::Outcome::Failed && !result.reason.empty()) {
    std::fprintf(err_, "veska-cli: %s\n", result.reason.c_str());
  }
  return result.Succeeded();
}

bool CliSession::Erase(app::OperationId id, int button) {
  const app::OperationResult result = Press(id, button);
  // The log's line stays open at "> > > ": say what the phone answered instead.
  if (result.outcome == app::Outcome::Failed && result.status == target::ERASE_NOT_CONFIRMED) {
    std::fprintf(err_, "veska-cli: %s failed: %s\n", std::string(app::OperationName(id)).c_str(),
                 result.reason.c_str());
  }
  return result.Succeeded();
}

void CliSession::ChooseSelection(int selectionIndex) {
  // Set directly rather than clicked: most of these buttons are hidden, and after a failed
  // download the group stays disabled.
  for (int i = 0; i < download::SELECTION_COUNT; ++i) {
    window_->SetCheck(download::Selection(i)->button, i == selectionIndex ? 1 : 0);
  }
}

bool CliSession::Download(int selectionIndex, bool defaultCal, bool reboot, bool verify) {
  ChooseSelection(selectionIndex);
  window_->SetCheck(app::IDC_DEFAULT_CAL_DATA, defaultCal ? 1 : 0);
  window_->SetCheck(app::IDC_AUTO_REBOOT, reboot ? 1 : 0);
  // The flag decides, whatever the desktop program's settings say.
  window_->SetCheck(app::IDC_VERIFY_AFTER_DOWNLOAD, verify ? 1 : 0);
  return Press(app::OperationId::Download, app::IDC_DOWNLOAD).Succeeded();
}

namespace {

// Says that `file` holds only part of `whole` ("the dump of Boot2"); false when its size cannot
// be read.
bool SayIncomplete(std::FILE* err, const std::string& file, const std::string& whole) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error) return false;
  std::fprintf(err, "veska-cli: %s holds %ju bytes: %s is incomplete\n", file.c_str(), size,
               whole.c_str());
  return true;
}

}  // namespace

bool CliSession::Dump(const app::DumpArea& area, const std::string& file) {
  // The answers wait for the dialogs only when the dump can get as far as showing them: a
  // script left over would answer a later step's dialog.
  if (window_->IsEnabled(app::IDC_NAND_DUMP) && dlg_->StartCheck()) {
    host_.QueueModalScript([button = dump::NandDumpDlg::ButtonOfArea(area)](ui::HeadlessWindow& w) {
      w.Click(button);
      w.Click(ui::IDOK);
      return w.Ended() ? w.Result() : ui::IDCANCEL;
    });
    host_.QueueFileDialogAnswer(file);
  }
  // Whether the dump has written the file, should Ctrl-C end it: a file left as it was is no
  // partial dump.
  std::error_code error;
  const auto writtenBefore = std::filesystem::last_write_time(file, error);
  const bool existedBefore = !error;
  const app::OperationResult result = Press(app::OperationId::NandDump, app::IDC_NAND_DUMP);
  const auto writtenAfter = std::filesystem::last_write_time(file, error);
  const bool written = !error && (!existedBefore || writtenAfter != writtenBefore);
  // A failed or interrupted dump keeps the chunks it accepted: say that the file is not the
  // whole area. Only a file that could not be created was never touched.
  if ((result.outcome == app::Outcome::Failed && result.status != dump::DUMP_FILE_NOT_CREATED) ||
      (result.outcome == app::Outcome::Cancelled && written)) {
    (void)SayIncomplete(err_, file, "the dump of " + std::string(area.caption));
  }
  return result.Succeeded();
}

bool CliSession::UdevRuleStep(const std::string& port) {
#if defined(_WIN32)
  std::fprintf(err_, "veska-cli: udev rules are for Linux; %s needs none here\n", port.c_str());
  return false;
#else
  const bool comName = link::ParseComName(port) != 0;
  const std::string device = comName ? link::DevicePathFor(port, state_.link) : port;
  const std::string where = comName ? port + " (" + device + ")" : device;
  const std::optional<UsbIdentity> usb = UsbIdentityOf(device);
  if (!usb) {
    std::fprintf(err_,
                 "veska-cli: %s is no USB device present now (the phone's own USB port exists "
                 "only while it is switched on in download mode)\n",
                 where.c_str());
    return false;
  }
  const std::string rule = UdevRule(*usb, comName ? port : device, device);
  std::fflush(out_);
  std::fwrite(rule.data(), 1, rule.size(), out_);
  std::fflush(out_);
  std::fprintf(err_,
               "To install it:\n"
               "  veska-cli udev-rule %s | sudo tee /etc/udev/rules.d/70-veska-downloader.rules\n"
               "  sudo udevadm control --reload-rules && sudo udevadm trigger\n"
               "then plug the device in again.\n",
               port.c_str());
  return true;
#endif
}

bool CliSession::ListPortsStep() {
  if (!CanListPorts()) {
    std::fprintf(err_,
                 "veska-cli: this build cannot list serial devices (built without "
                 "libserialport)\n");
    return false;
  }
  const std::vector<PortEntry> ports = ListPorts(state_.link);
  if (ports.empty()) std::fprintf(err_, "veska-cli: no serial device found\n");
  const std::string text = FormatPorts(ports);
  std::fflush(out_);
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
  return true;
}

namespace {

// The directory part of a path on the phone ("/" for a file at the top) and its name.
std::pair<std::string, std::string> SplitPhonePath(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

// The Explorer's window acted on as the user would, one action at a time.
class ExploreScript {
 public:
  ExploreScript(ui::HeadlessWindow& window, ui::HeadlessHost& host, std::FILE* err)
      : w_(window),
        host_(host),
        err_(err),
        explorer_(dynamic_cast<explorer::TfsExplorerDlg&>(window.Handler())) {}

  bool Run(const CliSession::ExploreAction& action) {
    using Verb = CliSession::ExploreAction::Verb;
    if (!mounted_ && !Mount()) return false;
    switch (action.verb) {
      case Verb::List:
        return Open(action.phonePath, true);
      case Verb::Put:
        if (!Open(action.phonePath, false)) return false;
        w_.SetCurSel(app::IDC_EXPLORER_FILES, ui::LB_NONE);
        host_.QueueFileDialogAnswer(action.pcFile);
        return Choose(app::ID_EXPLORER_ADD);
      case Verb::Get:
      case Verb::Remove:
      case Verb::Status: {
        if (!SelectFile(action.phonePath)) return false;
        if (action.verb == Verb::Status) return Choose(app::ID_EXPLORER_STATUS);
        if (action.verb == Verb::Remove) return Choose(app::ID_EXPLORER_DELETE);
        host_.QueueFileDialogAnswer(action.pcFile);
        if (Choose(app::ID_EXPLORER_DUMP)) return true;
        // As a failed NAND dump says it: the file holds only part of the phone's file.
        if (explorer_.DumpIncomplete() &&
            !SayIncomplete(err_, action.pcFile, "the copy of " + action.phonePath)) {
          std::fprintf(err_, "veska-cli: %s is incomplete: the copy of %s stopped\n",
                       action.pcFile.c_str(), action.phonePath.c_str());
        }
        return false;
      }
    }
    return false;
  }

  // EXIT: the unmount, and the dialog's end.
  int Exit() {
    explorer_.WaitIdle();
    w_.Click(ui::IDOK);
    explorer_.WaitIdle();
    return w_.Ended() ? w_.Result() : ui::IDCANCEL;
  }

 private:
  bool Settled() {
    explorer_.WaitIdle();
    host_.ClearDialogAnswers();
    return explorer_.LastOutcome() == explorer::TfsExplorerDlg::ActionOutcome::Confirmed;
  }

  bool Mount() {
    w_.Click(app::IDC_EXPLORER_START);
    mounted_ = true;
    rootListed_ = Settled();
    return rootListed_;
  }

  // Lists `path` (walking down from the root, listing each level whose items the tree does
  // not hold yet). `always`: list it even when it is the directory listed last.
  bool Open(const std::string& path, bool always) {
    ui::TreeItem item = explorer_.RootItem();
    std::size_t from = 1;
    while (from < path.size()) {
      const std::size_t end = std::min(path.find('/', from), path.size());
      const std::string name = path.substr(from, end - from);
      from = end + 1;
      if (name.empty()) continue;
      ui::TreeItem child = Child(item, name);
      if (child == ui::TREE_NONE) {
        if (!List(item)) return false;
        child = Child(item, name);
      }
      if (child == ui::TREE_NONE) {
        std::fprintf(err_, "veska-cli: no directory %s on the phone\n", path.c_str());
        return false;
      }
      item = child;
    }
    if (!always && listed_ == item) return true;
    if (item == explorer_.RootItem() && std::exchange(rootListed_, false)) {
      listed_ = item;  // the mount has just listed it
      return true;
    }
    return List(item);
  }

  bool List(ui::TreeItem item) {
    rootListed_ = false;
    // A click on the selected item changes nothing: clear the selection first.
    w_.SelectTreeItem(app::IDC_EXPLORER_TREE, ui::TREE_NONE);
    if (!w_.ClickTreeItem(app::IDC_EXPLORER_TREE, item)) return false;
    const bool listed = Settled();
    listed_ = listed ? item : ui::TREE_NONE;
    return listed;
  }

  ui::TreeItem Child(ui::TreeItem parent, const std::string& name) const {
    for (ui::TreeItem child : w_.GetChildTreeItems(app::IDC_EXPLORER_TREE, parent)) {
      if (w_.GetTreeItemText(app::IDC_EXPLORER_TREE, child) == name) return child;
    }
    return ui::TREE_NONE;
  }

  bool SelectFile(const std::string& path) {
    const auto [directory, name] = SplitPhonePath(path);
    if (!Open(directory, false)) return false;
    for (int i = 0; i < w_.GetCount(app::IDC_EXPLORER_FILES); ++i) {
      if (w_.GetItemText(app::IDC_EXPLORER_FILES, i) == name) {
        return w_.SelectItem(app::IDC_EXPLORER_FILES, i);
      }
    }
    std::fprintf(err_, "veska-cli: no file %s on the phone\n", path.c_str());
    return false;
  }

  // The user's right-click on the file list and `command` of its menu. Add and Delete list the
  // directory again when they succeed.
  bool Choose(unsigned command) {
    rootListed_ = false;
    const std::uint64_t before = explorer_.ActionsStarted();
    w_.QueueMenuAnswer(command);
    w_.ContextMenu(app::IDC_EXPLORER_FILES);
    // A menu that did not offer the command starts nothing: that is no success either.
    const bool confirmed = Settled() && explorer_.ActionsStarted() != before;
    if (command == app::ID_EXPLORER_ADD || command == app::ID_EXPLORER_DELETE) {
      listed_ = ui::TREE_NONE;
    }
    return confirmed;
  }

  ui::HeadlessWindow& w_;
  ui::HeadlessHost& host_;
  std::FILE* err_;
  explorer::TfsExplorerDlg& explorer_;
  bool mounted_ = false;
  bool rootListed_ = false;              // the list shows the root as the mount listed it
  ui::TreeItem listed_ = ui::TREE_NONE;  // the directory whose files the list shows
};

}  // namespace

bool CliSession::Explore(const std::vector<ExploreAction>& actions) {
  if (!state_.sharedPort || state_.bootloaderMode.load() ||
      !window_->IsEnabled(app::IDC_DISCONNECT)) {
    std::fprintf(err_, "veska-cli: TFS Explorer is not available now (connect first)\n");
    return false;
  }
  bool succeeded = true;
  host_.QueueModalScript([this, &actions, &succeeded](ui::HeadlessWindow& w) {
    ExploreScript script(w, host_, err_);
    for (const ExploreAction& action : actions) {
      if (!script.Run(action)) {
        succeeded = false;
        break;
      }
    }
    return script.Exit();
  });
  // The button is shown on the UART link only; the step runs the same operation on both.
  const app::OperationResult result = Perform(app::OperationId::TfsExplorer);
  return succeeded && result.Succeeded();
}

bool CliSession::Checksum(int selectionIndex) {
  ChooseSelection(selectionIndex);
  if (!Perform(app::OperationId::Checksum).Succeeded()) return false;
  const app::ImageInfo& info = app::Catalogue(app::Selection(selectionIndex)->files.front());
  PrintChecksum((*dlg_).*info.path);
  return true;
}

void CliSession::PrintChecksum(const std::string& path) {
  // For scripts ($(veska-cli checksum apps)): the fields went to standard error.
  std::fflush(out_);
  std::fprintf(out_, "%s %s %s\n", window_->GetText(app::IDC_CHECKSUM_FIELD).c_str(),
               window_->GetText(app::IDC_FILE_SIZE).c_str(), path.c_str());
  std::fflush(out_);
}

bool CliSession::ChecksumFile(const std::string& path) {
  {
    std::lock_guard lock(resultsMutex_);
    results_.clear();
  }
  const app::OperationResult result =
      dlg_->Runner().RunHere(app::OperationId::Checksum, [this, &path] {
        const bool shown = download::ShowFileChecksum(*dlg_, path, "Fail to open bin file!");
        return app::OperationResult::Ended(app::OperationId::Checksum,
                                           shown ? app::Outcome::Done : app::Outcome::Failed);
      });
  stepResult_ = result;
  if (!result.Succeeded()) return false;
  PrintChecksum(path);
  return true;
}

int CliMain(int argc, const char* const* argv) {
  CliArguments arguments;
  if (int status = ParseArguments(argc, argv, arguments, stderr); status >= 0) return status;
  // Before the session starts any thread: they all inherit the blocked Ctrl-C.
  InterruptWatch interrupts;
  if (IsBenchRun(arguments)) return RunBench(arguments, interrupts, stdout, stderr);
  CliSession session(std::move(arguments), stdout, stderr);
  session.WatchInterrupts(interrupts);
  return session.Run();
}

}  // namespace veska::cli
