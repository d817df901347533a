// The Windows window as the dialogs use it, on real controls (run under wine on a virtual X
// server by tests/cross/windows-gui-e2e).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ControlIds.h"
#include "app/HostNotices.h"
#include "app/SessionLog.h"
#include "app/Templates.h"
#include "link/LinkState.h"
#include "win32gui/LogPane.h"
#include "win32gui/PortStatus.h"
#include "win32gui/Win32Window.h"

namespace veska::win32gui {
namespace {

using enum ui::ControlKind;

constexpr int kLog = 10;
constexpr int kNotes = 11;
constexpr int kName = 12;
constexpr int kTree = 13;
constexpr int kList = 14;
constexpr int kCombo = 15;
constexpr int kBar = 16;
constexpr int kRadioA = 17;
constexpr int kRadioB = 18;
constexpr int kRadioC = 19;
constexpr int kPort = 20;

constexpr std::string_view kPorts[] = {"COM1", "COM2", "COM3"};

constexpr ui::ControlTemplate kControls[] = {
    {kLog, RichEdit, "", {4, 4, 200, 60}, ui::STYLE_MULTILINE | ui::STYLE_READ_ONLY},
    {kNotes, Edit, "", {4, 70, 200, 40}, ui::STYLE_MULTILINE | ui::STYLE_READ_ONLY},
    {kName, Edit, "", {4, 114, 100, 12}, ui::STYLE_NONE},
    {kTree, TreeView, "", {210, 4, 100, 100}, ui::STYLE_NONE},
    {kList, ListBox, "", {210, 110, 100, 40}, ui::STYLE_NONE},
    {kCombo, DropDownList, "", {4, 130, 60, 60}, ui::STYLE_NONE},
    {kBar, ProgressBar, "", {4, 150, 200, 8}, ui::STYLE_SMOOTH},
    {kRadioA, RadioButton, "A", {4, 162, 30, 10}, ui::STYLE_GROUP_START},
    {kRadioB, RadioButton, "B", {40, 162, 30, 10}, ui::STYLE_NONE},
    {ui::ID_STATIC, Static, "label", {80, 162, 30, 10}, ui::STYLE_NONE},
    {kRadioC, RadioButton, "C", {120, 162, 30, 10}, ui::STYLE_GROUP_START},
    {kPort, DropDownList, "", {70, 130, 60, 60}, ui::STYLE_NONE, kPorts},
};
constexpr ui::DialogTemplate kDialog{900, "Window test",          320,      180, "Tahoma",
                                     8,   ui::DIALOG_SYSTEM_MENU, kControls};

struct Recorder final : ui::Dialog {
  std::vector<std::pair<int, ui::Notify>> commands;
  int treeChanges = 0;
  bool OnCommand(int id, ui::Notify code) override {
    commands.emplace_back(id, code);
    return true;
  }
  void OnTreeSelChanged(int, ui::TreeItem) override { ++treeChanges; }
};

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::filesystem::path ScratchFolder(std::string_view name) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

// A log trimmed to its limit keeps whole lines, the newest last, and every append lands at the
// end even when the user has put the caret elsewhere; line ends read back as "\n".
TEST(Win32WindowTest, AppendedTextGoesToTheEndAndTheOldestGoesFirst) {
  Recorder dialog;
  Win32Window window(kDialog, dialog, nullptr);
  for (int id : {kLog, kNotes}) {
    // Enough room that a line end is near the cut.
    window.SetTextLimit(id, 400);
    for (int i = 10; i < 70; ++i) {
      SendMessageW(GetDlgItem(window.Handle(), id), EM_SETSEL, 0, 0);
      window.AppendText(id, "line " + std::to_string(i) + "\r\n");
    }
    const std::string text = window.GetText(id);
    EXPECT_LE(text.size(), 400u) << id;
    EXPECT_EQ(text.substr(text.size() - 8), "line 69\n") << id;
    ASSERT_EQ(text.rfind("line ", 0), 0u) << id << ": " << text;
    const int first = std::stoi(text.substr(5, 2));
    std::string expected;
    for (int i = first; i < 70; ++i) expected += "line " + std::to_string(i) + "\n";
    EXPECT_EQ(text, expected) << id;
  }
  window.SetText(kName, "Ä→ü");
  EXPECT_EQ(window.GetText(kName), "Ä→ü");
  window.SetText(kNotes, "a\nb\r\nc");
  EXPECT_EQ(window.GetText(kNotes), "a\nb\nc");
}

// Handles name items of one tree only and are never given again; the sort follows the
// program's order and keeps equal texts as they were; the program's own selection is not told
// to the dialog.
TEST(Win32WindowTest, TreeItemsKeepTheirHandlesAndSortStably) {
  Recorder dialog;
  Win32Window window(kDialog, dialog, nullptr);
  const ui::TreeItem b = window.InsertTreeItem(kTree, ui::TREE_NONE, "b");
  const ui::TreeItem x1 = window.InsertTreeItem(kTree, ui::TREE_NONE, "x");
  const ui::TreeItem a = window.InsertTreeItem(kTree, ui::TREE_NONE, "a");
  const ui::TreeItem upperA = window.InsertTreeItem(kTree, ui::TREE_NONE, "A");
  const ui::TreeItem x2 = window.InsertTreeItem(kTree, ui::TREE_NONE, "x");
  const ui::TreeItem child = window.InsertTreeItem(kTree, b, "inner");
  EXPECT_EQ(window.InsertTreeItem(kTree, 9999, "orphan"), ui::TREE_NONE);
  EXPECT_EQ(window.InsertTreeItem(kList, ui::TREE_NONE, "not a tree"), ui::TREE_NONE);
  window.SortTreeChildren(kTree, ui::TREE_NONE);
  EXPECT_EQ(window.GetChildTreeItems(kTree, ui::TREE_NONE),
            (std::vector<ui::TreeItem>{upperA, a, b, x1, x2}));
  EXPECT_EQ(window.GetParentTreeItem(kTree, child), b);
  EXPECT_EQ(window.GetTreeItemText(kTree, child), "inner");
  EXPECT_TRUE(window.SelectTreeItem(kTree, child));
  EXPECT_EQ(window.GetSelectedTreeItem(kTree), child);
  EXPECT_EQ(dialog.treeChanges, 0);
  window.DeleteAllTreeItems(kTree);
  EXPECT_TRUE(window.GetChildTreeItems(kTree, ui::TREE_NONE).empty());
  EXPECT_EQ(window.GetTreeItemText(kTree, child), "");
  const ui::TreeItem again = window.InsertTreeItem(kTree, ui::TREE_NONE, "b");
  EXPECT_GT(again, child);
}

// A worker's calls run on the window's thread in the worker's order while the modal loop runs;
// lists, progress bars and radio groups behave as the dialogs expect.
TEST(Win32WindowTest, WorkerCallsRunInOrderOnTheWindowsThread) {
  Recorder dialog;
  Win32Window window(kDialog, dialog, nullptr);
  std::vector<std::string> seen;
  std::thread worker;
  const int result = window.RunModal([&] {
    worker = std::thread([&] {
      for (int i = 0; i < 50; ++i) {
        window.AppendText(kLog, "line\r\n");
        window.SetText(kName, std::to_string(i));
        seen.push_back(window.GetText(kName));
      }
      window.AddString(kList, "one");
      window.AddString(kCombo, "first");
      window.AddString(kCombo, "second");
      seen.push_back(window.SetCurSel(kCombo, 1) ? "in" : "out");
      seen.push_back(window.SetCurSel(kCombo, 5) ? "in" : "out");
      seen.push_back(std::to_string(window.GetCurSel(kCombo)));
      seen.push_back(window.GetItemText(kCombo, 1));
      window.SetRange(kBar, 0, 6'000'000'000LL);
      window.SetPos(kBar, 3'000'000'000LL);
      // Past the control's int range the bar shows the same proportion.
      HWND bar = GetDlgItem(window.Handle(), kBar);
      const auto position = static_cast<long long>(SendMessageW(bar, PBM_GETPOS, 0, 0));
      const auto top = static_cast<long long>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
      seen.push_back(top > 0 && std::llabs(position * 2 - top) <= 2 ? "half"
                                                                    : std::to_string(position));
      SendMessageW(GetDlgItem(window.Handle(), kRadioB), BM_CLICK, 0, 0);
      window.EndDialog(ui::IDOK);
    });
  });
  worker.join();
  EXPECT_EQ(result, ui::IDOK);
  ASSERT_EQ(seen.size(), 55u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], std::to_string(i));
  EXPECT_EQ(seen[50], "in");
  EXPECT_EQ(seen[51], "out");
  EXPECT_EQ(seen[52], std::to_string(ui::LB_NONE));
  EXPECT_EQ(seen[53], "second");
  EXPECT_EQ(seen[54], "half");
  std::string fifty;
  for (int i = 0; i < 50; ++i) fifty += "line\n";
  EXPECT_EQ(window.GetText(kLog), fifty);
  EXPECT_EQ(window.GetCount(kList), 1);
  EXPECT_EQ(window.GetCheck(kRadioB), ui::BST_CHECKED);
  EXPECT_EQ(window.GetCheck(kRadioA), ui::BST_UNCHECKED);
  ASSERT_FALSE(dialog.commands.empty());
  EXPECT_EQ(dialog.commands.back().first, kRadioB);
}

// The status line grows the window by one line and keeps the whole text, a text too long for
// it as the tool tip; it follows the port selector, and the selector's present ports are bold.
TEST(Win32WindowTest, TheStatusLineSaysWhatThePortStandsFor) {
  Recorder dialog;
  Win32Window window(kDialog, dialog, nullptr);
  RECT before{};
  GetClientRect(window.Handle(), &before);
  window.ShowStatusLine("short");
  RECT after{};
  GetClientRect(window.Handle(), &after);
  EXPECT_GT(after.bottom, before.bottom);
  EXPECT_EQ(window.StatusLine(), "short");
  EXPECT_EQ(window.ToolTip(ui::ID_STATIC), "");
  window.ShowStatusLine("again");
  RECT again{};
  GetClientRect(window.Handle(), &again);
  EXPECT_EQ(again.bottom, after.bottom);

  const link::LinkState link;
  EXPECT_EQ(PortStatus::Describe(-1, link), app::kNoPortChosen);
  PortStatus status(window, kPort, link);
  EXPECT_EQ(window.StatusLine(), app::kNoPortChosen);
  ASSERT_TRUE(window.SetCurSel(kPort, 2));
  const std::string com3 = PortStatus::Describe(2, link);
  EXPECT_EQ(com3.rfind("COM3 = \\\\.\\COM3 (", 0), 0u) << com3;
  EXPECT_EQ(window.StatusLine(), com3);
  EXPECT_EQ(window.ToolTip(kPort), com3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(window.IsItemEmphasized(kPort, i), PortStatus::IsPresent(i, link)) << i;
  }
  EXPECT_EQ(window.GetItemText(kPort, 2), "COM3");
  // A wait's text stays until the port's status changes or the user chooses again.
  window.ShowStatusLine("Waiting for the BOOT signal: 3 s");
  status.Refresh(false);
  EXPECT_EQ(window.StatusLine(), "Waiting for the BOOT signal: 3 s");
  SendMessageW(window.Control(kPort), CB_SETCURSEL, 1, 0);
  SendMessageW(window.Handle(), WM_COMMAND, MAKEWPARAM(kPort, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(window.Control(kPort)));
  EXPECT_EQ(window.StatusLine(), PortStatus::Describe(1, link));
}

// The log pane's additions: a fixed-pitch font with tab stops every eight characters that
// survive a new text, its menu, its text saved as UTF-8 with CRLF, and every appended text in
// the session's file; the path fields and the read-only look of a disabled box.
TEST(Win32WindowTest, TheLogGoesToItsMenuAndTheSessionFile) {
  const std::filesystem::path folder = ScratchFolder("veska_win32_log");
  Recorder dialog;
  Win32Window window(kDialog, dialog, nullptr);
  {
    app::SessionLog sessionLog(folder / "VeskaDownloader.log");
    window.SetAppendHook([&](int id, std::string_view text) {
      if (id == kLog) sessionLog.Append(text);
    });
    window.UseFixedPitchFont(kLog);
    window.SetText(kLog, "usage\ttext\n");
    window.AppendText(kLog, "> > >\tWrite Ä\r\n");
    window.AppendText(kNotes, "not the log\r\n");
    EXPECT_EQ(ReadBytes(folder / "VeskaDownloader.log"), "> > >\tWrite Ä\r\n");
  }
  HWND log = window.Control(kLog);
  {
    // Narrow and wide letters take the same room: the seventh letter of each line starts at
    // the same place.
    window.SetText(kLog, "iiiiiiiii\nWWWWWWWWW\n");
    const auto left = [&](int line) {
      POINTL point{};
      const auto start = SendMessageW(log, EM_LINEINDEX, line, 0);
      SendMessageW(log, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&point), start + 7);
      return point.x;
    };
    EXPECT_GT(left(0), 0);
    EXPECT_EQ(left(0), left(1));
    window.SetText(kLog, "usage\ttext\n> > >\tWrite \xC3\x84\r\n");
  }
  auto* font = reinterpret_cast<HFONT>(SendMessageW(log, WM_GETFONT, 0, 0));
  {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE space{};
    GetTextExtentPoint32W(dc, L" ", 1, &space);
    const int twips = MulDiv(8 * space.cx, 1440, GetDeviceCaps(dc, LOGPIXELSX));
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    PARAFORMAT2 format{};
    format.cbSize = sizeof(format);
    SendMessageW(log, EM_SETSEL, 3, 3);
    SendMessageW(log, EM_GETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&format));
    ASSERT_GT(format.cTabCount, 1);
    EXPECT_EQ(format.rgxTabs[0] & 0xFFFFFF, twips);
    EXPECT_EQ(format.rgxTabs[1] & 0xFFFFFF, 2 * twips);
  }

  EXPECT_FALSE(log_pane::Menu(false)[0].enabled);
  EXPECT_TRUE(log_pane::Menu(true)[0].enabled);
  EXPECT_EQ(log_pane::Menu(false)[3].text, "Copy all");
  EXPECT_EQ(log_pane::Menu(false)[4].text, "Save log...");
  ASSERT_TRUE(log_pane::SaveTo(window, kLog, folder / "saved.log"));
  EXPECT_EQ(ReadBytes(folder / "saved.log"), "usage\ttext\r\n> > >\tWrite Ä\r\n");
  EXPECT_FALSE(log_pane::SaveTo(window, kLog, folder / "missing" / "saved.log"));

  const std::string path = "C:\\Releases\\QX7430\\build-4711\\APPS\\apps_release_signed.bin";
  window.ShowTextEnd(kName);
  window.SetText(kName, path);
  EXPECT_EQ(window.ToolTip(kName), path);
  window.SetText(kName, " ");
  EXPECT_EQ(window.ToolTip(kName), "");

  window.Enable(kNotes, false);
  window.ShowDisabledAsReadOnly(kNotes);
  EXPECT_FALSE(window.IsEnabled(kNotes));
  EXPECT_TRUE(IsWindowEnabled(window.Control(kNotes)));
  window.Enable(kNotes, true);
  EXPECT_TRUE(window.IsEnabled(kNotes));
  // The template's read-only stays.
  EXPECT_NE(GetWindowLongPtrW(window.Control(kNotes), GWL_STYLE) & ES_READONLY, 0);
  std::filesystem::remove_all(folder);
}

// The main window may be enlarged, never made smaller than its template and the status line:
// the log takes the extra width and height (the progress bar above it the width), the status
// line goes down with the bottom edge, and every other control keeps its place. The about box
// cannot be resized: it grows only to hold its payload and folders lines whole, over its status
// line.
TEST(Win32WindowTest, AnEnlargedMainWindowGivesTheLogTheExtraRoom) {
  Recorder dialog;
  Win32Window window(app::kMainDialogTemplate, dialog, nullptr);
  window.ShowStatusLine("No COM port chosen");
  HWND handle = window.Handle();
  const LONG_PTR style = GetWindowLongPtrW(handle, GWL_STYLE);
  EXPECT_NE(style & WS_THICKFRAME, 0);
  EXPECT_NE(style & WS_MAXIMIZEBOX, 0);
  using Place = std::array<LONG, 4>;
  const auto placeOf = [handle](HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, handle, reinterpret_cast<POINT*>(&rect), 2);
    return Place{rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
  };
  const auto outerSize = [handle] {
    RECT rect{};
    GetWindowRect(handle, &rect);
    return std::pair{rect.right - rect.left, rect.bottom - rect.top};
  };
  std::vector<HWND> placed;
  std::vector<Place> before;
  for (std::size_t i = 0; i < app::kMainDialogTemplate.controls.size(); ++i) {
    placed.push_back(window.PlacedControl(i));
    before.push_back(placeOf(placed.back()));
  }
  HWND status = nullptr;
  for (HWND child = GetWindow(handle, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (std::find(placed.begin(), placed.end(), child) == placed.end()) status = child;
  }
  ASSERT_NE(status, nullptr);
  const Place statusBefore = placeOf(status);
  EXPECT_EQ(statusBefore[1], window.Units().Y(449));

  // The smallest size is the one the window opened with: the template's and the status line's.
  MINMAXINFO limits{};
  SendMessageW(handle, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  const auto [width, height] = outerSize();
  EXPECT_EQ(limits.ptMinTrackSize.x, width);
  EXPECT_EQ(limits.ptMinTrackSize.y, height);
  RECT client{};
  GetClientRect(handle, &client);
  EXPECT_EQ(client.right, window.Units().X(390));
  EXPECT_EQ(client.bottom, window.Units().Y(449) + statusBefore[3]);

  const auto expectPlaces = [&](LONG dx, LONG dy) {
    for (std::size_t i = 0; i < placed.size(); ++i) {
      const int id = app::kMainDialogTemplate.controls[i].id;
      Place expected = before[i];
      if (id == app::IDC_LOG || id == app::IDC_PROGRESS) expected[2] += dx;
      if (id == app::IDC_LOG) expected[3] += dy;
      EXPECT_EQ(placeOf(placed[i]), expected) << "entry " << i;
    }
    EXPECT_EQ(placeOf(status), (Place{statusBefore[0], statusBefore[1] + dy, statusBefore[2] + dx,
                                      statusBefore[3]}));
  };
  const UINT flags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
  SetWindowPos(handle, nullptr, 0, 0, width + 120, height + 200, flags);
  EXPECT_EQ(outerSize(), std::pair(width + 120, height + 200));
  expectPlaces(120, 200);
  // Smaller than the template is refused: the window stops at its smallest size.
  SetWindowPos(handle, nullptr, 0, 0, 50, 50, flags);
  EXPECT_EQ(outerSize(), std::pair(width, height));
  expectPlaces(0, 0);

  Win32Window about(app::kAboutDialogTemplate, dialog, nullptr);
  EXPECT_EQ(GetWindowLongPtrW(about.Handle(), GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
  const std::string lines =
      "Loader payloads: real target programs from C:\\ProgramData\\VeskaDownloader\\payloads\n"
      "Loader folders: C:\\Program Files\\R&D Veska\\VeskaDownloader\\payloads, then "
      "C:\\ProgramData\\VeskaDownloader\\payloads";
  about.SetText(app::IDC_ABOUT_PAYLOADS, lines);
  HWND label = about.Control(app::IDC_ABOUT_PAYLOADS);
  const auto drawnHeight = [label] {
    RECT room{};
    GetClientRect(label, &room);
    HDC dc = GetDC(label);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(label)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(label, text.data(), static_cast<int>(text.size()))));
    RECT needed{0, 0, room.right, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    return std::pair{needed.bottom, room.bottom};
  };
  EXPECT_GT(drawnHeight().first, drawnHeight().second);  // the template's box is too small
  const auto bottomOf = [&about](HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, about.Handle(), reinterpret_cast<POINT*>(&rect), 2);
    return std::pair{rect.top, rect.bottom};
  };
  about.FitStaticText(app::IDC_ABOUT_PAYLOADS);
  about.ShowStatusLine("Session log: C:\\Users\\tech\\AppData\\Roaming\\VeskaDownloader.log");
  const auto [textHeight, boxHeight] = drawnHeight();
  EXPECT_LE(textHeight, boxHeight);
  EXPECT_EQ(about.GetText(app::IDC_ABOUT_PAYLOADS), lines);
  HWND aboutStatus = nullptr;
  for (HWND child = GetWindow(about.Handle(), GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    bool fromTemplate = false;
    for (std::size_t i = 0; i < app::kAboutDialogTemplate.controls.size(); ++i) {
      fromTemplate = fromTemplate || about.PlacedControl(i) == child;
    }
    if (!fromTemplate) aboutStatus = child;
  }
  RECT aboutClient{};
  GetClientRect(about.Handle(), &aboutClient);
  ASSERT_NE(aboutStatus, nullptr);
  EXPECT_LE(bottomOf(label).second, bottomOf(aboutStatus).first);
  EXPECT_LE(bottomOf(aboutStatus).second, aboutClient.bottom);
}

// Esc, even from the log where the appended text puts the focus, and the close box are the
// dialog's own cancel, which decides what a running operation needs before the window ends.
TEST(Win32WindowTest, EscapeAndTheCloseBoxAreTheDialogsCancel) {
  Recorder dialog;
  Win32Window window(kDialog, dialog, nullptr);
  std::thread ender;
  window.RunModal([&] {
    window.AppendText(kLog, "focus here\r\n");
    PostMessageW(window.Control(kLog), WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(window.Handle(), WM_CLOSE, 0, 0);
    ender = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      window.EndDialog(ui::IDOK);
    });
  });
  ender.join();
  int cancels = 0;
  for (const auto& [id, code] : dialog.commands) cancels += id == ui::IDCANCEL ? 1 : 0;
  EXPECT_EQ(cancels, 2);
}

}  // namespace
}  // namespace veska::win32gui
