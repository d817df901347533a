#include "win32gui/Win32Api.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/ProgramRun.h"
#include "link/FilePath.h"
#include "win32gui/BenchWindow.h"
#include "win32gui/Program.h"
#include "win32gui/Text.h"
#include "win32gui/Win32Host.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: VeskaDownloader [--settings FILE] [--bench]\n\n"
    "--settings FILE\tSettings file (default: the user's)\n"
    "--bench\tOpen the production bench instead of the main window";

struct LocalDeleter {
  void operator()(wchar_t** words) const { LocalFree(words); }
};

// The program's words after its name, as UTF-8. They are taken in UTF-16: a narrow main gets
// them in the ANSI code page, where a settings file in a folder named in Korean cannot be named.
std::vector<std::string> Words() {
  int count = 0;
  const std::unique_ptr<wchar_t*, LocalDeleter> wide(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> words;
  for (int i = 1; wide && i < count; ++i) words.push_back(veska::link::Utf8Of(wide.get()[i]));
  return words;
}

struct Options {
  bool bench = false;
  bool help = false;
  std::filesystem::path settings;
  std::string mistake;  // why the words cannot be run; empty when they can
};

Options ReadOptions(const std::vector<std::string>& words) {
  Options options;
  for (std::size_t i = 0; i < words.size() && options.mistake.empty(); ++i) {
    const std::string& word = words[i];
    if (word == "--bench") {
      options.bench = true;
    } else if (word == "--help" || word == "-h" || word == "/?") {
      options.help = true;
    } else if (word == "--settings" && i + 1 < words.size()) {
      options.settings = veska::link::PathOf(words[++i]);
    } else if (word.starts_with("--settings=")) {
      options.settings = veska::link::PathOf(std::string_view(word).substr(11));
    } else if (word == "--settings") {
      options.mistake = "--settings needs a FILE";
    } else {
      options.mistake = "unknown option '" + word + "'";
    }
  }
  return options;
}

// A program without a console says what it has to say in a box.
void Tell(std::string_view text, unsigned icon) {
  MessageBoxW(nullptr, veska::win32gui::Wide(text).c_str(), L"VeskaDownloader",
              veska::ui::MB_OK | icon);
}

}  // namespace

int main() {
  const Options options = ReadOptions(Words());
  if (!options.mistake.empty()) {
    Tell("VeskaDownloader: " + options.mistake + "\n\n" + std::string(kUsage),
         veska::ui::MB_ICONERROR);
    return 2;
  }
  if (options.help) {
    Tell(kUsage, veska::ui::MB_ICONINFORMATION);
    return 0;
  }
  INITCOMMONCONTROLSEX controls{sizeof(controls),
                                ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_TREEVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  auto host = std::make_unique<veska::win32gui::Win32Host>();
  // A worker that has not ended within the quit's wait is stuck where nothing reaches it:
  // ending the process is the only way out, and the settings are already on disk.
  host->SetAbandonHook([] {
    std::fflush(nullptr);
    std::_Exit(0);
  });
  veska::desktop::SetBenchOpener(
      [name = host->ApplicationName()](const std::filesystem::path& file) {
        return veska::win32gui::RunBenchWindow(name, file);
      });
  int status = 0;
  if (options.bench) {
    status = veska::desktop::RunBench(host->ApplicationName(), options.settings);
  } else {
    veska::win32gui::RunProgram(*host, options.settings);
  }
  // EXIT ends the program at once, even while a worker still waits for the phone: the
  // settings are already on disk and a worker blocked in a port read must not hold it open.
  if (host->HasRunningWorkers()) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  host.reset();
  return status;
}
