#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <thread>
#include <vector>

#include "download/DownloadFixture.h"
#include "download/DownloadWorker.h"
#include "link/Wire.h"
#include "sim/PhoneCodes.h"

namespace veska::download {
namespace {

using namespace std::chrono_literals;
using K = ImageKind;

constexpr std::string_view kRule =
    "----------------------------------------------------------------------------------------------"
    "-"
    "\n";

// True when `text` is `before`, a number as "%5.1f" prints a short time, then `after`.
bool MatchesTime(std::string_view text, std::string_view before, std::string_view after) {
  if (text.size() != before.size() + 5 + after.size()) return false;
  if (!text.starts_with(before) || !text.ends_with(after)) return false;
  const std::string_view number = text.substr(before.size(), 5);
  for (std::size_t i = 0; i < 5; ++i) {
    const char c = number[i];
    const bool ok = i == 3 ? c == '.' : (c >= '0' && c <= '9') || (i < 2 && c == ' ');
    if (!ok) return false;
  }
  return true;
}

// The log ends with `before`, a time and `after`.
bool EndsWithTime(const std::string& log, std::string_view before, std::string_view after) {
  const std::size_t at = log.rfind(before);
  return at != std::string::npos && MatchesTime(std::string_view(log).substr(at), before, after);
}

class DownloadSequenceTest : public testing::DownloadFixture {
 protected:
  void SetUp() override {
    OpenConnected();
    SetAllImages();
  }
  std::uint32_t Size(ImageKind kind) const { return dlg_->imageSize[KindIndex(kind)]; }
  bool HasTotalLine() const { return EndsWithTime(Log(), "\n  * TOTAL Elapsed Time : ", "s\n"); }
};

TEST_F(DownloadSequenceTest, OneImageIsNarratedAndEndsWithTheNotice) {
  PressDownload(0);
  const std::string log = Log();
  const std::string head = std::string("\n  * NAND : APPS Download\n    APPS Download start!!\n") +
                           std::string(kRule) + "\n      Download  Completed ( Elapsed Time : ";
  EXPECT_TRUE(MatchesTime(log, head, "s)\n")) << log;
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, "Download Finished");
  EXPECT_EQ(Boxes()[0].caption, "  NOTICE  ");
  ASSERT_EQ(WrittenImages().size(), 1u);
  EXPECT_EQ(WrittenImages()[0].address, 0x00C00000u);
  EXPECT_EQ(WrittenImages()[0].size, Size(K::Apps));
  EXPECT_EQ(window_->GetProgress(app::IDC_PROGRESS).upper, Size(K::Apps));
  EXPECT_FALSE(HasTotalLine());
  EXPECT_TRUE(Connected());
  EXPECT_TRUE(SelectionEnabled());
  EXPECT_EQ(Outcomes(), std::vector<bool>{true});
}

// The groups that may write the calibration pair, with and without it, and the file-system pair:
// the writers follow the group's plan, the bar's range counts just what is written (so that it
// ends full), the pair goes to its own addresses, and only the last image brings the notice.
TEST_F(DownloadSequenceTest, EachGroupWritesItsImagesAndRangesOverThem) {
  struct Press {
    std::int32_t selection;
    bool defaultCal;
    std::vector<ImageKind> written;  // the bar's range counts all of them but TFS
  };
  const std::vector<Press> presses = {
      {15, false, {K::Apps, K::Comms, K::SysInd, K::Patch}},
      {15, true, {K::Apps, K::Comms, K::SysInd, K::Patch, K::SysDep, K::Spinner}},
      {14, false, {K::SysInd, K::Patch}},
      {14, true, {K::SysInd, K::Patch, K::SysDep, K::Spinner}},
      {13, false, {K::Rsrc, K::Tfs}},
  };
  for (const Press& press : presses) {
    SCOPED_TRACE(::testing::Message() << press.selection << " cal " << press.defaultCal);
    const std::size_t before = WrittenImages().size();
    if (press.defaultCal) host_.QueueMessageBoxAnswer(ui::IDYES);
    PressDownload(press.selection, press.defaultCal);
    const auto all = WrittenImages();
    std::vector<ImageKind> kinds;
    for (std::size_t i = before; i < all.size(); ++i) {
      kinds.push_back(all[i].kind);
      if (all[i].kind == K::SysDep) {
        EXPECT_EQ(all[i].address, 0x000C0000u);
      } else if (all[i].kind == K::Spinner) {
        EXPECT_EQ(all[i].address, 0x001E0000u);
      }
    }
    EXPECT_EQ(kinds, press.written);
    std::uint32_t range = 0;
    for (ImageKind kind : press.written) range += kind == K::Tfs ? 0 : Size(kind);
    EXPECT_EQ(window_->GetProgress(app::IDC_PROGRESS).upper, range);
    EXPECT_EQ(Count("Download Finished"), 1);
    EXPECT_TRUE(HasTotalLine()) << Log();
  }
  EXPECT_NE(Log().find("\n  * NAND : TFS Download\n    TFS Download start!!\n"), std::string::npos);
  EXPECT_EQ(Outcomes(), std::vector<bool>(presses.size(), true));
}

TEST_F(DownloadSequenceTest, EverythingRunsInItsOrderWithTheButtonsHeldUntilTheEnd) {
  host_.QueueMessageBoxAnswer(ui::IDYES);
  PressDownload(17, /*defaultCal=*/true);
  EXPECT_EQ(WrittenKinds(), (std::vector<ImageKind>{K::Nandpreboot, K::Boot1a, K::Boot1b, K::Boot2,
                                                    K::Apps, K::Comms, K::SysInd, K::Patch,
                                                    K::SysDep, K::Spinner, K::Rsrc, K::Tfs}));
  for (const Written& w : WrittenImages()) {
    EXPECT_FALSE(w.downloadEnabled) << Catalogue(w.kind).logName;
    if (w.kind != K::Tfs) {
      EXPECT_EQ(w.address, *Catalogue(w.kind).address);
    }
  }
  EXPECT_EQ(Count("Download Finished"), 1);
  EXPECT_TRUE(HasTotalLine());
  EXPECT_TRUE(Connected());
  EXPECT_TRUE(SelectionEnabled());
  EXPECT_EQ(Outcomes(), std::vector<bool>{true});
}

// A failing image ends its request there: the images after it are not written, the log ends
// with the failure's line, and neither the total line nor the notice comes.
struct Failing {
  const char* name;
  std::int32_t selection;
  ImageKind failing;
  bool defaultCal;
  std::vector<ImageKind> written;
};

class FailingImageTest : public DownloadSequenceTest,
                         public ::testing::WithParamInterface<Failing> {};

TEST_P(FailingImageTest, StopsTheRequestWithoutTotalOrNotice) {
  const Failing& c = GetParam();
  FailImage(c.failing);
  if (c.defaultCal) host_.QueueMessageBoxAnswer(ui::IDYES);
  PressDownload(c.selection, c.defaultCal);
  EXPECT_EQ(WrittenKinds(), c.written);
  EXPECT_TRUE(EndsWithTime(Log(), "\n      Download  Failed ( Elapsed Time : ", "s)\n")) << Log();
  EXPECT_FALSE(HasTotalLine());
  EXPECT_EQ(Boxes().size(), c.defaultCal ? 1u : 0u);  // the calibration question only
  EXPECT_EQ(Count("Download Finished"), 0);
  EXPECT_TRUE(Connected());
  if (c.selection == 17) {
    EXPECT_FALSE(SelectionEnabled());  // Disconnect brings them back
  }
  EXPECT_EQ(Outcomes(), std::vector<bool>{false});
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FailingImageTest,
    ::testing::Values(
        Failing{"SingleImage", 1, K::Comms, false, {K::Comms}},
        Failing{"EverythingAtItsSecondImage", 17, K::Boot1a, true, {K::Nandpreboot, K::Boot1a}},
        Failing{"CalibrationPairAtSysDep",
                15,
                K::SysDep,
                true,
                {K::Apps, K::Comms, K::SysInd, K::Patch, K::SysDep}}),
    [](const ::testing::TestParamInfo<Failing>& p) { return std::string(p.param.name); });

TEST_F(DownloadSequenceTest, DisconnectDuringAGroupLeavesTheWindowIdleAndEndsTheGroup) {
  DuringImage(K::Comms, [this] { window_->Click(app::IDC_DISCONNECT); });
  FailImage(K::Comms);  // the closed port ends the transfer with an error
  PressDownload(15);
  EXPECT_EQ(WrittenKinds(), (std::vector<ImageKind>{K::Apps, K::Comms}));
  EXPECT_TRUE(Idle());
  EXPECT_EQ(window_->GetText(app::IDC_LOG), app::kUsageText);  // no report after Disconnect
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Outcomes(), std::vector<bool>{false});
}

// Closing mid-transfer would leave the phone half-written: the window asks (No by default),
// stays on No, and on Yes stops the transfer as Disconnect does before it closes. Idle, it just
// closes.
TEST_F(DownloadSequenceTest, ClosingWhileAGroupIsWrittenAsksAndYesStopsItFirst) {
  bool endedOnNo = true;
  DuringImage(K::Comms, [&] {
    host_.QueueMessageBoxAnswer(ui::IDNO);
    window_->Click(app::IDC_EXIT);
    endedOnNo = window_->Ended();
    host_.QueueMessageBoxAnswer(ui::IDYES);
    window_->Click(app::IDC_EXIT);
  });
  FailImage(K::Comms);  // the closed port ends the transfer with an error
  PressDownload(15);
  EXPECT_FALSE(endedOnNo);
  EXPECT_TRUE(window_->Ended());
  EXPECT_EQ(WrittenKinds(), (std::vector<ImageKind>{K::Apps, K::Comms}));
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const Box& box : boxes) {
    EXPECT_EQ(box.text, "An operation is in progress on the phone. Stop it and quit?");
    EXPECT_EQ(box.type, ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
  }
  EXPECT_EQ(Outcomes(), std::vector<bool>{false});
}

TEST_F(DownloadSequenceTest, ClosingAnIdleWindowAsksNothing) {
  PressDownload(13);
  const std::size_t boxes = Boxes().size();  // the download's own notice
  window_->Click(app::IDC_EXIT);
  EXPECT_TRUE(window_->Ended());
  EXPECT_EQ(Boxes().size(), boxes);
}

// The read-back runs once, after the last image's own lines and before the notice, over the
// whole group; a difference fails the download without the notice. Without the switch, or with
// the switch and no reader, the log and the result say so.
TEST_F(DownloadSequenceTest, TheReadBackFollowsTheLastImageAndItsFailureEndsTheDownload) {
  window_->SetCheck(app::IDC_VERIFY_AFTER_DOWNLOAD, 1);
  PressDownload(13);
  EXPECT_EQ(VerifiedGroups(), (std::vector<std::vector<ImageKind>>{{K::Rsrc, K::Tfs}}));
  EXPECT_NE(Log().find("\n      Download  Completed ( Elapsed Time : "), std::string::npos);
  EXPECT_NE(Log().find("s)\n<read-back>\n  * TOTAL Elapsed Time : "), std::string::npos) << Log();
  EXPECT_TRUE(HasTotalLine());
  EXPECT_EQ(Count("Download Finished"), 1);
  EXPECT_EQ(Outcomes(), std::vector<bool>{true});

  AnswerVerify(133);
  PressDownload(0);
  EXPECT_TRUE(Log().ends_with("s)\n<read-back>")) << Log();
  EXPECT_EQ(Count("Download Finished"), 0);
  EXPECT_TRUE(Connected());
  ASSERT_EQ(Results().size(), 2u);
  EXPECT_EQ(Results()[1].outcome, app::Outcome::Failed);
  EXPECT_EQ(Results()[1].reason, "read-back differs from the files");
  EXPECT_EQ(Results()[1].status, 133);  // the read-back's own status, for callers that act on it

  window_->SetCheck(app::IDC_VERIFY_AFTER_DOWNLOAD, 0);
  PressDownload(0);
  EXPECT_EQ(VerifiedGroups().size(), 2u);
  EXPECT_EQ(Outcomes(), (std::vector<bool>{true, false, true}));
}

// Every group's order and range, written out: the calibration pair goes after Patch and only
// with defaultCalData, and the range counts it only then (the bar ends full), leaving TFS out.
TEST(GroupPlanTest, EveryGroupHasItsOrderLastFlagAndRange) {
  struct Group {
    std::uint8_t code;
    std::vector<ImageKind> withoutCal;  // the order when defaultCalData is clear
    std::vector<ImageKind> withCal;
    std::vector<ImageKind> range;  // with defaultCalData
  };
  const std::vector<ImageKind> boot = {K::Nandpreboot, K::Boot1a, K::Boot1b, K::Boot2};
  const std::vector<ImageKind> bin = {K::Apps, K::Comms, K::SysInd, K::Patch};
  const std::vector<ImageKind> binCal = {K::Apps,  K::Comms,  K::SysInd,
                                         K::Patch, K::SysDep, K::Spinner};
  auto join = [](std::vector<ImageKind> a, const std::vector<ImageKind>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<Group> groups = {
      {app::SELECT_ALL_PARAMETERS,
       {K::SysInd, K::Patch},
       {K::SysInd, K::Patch, K::SysDep, K::Spinner},
       {K::SysInd, K::Patch, K::SysDep, K::Spinner}},
      {app::SELECT_FILESYSTEM_FILES, {K::Rsrc, K::Tfs}, {K::Rsrc, K::Tfs}, {K::Rsrc}},
      {app::SELECT_ALL_BINARY, bin, binCal, binCal},
      {app::SELECT_ALL_BINARY_FS, join(bin, {K::Rsrc, K::Tfs}), join(binCal, {K::Rsrc, K::Tfs}),
       join(binCal, {K::Rsrc})},
      {app::SELECT_EVERYTHING, join(join(boot, bin), {K::Rsrc, K::Tfs}),
       join(join(boot, binCal), {K::Rsrc, K::Tfs}), join(join(boot, binCal), {K::Rsrc})},
      {app::SELECT_BOOTLOADER, boot, boot, boot},
  };
  // One bit per kind, so that a sum names the kinds it counts.
  std::array<std::uint32_t, app::IMAGE_KIND_COUNT> sizes{};
  for (std::size_t i = 0; i < sizes.size(); ++i) sizes[i] = 1u << i;
  for (const Group& group : groups) {
    for (bool cal : {false, true}) {
      const std::vector<ImageKind>& order = cal ? group.withCal : group.withoutCal;
      std::vector<PlannedImage> expected;
      for (ImageKind kind : order) expected.push_back({kind, kind == order.back()});
      EXPECT_EQ(PlanSequence(group.code, cal), expected) << int{group.code} << " cal " << cal;
    }
    std::uint32_t range = 0;
    for (ImageKind kind : group.range) range += sizes[KindIndex(kind)];
    EXPECT_EQ(ProgressRange(group.code, true, sizes), range) << int{group.code};
    for (ImageKind kind : {K::SysDep, K::Spinner}) {
      if (std::find(group.range.begin(), group.range.end(), kind) != group.range.end()) {
        range -= sizes[KindIndex(kind)];
      }
    }
    EXPECT_EQ(ProgressRange(group.code, false, sizes), range) << int{group.code};
  }
  EXPECT_EQ(PlanSequence(static_cast<std::uint8_t>(K::Boot1b), true),
            (std::vector<PlannedImage>{{K::Boot1b, true}}));
  EXPECT_EQ(ProgressRange(static_cast<std::uint8_t>(K::Tfs), false, sizes),
            sizes[KindIndex(K::Tfs)]);
  EXPECT_TRUE(PlanSequence(0x33, true).empty());
  EXPECT_EQ(ProgressRange(0x33, true, sizes), 0u);
}

// The reboot request against the virtual phone: sent once, after the last image and before the
// notice, and never after a failure.
class RebootTest : public testing::DownloadFixture {
 protected:
  void Connect(bool usb) {
    sim::PhoneOptions options;
    options.link = usb ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    StartPhone(options);
    OpenDialog(phone_->SlavePath(), usb, 3);
    WireOperations();
    PressStart();
    ASSERT_TRUE(Connected()) << Log();
    SetAllImages();
    WaitForConnectionRecorded(usb);
    phone_->ClearEvents();
  }
  int Reboots() const {
    int n = 0;
    for (const auto& e : phone_->Events()) n += e.kind == sim::EventKind::Reboot ? 1 : 0;
    return n;
  }
};

TEST_F(RebootTest, TheRequestPrecedesTheNoticeOnce) {
  Connect(false);
  int rebootsAtNotice = -1;
  host_.EventJournal().SetObserver([&](const ui::Event& event) {
    if (event.kind == ui::EventKind::MessageBox && event.text == "Download Finished") {
      phone_->WaitFor([](const auto& ev) { return sim::HasEvent(ev, sim::EventKind::Reboot); }, 2s);
      rebootsAtNotice = Reboots();
    }
  });
  PressDownload(15, false, /*reboot=*/true);
  host_.EventJournal().SetObserver({});
  EXPECT_EQ(rebootsAtNotice, 1);
  EXPECT_EQ(Reboots(), 1);
  EXPECT_EQ(WrittenKinds().size(), 4u);
}

TEST_F(RebootTest, NoRequestAfterAFailedLastImage) {
  Connect(true);
  FailImage(K::Patch);
  PressDownload(15, false, /*reboot=*/true);
  // A flash-identity query sent after the operation is answered only by a phone still in its
  // driver: once it is recorded, everything the operation sent has been seen, and a reboot
  // request among it would have left the driver.
  ASSERT_EQ(dlg_->port.Open(), link::PORT_OK);
  ASSERT_EQ(link::SendCommand(dlg_->port, sim::FLASH_ID_QUERY), link::PORT_OK);
  EXPECT_TRUE(phone_->WaitFor(
      [](const auto& ev) { return sim::HasEvent(ev, sim::EventKind::FlashIdSent); }, 5s));
  dlg_->port.Close();
  EXPECT_EQ(Reboots(), 0);
  EXPECT_EQ(Count("Download Finished"), 0);
}

TEST_F(RebootTest, UsbSendsTheRequestAsAShortFrame) {
  Connect(true);
  PressDownload(2, false, /*reboot=*/true);
  EXPECT_TRUE(phone_->WaitFor(
      [](const auto& ev) { return sim::HasEvent(ev, sim::EventKind::Reboot); }, 2s));
  for (const auto& e : phone_->Events()) EXPECT_NE(e.kind, sim::EventKind::Violation) << e.detail;
}

}  // namespace
}  // namespace veska::download
