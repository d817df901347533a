// What the hosts learn beside the log: how long a wait for the phone has lasted, and why a port
// failed. The log itself must read as it always has.
#include <gtest/gtest.h>

#include <vector>

#include "TargetFixture.h"
#include "link/PtyPair.h"

namespace veska::target::testing {
namespace {

class WaitAndReasonTest : public TargetFixture {};

// A silent line: one report as the wait begins, one per empty read (once a second on a real
// port), and exactly one as it ends, the last; the seconds never go back.
TEST_F(WaitAndReasonTest, TheBootWaitIsReportedAsItBeginsAtEveryEmptyReadAndOnceAsItEnds) {
  PtyPair pty;
  OpenDialog(pty.SlavePath());
  RecordWaits();
  PressStart();
  EXPECT_TRUE(
      Log().ends_with("      Listen for the BOOT signal\t\t\t> > > FAIL\n"
                      "      (Check Comport connection & Bootloader existence)\n"))
      << Log();
  const std::vector<app::PhoneWait> waits = Waits();
  ASSERT_EQ(waits.size(), 1u + 8 * 200 + 1);
  EXPECT_EQ(waits.front().seconds, 0u);
  EXPECT_FALSE(waits.front().ended);
  EXPECT_TRUE(waits.back().ended);
  for (std::size_t i = 0; i < waits.size(); ++i) {
    EXPECT_EQ(waits[i].awaited, "the BOOT signal");
    EXPECT_EQ(waits[i].ended, i + 1 == waits.size());
    if (i > 0) {
      EXPECT_GE(waits[i].seconds, waits[i - 1].seconds);
    }
  }
  // The wait belongs to the listen only: the port keeps no hook afterwards.
  EXPECT_EQ(dlg_->port.waitTicks, nullptr);
}

// "Comm Error" keeps its text and gains the port's reason; the next operation starts without
// the old reason, and a box outside any operation never shows one.
TEST_F(WaitAndReasonTest, APortFailureBoxCarriesTheReasonOfItsOwnOperationOnly) {
  OpenDialog((folder_ / "no-such-tty").string());
  PressStart();
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"Comm Error"});
  const std::string where = "COM1 (" + (folder_ / "no-such-tty").string() + ")";
  EXPECT_EQ(BoxDetails(), std::vector<std::string>{where + " does not exist."});
  EXPECT_EQ(dlg_->PortFailureReason(), where + " does not exist.");
  EXPECT_TRUE(Log().ends_with("Try to open COM1\t> Fail\n")) << Log();

  // A browse after the failure is no port matter.
  host_.QueueFileDialogAnswer((folder_ / "missing.bin").string());
  window_->Click(app::IDC_APPS);
  // A silent phone on a port that opens: a time-out with nothing to add.
  PtyPair pty;
  state_.link.portPaths["COM1"] = pty.SlavePath();
  PressStart();
  const std::vector<std::string> details = BoxDetails();
  ASSERT_EQ(details.size(), 3u) << ::testing::PrintToString(MessageBoxes());
  EXPECT_EQ(details[1], "");
  EXPECT_EQ(details[2], "");
  EXPECT_EQ(MessageBoxes().back(), "Timeout : No Response at the target phone");
}

// A line that drops while the phone is being talked to names its cause as well.
TEST_F(WaitAndReasonTest, ADroppedLineGivesItsBoxTheCause) {
  sim::PhoneOptions options;
  sim::Fault fault;
  fault.kind = sim::FaultKind::LineDrop;
  fault.step = sim::FaultStep::StartAck;
  options.faults.push_back(fault);
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  PressStart();
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"Comm Error"});
  const std::vector<std::string> details = BoxDetails();
  ASSERT_EQ(details.size(), 1u);
  EXPECT_NE(details[0].find("COM1 (" + phone_->SlavePath() + "): the line failed"),
            std::string::npos)
      << details[0];
}

// A line that drops in the middle of an image ends the operation with "Download  Failed" in the
// log and no box: the cause is there for the host's status line.
TEST_F(WaitAndReasonTest, ALineDroppedDuringAnImageLeavesItsCauseForTheHost) {
  sim::PhoneOptions options;
  sim::Fault fault;
  fault.kind = sim::FaultKind::LineDrop;
  fault.step = sim::FaultStep::ImageBlock;
  fault.block = 1;
  options.faults.push_back(fault);
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  MakeImage(app::ImageKind::Nandpreboot, 4096);
  MakeImage(app::ImageKind::Boot1a, 0x3000);
  MakeImage(app::ImageKind::Boot1b, 5000);
  MakeImage(app::ImageKind::Boot2, 70000);
  window_->Click(app::IDC_DL_BOOTLOADER);
  dlg_->Runner().Join();
  ASSERT_TRUE(dlg_->Runner().LastResult().has_value());
  EXPECT_EQ(dlg_->Runner().LastResult()->outcome, app::Outcome::Failed)
      << dlg_->Runner().LastResult()->reason << ::testing::PrintToString(MessageBoxes());
  EXPECT_NE(window_->GetText(app::IDC_LOG).find("Download  Failed"), std::string::npos)
      << window_->GetText(app::IDC_LOG);
  EXPECT_NE(dlg_->PortFailureReason().find("the line failed"), std::string::npos)
      << dlg_->PortFailureReason();
}

}  // namespace
}  // namespace veska::target::testing
