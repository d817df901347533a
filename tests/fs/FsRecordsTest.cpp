#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "fs/FsRecords.h"
#include "fs/NameConverter.h"

namespace veska::fs {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(FsRecords, NameRecordCountsTheTerminatingZeroBigEndian) {
  const Bytes record = EncodeNameRecord("abcdefghij");
  const Bytes expected = {0x00, 0x0B, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 0x00};
  EXPECT_EQ(record, expected);

  // A length beyond one byte shows the byte order: 485 bytes and the zero make 0x01E6.
  const Bytes longer = EncodeNameRecord(std::string(485, 'x'));
  ASSERT_EQ(longer.size(), 2u + 486u);
  EXPECT_EQ(longer[0], 0x01);
  EXPECT_EQ(longer[1], 0xE6);
  EXPECT_EQ(longer.back(), 0x00);
}

TEST(FsRecords, FileRecordEndsWithTheSizeBigEndian) {
  const Bytes record = EncodeFileRecord("f", 4096);
  const Bytes expected = {0x00, 0x02, 'f', 0x00, 0x00, 0x00, 0x10, 0x00};
  EXPECT_EQ(record, expected);
  const Bytes large = EncodeFileRecord("", 0x01020304);
  EXPECT_EQ(Bytes(large.end() - 4, large.end()), (Bytes{0x01, 0x02, 0x03, 0x04}));
}

TEST(FsRecords, TimeRecordFieldsAreLittleEndianWithMonthFromOneAndFullYear) {
  std::tm t{};
  t.tm_sec = 58;
  t.tm_min = 59;
  t.tm_hour = 23;
  t.tm_mday = 31;
  t.tm_mon = 11;    // December
  t.tm_year = 109;  // 2009
  const auto record = EncodeTimeRecord(t);
  const std::array<std::uint8_t, 24> expected = {58, 0, 0, 0, 59, 0, 0, 0, 23,   0,    0, 0,
                                                 31, 0, 0, 0, 12, 0, 0, 0, 0xD9, 0x07, 0, 0};
  EXPECT_EQ(record, expected);
}

// The reports the phone is known to send are checked through the box the download shows; here,
// every bit of the error word counts.
TEST(FsRecords, FormatErrorReportIsCodeThenBigEndianError) {
  const std::array<std::uint8_t, 5> high = {0xFF, 0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(FormatErrorReport::Decode(high).functionCode, 0xFF);
  EXPECT_EQ(FormatErrorReport::Decode(high).errorCode, 0xDEADBEEFu);
}

TEST(NameConverter, Utf8PassesThroughAndBrokenSequencesAreRefused) {
  NameConverter utf8("UTF-8");
  ASSERT_TRUE(utf8.Valid());
  const std::string name = "/usr/M\xC3\xBCsik/\xE6\x97\xA5.txt";
  EXPECT_EQ(utf8.ToUtf8(name), name);
  EXPECT_EQ(utf8.ToUtf8(""), std::string());
  // A lone continuation byte and a truncated sequence have no UTF-8 form.
  EXPECT_FALSE(utf8.ToUtf8("a\x80z").has_value());
  EXPECT_FALSE(utf8.ToUtf8("abc\xE6\x97").has_value());
  // The converter recovers for the next name.
  EXPECT_EQ(utf8.ToUtf8("ok"), std::string("ok"));
}

TEST(NameConverter, SingleByteCharsetsAreConverted) {
  NameConverter latin1("ISO-8859-1");
  ASSERT_TRUE(latin1.Valid());
  EXPECT_EQ(latin1.ToUtf8("caf\xE9"), std::string("caf\xC3\xA9"));
  // Every byte of a Latin-1 name doubles at most.
  const std::string high(300, '\xFF');
  const auto converted = latin1.ToUtf8(high);
  ASSERT_TRUE(converted.has_value());
  EXPECT_EQ(converted->size(), 600u);

  NameConverter ascii("ANSI_X3.4-1968");
  ASSERT_TRUE(ascii.Valid());
  EXPECT_FALSE(ascii.ToUtf8("caf\xE9").has_value());

  NameConverter unknown("NO-SUCH-CHARSET-42");
  EXPECT_FALSE(unknown.Valid());
  EXPECT_FALSE(unknown.ToUtf8("a").has_value());
}

}  // namespace
}  // namespace veska::fs
