// The Windows window as the dialogs use it, on real controls (run under wine on a virtual X
// server by tests/cross/windows-gui-e2e).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace veska::win32gui
