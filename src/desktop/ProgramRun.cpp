#include "desktop/ProgramRun.h"

#include <cstdio>
#include <mutex>
#include <system_error>
#include <utility>

#include "app/ControlIds.h"
#include "app/FlashMap.h"
#include "link/FilePath.h"
#include "operations/Registry.h"

namespace veska::desktop {

namespace {

// Set once as the program starts and read on the user-interface thread; the lock keeps a test
// that sets it from racing a window that reads it.
std::mutex benchMutex;
BenchOpener& Opener() {
  static BenchOpener opener;
  return opener;
}

// What a program without a bench answers for it, as for a usage mistake.
constexpr int kNoBench = 2;

}  // namespace

void SetBenchOpener(BenchOpener opener) {
  std::lock_guard lock(benchMutex);
  Opener() = std::move(opener);
}

bool HasBench() {
  std::lock_guard lock(benchMutex);
  return static_cast<bool>(Opener());
}

int OpenBench(const std::filesystem::path& settingsFile) {
  BenchOpener opener;
  {
    std::lock_guard lock(benchMutex);
    opener = Opener();
  }
  return opener ? opener(settingsFile) : kNoBench;
}

int RunBench(std::string_view programName, const std::filesystem::path& given) {
  const std::filesystem::path file = ProgramSettingsFile(programName, given);
  if (!HasBench()) {
    std::fprintf(stderr, "%s: this build has no production bench\n",
                 std::string(programName).c_str());
    return kNoBench;
  }
  return OpenBench(file);
}

std::filesystem::path ProgramSettingsFile(std::string_view programName,
                                          const std::filesystem::path& given) {
  const std::string name(programName);
  if (std::error_code error; !given.empty() && !std::filesystem::exists(given, error)) {
    std::printf(
        "%s: the settings file %s does not exist; it is made when a choice is first saved\n",
        name.c_str(), link::Utf8Of(given).c_str());
  }
  return app::DesktopSettingsFile(name, given);
}

int RunProgram(ui::Host& host, const std::filesystem::path& settingsFile, ProgramWindows& windows) {
  app::DownloaderApp application(host, settingsFile);
  LoadPayloads(application.State().payloads);
  // The session's log beside the settings file, named in the about box.
  app::SessionLog sessionLog(app::SessionLogPath(settingsFile, host.ApplicationName()));
  windows.Hook(ProgramParts{application, sessionLog});
  DesktopSession session(windows, application, sessionLog, settingsFile, host.ApplicationName());
  application.InitInstance(operations::AllOperations(), [&](app::DownloaderDlg& dlg) {
    session.Attach(dlg);
    if (HasBench()) dlg.SetBenchOpener([settingsFile] { (void)OpenBench(settingsFile); });
  });
  session.End();
  windows.Unhook();
  return application.DialogResult();
}

std::vector<int> TextEndFields() {
  std::vector<int> ids;
  for (const app::ImageInfo& info : app::Catalogue()) ids.push_back(info.pathEdit);
  ids.push_back(app::IDC_FILE_NAME);
  return ids;
}

std::vector<int> ExpertControls(const app::Settings& settings) {
  if (settings.GetInt(KEY_EXPERT_BUTTONS, 0) == 0) return {};
  // Their template places are free space beside the link pair; the control states enable and
  // disable them as for every other operation button.
  return {app::IDC_NAND_DUMP, app::IDC_TFS_EXPLORER, app::IDC_VERIFY_AFTER_DOWNLOAD};
}

void WarnOfPayloadProblems(ui::Host& host, ui::Window& window,
                           const payloads::PayloadSet& payloads) {
  if (const std::string problems = PayloadProblems(payloads); !problems.empty()) {
    host.MessageBox(&window, problems, {}, ui::MB_OK | ui::MB_ICONWARNING);
  }
}

std::string AboutStatusLine(const app::SessionLog& sessionLog) {
  return "Session log: " + sessionLog.PathText();
}

}  // namespace veska::desktop
