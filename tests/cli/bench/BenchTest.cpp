// Bench runs: several phones at once, each port its own session, log and record.
#include "cli/bench/Bench.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Captured.h"
#include "cli/Interrupt.h"
#include "cli/Records.h"
#include "cli/bench/Board.h"
#include "cli/bench/Report.h"
#include "records/Stores.h"
#include "sim/PhoneOptions.h"
#include "sim/VirtualPhone.h"
#include "station/PortClaim.h"
#include "station/PortFiles.h"

namespace veska::cli {
namespace {

using namespace veska::station;

namespace fsys = std::filesystem;
using namespace std::chrono_literals;

std::string ReadFile(const fsys::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class BenchTest : public ::testing::Test {
 protected:
  BenchTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = fsys::temp_directory_path() /
              ("veska-bench-" + std::to_string(::getpid()) + "-" + info->name());
    fsys::remove_all(folder_);
    fsys::create_directories(folder_ / "release" / "APPS");
    fsys::create_directories(folder_ / "release" / "COMMS");
  }
  ~BenchTest() override {
    for (auto& phone : phones_) phone->Stop();
    fsys::remove_all(folder_);
  }

  // A release whose APPS image has `appsSize` bytes; the other images are small.
  void WriteRelease(std::size_t appsSize = 70000) {
    const std::pair<std::string, std::size_t> files[] = {
        {"APPS/FUSE_APPS.img", appsSize}, {"COMMS/COMMS.img", 40000},
        {"COMMS/sysparm_ind.img", 65536}, {"COMMS/sysparm_dep.img", 1000},
        {"COMMS/patch_dsp.img", 65535},   {"COMMS/spinner_v2.bin", 3000},
    };
    for (const auto& [name, size] : files) {
      std::string data(size, '\0');
      for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + size);
      std::ofstream(folder_ / "release" / name, std::ios::binary)
          .write(data.data(), static_cast<std::streamsize>(size));
    }
  }

  // Starts a virtual phone; its port is its link path (`name` in the test's folder).
  sim::VirtualPhone& StartPhone(sim::PhoneOptions options = {}, std::string name = {}) {
    if (name.empty()) name = "phone" + std::to_string(phones_.size() + 1);
    options.linkPath = (folder_ / name).string();
    fsys::create_directories(fsys::path(options.linkPath).parent_path());
    phones_.push_back(std::make_unique<sim::VirtualPhone>(options));
    EXPECT_EQ(phones_.back()->Start(), 0);
    ports_.push_back(options.linkPath);
    return *phones_.back();
  }

  int Bench(std::vector<std::string> words, BenchOptions options = {}) {
    CliArguments arguments;
    std::vector<std::string> all = {"veska-cli",
                                    "--settings",
                                    (folder_ / "settings.ini").string(),
                                    "--log-dir",
                                    (folder_ / "logs").string(),
                                    "--report",
                                    Report().string(),
                                    "--yes",
                                    "--release",
                                    (folder_ / "release").string()};
    for (const std::string& port : ports_) all.insert(all.end(), {"--port", port});
    all.insert(all.end(), words.begin(), words.end());
    std::vector<const char*> argv;
    for (const std::string& word : all) argv.push_back(word.c_str());
    if (int status =
            ParseArguments(static_cast<int>(argv.size()), argv.data(), arguments, err_.File());
        status >= 0) {
      return status;
    }
    const auto prepare = options.prepare;
    options.prepare = [prepare](CliSession& session, const std::string& port) {
      session.Host().SetSleepScale(0);
      if (prepare) prepare(session, port);
    };
    options.table = false;
    return RunBench(arguments, interrupts_, out_.File(), err_.File(), options);
  }

  [[nodiscard]] fsys::path Report() const {
    return report_.empty() ? folder_ / "report.json" : report_;
  }
  [[nodiscard]] std::string Log(std::size_t phone) const {
    return ReadFile(folder_ / "logs" / (PortFileTags(ports_)[phone] + ".log"));
  }

  // True when the phone heard a start signal.
  bool Answered(std::size_t phone) {
    const std::vector<sim::Event> events = phones_[phone]->Events();
    return std::any_of(events.begin(), events.end(), [](const sim::Event& event) {
      return event.kind == sim::EventKind::StartByte;
    });
  }

  // True when the phone's flash holds the release file at `address`.
  bool FlashHolds(std::size_t phone, std::uint32_t address, const std::string& name) {
    const std::string file = ReadFile(folder_ / "release" / name);
    std::vector<std::uint8_t> flash(file.size());
    if (!phones_[phone]->Nand().ReadData(address, flash)) return false;
    return std::equal(flash.begin(), flash.end(), file.begin(), file.end(),
                      [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
  }

  fsys::path folder_;
  fsys::path report_;  // the report's path when not the default
  std::vector<std::unique_ptr<sim::VirtualPhone>> phones_;
  std::vector<std::string> ports_;
  InterruptWatch interrupts_;
  Captured out_;
  Captured err_;
};

constexpr std::uint32_t kAppsAddress = 0x00C00000;
constexpr std::uint32_t kCommsAddress = 0x00200000;

TEST_F(BenchTest, TwoPhonesAtOnceEachGetEveryImageAndALogOfTheirOwn) {
  WriteRelease();
  // Two ports whose names map to the same log file name are still two ports.
  StartPhone({}, "x/a/b");
  StartPhone({}, "x/a_b");
  EXPECT_EQ(Bench({"--baud", "3M", "connect", "download", "all-bin", "--default-cal"}), EXIT_OK)
      << err_.Text();
  for (std::size_t phone = 0; phone < 2; ++phone) {
    EXPECT_TRUE(FlashHolds(phone, kAppsAddress, "APPS/FUSE_APPS.img"));
    EXPECT_TRUE(FlashHolds(phone, kCommsAddress, "COMMS/COMMS.img"));
    // Each log is the session's log alone, from its start to the group's total, between a header
    // and a verdict that name its record (port, phone, start, result).
    const std::string log = Log(phone);
    struct stat info {};
    ASSERT_EQ(::stat((folder_ / "logs" / (PortFileTags(ports_)[phone] + ".log")).c_str(), &info),
              0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);  // the line's own
    const std::string header = "== veska-cli: " + ports_[phone] + ", phone 1, started 20";
    EXPECT_TRUE(log.starts_with(header)) << log;
    EXPECT_EQ(Count(log, "\n  * TOTAL Elapsed Time : "), 1u) << log;
    const std::size_t verdict =
        log.rfind("== veska-cli: " + ports_[phone] + ", phone 1: passed (exit status 0, ");
    ASSERT_NE(verdict, std::string::npos) << log;
    EXPECT_TRUE(log.ends_with(" s) ==\n")) << log;
    EXPECT_EQ(log[verdict - 1], '\n');
    EXPECT_EQ(Count(log, "== veska-cli: "), 2u) << log;
    EXPECT_EQ(Count(log, "Listen for the BOOT signal"), 1u);
    // The console's event lines name the port.
    EXPECT_NE(out_.Text().find(ports_[phone] + ": download all-bin --default-cal OK\n"),
              std::string::npos)
        << out_.Text();
    EXPECT_NE(err_.Text().find(ports_[phone] + ": [  NOTICE  ] Download Finished\n"),
              std::string::npos);
  }
  const std::string report = ReadFile(Report());
  EXPECT_EQ(Count(report, "\"result\": \"passed\""), 2u) << report;
  EXPECT_EQ(Count(report, "\"image\": \"APPS\""), 2u);
  EXPECT_EQ(Count(report, "\"verified\": true"), 0u);
  EXPECT_NE(report.find("\"exit_status\": 0,\n  \"phones\""), std::string::npos);
}

TEST_F(BenchTest, FourPhonesWriteOneImageAndReadItBack) {
  WriteRelease(300000);
  for (int i = 0; i < 4; ++i) StartPhone();
  EXPECT_EQ(Bench({"--baud", "921K", "connect", "download", "apps", "--verify"}), EXIT_OK)
      << err_.Text();
  for (std::size_t phone = 0; phone < 4; ++phone) {
    EXPECT_TRUE(FlashHolds(phone, kAppsAddress, "APPS/FUSE_APPS.img"));
    EXPECT_FALSE(FlashHolds(phone, kCommsAddress, "COMMS/COMMS.img"));
  }
  const std::string report = ReadFile(Report());
  EXPECT_EQ(Count(report, "\"verified\": true"), 4u) << report;
  EXPECT_EQ(Count(report, "\"address\": \"0x00C00000\""), 4u);
  EXPECT_EQ(Count(report, "\"size\": 300000"), 4u);
}

TEST_F(BenchTest, PhonesThatFailLeaveTheOthersToFinishAndTheReportSaysWhy) {
  WriteRelease();
  StartPhone();
  sim::PhoneOptions dropping;
  dropping.faults.push_back(*sim::ParseFault("drop@block#1"));
  StartPhone(dropping);
  sim::PhoneOptions refusing;
  refusing.faults.push_back(*sim::ParseFault("code@block#0=0x41"));
  StartPhone(refusing);
  StartPhone();
  ports_.push_back((folder_ / "unplugged").string());  // a port without its device
  const int status = Bench({"--baud", "3M", "connect", "download", "all-bin", "--default-cal"},
                           BenchOptions{[](CliSession& session, const std::string&) {
                                          session.Dialog().port.readTotalTimeout = 50ms;
                                          session.State().link.replyTimeout = 1s;
                                        },
                                        {},
                                        {},
                                        {}});
  EXPECT_EQ(status, EXIT_PORT_UNAVAILABLE);
  for (std::size_t phone : {0u, 3u}) {
    EXPECT_TRUE(FlashHolds(phone, kAppsAddress, "APPS/FUSE_APPS.img")) << phone;
    EXPECT_TRUE(FlashHolds(phone, kCommsAddress, "COMMS/COMMS.img")) << phone;
  }
  const std::string report = ReadFile(Report());
  EXPECT_EQ(Count(report, "\"result\": \"passed\""), 2u) << report;
  EXPECT_EQ(Count(report, "\"result\": \"failed\""), 3u);
  // Each failure names its step, its operation and the program's words on it; a port that
  // failed, what the port said.
  const auto parsed = nlohmann::json::parse(report, nullptr, false);
  ASSERT_TRUE(parsed.contains("phones")) << report;
  std::map<std::string, nlohmann::json> errors;  // by port
  for (const auto& phone : parsed["phones"]) errors[phone["port"]] = phone["error"];
  for (const std::size_t phone : {1u, 2u}) {
    EXPECT_EQ(errors[ports_[phone]].value("step", ""), "download all-bin --default-cal");
    EXPECT_EQ(errors[ports_[phone]].value("operation", ""), "Download");
    EXPECT_EQ(errors[ports_[phone]].value("outcome", ""), "failed");
  }
  EXPECT_EQ(Count(report, "\"error\": null"), 2u);
  EXPECT_EQ(Count(report, "\"cause\": \"\""), 0u);
  EXPECT_TRUE(errors[ports_[1]]
                  .value("cause", "")
                  .starts_with(ports_[1] + ": the line failed (the device hung up or went away)."))
      << report;
  const std::string gone = ports_[4] + " does not exist.";
  EXPECT_EQ(errors[ports_[4]].value("reason", ""), gone);
  EXPECT_EQ(errors[ports_[4]].value("exit_status", 0), EXIT_PORT_UNAVAILABLE);
  EXPECT_EQ(errors[ports_[4]].value("cause", ""), gone + "\n[Failure] Comm Error");
  EXPECT_NE(out_.Text().find(ports_[1] + ": download all-bin --default-cal FAILED"),
            std::string::npos);
  // The refused phone's cause is what it answered (the question --yes answered is none); its
  // log ends with its verdict and that cause, on a line of its own.
  EXPECT_EQ(errors[ports_[2]].value("cause", ""),
            "veska-cli: Download failed: APPS: the phone answered 0x41");
  const std::string refused = Log(2);
  EXPECT_NE(refused.find("\n== veska-cli: " + ports_[2] + ", phone 1: failed (exit status 1, "),
            std::string::npos)
      << refused;
  EXPECT_TRUE(
      refused.ends_with(" s): veska-cli: Download failed: APPS: the phone answered 0x41 ==\n"))
      << refused;
  // The port that never opened stopped its log in the middle of a line.
  EXPECT_NE(
      Log(4).find("> Fail\n== veska-cli: " + ports_[4] + ", phone 1: failed (exit status 5, "),
      std::string::npos)
      << Log(4);
}

TEST_F(BenchTest, EachPortDumpsIntoAFileOfItsOwn) {
  // Over the boot ROM's USB link, which reads no flash identity.
  sim::PhoneOptions usb;
  usb.link = sim::LinkDialect::Usb;
  usb.usbAppearDelay = 0ms;
  for (int i = 0; i < 2; ++i) {
    sim::VirtualPhone& phone = StartPhone(usb);
    const std::vector<std::uint8_t> flash(0x1000, static_cast<std::uint8_t>(0x40 + i));
    ASSERT_TRUE(phone.Nand().WriteData(0, flash));
  }
  const fsys::path same = folder_ / "out" / "same.hex";
  fsys::create_directories(same.parent_path());
  EXPECT_EQ(
      Bench({"--link", "usb", "--baud", "3M", "connect", "dump", "Nandpreboot", same.string()}),
      EXIT_OK)
      << err_.Text();
  // The flash box's "Connect" is no identity: the records say none was read.
  const auto report = nlohmann::json::parse(ReadFile(Report()), nullptr, false);
  ASSERT_TRUE(report.contains("phones"));
  for (const auto& phone : report["phones"]) EXPECT_TRUE(phone["flash"].is_null()) << phone;
  EXPECT_FALSE(fsys::exists(same));
  const std::vector<std::string> tags = PortFileTags(ports_);
  std::string names;
  for (std::size_t phone = 0; phone < 2; ++phone) {
    const fsys::path own = folder_ / "out" / ("same." + tags[phone] + ".hex");
    EXPECT_EQ(ReadFile(own), std::string(0x1000, static_cast<char>(0x40 + phone))) << phone;
    names += (phone == 0 ? "" : ", ") + own.string();
  }
  EXPECT_NE(err_.Text().find("veska-cli: each port writes its own " + same.string() + ": " + names +
                             "\n"),
            std::string::npos)
      << err_.Text();
}

// A mistyped step and one device under two names are usage errors of the whole run.
TEST_F(BenchTest, OneDeviceUnderTwoNamesIsRefusedBeforeAnythingIsMade) {
  StartPhone();
  fsys::create_symlink(ports_[0], folder_ / "alias");
  std::ofstream(folder_ / "settings.ini") << "[Ports]\nCOM7=" << ports_[0] << "\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"COM5", "com5"}, "COM5 and com5"},
      {{ports_[0], (folder_ / "alias").string()},
       ports_[0] + " and " + (folder_ / "alias").string()},
      {{"COM7", ports_[0]}, "COM7 and " + ports_[0]},
      // A hub's port however it is written, whatever is plugged in there now.
      {{"usb:1-1.3", "USB:1-01.3:1.0"}, "usb:1-1.3 and USB:1-01.3:1.0"},
  };
  for (const auto& [ports, named] : cases) {
    ports_ = ports;
    const std::size_t before = err_.Text().size();
    EXPECT_EQ(Bench({"connect"}), EXIT_USAGE) << named;
    EXPECT_EQ(err_.Text().substr(before), "veska-cli: " + named + " are the same port\n");
    EXPECT_FALSE(fsys::exists(folder_ / "logs"));
    EXPECT_FALSE(fsys::exists(Report()));
  }
  ports_ = {"usb:1-1.3", "usb:1-1..3"};
  EXPECT_EQ(Bench({"connect"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find("veska-cli: usb:1-1..3 is no USB location"), std::string::npos);
  StartPhone();
  ports_ = {(folder_ / "phone1").string(), (folder_ / "phone2").string()};
  const std::size_t before = err_.Text().size();
  EXPECT_EQ(Bench({"conect"}), EXIT_USAGE);
  EXPECT_EQ(err_.Text().substr(before),
            "veska-cli: unknown step 'conect' (did you mean 'connect'?) (try --help)\n");
  EXPECT_FALSE(fsys::exists(folder_ / "logs"));
  EXPECT_FALSE(fsys::exists(Report()));
  EXPECT_FALSE(Answered(0));
}

TEST_F(BenchTest, ReportsAndLogsReplaceOnlyRegularFiles) {
  StartPhone();
  StartPhone();
  // A FIFO as the report, or as a port's log: with a reader on it, writing would not block but
  // would feed the run into it.
  ASSERT_EQ(::mkfifo(Report().c_str(), 0600), 0);
  const int reader = ::open(Report().c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_EQ(Bench({"connect"}), EXIT_INPUT_REFUSED);
  EXPECT_NE(err_.Text().find("veska-cli: the report " + Report().string() +
                             " is not a regular file; a report is written only to a regular "
                             "file or a new one\n"),
            std::string::npos)
      << err_.Text();
  struct stat info {};
  EXPECT_TRUE(::stat(Report().c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
  char byte = 0;
  EXPECT_LE(::read(reader, &byte, 1), 0);
  ::close(reader);
  fsys::remove(Report());

  // A folder: nothing is left beside it.
  fsys::create_directories(Report());
  EXPECT_EQ(Bench({"connect"}), EXIT_INPUT_REFUSED);
  EXPECT_TRUE(fsys::is_directory(Report()));
  EXPECT_FALSE(fsys::exists(Report().string() + ".part"));
  fsys::remove(Report());

  const fsys::path log = folder_ / "logs" / (PortFileTags(ports_)[1] + ".log");
  fsys::create_directories(log.parent_path());
  ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
  const int logReader = ::open(log.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_EQ(Bench({"connect"}), EXIT_INPUT_REFUSED);
  EXPECT_NE(err_.Text().find("veska-cli: cannot write the log file " + log.string() +
                             ": it is not a regular file\n"),
            std::string::npos)
      << err_.Text();
  EXPECT_LE(::read(logReader, &byte, 1), 0);
  ::close(logReader);
  EXPECT_FALSE(Answered(0));
  EXPECT_FALSE(Answered(1));
}

TEST_F(BenchTest, RepeatServesTheNextPhoneOnTheSamePort) {
  WriteRelease();
  sim::VirtualPhone& phone = StartPhone();
  std::atomic<int> passes{0};
  BenchOptions options;
  options.afterPass = [this, &phone, &passes](const std::string&, int pass) {
    passes = pass;
    if (pass == 2) {
      interrupts_.Deliver();  // the technician's Ctrl-C once the second phone is done
      return;
    }
    // The next phone: this one switched off and on again, its flash wiped.
    phone.PowerOff();
    phone.Nand().EraseBlocks(0, sim::BLOCK_COUNT - 1);
    phone.PowerOn();
  };
  EXPECT_EQ(Bench({"--repeat", "--baud", "3M", "connect", "download", "apps"}, options),
            EXIT_INTERRUPTED)
      << err_.Text();
  EXPECT_EQ(passes.load(), 2);
  EXPECT_TRUE(FlashHolds(0, kAppsAddress, "APPS/FUSE_APPS.img"));
  const std::string report = ReadFile(Report());
  EXPECT_EQ(Count(report, "\"result\": \"passed\""), 2u) << report;
  EXPECT_NE(report.find("\"pass\": 2"), std::string::npos);
  // Both phones were whole when the run was stopped.
  EXPECT_EQ(err_.Text().find("left incomplete"), std::string::npos) << err_.Text();
}

// --ask-serial answered on a real terminal, as a scanner types: each port asks before its phone,
// one question at a time; the unit on the other port already and an empty answer are asked
// again; the serials and the operator reach the report and the records.
TEST_F(BenchTest, AskSerialTakesEachPortsUnitFromTheTerminalOneUnitOnOnePort) {
  WriteRelease();
  StartPhone();
  StartPhone();
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  const int savedInput = ::dup(STDIN_FILENO);
  ASSERT_EQ(::dup2(terminal, STDIN_FILENO), STDIN_FILENO);
  // Typed ahead: the terminal hands them over a line at a time, in the order asked.
  const std::string typed = "SN-1\n SN-1 \n\nSN-2\n";
  ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  const int status = Bench({"--ask-serial", "--operator", "Ana", "--baud", "3M", "connect"});
  // Ctrl-C while a port waits for its answer ends the question and the run.
  const fsys::path served = Report();
  report_ = folder_ / "stopped.json";
  const auto asked = [this] {
    char said[8192];
    const ssize_t got = ::pread(::fileno(err_.File()), said, sizeof said, 0);
    return got > 0 && Count(std::string(said, static_cast<std::size_t>(got)), "serial for ") > 4;
  };
  std::thread ctrlC([this, &asked] {
    for (int i = 0; i < 1500 && !asked(); ++i) std::this_thread::sleep_for(20ms);
    interrupts_.Deliver();
  });
  const int stopped = Bench({"--ask-serial", "--baud", "3M", "connect"});
  ctrlC.join();
  ::dup2(savedInput, STDIN_FILENO);
  for (const int fd : {savedInput, terminal, master}) ::close(fd);
  EXPECT_EQ(stopped, EXIT_INTERRUPTED) << err_.Text();
  EXPECT_EQ(status, EXIT_OK) << err_.Text();
  const std::string said = err_.Text();
  for (const std::string& port : ports_) {
    EXPECT_NE(said.find("serial for " + port + ": "), std::string::npos) << said;
  }
  EXPECT_EQ(Count(said, "veska-cli: unit SN-1 is on "), 1u) << said;
  // SN-1, SN-1 again, empty, SN-2; then one for each port of the run Ctrl-C ended.
  EXPECT_EQ(Count(said, "serial for "), 6u) << said;

  const auto report = nlohmann::json::parse(ReadFile(served), nullptr, false);
  ASSERT_TRUE(report.contains("phones"));
  EXPECT_EQ(report.value("operator", ""), "Ana");
  std::vector<std::string> units;
  for (const auto& phone : report["phones"]) units.push_back(phone.value("unit_serial", ""));
  std::sort(units.begin(), units.end());
  EXPECT_EQ(units, (std::vector<std::string>{"SN-1", "SN-2"}));
  std::vector<records::Record> kept;
  const auto store = records::MakeSqliteStore((folder_ / "veska-records.db").string());
  ASSERT_EQ(store->Read({}, kept), records::RECORDS_OK) << store->Problem();
  ASSERT_EQ(kept.size(), 2u);
  for (const records::Record& record : kept) EXPECT_EQ(record.operatorName, "Ana");
}

TEST_F(BenchTest, RepeatWaitsQuietlyWhileThePortsDeviceIsGone) {
  WriteRelease();
  // Two phones in turn on a port whose device comes and goes (a USB adapter plugged in, pulled,
  // plugged in again): none is there at first.
  const std::string port = (folder_ / "usb-serial").string();
  sim::PhoneOptions options;
  options.linkPath = port;
  for (int i = 0; i < 2; ++i) phones_.push_back(std::make_unique<sim::VirtualPhone>(options));
  ports_ = {port};
  std::vector<std::thread> later;
  const auto after = [&later](std::function<void()> what) {
    later.emplace_back([what = std::move(what)] {
      std::this_thread::sleep_for(500ms);
      what();
    });
  };
  after([this] { EXPECT_EQ(phones_[0]->Start(), 0); });
  std::string firstReport;
  ino_t firstInode = 0;
  BenchOptions bench;
  bench.afterPass = [&](const std::string&, int pass) {
    struct stat info {};
    EXPECT_EQ(::stat(Report().c_str(), &info), 0);
    if (pass == 1) {
      // Whole JSON after every phone, each version a new file renamed over the last, so that a
      // reader never finds half of one.
      firstReport = ReadFile(Report());
      firstInode = info.st_ino;
      phones_[0]->Stop();
      after([this] { EXPECT_EQ(phones_[1]->Start(), 0); });
      return;
    }
    EXPECT_NE(info.st_ino, firstInode);
    phones_[1]->Stop();
    after([this] { interrupts_.Deliver(); });  // Ctrl-C during the wait
  };
  EXPECT_EQ(Bench({"--repeat", "--baud", "3M", "connect", "download", "apps"}, bench),
            EXIT_INTERRUPTED)
      << err_.Text();
  for (std::thread& thread : later) thread.join();
  EXPECT_EQ(Count(err_.Text(), "veska-cli: " + port + " is not there; waiting for it to appear\n"),
            3u)
      << err_.Text();
  EXPECT_EQ(Count(firstReport, "\"pass\": "), 1u) << firstReport;
  EXPECT_TRUE(firstReport.ends_with("    }\n  ]\n}\n")) << firstReport;
  EXPECT_NE(firstReport.find("\"finished\": false,\n  \"exit_status\": null,\n"),
            std::string::npos);
  const std::string report = ReadFile(Report());
  EXPECT_EQ(Count(report, "\"result\": \"passed\""), 2u) << report;
  EXPECT_EQ(Count(report, "\"pass\": "), 2u);
  // The first phone's record as the first version held it.
  const std::size_t phones = firstReport.find("  \"phones\": [");
  ASSERT_NE(phones, std::string::npos);
  const std::string firstRecord = firstReport.substr(phones, firstReport.size() - phones - 7);
  EXPECT_NE(report.find(firstRecord + ",\n    {\n      \"port\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"finished\": true,\n  \"exit_status\": 130,\n"), std::string::npos);
}

// A disk that fills while a bench runs: the report stays the previous whole version, the records
// that could not be written wait for the next phone's write, and what the last write could not
// keep is named. A small tmpfs is the full disk (root only; skipped elsewhere).
TEST_F(BenchTest, AFullDiskNeverCutsTheReportAndItsRecordsCatchUp) {
  const fsys::path disk = folder_ / "disk";
  fsys::create_directories(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "no tmpfs can be mounted here";
  }
  struct Unmount {
    fsys::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk};
  report_ = disk / "report.json";
  const fsys::path filler = disk / "filler";
  const auto fill = [&filler] {
    std::ofstream out(filler, std::ios::binary | std::ios::app);
    const std::string block(4096, 'f');
    while (out.write(block.data(), block.size())) out.flush();
  };
  const auto phonesIn = [this](const std::string& json) -> int {
    const auto parsed = nlohmann::json::parse(json, nullptr, false);
    return parsed.is_discarded() ? -1 : static_cast<int>(parsed["phones"].size());
  };
  WriteRelease();
  sim::VirtualPhone& phone = StartPhone();
  BenchOptions options;
  options.afterPass = [&](const std::string&, int pass) {
    const std::string report = ReadFile(Report());
    // The second phone's write is refused; the third's catches it up.
    const std::map<int, int> expected = {{1, 1}, {2, 1}, {3, 3}, {4, 3}};
    EXPECT_EQ(phonesIn(report), expected.at(pass)) << pass << "\n" << report;
    if (pass == 1 || pass == 3) fill();
    if (pass == 2) fsys::remove(filler);
    if (pass == 4) {
      interrupts_.Deliver();
      return;
    }
    phone.PowerOff();
    phone.PowerOn();
  };
  EXPECT_EQ(Bench({"--repeat", "--baud", "3M", "connect"}, options), EXIT_INTERRUPTED)
      << err_.Text();
  const std::string report = ReadFile(Report());
  EXPECT_EQ(phonesIn(report), 3) << report;
  EXPECT_NE(report.find("\"finished\": false"), std::string::npos);
  EXPECT_FALSE(fsys::exists(Report().string() + ".part"));
  const std::string port = ports_[0];
  EXPECT_EQ(Count(err_.Text(), "veska-cli: the report " + Report().string() +
                                   " could not be written (No space left on device); its "
                                   "records wait for the next phone\n"),
            2u)
      << err_.Text();
  EXPECT_NE(err_.Text().find("veska-cli: the report " + Report().string() +
                             " could not be written (No space left on device); it lacks the "
                             "records of " +
                             port + " phone 4\n"),
            std::string::npos)
      << err_.Text();
}

// --log-split daily: a bench that runs for weeks starts each port's log anew on each day, at the
// day's first phone.
TEST_F(BenchTest, DailyLogsSplitAtTheFirstPhoneOfTheDay) {
  WriteRelease();
  StartPhone();
  StartPhone();
  std::mutex mutex;
  std::string today = "2026-12-09";
  std::latch firstDone(2);
  std::latch secondDone(2);
  BenchOptions options;
  options.today = [&] {
    std::lock_guard lock(mutex);
    return today;
  };
  options.afterPass = [&](const std::string& port, int pass) {
    if (pass == 1) {
      firstDone.arrive_and_wait();  // both ports' first phones on the first day
      std::lock_guard lock(mutex);
      today = "2026-12-10";
    } else {
      secondDone.arrive_and_wait();
      if (port == ports_[0]) interrupts_.Deliver();
      return;
    }
    sim::VirtualPhone& phone = *phones_[port == ports_[0] ? 0 : 1];
    phone.PowerOff();
    phone.PowerOn();
  };
  EXPECT_EQ(Bench({"--repeat", "--log-split", "daily", "--baud", "3M", "connect"}, options),
            EXIT_INTERRUPTED)
      << err_.Text();
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    const fsys::path logs = folder_ / "logs";
    const std::string tag = PortFileTags(ports_)[i];
    const std::string first = ReadFile(logs / (tag + "-2026-12-09.log"));
    const std::string second = ReadFile(logs / (tag + "-2026-12-10.log"));
    EXPECT_EQ(Count(first, ", phone 1: passed"), 1u) << first;
    EXPECT_EQ(Count(first, ", phone 2"), 0u) << first;
    EXPECT_EQ(Count(second, ", phone 2: passed"), 1u) << second;
    EXPECT_EQ(Count(second, ", phone 1"), 0u) << second;
    EXPECT_FALSE(fsys::exists(logs / (tag + ".log")));
  }
}

TEST_F(BenchTest, CtrlCStopsEveryPortAndNamesThePhonesLeftIncomplete) {
  WriteRelease(300000);
  // Phones that stop answering in the middle of APPS: the run would wait for them for minutes.
  sim::PhoneOptions stalling;
  stalling.faults.push_back(*sim::ParseFault("silence@block#1"));
  StartPhone(stalling);
  StartPhone(stalling);
  std::atomic<int> status{-1};
  std::thread run([this, &status] {
    status = Bench({"--baud", "921K", "connect", "download", "all-bin", "--default-cal"});
  });
  // Wait until both phones are being written.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline &&
         Count(out_.Text(), ": writing FUSE_APPS.img") < 2) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(Count(out_.Text(), ": writing FUSE_APPS.img"), 2u) << out_.Text();
  std::this_thread::sleep_for(200ms);
  const auto stopped = std::chrono::steady_clock::now();
  interrupts_.Deliver();
  run.join();
  // Disconnect's way: the transfers end at once, not after the images.
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 10s);
  EXPECT_EQ(status.load(), EXIT_INTERRUPTED);
  const std::string err = err_.Text();
  for (const std::string& port : ports_) {
    EXPECT_NE(err.find("veska-cli: " + port +
                       ": the phone was left incomplete (stopped in download all-bin "
                       "--default-cal)\n"),
              std::string::npos)
        << err;
  }
  const std::string report = ReadFile(Report());
  EXPECT_EQ(Count(report, "\"result\": \"interrupted\""), 2u) << report;
  EXPECT_NE(report.find("\"exit_status\": 130,\n  \"phones\""), std::string::npos);
}

// On the USB link the phone's own port is the device: a phone still plugged in after its pass is
// not served again, and a phone that goes while START waits for it ends the wait at once (its
// line hangs up) without counting as a phone.
TEST_F(BenchTest, UsbPhonesAreServedOnceEachAsTheyComeAndGo) {
  WriteRelease();
  sim::PhoneOptions usb;
  usb.link = sim::LinkDialect::Usb;
  sim::VirtualPhone& phone = StartPhone(usb);
  const auto count = [&phone](sim::EventKind kind) {
    const std::vector<sim::Event> events = phone.Events();
    return std::count_if(events.begin(), events.end(),
                         [kind](const sim::Event& e) { return e.kind == kind; });
  };
  std::thread operator_;
  BenchOptions options;
  options.afterPass = [&](const std::string&, int pass) {
    if (pass == 2) {
      interrupts_.Deliver();
      return;
    }
    operator_ = std::thread([&] {
      // The first phone stays plugged in for a while: nothing more is asked of it.
      std::this_thread::sleep_for(1500ms);
      EXPECT_EQ(count(sim::EventKind::StartByte), 1);
      // Unplugged; the next phone is plugged in and goes again before it answers.
      phone.PowerOff();
      phone.InjectFault(*sim::ParseFault("silence@ack"));
      phone.PowerOn();
      EXPECT_TRUE(phone.WaitFor(
          [](const std::vector<sim::Event>& events) {
            return std::any_of(events.begin(), events.end(), [](const sim::Event& e) {
              return e.kind == sim::EventKind::FaultInjected;
            });
          },
          20s));
      std::this_thread::sleep_for(1200ms);
      phone.PowerOff();
      phone.PowerOn();
    });
  };
  EXPECT_EQ(
      Bench({"--link", "usb", "--repeat", "--baud", "3M", "connect", "download", "apps"}, options),
      EXIT_INTERRUPTED)
      << err_.Text();
  if (operator_.joinable()) operator_.join();
  EXPECT_EQ(count(sim::EventKind::StartByte), 2);
  const std::string report = ReadFile(Report());
  EXPECT_EQ(Count(report, "\"result\": \"passed\""), 2u) << report;
  EXPECT_EQ(Count(report, "\"pass\": "), 2u) << report;
  EXPECT_EQ(Count(err_.Text(),
                  " still holds the phone just served; waiting for it to go and the "
                  "next one to come\n"),
            1u)
      << err_.Text();
}

// A phone that answered START and then failed its flash checks is a phone that failed, with its
// cause; a phone's time starts when it answers; a port whose wait for a first phone Ctrl-C ended
// served none.
TEST_F(BenchTest, AnsweredPhonesAreCountedFromTheirAnswerAndIdleWaitsAreNot) {
  sim::PhoneOptions mute;
  mute.faults.push_back(*sim::ParseFault("silence@flash-id!"));
  StartPhone(mute);
  sim::PhoneOptions off;
  off.poweredOnAtStart = false;
  sim::VirtualPhone& late = StartPhone(off);
  StartPhone(off);
  std::string plugged;  // UTC when the late phone was switched on
  const auto phones = [this] { return Count(ReadFile(Report()), "\"pass\": "); };
  const auto await = [&](std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline && phones() < count) {
      std::this_thread::sleep_for(100ms);
    }
  };
  std::thread operator_([&] {
    await(1);
    std::this_thread::sleep_for(1200ms);
    plugged = UtcNow();
    late.PowerOn();
    await(2);
    interrupts_.Deliver();
  });
  EXPECT_EQ(Bench({"--repeat", "--timeout", "2", "--baud", "3M", "connect"}), EXIT_INTERRUPTED)
      << err_.Text();
  operator_.join();
  const auto json = nlohmann::json::parse(ReadFile(Report()), nullptr, false);
  ASSERT_TRUE(json.contains("phones")) << ReadFile(Report());
  ASSERT_EQ(json["phones"].size(), 2u) << json.dump(2);
  for (const auto& phone : json["phones"]) {
    if (phone.value("port", "") == ports_[0]) {
      EXPECT_EQ(phone.value("result", ""), "failed");
      EXPECT_NE(phone.dump().find("flash checks"), std::string::npos) << phone.dump(2);
    } else {
      EXPECT_EQ(phone.value("port", ""), ports_[1]);
      EXPECT_EQ(phone.value("result", ""), "passed");
      EXPECT_GE(phone.value("started", ""), plugged) << phone.dump(2);
    }
  }
  EXPECT_EQ(err_.Text().find(ports_[2] + ": the phone was left incomplete"), std::string::npos)
      << err_.Text();
}

// Another run serving a phone on the port: this one is refused before it touches the line, and
// told who has it.
TEST_F(BenchTest, APortAnotherRunHoldsIsRefusedNamingIt) {
  StartPhone();
  PortClaim other;
  ASSERT_TRUE(other.Take(DeviceIdentity(ports_[0]), "COM9"));
  EXPECT_EQ(Bench({"--baud", "3M", "connect"}), EXIT_PORT_UNAVAILABLE) << err_.Text();
  EXPECT_NE(err_.Text().find("veska-cli: " + ports_[0] + " is in use by another run (cli_tests, " +
                             "process " + std::to_string(::getpid()) + ", as COM9)\n"),
            std::string::npos)
      << err_.Text();
  // A plain run that names its port claims it the same way.
  {
    CliArguments arguments;
    const std::vector<std::string> words = {"veska-cli", "--records", "none", "--port",
                                            ports_[0],   "--baud",    "3M",   "connect"};
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    ASSERT_LT(ParseArguments(static_cast<int>(argv.size()), argv.data(), arguments, err_.File()),
              0);
    CliSession session(arguments, out_.File(), err_.File());
    const std::size_t before = err_.Text().size();
    EXPECT_EQ(RunRecorded(session, arguments, interrupts_, err_.File()), EXIT_PORT_UNAVAILABLE);
    EXPECT_NE(err_.Text().find(" is in use by another run (cli_tests, ", before), std::string::npos)
        << err_.Text();
  }
  EXPECT_FALSE(Answered(0));
  other.Release();
  EXPECT_EQ(Bench({"--baud", "3M", "connect"}), EXIT_OK) << err_.Text();
}

// The live table on terminals of several widths: never a wrapped line, the figures and the
// verdicts whole, the texts shortened in the order they matter least.
TEST(BenchTable, FitsTheTerminalKeepingFiguresAndVerdicts) {
  const std::vector<TableRow> rows = {
      {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
       "download comms --verify --reboot (2/2)", "COMMS_and_a_long_näme.img", "37", "90.0 KiB/s",
       "0:28", "0", "1", "FAILED (exit 130) download all-bin --default-cal --verify"},
      {"COM5", "connect (1/2)", "", "-", "-- KiB/s", "--:--", "3", "0", "OK connect"},
  };
  const auto width = [](const std::string& line) {
    std::size_t characters = 0;
    for (const char c : line) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return characters;
  };
  // Wide enough: every text whole, one column each.
  std::vector<std::string> lines = FitTable(rows, 240);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find(rows[0].port + " download comms --verify --reboot (2/2) "),
            std::string::npos)
      << lines[1];
  EXPECT_TRUE(lines[1].ends_with("  FAILED (exit 130) download all-bin --default-cal --verify"));
  EXPECT_EQ(lines[0].find("STEP"), lines[2].find("connect (1/2)"));
  for (const int columns : {120, 100, 80, 60}) {
    lines = FitTable(rows, columns);
    for (const std::string& line : lines) {
      EXPECT_LE(width(line), static_cast<std::size_t>(columns - 1)) << columns << ": " << line;
    }
    if (columns < 80) continue;
    // The figures, the step's number and the verdict survive down to 80 columns; the port
    // keeps its end, where ports differ.
    EXPECT_NE(lines[1].find("   37   90.0 KiB/s   0:28    0    1  FAILED (exit 130)"),
              std::string::npos)
        << columns << ": " << lines[1];
    EXPECT_NE(lines[1].find("(2/2)"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("port0 "), std::string::npos) << lines[1];
    EXPECT_EQ(lines[0].find("STEP"), lines[2].find("connect (1/2)")) << columns;
  }
  EXPECT_NE(FitTable(rows, 100)[1].find("dl comms +vfy +rb (2/2)"), std::string::npos)
      << FitTable(rows, 100)[1];
}

TEST(BenchNames, LogFilesAndTheWorstStatus) {
  EXPECT_EQ(LogFileName("COM5"), "COM5.log");
  EXPECT_EQ(LogFileName("/dev/ttyUSB0"), "dev_ttyUSB0.log");
  EXPECT_EQ(LogFileName("\\\\.\\COM12"), "COM12.log");
  EXPECT_EQ(LogFileName("../.."), "port.log");
  EXPECT_EQ(PortFileTags({"x/a/b", "x/a_b", "X_A_B", "x_a_b-2", "COM5"}),
            (std::vector<std::string>{"x_a_b", "x_a_b-2", "X_A_B-3", "x_a_b-2-2", "COM5"}));
  // Only the files the steps write are the port's own, wherever a step's other words stand.
  EXPECT_EQ(
      StepsForPort({"connect",  "explore",     "put",      "dump",    "/",      "dump",
                    "Boot2",    "out.d/a.hex", "explore",  "get",     "/f",     "b",
                    "download", "apps",        "--verify", "dump",    "Boot1a", ".hex",
                    "checksum", "--file",      "dump",     "explore", "ls",     "/"},
                   "COM5"),
      (std::vector<std::string>{
          "connect",          "explore", "put",    "dump",      "/",        "dump",     "Boot2",
          "out.d/a.COM5.hex", "explore", "get",    "/f",        "b.COM5",   "download", "apps",
          "--verify",         "dump",    "Boot1a", ".hex.COM5", "checksum", "--file",   "dump",
          "explore",          "ls",      "/"}));
  EXPECT_EQ(WorstExitStatus({}), EXIT_OK);
  EXPECT_EQ(WorstExitStatus({EXIT_OK, EXIT_STEP_FAILED, EXIT_OK}), EXIT_STEP_FAILED);
  EXPECT_EQ(WorstExitStatus({EXIT_NO_ANSWER, EXIT_STEP_FAILED}), EXIT_NO_ANSWER);
  EXPECT_EQ(WorstExitStatus({EXIT_PORT_UNAVAILABLE, EXIT_NO_ANSWER}), EXIT_PORT_UNAVAILABLE);
}

// A new version of the report is the previous file and the new records, so that a run of weeks
// keeps none of its records in memory; it reads as ReportJson of all of them. A file another
// program changed is not built on: the record waits and is named.
TEST(BenchReport, EachVersionIsThePreviousFileAndTheNewRecords) {
  const fsys::path folder =
      fsys::temp_directory_path() / ("veska-report-" + std::to_string(::getpid()));
  fsys::remove_all(folder);
  fsys::create_directories(folder);
  const fsys::path path = folder / "report.json";
  ReportFile report(path, {"COM5"}, {"connect"});
  ASSERT_EQ(report.Refusal(), "");
  ASSERT_TRUE(report.Begin());
  std::vector<PhoneRecord> phones(3);
  for (std::size_t i = 0; i < phones.size(); ++i) {
    phones[i].port = "COM5";
    phones[i].pass = static_cast<int>(i) + 1;
    phones[i].started = "2026-12-07T18:34:08Z";
    phones[i].flashId = "K9F1G08";
  }
  ASSERT_TRUE(report.Add("COM5 phone 1", PhoneJson(phones[0])));
  // Another hand changes the first record in the file, keeping its size.
  std::string text = ReadFile(path);
  const std::size_t id = text.find("K9F1G08");
  ASSERT_NE(id, std::string::npos);
  text.replace(id, 7, "EC:F1xx");
  std::ofstream(path, std::ios::binary) << text;
  phones[0].flashId = "EC:F1xx";
  ASSERT_TRUE(report.Add("COM5 phone 2", PhoneJson(phones[1])));
  ASSERT_TRUE(report.Finish(0));
  const auto withoutStamp = [](std::string json) {
    const std::size_t at = json.find("\"written\": \"");
    return at == std::string::npos ? json : json.erase(at, 32);
  };
  const std::vector<PhoneRecord> both(phones.begin(), phones.begin() + 2);
  EXPECT_EQ(withoutStamp(ReadFile(path)), withoutStamp(ReportJson({"COM5"}, {"connect"}, both, 0)));
  EXPECT_EQ(report.Lacking(), "");

  const std::uintmax_t size = fsys::file_size(path);
  std::ofstream(path, std::ios::binary | std::ios::app) << " ";
  EXPECT_FALSE(report.Add("COM5 phone 3", PhoneJson(phones[2])));
  EXPECT_EQ(report.Problem(), "the report was changed by another program");
  EXPECT_EQ(report.Lacking(), "COM5 phone 3");
  // While writes are refused, the records waiting stay within their bound: the oldest go.
  phones[2].flashId = std::string(ReportFile::kMaxWaitingBytes / 2, 'f');
  for (const int pass : {4, 5}) {
    phones[2].pass = pass;
    EXPECT_FALSE(report.Add("COM5 phone " + std::to_string(pass), PhoneJson(phones[2])));
  }
  EXPECT_EQ(report.Lacking(),
            "2 phones given up while the disk stayed full (the first COM5 phone 3), COM5 phone 5");
  fsys::resize_file(path, size);
  ASSERT_TRUE(report.Finish(0));
  EXPECT_EQ(report.Lacking(),
            "2 phones given up while the disk stayed full (the first COM5 phone 3)");
  const auto parsed = nlohmann::json::parse(ReadFile(path), nullptr, false);
  ASSERT_FALSE(parsed.is_discarded());
  ASSERT_EQ(parsed["phones"].size(), 3u);
  EXPECT_EQ(parsed["phones"][2]["pass"], 5);
  fsys::remove_all(folder);
}

TEST(BenchReport, TextsFromFilesAndThePhoneStayValidJson) {
  PhoneRecord phone;
  phone.port = "COM\"5\"";
  ImageRecord image;
  image.kind = "APPS";
  // Latin-1, a control, UTF-8, then bytes that only look like UTF-8 (a surrogate's, a cut
  // sequence): every byte that is no part of a well-formed sequence is its Latin-1 character.
  image.path = std::string("C:\\rel\\\xE4pps\x01.img") + "\xC3\xA9" + "\xED\xA0\x80" + "\xE2\x82";
  phone.images.push_back(image);
  const std::string json = ReportJson({"COM\"5\""}, {"connect"}, {phone}, 0);
  const auto parsed = nlohmann::json::parse(json, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << json;
  EXPECT_EQ(parsed["ports"][0], "COM\"5\"");
  EXPECT_EQ(parsed["phones"][0]["images"][0]["path"],
            "C:\\rel\\\xC3\xA4pps\x01.img\xC3\xA9\xC3\xAD\xC2\xA0\xC2\x80\xC3\xA2\xC2\x82")
      << json;
  EXPECT_TRUE(parsed["phones"][0]["images"][0]["crc32"].is_null());
}

}  // namespace
}  // namespace veska::cli
