#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/Captured.h"
#include "cli/CliSession.h"
#include "sim/VirtualPhone.h"

namespace veska::explorer {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// veska-cli's explore steps against the virtual phone, the way a bench script runs them.
class ExplorerCycleTest : public ::testing::TestWithParam<bool> {
 protected:
  ExplorerCycleTest() {
    folder_ = std::filesystem::temp_directory_path() /
              ("veska-explore-" + std::to_string(::getpid()) + (GetParam() ? "-usb" : "-uart"));
    std::filesystem::create_directories(folder_);
    options_.linkPath = (folder_ / "phone").string();
    options_.link = Usb() ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    options_.usbAppearDelay = 0ms;
  }
  ~ExplorerCycleTest() override { std::filesystem::remove_all(folder_); }

  // Switches the phone off and on again, so that the next run connects from its boot ROM.
  static void Restart(sim::VirtualPhone& phone) {
    phone.PowerOff();
    ASSERT_TRUE(phone.WaitForState(sim::PhoneState::PoweredOff, 5s));
    phone.PowerOn();
    ASSERT_TRUE(phone.WaitForState(sim::PhoneState::BootRom, 5s));
  }

  bool Usb() const { return GetParam(); }

  // One run of veska-cli: connect, then `steps`.
  int Run(std::vector<std::string> steps, bool yes = false) {
    const std::string settings = (folder_ / "settings.ini").string();
    std::vector<std::string> words{"veska-cli",
                                   "--settings",
                                   settings,
                                   "--port",
                                   options_.linkPath,
                                   "--link",
                                   Usb() ? "usb" : "uart",
                                   "--baud",
                                   "921K",
                                   "--timeout",
                                   "5",
                                   "connect"};
    if (yes) words.insert(words.begin() + 1, "--yes");
    words.insert(words.end(), steps.begin(), steps.end());
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    out_ = std::make_unique<cli::Captured>();
    err_ = std::make_unique<cli::Captured>();
    cli::CliArguments arguments;
    if (int status = cli::ParseArguments(static_cast<int>(argv.size()), argv.data(), arguments,
                                         err_->File());
        status >= 0) {
      return status;
    }
    cli::CliSession session(std::move(arguments), out_->File(), err_->File());
    session.Host().SetSleepScale(0);
    return session.Run();
  }

  std::filesystem::path Write(const std::string& name, const Bytes& bytes) {
    const auto path = folder_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static Bytes Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path folder_;
  sim::PhoneOptions options_;
  std::unique_ptr<cli::Captured> out_;
  std::unique_ptr<cli::Captured> err_;
};

TEST_P(ExplorerCycleTest, PutListGetStatRemove) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  Bytes data(20000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const auto source = Write("cycle.bin", data);
  const auto copy = folder_ / "copy.hex";

  ASSERT_EQ(Run({"format", "explore", "put", source.string(), "/", "explore", "ls", "/", "explore",
                 "get", "/cycle.bin", copy.string(), "explore", "stat", "/cycle.bin"}),
            cli::EXIT_OK)
      << out_->Text() << err_->Text();
  EXPECT_EQ(Read(copy), data);
  EXPECT_EQ(phone.FileSystem().files.at("/cycle.bin").bytes, data);
  const std::string out = out_->Text();
  EXPECT_NE(out.find("Add complete\r\nSearching the files (in '/')...\r\n cycle.bin\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("** Dump Completed! **"), std::string::npos) << out;
  EXPECT_NE(out.find("*File size : 20000 byte\r\n"), std::string::npos) << out;
  EXPECT_NE(err_->Text().find("[VeskaDownloader] Dump Completed!\n"), std::string::npos);

  // The explore steps share one mount: the phone saw one mount and one unmount.
  int mounts = 0;
  int unmounts = 0;
  for (const sim::Event& e : phone.Events()) {
    if (e.kind != sim::EventKind::Command) continue;
    if (e.detail == "TFS_MOUNT") ++mounts;
    if (e.detail.starts_with("TFS_UNMOUNT")) ++unmounts;
  }
  EXPECT_EQ(unmounts, 1);
  EXPECT_GE(mounts, 1);

  // Without --yes the question is answered No: nothing is deleted and the run fails.
  Restart(phone);
  EXPECT_EQ(Run({"explore", "rm", "/cycle.bin"}), cli::EXIT_STEP_FAILED);
  EXPECT_EQ(phone.FileSystem().files.count("/cycle.bin"), 1u);
  phone.Stop();
}

TEST_P(ExplorerCycleTest, RemoveWithYesAndTheFailuresTheScriptSees) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  const auto source = Write("gone.txt", {'h', 'i'});
  ASSERT_EQ(Run({"format", "explore", "put", source.string(), "/"}), cli::EXIT_OK)
      << out_->Text() << err_->Text();

  Restart(phone);
  // --yes answers "Sure to Delete?".
  EXPECT_EQ(Run({"explore", "rm", "/gone.txt", "explore", "ls", "/"}, true), cli::EXIT_OK)
      << out_->Text() << err_->Text();
  EXPECT_EQ(phone.FileSystem().files.count("/gone.txt"), 0u);
  EXPECT_NE(out_->Text().find("\r\nDeleting the file '/gone.txt'... OK!\r\n"), std::string::npos)
      << out_->Text();

  // A file the phone does not have, and a directory it does not have.
  Restart(phone);
  EXPECT_EQ(Run({"explore", "get", "/none", (folder_ / "x").string()}), cli::EXIT_STEP_FAILED);
  EXPECT_NE(err_->Text().find("veska-cli: no file /none on the phone\n"), std::string::npos)
      << err_->Text();
  Restart(phone);
  EXPECT_EQ(Run({"explore", "ls", "/nowhere"}), cli::EXIT_STEP_FAILED);
  EXPECT_NE(err_->Text().find("veska-cli: no directory /nowhere on the phone\n"), std::string::npos)
      << err_->Text();
  phone.Stop();
}

TEST_P(ExplorerCycleTest, AFailedCopySaysTheFileIsIncomplete) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  Bytes data(20000, 0x5A);
  const auto source = Write("big.bin", data);
  ASSERT_EQ(Run({"format", "explore", "put", source.string(), "/"}), cli::EXIT_OK)
      << out_->Text() << err_->Text();
  Restart(phone);
  phone.InjectFileSystemFault(*sim::ParseFsFault("sum@dump-chunk"));
  const auto copy = folder_ / "copy.hex";
  EXPECT_EQ(Run({"explore", "get", "/big.bin", copy.string()}), cli::EXIT_STEP_FAILED);
  EXPECT_NE(err_->Text().find("[VeskaDownloader] Checksum Mismatched!\n"), std::string::npos)
      << err_->Text();
  EXPECT_NE(err_->Text().find(copy.string() + " is incomplete"), std::string::npos) << err_->Text();
  phone.Stop();
}

TEST_P(ExplorerCycleTest, EachRefusalOfThePhoneFailsItsStep) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  const auto source = Write("r.txt", {'r'});
  ASSERT_EQ(Run({"format", "explore", "put", source.string(), "/"}), cli::EXIT_OK)
      << out_->Text() << err_->Text();
  struct Case {
    const char* fault;
    std::vector<std::string> steps;
    const char* narrative;
  };
  const Case cases[] = {
      {"wrong@dir-end=0x42", {"explore", "ls", "/"}, "Unknown FILE name receive error!(42)\r\n"},
      {"wrong@read-file=0x55",
       {"explore", "get", "/r.txt", (folder_ / "r.hex").string()},
       "File size read Fail! (0x55)\r\n"},
      {"sum@status", {"explore", "stat", "/r.txt"}, "Fail! (0xF2)\r\n"},
      {"sum@file", {"explore", "put", source.string(), "/"}, "Add Fail! ("},
      {"wrong@mount=0x11", {"explore", "ls", "/"}, "Mounting TFS system... Fail! (0x11)\r\n"},
      {"wrong@delete=0x55", {"explore", "rm", "/r.txt"}, "Delete Fail! (0x55)\r\n"},
  };
  for (const Case& c : cases) {
    Restart(phone);
    const auto fault = sim::ParseFsFault(c.fault);
    ASSERT_TRUE(fault) << c.fault;
    phone.InjectFileSystemFault(*fault);
    EXPECT_EQ(Run(c.steps, true), cli::EXIT_STEP_FAILED) << c.fault << out_->Text();
    EXPECT_NE(out_->Text().find(c.narrative), std::string::npos) << c.fault << out_->Text();
  }
  // The phone deleted the file; only its answer was spoiled.
  EXPECT_EQ(phone.FileSystem().files.count("/r.txt"), 0u);
  phone.Stop();
}

INSTANTIATE_TEST_SUITE_P(Links, ExplorerCycleTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& link) {
                           return link.param ? "Usb" : "Uart";
                         });

}  // namespace
}  // namespace veska::explorer
