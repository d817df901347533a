// ModemManager and CDC-ACM detection, against made-up /proc and /sys trees.
#include "link/DeviceHints.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace veska::link {
namespace {

namespace fsys = std::filesystem;

class DeviceHintsTest : public ::testing::Test {
 protected:
  DeviceHintsTest() {
    root_ = fsys::temp_directory_path() / ("veska-hints-" + std::to_string(::getpid()));
    fsys::remove_all(root_);
    fsys::create_directories(root_);
  }
  ~DeviceHintsTest() override { fsys::remove_all(root_); }

  void Process(const std::string& pid, const std::string& command) {
    fsys::create_directories(root_ / "proc" / pid);
    std::ofstream(root_ / "proc" / pid / "comm") << command << "\n";
  }
  // A device node stand-in and its class entry with the given driver.
  std::string Device(const std::string& name, const std::string& driver) {
    std::ofstream(root_ / name) << "";
    const fsys::path device = root_ / "sys" / name / "device";
    fsys::create_directories(device);
    fsys::create_directories(root_ / "drivers" / driver);
    fsys::create_directory_symlink(root_ / "drivers" / driver, device / "driver");
    return (root_ / name).string();
  }

  fsys::path root_;
};

TEST_F(DeviceHintsTest, ModemManagerIsFoundByItsProcessName) {
  Process("1", "systemd");
  Process("812", "ModemManager-helper");
  fsys::create_directories(root_ / "proc" / "self");  // not a process number
  EXPECT_FALSE(ModemManagerRunning(root_ / "proc"));
  Process("813", "ModemManager");
  EXPECT_TRUE(ModemManagerRunning(root_ / "proc"));
  EXPECT_FALSE(ModemManagerRunning(root_ / "no-such-folder"));
}

TEST_F(DeviceHintsTest, OnlyCdcAcmDevicesAreFlaggedAndLinksAreFollowed) {
  const std::string acm = Device("ttyACM0", "cdc_acm");
  const std::string ftdi = Device("ttyUSB0", "ftdi_sio");
  fsys::create_symlink(acm, root_ / "by-id-phone");
  EXPECT_TRUE(IsUsbCdcAcm(acm, root_ / "sys"));
  EXPECT_TRUE(IsUsbCdcAcm((root_ / "by-id-phone").string(), root_ / "sys"));
  EXPECT_FALSE(IsUsbCdcAcm(ftdi, root_ / "sys"));
  EXPECT_FALSE(IsUsbCdcAcm((root_ / "ttyACM9").string(), root_ / "sys"));

  EXPECT_EQ(ModemManagerHint("COM33", true, false), "");
  EXPECT_EQ(ModemManagerHint("COM33", false, true), "");
  EXPECT_EQ(ModemManagerHint("COM33", true, true),
            "ModemManager is running and may probe COM33 (a USB CDC-ACM device) while the phone "
            "waits for its handshake: 'veska-cli udev-rule COM33' prints a rule that keeps it "
            "away");
}

}  // namespace
}  // namespace veska::link
