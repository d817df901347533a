#include <gtest/gtest.h>

#include "link/PortNames.h"

namespace veska::link {
namespace {

TEST(PortNamesTest, ComNamesParseInAnyCaseWithinTheSelectorsRange) {
  for (int n = 1; n <= kComPortCount; ++n) {
    EXPECT_EQ(kComNames[static_cast<std::size_t>(n - 1)], ComName(n));
    EXPECT_EQ(ParseComName(ComName(n)), n);
  }
  EXPECT_EQ(ParseComName("com7"), 7);  // settings files are edited by hand
  EXPECT_EQ(ParseComName("Com07"), 7);
  for (std::string_view other :
       {"COM0", "COM51", "COM", "COM1x", "COM123", "COMX", "LPT1", "/dev/ttyS0", "XCOM1", ""}) {
    EXPECT_EQ(ParseComName(other), 0) << other;
  }
  EXPECT_EQ(ComName(0), "COM0");  // the name START shows while no port is chosen
}

}  // namespace
}  // namespace veska::link
