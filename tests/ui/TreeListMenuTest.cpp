#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/HeadlessHost.h"
#include "ui/HeadlessWindow.h"
#include "ui/TreeOrder.h"

namespace veska::ui {
namespace {

using enum ControlKind;

constexpr int kTree = 10;
constexpr int kList = 11;
constexpr int kPane = 12;
constexpr int kLog = 13;
constexpr int kOtherTree = 14;

constexpr ControlTemplate kControls[] = {
    {kTree, TreeView, "", {}, STYLE_NONE},
    {kList, ListBox, "", {}, STYLE_NONE},
    {kPane, Edit, "", {}, STYLE_MULTILINE | STYLE_VSCROLL},
    {kLog, RichEdit, "", {}, STYLE_MULTILINE | STYLE_READ_ONLY},
    {kOtherTree, TreeView, "", {}, STYLE_NONE},
    {IDOK, PushButton, "EXIT", {}, STYLE_NONE},
};
constexpr DialogTemplate kDialog{130, "Trees", 200, 100, "Tahoma", 8, DIALOG_NONE, kControls};

// Records the tree and context-menu notifications it gets; answers context menus over the
// list only, with a menu whose choice it keeps.
class ExplorerLikeDialog : public Dialog {
 public:
  void OnTreeSelChanged(int id, TreeItem item) override { selections.emplace_back(id, item); }
  bool OnContextMenu(int id, Point point) override {
    contexts.emplace_back(id, point.x, point.y);
    if (id != kList) return false;
    const bool any = Wnd().GetCurSel(kList) != LB_NONE;
    PopupMenu menu{{100, "Dump", any}, {200, "Add", true}};
    if (any) {
      menu.insert(menu.begin(), {{MENU_SEPARATOR, "< " + Wnd().GetItemText(kList, 0) + " >"},
                                 {MENU_SEPARATOR, ""}});
    }
    chosen.push_back(Wnd().TrackPopupMenu(menu, point));
    return true;
  }
  std::vector<std::pair<int, TreeItem>> selections;
  std::vector<std::tuple<int, int, int>> contexts;
  std::vector<unsigned> chosen;
};

class TreeListMenuTest : public ::testing::Test {
 protected:
  std::vector<std::string> Texts(TreeItem parent) const {
    std::vector<std::string> texts;
    for (TreeItem item : window_->GetChildTreeItems(kTree, parent)) {
      texts.push_back(window_->GetTreeItemText(kTree, item));
    }
    return texts;
  }
  std::vector<Event> EventsOf(EventKind kind) {
    std::vector<Event> found;
    for (const Event& e : host_.EventJournal().Events()) {
      if (e.kind == kind) found.push_back(e);
    }
    return found;
  }

  HeadlessHost host_;
  ExplorerLikeDialog dialog_;
  std::unique_ptr<HeadlessWindow> window_ = host_.Create(kDialog, dialog_);
};

TEST(TreeTextLess, AlphabeticalWithoutCaseThenByBytes) {
  EXPECT_TRUE(TreeTextLess("apps", "Boot"));
  EXPECT_FALSE(TreeTextLess("Boot", "apps"));
  EXPECT_TRUE(TreeTextLess("sys", "sysdata"));  // a prefix first
  EXPECT_TRUE(TreeTextLess("Data", "data"));    // case only: upper case first
  EXPECT_FALSE(TreeTextLess("data", "Data"));
  EXPECT_FALSE(TreeTextLess("same", "same"));
  EXPECT_TRUE(TreeTextLess("z", "\xC3\xA9"));  // bytes past ASCII after the letters
}

TEST_F(TreeListMenuTest, ChildrenKeepInsertionOrderUntilSortedAndSortingStaysLocal) {
  const TreeItem root = window_->InsertTreeItem(kTree, TREE_NONE, "/");
  ASSERT_NE(root, TREE_NONE);
  const TreeItem sys = window_->InsertTreeItem(kTree, root, "sys");
  const TreeItem data = window_->InsertTreeItem(kTree, root, "Data");
  const TreeItem apps = window_->InsertTreeItem(kTree, root, "apps");
  const TreeItem z = window_->InsertTreeItem(kTree, sys, "z");
  const TreeItem a = window_->InsertTreeItem(kTree, sys, "a");
  EXPECT_EQ(Texts(root), (std::vector<std::string>{"sys", "Data", "apps"}));

  window_->SortTreeChildren(kTree, root);
  EXPECT_EQ(window_->GetChildTreeItems(kTree, root), (std::vector<TreeItem>{apps, data, sys}));
  EXPECT_EQ(window_->GetChildTreeItems(kTree, sys), (std::vector<TreeItem>{z, a}));  // untouched
  EXPECT_EQ(window_->GetChildTreeItems(kTree, TREE_NONE), std::vector<TreeItem>{root});

  // Equal texts keep the order they came in.
  const TreeItem second = window_->InsertTreeItem(kTree, sys, "a");
  window_->SortTreeChildren(kTree, sys);
  EXPECT_EQ(window_->GetChildTreeItems(kTree, sys), (std::vector<TreeItem>{a, second, z}));

  EXPECT_EQ(window_->GetParentTreeItem(kTree, a), sys);
  EXPECT_EQ(window_->GetParentTreeItem(kTree, sys), root);
  EXPECT_EQ(window_->GetParentTreeItem(kTree, root), TREE_NONE);
}

TEST_F(TreeListMenuTest, HandlesBelongToOneTreeAndDieWithDeleteAll) {
  const TreeItem root = window_->InsertTreeItem(kTree, TREE_NONE, "/");
  const TreeItem child = window_->InsertTreeItem(kTree, root, "sys");
  // Another tree, an unknown parent and a control that is no tree add nothing.
  EXPECT_EQ(window_->InsertTreeItem(kOtherTree, root, "x"), TREE_NONE);
  EXPECT_EQ(window_->InsertTreeItem(kTree, 999, "x"), TREE_NONE);
  EXPECT_EQ(window_->InsertTreeItem(kList, TREE_NONE, "x"), TREE_NONE);
  EXPECT_EQ(window_->GetTreeItemText(kOtherTree, root), "");
  EXPECT_TRUE(window_->SelectTreeItem(kTree, child));

  window_->DeleteAllTreeItems(kTree);
  EXPECT_EQ(window_->GetSelectedTreeItem(kTree), TREE_NONE);
  EXPECT_TRUE(window_->GetChildTreeItems(kTree, TREE_NONE).empty());
  EXPECT_EQ(window_->GetTreeItemText(kTree, child), "");
  EXPECT_FALSE(window_->SelectTreeItem(kTree, child));
  const TreeItem again = window_->InsertTreeItem(kTree, TREE_NONE, "/");
  EXPECT_NE(again, root);  // a handle is never handed out twice
  EXPECT_NE(again, child);
  EXPECT_EQ(window_->GetTreeItemText(kTree, root), "");
}

TEST_F(TreeListMenuTest, OnlyTheUsersChoiceOfAnotherItemNotifiesTheDialog) {
  const TreeItem root = window_->InsertTreeItem(kTree, TREE_NONE, "/");
  const TreeItem sys = window_->InsertTreeItem(kTree, root, "sys");
  EXPECT_EQ(window_->GetSelectedTreeItem(kTree), TREE_NONE);  // nothing chosen at first

  EXPECT_TRUE(window_->SelectTreeItem(kTree, sys));  // the program's own change
  EXPECT_TRUE(dialog_.selections.empty());
  EXPECT_TRUE(window_->ClickTreeItem(kTree, root));
  EXPECT_TRUE(window_->ClickTreeItem(kTree, root));  // already selected: nothing new
  EXPECT_TRUE(window_->ClickTreeItem(kTree, sys));
  EXPECT_EQ(dialog_.selections,
            (std::vector<std::pair<int, TreeItem>>{{kTree, root}, {kTree, sys}}));
  EXPECT_EQ(window_->GetSelectedTreeItem(kTree), sys);

  window_->Enable(kTree, false);
  EXPECT_FALSE(window_->ClickTreeItem(kTree, root));
  window_->Enable(kTree, true);
  EXPECT_FALSE(window_->ClickTreeItem(kTree, 999));
  EXPECT_FALSE(window_->ClickTreeItem(kTree, TREE_NONE));
  EXPECT_EQ(dialog_.selections.size(), 2u);
  EXPECT_TRUE(window_->SelectTreeItem(kTree, TREE_NONE));
  EXPECT_EQ(window_->GetSelectedTreeItem(kTree), TREE_NONE);
}

TEST_F(TreeListMenuTest, TreeChangesAreJournaledInOrder) {
  const TreeItem root = window_->InsertTreeItem(kTree, TREE_NONE, "/");
  const TreeItem sys = window_->InsertTreeItem(kTree, root, "sys");
  window_->SortTreeChildren(kTree, root);
  window_->ExpandTreeItem(kTree, root);
  window_->ClickTreeItem(kTree, sys);
  window_->DeleteAllTreeItems(kTree);

  std::vector<std::tuple<EventKind, int, std::string, std::int64_t, std::int64_t>> seen;
  for (const Event& e : host_.EventJournal().Events()) {
    if (e.id == kTree) seen.emplace_back(e.kind, e.dialog, e.text, e.a, e.b);
  }
  using T = std::tuple<EventKind, int, std::string, std::int64_t, std::int64_t>;
  EXPECT_EQ(seen, (std::vector<T>{{EventKind::TreeInsert, 130, "/", root, TREE_NONE},
                                  {EventKind::TreeInsert, 130, "sys", sys, root},
                                  {EventKind::TreeSort, 130, "", root, 0},
                                  {EventKind::TreeExpand, 130, "", root, 0},
                                  {EventKind::TreeSelect, 130, "", sys, 0},
                                  {EventKind::TreeDeleteAll, 130, "", 0, 0}}));
}

TEST_F(TreeListMenuTest, ExpandingMarksOnlyThatItem) {
  const TreeItem root = window_->InsertTreeItem(kTree, TREE_NONE, "/");
  const TreeItem sys = window_->InsertTreeItem(kTree, root, "sys");
  window_->ExpandTreeItem(kTree, root);
  EXPECT_TRUE(window_->IsTreeItemExpanded(kTree, root));
  EXPECT_FALSE(window_->IsTreeItemExpanded(kTree, sys));
}

TEST_F(TreeListMenuTest, ListWidthsCountCharactersNotBytes) {
  EXPECT_EQ(window_->TextWidth(kList, "abc"), 3 * HeadlessWindow::kCharWidth);
  EXPECT_EQ(window_->TextWidth(kList, "caf\xC3\xA9"), 4 * HeadlessWindow::kCharWidth);
  EXPECT_EQ(window_->TextWidth(999, "abc"), 0);
  window_->SetHorizontalExtent(kList, 42);
  EXPECT_EQ(window_->HorizontalExtent(kList), 42);
  const auto extents = EventsOf(EventKind::SetHorizontalExtent);
  ASSERT_EQ(extents.size(), 1u);
  EXPECT_EQ(extents[0].a, 42);
}

TEST_F(TreeListMenuTest, AMultiLineEditAppendsWithoutTakingTheFocus) {
  window_->SetFocus(kList);
  window_->SetText(kPane, "\r\nSearching... ");
  window_->AppendText(kPane, "OK!\r\n");
  EXPECT_EQ(window_->GetText(kPane), "\r\nSearching... OK!\r\n");
  EXPECT_EQ(window_->FocusedControl(), kList);
  window_->AppendText(kLog, "log");
  EXPECT_EQ(window_->FocusedControl(), kLog);
}

TEST_F(TreeListMenuTest, RightClicksReachTheDialogWithTheControlUnderThem) {
  window_->AddString(kList, "a.txt");
  EXPECT_TRUE(window_->ContextMenu(kList, Point{5, 7}));
  EXPECT_FALSE(window_->ContextMenu(kTree, Point{1, 2}));
  window_->Enable(kList, false);  // a disabled control passes the click on
  EXPECT_FALSE(window_->ContextMenu(kList, Point{3, 4}));
  EXPECT_EQ(dialog_.contexts, (std::vector<std::tuple<int, int, int>>{
                                  {kList, 5, 7}, {kTree, 1, 2}, {ID_STATIC, 3, 4}}));
}

TEST_F(TreeListMenuTest, MenusAnswerFromTheScriptAndOnlyWithWhatTheyOffer) {
  window_->AddString(kList, "a.txt");
  window_->QueueMenuAnswer(100);  // Dump: disabled, nothing selected
  window_->QueueMenuAnswer(200);  // Add
  window_->QueueMenuAnswer(100);  // Dump, now that an item is selected
  window_->QueueMenuAnswer(999);  // not in the menu
  for (int i = 0; i < 2; ++i) window_->ContextMenu(kList);
  window_->SetCurSel(kList, 0);
  for (int i = 0; i < 3; ++i) window_->ContextMenu(kList);  // the third finds the script empty
  EXPECT_EQ(dialog_.chosen, (std::vector<unsigned>{0, 200, 100, 0, 0}));

  const auto menus = EventsOf(EventKind::Menu);
  ASSERT_EQ(menus.size(), 5u);
  EXPECT_EQ(menus[0].text, "100 Dump (disabled)\n200 Add");
  EXPECT_EQ(menus[0].a, 0);
  EXPECT_EQ(menus[2].text, "0 < a.txt >\n-\n100 Dump\n200 Add");
  EXPECT_EQ(menus[2].a, 100);
  EXPECT_EQ(menus[2].dialog, 130);
  ASSERT_EQ(window_->PopupMenus().size(), 5u);
  EXPECT_EQ(window_->PopupMenus()[2][0].text, "< a.txt >");
}

TEST_F(TreeListMenuTest, AnInertItemGivesNoCommand) {
  window_->QueueMenuAnswer(MENU_SEPARATOR);
  const PopupMenu menu{{MENU_SEPARATOR, "< name >"}, {7, "Seven"}};
  EXPECT_EQ(window_->TrackPopupMenu(menu, Point{}), 0u);
  window_->QueueMenuAnswer(7);
  EXPECT_EQ(window_->TrackPopupMenu(menu, Point{}), 7u);
}

}  // namespace
}  // namespace veska::ui
