#include "sim/PhoneOptions.h"

#include <gtest/gtest.h>

#include "sim/FileSystemServiceTfs.h"

namespace veska::sim {
namespace {

// The phone's faults and the file-system service's share one grammar; each part judges its own
// kinds, steps and values.
TEST(FaultTexts, ParseIntoTheirParts) {
  auto code = ParseFault("code@block#3=0x2B");
  ASSERT_TRUE(code);
  EXPECT_EQ(code->kind, FaultKind::TransferCode);
  EXPECT_EQ(code->step, FaultStep::ImageBlock);
  EXPECT_EQ(code->block, 3u);
  EXPECT_EQ(code->value, 0x2B);
  EXPECT_FALSE(code->repeat);

  auto stray = ParseFault("stray@ready=00,0x12!");
  ASSERT_TRUE(stray);
  EXPECT_EQ(stray->bytes, (std::vector<std::uint8_t>{0x00, 0x12}));
  EXPECT_TRUE(stray->repeat);

  auto error = ParseFsFault("error@format=0x85:102");  // the report is hexadecimal either way
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, FsFaultKind::FormatError);
  EXPECT_EQ(error->function, 0x85);
  EXPECT_EQ(error->error, 0x102u);
  EXPECT_FALSE(error->index);  // the next one

  auto silence = ParseFsFault("silence@chunk#3!");
  ASSERT_TRUE(silence);
  EXPECT_EQ(silence->step, FsFaultStep::Chunk);
  EXPECT_EQ(silence->index, 3u);
  EXPECT_TRUE(silence->repeat);

  EXPECT_FALSE(ParseFault("code@block#3"));     // a code needs its value
  EXPECT_FALSE(ParseFault("silence@ready=1"));  // silence takes none
  EXPECT_FALSE(ParseFault("silence@nowhere"));
  EXPECT_FALSE(ParseFault("wrong@ack=0x100"));  // not a byte
  EXPECT_FALSE(ParseFault("stray@ack=0x0x12"));
  EXPECT_FALSE(ParseFault("drop@block#x"));
  EXPECT_FALSE(ParseFault("silence@format"));     // the other part's step
  EXPECT_FALSE(ParseFsFault("error@mount=1:2"));  // a report belongs to the format
  EXPECT_FALSE(ParseFsFault("wrong@time"));
  EXPECT_FALSE(ParseFsFault("sum@nowhere"));
  EXPECT_FALSE(ParseFsFault("drop@chunk"));  // the other part's kind
  // Faults that would change nothing where they are put.
  EXPECT_FALSE(ParseFault("sum@ready"));
  EXPECT_FALSE(ParseFault("code@ack=0x28"));
  EXPECT_FALSE(ParseFault("corrupt@done"));
  EXPECT_TRUE(ParseFault("corrupt@block#1"));  // a byte stored damaged
  EXPECT_TRUE(ParseFault("sum@done"));
}

TEST(PhoneOptions, ParsesIdentityAndBadBlocks) {
  auto id = ParseFlashId("EC:B1");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->first, 0xEC);
  EXPECT_EQ(id->second, 0xB1);
  EXPECT_FALSE(ParseFlashId("ECB"));

  auto pairs = ParseBadBlocks("18:2032,0x13:0x7F1");
  ASSERT_TRUE(pairs);
  ASSERT_EQ(pairs->size(), 2u);
  EXPECT_EQ((*pairs)[1].first, 0x13);
  EXPECT_EQ((*pairs)[1].second, 0x7F1);
  // 0xFFFF ends the list on the wire, so it cannot be sent as a block number.
  EXPECT_FALSE(ParseBadBlocks("65535:1"));
  EXPECT_FALSE(ParseBadBlocks("18"));

  // The adapter before the PC: an FTDI chip's timer takes 1 to 255 ms.
  EXPECT_EQ(ParseAdapter("ftdi")->latency, std::chrono::milliseconds(16));
  EXPECT_EQ(ParseAdapter("ftdi:1")->kind, AdapterModel::Kind::Ftdi);
  EXPECT_EQ(ParseAdapter("ftdi:255")->latency, std::chrono::milliseconds(255));
  EXPECT_EQ(ParseAdapter("cdc")->kind, AdapterModel::Kind::Cdc);
  EXPECT_EQ(ParseAdapter("none")->kind, AdapterModel::Kind::None);
  for (const char* wrong : {"ftdi:0", "ftdi:256", "ftdi:", "ftdi:1x", "ftdi16", "usb"}) {
    EXPECT_FALSE(ParseAdapter(wrong)) << wrong;
  }
}

}  // namespace
}  // namespace veska::sim
