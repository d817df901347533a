#include "target/Loaders.h"

#include <gtest/gtest.h>

#include <fstream>

#include "TargetFixture.h"

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

class LoadersTest : public TargetFixture {};

TEST_F(LoadersTest, TheBootloaderDriverToleratesStrayBytesBeforeItIsReady) {
  sim::PhoneOptions options;
  sim::Fault fault;
  fault.kind = sim::FaultKind::StrayBytes;
  fault.step = sim::FaultStep::ReadyByte;
  fault.bytes = {0x12, 0x00, 0x34};
  options.faults.push_back(fault);
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  state_.link.linkMode = link::LINK_UART;
  auto& port = dlg_->port;
  port.portName = "COM1";
  port.baudCode = 0x88;
  ASSERT_EQ(port.Open(), link::PORT_OK);
  logFrom_ = host_.EventJournal().Events().size();
  EXPECT_EQ(UploadLoaders(*dlg_, port, LOADER_BOOTLOADER_DRIVER), link::PORT_OK);
  EXPECT_EQ(Log(),
            "\n\n  * NAND Flash Driver Download"
            "\n     preloader downloading\t\t\t> > > OK\n"
            "     Bootloader driver downloading\t\t> > > ");
  EXPECT_FALSE(port.HoldsDevice());
  // The phone records its rate switch just after its reply, which the PC may have read first.
  EXPECT_TRUE(phone_->WaitFor(
      [](const auto& events) { return sim::HasEvent(events, sim::EventKind::RateChanged); }, 5s));
}

TEST_F(LoadersTest, ABootloaderDriverThatNeverStopsTalkingFailsTheUpload) {
  sim::PhoneOptions options;
  sim::Fault fault;
  fault.kind = sim::FaultKind::StrayBytes;
  fault.step = sim::FaultStep::ReadyByte;
  fault.bytes.assign(4096, 0x12);
  options.faults.push_back(fault);
  StartPhone(options);
  OpenDialog(phone_->SlavePath());
  state_.link.linkMode = link::LINK_UART;
  auto& port = dlg_->port;
  port.portName = "COM1";
  port.baudCode = 0x88;
  ASSERT_EQ(port.Open(), link::PORT_OK);
  logFrom_ = host_.EventJournal().Events().size();
  EXPECT_EQ(UploadLoaders(*dlg_, port, LOADER_BOOTLOADER_DRIVER), link::PORT_BAD_ACK);
  EXPECT_TRUE(
      Log().ends_with("     Bootloader driver downloading\t\t> > > "
                      "\r\n4096 bytes came, none of them the driver's ready byte\r\n"
                      "FAIL\n\n  Turn On/Off the target phone!!!\n"))
      << Log();
  EXPECT_FALSE(port.HoldsDevice());
}

TEST_F(LoadersTest, ARefusedPayloadFileIsNeverSent) {
  StartPhone({});
  OpenDialog(phone_->SlavePath());
  // A real stage-1 file of the wrong size: the set refuses it and has no bytes to send.
  const auto folder = folder_ / "payloads";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "PreloaderStage1.bin") << "too short";
  state_.payloads = payloads::PayloadSet::Load(folder);
  state_.link.linkMode = link::LINK_UART;
  auto& port = dlg_->port;
  port.portName = "COM1";
  port.baudCode = 0x88;
  ASSERT_EQ(port.Open(), link::PORT_OK);
  logFrom_ = host_.EventJournal().Events().size();
  EXPECT_EQ(UploadLoaders(*dlg_, port, LOADER_NAND_FLASH_DRIVER), link::PORT_NO_MEMORY);
  EXPECT_TRUE(Log().ends_with("> > > FAIL\n\n  Turn On/Off the target phone!!!\n"));
  EXPECT_FALSE(port.HoldsDevice());
  EXPECT_FALSE(sim::HasEvent(phone_->Events(), sim::EventKind::LoaderReceived));
}

}  // namespace
}  // namespace veska::target::testing
