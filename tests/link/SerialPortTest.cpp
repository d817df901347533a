#include "link/SerialPort.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"

namespace veska::link {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class RecordingDiagnostics final : public DiagnosticSink {
 public:
  void Diagnostic(std::string_view portName, std::string_view text) override {
    ports.emplace_back(portName);
    lines.emplace_back(text);
  }
  std::vector<std::string> ports;
  std::vector<std::string> lines;
};

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() {
    port.portName = pty.SlavePath();
    port.baudCode = BAUDCODE_115200;
    port.diagnostics = &diag;
  }

  PtyPair pty;
  LinkState state;
  SerialPort port{state};
  RecordingDiagnostics diag;
};

TEST_F(SerialPortTest, OpensAtEveryRateOfTheTableAndClosesHarmlesslyTwice) {
  EXPECT_EQ(port.Close(), PORT_OK);  // before any open
  for (std::uint8_t code :
       {BAUDCODE_115200, BAUDCODE_460800, BAUDCODE_921600, BAUDCODE_3000000, BAUDCODE_812000}) {
    port.baudCode = code;
    ASSERT_EQ(port.Open(), PORT_OK) << std::hex << int{code};
    EXPECT_TRUE(port.IsPortOpen());
    EXPECT_EQ(port.Close(), PORT_OK);
    EXPECT_FALSE(port.IsPortOpen());
    EXPECT_EQ(port.Close(), PORT_OK);
  }
}

// USB adapters hold the phone's answers for their latency timer: every open asks the driver for
// low latency, a refusal fails nothing, and a timer left slow is told of once, with its fix.
TEST_F(SerialPortTest, EveryOpenAsksForLowLatencyAndASlowAdapterIsToldOfOnce) {
  int asked = 0;
  state.latency.request = [&asked](int fd) {
    EXPECT_GE(fd, 0);
    ++asked;
    return EINVAL;  // as a driver without the request answers
  };
  // The adapter's timer where the kernel shows it, for the pseudo-terminal standing in.
  const std::filesystem::path sys =
      std::filesystem::path(::testing::TempDir()) / ("veska-sys-" + std::to_string(::getpid()));
  const std::filesystem::path timer =
      sys / std::filesystem::canonical(pty.SlavePath()).filename() / "device" / "latency_timer";
  std::filesystem::create_directories(timer.parent_path());
  state.latency.sysTty = sys;
  const auto told = [this] {
    return std::count_if(diag.lines.begin(), diag.lines.end(), [](const std::string& line) {
      return line.find("latency timer") != std::string::npos;
    });
  };

  std::ofstream(timer) << "16\n";
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(port.Open(), PORT_OK);
    EXPECT_EQ(port.Close(), PORT_OK);
  }
  EXPECT_EQ(asked, 2);
  ASSERT_EQ(told(), 1);
  EXPECT_NE(diag.lines.back().find("for up to 16 ms"), std::string::npos) << diag.lines.back();
  EXPECT_NE(diag.lines.back().find("'veska-cli udev-rule " + pty.SlavePath() + "'"),
            std::string::npos);

  // A timer at 1 ms (what low latency gives), or no timer at all: nothing to say.
  state.latency.told.clear();
  for (const char* value : {"1\n", ""}) {
    std::ofstream(timer) << value;
    ASSERT_EQ(port.Open(), PORT_OK);
    EXPECT_EQ(port.Close(), PORT_OK);
  }
  EXPECT_EQ(told(), 1);
  std::filesystem::remove_all(sys);
}

TEST_F(SerialPortTest, CodesWithoutARateFailTheOpenAndReleaseTheDevice) {
  for (std::uint8_t code : {0x89, 0x8C, 0x00}) {
    port.baudCode = code;
    EXPECT_EQ(port.Open(), PORT_BAD_BAUD);
    EXPECT_FALSE(port.IsPortOpen());
    EXPECT_FALSE(port.HoldsDevice());
  }
}

TEST_F(SerialPortTest, ADeviceThatIsNoSerialLineFailsTheSetUp) {
  port.portName = "/dev/null";
  EXPECT_EQ(port.Open(), PORT_SETUP_FAILED);
  EXPECT_FALSE(port.IsPortOpen());
  EXPECT_FALSE(port.HoldsDevice());
  ASSERT_EQ(diag.lines.size(), 2u);
  EXPECT_EQ(diag.lines[0], "\nGet Timeouts error!!!");
  EXPECT_EQ(diag.lines[1], "\n/dev/null is not a serial device\n");
  // A regular file, given by mistake, is told apart the same way.
  diag.lines.clear();
  const std::string file = ::testing::TempDir() + "veska-not-a-port";
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    if (f != nullptr) std::fclose(f);
  }
  port.portName = file;
  EXPECT_EQ(port.Open(), PORT_SETUP_FAILED);
  ASSERT_EQ(diag.lines.size(), 2u);
  EXPECT_EQ(diag.lines[1], "\n" + file + " is not a serial device\n");
  std::remove(file.c_str());
}

TEST_F(SerialPortTest, MissingDeviceFailsAtOnceOrAfterEveryRetry) {
  port.portName = "/dev/veska-no-such-port";
  EXPECT_EQ(port.Open(), PORT_IO_ERROR);

  diag.lines.clear();
  port.openRetryDelay = 0ms;
  EXPECT_EQ(port.OpenRetrying(), PORT_IO_ERROR);
  ASSERT_GE(diag.lines.size(), 101u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(diag.lines[i], "-");
  EXPECT_EQ(diag.lines[100], "\n/dev/veska-no-such-port can not be opened\n");
  EXPECT_FALSE(port.IsPortOpen());
  // Each diagnostic names the port it speaks of, for a host that drives several.
  for (const std::string& name : diag.ports) EXPECT_EQ(name, "/dev/veska-no-such-port");
}

TEST_F(SerialPortTest, OnlyTheRecordThatOpenedTheDeviceClearsTheOpenFlag) {
  ASSERT_EQ(port.Open(), PORT_OK);
  {
    // A copy kept for a later operation: closing it, failing to open it (the device is taken)
    // and dropping it leave the open record's flag alone.
    const std::unique_ptr<SerialPort> copy = port.CopyRecord();
    EXPECT_EQ(copy->Close(), PORT_OK);
    EXPECT_TRUE(port.IsPortOpen());
    EXPECT_EQ(copy->Open(), PORT_IO_ERROR);
    EXPECT_TRUE(port.IsPortOpen());
  }
  EXPECT_TRUE(port.IsPortOpen());
  EXPECT_TRUE(port.HoldsDevice());

  // Two records open on two devices: the flag stays up until the last one closes.
  PtyPair other;
  SerialPort second(state);
  second.portName = other.SlavePath();
  second.baudCode = BAUDCODE_115200;
  ASSERT_EQ(second.Open(), PORT_OK);
  EXPECT_EQ(port.Close(), PORT_OK);
  EXPECT_TRUE(second.IsPortOpen());
  EXPECT_EQ(second.Close(), PORT_OK);
  EXPECT_FALSE(port.IsPortOpen());

  // Reopening a record that still holds its device counts it once.
  ASSERT_EQ(port.Open(), PORT_OK);
  ASSERT_EQ(port.Open(), PORT_OK);
  EXPECT_EQ(port.Close(), PORT_OK);
  EXPECT_FALSE(port.IsPortOpen());
}

// Whether the terminal's exclusive mode is set on the pty slave, as another program would meet
// it: unprivileged, its open fails; with privileges, the open succeeds and the flag is read.
bool Exclusive(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;
  int exclusive = 0;
  const bool known = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
  ::close(fd);
  return known && exclusive != 0;
}

TEST_F(SerialPortTest, AnOpenPortIsTheTerminalsExclusiveUserAndABusyOneNamesItsHolder) {
  ASSERT_EQ(port.Open(), PORT_OK);
  EXPECT_TRUE(Exclusive(pty.SlavePath()));
  EXPECT_EQ(port.Close(), PORT_OK);
  EXPECT_FALSE(Exclusive(pty.SlavePath()));

  // Another process holds the device's lock until told to let go.
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(release[1]);  // so that the parent's close is an end of file here
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 1 : 0;
    [[maybe_unused]] const auto w = ::write(ready[1], &ok, 1);
    char byte = 0;
    [[maybe_unused]] const auto r = ::read(release[0], &byte, 1);
    std::_Exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);

  EXPECT_EQ(port.Open(), PORT_IO_ERROR);
  ::close(release[1]);
  ::close(ready[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_FALSE(port.IsPortOpen());
  ASSERT_FALSE(diag.lines.empty());
  EXPECT_EQ(diag.lines.front(), "\n" + pty.SlavePath() + " is in use by another program (" + comm +
                                    ", pid " + std::to_string(child) + ").\n");
}

TEST_F(SerialPortTest, OpenRetryingWaitsForADeviceThatAppearsLate) {
  const auto link =
      std::filesystem::temp_directory_path() / ("veska-late-" + std::to_string(::getpid()));
  std::filesystem::remove(link);
  port.portName = link.string();
  port.openRetryDelay = 10ms;
  std::jthread plug([&] {
    std::this_thread::sleep_for(100ms);
    std::filesystem::create_symlink(pty.SlavePath(), link);
  });
  EXPECT_EQ(port.OpenRetrying(), PORT_OK);
  plug.join();
  EXPECT_GT(diag.lines.size(), 0u);
  EXPECT_EQ(port.Close(), PORT_OK);
  std::filesystem::remove(link);
}

TEST_F(SerialPortTest, ZeroLengthTransfersTouchNoDevice) {
  // The record is closed: any device access would fail.
  std::vector<std::uint8_t> none;
  EXPECT_EQ(port.ReadFully(none, 0), PORT_OK);
  EXPECT_EQ(port.WriteFully(none, 0), PORT_OK);
}

TEST_F(SerialPortTest, PiecesAreAssembledInOrderAndEachPieceRestartsTheCount) {
  ASSERT_EQ(port.Open(), PORT_OK);
  // Factor 1 allows 200 empty reads of 2 ms: about 0.4 s of silence in a row. The three pieces
  // take 0.75 s in all, so the read only succeeds if every piece restarts the allowance.
  port.readTotalTimeout = 2ms;
  port.readIntervalTimeout = 1ms;
  std::jthread phone([&] {
    for (std::uint8_t first : {0x10, 0x20, 0x30}) {
      std::this_thread::sleep_for(250ms);
      pty.Send({first, static_cast<std::uint8_t>(first + 1)});
    }
  });
  std::vector<std::uint8_t> got(6);
  EXPECT_EQ(port.ReadFully(got, 1), PORT_OK);
  EXPECT_EQ(got, (std::vector<std::uint8_t>{0x10, 0x11, 0x20, 0x21, 0x30, 0x31}));
}

TEST_F(SerialPortTest, FactorZeroTimesOutOnTheFirstEmptyTransfer) {
  ASSERT_EQ(port.Open(), PORT_OK);
  port.readTotalTimeout = 20ms;
  std::uint8_t byte = 0;
  const auto t0 = Clock::now();
  EXPECT_EQ(port.ReadFully(std::span(&byte, 1), 0), PORT_TIMEOUT);
  EXPECT_LT(Clock::now() - t0, 500ms);

  // Nobody reads the master: once the line's buffers are full the next write moves nothing.
  port.writeTimeout = 20ms;
  port.emptyWritePause = 0ms;
  std::vector<std::uint8_t> big(1 << 20, 0x55);
  EXPECT_EQ(port.WriteFully(big, 0), PORT_TIMEOUT);
}

// A phone that stops reading: without a bound by time the write would try 8 x 600000 times.
// One that reads slowly keeps the write going for longer than the bound, as each piece that
// moves restarts it.
TEST_F(SerialPortTest, WritesThatMoveNothingEndByTimeWhileSlowProgressGoesOn) {
  ASSERT_EQ(port.Open(), PORT_OK);
  port.writeTimeout = 10ms;
  port.emptyWritePause = 0ms;
  port.writeStallTimeout = 150ms;
  std::vector<std::uint8_t> block(512 * 1024, 0x3C);

  std::size_t drained = 0;
  std::jthread reader([&] {
    while (drained < block.size()) {
      const auto got = pty.Receive(16 * 1024, 2000ms);
      if (got.empty()) return;
      drained += got.size();
      std::this_thread::sleep_for(20ms);  // a slow phone, well inside the bound
    }
  });
  auto t0 = Clock::now();
  EXPECT_EQ(port.WriteFully(block, 8), PORT_OK);
  EXPECT_GT(Clock::now() - t0, 150ms);
  reader.join();
  EXPECT_EQ(drained, block.size());

  // Now nobody reads: once the line's buffers are full every write moves nothing.
  std::atomic<bool> done = false;
  PortStatus status = PORT_OK;
  t0 = Clock::now();
  std::jthread writer([&] {
    status = port.WriteFully(block, 8);
    done = true;
  });
  const auto deadline = Clock::now() + 5s;
  while (!done && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  if (!done) {
    EXPECT_EQ(port.Close(), PORT_OK);  // unbounded: end it so that the test can report
  }
  writer.join();
  EXPECT_EQ(status, PORT_TIMEOUT);
  EXPECT_LT(Clock::now() - t0, 2s);
}

// Silence after the connection is bounded by the session's reply time-out, measured from the
// last byte; the handshake's waits keep their factors only.
TEST_F(SerialPortTest, ASilentPhoneEndsAReadAtTheReplyTimeOutUnlessTheWaitIsTheHandshakes) {
  ASSERT_EQ(port.Open(), PORT_OK);
  port.readTotalTimeout = 5ms;
  port.readIntervalTimeout = 1ms;
  state.replyTimeout = 100ms;
  std::jthread phone([&] {
    for (std::uint8_t i = 0; i < 6; ++i) {
      std::this_thread::sleep_for(50ms);
      pty.Send({i});
    }
  });
  std::vector<std::uint8_t> got(6);
  auto t0 = Clock::now();
  EXPECT_EQ(port.ReadFully(got, 8), PORT_OK);  // 300 ms in all, never 100 ms silent
  EXPECT_GT(Clock::now() - t0, 200ms);
  phone.join();

  std::uint8_t byte = 0;
  t0 = Clock::now();
  EXPECT_EQ(port.ReadFully(std::span(&byte, 1), 8), PORT_NO_REPLY);  // the factor: 8 s
  EXPECT_LT(Clock::now() - t0, 2s);

  t0 = Clock::now();
  EXPECT_EQ(port.ReadFully(std::span(&byte, 1), 1, SerialPort::Silence::FactorOnly), PORT_TIMEOUT);
  EXPECT_GT(Clock::now() - t0, 500ms);  // 200 empty reads of 5 ms

  state.replyTimeout = 0ms;  // no bound: the factor decides
  EXPECT_EQ(port.ReadFully(std::span(&byte, 1), 1), PORT_TIMEOUT);

  state.replyTimeout = 100ms;
  EXPECT_EQ(NoReplyText(state, "the next block request"),
            "\r\nNo answer from the phone for 100 ms (waiting for the next block request)\r\n");
  state.replyTimeout = DEFAULT_REPLY_TIMEOUT;
  EXPECT_EQ(NoReplyText(state, "the flash identity"),
            "\r\nNo answer from the phone for 120 s (waiting for the flash identity)\r\n");
}

TEST_F(SerialPortTest, AnEmptyReadLastsTheTotalTimeOutAndFlowingBytesEndAtAGap) {
  ASSERT_EQ(port.Open(), PORT_OK);
  port.readTotalTimeout = 300ms;
  port.readIntervalTimeout = 30ms;
  std::vector<std::uint8_t> buf(16);
  std::size_t got = 99;
  auto t0 = Clock::now();
  ASSERT_EQ(port.ReadSome(buf, got), PORT_OK);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(Clock::now() - t0, 280ms);

  pty.Send({1, 2, 3});
  t0 = Clock::now();
  ASSERT_EQ(port.ReadSome(buf, got), PORT_OK);
  EXPECT_EQ(got, 3u);
  EXPECT_LT(Clock::now() - t0, 200ms);  // the gap ended it, not the total time-out
}

TEST_F(SerialPortTest, TheLastBytesWrittenBeforeCloseReachThePeerThroughTheNextOpen) {
  std::vector<std::uint8_t> block(3000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(port.Open(), PORT_OK);
    ASSERT_EQ(port.WriteFully(block, 8), PORT_OK);
    ASSERT_EQ(port.Close(), PORT_OK);
    // The next operation opens at once, before the phone has read: its purge must not reach
    // the bytes still on their way.
    ASSERT_EQ(port.Open(), PORT_OK);
    ASSERT_EQ(port.Close(), PORT_OK);
    EXPECT_EQ(pty.Receive(block.size()), block) << "round " << round;
  }
}

TEST_F(SerialPortTest, CloseFromAnotherThreadEndsABlockedRead) {
  ASSERT_EQ(port.Open(), PORT_OK);
  PortStatus status = PORT_OK;
  std::jthread worker([&] {
    std::array<std::uint8_t, 2> bytes{};
    status = port.ReadFully(bytes, 8);  // the second byte would be awaited for half an hour
  });
  // Once the worker has taken the first byte it is inside the read, waiting for the second.
  pty.Send({0x42});
  const auto deadline = Clock::now() + 10s;
  while (pty.UnreadBySlave() != 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(pty.UnreadBySlave(), 0u);  // the Close below must come even if not
  const auto t0 = Clock::now();
  EXPECT_EQ(port.Close(), PORT_OK);
  worker.join();
  EXPECT_LT(Clock::now() - t0, 500ms);
  EXPECT_EQ(status, PORT_IO_ERROR);
  EXPECT_FALSE(port.IsPortOpen());
  // Reads on the released record end at once instead of counting empty reads.
  std::uint8_t byte = 0;
  EXPECT_EQ(port.ReadFully(std::span(&byte, 1), 8), PORT_IO_ERROR);
}

TEST(DevicePathFor, MapsComNamesToLinuxDevicesAndHonoursOverrides) {
  LinkState state;
  EXPECT_EQ(DevicePathFor("COM1", state), "/dev/ttyS0");
  EXPECT_EQ(DevicePathFor("COM16", state), "/dev/ttyS15");
  EXPECT_EQ(DevicePathFor("COM17", state), "/dev/ttyUSB0");
  EXPECT_EQ(DevicePathFor("COM33", state), "/dev/ttyACM0");
  EXPECT_EQ(DevicePathFor("COM48", state), "/dev/ttyACM15");
  EXPECT_EQ(DevicePathFor("COM50", state), "/dev/ttyAMA1");
  EXPECT_EQ(DevicePathFor("/dev/pts/7", state), "/dev/pts/7");
  state.portPaths["COM3"] = "/tmp/vphone";
  EXPECT_EQ(DevicePathFor("COM3", state), "/tmp/vphone");
}

}  // namespace
}  // namespace veska::link
