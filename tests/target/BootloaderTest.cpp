#include "target/Bootloader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "TargetFixture.h"
#include "app/FlashMap.h"
#include "app/Printf.h"
#include "link/PtyPair.h"

namespace veska::target::testing {
namespace {

using app::ImageKind;
using sim::EventKind;

class BootloaderTest : public TargetFixture {
 protected:
  void PressBootloader() {
    logFrom_ = host_.EventJournal().Events().size();
    window_->Click(app::IDC_DL_BOOTLOADER);
    dlg_->Runner().Join();
  }
  app::OperationResult LastResult() const { return *dlg_->Runner().LastResult(); }
};

TEST_F(BootloaderTest, RefusalsComeBeforeAnyThreadAndLeaveDownloadUsableLater) {
  PtyPair pty;
  // USB: refused before any file is looked at.
  OpenDialog(pty.SlavePath(), true);
  MakeImage(ImageKind::Nandpreboot, 100);
  PressBootloader();
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"Only Uart Mode allowed!"});
  EXPECT_EQ(dlg_->imageSize[app::KindIndex(ImageKind::Nandpreboot)], 0u);
  EXPECT_EQ(LastResult().outcome, app::Outcome::Refused);
  EXPECT_TRUE(Idle());
  // A refused request leaves no bootloader mode behind: a later connection offers Download.
  EXPECT_FALSE(state_.bootloaderMode.load());

  // UART: the files in order, the first bad one ends the request with its own text.
  window_->Click(app::IDC_UART);
  MakeImage(ImageKind::Nandpreboot, 4097);
  PressBootloader();
  EXPECT_EQ(MessageBoxes().back(), "nandpreboot file size error!");
  MakeImage(ImageKind::Nandpreboot, 4096);
  MakeImage(ImageKind::Boot1a, 100);
  ASSERT_TRUE(dlg_->SetImagePathByKey(app::KEY_BOOT1B, (folder_ / "absent.img").string()));
  PressBootloader();
  EXPECT_EQ(MessageBoxes().back(), "file open error! Check the boot1 file location");
  app::Cause refused = app::Cause::File(ImageKind::Boot1b, app::FileRule::CannotOpen,
                                        (folder_ / "absent.img").string());
  refused.detail = "file open error! Check the boot1 file location";
  EXPECT_EQ(LastResult(), app::OperationResult::Ended(
                              app::OperationId::DownloadBootloader, app::Outcome::Refused, 0,
                              "file open error! Check the boot1 file location", refused));
  EXPECT_FALSE(host_.HasRunningWorkers());
  EXPECT_TRUE(pty.Receive(1, 50ms).empty());  // nothing reached the line
  EXPECT_TRUE(Idle());
}

TEST_F(BootloaderTest, WritesTheFourImagesWithoutAHandshakeAndHoldsDownloadUntilDisconnect) {
  StartPhone({});
  OpenDialog(phone_->SlavePath());
  const auto preboot = MakeImage(ImageKind::Nandpreboot, 4096);
  const auto boot1a = MakeImage(ImageKind::Boot1a, 0x3000);
  const auto boot1b = MakeImage(ImageKind::Boot1b, 5000);
  const auto boot2 = MakeImage(ImageKind::Boot2, 70000);
  PressBootloader();

  EXPECT_EQ(LastResult(), app::OperationResult::Ended(app::OperationId::DownloadBootloader,
                                                      app::Outcome::Written));
  const std::string pane = window_->GetText(app::IDC_LOG);
  EXPECT_TRUE(
      pane.starts_with("\n  * Bootloader Download start!!!!"
                       "\n\n  * NAND Flash Driver Download"
                       "\n     preloader downloading\t\t\t> > > OK\n"
                       "     Bootloader driver downloading\t\t> > > "
                       "\n  * NAND : Preboot Download"))
      << pane;
  for (const char* heading : {"\n  * NAND : Boot1a Download", "\n  * NAND : Boot1b Download",
                              "\n  * NAND : Boot2 Download"}) {
    EXPECT_NE(pane.find(heading), std::string::npos) << heading;
  }
  // The bar counts the four images' bytes together and ends full, not at the loaders' range.
  std::int64_t furthest = 0;
  const auto shown = host_.EventJournal().Events();
  for (std::size_t i = logFrom_; i < shown.size(); ++i) {
    if (shown[i].kind == ui::EventKind::SetPos && shown[i].id == app::IDC_PROGRESS) {
      furthest = std::max(furthest, shown[i].a);
    }
  }
  const std::int64_t total = 4096 + 0x3000 + 5000 + 70000;
  EXPECT_EQ(window_->GetProgress(app::IDC_PROGRESS).upper, total);
  EXPECT_EQ(furthest, total);
  // No notice, no total line: no image carries the last-image flag.
  EXPECT_TRUE(MessageBoxes().empty());
  EXPECT_EQ(pane.find("TOTAL"), std::string::npos);

  for (const auto& [kind, data] : {std::pair{ImageKind::Nandpreboot, &preboot},
                                   {ImageKind::Boot1a, &boot1a},
                                   {ImageKind::Boot1b, &boot1b},
                                   {ImageKind::Boot2, &boot2}}) {
    std::vector<std::uint8_t> flash(data->size());
    ASSERT_TRUE(phone_->Nand().ReadData(*app::Catalogue(kind).address, flash));
    EXPECT_TRUE(flash == *data) << app::Catalogue(kind).logName;
  }
  const auto events = phone_->Events();
  // No handshake: the phone took the first preloader byte straight from its boot ROM.
  for (const auto& e : events) {
    if (e.kind == EventKind::StartByte) {
      EXPECT_EQ(e.detail, "preloader without handshake");
    }
  }
  EXPECT_FALSE(sim::HasEvent(events, EventKind::Violation));

  // The phone runs the bootloader driver: Download stays off until Disconnect.
  EXPECT_FALSE(window_->IsEnabled(app::IDC_DOWNLOAD));
  EXPECT_FALSE(window_->IsEnabled(app::IDC_START));
  window_->Click(app::IDC_DISCONNECT);
  EXPECT_FALSE(state_.bootloaderMode.load());
  dlg_->EnterConnectedState();
  EXPECT_TRUE(window_->IsEnabled(app::IDC_DOWNLOAD));
}

// The erase buttons against a raw line: the bytes each link carries, and every answer.
class EraseTest : public TargetFixture {
 protected:
  void Open(bool usb) {
    OpenDialog(pty_.SlavePath(), usb);
    // As START leaves the record: the chosen port, a loader running at the user's rate.
    dlg_->port.portName = "COM1";
    dlg_->port.baudCode = 0x8B;
    state_.link.linkMode = usb ? link::LINK_USB : link::LINK_UART;
    dlg_->EnterConnectedState();
  }
  // Presses `button`; `phone` plays the phone on the line while the worker waits.
  void Press(int button, const std::function<void()>& phone) {
    logFrom_ = host_.EventJournal().Events().size();
    ASSERT_TRUE(window_->Click(button));
    phone();
    dlg_->Runner().Join();
  }
  PtyPair pty_;
};

TEST_F(EraseTest, EachLinkCarriesTheCommandInItsFormAndOnlyAbConfirms) {
  std::vector<std::uint8_t> usbBytes;
  Open(true);
  Press(app::IDC_NAND_ERASE, [&] {
    usbBytes = pty_.Receive(17, 300ms);
    pty_.Send({ERASE_DONE});
  });
  ASSERT_EQ(usbBytes.size(), 16u);
  EXPECT_EQ(usbBytes[0], NAND_ERASE);
  EXPECT_EQ(Log(),
            "\n\n  * NAND Flash Erase\n     Nand Flash Erasing\t\t\t> > > "
            "OK\n    Now NAND All blocks except bootloader erased\t\t ");
  EXPECT_EQ(dlg_->Runner().LastResult()->outcome, app::Outcome::Done);
  EXPECT_TRUE(Connected());

  Open(false);
  std::vector<std::uint8_t> uartBytes;
  Press(app::IDC_BOOTLOADER_ERASE, [&] {
    uartBytes = pty_.Receive(2, 300ms);
    pty_.Send({ERASE_DONE});
  });
  EXPECT_EQ(uartBytes, std::vector<std::uint8_t>{BOOTLOADER_ERASE});
  EXPECT_TRUE(Log().ends_with("> > > OK\n    Now Bootloader erased\t\t ")) << Log();

  // Any other answer, or none, leaves the line open-ended and the step failed. The answer is no
  // status: 0x78 would read as the port's "no reply".
  for (const std::uint8_t answer : {0x00, 0x78}) {
    Press(app::IDC_NAND_ERASE, [&] {
      pty_.Receive(1, 300ms);
      pty_.Send({answer});
    });
    EXPECT_TRUE(Log().ends_with("Nand Flash Erasing\t\t\t> > > ")) << Log();
    EXPECT_EQ(
        *dlg_->Runner().LastResult(),
        app::OperationResult::Ended(
            app::OperationId::NandErase, app::Outcome::Failed, ERASE_NOT_CONFIRMED,
            app::Printf("the phone answered 0x%02X instead of confirming the erase (0xAB)", answer),
            app::Cause::Refused(answer)));
    EXPECT_TRUE(Connected());
    EXPECT_FALSE(state_.link.portOpen);
  }

  dlg_->port.readTotalTimeout = 0ms;  // a silent phone, without the wait
  Press(app::IDC_NAND_ERASE, [&] { pty_.Receive(1, 300ms); });
  EXPECT_TRUE(Log().ends_with("> > > ")) << Log();
  EXPECT_EQ(dlg_->Runner().LastResult()->status, link::PORT_TIMEOUT);
  EXPECT_TRUE(Connected());
}

// The desktop programs ask first, No the default; No sends nothing and leaves the window
// connected. (The command line does not ask: its step is the request.)
TEST_F(EraseTest, TheDesktopAsksBeforeErasingAndNoSendsNothing) {
  Open(false);
  dlg_->SetConfirmErasing(true);
  host_.QueueMessageBoxAnswer(ui::IDNO);
  ASSERT_TRUE(window_->Click(app::IDC_NAND_ERASE));
  dlg_->Runner().Join();
  EXPECT_TRUE(pty_.Receive(1, 100ms).empty());
  EXPECT_EQ(dlg_->Runner().LastResult()->reason, "not confirmed");
  EXPECT_TRUE(Connected());
  const auto events = host_.EventJournal().Events();
  const auto box = std::find_if(events.rbegin(), events.rend(), [](const ui::Event& e) {
    return e.kind == ui::EventKind::MessageBox;
  });
  ASSERT_NE(box, events.rend());
  EXPECT_EQ(box->text, app::kConfirmNandEraseText);
  EXPECT_EQ(box->a, ui::MB_YESNO | ui::MB_ICONWARNING | ui::MB_DEFBUTTON2);
  EXPECT_EQ(box->b, ui::IDNO);

  host_.QueueMessageBoxAnswer(ui::IDYES);
  Press(app::IDC_BOOTLOADER_ERASE, [&] {
    EXPECT_EQ(pty_.Receive(2, 300ms), std::vector<std::uint8_t>{BOOTLOADER_ERASE});
    pty_.Send({ERASE_DONE});
  });
  EXPECT_EQ(dlg_->Runner().LastResult()->outcome, app::Outcome::Done);
}

// A chip that takes its time: the window stays busy and responsive until the phone answers.
TEST_F(BootloaderTest, ALongEraseOfTheVirtualPhoneIsAwaitedOnAWorker) {
  sim::PhoneOptions options;
  options.eraseDuration = 1000ms;
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  window_->Click(app::IDC_START);
  dlg_->Runner().Join();
  ASSERT_TRUE(Connected()) << Log();
  logFrom_ = host_.EventJournal().Events().size();
  ASSERT_TRUE(window_->Click(app::IDC_NAND_ERASE));
  // The press has returned while the phone still erases: the worker holds the phone, and only
  // Disconnect is offered meanwhile.
  EXPECT_TRUE(dlg_->Runner().Busy());
  EXPECT_FALSE(window_->IsEnabled(app::IDC_DOWNLOAD));
  EXPECT_TRUE(window_->IsEnabled(app::IDC_DISCONNECT));
  dlg_->Runner().Join();
  EXPECT_TRUE(Log().ends_with("OK\n    Now NAND All blocks except bootloader erased\t\t "))
      << Log();
  EXPECT_TRUE(Connected());
}

TEST_F(EraseTest, DisconnectEndsALongEraseAtOnce) {
  Open(false);
  dlg_->port.readTotalTimeout = 1000ms;  // as in production: the wait would last minutes
  logFrom_ = host_.EventJournal().Events().size();
  ASSERT_TRUE(window_->Click(app::IDC_NAND_ERASE));
  ASSERT_EQ(pty_.Receive(1, 2000ms), std::vector<std::uint8_t>{NAND_ERASE});
  // The window answers meanwhile: only Disconnect is offered.
  EXPECT_TRUE(window_->IsEnabled(app::IDC_DISCONNECT));
  EXPECT_FALSE(window_->IsEnabled(app::IDC_DOWNLOAD));
  const auto start = std::chrono::steady_clock::now();
  window_->Click(app::IDC_DISCONNECT);
  dlg_->Runner().Join();
  // Long before the phone's allowance (factor 30 of one-second reads) would have run out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_TRUE(Idle());
  EXPECT_TRUE(Log().ends_with("> > > ")) << Log();
  EXPECT_EQ(dlg_->Runner().LastResult()->outcome, app::Outcome::Cancelled);
}

}  // namespace
}  // namespace veska::target::testing
