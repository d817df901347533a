#include <chrono>
#include <string>
#include <vector>

#include "app/ControlIds.h"
#include "app/Templates.h"
#include "explorer/ExplorerTesting.h"
#include "explorer/TfsExplorerDlg.h"
#include "ui/HeadlessHost.h"

namespace veska::explorer {
namespace {

using namespace testing;
using Outcome = TfsExplorerDlg::ActionOutcome;
using Names = std::vector<std::string>;

constexpr int kTree = app::IDC_EXPLORER_TREE;
constexpr int kText = app::IDC_EXPLORER_TEXT;
constexpr int kList = app::IDC_EXPLORER_FILES;

// The Explorer's window as the user sees it, with the test playing the phone; the exchanges
// run on the dialog's worker.
class ExplorerDlgTest : public PtyPhoneTest {
 protected:
  void Open() {
    explorer_ = std::make_unique<TfsExplorerDlg>(host_, state_, "UTF-8");
    window_ = host_.Create(app::kTfsExplorerTemplate, *explorer_);
  }
  void Mount(const std::vector<Entry>& entries) {
    ASSERT_TRUE(window_->Click(app::IDC_EXPLORER_START));
    ServeMount(entries);
    explorer_->WaitIdle();
    ASSERT_EQ(explorer_->LastOutcome(), Outcome::Confirmed) << Narrative();
  }

  std::string Narrative() const { return window_->GetText(kText); }
  Names ListItems() const {
    Names items;
    for (int i = 0; i < window_->GetCount(kList); ++i)
      items.push_back(window_->GetItemText(kList, i));
    return items;
  }
  Names Children(ui::TreeItem parent) const {
    Names names;
    for (ui::TreeItem item : window_->GetChildTreeItems(kTree, parent)) {
      names.push_back(window_->GetTreeItemText(kTree, item));
    }
    return names;
  }
  ui::TreeItem Child(ui::TreeItem parent, const std::string& name) const {
    for (ui::TreeItem item : window_->GetChildTreeItems(kTree, parent)) {
      if (window_->GetTreeItemText(kTree, item) == name) return item;
    }
    return ui::TREE_NONE;
  }
  // The user's right-click on the file list and their choice in the menu.
  void Choose(unsigned command) {
    window_->QueueMenuAnswer(command);
    window_->ContextMenu(kList);
  }
  void SelectFile(const std::string& name) {
    for (int i = 0; i < window_->GetCount(kList); ++i) {
      if (window_->GetItemText(kList, i) == name) {
        ASSERT_TRUE(window_->SelectItem(kList, i));
        return;
      }
    }
    FAIL() << "no " << name << " in the list";
  }

  ui::HeadlessHost host_;
  std::unique_ptr<ui::HeadlessWindow> window_;
  std::unique_ptr<TfsExplorerDlg> explorer_;  // goes first, its window after it
};

// On UART the mount goes alone and EXIT ends the dialog; on USB it follows the session's
// opener and Escape (the hidden Cancel) ends it the same way.
class ExplorerDlgLinkTest : public ExplorerDlgTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ExplorerDlgLinkTest, MountListsTheRootAndExitOrEscapeUnmounts) {
  const bool usb = GetParam();
  if (usb) state_.link.linkMode = link::LINK_USB;
  Open();
  ASSERT_TRUE(window_->Click(app::IDC_EXPLORER_START));
  if (usb) Expect(Concat({{0xCE}, Bytes(15, 0)}));
  ServeMount(
      {{2, "."}, {2, ".."}, {2, "sys"}, {1, "long name.txt"}, {2, "data"}, {1, "a"}, {7, "odd"}});
  explorer_->WaitIdle();
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Confirmed);
  EXPECT_EQ(Narrative(),
            "\r\n** Mounting TFS system... OK!\r\nSearching the files... \r\n"
            "long name.txt\r\na\r\nerror!\r\n\r\n Read directory OK!\r\n");
  // Files in arrival order, directories sorted under the root and never the dot names.
  EXPECT_EQ(ListItems(), (Names{"long name.txt", "a"}));
  EXPECT_EQ(Children(explorer_->RootItem()), (Names{"data", "sys"}));
  EXPECT_TRUE(window_->IsTreeItemExpanded(kTree, explorer_->RootItem()));
  EXPECT_EQ(window_->HorizontalExtent(kList), 13 * ui::HeadlessWindow::kCharWidth);
  EXPECT_FALSE(window_->IsEnabled(app::IDC_EXPLORER_START));
  EXPECT_TRUE(state_.mountSent && state_.mountSucceeded);

  Phone({0xE4});  // the unmount's answer, read with its own short wait
  window_->Click(usb ? ui::IDCANCEL : ui::IDOK);
  Expect({0xE4});
  EXPECT_TRUE(window_->Ended());
  EXPECT_FALSE(state_.mountSent);
  EXPECT_TRUE(state_.mountSucceeded);
  EXPECT_FALSE(state_.sharedPort->HoldsDevice());
}

INSTANTIATE_TEST_SUITE_P(Links, ExplorerDlgLinkTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& usb) {
                           return usb.param ? "Usb" : "Uart";
                         });

TEST_F(ExplorerDlgTest, SelectingDirectoriesUsesTheUtf8RequestAndAddsChildrenOnce) {
  Open();
  Mount({{2, "."}, {2, "sys"}});
  const ui::TreeItem sys = Child(explorer_->RootItem(), "sys");
  ASSERT_NE(sys, ui::TREE_NONE);
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(window_->ClickTreeItem(kTree, sys));
    Expect(Concat({{0xE5, 5}, Text("/sys"), {0}}));
    EXPECT_FALSE(window_->IsEnabled(kTree));
    ServeListing({{2, "."}, {2, ".."}, {2, "data"}, {1, "f.bin"}});
    explorer_->WaitIdle();
    EXPECT_EQ(Children(sys), Names{"data"});
    EXPECT_EQ(ListItems(), Names{"f.bin"});
    EXPECT_EQ(Narrative(),
              "\r\nSearching the files (in '/sys')... f.bin\r\n\r\n Read directory OK!\r\n");
    EXPECT_TRUE(window_->IsEnabled(kTree) && window_->IsEnabled(kList));
    ASSERT_TRUE(window_->ClickTreeItem(kTree, explorer_->RootItem()));
    // "/" chosen in the tree goes in the UTF-8 form, with its zero.
    Expect({0xE5, 0x02, '/', 0x00});
    ServeListing({{2, "sys"}});
    explorer_->WaitIdle();
  }
  const ui::TreeItem data = Child(sys, "data");
  ASSERT_TRUE(window_->ClickTreeItem(kTree, data));
  Expect(Concat({{0xE5, 10}, Text("/sys/data"), {0}}));
  ServeListing({{2, "."}});
  explorer_->WaitIdle();
  EXPECT_EQ(explorer_->SelectedPath(), "/sys/data");
}

TEST_F(ExplorerDlgTest, NamesWithControlBytesAreShownEscapedAndSentAsTheyCame) {
  Open();
  Mount({{1, "\x1b[2J\x1b[31mred"},
         {1, "a\r\nb"},
         {1, std::string("a\0hidden", 8)},
         {1, ""},
         {2, "d\x07"},
         {1, "plain"}});
  EXPECT_EQ(ListItems(),
            (Names{"\\x1B[2J\\x1B[31mred", "a\\r\\nb", "a\\0hidden", "\"\"", "plain"}));
  EXPECT_EQ(Narrative(),
            "\r\n** Mounting TFS system... OK!\r\nSearching the files... \r\n"
            "\\x1B[2J\\x1B[31mred\r\na\\r\\nb\r\na\\0hidden\r\n\"\"\r\nplain\r\n"
            "\r\n Read directory OK!\r\n");
  EXPECT_EQ(Children(explorer_->RootItem()), Names{"d\\x07"});

  // The requests carry the names as the phone gave them.
  SelectFile("a\\r\\nb");
  Choose(app::ID_EXPLORER_STATUS);
  Expect(NameRequest(0xF0, "/a\r\nb"));
  Phone({0xEF});
  explorer_->WaitIdle();
  EXPECT_NE(Narrative().find("Reading the file status '/a\\r\\nb'"), std::string::npos)
      << Narrative();
  ASSERT_TRUE(window_->ClickTreeItem(kTree, Child(explorer_->RootItem(), "d\\x07")));
  Expect(Concat({{0xE5, 4}, Text("/d\x07"), {0}}));
  ServeListing({{2, "."}});
  explorer_->WaitIdle();
  EXPECT_EQ(Narrative(), "\r\nSearching the files (in '/d\\x07')... \r\n Read directory OK!\r\n");
}

TEST_F(ExplorerDlgTest, StatusPrintsTheRecordWithItsDosDates) {
  Open();
  Mount({{1, "s.bin"}});
  SelectFile("s.bin");
  Choose(app::ID_EXPLORER_STATUS);
  Expect(NameRequest(0xF0, "/s.bin"));
  const std::uint32_t date = (29u << 9) | (2u << 5) | 12u;
  const std::uint32_t time = (date << 16) | (11u << 11) | (33u << 5) | 14u;
  Phone(Concat({{0xF1, 0, 0, 0x81, 0xA4, 0, 0, 0, 7, 0xFF, 0xFE, 0x80, 0x00, 0, 0, 0x04, 0xD2},
                Be32(date),
                Be32(time),
                Be32(time)}));
  explorer_->WaitIdle();
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Confirmed);
  EXPECT_EQ(Narrative(),
            "\r\n Reading the file status '/s.bin'... \n---------------------------- \n"
            "\n*File mode : 0x81a4 \r\n*File i node : 0x7 \r\n*File dev ID: 0xfffffffe \r\n"
            "*File dummy entry : 0xffff8000 \r\n*File size : 1234 byte\r\n"
            "*File last access time : 0x3a4c \r\n2009:02:12 \r\n"
            "*File last modification time : 0x3a4c5c2e \r\n2009:02:12 11:33:28 \r\n"
            "*File last status change time : 0x3a4c5c2e \r\n2009:02:12 11:33:28 \r\n");
  EXPECT_TRUE(window_->IsEnabled(kTree) && window_->IsEnabled(kList));

  Choose(app::ID_EXPLORER_STATUS);
  Expect(NameRequest(0xF0, "/s.bin"));
  Phone({0xEF});
  explorer_->WaitIdle();
  EXPECT_TRUE(Narrative().ends_with("---------------------------- \nFail! (0xEF)\r\n"));
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
  EXPECT_FALSE(explorer_->AllConfirmed());
}

// --- the menu and a phone that hangs ---------------------------------------------------------

TEST_F(ExplorerDlgTest, TheMenuOffersOnlyAddWithoutASelectionAndDeleteAsksFirst) {
  Open();
  Mount({{1, "a.txt"}});
  window_->ContextMenu(kList);
  SelectFile("a.txt");
  window_->ContextMenu(kList);
  const auto menus = window_->PopupMenus();
  ASSERT_EQ(menus.size(), 2u);
  for (const ui::MenuItem& item : menus[0]) {
    EXPECT_EQ(item.enabled, item.command == app::ID_EXPLORER_ADD) << item.text;
  }
  ASSERT_EQ(menus[1].size(), 6u);
  EXPECT_EQ(menus[1][0].text, "< a.txt >");
  EXPECT_EQ(menus[1][0].command, ui::MENU_SEPARATOR);
  EXPECT_EQ(menus[1][1].text, "");
  EXPECT_EQ(menus[1][2].command, app::ID_EXPLORER_DUMP);
  EXPECT_EQ(explorer_->ActionsStarted(), 1u);  // dismissed menus start nothing

  Choose(app::ID_EXPLORER_DELETE);  // answered No
  explorer_->WaitIdle();
  ExpectNothing();
  EXPECT_EQ(host_.MessageBoxTexts().back(), "Sure to Delete?");
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);

  // An item the listing did not add goes by the name it shows.
  window_->AddString(kList, "gone");
  SelectFile("gone");
  host_.QueueMessageBoxAnswer(ui::IDYES);
  Choose(app::ID_EXPLORER_DELETE);
  Expect(NameRequest(0xEE, "/gone"));
  Phone({0xEE});
  Expect({0xE5, 0x01, '/'});
  ServeListing({{2, "."}});
  explorer_->WaitIdle();
  EXPECT_EQ(ListItems(), Names{});
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Confirmed);
}

TEST_F(ExplorerDlgTest, ExitEndsAStuckExchangeAtOnce) {
  state_.link.replyTimeout = 60s;
  Open();
  ASSERT_TRUE(window_->Click(app::IDC_EXPLORER_START));
  Expect({0xDA});  // and the phone says nothing more
  const auto before = std::chrono::steady_clock::now();
  window_->Click(ui::IDOK);
  explorer_->WaitIdle();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_TRUE(window_->Ended());
  EXPECT_FALSE(state_.mountSent);
  EXPECT_FALSE(state_.sharedPort->HoldsDevice());
  ExpectNothing();  // mid-exchange the phone would take an unmount for an answer
}

}  // namespace
}  // namespace veska::explorer
