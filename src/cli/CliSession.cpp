#include "cli/CliSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <variant>

#include "cli/ConsolePresenter.h"
#include "cli/PortSteps.h"
#include "cli/Records.h"
#include "cli/SlotSteps.h"

namespace veska::cli {

using namespace veska::station;

namespace {

// Both streams end in one file or pipe, as `>run.log 2>&1` makes them.
bool SameFile(std::FILE* out, std::FILE* err) {
#if defined(_WIN32)
  // Windows' stat gives no file identity to compare; its consoles and files keep them apart.
  (void)out;
  (void)err;
  return false;
#else
  struct stat a {};
  struct stat b {};
  if (::fstat(::fileno(out), &a) != 0 || ::fstat(::fileno(err), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && !S_ISCHR(a.st_mode);
#endif
}

}  // namespace

CliSession::CliSession(const CliArguments& arguments, std::FILE* out, std::FILE* err)
    : station::Session(arguments, out, err) {
  const bool errTerminal = ::isatty(::fileno(err)) == 1;
  auto presenter = std::make_unique<ConsolePresenter>(out, Errors(), kApplicationName, errTerminal);
  ProgressMode progress = errTerminal ? ProgressMode::Bar : ProgressMode::Plain;
  if (arguments.progress == "bar") progress = ProgressMode::Bar;
  if (arguments.progress == "plain") progress = ProgressMode::Plain;
  if (arguments.progress == "none") progress = ProgressMode::None;
  presenter->SetProgressMode(progress);
  presenter->SetLogOnSameTerminal(errTerminal && ::isatty(::fileno(out)) == 1);
  presenter->SetLogInSameFile(SameFile(out, err));
  presenter->CountWaits(errTerminal);
  SetView(std::move(presenter));
  SetQueryRunner([this, out](const station::StepAction& action) {
    std::FILE* errors = Errors().File();
    const bool json = Options().json;
    if (const auto* rule = std::get_if<station::steps::UdevRule>(&action)) {
      return UdevRuleStep(rule->port, State().link, out, errors);
    }
    if (const auto* learn = std::get_if<station::steps::LearnSlots>(&action)) {
      return LearnSlotsStep(learn->count, learn->write, SettingsFileOf(Options()), out, errors,
                            OwnedInterrupts(), [this] { Cancel(); });
    }
    if (const auto* records = std::get_if<station::steps::Records>(&action)) {
      return RecordsStep(Options(), *records, out, errors, json);
    }
    return ListPortsStep(State().link, out, errors, json);
  });
}

}  // namespace veska::cli
