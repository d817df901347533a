#include "explorer/ExplorerNames.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace veska::explorer {
namespace {

TEST(ExplorerNamesTest, ConvertsBothWaysWithTheZeroCountedOnTheWayOut) {
  ExplorerNames names("ISO-8859-1");
  // "café" in Latin-1 and its UTF-8 form with the zero the requests carry.
  EXPECT_EQ(names.ToUtf8("caf\xE9"), std::string("caf\xC3\xA9", 5) + '\0');
  // Only the terminating zero goes: one inside is part of the name.
  EXPECT_EQ(names.FromUtf8(std::string("caf\xC3\xA9\0", 6)), "caf\xE9");
  EXPECT_EQ(names.FromUtf8(std::string("caf\xC3\xA9\0junk", 10)), std::string("caf\xE9\0junk", 9));
  // UTF-8 that has no Latin-1 form.
  EXPECT_FALSE(names.FromUtf8("\xE2\x82\xAC"));
}

TEST(ExplorerNamesTest, NamesBeyondTheLimitAreRefusedNotCut) {
  ExplorerNames names("UTF-8");
  EXPECT_TRUE(names.ToUtf8(std::string(509, 'a')));   // 510 bytes with the zero
  EXPECT_FALSE(names.ToUtf8(std::string(510, 'a')));  // 511 with the zero
  // 300 two-byte characters: 300 bytes in Latin-1, 601 in UTF-8 with the zero.
  ExplorerNames latin("ISO-8859-1");
  EXPECT_FALSE(latin.ToUtf8(std::string(300, '\xE9')));
  EXPECT_FALSE(names.FromUtf8(std::string(511, 'b')));
}

TEST(ExplorerNamesTest, ControlBytesAreShownEscapedAndPrintableNamesAsTheyAre) {
  const std::pair<std::string, std::string> cases[] = {
      {"long name.txt", "long name.txt"},
      {"caf\xC3\xA9 back\\slash", "caf\xC3\xA9 back\\slash"},
      {"\x1b[2J\x1b[31mred", "\\x1B[2J\\x1B[31mred"},
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {std::string("a\0hidden", 8), "a\\0hidden"},
      {"", "\"\""},
      {"del\x7F", "del\\x7F"},
      {"\xC2\x9B"
       "2J",
       "\\xC2\\x9B2J"},  // CSI in its UTF-8 form
      {"\xC2\xA0nbsp", "\xC2\xA0nbsp"},
  };
  for (const auto& [name, shown] : cases) EXPECT_EQ(ShownName(name), shown) << shown;
}

}  // namespace
}  // namespace veska::explorer
