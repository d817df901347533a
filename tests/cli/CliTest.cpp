#include "cli/Captured.h"
#include "cli/CliSession.h"
#include "cli/Interrupt.h"
#include "link/PtyPair.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "download/ImageTransfer.h"
#include "dump/ReadBackVerify.h"
#include "records/Stores.h"
#include "sim/VirtualPhone.h"
#include "target/Bootloader.h"
#include "target/ExpectedLogs.h"

#include <fstream>
#include <sstream>

namespace veska::cli {
namespace {

using namespace veska::station;

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
  // `prepare`, when given, sees the session before it runs.
  int Run(std::vector<const char*> words,
          const std::function<void(CliSession&)>& prepare = nullptr) {
    CliArguments arguments;
    const std::string settings = (folder_ / "settings.ini").string();
    words.insert(words.begin(), {"--settings", settings.c_str()});
    if (int status = Parse(words, arguments); status >= 0) return status;
    CliSession session(std::move(arguments), out_.File(), err_.File());
    session.Host().SetSleepScale(0);
    if (prepare) prepare(session);
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
  EXPECT_EQ(Parse({"--baud", "999K", "connect"}, arguments), EXIT_USAGE);
  // Each says what was wrong once, in words a user can act on.
  EXPECT_NE(err_.Text().find("--baud: 999K is no rate of 115K, 460K, 921K, 3M\n"),
            std::string::npos)
      << err_.Text();
  EXPECT_NE(err_.Text().find("--timeout: Value soon not in range 0 to 86400\n"), std::string::npos)
      << err_.Text();
  EXPECT_EQ(Run({"connect", "fly"}), EXIT_USAGE);
  EXPECT_EQ(Run({"--port", "COM0", "connect"}), EXIT_USAGE);
  EXPECT_EQ(Run({"--port", "com51", "connect"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find("no such port com51 (COM1 ... COM50, or a device path)"),
            std::string::npos)
      << err_.Text();
  EXPECT_NE(err_.Text().find("unknown step 'fly'"), std::string::npos);
  // A unit's serial and an operator's name are one short line each; a serial is one phone's.
  EXPECT_EQ(Parse({"--unit-serial", "SN\x1b[2J", "connect"}, arguments), EXIT_USAGE);
  EXPECT_EQ(Parse({"--operator", std::string(65, 'a').c_str(), "connect"}, arguments), EXIT_USAGE);
  EXPECT_EQ(
      Parse({"--unit-serial", "SN1", "--port", "COM3", "--port", "COM4", "connect"}, arguments),
      EXIT_USAGE);
  EXPECT_NE(err_.Text().find("--unit-serial: the serial has a control character\n"),
            std::string::npos)
      << err_.Text();
  EXPECT_NE(err_.Text().find("--operator: the name is longer than 64 characters\n"),
            std::string::npos);
  EXPECT_NE(err_.Text().find("veska-cli: --unit-serial names one phone's unit; a bench asks for "
                             "each phone's with --ask-serial\n"),
            std::string::npos);
  if (::isatty(STDIN_FILENO) != 1) {
    CliArguments asking;
    EXPECT_EQ(Parse({"--ask-serial", "--port", "COM3", "connect"}, asking), EXIT_USAGE);
    EXPECT_NE(err_.Text().find("veska-cli: --ask-serial asks on the terminal, and there is none\n"),
              std::string::npos);
  }
  CliArguments scanned;
  EXPECT_EQ(Parse({"--unit-serial", " SN1\r\n", "--operator", "Ana", "connect"}, scanned), -1);
  EXPECT_EQ(scanned.unitSerial, "SN1");
  EXPECT_EQ(scanned.operatorName, "Ana");
  EXPECT_EQ(out_.Text(), "");
}

// A unit's history, oldest first, from every station that served it, with who and from which
// release; a unit brought back after a pass is pointed out; an unknown unit is no error.
TEST_F(CliTest, RecordsOfAUnitShowItsHistoryAndAUnitServedAgainAfterAPass) {
  const std::string path = (folder_ / "line.db").string();
  {
    const auto store = records::MakeSqliteStore(path);
    ASSERT_EQ(store->Open(), records::RECORDS_OK);
    const auto put = [&store](const char* id, const char* station, const char* port,
                              const char* started, const char* result, const char* cause,
                              const char* unit) {
      records::Record r;
      r.id = id;
      r.station = station;
      r.port = port;
      r.started = started;
      r.result = result;
      r.cause = cause;
      r.release = "/rel/7.1";
      r.unitSerial = unit;
      r.operatorName = std::string(station) == "bench-2" ? "Ana" : "";
      ASSERT_EQ(store->Put(r), records::RECORDS_OK) << store->Problem();
    };
    put("b2-1", "bench-2", "A1", "2026-12-09T09:00:00Z", "passed", "", "SN1");
    put("b1-1", "bench-1", "COM5", "2026-12-09T08:00:00Z", "failed", "no-reply", "SN1");
    put("b1-2", "bench-1", "COM6", "2026-12-09T08:30:00Z", "passed", "", "SN2");
    put("b1-3", "bench-1", "COM5", "2026-12-10T10:00:00Z", "passed", "", "SN1");
  }
  EXPECT_EQ(Run({"--records", path.c_str(), "records", "--unit", "SN1\r\n"}), EXIT_OK)
      << err_.Text();
  const std::string text = out_.Text();
  EXPECT_TRUE(
      text.starts_with("2026-12-09T08:00:00Z\tfailed (no-reply)\tbench-1\tCOM5\t/rel/7.1\t-\n"
                       "2026-12-09T09:00:00Z\tpassed\tbench-2\tA1\t/rel/7.1\tAna\n"
                       "2026-12-10T10:00:00Z\tpassed\tbench-1\tCOM5\t/rel/7.1\t-\n\n"))
      << text;
  EXPECT_NE(text.find("\nunit SN1: served again after a pass (3 records)\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("SN2"), std::string::npos);
  // The whole line's summary points it out as well.
  EXPECT_EQ(Run({"--records", path.c_str(), "--json", "records"}), EXIT_OK);
  EXPECT_NE(out_.Text().find(R"("served_again":[{"unit_serial":"SN1","records":3}])"),
            std::string::npos)
      << out_.Text();
  EXPECT_EQ(Run({"--records", path.c_str(), "records", "--unit", "SN9"}), EXIT_OK);
  EXPECT_NE(err_.Text().find("veska-cli: no records of unit SN9 in "), std::string::npos)
      << err_.Text();
}

// The program's options are taken after the steps as before them, while the words a step reads
// itself stay the step's: its own options of the same name, a FILE that begins with "--".
TEST_F(CliTest, OptionsAreTakenAmongTheStepsButAStepKeepsItsOwnWords) {
  const auto parsed = [this](std::vector<const char*> words) {
    CliArguments arguments;
    EXPECT_EQ(Parse(std::move(words), arguments), -1) << err_.Text();
    return arguments;
  };
  CliArguments a = parsed({"records", "--release", "DIR", "--json"});
  EXPECT_TRUE(a.json);
  EXPECT_EQ(a.release, "");
  EXPECT_EQ(a.steps, (std::vector<std::string>{"records", "--release", "DIR"}));
  a = parsed(
      {"--port", "COM5", "records", "--port", "COM6", "--json", "--station", "S", "--failed"});
  EXPECT_EQ(a.ports, std::vector<std::string>{"COM5"});
  EXPECT_EQ(a.station, "");
  EXPECT_EQ(a.steps,
            (std::vector<std::string>{"records", "--port", "COM6", "--station", "S", "--failed"}));
  a = parsed({"connect", "--port", "COM7", "dump", "APPS", "--json", "download", "apps", "--verify",
              "--baud=3M", "--yes", "ports"});
  EXPECT_EQ(a.ports, std::vector<std::string>{"COM7"});
  EXPECT_EQ(a.baud, "3M");
  EXPECT_TRUE(a.yes);
  EXPECT_FALSE(a.json);
  EXPECT_EQ(a.steps, (std::vector<std::string>{"connect", "dump", "APPS", "--json", "download",
                                               "apps", "--verify", "ports"}));
  a = parsed({"checksum", "--file", "--release", "--release", "R", "--apps", "a.img"});
  EXPECT_EQ(a.release, "R");
  EXPECT_EQ(a.images.at("apps"), "a.img");
  EXPECT_EQ(a.steps, (std::vector<std::string>{"checksum", "--file", "--release"}));
  // A word that is no option of the program is left for the step to refuse; an option's own
  // check still holds where it stands.
  EXPECT_EQ(Run({"connect", "--verbose"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find("veska-cli: unknown option '--verbose' (try --help)\n"),
            std::string::npos)
      << err_.Text();
  EXPECT_EQ(Run({"ports", "--baud", "9600"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find("--baud: 9600 is no rate of 115K, 460K, 921K, 3M\n"),
            std::string::npos)
      << err_.Text();
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

  // Both streams into one file, as `>run.log 2>&1` makes them: the fields and progress lines
  // stand between the log's lines, never inside one, so taking them out leaves the log whole.
  options.linkPath = (folder_ / "phone2").string();
  sim::VirtualPhone second(options);
  ASSERT_EQ(second.Start(), 0);
  Captured both;
  std::FILE* bothErr = ::fdopen(::dup(::fileno(both.File())), "w");
  ASSERT_NE(bothErr, nullptr);
  {
    CliArguments arguments;
    ASSERT_LT(Parse({"--port", options.linkPath.c_str(), "--baud", "3M", "--link", "uart",
                     "--progress", "plain", "connect"},
                    arguments),
              0);
    CliSession session(std::move(arguments), both.File(), bothErr);
    session.Host().SetSleepScale(0);
    EXPECT_EQ(session.Run(), EXIT_OK);
  }
  std::fclose(bothErr);
  std::istringstream lines(both.Text());
  std::string log;
  int notes = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("Flash ID: ") || line.starts_with("progress: ") ||
        line.starts_with("Loader payloads: ")) {
      ++notes;
    } else {
      log += line + "\n";
    }
  }
  EXPECT_GE(notes, 12);
  EXPECT_EQ(log, target::testing::FullUartConnectionLog(options.linkPath));
  second.Stop();
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
  // The loader set is named for the run that would send it, not for the checksum.
  const std::string err = err_.Text();
  EXPECT_NE(err.find("built-in stand-ins"), std::string::npos) << err;
  EXPECT_EQ(err.find("built-in stand-ins"), err.rfind("built-in stand-ins")) << err;
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
  // Scripts take the result from standard output, as words or as one JSON document: a query
  // has no summary line after it.
  EXPECT_EQ(out_.Text(), "0xCBF43926 9 bytes " + path + "\n");
  EXPECT_EQ(Run({"--json", "checksum", "--file", path.c_str()}), EXIT_OK);
  const std::string json = out_.Text().substr(out_.Text().find('\n') + 1);
  EXPECT_EQ(json, "{\"path\":\"" + path + "\",\"size\":9,\"crc32\":\"0xCBF43926\"}\n");
  // The fixture's settings file was never written: the run says it took the defaults.
  EXPECT_NE(err.find("settings.ini does not exist; the defaults are used\n"), std::string::npos)
      << err;
  EXPECT_EQ(Run({"checksum", "--file", (folder_ / "absent").c_str()}), EXIT_INPUT_REFUSED);
  EXPECT_NE(err_.Text().find("Fail to open bin file!\nveska-cli: " + (folder_ / "absent").string() +
                             ": No such file or directory\n"),
            std::string::npos)
      << err_.Text();
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
  // The download replaces the log's text with its heading, which the console must not lose.
  EXPECT_NE(out_.Text().find("\n  * Bootloader Download start!!!!\n\n  * NAND Flash Driver "
                             "Download\n"),
            std::string::npos)
      << out_.Text();
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
  EXPECT_NE(err_.Text().find("APPS file refused before connecting: " + absent +
                             ": No such file or directory (--apps FILE gives it)\n"),
            std::string::npos)
      << err_.Text();
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
  // A file system's listing, and the folder a dump or a copy would write to, are examined too.
  const std::string tfs = (folder_ / "lonely.tfs").string();
  std::ofstream(tfs, std::ios::binary) << std::string(4096, 'T');
  EXPECT_EQ(Run({"--port", "/dev/veska-no-such-port", "--tfs", tfs.c_str(), "connect", "download",
                 "tfs"}),
            EXIT_INPUT_REFUSED);
  EXPECT_NE(err_.Text().find("veska-cli: TFS listing refused before connecting: " +
                             (folder_ / "lonely.cfg").string()),
            std::string::npos)
      << err_.Text();
  const std::string nowhere = (folder_ / "no-such-folder" / "apps.bin").string();
  EXPECT_EQ(Run({"--port", "/dev/veska-no-such-port", "connect", "dump", "APPS", nowhere.c_str()}),
            EXIT_INPUT_REFUSED);
  EXPECT_NE(err_.Text().find("[VeskaDownloader] Internal Error! (file creation)\nveska-cli: " +
                             nowhere + " refused before connecting: its folder "),
            std::string::npos)
      << err_.Text();
  EXPECT_EQ(out_.Text(), "");
  // A release folder gives the files at their usual places, the two the window's browse
  // buttons leave to the user included.
  const auto release = folder_ / "release";
  std::filesystem::create_directories(release / "APPS");
  std::ofstream(release / "Rsrc.img", std::ios::binary) << "123456789";
  std::ofstream(release / "APPS" / "nandpreboot.img", std::ios::binary) << "123456789";
  for (const char* kind : {"rsrc", "nandpreboot"}) {
    EXPECT_EQ(Run({"--release", release.c_str(), "checksum", kind}), EXIT_OK) << kind;
  }
  EXPECT_NE(out_.Text().find("0xCBF43926 9 bytes " + (release / "Rsrc.img").string() + "\n"),
            std::string::npos)
      << out_.Text();
  EXPECT_NE(out_.Text().find((release / "APPS" / "nandpreboot.img").string()), std::string::npos);
}

// Usage errors say what would have been valid; rates are taken as technicians write them.
TEST_F(CliTest, UsageErrorsNameTheValidWordsAndRatesAreTakenWrittenOut) {
  EXPECT_EQ(Run({"download", "al-bin"}), EXIT_USAGE);
  EXPECT_NE(err_.Text().find(
                "unknown selection 'al-bin' (did you mean 'all-bin'?); SELECTION is one of: "),
            std::string::npos)
      << err_.Text();
  EXPECT_NE(err_.Text().find("all-bin-fs"), std::string::npos);
  EXPECT_EQ(Run({"checksum", "appz"}), EXIT_USAGE);
  EXPECT_NE(
      err_.Text().find("unknown image kind 'appz' (did you mean 'apps'?); KIND is one of: apps, "),
      std::string::npos)
      << err_.Text();
  EXPECT_EQ(err_.Text().find("all-bin, ", err_.Text().find("KIND is one of")), std::string::npos);
  // A mistyped word names what was probably meant; an area is taken case aside.
  const std::pair<std::vector<std::string>, std::string> mistakes[] = {
      {{"conect"}, "unknown step 'conect' (did you mean 'connect'?)"},
      {{"--badopt"}, "unknown option '--badopt'"},
      {{"connect", "download", "all-bin-f"}, "(did you mean 'all-bin-fs'?)"},
      {{"connect", "download", "apps", "--verfy"}, "(did you mean '--verify'?)"},
      {{"connect", "dump", "APS", "f"}, "unknown dump area 'APS' (did you mean 'APPS'?)"},
      {{"connect", "dump", "apps"}, "dump apps needs a FILE"},
      {{"checksum", "xyzzy"}, "unknown image kind 'xyzzy'; KIND is one of:"},  // nothing near
      {{"slots"}, "slots needs learn"},
      {{"slots", "learn", "--count", "0"}, "--count takes a number from 1 to 999, not '0'"},
      {{"slots", "learn", "--count", "1000"}, "not '1000'"},
      {{"slots", "learn", "--cout", "2"}, "slots learn takes --count N and --write, not '--cout'"},
      {{"records", "--htm", "r.html"}, "records has no option '--htm' (did you mean '--html'?)"},
      {{"records", "--pending", "--csv", "r.csv"}, "--html and --csv take the records"},
      {{"records", "--unit", " \r\n"}, "records --unit takes a unit serial; ' \r\n' is empty"},
      {{"records", "--unit", "SN\x07"}, "' has a control character"},
  };
  for (const auto& [words, said] : mistakes) {
    const std::string error = PlanSteps(words).error;
    EXPECT_NE(error.find(said), std::string::npos) << error;
  }
  EXPECT_EQ(PlanSteps(std::vector<std::string>{"connect", "dump", "apps", "f"}).error, "");
  // "STEP --help" explains the step instead of refusing the word.
  CliArguments helped;
  EXPECT_EQ(Parse({"connect", "dump", "--help"}, helped), EXIT_OK);
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

  // The version, the loader programs a run would send, and where a technician puts the real
  // ones: beside the program first, then the installed system's folder.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Parse({"--version"}, arguments), EXIT_OK);
  const std::string version = ::testing::internal::GetCapturedStdout();
  const std::string beside =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "payloads").string();
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = version.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(version.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), 3u) << version;
  EXPECT_TRUE(lines[0].starts_with("veska-cli ")) << version;
  EXPECT_TRUE(lines[1].starts_with("Loader payloads: ")) << version;
  EXPECT_TRUE(lines[2].starts_with("Loader folders: " + beside + ", then /")) << version;
  EXPECT_TRUE(lines[2].ends_with("/share/veska-downloader/payloads")) << version;
}

// Each cause an operation reports, mapped to the exit-status table a bench script acts on: a
// port that failed while open is the phone lost mid-exchange, not a port that cannot be had.
TEST(ExitStatusTest, EachCauseMapsToTheTable) {
  using app::Cause;
  using link::PortProblem;
  const auto failed = [](Cause cause) {
    return app::OperationResult::Ended(app::OperationId::Download, app::Outcome::Failed, 1, {},
                                       std::move(cause));
  };
  const std::pair<app::OperationResult, int> cases[] = {
      {app::OperationResult::Ended(app::OperationId::Download, app::Outcome::Written), EXIT_OK},
      {failed(Cause::OfPort({PortProblem::InUse, "in use"})), EXIT_PORT_UNAVAILABLE},
      {failed(Cause::OfPort({PortProblem::NotSerial, "no tty"})), EXIT_PORT_UNAVAILABLE},
      {failed(Cause::OfPort({PortProblem::LineFailed, "hung up"})), EXIT_STEP_FAILED},
      {failed(Cause::NoReplyTo("the mount reply", 5s)), EXIT_NO_ANSWER},
      {failed(Cause::File(app::ImageKind::Apps, app::FileRule::ReadFailed, "a")),
       EXIT_INPUT_REFUSED},
      {failed(Cause::Refused(0x78)), EXIT_STEP_FAILED},
      {failed(Cause::Difference(app::ImageKind::Apps, 0xC00000, 1, 2)), EXIT_STEP_FAILED},
      {failed({}), EXIT_STEP_FAILED},
      {app::OperationResult::Ended(app::OperationId::Download, app::Outcome::Cancelled),
       EXIT_STEP_FAILED},
  };
  for (const auto& [result, status] : cases) {
    EXPECT_EQ(ExitStatusFor(result), status) << app::CauseKindName(result.cause.kind);
  }
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
  const std::string err = err_.Text();
  EXPECT_NE(err.find("[  NOTICE  ] Download Finished\n"), std::string::npos);
  // The read-back's bar has a heading, and its time a line of its own outside the log's total.
  const std::size_t heading = err.find("verify: Reading APPS back from the flash to compare\n");
  const std::size_t verdict = err.find("verify: Read-back of APPS: matches the files (");
  EXPECT_LT(heading, verdict) << err;
  EXPECT_NE(verdict, std::string::npos) << err;
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

// Whatever a step waits for, a phone that stays silent ends the run as no answer, and a wrong
// answer as a failure that says what came: never one taken for the other.
TEST_F(CliVerifyTest, EachStepTellsASilentPhoneFromAWrongAnswer) {
  const std::string apps = WriteApps();
  const std::string file = (folder_ / "f.bin").string();
  std::ofstream(file, std::ios::binary) << "file";
  const std::string copy = (folder_ / "copy.bin").string();
  std::vector<std::string> boot;
  for (const char* name : {"nandpreboot", "boot1a", "boot1b", "boot2"}) {
    boot.push_back((folder_ / (std::string(name) + ".img")).string());
    std::ofstream(boot.back(), std::ios::binary) << std::string(3000, name[5]);
  }
  struct Case {
    const char* fault;  // the phone's, or with "fs:" its file system's
    std::vector<const char*> steps;
    int status;
    std::string said;  // on standard error
  };
  const std::vector<Case> cases = {
      {"wrong@erase=0x78",
       {"connect", "erase-nand"},
       EXIT_STEP_FAILED,
       "veska-cli: NAND Erase failed: the phone answered 0x78 instead of confirming the erase "
       "(0xAB)\n"},
      {"wrong@erase=0x73",
       {"connect", "erase-bootloader"},
       EXIT_STEP_FAILED,
       "veska-cli: Bootloader Erase failed: the phone answered 0x73 instead of confirming the "
       "erase (0xAB)\n"},
      {"wrong@erase=0x00", {"connect", "erase-nand"}, EXIT_STEP_FAILED, "answered 0x00 instead"},
      {"silence@erase", {"connect", "erase-nand"}, EXIT_NO_ANSWER, "NAND Erase ended: no answer"},
      {"fs:silence@status",
       {"connect", "format", "explore", "put", file.c_str(), "/", "explore", "stat", "/f.bin"},
       EXIT_NO_ANSWER,
       "TFS Explorer ended: no answer"},
      {"fs:silence@dir-end",
       {"connect", "format", "explore", "ls", "/"},
       EXIT_NO_ANSWER,
       "TFS Explorer ended: no answer"},
      {"fs:silence@read-file",
       {"connect", "format", "explore", "put", file.c_str(), "/", "explore", "get", "/f.bin",
        copy.c_str()},
       EXIT_NO_ANSWER,
       "TFS Explorer ended: no answer"},
      {"silence@chunk#0",
       {"--apps", apps.c_str(), "connect", "download", "apps", "--verify"},
       EXIT_NO_ANSWER,
       "Download ended: no answer"},
      {"silence@ready",
       {"--nandpreboot", boot[0].c_str(), "--boot1a", boot[1].c_str(), "--boot1b", boot[2].c_str(),
        "--boot2", boot[3].c_str(), "bootloader"},
       EXIT_NO_ANSWER,
       "D / L Bootloader ended: no answer"},
  };
  for (const Case& c : cases) {
    sim::PhoneOptions options;
    options.linkPath = (folder_ / "phone").string();
    const std::string_view fault = c.fault;
    if (!fault.starts_with("fs:")) options.faults.push_back(*sim::ParseFault(fault));
    sim::VirtualPhone phone(options);
    if (fault.starts_with("fs:")) phone.InjectFileSystemFault(*sim::ParseFsFault(fault.substr(3)));
    ASSERT_EQ(phone.Start(), 0);
    std::vector<const char*> words = {"--port", options.linkPath.c_str(), "--yes"};
    words.insert(words.end(), c.steps.begin(), c.steps.end());
    const std::size_t before = err_.Text().size();
    // A short wait for the silent phone, set once the options have set theirs.
    const int status = Run(words, [](CliSession& session) {
      session.SetEventObserver([&session](const app::SessionEvent& event) {
        if (std::holds_alternative<app::StepBegan>(event)) {
          session.State().link.replyTimeout = 500ms;
        }
      });
    });
    const std::string err = err_.Text().substr(before);
    EXPECT_EQ(status, c.status) << c.fault << "\n" << err;
    EXPECT_NE(err.find(c.said), std::string::npos) << c.fault << "\n" << err;
    phone.Stop();
  }
}

}  // namespace
}  // namespace veska::cli

namespace veska::cli {
namespace {

using namespace veska::station;

// Ctrl-C as the watcher thread delivers it, while the run goes on and while the session is
// torn down after it.
class CliInterruptTest : public CliTest {
 protected:
  // Runs `words` with Ctrl-C once step `step` began and `moment` (on the Ctrl-C's thread) has
  // returned. The session is gone when this returns, and so is the Ctrl-C.
  int RunInterrupted(std::vector<const char*> words, std::size_t step,
                     const std::function<void()>& moment) {
    CliArguments arguments;
    const std::string settings = (folder_ / "settings.ini").string();
    words.insert(words.begin(), {"--settings", settings.c_str()});
    if (int status = Parse(words, arguments); status >= 0) return status;
    InterruptWatch watch;
    std::promise<void> began;
    std::promise<void> delivered;
    std::shared_future<void> deliveredFuture = delivered.get_future().share();
    std::thread ctrlC;
    int status = -1;
    {
      CliSession session(std::move(arguments), out_.File(), err_.File());
      session.Host().SetSleepScale(0);
      session.WatchInterrupts(watch);
      // The step does not end before the Ctrl-C came: a step that cannot be stopped (the
      // bootloader's writes) would otherwise race the Ctrl-C to the end of the run, and a
      // Ctrl-C after the run rightly changes nothing.
      session.SetEventObserver([&began, &deliveredFuture, step](const app::SessionEvent& event) {
        if (const auto* begun = std::get_if<app::StepBegan>(&event);
            begun && begun->index == step) {
          began.set_value();
        }
        if (const auto* ended = std::get_if<app::StepEnded>(&event);
            ended && ended->index == step) {
          static_cast<void>(deliveredFuture.wait_for(10s));
        }
      });
      ctrlC = std::thread([&watch, &began, &delivered, &moment] {
        if (began.get_future().wait_for(10s) == std::future_status::ready) {
          moment();
          watch.Deliver();
        }
        delivered.set_value();
      });
      status = session.Run();
    }
    ctrlC.join();
    return status;
  }

  static std::function<void()> After(std::chrono::milliseconds delay) {
    return [delay] { std::this_thread::sleep_for(delay); };
  }
  // Once the phone has recorded `count` events of the kinds the bootloader step makes it record.
  static std::function<void()> AfterPhoneEvents(const sim::VirtualPhone& phone, int count) {
    return [&phone, count] {
      phone.WaitFor(
          [count](const std::vector<sim::Event>& events) {
            return std::count_if(events.begin(), events.end(), [](const sim::Event& e) {
                     return e.kind == sim::EventKind::LoaderReceived ||
                            e.kind == sim::EventKind::ImageRequest ||
                            e.kind == sim::EventKind::ImageDone;
                   }) >= count;
          },
          10s);
    };
  }
};

TEST(InterruptWatchTest, ClearingTheHandlerWaitsForTheCallUnderWay) {
  InterruptWatch watch;
  std::promise<void> entered;
  std::promise<void> release;
  std::atomic<bool> left{false};
  watch.SetHandler([&] {
    entered.set_value();
    release.get_future().wait();
    left = true;
  });
  std::thread ctrlC([&watch] { watch.Deliver(); });
  entered.get_future().wait();
  // The handler's owner on its way out: it must not go while the handler runs.
  std::thread owner([&watch, &left] {
    watch.SetHandler({});
    EXPECT_TRUE(left.load());
  });
  std::this_thread::sleep_for(50ms);
  release.set_value();
  owner.join();
  ctrlC.join();
  watch.WaitHandled();
}

// The session goes while the Ctrl-C's Disconnect may still be under way: it must wait for it,
// and the run says it was interrupted only once Disconnect is over.
TEST_F(CliInterruptTest, CtrlCAtAnyMomentOfAStepEndsTheRunWith130) {
  const std::string boot = (folder_ / "boot.img").string();
  std::ofstream(boot, std::ios::binary) << std::string(3000, 'b');
  enum class Step { BootSignalWait, EraseNand, Bootloader };
  for (const Step which : {Step::BootSignalWait, Step::EraseNand, Step::Bootloader}) {
    // The bootloader step's moments: each loader and each image's request and end (3 + 4 * 2).
    const int moments = which == Step::Bootloader ? 11 : 5;
    for (int moment = 0; moment <= moments; ++moment) {
      sim::PhoneOptions options;
      options.linkPath = (folder_ / "phone").string();
      options.poweredOnAtStart = which != Step::BootSignalWait;
      options.eraseDuration = 5s;
      sim::VirtualPhone phone(options);
      ASSERT_EQ(phone.Start(), 0);
      std::vector<const char*> words = {"--port", options.linkPath.c_str()};
      std::size_t step = 0;
      // Bounded, so that a Ctrl-C that went unheeded fails the run instead of hanging it.
      if (which == Step::BootSignalWait) words.insert(words.end(), {"--timeout", "5", "connect"});
      if (which == Step::EraseNand) {
        words.insert(words.end(), {"connect", "erase-nand"});
        step = 1;
      }
      if (which == Step::Bootloader) {
        for (const char* option : {"--nandpreboot", "--boot1a", "--boot1b", "--boot2"}) {
          words.insert(words.end(), {option, boot.c_str()});
        }
        words.push_back("bootloader");
      }
      const std::size_t before = err_.Text().size();
      const std::function<void()> when =
          which == Step::Bootloader
              ? AfterPhoneEvents(phone, moment)
              : After(std::chrono::milliseconds(moment == 0 ? 0 : 1 << (2 * moment - 2)));
      EXPECT_EQ(RunInterrupted(words, step, when), EXIT_INTERRUPTED)
          << static_cast<int>(which) << " at moment " << moment;
      const std::string err = err_.Text().substr(before);
      EXPECT_TRUE(err.ends_with("\nveska-cli: interrupted\n"))
          << static_cast<int>(which) << " at moment " << moment << "\n"
          << err;
      phone.Stop();
    }
  }
}

// The file a dump leaves behind when Ctrl-C stops it is said to be incomplete, as when the dump
// fails.
TEST_F(CliInterruptTest, ADumpStoppedByCtrlCSaysWhatTheFileHolds) {
  sim::PhoneOptions options;
  options.linkPath = (folder_ / "phone").string();
  options.faults.push_back(*sim::ParseFault("silence@chunk#2"));
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  const std::string boot1a = (folder_ / "boot1a.hex").string();
  // Once two chunks have come and the phone withholds the third.
  const auto silent = [&phone] {
    phone.WaitFor([](const auto& ev) { return sim::HasEvent(ev, sim::EventKind::FaultInjected); },
                  10s);
  };
  EXPECT_EQ(RunInterrupted(
                {"--port", options.linkPath.c_str(), "connect", "dump", "Boot1a", boot1a.c_str()},
                1, silent),
            EXIT_INTERRUPTED);
  phone.Stop();
  EXPECT_EQ(std::filesystem::file_size(boot1a), 2u * 2048);
  EXPECT_NE(err_.Text().find("veska-cli: " + boot1a +
                             " holds 4096 bytes: the dump of Boot1a is incomplete\n"),
            std::string::npos)
      << err_.Text();
  EXPECT_TRUE(err_.Text().ends_with("\nveska-cli: interrupted\n")) << err_.Text();
}

class CliDumpTest : public CliTest {};

TEST_F(CliDumpTest, DumpNamesItsAreaAndSaysWhatAnIncompleteFileHolds) {
  EXPECT_EQ(Run({"--port", "/dev/veska-no-such-port", "connect", "dump", "Boot3", "x.hex"}),
            EXIT_USAGE);
  EXPECT_NE(err_.Text().find("AREA is one of (case aside): Code(Nand1G), TFS(Nand2G), APPS, COMMS, "
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
