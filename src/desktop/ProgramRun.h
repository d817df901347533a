#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/DownloaderApp.h"
#include "app/SessionLog.h"
#include "app/Settings.h"
#include "desktop/DesktopSession.h"
#include "payloads/PayloadSet.h"
#include "ui/Host.h"
#include "ui/Window.h"

namespace veska::desktop {

// What a run holds while its dialog runs, for the toolkit to dress its windows with. They live
// from ProgramWindows::Hook until ProgramWindows::Unhook.
struct ProgramParts {
  app::DownloaderApp& application;
  app::SessionLog& sessionLog;
};

// A toolkit's side of a desktop program's run: the session's way to the window (StatusWindow)
// and the dressing of the windows the host shows (the main window's looks, log pane and port
// status, the about box's status line).
class ProgramWindows : public StatusWindow {
 public:
  // The dialog is about to run: the host's window hooks are set to dress what it shows.
  virtual void Hook(const ProgramParts& parts) = 0;
  // The dialog and the session have ended: the hooks are cleared and nothing queued for the
  // window may reach the parts any more.
  virtual void Unhook() = 0;
};

// The production bench's window, opened for a settings file (its [Bench] section, its [Ports]);
// returns when the window is closed, with an exit status (0: closed as usual). The host's bench
// window sets it as the program starts; with none set no program offers the bench.
using BenchOpener = std::function<int(const std::filesystem::path& settingsFile)>;
void SetBenchOpener(BenchOpener opener);
[[nodiscard]] bool HasBench();
// Opens the bench through the opener; 2 when there is none.
int OpenBench(const std::filesystem::path& settingsFile);
// `--bench`: the bench for the settings file the program would read (ProgramSettingsFile),
// instead of the main window. Says so and returns 2 when the program has no bench.
int RunBench(std::string_view programName, const std::filesystem::path& given);

// The settings file a desktop program reads: the one given, else the user's (see
// app::DesktopSettingsFile). A given file that does not exist is said on the console, since a
// mistyped path would otherwise go unnoticed until the settings were missed.
[[nodiscard]] std::filesystem::path ProgramSettingsFile(std::string_view programName,
                                                        const std::filesystem::path& given);

// Everything a desktop program does between creating its host and ending: the loader payloads,
// the session log beside `settingsFile`, the records' session, the main dialog run modally with
// `windows` hooked, and the bench's item in its system menu when there is a bench. Returns the
// dialog's result.
int RunProgram(ui::Host& host, const std::filesystem::path& settingsFile, ProgramWindows& windows);

// What both toolkits make of the main window beyond its template.
// The path fields, which show the end of a path (the file name) with the whole as a tool tip.
[[nodiscard]] std::vector<int> TextEndFields();
// The expert buttons the settings ask to show (ExpertButtons); empty when they do not.
[[nodiscard]] std::vector<int> ExpertControls(const app::Settings& settings);
// A payload set's problems in a warning box over `window`; nothing when there are none.
void WarnOfPayloadProblems(ui::Host& host, ui::Window& window,
                           const payloads::PayloadSet& payloads);
// The about box's status line: where this session's log is.
[[nodiscard]] std::string AboutStatusLine(const app::SessionLog& sessionLog);

}  // namespace veska::desktop
