#include "dump/NandDumpDlg.h"

#include <gtest/gtest.h>

#include <set>

#include "app/ControlIds.h"
#include "app/Templates.h"
#include "ui/HeadlessHost.h"

namespace veska::dump {
namespace {

// Every area of the dump list has exactly one button, and the buttons form one group that APPS
// starts: a button the list does not know would dump nothing, a missing one an area nobody can
// choose.
TEST(NandDumpDlgTest, EveryAreaHasOneButtonOfOneGroup) {
  const std::vector<int> group =
      ui::RadioGroupIds(app::kDumpAreaDialogTemplate, app::IDC_DUMP_APPS);
  ASSERT_EQ(group.size(), app::DUMP_AREA_COUNT);
  std::set<std::string_view> captions;
  for (int id : group) {
    const app::DumpArea* area = NandDumpDlg::AreaOfButton(id);
    ASSERT_NE(area, nullptr) << id;
    EXPECT_EQ(app::DumpAreaButton(*area), id);
    captions.insert(area->caption);
  }
  EXPECT_EQ(captions.size(), app::DUMP_AREA_COUNT);
  EXPECT_EQ(NandDumpDlg::AreaOfButton(app::IDC_DUMP_FROM), nullptr);
  EXPECT_EQ(NandDumpDlg::AreaOfButton(ui::IDOK), nullptr);
}

class AreaDialogTest : public ::testing::Test {
 protected:
  std::unique_ptr<ui::HeadlessWindow> Open() {
    return host_.Create(app::kDumpAreaDialogTemplate, dialog_);
  }
  ui::HeadlessHost host_;
  app::ProcessState state_;
  NandDumpDlg dialog_{state_};
};

TEST_F(AreaDialogTest, OkWaitsForAnAreaAndAButtonSetsTheWholeRequest) {
  auto window = Open();
  // The first dump: nothing chosen, nothing shown, and OK cannot ask the phone for nothing.
  for (int id : ui::RadioGroupIds(app::kDumpAreaDialogTemplate, app::IDC_DUMP_APPS)) {
    EXPECT_EQ(window->GetCheck(id), 0);
  }
  EXPECT_EQ(window->GetText(app::IDC_DUMP_FROM), "");
  EXPECT_EQ(window->GetText(app::IDC_DUMP_TO), "");
  EXPECT_FALSE(window->IsEnabled(ui::IDOK));
  EXPECT_FALSE(window->Click(ui::IDOK));

  // Nandpreboot shows its last address while the request ends just past it.
  ASSERT_TRUE(window->Click(app::IDC_DUMP_NANDPREBOOT));
  EXPECT_EQ(window->GetText(app::IDC_DUMP_FROM), "0x0000");
  EXPECT_EQ(window->GetText(app::IDC_DUMP_TO), "0x0FFF");
  EXPECT_EQ(state_.dumpFrom, 0u);
  EXPECT_EQ(state_.dumpTo, 0x1000u);
  EXPECT_EQ(state_.dumpAreaKind, 0u);
  EXPECT_TRUE(window->IsEnabled(ui::IDOK));

  ASSERT_TRUE(window->Click(app::IDC_DUMP_TFS_NAND2G));
  EXPECT_EQ(window->GetText(app::IDC_DUMP_FROM), "0x0");
  EXPECT_EQ(window->GetText(app::IDC_DUMP_TO), "0x10000000");
  EXPECT_EQ(state_.dumpTo, 0x10000000u);
  EXPECT_EQ(state_.dumpAreaKind, app::DUMP_PAGES_NAND2G);

  ASSERT_TRUE(window->Click(app::IDC_DUMP_APPS));
  EXPECT_EQ(state_.dumpFrom, 0xC00000u);
  EXPECT_EQ(state_.dumpTo, 0x4800000u);
  EXPECT_EQ(state_.dumpAreaKind, 0u);
  EXPECT_TRUE(window->Click(ui::IDOK));
  EXPECT_EQ(window->Result(), ui::IDOK);
}

TEST_F(AreaDialogTest, ALaterDumpOpensWithTheAreaInForceChosen) {
  {
    auto first = Open();
    ASSERT_TRUE(first->Click(app::IDC_DUMP_BOOT1B));
  }
  auto second = Open();
  EXPECT_EQ(second->GetCheck(app::IDC_DUMP_BOOT1B), 1);
  EXPECT_EQ(second->GetText(app::IDC_DUMP_FROM), "0x4000");
  EXPECT_EQ(second->GetText(app::IDC_DUMP_TO), "0x20000");
  EXPECT_TRUE(second->IsEnabled(ui::IDOK));
  ASSERT_TRUE(second->Click(app::IDC_DUMP_LFS));
  EXPECT_EQ(second->GetCheck(app::IDC_DUMP_BOOT1B), 0);
  EXPECT_EQ(state_.dumpFrom, 0x4800000u);
}

}  // namespace
}  // namespace veska::dump
