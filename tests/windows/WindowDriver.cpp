// Drives VeskaDownloader.exe as a user would, from another process: finds the main window by its
// title, presses its buttons, reads the log and answers the message boxes.
//
// Usage: WindowDriver connect|download
//   connect:  START, wait for the phone, EXIT.
//   download: START, "All Binary + FS" with the default calibration data, Download (every
//             question answered Yes), wait for "Download Finished", EXIT.
// Either way, before EXIT: the expert controls are shown, and the about box opens from the
// system menu over the disabled main window and closes by its button.
// Exit status 0 when every step saw what it waited for and the window went away.

// The program's headers before the system's: these name constants the system makes macros of.
#include "app/ControlIds.h"
#include "app/Templates.h"
#include "win32gui/Text.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using veska::win32gui::Narrow;
using veska::win32gui::Wide;

// A control's text, asked across the process boundary without waiting for ever.
std::string TextOf(HWND control) {
  DWORD_PTR length = 0;
  if (SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length) == 0)
    return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return Narrow(text);
}

struct Driver {
  HWND main = nullptr;
  DWORD process = 0;
  std::vector<std::string> boxes;  // the texts of the boxes answered so far

  HWND Control(int id) const { return GetDlgItem(main, id); }
  std::string Log() const { return TextOf(Control(veska::app::IDC_LOG)); }

  void Click(int id) const { PostMessageW(Control(id), BM_CLICK, 0, 0); }

  // Answers every message box of the program on screen: Yes where it asks, OK otherwise.
  void AnswerBoxes() {
    struct Search {
      DWORD process;
      std::vector<HWND> found;
    } search{process, {}};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
          auto& s = *reinterpret_cast<Search*>(data);
          wchar_t name[16] = {};
          GetClassNameW(window, name, 16);
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          if (owner == s.process && std::wstring_view(name) == L"#32770" && IsWindowVisible(window))
            s.found.push_back(window);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    for (HWND box : search.found) {
      const std::string text = TextOf(GetDlgItem(box, 0xFFFF));
      const std::string caption = TextOf(box);
      const int answer = GetDlgItem(box, IDYES) != nullptr ? IDYES : IDOK;
      std::printf("box [%s] %s -> %s\n", caption.c_str(), text.c_str(),
                  answer == IDYES ? "Yes" : "OK");
      std::fflush(stdout);
      boxes.push_back(text);
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
      std::this_thread::sleep_for(300ms);
    }
  }

  bool BoxSaid(std::string_view words) const {
    for (const std::string& text : boxes) {
      if (text.find(words) != std::string::npos) return true;
    }
    return false;
  }

  // Waits, answering boxes, until `done` holds; false after `bound`.
  template <typename Done>
  bool WaitFor(std::chrono::seconds bound, Done done) {
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline) {
      AnswerBoxes();
      if (done()) return true;
      std::this_thread::sleep_for(200ms);
    }
    return false;
  }
};

int Fail(const Driver& driver, const char* what) {
  std::printf("FAILED: %s\n--- log ---\n%s\n", what, driver.main ? driver.Log().c_str() : "");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "connect";
  Driver driver;
  const std::wstring title = Wide(veska::app::kMainDialogTemplate.title);
  if (!driver.WaitFor(60s, [&] {
        driver.main = FindWindowW(nullptr, title.c_str());
        return driver.main != nullptr;
      }))
    return Fail(driver, "no main window");
  GetWindowThreadProcessId(driver.main, &driver.process);
  std::printf("found the main window\n");
  // The window exists before it is shown and its controls set up; a click before then is lost
  // (a loaded machine showed it).
  if (!driver.WaitFor(60s, [&] {
        return IsWindowVisible(driver.main) &&
               IsWindowEnabled(driver.Control(veska::app::IDC_START)) && !driver.Log().empty();
      }))
    return Fail(driver, "the main window never became ready");

  driver.Click(veska::app::IDC_START);
  if (!driver.WaitFor(120s, [&] { return driver.Log().find("Available") != std::string::npos; }))
    return Fail(driver, "START never connected");
  // The worker brings the controls back after its last text.
  if (!driver.WaitFor(30s,
                      [&] { return IsWindowEnabled(driver.Control(veska::app::IDC_DOWNLOAD)); }))
    return Fail(driver, "the window never came back from START");
  std::printf("connected\n");

  if (mode == "download") {
    driver.Click(veska::app::IDC_SEL_ALL_BINARY_FS);
    HWND calData = driver.Control(veska::app::IDC_DEFAULT_CAL_DATA);
    if (SendMessageW(calData, BM_GETCHECK, 0, 0) != BST_CHECKED)
      driver.Click(veska::app::IDC_DEFAULT_CAL_DATA);
    if (!driver.WaitFor(10s, [&] {
          return SendMessageW(driver.Control(veska::app::IDC_SEL_ALL_BINARY_FS), BM_GETCHECK, 0,
                              0) == BST_CHECKED &&
                 SendMessageW(calData, BM_GETCHECK, 0, 0) == BST_CHECKED;
        }))
      return Fail(driver, "the selection did not take");
    driver.Click(veska::app::IDC_DOWNLOAD);
    if (!driver.WaitFor(900s, [&] { return driver.BoxSaid("Download Finished"); }))
      return Fail(driver, "the download never finished");
    // The worker ends after its notice with the total time; EXIT comes once it has gone, so
    // that quitting asks nothing.
    if (!driver.WaitFor(
            60s, [&] { return driver.Log().find("TOTAL Elapsed Time") != std::string::npos; }))
      return Fail(driver, "the download's worker never ended");
    std::this_thread::sleep_for(1s);
    const std::string log = driver.Log();
    if (log.find("Completed") == std::string::npos || log.find("  Failed") != std::string::npos)
      return Fail(driver, "the log does not say the download completed");
    std::printf("downloaded\n");
  }

  // The settings' expert switch shows what the template hides.
  for (int id : {veska::app::IDC_NAND_DUMP, veska::app::IDC_TFS_EXPLORER,
                 veska::app::IDC_VERIFY_AFTER_DOWNLOAD}) {
    if (!IsWindowVisible(driver.Control(id))) return Fail(driver, "an expert control is hidden");
  }

  // The about box from the system menu: modal over the main window, closed by its button.
  PostMessageW(driver.main, WM_SYSCOMMAND, veska::app::IDM_ABOUTBOX, 0);
  const std::wstring aboutTitle = Wide(veska::app::kAboutDialogTemplate.title);
  HWND about = nullptr;
  if (!driver.WaitFor(20s, [&] {
        about = FindWindowW(nullptr, aboutTitle.c_str());
        return about != nullptr && IsWindowVisible(about);
      }))
    return Fail(driver, "the system menu's about box did not open");
  const std::string payloads = TextOf(GetDlgItem(about, veska::app::IDC_ABOUT_PAYLOADS));
  std::printf("about box: %s\n", payloads.c_str());
  if (payloads.empty() || IsWindowEnabled(driver.main))
    return Fail(driver, "the about box is empty or not modal");
  PostMessageW(GetDlgItem(about, veska::app::IDC_ABOUT_OK), BM_CLICK, 0, 0);
  if (!driver.WaitFor(20s, [&] { return !IsWindowVisible(about) && IsWindowEnabled(driver.main); }))
    return Fail(driver, "the about box did not close");

  driver.Click(veska::app::IDC_EXIT);
  if (!driver.WaitFor(30s, [&] { return !IsWindow(driver.main); }))
    return Fail(driver, "EXIT left the window open");
  std::printf("the window has gone\n");
  return 0;
}
