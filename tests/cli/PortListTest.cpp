#include "cli/PortList.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/ProfileFile.h"
#include "cli/SlotSteps.h"
#include "station/StepTable.h"
#include "link/PtyPair.h"
#include "link/SerialPort.h"

namespace veska::cli {
namespace {

using namespace veska::station;

// The COMn a device stands for follows the same mapping the ports use when they open: the
// settings' entries first (through a symlink too), then the built-in ranges.
TEST(PortListTest, EachDeviceIsNamedByTheComNameThatOpensIt) {
  PtyPair pty;
  const auto link =
      std::filesystem::temp_directory_path() / ("veska-ports-" + std::to_string(::getpid()));
  std::filesystem::create_symlink(pty.SlavePath(), link);
  link::LinkState state;
  state.portPaths["COM5"] = link.string();
  EXPECT_EQ(ComNameFor(pty.SlavePath(), state), "COM5");
  EXPECT_EQ(ComNameFor("/dev/ttyUSB0", state), "COM17");
  EXPECT_EQ(ComNameFor("/dev/ttyACM2", state), "COM35");
  EXPECT_EQ(ComNameFor("/dev/ttyXYZ0", state), "");
  // A mapped device the system does not list is listed too, marked, with its state.
  state.portPaths["COM9"] = "/dev/veska-no-such-device";
  const std::vector<PortEntry> ports = ListPorts(state);
  const auto entry = [&](const std::string& name) {
    const auto it = std::find_if(ports.begin(), ports.end(),
                                 [&](const PortEntry& p) { return p.comName == name; });
    return it != ports.end() ? *it : PortEntry{};
  };
  EXPECT_TRUE(entry("COM5").mapped);
  EXPECT_EQ(entry("COM5").problem, "");
  EXPECT_TRUE(entry("COM9").mapped);
  EXPECT_NE(entry("COM9").problem, "");
  EXPECT_NE(FormatPorts({entry("COM5")}).find("\tmapped in the settings file\tcan be opened\n"),
            std::string::npos)
      << FormatPorts({entry("COM5")});
  // A USB adapter's latency timer is shown, for scripts too.
  PortEntry ftdi;
  ftdi.device = "/dev/ttyUSB0";
  ftdi.comName = "COM17";
  ftdi.latencyTimerMs = 16;
  ftdi.usbLocation = "1-1.3";
  EXPECT_EQ(FormatPorts({ftdi}),
            "COM17\t/dev/ttyUSB0\tusb:1-1.3\tlatency timer 16 ms\tcan be opened\n");
  EXPECT_NE(PortsJson({ftdi}).find("\"usb_location\":\"usb:1-1.3\""), std::string::npos);
  EXPECT_NE(PortsJson({ftdi}).find("\"latency_timer_ms\":16"), std::string::npos);
  EXPECT_NE(PortsJson({entry("COM5")}).find("\"latency_timer_ms\":null"), std::string::npos);
  EXPECT_NE(PortsJson({entry("COM5")}).find("\"usb_location\":null"), std::string::npos);
  std::filesystem::remove(link);
}

// Whether a device can be opened is told without opening it: missing, or held by another
// program, which is named.
TEST(PortListTest, ADeviceHeldByAnotherProgramIsSaidToBeInUse) {
  PtyPair pty;
  EXPECT_EQ(link::DeviceProblem(pty.SlavePath()), "");
  EXPECT_EQ(link::DeviceProblem("/dev/veska-no-such-device"), "does not exist");

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    [[maybe_unused]] const ssize_t w = ::write(ready[1], "x", 1);
    ::pause();
    ::close(fd);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const std::string problem = link::DeviceProblem(pty.SlavePath());
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_TRUE(problem.starts_with("in use by another program (")) << problem;
  EXPECT_NE(problem.find("pid " + std::to_string(child)), std::string::npos) << problem;
}

// What `slots learn` found becomes the [Bench] section's lines, on standard output and, asked
// to, in the settings file beside what the file held already.
TEST(SlotsLearn, LearntPlacesBecomeTheBenchSectionOfTheSettings) {
  const std::vector<std::string> places = {"usb:1-1.3", "usb:1-1.4.2"};
  EXPECT_EQ(SlotLines(places), "Slot1=usb:1-1.3\nSlot2=usb:1-1.4.2\n");
  const StepPlan plan =
      PlanSteps(std::vector<std::string>{"slots", "learn", "--write", "--count", "2"});
  ASSERT_EQ(plan.error, "");
  ASSERT_EQ(plan.steps.size(), 1u);
  const auto* learn = std::get_if<steps::LearnSlots>(&plan.steps[0].action);
  ASSERT_NE(learn, nullptr);
  EXPECT_EQ(learn->count, 2);
  EXPECT_TRUE(learn->write);

  const auto file =
      std::filesystem::temp_directory_path() / ("veska-slots-" + std::to_string(::getpid()));
  std::ofstream(file) << "[Setting]\nUsbPort=COM33\n[Bench]\nSlot2=COM5\nName=line 4\n";
  ASSERT_TRUE(WriteSlots(file, places, stderr));
  const app::ProfileFile written(file, app::SettingsAccess::ReadOnly);
  EXPECT_EQ(written.GetString("Setting", "UsbPort", ""), "COM33");
  EXPECT_EQ(written.GetString("Bench", "Slot1", ""), "usb:1-1.3");
  EXPECT_EQ(written.GetString("Bench", "Slot2", ""), "usb:1-1.4.2");
  EXPECT_EQ(written.GetString("Bench", "Name", ""), "line 4");
  // A file that cannot be written (its folder is a file) is said so.
  EXPECT_FALSE(WriteSlots(file / "veska.ini", places, stderr));
  std::filesystem::remove(file);
  std::filesystem::remove(file.string() + ".lock");
}

TEST(UdevRule, NamesTheDeviceKeepsModemManagerAwayAndGrantsTheSeat) {
  // The device's own strings may hold anything; the comment stays one line.
  const UsbIdentity usb{0x1A86, 0x7523, "Maker\nInc. USB Serial", false, ""};
  EXPECT_EQ(UdevRule(usb, "COM33", "/dev/ttyACM0"),
            "# Veska Downloader: the phone on COM33 (/dev/ttyACM0), USB 1a86:7523 (Maker Inc. USB "
            "Serial). ModemManager leaves it alone; the logged-in user may open it.\n"
            "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
            "ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n");
  // An adapter with a latency timer gets it set to 1 ms too.
  const std::string ftdi = UdevRule({0x0403, 0x6001, "", true, ""}, "/dev/ttyUSB1", "/dev/ttyUSB1");
  EXPECT_TRUE(ftdi.starts_with("# Veska Downloader: the phone on /dev/ttyUSB1, USB 0403:6001. "));
  EXPECT_TRUE(
      ftdi.ends_with("ACTION==\"add\", SUBSYSTEM==\"usb-serial\", ATTRS{idVendor}==\"0403\", "
                     "ATTRS{idProduct}==\"6001\", ATTR{latency_timer}=\"1\"\n"))
      << ftdi;
}

}  // namespace
}  // namespace veska::cli
