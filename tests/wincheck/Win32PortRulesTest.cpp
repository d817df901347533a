#include "link/win32/Win32PortRules.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

namespace veska::link::win32 {
namespace {

using std::chrono::milliseconds;

TEST(Win32DevicePath, PlainNamesGoThroughTheDeviceNamespace) {
  const std::map<std::string, std::string> none;
  EXPECT_EQ(DevicePathForName("COM1", none), "\\\\.\\COM1");
  // Two-digit ports open only through the namespace; a bare "COM12" would not.
  EXPECT_EQ(DevicePathForName("COM12", none), "\\\\.\\COM12");
  EXPECT_EQ(DevicePathForName("\\\\.\\COM7", none), "\\\\.\\COM7");
}

TEST(Win32DevicePath, OverridesWinAndAreNormalised) {
  const std::map<std::string, std::string> overrides{
      {"COM3", "COM21"}, {"COM4", "\\\\.\\COM22"}, {"COM5", ""}, {"COM6", "\\\\?\\usb#vid"}};
  EXPECT_EQ(DevicePathForName("COM3", overrides), "\\\\.\\COM21");
  EXPECT_EQ(DevicePathForName("COM4", overrides), "\\\\.\\COM22");
  EXPECT_EQ(DevicePathForName("COM6", overrides), "\\\\?\\usb#vid");
  // An empty entry in the settings must not open a device called "\\.\".
  EXPECT_EQ(DevicePathForName("COM5", overrides), "\\\\.\\COM5");
  EXPECT_EQ(DevicePathForName("COM7", overrides), "\\\\.\\COM7");
  // A full device path is never looked up.
  EXPECT_EQ(DevicePathForName("\\\\.\\COM3", overrides), "\\\\.\\COM3");
}

TEST(Win32OpenHint, ExplainsOnlyErrorsAUserCanActOn) {
  EXPECT_EQ(OpenHintText(kErrorAccessDenied, "COM4", "\\\\.\\COM4"),
            "\nCOM4 is in use by another program\n");
  EXPECT_EQ(OpenHintText(kErrorFileNotFound, "COM4", "\\\\.\\COM21"),
            "\nCOM4 is not present (\\\\.\\COM21)\n");
  EXPECT_EQ(OpenHintText(0, "COM4", "\\\\.\\COM4"), "");
  EXPECT_EQ(OpenHintText(31, "COM4", "\\\\.\\COM4"), "");
}

TEST(Win32CommTimeouts, IntervalIsPassedOnAndZeroSwitchesItOff) {
  EXPECT_EQ(ReadIntervalMillis(milliseconds{100}), 100u);
  EXPECT_EQ(ReadIntervalMillis(milliseconds{0}), 0u);
  EXPECT_EQ(ReadIntervalMillis(milliseconds{-5}), 0u);
}

TEST(Win32CommTimeouts, TotalNeverBecomesTheNoTimeoutMarker) {
  EXPECT_EQ(ReadTotalMillis(milliseconds{1000}), 1000u);
  // All-zero read fields would make a read wait until the buffer is full.
  EXPECT_EQ(ReadTotalMillis(milliseconds{0}), 1u);
  EXPECT_EQ(ReadTotalMillis(milliseconds{-1}), 1u);
}

TEST(Win32CommTimeouts, HugeValuesStopShortOfMaxDword) {
  // MAXDWORD in the interval field turns reads into "return at once"; a truncated 64-bit count
  // would wrap to a short time-out.
  const milliseconds huge = std::chrono::hours{2000};
  EXPECT_EQ(ReadIntervalMillis(huge), kLongestCommTimeout);
  EXPECT_EQ(ReadTotalMillis(huge), kLongestCommTimeout);
  EXPECT_EQ(ReadTotalMillis(milliseconds{0x1'0000'0005}), kLongestCommTimeout);
}

TEST(Win32ReadEnd, ATimedOutReadIsAQuietLineNotAnError) {
  // Reads that reach their time-out may finish as failures with a time-out error: the boot-signal
  // wait and paced uploads depend on them counting as short transfers.
  EXPECT_EQ(ClassifyReadEnd(true, 0), ReadEnd::kTransfer);
  EXPECT_EQ(ClassifyReadEnd(false, kErrorTimeout), ReadEnd::kTransfer);
  EXPECT_EQ(ClassifyReadEnd(false, kErrorSemTimeout), ReadEnd::kTransfer);
  // A read that Close cancelled, or a device fault, still ends the transfer.
  EXPECT_EQ(ClassifyReadEnd(false, kErrorOperationAborted), ReadEnd::kCancelled);
  EXPECT_EQ(ClassifyReadEnd(false, 31), ReadEnd::kFailed);
  EXPECT_EQ(ClassifyReadEnd(false, 0), ReadEnd::kFailed);
}

TEST(Win32Rate, ARateTheDriverDidNotTakeIsNamed) {
  EXPECT_EQ(RateMismatchText("COM7", 921600, 921600), "");
  EXPECT_EQ(RateMismatchText("COM7", 812000, 38400),
            "\nCOM7 runs at 38400 bit/s where 812000 was set: the driver does not take that "
            "rate\n");
}

}  // namespace
}  // namespace veska::link::win32
