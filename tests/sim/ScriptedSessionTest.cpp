// Walks the phone through whole sessions with raw bytes written to its pty, as the PC would
// write them: connection with loaders, image writes in both dialects, erase and dump.

#include <gtest/gtest.h>

#include "PhonePeer.h"

namespace veska::sim::test {
namespace {

// Serves the phone's UART block requests from `image`; `spoil` names a block whose first
// sending carries a wrong sum byte.
void ServeUartImage(PhonePeer& pc, const Bytes& image, std::optional<int> spoil) {
  std::size_t offset = 0;
  for (int index = 0;; ++index) {
    auto code = pc.ReadByte();
    ASSERT_TRUE(code);
    if (*code == UART_DONE) break;
    ASSERT_EQ(*code, UART_BLOCK_REQUEST);
    auto number = pc.Read(4);
    ASSERT_TRUE(number);
    const std::uint32_t length = GetBe32(*number, 0);
    ASSERT_LE(offset + length, image.size());
    Bytes block(image.begin() + static_cast<long>(offset),
                image.begin() + static_cast<long>(offset + length));
    const std::uint8_t sum = Sum(block);
    if (spoil == index) {
      ASSERT_TRUE(pc.Write(Cat({block, {static_cast<std::uint8_t>(sum + 1)}})));
      ASSERT_EQ(pc.ReadByte(), UART_BLOCK_AGAIN);
    }
    ASSERT_TRUE(pc.Write(Cat({block, {sum}})));
    ASSERT_EQ(pc.ReadByte(), UART_BLOCK_OK);
    ASSERT_TRUE(pc.Write({UART_ACK}));
    offset += length;
  }
  EXPECT_EQ(offset, image.size());
}

// Receives a dump, acknowledging every chunk with `ack(code)`; returns the bytes.
Bytes ReceiveDump(PhonePeer& pc, std::uint32_t length, std::uint32_t chunk,
                  const std::function<bool(std::uint8_t)>& ack) {
  Bytes all;
  while (all.size() < length) {
    const std::size_t n = std::min<std::size_t>(chunk, length - all.size());
    auto data = pc.Read(n + 1);
    if (!data) return all;
    EXPECT_EQ(Sum(std::span(*data).first(n)), data->back()) << "chunk at " << all.size();
    all.insert(all.end(), data->begin(), data->end() - 1);
    if (!ack(DUMP_ACK)) return all;
  }
  return all;
}

// A block request with a wrong first byte is what the PC sees, and the phone, expecting no
// block after it, answers the next command.
TEST(ScriptedSession, UartWrongBlockRequestEndsTheTransfer) {
  PhoneOptions options = TestOptions(LinkDialect::Uart);
  options.blockLength = 1024;
  options.faults.push_back(*ParseFault("wrong@block#1=0x7E"));
  VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  PhonePeer pc(phone.SlavePath());
  ASSERT_NO_FATAL_FAILURE(ConnectUart(phone, pc));
  ASSERT_TRUE(pc.Write({IMAGE_REQUEST}));
  ASSERT_EQ(pc.ReadByte(), UART_SYNC);
  ASSERT_TRUE(pc.Write(Cat({Be32(0x00C00000), Be32(2048)})));
  EXPECT_EQ(pc.Read(5), Cat({{UART_BLOCK_REQUEST}, Be32(1024)}));
  const Bytes block = Pattern(1024, 3);
  ASSERT_TRUE(pc.Write(Cat({block, {Sum(block)}})));
  ASSERT_EQ(pc.ReadByte(), UART_BLOCK_OK);
  ASSERT_TRUE(pc.Write({UART_ACK}));
  EXPECT_EQ(pc.Read(5), Cat({{0x7E}, Be32(1024)}));
  ASSERT_TRUE(pc.Write({FLASH_ID_QUERY}));
  EXPECT_EQ(pc.Read(2), (Bytes{0xEC, 0xB1}));
  EXPECT_EQ(CountEvents(phone.Events(), EventKind::ImageBlock), 1u);
}

// The same exchanges through each adapter model: the bytes the PC gets are the same, only later.
class AdapterSession : public ::testing::TestWithParam<const char*> {};

TEST_P(AdapterSession, UartConnectWriteDumpEraseReboot) {
  PhoneOptions options = TestOptions(LinkDialect::Uart);
  options.adapter = *ParseAdapter(GetParam());
  options.blockLength = 1024;
  options.badBlocks = {{0x12, 0x7F0}};
  VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  PhonePeer pc(phone.SlavePath());
  ASSERT_TRUE(pc.Valid());
  ASSERT_NO_FATAL_FAILURE(ConnectUart(phone, pc));
  auto rate = LastOf(phone.Events(), EventKind::RateChanged);
  ASSERT_TRUE(rate);
  EXPECT_EQ(rate->length, 460800u);

  ASSERT_TRUE(pc.Write({FLASH_ID_QUERY}));
  EXPECT_EQ(pc.Read(2), (Bytes{0xEC, 0xB1}));
  ASSERT_TRUE(pc.Write({BAD_BLOCK_QUERY}));
  EXPECT_EQ(pc.Read(6), (Bytes{0x00, 0x12, 0x07, 0xF0, 0xFF, 0xFF}));

  // One image: three blocks of 1024, 1024 and 452 bytes, the second sent twice.
  const Bytes image = Pattern(2500, 9);
  ASSERT_TRUE(pc.Write({IMAGE_REQUEST}));
  ASSERT_EQ(pc.ReadByte(), UART_SYNC);
  ASSERT_TRUE(pc.Write(Cat({Be32(0x00C00000), Be32(2500)})));
  ASSERT_NO_FATAL_FAILURE(ServeUartImage(pc, image, 1));
  Bytes written(image.size());
  ASSERT_TRUE(phone.Nand().ReadData(0x00C00000, written));
  EXPECT_EQ(written, image);
  auto events = phone.Events();
  EXPECT_EQ(CountEvents(events, EventKind::ImageBlock), 3u);
  EXPECT_EQ(CountEvents(events, EventKind::ImageBlockBad), 1u);

  // Dump from 1000 bytes before the image: 2048 + 952 bytes, each chunk with its sum.
  ASSERT_TRUE(pc.Write(Cat({{DUMP_START, DUMP_KIND_DATA}, Be32(0x00C00000 - 1000), Be32(3000)})));
  Bytes dump = ReceiveDump(pc, 3000, PAGE_DATA_SIZE, [&](std::uint8_t a) { return pc.Write({a}); });
  ASSERT_EQ(dump.size(), 3000u);
  EXPECT_EQ(dump[999], 0xFF);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 2000, dump.begin() + 1000));
  EXPECT_TRUE(phone.WaitFor([](auto& ev) { return HasEvent(ev, EventKind::DumpDone); }, 2s));

  // NAND Erase keeps the boot area.
  const Bytes boot = Pattern(64, 1);
  ASSERT_TRUE(phone.Nand().WriteData(BOOT_AREA_END - 64, boot));
  ASSERT_TRUE(pc.Write({NAND_ERASE}));
  EXPECT_EQ(pc.ReadByte(), ERASE_DONE);
  ASSERT_TRUE(phone.Nand().ReadData(0x00C00000, written));
  EXPECT_EQ(written, Bytes(image.size(), 0xFF));
  Bytes kept(64);
  ASSERT_TRUE(phone.Nand().ReadData(BOOT_AREA_END - 64, kept));
  EXPECT_EQ(kept, boot);

  // Reboot: the boot ROM signals again.
  ASSERT_TRUE(pc.Write({REBOOT_REQUEST}));
  EXPECT_EQ(pc.ReadByte(), BOOT_SIGNAL);
  EXPECT_FALSE(HasEvent(phone.Events(), EventKind::Violation));
}

INSTANTIATE_TEST_SUITE_P(Adapters, AdapterSession, ::testing::Values("none", "ftdi:2", "cdc"));

TEST(ScriptedSession, UsbConnectWriteEraseDump) {
  PhoneOptions options = TestOptions(LinkDialect::Usb);
  options.blockLength = 1000;
  VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  PhonePeer pc(phone.SlavePath());
  EXPECT_TRUE(pc.Quiet(150ms));  // no boot signal on USB
  ASSERT_TRUE(pc.Write({USB_START}));
  ASSERT_EQ(pc.ReadByte(), USB_START);

  // The address travels little-endian: 00 00 20 00 for 0x00200000.
  const Bytes image = Pattern(2100, 4);
  Bytes request = Cat({{IMAGE_REQUEST, 0, 0x21, 0x43, 0, 0, 0, 0}, Le32(0x00200000), Le32(2100)});
  ASSERT_TRUE(pc.Write(request));
  std::uint8_t previousSum = 0;
  std::size_t offset = 0;
  for (int index = 0;; ++index) {
    auto reply = pc.Read(REPLY_FRAME_SIZE);
    ASSERT_TRUE(reply);
    if ((*reply)[0] == IMAGE_DONE) {
      EXPECT_EQ((*reply)[4], previousSum);  // the last block's sum
      break;
    }
    ASSERT_EQ((*reply)[0], BLOCK_REQUEST);
    if (index > 0) {
      EXPECT_EQ((*reply)[8], previousSum);
    }
    const std::uint32_t length = GetLe32(*reply, 4);
    ASSERT_LE(offset + length, image.size());
    Bytes block(image.begin() + static_cast<long>(offset),
                image.begin() + static_cast<long>(offset + length));
    ASSERT_TRUE(pc.Write(Cat({ShortFrame(BLOCK_ACK), block})));
    previousSum = Sum(block);
    offset += length;
  }
  EXPECT_EQ(offset, image.size());
  ASSERT_TRUE(pc.Write(ShortFrame(IMAGE_ACK)));
  ASSERT_TRUE(phone.WaitFor([](auto& ev) { return HasEvent(ev, EventKind::ImageDone); }, 2s));
  Bytes written(image.size());
  ASSERT_TRUE(phone.Nand().ReadData(0x00200000, written));
  EXPECT_EQ(written, image);

  // Bootloader Erase, a 16-byte PaddedCommand, clears the boot area only.
  ASSERT_TRUE(phone.Nand().WriteData(0x1000, Pattern(16, 2)));
  ASSERT_TRUE(pc.Write(Padded(BOOTLOADER_ERASE)));
  EXPECT_EQ(pc.ReadByte(), ERASE_DONE);
  Bytes boot(16);
  ASSERT_TRUE(phone.Nand().ReadData(0x1000, boot));
  EXPECT_EQ(boot, Bytes(16, 0xFF));

  // Dump with spare bytes after TFS_OPERATION: numbers little-endian, answers as ShortFrames.
  std::array<std::uint8_t, PAGE_SPARE_SIZE> spare{};
  spare.fill(0x3C);
  ASSERT_TRUE(phone.Nand().WriteSpare(PAGE_COUNT / 2, spare));
  const std::uint32_t from = NAND_DATA_SIZE / 2;
  ASSERT_TRUE(pc.Write(Cat(
      {Padded(TFS_OPERATION), {DUMP_START, DUMP_KIND_TFS}, Le32(from), Le32(PAGE_SIZE + 100)})));
  Bytes dump = ReceiveDump(pc, PAGE_SIZE + 100, PAGE_SIZE,
                           [&](std::uint8_t a) { return pc.Write(ShortFrame(a)); });
  ASSERT_EQ(dump.size(), PAGE_SIZE + 100u);
  EXPECT_EQ(dump[PAGE_DATA_SIZE - 1], 0xFF);
  EXPECT_EQ(dump[PAGE_DATA_SIZE], 0x3C);  // spare bytes follow the page's data
  EXPECT_TRUE(phone.WaitFor([](auto& ev) { return HasEvent(ev, EventKind::DumpDone); }, 2s));
  EXPECT_FALSE(HasEvent(phone.Events(), EventKind::Violation));
}

TEST(ScriptedSession, BootVariantWithPreludeAndBootloaderDriverWithoutHandshake) {
  PhoneOptions options = TestOptions(LinkDialect::Uart);
  options.bootSignal = BOOT_SIGNAL_RETRY;
  options.bootPrelude = {0x00, 0x00};
  options.poweredOnAtStart = false;
  VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  PhonePeer pc(phone.SlavePath());
  EXPECT_TRUE(pc.Quiet(150ms));  // switched off
  phone.PowerOn();
  EXPECT_EQ(pc.Read(3), (Bytes{0x00, 0x00, BOOT_SIGNAL_RETRY}));
  ASSERT_TRUE(pc.Write({START_AFTER_RETRY}));
  // The acknowledgement is the same byte as the signal; once it is sent the ROM falls silent.
  ASSERT_TRUE(phone.WaitFor(
      [](auto& ev) {
        auto start = LastOf(ev, EventKind::StartByte);
        return start && start->code == START_AFTER_RETRY;
      },
      2s));
  Bytes tail;
  while (auto byte = pc.ReadByte(300ms)) tail.push_back(*byte);
  ASSERT_FALSE(tail.empty());
  EXPECT_EQ(tail, Bytes(tail.size(), START_AFTER_RETRY));

  // Switched on again, the bootloader download pushes the preloader without a handshake.
  phone.PowerOn();
  ASSERT_TRUE(phone.WaitForState(PhoneState::BootRom, 2s));
  ASSERT_NO_FATAL_FAILURE(UploadLoaders(pc, BOOTLOADER_DRIVER, RATE_115200));
  auto loader = LastOf(phone.Events(), EventKind::LoaderReceived);
  ASSERT_TRUE(loader);
  EXPECT_EQ(loader->length, BOOTLOADER_DRIVER.size);
  EXPECT_TRUE(phone.WaitForState(PhoneState::Driver, 2s));
}

}  // namespace
}  // namespace veska::sim::test
