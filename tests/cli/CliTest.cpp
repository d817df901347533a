#include "cli/Captured.h"
#include "cli/CliSession.h"
#include "link/PtyPair.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/VirtualPhone.h"
#include "target/ExpectedLogs.h"

#include <fstream>

namespace veska::cli {
namespace {

using namespace std::chrono_literals;

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    folder_ = std::filesystem::temp_directory_path() / ("veska-cli-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  ~CliTest() override { std::filesystem::remove_all(folder_); }

  int Parse(std::vector<const char*> words, CliArguments& arguments) {
    words.insert(words.begin(), "veska-cli");
    return ParseArguments(static_cast<int>(words.size()), words.data(), arguments, err_.File());
  }
  int Run(std::vector<const char*> words) {
    CliArguments arguments;
    const std::string settings = (folder_ / "settings.ini").string();
    words.insert(words.begin(), {"--settings", settings.c_str()});
    if (int status = Parse(words, arguments); status >= 0) return status;
    CliSession session(std::move(arguments), out_.File(), err_.File());
    session.Host().SetSleepScale(0);
    return session.Run();
  }

  std::filesystem::path folder_;
  Captured out_;
  Captured err_;
};

TEST_F(CliTest, UsageErrorsEndBeforeAnythingIsTouched) {
  CliArguments arguments;
  EXPECT_EQ(Parse({"--baud", "9600", "connect"}, arguments), EXIT_USAGE);
  EXPECT_EQ(Parse({"--port", "COM3"}, arguments), EXIT_USAGE);  // no step
  EXPECT_EQ(Parse({"--timeout", "-5", "connect"}, arguments), EXIT_USAGE);
  EXPECT_EQ(Parse({"--timeout", "soon", "connect"}, arguments), EXIT_USAGE);
  EXPECT_EQ(Run({"connect", "fly"}), EXIT_USAGE);
  EXPECT_EQ(Run({"--port", "COM0", "connect"}), EXIT_USAGE);
  EXPECT_EQ(Run({"--port", "com51", "connect"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find("no such port com51 (COM1 ... COM50, or a device path)"),
            std::string::npos)
      << err_.Text();
  EXPECT_NE(err_.Text().find("unknown step 'fly'"), std::string::npos);
  EXPECT_EQ(out_.Text(), "");
}

TEST_F(CliTest, ConnectNarratesOnStandardOutputAndShowsTheFieldsOnStandardError) {
  sim::PhoneOptions options;
  options.linkPath = (folder_ / "phone").string();
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  EXPECT_EQ(Run({"--port", options.linkPath.c_str(), "--baud", "3M", "--link", "uart", "connect"}),
            EXIT_OK);
  EXPECT_EQ(out_.Text(), target::testing::FullUartConnectionLog(options.linkPath));
  const std::string err = err_.Text();
  EXPECT_NE(err.find("Flash ID: MR7D2P45XT\n"), std::string::npos) << err;
  EXPECT_NE(err.find("built-in stand-ins"), std::string::npos) << err;
  phone.Stop();
}

TEST_F(CliTest, AFailedConnectionIsAFailedRunWithTheMessageBoxOnStandardError) {
  EXPECT_EQ(Run({"--port", "/dev/veska-no-such-port", "connect"}), EXIT_PORT_UNAVAILABLE);
  // The log and the port's own message name the device that was asked for.
  EXPECT_TRUE(out_.Text().ends_with("\n     Try to open /dev/veska-no-such-port\t> Fail\n"))
      << out_.Text();
  EXPECT_NE(err_.Text().find("[Failure] Comm Error\n"), std::string::npos) << err_.Text();
  EXPECT_NE(err_.Text().find("/dev/veska-no-such-port does not exist"), std::string::npos)
      << err_.Text();
}

// A bench script must not rewrite the desktop program's choices, whatever it sets for its run.
TEST_F(CliTest, TheSettingsFileIsReadAndNeverWritten) {
  const auto settings = folder_ / "settings.ini";
  const std::string before =
      "[Setting]\nUartPort=4\nUsbPort=7\nm_nBaudRate=1\nm_strAPPSFileName=/old/APPS.img\n";
  std::ofstream(settings, std::ios::binary) << before;
  const auto release = folder_ / "release";
  std::filesystem::create_directories(release / "APPS");
  EXPECT_EQ(Run({"--port", "./no-such-device", "--baud", "921K", "--release", release.c_str(),
                 "--patch", "/new/patch.img", "connect"}),
            EXIT_PORT_UNAVAILABLE);
  EXPECT_EQ(Run({"--port", "COM9", "checksum", "patch"}), EXIT_INPUT_REFUSED);
  std::ifstream in(settings, std::ios::binary);
  const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(after, before);
}

// The reply time-out: the settings file's, unless the command line gives one.
TEST_F(CliTest, TheReplyTimeOutComesFromTheCommandLineOverTheSettings) {
  const auto settings = folder_ / "settings.ini";
  std::ofstream(settings, std::ios::binary) << "[Setting]\nReplyTimeout=30\n";
  for (const auto& [words, expected] :
       std::vector<std::pair<std::vector<const char*>, std::chrono::seconds>>{
           {{"checksum", "apps"}, std::chrono::seconds(30)},
           {{"--timeout", "7", "checksum", "apps"}, std::chrono::seconds(7)},
           {{"--timeout", "0", "checksum", "apps"}, std::chrono::seconds(0)}}) {
    CliArguments arguments;
    std::vector<const char*> all = {"--settings", settings.c_str()};
    all.insert(all.end(), words.begin(), words.end());
    ASSERT_EQ(Parse(all, arguments), -1);
    CliSession session(std::move(arguments), out_.File(), err_.File());
    (void)session.Run();
    EXPECT_EQ(session.State().link.replyTimeout, expected) << words[0];
  }
}

TEST_F(CliTest, DownloadAndChecksumStepsCheckTheirWords) {
  for (std::vector<const char*> words : {std::vector<const char*>{"download"},
                                         {"download", "everything"},
                                         {"download", "all-bin", "--twice"},
                                         {"checksum"},
                                         {"checksum", "all-bin"},
                                         {"checksum", "--file"}}) {
    EXPECT_EQ(Run(words), EXIT_USAGE) << words.back();
  }
  EXPECT_EQ(out_.Text(), "");
}

TEST_F(CliTest, ChecksumOfAFileNeedsNoPhone) {
  const std::string path = (folder_ / "check.img").string();
  std::ofstream(path, std::ios::binary) << "123456789";
  EXPECT_EQ(Run({"checksum", "--file", path.c_str()}), EXIT_OK);
  const std::string err = err_.Text();
  EXPECT_NE(err.find("File Size: 9 bytes\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Checksum: 0xCBF43926\n"), std::string::npos) << err;
  // Scripts take the result from standard output.
  EXPECT_EQ(out_.Text(), "0xCBF43926 9 bytes " + path + "\n");
  EXPECT_EQ(Run({"checksum", "--file", (folder_ / "absent").c_str()}), EXIT_INPUT_REFUSED);
  // A file past 4 GiB (sparse here) is said to be so, never shown as 4294967295 bytes.
  const std::string huge = (folder_ / "huge.img").string();
  std::ofstream(huge, std::ios::binary).close();
  std::filesystem::resize_file(huge, 5ull << 30);
  EXPECT_EQ(Run({"checksum", "--file", huge.c_str()}), EXIT_INPUT_REFUSED);
  EXPECT_NE(err_.Text().find("File Size: larger than 4 GiB\n"), std::string::npos) << err_.Text();
  EXPECT_EQ(err_.Text().find("4294967295"), std::string::npos) << err_.Text();
}

TEST_F(CliTest, ChecksumOfAKindUsesItsPathAndItsMessage) {
  const std::string path = (folder_ / "patch.img").string();
  std::ofstream(path, std::ios::binary) << "";
  EXPECT_EQ(Run({"--patch", path.c_str(), "checksum", "patch"}), EXIT_OK);
  EXPECT_NE(err_.Text().find("Checksum: 0x00000000\n"), std::string::npos) << err_.Text();
  const std::string absent = (folder_ / "absent.img").string();
  EXPECT_EQ(Run({"--boot2", absent.c_str(), "checksum", "boot2"}), EXIT_INPUT_REFUSED);
  EXPECT_NE(err_.Text().find("file open error! Check the boot2 file location"), std::string::npos);
}

TEST_F(CliTest, EraseAfterConnectAndBootloaderWithoutIt) {
  {
    sim::PhoneOptions options;
    options.linkPath = (folder_ / "phone").string();
    sim::VirtualPhone phone(options);
    ASSERT_EQ(phone.Start(), 0);
    EXPECT_EQ(Run({"--port", options.linkPath.c_str(), "connect", "erase-nand"}), EXIT_OK);
    EXPECT_TRUE(out_.Text().ends_with("OK\n    Now NAND All blocks except bootloader erased\t\t "))
        << out_.Text();
    phone.Stop();
  }
  EXPECT_EQ(Run({"erase-bootloader"}), EXIT_STEP_FAILED);  // no loader runs: connect first
  EXPECT_NE(err_.Text().find("Bootloader Erase is not available now (connect first)"),
            std::string::npos)
      << err_.Text();

  sim::PhoneOptions options;
  options.linkPath = (folder_ / "phone2").string();
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  std::vector<std::string> paths;
  for (const char* name : {"preboot", "boot1a", "boot1b", "boot2"}) {
    paths.push_back((folder_ / (std::string(name) + ".img")).string());
    std::ofstream(paths.back(), std::ios::binary) << std::string(3000, name[4]);
  }
  EXPECT_EQ(Run({"--port", options.linkPath.c_str(), "--nandpreboot", paths[0].c_str(), "--boot1a",
                 paths[1].c_str(), "--boot1b", paths[2].c_str(), "--boot2", paths[3].c_str(),
                 "bootloader"}),
            EXIT_OK)
      << err_.Text();
  std::vector<std::uint8_t> boot2(3000);
  ASSERT_TRUE(phone.Nand().ReadData(0x00020000, boot2));
  EXPECT_EQ(boot2[2999], static_cast<std::uint8_t>('2'));
  phone.Stop();
}

// A typo in an image path must not cost a phone power cycle: the run stops before the port is
// opened, with the download's own message, and says which file it was.
TEST_F(CliTest, AFileTheDownloadWouldRefuseStopsTheRunBeforeThePortIsOpened) {
  const std::string absent = (folder_ / "FUSE_APPS.imgg").string();
  EXPECT_EQ(Run({"--port", "/dev/veska-no-such-port", "--apps", absent.c_str(), "connect",
                 "download", "apps"}),
            EXIT_INPUT_REFUSED);
  EXPECT_EQ(out_.Text(), "");  // not even "Try to open"
  EXPECT_NE(err_.Text().find("[VeskaDownloader] file open error! Check the APPS file location\n"),
            std::string::npos)
      << err_.Text();
  EXPECT_NE(err_.Text().find("APPS file refused before connecting: " + absent), std::string::npos);
  // An empty file is out of range for every image, as the download would say.
  const std::string empty = (folder_ / "patch.img").string();
  std::ofstream(empty, std::ios::binary).close();
  EXPECT_EQ(Run({"--port", "/dev/veska-no-such-port", "--patch", empty.c_str(), "connect",
                 "download", "patch"}),
            EXIT_INPUT_REFUSED);
  EXPECT_EQ(out_.Text(), "");
  // The same for a file explore put would add.
  EXPECT_EQ(
      Run({"--port", "/dev/veska-no-such-port", "connect", "explore", "put", absent.c_str(), "/"}),
      EXIT_INPUT_REFUSED);
  EXPECT_EQ(out_.Text(), "");
  EXPECT_NE(err_.Text().find("[VeskaDownloader] Fail to open resource file!\n"), std::string::npos)
      << err_.Text();
}

// Usage errors say what would have been valid; rates are taken as technicians write them.
TEST_F(CliTest, UsageErrorsNameTheValidWordsAndRatesAreTakenWrittenOut) {
  EXPECT_EQ(Run({"download", "al-bin"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find("unknown selection 'al-bin'; SELECTION is one of: "),
            std::string::npos)
      << err_.Text();
  EXPECT_NE(err_.Text().find("all-bin-fs"), std::string::npos);
  EXPECT_EQ(Run({"checksum", "appz"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find("unknown image kind 'appz'; KIND is one of: apps, "),
            std::string::npos)
      << err_.Text();
  EXPECT_EQ(err_.Text().find("all-bin, ", err_.Text().find("KIND is one of")), std::string::npos);
  // No port chosen anywhere: say how to choose one instead of trying "COM0".
  EXPECT_EQ(Run({"connect"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find("choose a port (--port COMn or a device path)"), std::string::npos);
  EXPECT_EQ(out_.Text(), "");

  for (const auto& [given, caption] :
       std::vector<std::pair<const char*, std::string>>{{"921600", "921K"},
                                                        {"921.6k", "921K"},
                                                        {"921k", "921K"},
                                                        {"3000000", "3M"},
                                                        {"3m", "3M"},
                                                        {"115200", "115K"},
                                                        {"460800", "460K"}}) {
    CliArguments arguments;
    EXPECT_EQ(Parse({"--baud", given, "connect"}, arguments), -1) << given;
    EXPECT_EQ(arguments.baud, caption) << given;
  }
  CliArguments arguments;
  EXPECT_EQ(Parse({"--baud", "1843200", "connect"}, arguments), EXIT_USAGE);
  EXPECT_EQ(Parse({"--version"}, arguments), EXIT_OK);
}

// --timeout bounds every wait for the phone, the boot signal's too: a phone that never comes
// ends the run with the time-out's own status instead of 27 minutes of listening.
TEST_F(CliTest, TheTimeOutBoundsTheWaitForTheBootSignal) {
  PtyPair silent;
  EXPECT_EQ(Run({"--port", silent.SlavePath().c_str(), "--timeout", "1", "connect"}),
            EXIT_NO_ANSWER);
  EXPECT_NE(out_.Text().find("Listen for the BOOT signal\t\t\t> > > FAIL\n"), std::string::npos)
      << out_.Text();
  EXPECT_NE(err_.Text().find("START ended: no answer from the phone within 1 s (waiting for its "
                             "boot signal"),
            std::string::npos)
      << err_.Text();
}

TEST_F(CliTest, DownloadWithoutAConnectionFails) {
  const std::string apps = (folder_ / "APPS.img").string();
  std::ofstream(apps, std::ios::binary) << "apps";
  EXPECT_EQ(Run({"--apps", apps.c_str(), "download", "apps"}), EXIT_STEP_FAILED);
  EXPECT_NE(err_.Text().find("connect first"), std::string::npos) << err_.Text();
}

// A release folder as the browse buttons expect it, written into the phone after a connect.
TEST_F(CliTest, ConnectThenDownloadAllBinaryFilesFromARelease) {
  const auto release = folder_ / "release";
  std::filesystem::create_directories(release / "APPS");
  std::filesystem::create_directories(release / "COMMS");
  const std::pair<const char*, std::size_t> files[] = {
      {"APPS/FUSE_APPS.img", 70000},    {"COMMS/COMMS.img", 40000},
      {"COMMS/sysparm_ind.img", 65536}, {"COMMS/sysparm_dep.img", 1000},
      {"COMMS/patch_dsp.img", 65535},   {"COMMS/spinner_v2.bin", 3000},
  };
  for (const auto& [name, size] : files) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + size);
    std::ofstream(release / name, std::ios::binary).write(data.data(), static_cast<long>(size));
  }
  sim::PhoneOptions options;
  options.linkPath = (folder_ / "phone").string();
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  EXPECT_EQ(Run({"--port", options.linkPath.c_str(), "--baud", "3M", "--yes", "--release",
                 release.c_str(), "connect", "download", "all-bin", "--default-cal", "--reboot"}),
            EXIT_OK)
      << err_.Text();
  const std::string out = out_.Text();
  EXPECT_NE(out.find("\n  * NAND : Spinner FW Download"), std::string::npos) << out;
  EXPECT_NE(out.find("\n  * TOTAL Elapsed Time : "), std::string::npos) << out;
  EXPECT_NE(err_.Text().find("[  NOTICE  ] Download Finished\n"), std::string::npos);
  // The spinner, found by its pattern, is in the flash at its address.
  std::vector<std::uint8_t> flash(3000);
  ASSERT_TRUE(phone.Nand().ReadData(0x001E0000, flash));
  EXPECT_EQ(flash[1], static_cast<std::uint8_t>(7 + 3000));
  EXPECT_TRUE(
      phone.WaitFor([](const auto& ev) { return sim::HasEvent(ev, sim::EventKind::Reboot); }, 2s));
  phone.Stop();
}

// The read-back after a download: it comes after the download's own lines and before the reboot
// request, and a byte the flash holds differently fails the run, named by its address.
class CliVerifyTest : public CliTest {
 protected:
  // An APPS image of two transfer blocks, the second short.
  std::string WriteApps() {
    const std::string path = (folder_ / "apps.img").string();
    std::string data(70000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 70000);
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<long>(data.size()));
    return path;
  }
};

TEST_F(CliVerifyTest, AnImageReadBackWholeIsOkBeforeTheReboot) {
  sim::PhoneOptions options;
  options.linkPath = (folder_ / "phone").string();
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  const std::string apps = WriteApps();
  EXPECT_EQ(Run({"--port", options.linkPath.c_str(), "--apps", apps.c_str(), "connect", "download",
                 "apps", "--reboot", "--verify"}),
            EXIT_OK)
      << err_.Text();
  const std::string out = out_.Text();
  const std::size_t completed = out.find("\n      Download  Completed");
  const std::size_t verified = out.find("\n      Verify APPS\t\t\t\t> > > OK\n");
  ASSERT_NE(verified, std::string::npos) << out;
  EXPECT_LT(completed, verified);
  EXPECT_NE(err_.Text().find("[  NOTICE  ] Download Finished\n"), std::string::npos);
  ASSERT_TRUE(
      phone.WaitFor([](const auto& ev) { return sim::HasEvent(ev, sim::EventKind::Reboot); }, 2s));
  // Exactly the image rounded up to whole pages, from its address, before the reboot request.
  const std::vector<sim::Event> events = phone.Events();
  auto at = [&events](sim::EventKind kind) {
    return std::find_if(events.begin(), events.end(),
                        [kind](const auto& e) { return e.kind == kind; });
  };
  const auto request = at(sim::EventKind::DumpRequest);
  ASSERT_NE(request, events.end());
  EXPECT_EQ(request->code, 0);
  EXPECT_EQ(request->address, 0x00C00000u);
  EXPECT_EQ(request->length, 35u * 2048);
  EXPECT_LT(request, at(sim::EventKind::Reboot));
  phone.Stop();
}

TEST_F(CliVerifyTest, AByteStoredDamagedFailsTheRunWithItsAddressAndBothBytes) {
  sim::PhoneOptions options;
  options.linkPath = (folder_ / "phone").string();
  // The middle byte of the second block (4,464 bytes long): offset 65,536 + 2,232.
  options.faults.push_back(*sim::ParseFault("corrupt@block#1"));
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  const std::string apps = WriteApps();
  EXPECT_EQ(Run({"--port", options.linkPath.c_str(), "--apps", apps.c_str(), "connect", "download",
                 "apps", "--reboot", "--verify"}),
            EXIT_STEP_FAILED);
  const std::string out = out_.Text();
  EXPECT_NE(out.find("\n      Download  Completed"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with(
      "\n      Verify APPS\t\t\t\t> > > Failed at 0x00C108B8: file 0x78, flash 0x22\n"))
      << out;
  EXPECT_EQ(err_.Text().find("Download Finished"), std::string::npos) << err_.Text();
  // The run's last word on standard error, where the log line does not scroll it away.
  EXPECT_NE(err_.Text().find("[Failure] Verify APPS Failed at 0x00C108B8: file 0x78, flash 0x22\n"),
            std::string::npos)
      << err_.Text();
  phone.Stop();
  EXPECT_FALSE(sim::HasEvent(phone.Events(), sim::EventKind::Reboot));
}

// A phone that falls silent in the middle of an image ends the run with the time-out's status,
// so that a bench script can tell it from a refusal.
TEST_F(CliVerifyTest, APhoneFallingSilentMidImageEndsTheRunAsNoAnswer) {
  sim::PhoneOptions options;
  options.linkPath = (folder_ / "phone").string();
  options.faults.push_back(*sim::ParseFault("silence@block#1"));
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  const std::string apps = WriteApps();
  EXPECT_EQ(Run({"--port", options.linkPath.c_str(), "--timeout", "1", "--apps", apps.c_str(),
                 "connect", "download", "apps"}),
            EXIT_NO_ANSWER);
  EXPECT_NE(err_.Text().find("Download ended: no answer from the phone within 1 s"),
            std::string::npos)
      << err_.Text();
  phone.Stop();
}

}  // namespace
}  // namespace veska::cli

namespace veska::cli {
namespace {

class CliDumpTest : public CliTest {};

TEST_F(CliDumpTest, DumpNamesItsAreaAndSaysWhatAnIncompleteFileHolds) {
  EXPECT_EQ(Run({"--port", "/dev/veska-no-such-port", "connect", "dump", "Boot3", "x.hex"}),
            EXIT_USAGE);
  EXPECT_NE(err_.Text().find("AREA is one of: Code(Nand1G), TFS(Nand2G), APPS, COMMS, "
                             "Sysparm_ind, Sysparm_dep, DSP patch, Spinner FW, Nandpreboot, "
                             "Boot1a, Boot1b, Boot2, LFS\n"),
            std::string::npos)
      << err_.Text();
  EXPECT_EQ(err_.Text().find("Comport"), std::string::npos);  // the port was never touched

  sim::PhoneOptions options;
  options.linkPath = (folder_ / "phone").string();
  // Chunks count within one dump: the first dump (two chunks) passes, the second loses its
  // fourth.
  options.faults.push_back(*sim::ParseFault("corrupt@chunk#3"));
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  std::vector<std::uint8_t> flash(0x4000);
  for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<std::uint8_t>(i * 31 + 7);
  ASSERT_TRUE(phone.Nand().WriteData(0, flash));
  const std::string preboot = (folder_ / "preboot.hex").string();
  const std::string boot1a = (folder_ / "boot1a.hex").string();
  EXPECT_EQ(Run({"--port", options.linkPath.c_str(), "connect", "dump", "Nandpreboot",
                 preboot.c_str(), "dump", "Boot1a", boot1a.c_str()}),
            EXIT_STEP_FAILED);
  phone.Stop();

  std::ifstream in(preboot, std::ios::binary);
  const std::vector<std::uint8_t> whole((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(whole, std::vector<std::uint8_t>(flash.begin(), flash.begin() + 0x1000));
  EXPECT_NE(out_.Text().find("Dump Success!!\n"), std::string::npos) << out_.Text();
  EXPECT_NE(err_.Text().find("[  NOTICE  ] Dump Finished"), std::string::npos) << err_.Text();
  EXPECT_NE(out_.Text().find("Dump fail!\n"), std::string::npos) << out_.Text();
  EXPECT_EQ(std::filesystem::file_size(boot1a), 3u * 2048);
  EXPECT_NE(err_.Text().find(boot1a + " holds 6144 bytes: the dump of Boot1a is incomplete\n"),
            std::string::npos)
      << err_.Text();
}

}  // namespace
}  // namespace veska::cli
