#include <gtest/gtest.h>

#include <QAction>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <string>
#include <vector>

#include "TestApp.h"
#include "gui/QtWindow.h"

namespace veska::gui {
namespace {

using enum ui::ControlKind;

constexpr int kTree = 10;
constexpr int kList = 11;
constexpr int kPane = 12;
constexpr int kLog = 13;

constexpr ui::ControlTemplate kControls[] = {
    {kTree, TreeView, "", {4, 4, 80, 100}, ui::STYLE_NONE},
    {kList, ListBox, "", {90, 4, 100, 60}, ui::STYLE_NONE},
    {kPane, Edit, "", {90, 70, 100, 40}, ui::STYLE_MULTILINE | ui::STYLE_VSCROLL},
    {kLog, RichEdit, "", {4, 110, 186, 20}, ui::STYLE_MULTILINE | ui::STYLE_READ_ONLY},
};
constexpr ui::DialogTemplate kDialog{130, "Trees",         200,      140, "Tahoma",
                                     8,   ui::DIALOG_NONE, kControls};

class RecordingDialog : public ui::Dialog {
 public:
  void OnTreeSelChanged(int id, ui::TreeItem item) override { selections.emplace_back(id, item); }
  bool OnContextMenu(int id, ui::Point point) override {
    contexts.emplace_back(id, point.x, point.y);
    return true;
  }
  std::vector<std::pair<int, ui::TreeItem>> selections;
  std::vector<std::tuple<int, int, int>> contexts;
};

class QtTreeListMenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    window_ = std::make_unique<QtWindow>(kDialog, dialog_);
    dialog_.Attach(window_.get());
    window_->show();
    tree_ = qobject_cast<QTreeWidget*>(window_->Control(kTree));
    list_ = qobject_cast<QListWidget*>(window_->Control(kList));
    ASSERT_NE(tree_, nullptr);
    ASSERT_NE(list_, nullptr);
  }
  void TearDown() override { dialog_.Attach(nullptr); }

  // A mouse press and release on `widget` at `pos`, as the user's click.
  static void Click(QWidget* widget, QPoint pos, Qt::MouseButton button) {
    const QPointF local(pos);
    const QPointF global(widget->mapToGlobal(pos));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, button, button, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, button, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
  }
  void ClickItem(QTreeWidgetItem* item) {
    Click(tree_->viewport(), tree_->visualItemRect(item).center(), Qt::LeftButton);
  }

  RecordingDialog dialog_;
  std::unique_ptr<QtWindow> window_;
  QTreeWidget* tree_ = nullptr;
  QListWidget* list_ = nullptr;
};

TEST_F(QtTreeListMenuTest, TreeItemsSortAsTheHeadlessTreeDoesAndKeepTheirHandles) {
  const ui::TreeItem root = window_->InsertTreeItem(kTree, ui::TREE_NONE, "/");
  const ui::TreeItem sys = window_->InsertTreeItem(kTree, root, "sys");
  const ui::TreeItem data = window_->InsertTreeItem(kTree, root, "data");
  const ui::TreeItem upper = window_->InsertTreeItem(kTree, root, "Data");
  const ui::TreeItem apps = window_->InsertTreeItem(kTree, root, "apps");
  const ui::TreeItem deep = window_->InsertTreeItem(kTree, sys, "deep");
  window_->ExpandTreeItem(kTree, sys);
  EXPECT_EQ(window_->InsertTreeItem(kList, ui::TREE_NONE, "x"), ui::TREE_NONE);

  window_->SortTreeChildren(kTree, root);
  EXPECT_EQ(window_->GetChildTreeItems(kTree, root),
            (std::vector<ui::TreeItem>{apps, upper, data, sys}));
  QTreeWidgetItem* top = tree_->topLevelItem(0);
  ASSERT_NE(top, nullptr);
  ASSERT_EQ(top->childCount(), 4);
  EXPECT_EQ(top->child(1)->text(0), "Data");
  EXPECT_EQ(top->child(3)->text(0), "sys");
  EXPECT_TRUE(top->child(3)->isExpanded());  // sorting keeps the expanded state
  EXPECT_EQ(window_->GetParentTreeItem(kTree, deep), sys);
  EXPECT_EQ(window_->GetParentTreeItem(kTree, root), ui::TREE_NONE);
  EXPECT_EQ(window_->GetTreeItemText(kTree, deep), "deep");

  window_->DeleteAllTreeItems(kTree);
  EXPECT_EQ(tree_->topLevelItemCount(), 0);
  EXPECT_EQ(window_->GetTreeItemText(kTree, deep), "");
  EXPECT_FALSE(window_->SelectTreeItem(kTree, sys));
  EXPECT_NE(window_->InsertTreeItem(kTree, ui::TREE_NONE, "/"), root);
}

TEST_F(QtTreeListMenuTest, OnlyAClickOnAnotherItemNotifiesTheDialog) {
  const ui::TreeItem root = window_->InsertTreeItem(kTree, ui::TREE_NONE, "/");
  const ui::TreeItem sys = window_->InsertTreeItem(kTree, root, "sys");
  window_->ExpandTreeItem(kTree, root);

  // The focus makes the first item current, but nobody chose it.
  QFocusEvent focus(QEvent::FocusIn, Qt::TabFocusReason);
  QApplication::sendEvent(tree_, &focus);
  EXPECT_TRUE(window_->SelectTreeItem(kTree, sys));
  EXPECT_TRUE(dialog_.selections.empty());
  EXPECT_EQ(window_->GetSelectedTreeItem(kTree), sys);

  ClickItem(tree_->topLevelItem(0));
  ClickItem(tree_->topLevelItem(0));  // already selected
  EXPECT_EQ(dialog_.selections, (std::vector<std::pair<int, ui::TreeItem>>{{kTree, root}}));
  EXPECT_EQ(window_->GetSelectedTreeItem(kTree), root);
  window_->DeleteAllTreeItems(kTree);
  EXPECT_EQ(dialog_.selections.size(), 1u);
  EXPECT_EQ(window_->GetSelectedTreeItem(kTree), ui::TREE_NONE);
}

TEST_F(QtTreeListMenuTest, ARightClickLeavesTheListSelectionAndNamesTheControl) {
  window_->AddString(kList, "a.txt");
  window_->AddString(kList, "b.txt");
  const QPoint onItem = list_->visualItemRect(list_->item(1)).center();
  Click(list_->viewport(), onItem, Qt::RightButton);
  EXPECT_EQ(window_->GetCurSel(kList), ui::LB_NONE);
  Click(list_->viewport(), onItem, Qt::LeftButton);
  EXPECT_EQ(window_->GetCurSel(kList), 1);

  const QPoint inWindow = list_->mapTo(window_.get(), onItem);
  QContextMenuEvent overList(QContextMenuEvent::Mouse, inWindow, window_->mapToGlobal(inWindow));
  QApplication::sendEvent(window_.get(), &overList);
  window_->Enable(kList, false);
  QApplication::sendEvent(window_.get(), &overList);
  ASSERT_EQ(dialog_.contexts.size(), 2u);
  EXPECT_EQ(dialog_.contexts[0], std::make_tuple(kList, inWindow.x(), inWindow.y()));
  EXPECT_EQ(std::get<0>(dialog_.contexts[1]), ui::ID_STATIC);
}

TEST_F(QtTreeListMenuTest, APopupMenuReturnsTheChosenCommandOrNothing) {
  const ui::PopupMenu menu{{ui::MENU_SEPARATOR, "< a.txt >"},
                           {ui::MENU_SEPARATOR, ""},
                           {32771, "Dump", false},
                           {32774, "Add"}};
  // Acts in the open menu: checks it, then presses `key` on the item with `text`.
  auto answer = [](QString text, int key, QStringList* seen) {
    QTimer::singleShot(0, [text, key, seen] {
      auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      ASSERT_NE(popup, nullptr);
      for (QAction* action : popup->actions()) {
        seen->append(action->isSeparator() ? QStringLiteral("-")
                                           : action->text() + (action->isEnabled() ? "" : "~"));
        if (action->text() == text) popup->setActiveAction(action);
      }
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(popup, &press);
    });
  };
  QStringList seen;
  answer("Add", Qt::Key_Return, &seen);
  EXPECT_EQ(window_->TrackPopupMenu(menu, ui::Point{10, 10}), 32774u);
  EXPECT_EQ(seen, (QStringList{"< a.txt >", "-", "Dump~", "Add"}));
  answer("< a.txt >", Qt::Key_Return, &seen);
  EXPECT_EQ(window_->TrackPopupMenu(menu, ui::Point{10, 10}), 0u);  // inert
  answer("Add", Qt::Key_Escape, &seen);
  EXPECT_EQ(window_->TrackPopupMenu(menu, ui::Point{10, 10}), 0u);  // dismissed
}

TEST_F(QtTreeListMenuTest, AMultiLineEditIsAPlainTextPaneThatLeavesTheFocus) {
  auto* pane = qobject_cast<QPlainTextEdit*>(window_->Control(kPane));
  ASSERT_NE(pane, nullptr);
  window_->SetFocus(kList);
  window_->SetText(kPane, "\r\nSearching... ");
  window_->AppendText(kPane, "OK!\r\n");
  EXPECT_EQ(window_->GetText(kPane), "\nSearching... OK!\n");
  EXPECT_EQ(window_->FocusedControl(), kList);
  window_->AppendText(kLog, "log");
  EXPECT_EQ(window_->FocusedControl(), kLog);
}

TEST_F(QtTreeListMenuTest, TextWidthsComeFromTheListsFont) {
  const int one = window_->TextWidth(kList, "i");
  const int many = window_->TextWidth(kList, "a much longer file name.txt");
  EXPECT_GT(one, 0);
  EXPECT_GT(many, 10 * one);
  EXPECT_EQ(window_->TextWidth(999, "x"), 0);
}

}  // namespace
}  // namespace veska::gui
