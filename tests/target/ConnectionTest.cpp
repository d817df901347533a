#include "target/Connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "TargetFixture.h"
#include "link/PtyPair.h"
#include "target/ExpectedLogs.h"

namespace veska::target::testing {
namespace {

using sim::EventKind;
using sim::FaultKind;
using sim::FaultStep;

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const auto a = text.find(from);
  if (a == std::string::npos) return "<" + from + " missing>";
  const auto b = text.find(to, a + from.size());
  if (b == std::string::npos) return "<" + to + " missing>";
  return text.substr(a, b + to.size() - a);
}

class ConnectionTest : public TargetFixture {
 protected:
  // START against a phone that misbehaves at one step of the handshake or the flash checks.
  void PressStartAgainst(FaultKind kind, FaultStep step, sim::PhoneOptions options = {},
                         std::vector<std::uint8_t> bytes = {}) {
    sim::Fault fault;
    fault.kind = kind;
    fault.step = step;
    fault.bytes = std::move(bytes);
    options.faults.push_back(fault);
    StartPhone(options);
    OpenDialog(phone_->SlavePath());
    PressStart();
  }
};

TEST_F(ConnectionTest, AFullUartConnectionNarratesEveryStepByteForByteAtEveryRate) {
  StartPhone({});
  OpenDialog(phone_->SlavePath(), false, 0);
  RecordWaits();
  const std::uint8_t codes[] = {0x88, 0x8A, 0x8B, 0x8D};
  for (int index = 0; index < 4; ++index) {
    SCOPED_TRACE(index);
    phone_->PowerOn();  // back to the boot ROM
    phone_->ClearEvents();
    {
      std::lock_guard lock(waitsMutex_);
      waits_.clear();
    }
    window_->SelectItem(app::IDC_BAUD, index);
    PressStart();

    EXPECT_EQ(Log(), testing::FullUartConnectionLog("COM1"));
    // On UART only the boot wait is reported to the host, begun and then ended before the result.
    const std::vector<app::PhoneWait> waits = Waits();
    ASSERT_GE(waits.size(), 2u);
    for (const app::PhoneWait& wait : waits) EXPECT_EQ(wait.awaited, "the BOOT signal");
    EXPECT_TRUE(waits.back().ended);
    EXPECT_EQ(FlashIdBox(), "MR7D2P45XT");
    EXPECT_TRUE(Connected());
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_FALSE(state_.link.portOpen);
    EXPECT_EQ(dlg_->connectStatus, CONNECT_OK);
    EXPECT_EQ(dlg_->Runner().LastResult(),
              app::OperationResult::Ended(app::OperationId::Start, app::Outcome::Connected));
    // The shared record keeps the user's rate, not the handshake's.
    ASSERT_TRUE(state_.sharedPort);
    EXPECT_EQ(state_.sharedPort->baudCode, codes[index]);
    // The phone saw both preloader stages, the driver and the chosen rate.
    const auto events = phone_->Events();
    EXPECT_EQ(sim::CountEvents(events, EventKind::LoaderReceived), 3u);
    bool rate = false;
    for (const auto& e : events) rate |= e.kind == EventKind::RateChanged && e.code == codes[index];
    EXPECT_TRUE(rate);
    EXPECT_FALSE(sim::HasEvent(events, EventKind::Violation));
    window_->Click(app::IDC_DISCONNECT);
  }
}

TEST_F(ConnectionTest, UsbConnectsWithoutLoadersOnceTheLateDeviceAppears) {
  sim::PhoneOptions options;
  options.link = sim::LinkDialect::Usb;
  options.linkPath = (folder_ / "ttyACM-phone").string();
  options.usbAppearDelay = 300ms;
  StartPhone(options);
  OpenDialog(options.linkPath, true, 3);
  RecordWaits();
  PressStart();
  // On USB the phone is switched on after START: the host hears of the wait for its
  // acknowledgement instead, ended before the result.
  const std::vector<app::PhoneWait> waits = Waits();
  ASSERT_GE(waits.size(), 2u);
  for (const app::PhoneWait& wait : waits) {
    EXPECT_EQ(wait.awaited, "the Download start ACK signal");
  }
  EXPECT_TRUE(waits.back().ended);
  EXPECT_EQ(Log(),
            "\n  * Connecting to target phone"
            "\n     Try to open COM1\t>"
            "Success!!\n"
            "      Send the Download start signal\t\t> > > OK\n"
            "      Listen for the Download start ACK signal\t> > > OK\n"
            "\n      USB Download Mode\t> > > "
            "Available\n\n");
  EXPECT_EQ(FlashIdBox(), "Connect");
  EXPECT_TRUE(Connected());
  EXPECT_EQ(dlg_->port.baudCode, 0x8D);  // the user's rate is restored for later operations
  EXPECT_FALSE(sim::HasEvent(phone_->Events(), EventKind::LoaderReceived));
}

TEST_F(ConnectionTest, ZeroBytesBeforeTheBootSignalAreNeverAWrongCode) {
  sim::PhoneOptions options;
  options.bootPrelude = {0x00, 0x00, 0x00, 0x00};
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  PressStart();
  EXPECT_TRUE(Log().ends_with("Available\n\n")) << Log();
}

// A raw line on which the test plays a phone byte by byte.
class RawLineTest : public TargetFixture {
 protected:
  void SetUp() override { OpenDialog(pty_.SlavePath()); }
  // Sends `byte` every 5 ms for `duration`, from a thread, starting now.
  void Chatter(std::uint8_t byte, std::chrono::milliseconds duration) {
    chatter_ = std::jthread([this, byte, duration] {
      const auto end = std::chrono::steady_clock::now() + duration;
      while (std::chrono::steady_clock::now() < end) {
        pty_.Send({byte});
        std::this_thread::sleep_for(5ms);
      }
    });
  }

  PtyPair pty_;
  std::jthread chatter_;
};

// What the line carried before it fell silent decides what the boot wait reports: nothing but
// noise (0xFF) is a silent phone, another byte is named.
TEST_F(RawLineTest, TheBootWaitEndsAsSilenceOrAWrongCode) {
  struct Case {
    std::uint8_t byte;
    const char* logTail;
    ConnectStatus status;
    const char* box;
  };
  for (const Case& c : {Case{0xFF,
                             "      Listen for the BOOT signal\t\t\t> > > FAIL\n"
                             "      (Check Comport connection & Bootloader existence)\n",
                             CONNECT_TIMEOUT, "Timeout : No Response at the target phone"},
                        Case{0x12, "> > > Wrong code! 0x12 has come.", CONNECT_WRONG_CHAR,
                             "Received Wrong Char from MS"}}) {
    Chatter(c.byte, 150ms);
    const std::size_t boxes = MessageBoxes().size();
    PressStart();
    chatter_.join();
    EXPECT_TRUE(Log().ends_with(c.logTail)) << Log();
    EXPECT_EQ(dlg_->connectStatus, c.status);
    ASSERT_EQ(MessageBoxes().size(), boxes + 1);
    EXPECT_EQ(MessageBoxes().back(), c.box);
    EXPECT_TRUE(Idle());
  }
}

// Only silence ended the waits of the handshake: a line that never stops talking must too.
TEST_F(RawLineTest, AStreamOfNoiseEndsTheBootWaitAndStrayBytesTheAcknowledgementWait) {
  logFrom_ = host_.EventJournal().Events().size();
  window_->Click(app::IDC_START);
  ASSERT_TRUE(WaitForLog("Listen for the BOOT signal\t\t\t> > > ", 5s));
  pty_.Send(std::vector<std::uint8_t>(65536, 0x00));  // consumed to the last byte, or it blocks
  host_.JoinWorkers();
  EXPECT_TRUE(
      Log().ends_with("      Listen for the BOOT signal\t\t\t> > > FAIL\n"
                      "      (65536 bytes came, none of them the BOOT signal)\n"))
      << Log();
  EXPECT_EQ(dlg_->connectStatus, CONNECT_TIMEOUT);
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"Timeout : No Response at the target phone"});

  logFrom_ = host_.EventJournal().Events().size();
  window_->Click(app::IDC_START);
  ASSERT_TRUE(WaitForLog("Listen for the BOOT signal\t\t\t> > > ", 5s));
  pty_.Send({BOOT_SIGNAL});
  ASSERT_EQ(pty_.Receive(1, 3000ms), std::vector<std::uint8_t>{START_UART});
  pty_.Send(std::vector<std::uint8_t>(4096, 0x12));
  host_.JoinWorkers();
  EXPECT_TRUE(
      Log().ends_with("      Listen for the Download start ACK signal\t> > > FAIL\n"
                      "      (4096 bytes came, none of them the ACK signal)\n"))
      << Log();
  EXPECT_EQ(dlg_->connectStatus, CONNECT_WRONG_CHAR);
  EXPECT_TRUE(Idle());
}

TEST_F(RawLineTest, ABaudSelectorWithoutSelectionSendsNothing) {
  window_->SetCurSel(app::IDC_BAUD, -1);
  Chatter(0xA5, 100ms);
  PressStart();
  EXPECT_EQ(dlg_->connectStatus, CONNECT_BAD_BAUD);
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"Wrong BaudRate"});
  chatter_.join();
  EXPECT_TRUE(pty_.Receive(1, 50ms).empty());
  EXPECT_TRUE(Idle());
}

TEST_F(RawLineTest, NoPortWithTheFirstRateIsAnInvalidEnvironment) {
  window_->SetCurSel(app::IDC_PORT, -1);
  dlg_->portIndex = -1;
  window_->SelectItem(app::IDC_BAUD, 0);
  PressStart();
  EXPECT_EQ(dlg_->connectStatus, CONNECT_INVALID_ENV);
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"Invalid Env"});
}

// The 0x77 boot signal allows one retry: the phone answers the first start byte with 0xA5
// instead of an acknowledgement, the PC tries again with 0xC9, and the second wait decides.
class RetryTest : public RawLineTest {
 protected:
  // Plays the phone up to the PC's second start byte, then `ending` (or nothing).
  void Play(std::optional<std::uint8_t> ending) {
    player_ = std::jthread([this, ending](std::stop_token stop) {
      std::vector<std::uint8_t> got;
      while (got.empty() && !stop.stop_requested()) {
        pty_.Send({0x77});
        got = pty_.Receive(1, 5ms);
      }
      seen_.push_back(got.empty() ? 0 : got[0]);
      pty_.Send({0xA5});
      got = pty_.Receive(1, 3000ms);
      seen_.push_back(got.empty() ? 0 : got[0]);
      if (ending) pty_.Send({*ending});
    });
  }
  std::jthread player_;
  std::vector<std::uint8_t> seen_;
};

// The second wait ends as the first would: silence is a time-out, a stray byte a wrong char
// shown in a box without a text of its own in the log.
TEST_F(RetryTest, TheSecondWaitEndsAsATimeoutOrAWrongChar) {
  const std::string retry =
      "> > > Try again\n      Send the Download start signal\t\t> > > OK\n"
      "      Listen for the Download start ACK signal\t> > > ";
  Play(std::nullopt);
  PressStart();
  player_.join();
  EXPECT_EQ(seen_, (std::vector<std::uint8_t>{0x77, 0xC9}));
  EXPECT_NE(Log().find(retry + "Timeout\n"), std::string::npos) << Log();
  EXPECT_EQ(dlg_->connectStatus, CONNECT_TIMEOUT);
  EXPECT_FALSE(state_.bootRetryAllowed);

  const std::size_t boxes = MessageBoxes().size();
  seen_.clear();
  Play(0x12);
  PressStart();
  player_.join();
  EXPECT_TRUE(Log().ends_with(retry)) << Log();
  EXPECT_EQ(dlg_->connectStatus, CONNECT_WRONG_CHAR);
  ASSERT_EQ(MessageBoxes().size(), boxes + 1);
  EXPECT_EQ(MessageBoxes().back(), "Received Wrong Char from MS");
}

TEST_F(ConnectionTest, TheRetryConnectsWhenTheSecondStartByteIsAcknowledged) {
  sim::PhoneOptions options;
  options.bootSignal = 0x77;
  sim::Fault fault;
  fault.kind = FaultKind::WrongByte;
  fault.step = FaultStep::StartAck;
  fault.value = 0xA5;
  options.faults.push_back(fault);
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  PressStart();
  EXPECT_NE(Log().find("Try again\n      Send the Download start signal"), std::string::npos)
      << Log();
  EXPECT_TRUE(Log().ends_with("Available\n\n")) << Log();
}

TEST_F(ConnectionTest, AWrongReadyByteFailsTheLoaderUpload) {
  sim::PhoneOptions options;
  sim::Fault fault;
  fault.kind = FaultKind::WrongByte;
  fault.step = FaultStep::ReadyByte;
  fault.value = 0x55;
  options.faults.push_back(fault);
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  PressStart();
  EXPECT_TRUE(
      Log().ends_with("     NAND Flash driver downloading\t\t> > > FAIL\n"
                      "\n  Turn On/Off the target phone!!!\n"
                      "\n      Loader download fail!\n "))
      << Log();
  EXPECT_EQ(dlg_->connectStatus, CONNECT_LOADER_FAILED);
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"Downloading loader fail"});
  EXPECT_TRUE(Idle());
  EXPECT_FALSE(state_.link.portOpen);
}

// A line that goes away while the PC waits for the acknowledgement (a pulled cable) is reported as
// lost, not as a phone that never answered.
TEST_F(ConnectionTest, ALineLostDuringTheAcknowledgementWaitIsNoTimeout) {
  PressStartAgainst(FaultKind::LineDrop, FaultStep::StartAck);
  EXPECT_TRUE(Log().ends_with("      Listen for the Download start ACK signal\t> > > Line lost\n"))
      << Log();
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"Comm Error"});
  EXPECT_EQ(dlg_->connectStatus, CONNECT_COMM_ERROR);
  EXPECT_TRUE(Idle());
}

TEST_F(ConnectionTest, BadBlocksAndIdentityAreShownAsThePhoneReportsThem) {
  sim::PhoneOptions options;
  options.flashId[0] = 0x20;
  options.flashId[1] = 0x76;
  options.badBlocks = {{18, 2032}};
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  PressStart();
  EXPECT_EQ(Between(Log(), "      NAND Bad block check", "---\nOK\n"),
            "      NAND Bad block check\t\t\t> > > 1 Bad block found\n"
            "      ---------------------------------------------------------\n"
            "        P.Block[18] ---> S.Block[2032]\n"
            "      ---------------------------------------------------------\nOK\n");
  EXPECT_EQ(FlashIdBox(), "2076");
}

// Flash checks the phone left unanswered (it went away), or answered with a bad-block list
// longer than the flash: the log reads as it always did, but START did not connect to a phone
// that answers, and its result says which.
struct FlashCheckFault {
  const char* name;
  FaultKind kind;
  FaultStep step;
  std::size_t strayBytes;  // StrayBytes: zero words sent in place of the list
  const char* logPart;
  const char* flashIdBox;
  std::string_view reason;
};

class FlashCheckTest : public ConnectionTest,
                       public ::testing::WithParamInterface<FlashCheckFault> {};

TEST_P(FlashCheckTest, ReadsAsConnectedButFailsTheStart) {
  const FlashCheckFault& c = GetParam();
  sim::PhoneOptions options;
  options.flashId[0] = 0x00;
  options.flashId[1] = 0x76;
  PressStartAgainst(c.kind, c.step, options, std::vector<std::uint8_t>(c.strayBytes, 0x00));
  EXPECT_NE(Log().find(c.logPart), std::string::npos) << Log();
  EXPECT_TRUE(Log().ends_with("Available\n\n")) << Log();
  EXPECT_EQ(FlashIdBox(), c.flashIdBox);
  const auto result = dlg_->Runner().LastResult();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->outcome, app::Outcome::Failed);
  EXPECT_EQ(result->status, CONNECT_FLASH_CHECKS_FAILED);
  EXPECT_EQ(result->reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, FlashCheckTest,
    ::testing::Values(FlashCheckFault{"SilentBadBlocks", FaultKind::Silence, FaultStep::BadBlocks,
                                      0, "      NAND Bad block check\t\t\t> > > FAIL\nOK\n", "76",
                                      kFlashChecksUnanswered},
                      // More words than the flash has blocks: a failed check, not an endless read.
                      FlashCheckFault{"EndlessBadBlocks", FaultKind::StrayBytes,
                                      FaultStep::BadBlocks, 2 * 2 * 2048 + 64,
                                      "      NAND Bad block check\t\t\t> > > FAIL\nOK\n", "76",
                                      kBadBlockListTooLong},
                      FlashCheckFault{"SilentIdentity", FaultKind::Silence, FaultStep::FlashId, 0,
                                      "     Flash Type Checking\t\t\t> > > OK\n", "FAIL",
                                      kFlashChecksUnanswered}),
    [](const auto& flashCheck) { return std::string(flashCheck.param.name); });

// Once the loaders run, a silent phone is given the reply time-out, not the factors' half hour,
// and the log says what it was waiting for.
TEST_F(ConnectionTest, ASilentPhoneAfterTheLoadersEndsEachCheckAtTheReplyTimeOut) {
  sim::PhoneOptions options;
  for (FaultStep step : {FaultStep::FlashId, FaultStep::BadBlocks}) {
    sim::Fault fault;
    fault.kind = FaultKind::Silence;
    fault.step = step;
    options.faults.push_back(fault);
  }
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  dlg_->port.readTotalTimeout = 20ms;  // the factors alone: 32 s for the identity, 4 s per word
  state_.link.replyTimeout = 100ms;
  const auto t0 = std::chrono::steady_clock::now();
  PressStart();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  EXPECT_NE(
      Log().find("     Flash Type Checking\t\t\t> > > "
                 "\r\nNo answer from the phone for 100 ms (waiting for the flash identity)\r\n"
                 "OK\n"
                 "      NAND Bad block check\t\t\t> > > "
                 "\r\nNo answer from the phone for 100 ms (waiting for the bad-block list)\r\n"
                 "FAIL\n"),
      std::string::npos)
      << Log();
  EXPECT_EQ(FlashIdBox(), "FAIL");
  EXPECT_EQ(dlg_->Runner().LastResult()->status, CONNECT_FLASH_CHECKS_FAILED);
}

TEST_F(RawLineTest, DisconnectEndsAWorkerBlockedOnASilentPhone) {
  const auto t0 = std::chrono::steady_clock::now();
  logFrom_ = host_.EventJournal().Events().size();
  dlg_->port.readTotalTimeout = 1000ms;  // the real figure: the listen would last 27 minutes
  window_->Click(app::IDC_START);
  // The listen is narrated once the port is open; a noise byte taken from the line after that
  // shows the worker inside its read.
  // (EXPECT, not ASSERT: the Disconnect below must come even if the wait fails.)
  EXPECT_TRUE(WaitForLog("Listen for the BOOT signal\t\t\t> > > ", 5s));
  pty_.Send({0xFF});
  EXPECT_TRUE(WaitUntil([&] { return pty_.UnreadBySlave() == 0; }, 5s));
  window_->Click(app::IDC_DISCONNECT);
  host_.JoinWorkers();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  EXPECT_TRUE(Idle());
  EXPECT_FALSE(state_.link.portOpen);
  EXPECT_FALSE(dlg_->port.HoldsDevice());
  EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(ConnectionTest, DisconnectAtAnyMomentLeavesTheWindowIdleAndThePortReleased) {
  StartPhone({});
  OpenDialog(phone_->SlavePath());
  std::mt19937 random(11);
  for (int round = 0; round < 12; ++round) {
    phone_->PowerOn();
    window_->Click(app::IDC_START);
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 120));
    window_->Click(app::IDC_DISCONNECT);
    host_.JoinWorkers();
    EXPECT_TRUE(Idle()) << round;
    EXPECT_FALSE(state_.link.portOpen) << round;
    EXPECT_FALSE(dlg_->port.HoldsDevice()) << round;
  }
  // The line is still good for a full connection afterwards.
  phone_->PowerOn();
  PressStart();
  EXPECT_TRUE(Log().ends_with("Available\n\n")) << Log();
}

}  // namespace
}  // namespace veska::target::testing
