// Drives VeskaDownloader.exe as a user would, from another process: finds the main window by its
// title, presses its buttons, reads the log, answers the message boxes and fills in the file
// dialogs.
//
// Usage: WindowDriver connect|download|disconnect|apps|tour|bench|bench-locked [OUTPUT_FOLDER]
//   connect:    START, wait for the phone, EXIT.
//   download:   START; "All Binary + FS" with the default calibration data, Download (every
//               question answered Yes), wait for "Download Finished"; the NAND dump of the
//               sysparm_ind area to OUTPUT_FOLDER\dump.bin; the TFS Explorer, the first file of
//               its first folder copied by the list's Dump to OUTPUT_FOLDER\copy.bin (its name in
//               OUTPUT_FOLDER\copy.name); the main log's text to OUTPUT_FOLDER\log.txt; EXIT.
//   disconnect: START, "All Binary + FS", Download, Disconnect once the bar has moved; the
//               window must come back idle with no notice of a finished download; EXIT.
//   apps:       START, APPS alone, Download; the log to OUTPUT_FOLDER\log.txt; EXIT.
//   tour:       the README's pictures of the window into OUTPUT_FOLDER (see Tour); EXIT.
//   bench:      the production bench window (VeskaDownloader.exe --bench): Start all with a
//               missing release folder is refused and starts nothing; with the settings' folder
//               every slot serves its phone once (every question answered Yes); a slot's log
//               through its row's menu to OUTPUT_FOLDER\slot-log.txt; Stop all; the window
//               closed. With a third argument, the window's picture mid-run as that file.
//   bench-locked: a locked bench that starts by itself: its plan's fields are disabled, every
//               slot serves unasked; Stop all stops them and Start all starts them again; the
//               window closed while they serve (its question answered Yes).
// Before EXIT: the expert controls are shown, and the production bench and then the about box
// open from the system menu over the disabled main window and close.
// Exit status 0 when every step saw what it waited for and the window went away.

// The program's headers before the system's: these name constants the system makes macros of.
#include "app/ControlIds.h"
#include "app/Templates.h"
#include "win32gui/BenchIds.h"
#include "win32gui/Text.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using veska::win32gui::Narrow;
using veska::win32gui::Wide;

// The file dialogs' file-name field: a combo box in the Explorer-style dialog, an edit in the
// older one.
constexpr int kFileNameCombo = 0x047C;
constexpr int kFileNameEdit = 0x0480;
// The static text of a message box.
constexpr int kBoxText = 0xFFFF;

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

LRESULT Ask(HWND control, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(control, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
  return static_cast<LRESULT>(result);
}

void Click(HWND button) {
  PostMessageW(button, BM_CLICK, 0, 0);
}

// The visible top-level windows of `process` whose class is `className`.
std::vector<HWND> WindowsOf(DWORD process, std::wstring_view className) {
  struct Search {
    DWORD process;
    std::wstring_view className;
    std::vector<HWND> found;
  } search{process, className, {}};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(data);
        wchar_t name[32] = {};
        GetClassNameW(window, name, 32);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s.process && std::wstring_view(name) == s.className && IsWindowVisible(window))
          s.found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

struct Driver {
  HWND main = nullptr;
  DWORD process = 0;
  std::vector<std::string> boxes;  // the texts of the boxes answered so far
  std::string fileAnswer;          // the path the next file dialog is given
  bool fileDialogSeen = false;

  HWND Control(int id) const { return GetDlgItem(main, id); }
  std::string Log() const { return TextOf(Control(veska::app::IDC_LOG)); }
  void Click(int id) const { ::Click(Control(id)); }
  bool Checked(int id) const { return Ask(Control(id), BM_GETCHECK) == BST_CHECKED; }

  // Answers every message box of the program on screen (Yes where it asks, OK otherwise) and
  // fills in a file dialog with `fileAnswer`.
  void AnswerBoxes() {
    for (HWND box : WindowsOf(process, L"#32770")) {
      HWND name = GetDlgItem(box, kFileNameCombo);
      if (name == nullptr) name = GetDlgItem(box, kFileNameEdit);
      if (name != nullptr && GetDlgItem(box, kBoxText) == nullptr) {
        std::printf("file dialog [%s] -> %s\n", TextOf(box).c_str(), fileAnswer.c_str());
        std::fflush(stdout);
        const std::wstring path = Wide(fileAnswer);
        Ask(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
        fileDialogSeen = true;
        std::this_thread::sleep_for(500ms);
        continue;
      }
      const std::string text = TextOf(GetDlgItem(box, kBoxText));
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

  // A sub-dialog of the program by its title, once it is on screen.
  HWND WaitForDialog(const veska::ui::DialogTemplate& dialog) {
    const std::wstring title = Wide(dialog.title);
    HWND found = nullptr;
    WaitFor(30s, [&] {
      found = FindWindowW(nullptr, title.c_str());
      return found != nullptr && IsWindowVisible(found);
    });
    return found != nullptr && IsWindowVisible(found) ? found : nullptr;
  }

  bool Idle() const {
    return IsWindowEnabled(Control(veska::app::IDC_START)) &&
           !IsWindowEnabled(Control(veska::app::IDC_DISCONNECT));
  }

  // The Explorer's Start, then the root's folder `index` clicked in the tree; true once the
  // file list shows the folder's files.
  bool ListFolder(HWND explorer, int index) {
    HWND tree = GetDlgItem(explorer, veska::app::IDC_EXPLORER_TREE);
    HWND list = GetDlgItem(explorer, veska::app::IDC_EXPLORER_FILES);
    ::Click(GetDlgItem(explorer, veska::app::IDC_EXPLORER_START));
    LRESULT folder = 0;
    if (!WaitFor(120s, [&] {
          const LRESULT root = Ask(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
          folder = root != 0 ? Ask(tree, TVM_GETNEXTITEM, TVGN_CHILD, root) : 0;
          for (int i = 0; i < index && folder != 0; ++i)
            folder = Ask(tree, TVM_GETNEXTITEM, TVGN_NEXT, folder);
          return folder != 0 && IsWindowEnabled(tree);
        }))
      return false;
    Ask(tree, TVM_SELECTITEM, TVGN_CARET, folder);
    return WaitFor(120s, [&] { return Ask(list, LB_GETCOUNT) > 0 && IsWindowEnabled(list); });
  }

  bool LogHas(std::string_view words) const { return Log().find(words) != std::string::npos; }

  // "All Binary + FS" with the default calibration data.
  bool ChooseAllBinaryAndFs() {
    Click(veska::app::IDC_SEL_ALL_BINARY_FS);
    if (!Checked(veska::app::IDC_DEFAULT_CAL_DATA)) Click(veska::app::IDC_DEFAULT_CAL_DATA);
    return WaitFor(10s, [&] {
      return Checked(veska::app::IDC_SEL_ALL_BINARY_FS) &&
             Checked(veska::app::IDC_DEFAULT_CAL_DATA);
    });
  }
};

int Fail(const Driver& driver, const char* what) {
  std::printf("FAILED: %s\n--- log ---\n%s\n", what, driver.main ? driver.Log().c_str() : "");
  return 1;
}

bool WriteFile(const std::string& path, std::string_view text) {
  std::ofstream out(std::filesystem::path(Wide(path)), std::ios::binary);
  out << text;
  return static_cast<bool>(out.flush());
}

// The window as the screen shows it, frame included, as a 24-bit bitmap file.
bool Shoot(HWND window, const std::string& file) {
  std::this_thread::sleep_for(700ms);  // the last repaint
  RECT rect{};
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const std::size_t row = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  std::string pixels(row * static_cast<std::size_t>(height), '\0');
  const int rows =
      GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) return false;
  BITMAPFILEHEADER header{};
  header.bfType = 0x4D42;  // "BM"
  header.bfOffBits = sizeof(header) + sizeof(info.bmiHeader);
  header.bfSize = static_cast<DWORD>(header.bfOffBits + pixels.size());
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof(header));
  bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(info.bmiHeader));
  bytes += pixels;
  const bool written = WriteFile(file, bytes);
  std::printf("%s %s\n", written ? "wrote" : "could not write", file.c_str());
  return written;
}

// The NAND dump of the sysparm_ind area into `file`.
int DumpArea(Driver& driver, const std::string& file) {
  driver.Click(veska::app::IDC_NAND_DUMP);
  HWND areas = driver.WaitForDialog(veska::app::kDumpAreaDialogTemplate);
  if (areas == nullptr) return Fail(driver, "the dump's area dialog did not open");
  HWND ok = GetDlgItem(areas, IDOK);
  Click(GetDlgItem(areas, veska::app::IDC_DUMP_SYSPARM_IND));
  if (!driver.WaitFor(10s, [&] { return IsWindowEnabled(ok) != FALSE; }))
    return Fail(driver, "OK stayed disabled after an area was chosen");
  std::printf("dump area %s .. %s\n", TextOf(GetDlgItem(areas, veska::app::IDC_DUMP_FROM)).c_str(),
              TextOf(GetDlgItem(areas, veska::app::IDC_DUMP_TO)).c_str());
  driver.fileAnswer = file;
  driver.fileDialogSeen = false;
  Click(ok);
  if (!driver.WaitFor(300s, [&] { return driver.LogHas("Dump Success!!"); }))
    return Fail(driver, "the dump never succeeded");
  if (!driver.fileDialogSeen) return Fail(driver, "the dump asked for no file");
  // The worker's last act is its notice; the next button waits until it has gone.
  if (!driver.WaitFor(60s, [&] { return driver.BoxSaid("Dump Finished"); }))
    return Fail(driver, "the dump's notice never came");
  driver.WaitFor(1s, [] { return false; });
  std::printf("dumped\n");
  return 0;
}

// The Explorer: Start lists the root; the first folder's first file is copied by the list's
// menu's Dump.
int CopyFromExplorer(Driver& driver, const std::string& folder) {
  driver.Click(veska::app::IDC_TFS_EXPLORER);
  HWND explorer = driver.WaitForDialog(veska::app::kTfsExplorerTemplate);
  if (explorer == nullptr) return Fail(driver, "the Explorer did not open");
  HWND list = GetDlgItem(explorer, veska::app::IDC_EXPLORER_FILES);
  HWND pane = GetDlgItem(explorer, veska::app::IDC_EXPLORER_TEXT);
  // The root holds folders only.
  if (!driver.ListFolder(explorer, 0)) return Fail(driver, "the Explorer listed no file");
  std::wstring name(Ask(list, LB_GETTEXTLEN, 0) + 1, L'\0');
  name.resize(Ask(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(name.data())));
  std::printf("explorer lists %d files, the first %s\n", static_cast<int>(Ask(list, LB_GETCOUNT)),
              Narrow(name).c_str());
  if (!WriteFile(folder + "\\copy.name", Narrow(name)))
    return Fail(driver, "could not write the name");
  // The user's click on the first file, then the list's pop-up menu.
  Ask(list, LB_SETCURSEL, 0);
  PostMessageW(explorer, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), MAKELPARAM(-1, -1));
  HWND menu = nullptr;
  if (!driver.WaitFor(20s, [&] {
        const std::vector<HWND> menus = WindowsOf(driver.process, L"#32768");
        menu = menus.empty() ? nullptr : menus.front();
        return menu != nullptr;
      }))
    return Fail(driver, "the file list's menu did not open");
  // The menu: the file's name, a separator, Dump, Delete, Status, Add.
  for (WPARAM key : {VK_DOWN, VK_DOWN, VK_RETURN}) {
    PostMessageW(menu, WM_KEYDOWN, key, 0);
    std::this_thread::sleep_for(200ms);
  }
  driver.fileAnswer = folder + "\\copy.bin";
  driver.fileDialogSeen = false;
  if (!driver.WaitFor(300s, [&] { return driver.BoxSaid("Dump Completed!"); }))
    return Fail(driver, "the Explorer's copy never completed");
  std::printf("--- explorer ---\n%s\n", TextOf(pane).c_str());
  Click(GetDlgItem(explorer, IDOK));  // EXIT unmounts
  if (!driver.WaitFor(60s, [&] { return !IsWindow(explorer) && IsWindowEnabled(driver.main); }))
    return Fail(driver, "the Explorer's EXIT did not close it");
  std::printf("copied\n");
  return 0;
}

int Download(Driver& driver) {
  if (!driver.ChooseAllBinaryAndFs()) return Fail(driver, "the selection did not take");
  driver.Click(veska::app::IDC_DOWNLOAD);
  if (!driver.WaitFor(900s, [&] { return driver.BoxSaid("Download Finished"); }))
    return Fail(driver, "the download never finished");
  // The worker ends after its notice with the total time; EXIT comes once it has gone, so
  // that quitting asks nothing.
  if (!driver.WaitFor(60s, [&] { return driver.LogHas("TOTAL Elapsed Time"); }))
    return Fail(driver, "the download's worker never ended");
  std::this_thread::sleep_for(1s);
  const std::string log = driver.Log();
  if (log.find("Completed") == std::string::npos || log.find("  Failed") != std::string::npos)
    return Fail(driver, "the log does not say the download completed");
  std::printf("downloaded\n");
  return 0;
}

// APPS alone, for the benchmark beside the command line: the log, with its elapsed time, goes
// to OUTPUT_FOLDER\\log.txt.
int DownloadApps(Driver& driver, const std::string& folder) {
  driver.Click(veska::app::IDC_SEL_APPS);
  if (!driver.WaitFor(10s, [&] { return driver.Checked(veska::app::IDC_SEL_APPS); }))
    return Fail(driver, "the selection did not take");
  driver.Click(veska::app::IDC_DOWNLOAD);
  if (!driver.WaitFor(900s, [&] { return driver.LogHas("Completed ( Elapsed Time"); }))
    return Fail(driver, "the download never completed");
  driver.WaitFor(1s, [] { return false; });
  if (!WriteFile(folder + "\\log.txt", driver.Log())) return Fail(driver, "could not save the log");
  std::printf("downloaded\n");
  return 0;
}

// Disconnect in the middle of the first image: the transfer stops and the window is idle.
int DisconnectMidway(Driver& driver) {
  if (!driver.ChooseAllBinaryAndFs()) return Fail(driver, "the selection did not take");
  driver.Click(veska::app::IDC_DOWNLOAD);
  HWND bar = driver.Control(veska::app::IDC_PROGRESS);
  if (!driver.WaitFor(300s, [&] {
        const LRESULT upper = Ask(bar, PBM_GETRANGE, FALSE, 0);
        return upper > 0 && Ask(bar, PBM_GETPOS) > upper / 10 &&
               IsWindowEnabled(driver.Control(veska::app::IDC_DISCONNECT));
      }))
    return Fail(driver, "the transfer never got under way");
  std::printf("disconnect at %d of %d\n", static_cast<int>(Ask(bar, PBM_GETPOS)),
              static_cast<int>(Ask(bar, PBM_GETRANGE, FALSE, 0)));
  driver.Click(veska::app::IDC_DISCONNECT);
  if (!driver.WaitFor(60s, [&] { return driver.Idle(); }))
    return Fail(driver, "the window did not come back idle");
  // Whatever the stopped worker still says arrives within a few seconds.
  driver.WaitFor(3s, [] { return false; });
  if (driver.BoxSaid("Download Finished")) return Fail(driver, "a stopped download was finished");
  if (!driver.Idle()) return Fail(driver, "the window left the idle state");
  std::printf("disconnected midway\n");
  return 0;
}

// The README's pictures: connected, the Explorer browsing a folder, a transfer under way (then
// stopped by Disconnect), each as OUTPUT_FOLDER\win32-*.bmp.
int Tour(Driver& driver, const std::string& folder) {
  if (!Shoot(driver.main, folder + "\\win32-connected.bmp")) return Fail(driver, "no picture");
  driver.Click(veska::app::IDC_TFS_EXPLORER);
  HWND explorer = driver.WaitForDialog(veska::app::kTfsExplorerTemplate);
  if (explorer == nullptr) return Fail(driver, "the Explorer did not open");
  if (!driver.ListFolder(explorer, 1)) return Fail(driver, "the Explorer listed no file");
  Ask(GetDlgItem(explorer, veska::app::IDC_EXPLORER_FILES), LB_SETCURSEL, 0);
  if (!Shoot(explorer, folder + "\\win32-explorer.bmp")) return Fail(driver, "no picture");
  Click(GetDlgItem(explorer, IDOK));
  if (!driver.WaitFor(60s, [&] { return !IsWindow(explorer) && IsWindowEnabled(driver.main); }))
    return Fail(driver, "the Explorer's EXIT did not close it");

  if (!driver.ChooseAllBinaryAndFs()) return Fail(driver, "the selection did not take");
  driver.Click(veska::app::IDC_DOWNLOAD);
  HWND bar = driver.Control(veska::app::IDC_PROGRESS);
  if (!driver.WaitFor(300s, [&] {
        const LRESULT upper = Ask(bar, PBM_GETRANGE, FALSE, 0);
        return upper > 0 && Ask(bar, PBM_GETPOS) > upper / 3;
      }))
    return Fail(driver, "the transfer never got under way");
  if (!Shoot(driver.main, folder + "\\win32-transfer.bmp")) return Fail(driver, "no picture");
  driver.Click(veska::app::IDC_DISCONNECT);
  if (!driver.WaitFor(60s, [&] { return driver.Idle(); }))
    return Fail(driver, "the window did not come back idle");
  driver.WaitFor(3s, [] { return false; });
  return 0;
}

// A list view of another process: its messages carry pointers, which must point into that
// process's memory.
class RemoteList {
 public:
  RemoteList(HWND list, DWORD process)
      : list_(list),
        process_(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                             process)) {
    if (process_ != nullptr) {
      memory_ = VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
  }
  ~RemoteList() {
    if (memory_ != nullptr) VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
    if (process_ != nullptr) CloseHandle(process_);
  }
  RemoteList(const RemoteList&) = delete;
  RemoteList& operator=(const RemoteList&) = delete;

  [[nodiscard]] bool Ready() const { return memory_ != nullptr; }
  [[nodiscard]] int Rows() const { return static_cast<int>(Ask(list_, LVM_GETITEMCOUNT)); }

  std::string Text(int row, int column) const {
    if (!Ready()) return {};
    auto* text = reinterpret_cast<wchar_t*>(static_cast<char*>(memory_) + sizeof(LVITEMW));
    LVITEMW item{};
    item.iSubItem = column;
    item.cchTextMax = kTextLength;
    item.pszText = text;
    if (WriteProcessMemory(process_, memory_, &item, sizeof(item), nullptr) == FALSE) return {};
    const auto length = static_cast<std::size_t>(std::clamp<LRESULT>(
        Ask(list_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(memory_)),
        0, kTextLength - 1));
    std::wstring read(length, L'\0');
    if (ReadProcessMemory(process_, text, read.data(), length * sizeof(wchar_t), nullptr) == FALSE)
      return {};
    return Narrow(read);
  }

  void Select(int row) const {
    if (!Ready()) return;
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (WriteProcessMemory(process_, memory_, &item, sizeof(item), nullptr) == FALSE) return;
    Ask(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(memory_));
  }

  // Every row, its columns separated by " | ".
  std::string Table() const {
    std::string table;
    for (int row = 0; row < Rows(); ++row) {
      for (int column = 0; column < veska::win32gui::bench_ids::kColumnCount; ++column) {
        table += (column == 0 ? "" : " | ") + Text(row, column);
      }
      table += "\n";
    }
    return table;
  }

 private:
  static constexpr std::size_t kSize = 4096;
  static constexpr int kTextLength = 512;
  HWND list_;
  HANDLE process_;
  void* memory_ = nullptr;
};

// The bench window of the program, once it shows its slots.
HWND FindBench(Driver& driver) {
  namespace ids = veska::win32gui::bench_ids;
  HWND bench = nullptr;
  if (!driver.WaitFor(60s, [&] {
        bench = FindWindowW(ids::kBenchClass, nullptr);
        return bench != nullptr && IsWindowVisible(bench);
      }))
    return nullptr;
  GetWindowThreadProcessId(bench, &driver.process);
  return bench;
}

// Stop all, then the bench window closed.
template <typename Stopped>
int StopAndClose(Driver& driver, HWND bench, Stopped stopped) {
  Click(GetDlgItem(bench, veska::win32gui::bench_ids::kStopAll));
  if (!driver.WaitFor(120s, stopped)) return Fail(driver, "Stop all left a slot serving");
  PostMessageW(bench, WM_CLOSE, 0, 0);
  if (!driver.WaitFor(60s, [&] { return !IsWindow(bench); }))
    return Fail(driver, "the bench window did not close");
  std::printf("the bench window has gone\n");
  return 0;
}

// The production bench window: a refused start, every slot served once, a slot's log, Stop all,
// the window closed.
int Bench(Driver& driver, const std::string& folder, const std::string& picture) {
  namespace ids = veska::win32gui::bench_ids;
  HWND bench = FindBench(driver);
  if (bench == nullptr) return Fail(driver, "no bench window");
  const auto control = [bench](int id) { return GetDlgItem(bench, id); };
  const RemoteList list(control(ids::kSlots), driver.process);
  if (!list.Ready()) return Fail(driver, "cannot read the bench's list");
  if (!driver.WaitFor(30s,
                      [&] { return list.Rows() > 0 && !list.Text(0, ids::kColumnState).empty(); }))
    return Fail(driver, "the bench shows no slot");
  std::printf("the bench shows %d slots\n%s", list.Rows(), list.Table().c_str());
  const auto stopped = [&] {
    for (int row = 0; row < list.Rows(); ++row) {
      if (list.Text(row, ids::kColumnState) != "stopped") return false;
    }
    return IsWindowEnabled(control(ids::kStartAll)) && !IsWindowEnabled(control(ids::kStopAll));
  };
  if (!stopped()) return Fail(driver, "the slots do not start stopped");

  // A release folder that is not there: the start is refused and nothing serves.
  const std::string release = TextOf(control(ids::kRelease));
  const std::wstring missing = Wide(folder + "\\no-such-release");
  Ask(control(ids::kRelease), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(missing.c_str()));
  Click(control(ids::kStartAll));
  if (!driver.WaitFor(60s, [&] { return !driver.boxes.empty(); }))
    return Fail(driver, "a start without its release folder was not refused");
  driver.WaitFor(2s, [] { return false; });
  if (!stopped()) return Fail(driver, "a refused start left a slot serving");
  driver.boxes.clear();

  const std::wstring wideRelease = Wide(release);
  Ask(control(ids::kRelease), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wideRelease.c_str()));
  // The first slot by its unit's serial, as a scanner types it and Enter; the rest by Start all.
  Ask(control(ids::kOperator), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"Eve"));
  Ask(control(ids::kSerial), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"SN-W1"));
  PostMessageW(control(ids::kSerial), WM_KEYDOWN, VK_RETURN, 0);
  if (!driver.WaitFor(60s, [&] { return list.Text(0, ids::kColumnState) != "stopped"; }))
    return Fail(driver, "Enter in the serial field did not start the first slot");
  if (!TextOf(control(ids::kSerial)).empty())
    return Fail(driver, "the serial field kept the serial it started a slot with");
  Click(control(ids::kStartAll));
  const auto served = [&] {
    for (int row = 0; row < list.Rows(); ++row) {
      if (std::atoi(list.Text(row, ids::kColumnPasses).c_str()) < 1) return false;
    }
    return true;
  };
  bool pictureTaken = picture.empty();
  std::optional<Clock::time_point> allWriting;
  const auto failed = [&] {
    for (int row = 0; row < list.Rows(); ++row) {
      if (std::atoi(list.Text(row, ids::kColumnFailures).c_str()) > 0) return true;
    }
    return false;
  };
  const bool done = driver.WaitFor(900s, [&] {
    if (!pictureTaken) {
      // Mid-run: every slot a fifth into its phone, its rate known (or a minute into writing).
      bool writing = true;
      bool underWay = true;
      for (int row = 0; row < list.Rows(); ++row) {
        writing = writing && list.Text(row, ids::kColumnState).starts_with("writing");
        underWay = underWay && !list.Text(row, ids::kColumnRate).empty() &&
                   std::atoi(list.Text(row, ids::kColumnProgress).c_str()) >= 20;
      }
      if (writing && !allWriting) allWriting = Clock::now();
      if (writing && (underWay || Clock::now() - *allWriting > 60s)) {
        pictureTaken = Shoot(bench, picture);
      }
    }
    // A picture's run ends with it.
    return (picture.empty() ? served() : pictureTaken) || failed();
  });
  std::printf("%s", list.Table().c_str());
  std::printf("totals: %s\n", TextOf(control(ids::kTotals)).c_str());
  if (!done || failed()) return Fail(driver, "the bench did not serve every phone once");
  if (!picture.empty()) return StopAndClose(driver, bench, stopped);
  if (!IsWindowEnabled(control(ids::kStopAll)) || IsWindowEnabled(control(ids::kRelease)))
    return Fail(driver, "a serving bench leaves its plan's fields enabled or Stop all disabled");

  // The first slot's log, through its row's menu (Show log is its first entry).
  list.Select(0);
  PostMessageW(bench, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(control(ids::kSlots)),
               MAKELPARAM(-1, -1));
  HWND menu = nullptr;
  if (!driver.WaitFor(20s, [&] {
        const std::vector<HWND> menus = WindowsOf(driver.process, L"#32768");
        menu = menus.empty() ? nullptr : menus.front();
        return menu != nullptr;
      }))
    return Fail(driver, "the row's menu did not open");
  for (WPARAM key : {VK_DOWN, VK_RETURN}) {
    PostMessageW(menu, WM_KEYDOWN, key, 0);
    std::this_thread::sleep_for(200ms);
  }
  HWND log = nullptr;
  if (!driver.WaitFor(20s, [&] {
        const std::vector<HWND> logs = WindowsOf(driver.process, ids::kLogClass);
        log = logs.empty() ? nullptr : logs.front();
        return log != nullptr;
      }))
    return Fail(driver, "Show log opened no window");
  const std::string text = TextOf(GetDlgItem(log, ids::kLogText));
  std::printf("log window [%s]: %zu characters\n", TextOf(log).c_str(), text.size());
  if (text.empty() || !WriteFile(folder + "\\slot-log.txt", text))
    return Fail(driver, "the slot's log is empty or cannot be saved");
  PostMessageW(log, WM_CLOSE, 0, 0);

  return StopAndClose(driver, bench, stopped);
}

// A locked bench that starts by itself (AutoStart and Locked in its settings).
int BenchLocked(Driver& driver) {
  namespace ids = veska::win32gui::bench_ids;
  HWND bench = FindBench(driver);
  if (bench == nullptr) return Fail(driver, "no bench window");
  const auto control = [bench](int id) { return GetDlgItem(bench, id); };
  const RemoteList list(control(ids::kSlots), driver.process);
  if (!list.Ready()) return Fail(driver, "cannot read the bench's list");
  const auto serving = [&] {
    for (int row = 0; row < list.Rows(); ++row) {
      const std::string state = list.Text(row, ids::kColumnState);
      if (state.empty() || state == "stopped") return false;
    }
    return list.Rows() > 0 && IsWindowEnabled(control(ids::kStopAll)) &&
           !IsWindowEnabled(control(ids::kStartAll));
  };
  if (!driver.WaitFor(60s, serving)) return Fail(driver, "the bench did not start by itself");
  std::printf("%s", list.Table().c_str());
  const auto fieldsDisabled = [&] {
    for (int id : {ids::kRelease, ids::kBrowse, ids::kSelection, ids::kDefaultCal, ids::kVerify,
                   ids::kReboot, ids::kStation}) {
      if (IsWindowEnabled(control(id))) return false;
    }
    return true;
  };
  if (!fieldsDisabled()) return Fail(driver, "a locked bench lets its plan be changed");
  Click(control(ids::kStopAll));
  if (!driver.WaitFor(60s, [&] {
        return IsWindowEnabled(control(ids::kStartAll)) && !IsWindowEnabled(control(ids::kStopAll));
      }))
    return Fail(driver, "Stop all did not stop the locked bench");
  if (!fieldsDisabled()) return Fail(driver, "a stopped locked bench lets its plan be changed");
  Click(control(ids::kStartAll));
  if (!driver.WaitFor(60s, serving))
    return Fail(driver, "Start all did not start the locked bench");
  // Closed while its slots serve: the window asks first, and stops them.
  PostMessageW(bench, WM_CLOSE, 0, 0);
  if (!driver.WaitFor(60s, [&] { return !IsWindow(bench); }))
    return Fail(driver, "the bench window did not close");
  if (driver.boxes.empty()) return Fail(driver, "a serving bench closed without asking");
  std::printf("the locked bench window has gone\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // What the driver saw so far stays in its log even if it dies.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string_view mode = argc > 1 ? argv[1] : "connect";
  const std::string folder = argc > 2 ? argv[2] : ".";
  Driver driver;
  if (mode == "bench") return Bench(driver, folder, argc > 3 ? argv[3] : "");
  if (mode == "bench-locked") return BenchLocked(driver);
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
  if (!driver.WaitFor(120s, [&] { return driver.LogHas("Available"); }))
    return Fail(driver, "START never connected");
  // The worker brings the controls back after its last text.
  if (!driver.WaitFor(30s,
                      [&] { return IsWindowEnabled(driver.Control(veska::app::IDC_DOWNLOAD)); }))
    return Fail(driver, "the window never came back from START");
  std::printf("connected\n");

  if (mode == "download") {
    // The settings' expert switch shows what the template hides.
    for (int id : {veska::app::IDC_NAND_DUMP, veska::app::IDC_TFS_EXPLORER,
                   veska::app::IDC_VERIFY_AFTER_DOWNLOAD}) {
      if (!IsWindowVisible(driver.Control(id))) return Fail(driver, "an expert control is hidden");
    }
    if (int failed = Download(driver); failed != 0) return failed;
    if (int failed = DumpArea(driver, folder + "\\dump.bin"); failed != 0) return failed;
    if (int failed = CopyFromExplorer(driver, folder); failed != 0) return failed;
    if (!WriteFile(folder + "\\log.txt", driver.Log()))
      return Fail(driver, "could not save the log");
  } else if (mode == "disconnect") {
    if (int failed = DisconnectMidway(driver); failed != 0) return failed;
  } else if (mode == "apps") {
    if (int failed = DownloadApps(driver, folder); failed != 0) return failed;
  } else if (mode == "tour") {
    if (int failed = Tour(driver, folder); failed != 0) return failed;
  }

  // The production bench from the system menu: modal over the main window, closed by its box.
  PostMessageW(driver.main, WM_SYSCOMMAND, veska::app::IDM_BENCH, 0);
  HWND bench = FindBench(driver);
  if (bench == nullptr) return Fail(driver, "the system menu's bench did not open");
  if (IsWindowEnabled(driver.main)) return Fail(driver, "the bench is not modal");
  PostMessageW(bench, WM_CLOSE, 0, 0);
  if (!driver.WaitFor(20s, [&] { return !IsWindow(bench) && IsWindowEnabled(driver.main); }))
    return Fail(driver, "the bench did not close back to the main window");
  std::printf("the bench opened from the system menu and closed\n");

  // The about box from the system menu: modal over the main window, closed by its button.
  PostMessageW(driver.main, WM_SYSCOMMAND, veska::app::IDM_ABOUTBOX, 0);
  HWND about = driver.WaitForDialog(veska::app::kAboutDialogTemplate);
  if (about == nullptr) return Fail(driver, "the system menu's about box did not open");
  const std::string payloads = TextOf(GetDlgItem(about, veska::app::IDC_ABOUT_PAYLOADS));
  std::printf("about box: %s\n", payloads.c_str());
  if (payloads.empty() || IsWindowEnabled(driver.main))
    return Fail(driver, "the about box is empty or not modal");
  Click(GetDlgItem(about, veska::app::IDC_ABOUT_OK));
  if (!driver.WaitFor(20s, [&] { return !IsWindowVisible(about) && IsWindowEnabled(driver.main); }))
    return Fail(driver, "the about box did not close");

  driver.Click(veska::app::IDC_EXIT);
  if (!driver.WaitFor(30s, [&] { return !IsWindow(driver.main); }))
    return Fail(driver, "EXIT left the window open");
  std::printf("the window has gone\n");
  return 0;
}
