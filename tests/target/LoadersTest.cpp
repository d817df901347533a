#include "target/Loaders.h"

#include <gtest/gtest.h>

#include <fstream>

#include "target/PhoneHarness.h"

using namespace std::chrono_literals;

namespace veska::target::testing {
namespace {

TEST(FlashIdText, NamesKnownPartsAndShowsOthersInHexadecimal) {
  EXPECT_EQ(FlashIdText(0xECB1), "MR7D2P45XT");
  EXPECT_EQ(FlashIdText(0xECBA), "MQ200P11XT");
  EXPECT_EQ(FlashIdText(0x2076), "2076");
  EXPECT_EQ(FlashIdText(0x0076), "76");
}

TEST(BadBlockReport, ReportsCompletePairsOnlyAndAsManyAsThePhoneSends) {
  const std::string rule = "      ---------------------------------------------------------\n";
  EXPECT_EQ(BadBlockReport({}, false), "FAIL\n");
  EXPECT_EQ(BadBlockReport({}, true), "Not found\n");
  const std::uint16_t unpaired[] = {0x0012, 0x07F0, 0x0013};
  EXPECT_EQ(BadBlockReport(unpaired, true),
            "1 Bad block found\n" + rule + "        P.Block[18] ---> S.Block[2032]\n" + rule);
  const std::uint16_t lonely[] = {0x0012};
  EXPECT_EQ(BadBlockReport(lonely, true), "Not found\n");

  std::vector<std::uint16_t> many;
  for (std::uint16_t i = 0; i < 300; ++i) {
    many.push_back(i);
    many.push_back(static_cast<std::uint16_t>(2000 + i));
  }
  const std::string report = BadBlockReport(many, true);
  EXPECT_TRUE(report.starts_with("300 Bad block found\n"));
  EXPECT_NE(report.find("        P.Block[299] ---> S.Block[2299]\n" + rule), std::string::npos);
}

// A pair for every block of the flash is still a list; one word more without the end is not.
TEST(BadBlockList, EndsAtTheEndWordOrPastAPairForEveryBlock) {
  for (const bool ended : {true, false}) {
    BadBlockList list;
    for (std::size_t i = 0; i < 2 * kFlashBlocks; ++i) {
      ASSERT_EQ(list.Take(static_cast<std::uint16_t>(i)), BadBlockList::Next::More) << i;
    }
    EXPECT_EQ(list.Take(ended ? BAD_BLOCK_END : 0x0000),
              ended ? BadBlockList::Next::Ended : BadBlockList::Next::TooLong);
    EXPECT_EQ(list.Ended(), ended);
    EXPECT_EQ(list.TooLong(), !ended);
    EXPECT_EQ(list.Words().size(), 2 * kFlashBlocks);
    EXPECT_EQ(list.Take(BAD_BLOCK_END), ended ? BadBlockList::Next::Ended  // nothing more is taken
                                              : BadBlockList::Next::TooLong);
  }
}

// The loader upload on a port of its own against the virtual phone.
class LoadersTest : public ::testing::Test {
 protected:
  void Start(sim::PhoneOptions options) {
    phoneHarness_.Start(std::move(options));
    phone_ = phoneHarness_.phone.get();
    harness_ = phoneHarness_.harness.get();
    ASSERT_EQ(harness_->port.Open(), link::PORT_OK);
  }

  link::PortStatus Upload(std::uint8_t kind) {
    FlashChecks checks;
    return UploadLoaders(harness_->Context(), {payloads_, kind, link::kSelectorBaudCodes[2]},
                         checks);
  }
  std::string Log() const { return harness_->narrator.Text(); }

  payloads::PayloadSet payloads_;
  veska::testing::PhoneHarness phoneHarness_;
  sim::VirtualPhone* phone_ = nullptr;
  veska::testing::EngineHarness* harness_ = nullptr;
};

// The bootloader driver may announce itself before its ready byte, but not for ever.
TEST_F(LoadersTest, TheBootloaderDriverToleratesAFewStrayBytesBeforeItIsReady) {
  for (const std::size_t stray : {std::size_t{3}, std::size_t{4096}}) {
    sim::PhoneOptions options;
    sim::Fault fault;
    fault.kind = sim::FaultKind::StrayBytes;
    fault.step = sim::FaultStep::ReadyByte;
    fault.bytes = stray == 3 ? std::vector<std::uint8_t>{0x12, 0x00, 0x34}
                             : std::vector<std::uint8_t>(stray, 0x12);
    options.faults.push_back(fault);
    Start(options);
    const std::string upload =
        "\n\n  * NAND Flash Driver Download"
        "\n     preloader downloading\t\t\t> > > OK\n"
        "     Bootloader driver downloading\t\t> > > ";
    if (stray == 3) {
      EXPECT_EQ(Upload(LOADER_BOOTLOADER_DRIVER), link::PORT_OK);
      EXPECT_EQ(Log(), upload);
      // The phone records its rate switch just after its reply, which the PC may have read
      // first.
      EXPECT_TRUE(phone_->WaitFor(
          [](const auto& events) { return sim::HasEvent(events, sim::EventKind::RateChanged); },
          5s));
    } else {
      EXPECT_EQ(Upload(LOADER_BOOTLOADER_DRIVER), link::PORT_BAD_ACK);
      EXPECT_EQ(Log(), upload +
                           "\r\n4096 bytes came, none of them the driver's ready byte\r\n"
                           "FAIL\n\n  Turn On/Off the target phone!!!\n");
      // A failed driver leaves the window connected, as it was.
      EXPECT_EQ(harness_->narrator.States(),
                std::vector<app::WindowState>{app::WindowState::Connected});
    }
    EXPECT_FALSE(harness_->port.HoldsDevice());
    phone_->Stop();
  }
}

TEST_F(LoadersTest, ARefusedPayloadFileIsNeverSent) {
  // A real stage-1 file of the wrong size: the set refuses it and has no bytes to send.
  const auto folder = std::filesystem::temp_directory_path() / "veska_loaders_refused";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "PreloaderStage1.bin") << "too short";
  payloads_ = payloads::PayloadSet::Load(folder);
  std::filesystem::remove_all(folder);
  Start({});
  EXPECT_EQ(Upload(LOADER_NAND_FLASH_DRIVER), link::PORT_NO_MEMORY);
  EXPECT_TRUE(Log().ends_with("> > > FAIL\n\n  Turn On/Off the target phone!!!\n"));
  EXPECT_FALSE(harness_->port.HoldsDevice());
  EXPECT_FALSE(sim::HasEvent(phone_->Events(), sim::EventKind::LoaderReceived));
}

}  // namespace
}  // namespace veska::target::testing
