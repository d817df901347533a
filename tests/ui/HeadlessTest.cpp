#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ui/DataExchange.h"
#include "ui/HeadlessHost.h"
#include "ui/HeadlessWindow.h"

namespace veska::ui {
namespace {

using enum ControlKind;

constexpr std::string_view kItems[] = {"one", "two", "three"};
constexpr ControlTemplate kControls[] = {
    {100, RadioButton, "r0", {}, STYLE_GROUP_START},
    {101, RadioButton, "r1", {}, STYLE_HIDDEN},
    {102, RadioButton, "r2", {}, STYLE_NONE},
    {200, CheckBox, "check", {}, STYLE_GROUP_START},
    {300, PushButton, "press", {}, STYLE_NONE},
    {301, PushButton, "off", {}, STYLE_DISABLED},
    {400, DropDownList, "", {}, STYLE_NONE, kItems},
    {500, RichEdit, "", {}, STYLE_MULTILINE | STYLE_READ_ONLY},
    {600, ProgressBar, "", {}, STYLE_SMOOTH},
    {IDOK, PushButton, "EXIT", {}, STYLE_NONE},
};
constexpr DialogTemplate kDialog{7, "Test", 200, 100, "Tahoma", 8, DIALOG_SYSTEM_MENU, kControls};

// Records the notifications it gets.
class RecordingDialog : public Dialog {
 public:
  bool OnCommand(int id, Notify code) override {
    if (id == IDOK) return false;
    seen.emplace_back(id, code);
    return true;
  }
  std::vector<std::pair<int, Notify>> seen;
};

class HeadlessTest : public ::testing::Test {
 protected:
  HeadlessHost host_;
  RecordingDialog dialog_;
  std::unique_ptr<HeadlessWindow> window_ = host_.Create(kDialog, dialog_);
};

TEST_F(HeadlessTest, ControlsStartAsTheTemplateSays) {
  EXPECT_FALSE(window_->IsVisible(101));
  EXPECT_TRUE(window_->IsVisible(100));
  EXPECT_FALSE(window_->IsEnabled(301));
  EXPECT_EQ(window_->GetText(300), "press");
  EXPECT_EQ(window_->GetCount(400), 3);
  EXPECT_EQ(window_->GetItemText(400, 2), "three");
  EXPECT_EQ(window_->GetCurSel(400), LB_NONE);
  EXPECT_TRUE(window_->HasSystemMenu());
}

TEST_F(HeadlessTest, ClickingARadioClearsTheRestOfItsGroupOnly) {
  window_->SetCheck(200, BST_CHECKED);
  ASSERT_TRUE(window_->Click(100));
  ASSERT_TRUE(window_->Click(102));
  EXPECT_EQ(window_->GetCheck(100), BST_UNCHECKED);
  EXPECT_EQ(window_->GetCheck(102), BST_CHECKED);
  EXPECT_EQ(window_->GetCheck(200), BST_CHECKED);  // another group
  int value = 99;
  DdxRadio(*window_, true, 100, value);
  EXPECT_EQ(value, 2);
  ASSERT_EQ(dialog_.seen.size(), 2u);
  EXPECT_EQ(dialog_.seen[1], std::make_pair(102, Notify::Clicked));
}

TEST_F(HeadlessTest, DisabledControlsIgnoreThePressAndHiddenOnesDoNot) {
  EXPECT_FALSE(window_->Click(301));
  EXPECT_FALSE(window_->Click(999));
  EXPECT_TRUE(window_->Click(101));
  ASSERT_EQ(dialog_.seen.size(), 1u);
  EXPECT_EQ(dialog_.seen[0].first, 101);
}

TEST_F(HeadlessTest, ExitEndsTheDialogThroughTheDefaultHandler) {
  EXPECT_TRUE(window_->Click(IDOK));
  EXPECT_TRUE(window_->Ended());
  EXPECT_EQ(window_->Result(), IDOK);
}

TEST_F(HeadlessTest, RadioAndCheckTransfersInBothDirections) {
  int value = -1;
  DdxRadio(*window_, true, 100, value);
  EXPECT_EQ(value, -1);
  value = 1;
  DdxRadio(*window_, false, 100, value);
  EXPECT_EQ(window_->GetCheck(101), BST_CHECKED);
  value = -1;
  DdxRadio(*window_, false, 100, value);
  for (int id : {100, 101, 102}) EXPECT_EQ(window_->GetCheck(id), BST_UNCHECKED);

  int check = 2;
  DdxCheck(*window_, false, 200, check);
  EXPECT_EQ(window_->GetCheck(200), BST_INDETERMINATE);
  check = 7;  // out of range: written as clear
  DdxCheck(*window_, false, 200, check);
  EXPECT_EQ(window_->GetCheck(200), BST_UNCHECKED);
  window_->Click(200);
  DdxCheck(*window_, true, 200, check);
  EXPECT_EQ(check, 1);
}

TEST_F(HeadlessTest, ListSelectionOutsideTheItemsClearsIt) {
  EXPECT_TRUE(window_->SetCurSel(400, 1));
  EXPECT_FALSE(window_->SetCurSel(400, 3));
  EXPECT_EQ(window_->GetCurSel(400), LB_NONE);
  EXPECT_FALSE(window_->SelectItem(400, -1));
  EXPECT_TRUE(window_->SelectItem(400, 2));
  EXPECT_EQ(dialog_.seen.back(), std::make_pair(400, Notify::SelChange));
}

TEST_F(HeadlessTest, AppendLandsAtTheEndEvenWithAUserSelection) {
  window_->AppendText(500, "A");
  window_->AppendText(500, "B\n");
  window_->SelectText(500, 0, 1);
  window_->SetFocus(300);
  window_->AppendText(500, "C");
  EXPECT_EQ(window_->GetText(500), "AB\nC");
  EXPECT_EQ(window_->Selection(500), std::make_pair(std::size_t{4}, std::size_t{4}));
  EXPECT_EQ(window_->FocusedControl(), 500);
}

TEST_F(HeadlessTest, ALimitedLogDropsItsOldestLines) {
  window_->SetTextLimit(500, 64);
  for (int i = 0; i < 40; ++i) window_->AppendText(500, "line " + std::to_string(i) + "\n");
  const std::string text = window_->GetText(500);
  EXPECT_LE(text.size(), 64u);
  EXPECT_TRUE(text.ends_with("line 39\n"));
  EXPECT_TRUE(text.starts_with("line "));  // trimmed at a line start
}

TEST_F(HeadlessTest, MessageBoxesTakeScriptedThenDefaultAnswers) {
  host_.QueueMessageBoxAnswer(IDYES);
  EXPECT_EQ(host_.MessageBox(window_.get(), "q1", {}, MB_YESNO), IDYES);
  EXPECT_EQ(host_.MessageBox(window_.get(), "q2", {}, MB_YESNO), IDNO);
  host_.SetAnswerYes(true);
  EXPECT_EQ(host_.MessageBox(window_.get(), "q3", {}, MB_YESNO), IDYES);
  EXPECT_EQ(host_.MessageBox(window_.get(), "note", "Failure"), IDOK);
  std::vector<Event> boxes;
  for (const Event& e : host_.EventJournal().Events()) {
    if (e.kind == EventKind::MessageBox) boxes.push_back(e);
  }
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0].caption, "VeskaDownloader");  // no caption: the application's name
  EXPECT_EQ(boxes[3].caption, "Failure");
  EXPECT_EQ(boxes[3].dialog, 7);
}

TEST_F(HeadlessTest, FileDialogsAnswerFromTheScriptThenCancel) {
  host_.QueueFileDialogAnswer("/tmp/x.img");
  FileDialogRequest request;
  request.filter = "a|*.a||";
  EXPECT_EQ(host_.FileDialog(window_.get(), request), std::optional<std::string>("/tmp/x.img"));
  EXPECT_FALSE(host_.FileDialog(window_.get(), request).has_value());
}

TEST_F(HeadlessTest, WorkerCallsKeepTheirOrderAndNeverInterleave) {
  constexpr int kCount = 500;
  host_.StartWorker(ThreadPriority::Highest, [this](std::stop_token) {
    for (int i = 0; i < kCount; ++i) {
      window_->AppendText(500, "w");
      window_->SetPos(600, i);
    }
  });
  for (int i = 0; i < kCount; ++i) window_->SetText(300, std::to_string(i));
  host_.JoinWorkers();
  EXPECT_FALSE(host_.HasRunningWorkers());
  EXPECT_EQ(window_->GetText(500), std::string(kCount, 'w'));
  EXPECT_EQ(window_->GetProgress(600).position, kCount - 1);
  std::int64_t last = -1;
  for (const Event& e : host_.EventJournal().Events()) {
    if (e.kind != EventKind::SetPos) continue;
    EXPECT_EQ(e.a, last + 1);
    last = e.a;
  }
}

TEST_F(HeadlessTest, ScaledSleepsAreRecordedButDoNotWait) {
  host_.SetSleepScale(0);
  const auto start = std::chrono::steady_clock::now();
  host_.Sleep(std::chrono::milliseconds(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  const auto events = host_.EventJournal().Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, EventKind::Sleep);
  EXPECT_EQ(events.back().a, 5000);
}

TEST_F(HeadlessTest, ModalSubDialogRunsItsScript) {
  RecordingDialog about;
  host_.QueueModalScript([](HeadlessWindow& w) {
    w.Click(300);
    return IDCANCEL;
  });
  EXPECT_EQ(host_.RunModal(kDialog, about, window_.get()), IDCANCEL);
  ASSERT_EQ(about.seen.size(), 1u);
  EXPECT_FALSE(about.HasWindow());
  // Without a script the sub-dialog is confirmed at once.
  EXPECT_EQ(host_.RunModal(kDialog, about, window_.get()), IDOK);
}

}  // namespace
}  // namespace veska::ui
