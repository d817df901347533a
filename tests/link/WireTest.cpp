#include "link/Wire.h"

#include <gtest/gtest.h>

#include <stdlib.h>  // random_r: the C library's own generator, as a reference

#include <numeric>
#include <vector>

#include "PtyPair.h"

namespace veska::link {
namespace {

using Bytes = std::vector<std::uint8_t>;

class RecordingProgress final : public ProgressSink {
 public:
  void AddProgress(std::size_t bytes) override { pieces.push_back(bytes); }
  std::vector<std::size_t> pieces;
};

TEST(WireForms, NumbersKeepTheirLinksByteOrder) {
  const auto uart = EncodeUartNumber(0x00C00000);
  EXPECT_EQ(Bytes(uart.begin(), uart.end()), (Bytes{0x00, 0xC0, 0x00, 0x00}));
  EXPECT_EQ(DecodeUartNumber(uart), 0x00C00000u);

  std::array<std::uint8_t, 16> frame{};
  const std::uint32_t args[] = {0x00C00000, 0x12345678};
  LinkState state;
  EXPECT_EQ(BuildRequestFrame(state, frame, 0x5A, args, 0x4321), 4u);
  EXPECT_EQ(Bytes(frame.begin(), frame.end()), (Bytes{0x5A, 0, 0x21, 0x43, 0, 0, 0, 0, 0x00, 0x00,
                                                      0xC0, 0x00, 0x78, 0x56, 0x34, 0x12}));
}

// The tags must stay those of an unseeded C-library rand(): the C library's reentrant generator
// seeded with 1 is that sequence.
TEST(FrameTags, FollowTheCLibrarysUnseededSequenceAndEachSessionHasItsOwn) {
  std::array<char, 128> referenceState{};
  random_data reference{};
  ASSERT_EQ(initstate_r(1, referenceState.data(), referenceState.size(), &reference), 0);
  ASSERT_EQ(srandom_r(1, &reference), 0);

  FrameTagGenerator generator;
  for (int i = 0; i < 5000; ++i) {
    std::int32_t want = 0;
    ASSERT_EQ(random_r(&reference, &want), 0);
    ASSERT_EQ(generator.Next(), want) << "value " << i;
  }

  // Tags drawn by one session leave another's sequence where it was.
  LinkState first;
  LinkState second;
  FrameTagGenerator fresh;
  for (int i = 0; i < 10; ++i) (void)NextFrameTag(first);
  EXPECT_EQ(NextFrameTag(second), fresh.Next() & 0x7FFF);
}

TEST(WireForms, RequestFrameTagIsFreshOnlyWhenItsLowHalfIsZero) {
  std::array<std::uint8_t, 8> frame{};
  LinkState state;
  EXPECT_EQ(BuildRequestFrame(state, frame, 0x5A, {}, 0x0001ABCD), 2u);
  EXPECT_EQ(frame[2], 0xCD);
  EXPECT_EQ(frame[3], 0xAB);

  // A tag of 0x10000 has zero low bits: a fresh tag from the generator (0 ... 32767) goes in.
  FrameTagGenerator reference;
  const auto expected = static_cast<std::uint16_t>(reference.Next() & 0x7FFF);
  frame.fill(0);
  EXPECT_EQ(BuildRequestFrame(state, frame, 0x5A, {}, 0x10000), 2u);
  EXPECT_EQ(frame[2] | frame[3] << 8, expected);

  std::array<std::uint8_t, 11> tooSmall{};
  const std::uint32_t one[] = {1};
  EXPECT_EQ(BuildRequestFrame(state, tooSmall, 0x5A, one, 1), 0u);
  EXPECT_EQ(tooSmall, (std::array<std::uint8_t, 11>{}));
}

TEST(WireForms, ReplyFrameOffersItsWordAndBothSumBytes) {
  const std::array<std::uint8_t, 16> bytes{0x26, 9, 9, 9, 0x00, 0x08, 0x00, 0x00, 0x7F};
  const ReplyFrame reply = ReplyFrame::Decode(bytes);
  EXPECT_EQ(reply.code, 0x26);
  EXPECT_EQ(reply.word, 0x800u);
  EXPECT_EQ(reply.sumAt4, 0x00);
  EXPECT_EQ(reply.sumAt8, 0x7F);
}

TEST(WireForms, BlockSumDropsTheCarry) {
  const Bytes bytes{0xFF, 0x02};
  EXPECT_EQ(blockSum(bytes), 0x01);
  EXPECT_EQ(blockSum({}), 0x00);
}

class WireOverPty : public ::testing::Test {
 protected:
  void OpenAs(std::uint32_t mode) {
    state.linkMode = mode;
    port.portName = pty.SlavePath();
    port.baudCode = BAUDCODE_921600;
    ASSERT_EQ(port.Open(), PORT_OK);
  }
  void FillBuffer(std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
      state.transferBuffer[i] = static_cast<std::uint8_t>(i * 31 + 5);
  }

  PtyPair pty;
  LinkState state;
  SerialPort port{state};
  RecordingProgress progress;
};

TEST_F(WireOverPty, CommandsTakeTheFormOfTheCurrentLink) {
  OpenAs(LINK_UART);
  ASSERT_EQ(SendCommand(port, 0xDA), PORT_OK);
  EXPECT_EQ(pty.Receive(1), Bytes{0xDA});

  state.linkMode = LINK_USB;
  ASSERT_EQ(SendCommand(port, 0xDA), PORT_OK);
  const Bytes frame = pty.Receive(8);
  ASSERT_EQ(frame.size(), 8u);
  EXPECT_EQ(frame[0], 0xDA);
  EXPECT_EQ(frame[1], 0);
  EXPECT_EQ((Bytes{frame.begin() + 4, frame.end()}), (Bytes{0, 0, 0, 0}));
  EXPECT_LE(frame[3], 0x7F);  // tags stay below 32768

  ASSERT_EQ(SendPaddedCommand(port, 0xB1), PORT_OK);
  Bytes padded(16, 0);
  padded[0] = 0xB1;
  EXPECT_EQ(pty.Receive(16), padded);
}

TEST_F(WireOverPty, UartBlockIsFollowedByItsSumAndLeavesTheBarAlone) {
  OpenAs(LINK_UART);
  FillBuffer(4097);
  ASSERT_EQ(SendBlock(port, 4097, &progress), PORT_OK);
  const Bytes sent = pty.Receive(4098);
  ASSERT_EQ(sent.size(), 4098u);
  const std::uint8_t sum = blockSum(std::span(state.transferBuffer).first(4097));
  EXPECT_EQ(sent.back(), sum);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end() - 1, state.transferBuffer.begin()));
  EXPECT_EQ(state.lastBlockSum, sum);
  EXPECT_TRUE(progress.pieces.empty());

  // An empty block still sends its sum byte, 0.
  state.lastBlockSum = 0x55;
  ASSERT_EQ(SendBlock(port, 0, &progress), PORT_OK);
  EXPECT_EQ(pty.Receive(1), Bytes{0x00});
  EXPECT_EQ(state.lastBlockSum, 0);
}

TEST_F(WireOverPty, UsbBlockLeavesInPiecesOf4096WithoutASumByte) {
  OpenAs(LINK_USB);
  FillBuffer(4097);
  ASSERT_EQ(SendBlock(port, 4097, &progress), PORT_OK);
  EXPECT_EQ(progress.pieces, (std::vector<std::size_t>{4096, 1}));
  const Bytes sent = pty.Receive(4098, std::chrono::milliseconds(200));
  EXPECT_EQ(sent.size(), 4097u);
  EXPECT_EQ(state.lastBlockSum, blockSum(std::span(state.transferBuffer).first(4097)));
}

TEST_F(WireOverPty, AFailedOrOversizedBlockKeepsTheLastSum) {
  OpenAs(LINK_UART);
  state.lastBlockSum = 0x55;
  EXPECT_EQ(SendBlock(port, TRANSFER_BUFFER_SIZE + 1), PORT_NO_MEMORY);
  EXPECT_TRUE(pty.Receive(1, std::chrono::milliseconds(50)).empty());
  port.Close();
  FillBuffer(10);
  EXPECT_EQ(SendBlock(port, 10), PORT_IO_ERROR);
  EXPECT_EQ(state.lastBlockSum, 0x55);
}

}  // namespace
}  // namespace veska::link
