#include "link/UsbLocation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace veska::link {
namespace {

namespace fs = std::filesystem;

TEST(UsbLocationTest, EachSpellingReadsToOneCanonicalText) {
  const struct {
    const char* text;
    const char* canonical;
    const char* port;
  } cases[] = {
      {"1-1.3", "1-1.3", "1-1.3"},
      {"1-1.3.2", "1-1.3.2", "1-1.3.2"},  // a hub behind a hub
      {"3-2", "3-2", "3-2"},              // a root port
      {"1-01.3:1.0", "1-1.3:1.0", "1-1.3"},
      {"pci-0000:00:14.0-usb-0:1.3:1.0", "pci-0000:00:14.0-usb-0:1.3:1.0",
       "pci-0000:00:14.0-usb-0:1.3"},
      {"pci-0000:00:1D.7-usbv2-0:4", "pci-0000:00:1d.7-usb-0:4", "pci-0000:00:1d.7-usb-0:4"},
      {"platform-3f980000.usb-usb-0:1.3:1.0", "platform-3f980000.usb-usb-0:1.3:1.0",
       "platform-3f980000.usb-usb-0:1.3"},
      {"platform-xhci-hcd.0.auto-usb-0:1.3", "platform-xhci-hcd.0.auto-usb-0:1.3",
       "platform-xhci-hcd.0.auto-usb-0:1.3"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)",
       "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)",
       "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)"},
      {"pciroot(0)#pci(1400)#usbroot(0)#usb(1)#usb(3)#usbmi(2)",
       "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)#USBMI(2)",
       "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)"},
  };
  for (const auto& c : cases) {
    const std::optional<UsbLocation> location = ParseUsbLocation(c.text);
    ASSERT_TRUE(location) << c.text;
    EXPECT_EQ(location->Text(), c.canonical) << c.text;
    EXPECT_EQ(location->PortText(), c.port) << c.text;
    // The canonical text reads back to itself.
    EXPECT_EQ(ParseUsbLocation(location->Text())->Text(), c.canonical) << c.text;
  }
}

TEST(UsbLocationTest, JunkIsRefused) {
  for (const char* text : {"",
                           "1",
                           "1-",
                           "-1.3",
                           "0-1",
                           "1-0",
                           "1-1..3",
                           "1-1.3.",
                           "1-256",
                           "1-1.3:1",
                           "1-1.3:0.0",
                           "1-1.3:1.0:1.0",
                           "x-1.3",
                           "1-1.3 ",
                           "1-1.2.3.4.5.6.7.8",
                           "usb1",
                           "1-1.3;rm",
                           "pci-0000:00:14.0",
                           "pci--usb-0:1.3",
                           "pci-0000:00:14.0-usb-0:",
                           "pci-00 00-usb-0:1",
                           "acpi-x-usb-0:1.3",
                           "PCIROOT(0)#PCI(1400)#USBROOT(0)",
                           "USBROOT(0)#USB(1)",
                           "PCIROOT(0)#USBROOT(0)#USB(0)",
                           "PCIROOT(0)#USBROOT(0)#USB(1)#",
                           "PCI ROOT(0)#USB(1)",
                           "PCIROOT(0)#USBROOT(0)#USBMI(0)",
                           "PCIROOT(0)#USBROOT(0)#USB(1)#USBMI(0)#USB(2)",
                           "/dev/ttyACM0",
                           "COM5"}) {
    EXPECT_FALSE(ParseUsbLocation(text)) << text;
  }
  EXPECT_EQ(UsbPlaceOf("USB:1-1.3"), "1-1.3");
  EXPECT_FALSE(UsbPlaceOf("/dev/ttyUSB0"));
  EXPECT_FALSE(UsbPlaceOf("COM5"));
}

TEST(UsbLocationTest, PortsMatchByChainAndHostWithTheInterfaceOptional) {
  const auto same = [](const char* a, const char* b) {
    return SameUsbPort(*ParseUsbLocation(a), *ParseUsbLocation(b), "/nonexistent");
  };
  EXPECT_TRUE(same("1-1.3", "1-1.3:1.0"));
  EXPECT_TRUE(same("1-1.3:1.2", "1-1.3:1.2"));
  EXPECT_FALSE(same("1-1.3:1.0", "1-1.3:1.2"));
  EXPECT_FALSE(same("1-1.3", "1-1.31"));
  EXPECT_FALSE(same("1-1.3", "1-1.3.1"));
  EXPECT_FALSE(same("1-1.3", "2-1.3"));
  EXPECT_TRUE(same("pci-0000:00:14.0-usb-0:1.3", "pci-0000:00:14.0-usb-0:1.3:1.0"));
  EXPECT_FALSE(same("pci-0000:00:14.0-usb-0:1.3", "pci-0000:00:1d.0-usb-0:1.3"));
  EXPECT_TRUE(same("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)",
                   "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)#USBMI(0)"));
  EXPECT_FALSE(same("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)", "1-1.3"));
  // Without a device tree a bus number cannot be told to be a controller.
  EXPECT_FALSE(same("1-1.3", "pci-0000:00:14.0-usb-0:1.3"));
}

// A device tree as the kernel lays it out, in a folder of its own: two buses on one PCI
// controller, a CDC-ACM phone behind a hub behind a hub, an FTDI-like adapter with its
// usb-serial port, a built-in UART and a virtual console.
class SysfsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("veska-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    const fs::path pci = root_ / "devices/pci0000:00/0000:00:14.0";
    fs::create_directories(root_ / "bus/pci");
    fs::create_directories(pci);
    fs::create_directory_symlink("../../../bus/pci", pci / "subsystem");
    Tty("ttyACM0", "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.3/1-1.3.2/1-1.3.2:1.2/tty");
    Tty("ttyUSB0", "devices/pci0000:00/0000:00:14.0/usb2/2-4/2-4:1.0/ttyUSB0/tty");
    Tty("ttyS0", "devices/platform/serial8250/tty");
    fs::create_directories(root_ / "devices/virtual/tty/tty1");
    fs::create_directory_symlink("../../devices/virtual/tty/tty1", root_ / "class/tty/tty1");
    fs::create_directories(root_ / "bus/usb/devices");
    for (const char* bus : {"usb1", "usb2"}) {
      fs::create_directories(pci / bus);
      fs::create_directory_symlink(fs::path("../../../devices/pci0000:00/0000:00:14.0") / bus,
                                   root_ / "bus/usb/devices" / bus);
    }
  }
  void TearDown() override { fs::remove_all(root_); }

  // /sys/class/tty/NAME -> its node under `parent`, whose "device" link leads to the folder
  // above `parent` (the USB interface, or a usb-serial port).
  void Tty(const std::string& name, const std::string& parent) {
    const fs::path node = root_ / parent / name;
    fs::create_directories(node);
    fs::create_directories(root_ / "class/tty");
    fs::create_directory_symlink(fs::path("../..") / parent / name, root_ / "class/tty" / name);
    fs::create_directory_symlink("../..", node / "device");
  }

  std::string Sys() const { return root_.string(); }
  fs::path root_;
};

TEST_F(SysfsTree, DevicesAreFoundAtTheirPortsAndNowhereElse) {
  const std::optional<UsbLocation> phone = UsbLocationOf("/dev/ttyACM0", Sys());
  ASSERT_TRUE(phone);
  EXPECT_EQ(phone->Text(), "1-1.3.2:1.2");
  EXPECT_EQ(UsbLocationOf("/dev/ttyUSB0", Sys())->Text(), "2-4:1.0");
  EXPECT_FALSE(UsbLocationOf("/dev/ttyS0", Sys()));    // a built-in UART
  EXPECT_FALSE(UsbLocationOf("/dev/pts/3", Sys()));    // a pseudo-terminal
  EXPECT_FALSE(UsbLocationOf("/dev/ttyACM9", Sys()));  // not there

  const auto at = [this](const char* text) {
    return DeviceAtUsbLocation(*ParseUsbLocation(text), Sys());
  };
  EXPECT_EQ(at("1-1.3.2"), "/dev/ttyACM0");
  EXPECT_EQ(at("pci-0000:00:14.0-usb-0:1.3.2:1.2"), "/dev/ttyACM0");
  EXPECT_EQ(at("pci-0000:00:14.0-usb-0:4"), "/dev/ttyUSB0");
  EXPECT_EQ(at("1-1.3"), "");  // the hub, not the phone behind it
  EXPECT_EQ(at("1-1.3.2:1.0"), "");
  EXPECT_EQ(at("1-4"), "");  // port 4 of the other bus
  EXPECT_EQ(at("pci-0000:00:1d.0-usb-0:4"), "");
  EXPECT_EQ(UsbControllerOfBus("2", Sys()), "pci-0000:00:14.0");

  const std::vector<SerialDevice> present = PresentSerialDevices(Sys());
  ASSERT_EQ(present.size(), 3u);  // the virtual console is none
  EXPECT_EQ(present[0].device, "/dev/ttyACM0");
  EXPECT_EQ(present[1].device, "/dev/ttyS0");
  EXPECT_FALSE(present[1].location);
}

}  // namespace
}  // namespace veska::link
