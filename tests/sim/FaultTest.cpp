// Injected faults show on the wire exactly where they were asked for.

#include <gtest/gtest.h>

#include "PhonePeer.h"

namespace veska::sim::test {
namespace {

std::unique_ptr<VirtualPhone> StartUsb(PhoneOptions options, std::unique_ptr<PhonePeer>& pc) {
  auto phone = std::make_unique<VirtualPhone>(std::move(options));
  if (phone->Start() != 0) return nullptr;
  pc = std::make_unique<PhonePeer>(phone->SlavePath());
  pc->Write({USB_START});
  if (pc->ReadByte() != USB_START) return nullptr;
  return phone;
}

// Faults that strike after the first block of a two-block image: what the PC sees next.
struct AfterFirstBlock {
  const char* name;
  const char* fault;
  void (*check)(VirtualPhone& phone, PhonePeer& pc);
};

class FaultAfterFirstBlock : public ::testing::TestWithParam<AfterFirstBlock> {};

TEST_P(FaultAfterFirstBlock, ShowsWhereItWasAskedFor) {
  PhoneOptions options = TestOptions(LinkDialect::Usb);
  options.blockLength = 4;
  options.faults.push_back(*ParseFault(GetParam().fault));
  std::unique_ptr<PhonePeer> pc;
  auto phone = StartUsb(options, pc);
  ASSERT_TRUE(phone);
  ASSERT_TRUE(pc->Write(Cat({{IMAGE_REQUEST, 0, 0, 0, 0, 0, 0, 0}, Le32(0), Le32(8)})));
  ASSERT_TRUE(pc->Read(REPLY_FRAME_SIZE));
  ASSERT_TRUE(pc->Write(Cat({ShortFrame(BLOCK_ACK), Bytes{1, 2, 3, 4}})));
  GetParam().check(*phone, *pc);
}

INSTANTIATE_TEST_SUITE_P(
    Fault, FaultAfterFirstBlock,
    ::testing::Values(
        AfterFirstBlock{"WrongSumOfTheChosenBlock", "sum@block#0",
                        [](VirtualPhone& phone, PhonePeer& pc) {
                          auto second = pc.Read(REPLY_FRAME_SIZE);
                          ASSERT_TRUE(second);
                          EXPECT_EQ((*second)[8], 10 + 1);  // block 0 summed to 10, one off
                          // A PC that detects the mismatch stops; the phone gives up after its
                          // peer time-out.
                          EXPECT_TRUE(phone.WaitFor(
                              [](auto& ev) { return HasEvent(ev, EventKind::PeerSilent); }, 2s));
                          EXPECT_EQ(phone.State(), PhoneState::Driver);
                        }},
        AfterFirstBlock{"LineDropsMidTransfer", "drop@block#1",
                        [](VirtualPhone& phone, PhonePeer& pc) {
                          ASSERT_TRUE(phone.WaitForState(PhoneState::Dropped, 2s));
                          EXPECT_FALSE(pc.ReadByte(200ms));  // hang-up, not a reply
                          EXPECT_TRUE(HasEvent(phone.Events(), EventKind::LineDropped));
                        }}),
    [](const auto& param) { return std::string(param.param.name); });

// A wrong or a transfer code stands where it was asked for, and the phone then waits for a new
// command instead of a block or an acknowledgement.
TEST(Fault, CodesReplaceTheChosenBlockRequestOrImageDone) {
  PhoneOptions options = TestOptions(LinkDialect::Usb);
  options.blockLength = 8;
  options.faults.push_back(*ParseFault("wrong@block#1=0x55"));
  options.faults.push_back(*ParseFault("wrong@done=0x44"));
  std::unique_ptr<PhonePeer> pc;
  auto phone = StartUsb(options, pc);
  ASSERT_TRUE(phone);
  ASSERT_TRUE(pc->Write(Cat({{IMAGE_REQUEST, 0, 0, 0, 0, 0, 0, 0}, Le32(0x1000), Le32(16)})));
  ASSERT_TRUE(pc->Read(REPLY_FRAME_SIZE));
  ASSERT_TRUE(pc->Write(Cat({ShortFrame(BLOCK_ACK), Bytes(8, 1)})));
  auto second = pc->Read(REPLY_FRAME_SIZE);
  ASSERT_TRUE(second);
  EXPECT_EQ((*second)[0], 0x55);
  EXPECT_EQ(GetLe32(*second, 4), 8u);
  EXPECT_EQ((*second)[8], 8);  // the sum of the block before, as in a true request
  // No acknowledgement and no block is awaited: the next command is answered.
  ASSERT_TRUE(pc->Write({FLASH_ID_QUERY}));
  EXPECT_EQ(pc->Read(2), (Bytes{0xEC, 0xB1}));

  ASSERT_TRUE(pc->Write(Cat({{IMAGE_REQUEST, 0, 0, 0, 0, 0, 0, 0}, Le32(0x2000), Le32(8)})));
  ASSERT_TRUE(pc->Read(REPLY_FRAME_SIZE));
  ASSERT_TRUE(pc->Write(Cat({ShortFrame(BLOCK_ACK), Bytes(8, 2)})));
  auto done = pc->Read(REPLY_FRAME_SIZE);
  ASSERT_TRUE(done);
  EXPECT_EQ((*done)[0], 0x44);
  EXPECT_EQ((*done)[4], 16);
  ASSERT_TRUE(pc->Write({FLASH_ID_QUERY}));
  EXPECT_EQ(pc->Read(2), (Bytes{0xEC, 0xB1}));
  EXPECT_FALSE(HasEvent(phone->Events(), EventKind::ImageDone));

  phone->InjectFault(*ParseFault("code@block#1=0x43"));
  ASSERT_TRUE(pc->Write(Cat({{IMAGE_REQUEST, 0, 0, 0, 0, 0, 0, 0}, Le32(0x3000), Le32(32)})));
  ASSERT_TRUE(pc->Read(REPLY_FRAME_SIZE));
  ASSERT_TRUE(pc->Write(Cat({ShortFrame(BLOCK_ACK), Bytes(8, 3)})));
  auto code = pc->Read(REPLY_FRAME_SIZE);
  ASSERT_TRUE(code);
  EXPECT_EQ((*code)[0], WRITE_FLASH_ERROR);
  ASSERT_TRUE(pc->Write({FLASH_ID_QUERY}));
  EXPECT_EQ(pc->Read(2), (Bytes{0xEC, 0xB1}));
}

TEST(Fault, CorruptDumpChunkNoLongerMatchesItsSum) {
  PhoneOptions options = TestOptions(LinkDialect::Usb);
  options.faults.push_back(*ParseFault("corrupt@chunk#1"));
  std::unique_ptr<PhonePeer> pc;
  auto phone = StartUsb(options, pc);
  ASSERT_TRUE(phone);
  ASSERT_TRUE(pc->Write(Cat({Padded(TFS_OPERATION), {DUMP_START, 0}, Le32(0), Le32(4096)})));
  auto good = pc->Read(PAGE_DATA_SIZE + 1);
  ASSERT_TRUE(good);
  EXPECT_EQ(Sum(std::span(*good).first(PAGE_DATA_SIZE)), good->back());
  ASSERT_TRUE(pc->Write(ShortFrame(DUMP_ACK)));
  auto bad = pc->Read(PAGE_DATA_SIZE + 1);
  ASSERT_TRUE(bad);
  EXPECT_NE(Sum(std::span(*bad).first(PAGE_DATA_SIZE)), bad->back());
  ASSERT_TRUE(pc->Write(ShortFrame(DUMP_NAK)));
  EXPECT_TRUE(phone->WaitFor(
      [](auto& ev) {
        auto last = LastOf(ev, EventKind::DumpChunk);
        return last && last->code == DUMP_NAK;
      },
      2s));
  EXPECT_FALSE(HasEvent(phone->Events(), EventKind::DumpDone));
}

TEST(Fault, WrongReadyByteAndStrayBytesOnUart) {
  PhoneOptions options = TestOptions(LinkDialect::Uart);
  options.faults.push_back(*ParseFault("stray@ack=00,12"));
  options.faults.push_back(*ParseFault("wrong@ready=0x90"));
  VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  PhonePeer pc(phone.SlavePath());
  pc.Purge();
  ASSERT_EQ(pc.ReadByte(), BOOT_SIGNAL);
  ASSERT_TRUE(pc.Write({START_AFTER_BOOT}));
  std::optional<std::uint8_t> byte;
  do byte = pc.ReadByte();
  while (byte == BOOT_SIGNAL);
  EXPECT_EQ(byte, 0x00);
  EXPECT_EQ(pc.Read(2), (Bytes{0x12, START_AFTER_BOOT}));
  ASSERT_TRUE(pc.Write(Cat({MakeLoader(PRELOADER_STAGE1), MakeLoader(PRELOADER_STAGE2),
                            MakeLoader(NAND_FLASH_DRIVER)})));
  EXPECT_EQ(pc.ReadByte(), 0x90);
}

TEST(Fault, WrongLoaderHeaderIsAViolation) {
  VirtualPhone phone(TestOptions(LinkDialect::Uart));
  ASSERT_EQ(phone.Start(), 0);
  PhonePeer pc(phone.SlavePath());
  ASSERT_TRUE(pc.Write({START_AFTER_BOOT}));
  Bytes stage1 = MakeLoader(PRELOADER_STAGE1);
  stage1[7] ^= 1;  // count one off
  ASSERT_TRUE(pc.Write(stage1));
  ASSERT_TRUE(phone.WaitForState(PhoneState::Halted, 2s));
  auto v = LastOf(phone.Events(), EventKind::Violation);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->detail, "bad header of preloader stage 1");
}

TEST(Pacing, WritesKeepToTheLineRate) {
  PhoneOptions options = TestOptions(LinkDialect::Usb);
  options.pace = true;
  std::unique_ptr<PhonePeer> pc;
  auto phone = StartUsb(options, pc);
  ASSERT_TRUE(phone);
  // 4 x 2049 bytes at 115200 bit/s take at least 0.71 s on the wire.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(pc->Write(Cat({Padded(TFS_OPERATION), {DUMP_START, 0}, Le32(0), Le32(4 * 2048)})));
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(pc->Read(PAGE_DATA_SIZE + 1));
    ASSERT_TRUE(pc->Write(ShortFrame(DUMP_ACK)));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);
}

}  // namespace
}  // namespace veska::sim::test
