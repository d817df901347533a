#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli/Captured.h"
#include "cli/CliSession.h"
#include "explorer/ExplorerTesting.h"
#include "sim/TfsModel.h"
#include "sim/VirtualPhone.h"

namespace veska::explorer {
namespace {

using namespace testing;

// veska-cli's explore steps against the virtual phone, the way a bench script runs them.
class ExplorerCycleTest : public ::testing::TestWithParam<bool> {
 protected:
  ExplorerCycleTest() {
    options_.linkPath = (folder_ / "phone").string();
    options_.link = Usb() ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    options_.usbAppearDelay = 0ms;
  }
  // Switches the phone off and on again, so that the next run connects from its boot ROM.
  static void Restart(sim::VirtualPhone& phone) {
    phone.PowerOff();
    ASSERT_TRUE(phone.WaitForState(sim::PhoneState::PoweredOff, 5s));
    phone.PowerOn();
    ASSERT_TRUE(phone.WaitForState(sim::PhoneState::BootRom, 5s));
  }

  bool Usb() const { return GetParam(); }

  // A run that formats the phone and puts `data` on it as /`name`; the phone is switched off and
  // on after it, ready for the run under test.
  void PutOnFormattedPhone(sim::VirtualPhone& phone, const std::string& name, const Bytes& data) {
    const auto source = WriteFile(folder_ / name, data);
    ASSERT_EQ(Run({"format", "explore", "put", source.string(), "/"}), station::EXIT_OK)
        << out_->Text() << err_->Text();
    Restart(phone);
  }

  // One run of veska-cli: connect, then `steps`; `prepare` sees the session before it runs.
  int Run(std::vector<std::string> steps, bool yes = false,
          const std::function<void(cli::CliSession&)>& prepare = {}) {
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
                                   timeout_,
                                   "connect"};
    if (yes) words.insert(words.begin() + 1, "--yes");
    if (json_) words.insert(words.begin() + 1, "--json");
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
    if (prepare) prepare(session);
    return session.Run();
  }

  TestFolder folder_;
  std::string timeout_ = "5";
  bool json_ = false;
  sim::PhoneOptions options_;
  std::unique_ptr<cli::Captured> out_;
  std::unique_ptr<cli::Captured> err_;
};

TEST_P(ExplorerCycleTest, PutListGetStatRemove) {
  sim::VirtualPhone phone(options_);
  // A file system with a sub-directory, as a download from a listing leaves one.
  sim::TfsContents seeded;
  seeded.formatted = true;
  seeded.directories = {"/", "/logs"};
  WriteFile(folder_ / "phone.tfs", sim::EncodeTfs(seeded));
  phone.SetFileSystemFile((folder_ / "phone.tfs").string());
  ASSERT_EQ(phone.Start(), 0);
  const Bytes data = Pattern(20000, 7);
  const auto source = WriteFile(folder_ / "cycle.bin", data);
  const auto copy = folder_ / "copy.hex";

  ASSERT_EQ(Run({"explore", "put", source.string(), "/", "explore", "ls", "/", "explore", "get",
                 "/cycle.bin", copy.string(), "explore", "stat", "/cycle.bin"}),
            station::EXIT_OK)
      << out_->Text() << err_->Text();
  // The narrative names the files only; the listing beside it shows the sub-directories too.
  EXPECT_NE(err_->Text().find("/:\n  logs/\n  cycle.bin\n"), std::string::npos) << err_->Text();
  EXPECT_EQ(ReadFile(copy), data);
  EXPECT_EQ(phone.FileSystem().files.at("/cycle.bin").bytes, data);
  const std::string out = out_->Text();
  EXPECT_NE(out.find("Add complete\r\nSearching the files (in '/')...\r\n cycle.bin\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("** Dump Completed! **"), std::string::npos) << out;
  EXPECT_NE(out.find("*File size : 20000 byte\r\n"), std::string::npos) << out;
  EXPECT_NE(err_->Text().find("[VeskaDownloader] Dump Completed!\n"), std::string::npos);
  EXPECT_NE(err_->Text().find("progress: 100% (20000 / 20000 bytes)\n"), std::string::npos)
      << err_->Text();

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
  EXPECT_EQ(Run({"explore", "rm", "/cycle.bin"}), station::EXIT_STEP_FAILED);
  EXPECT_EQ(phone.FileSystem().files.count("/cycle.bin"), 1u);
  phone.Stop();
}

TEST_P(ExplorerCycleTest, RemoveWithYesAndTheFailuresTheScriptSees) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  ASSERT_NO_FATAL_FAILURE(PutOnFormattedPhone(phone, "gone.txt", Bytes{'h', 'i'}));
  // --yes answers "Sure to Delete?". --json gives what stat and ls found as lines of their own.
  json_ = true;
  EXPECT_EQ(
      Run({"explore", "stat", "/gone.txt", "explore", "rm", "/gone.txt", "explore", "ls", "/"},
          true),
      station::EXIT_OK)
      << out_->Text() << err_->Text();
  json_ = false;
  EXPECT_EQ(phone.FileSystem().files.count("/gone.txt"), 0u);
  EXPECT_NE(out_->Text().find("\n{\"stat\":\"/gone.txt\",\"size\":2,\"mode\":"), std::string::npos)
      << out_->Text();
  EXPECT_NE(out_->Text().find("\n{\"ls\":\"/\",\"directories\":[],\"files\":[]}\n"),
            std::string::npos)
      << out_->Text();
  EXPECT_NE(out_->Text().find("\r\nDeleting the file '/gone.txt'... OK!\r\n"), std::string::npos)
      << out_->Text();

  // A file the phone does not have, and a directory it does not have.
  Restart(phone);
  EXPECT_EQ(Run({"explore", "get", "/none", (folder_ / "x").string()}), station::EXIT_STEP_FAILED);
  EXPECT_NE(err_->Text().find("veska-cli: no file /none on the phone\n"), std::string::npos)
      << err_->Text();
  Restart(phone);
  EXPECT_EQ(Run({"explore", "ls", "/nowhere"}), station::EXIT_STEP_FAILED);
  EXPECT_NE(err_->Text().find("veska-cli: no directory /nowhere on the phone\n"), std::string::npos)
      << err_->Text();
  phone.Stop();
}

TEST_P(ExplorerCycleTest, AFailedCopySaysTheFileIsIncomplete) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  Bytes data(20000, 0x5A);
  ASSERT_NO_FATAL_FAILURE(PutOnFormattedPhone(phone, "big.bin", data));
  phone.InjectFileSystemFault(*sim::ParseFsFault("sum@dump-chunk"));
  const auto copy = folder_ / "copy.hex";
  EXPECT_EQ(Run({"explore", "get", "/big.bin", copy.string()}), station::EXIT_STEP_FAILED);
  EXPECT_NE(err_->Text().find("[VeskaDownloader] Checksum Mismatched!\n"), std::string::npos)
      << err_->Text();
  EXPECT_NE(
      err_->Text().find(copy.string() + " holds 0 bytes: the copy of /big.bin is incomplete\n"),
      std::string::npos)
      << err_->Text();

  // A copy the disk does not take in full (a file-size limit of 10240 bytes) is no success.
  Restart(phone);
  {
    const FileSizeLimit limit(10240);
    EXPECT_EQ(Run({"explore", "get", "/big.bin", copy.string()}), station::EXIT_STEP_FAILED);
  }
  EXPECT_EQ(out_->Text().find("Dump Completed!"), std::string::npos) << out_->Text();
  EXPECT_NE(err_->Text().find("[VeskaDownloader] Write dump file fail!\n"), std::string::npos)
      << err_->Text();
  EXPECT_NE(
      err_->Text().find(copy.string() + " holds 10240 bytes: the copy of /big.bin is incomplete\n"),
      std::string::npos)
      << err_->Text();
  phone.Stop();
}

TEST_P(ExplorerCycleTest, PutRefusesWhatItCannotAnnounceBeforeConnecting) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  // A FIFO would block the look at it; 4 GiB and 100 bytes (sparse) would go as 100 bytes.
  const auto fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto huge = folder_ / "huge.bin";
  std::ofstream(huge).close();
  std::filesystem::resize_file(huge, (std::uint64_t{1} << 32) + 100);
  const std::pair<std::filesystem::path, std::string> cases[] = {
      {fifo, fifo.string() + " refused before connecting: it is not a regular file\n"},
      {huge, huge.string() +
                 " refused before connecting: it holds 4294967396 bytes, more than a file's size "
                 "record carries (4294967295)\n"},
  };
  for (const auto& [file, message] : cases) {
    EXPECT_EQ(Run({"explore", "put", file.string(), "/"}), station::EXIT_INPUT_REFUSED);
    EXPECT_NE(err_->Text().find(message), std::string::npos) << err_->Text();
  }
  for (const sim::Event& e : phone.Events()) EXPECT_NE(e.kind, sim::EventKind::Command) << e.detail;
  phone.Stop();
}

TEST_P(ExplorerCycleTest, DisconnectEndsAnExchangeThePhoneLeavesUnanswered) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  ASSERT_NO_FATAL_FAILURE(PutOnFormattedPhone(phone, "r.txt", Bytes{'r'}));
  phone.InjectFileSystemFault(*sim::ParseFsFault("silence@status"));
  timeout_ = "60";
  std::thread canceller;
  const auto before = std::chrono::steady_clock::now();
  const int status =
      Run({"explore", "stat", "/r.txt"}, false, [&canceller](cli::CliSession& session) {
        session.SetEventObserver([&canceller, &session](const app::SessionEvent& event) {
          if (std::holds_alternative<app::StepEnded>(event)) {
            if (canceller.joinable()) canceller.join();
            return;
          }
          const auto* began = std::get_if<app::StepBegan>(&event);
          if (began == nullptr || !began->words.starts_with("explore")) return;
          canceller = std::thread([&session] {
            std::this_thread::sleep_for(1s);
            session.Cancel();  // what Ctrl-C does
          });
        });
      });
  EXPECT_NE(status, station::EXIT_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 20s);
  phone.Stop();
}

TEST_P(ExplorerCycleTest, EachRefusalOfThePhoneFailsItsStep) {
  sim::VirtualPhone phone(options_);
  ASSERT_EQ(phone.Start(), 0);
  ASSERT_NO_FATAL_FAILURE(PutOnFormattedPhone(phone, "r.txt", Bytes{'r'}));
  const auto source = folder_ / "r.txt";
  struct Case {
    const char* fault;
    std::vector<std::string> steps;
    const char* narrative;
    int exit = station::EXIT_STEP_FAILED;
  };
  const Case cases[] = {
      {"wrong@dir-end=0x42", {"explore", "ls", "/"}, "Unknown FILE name receive error!(42)\r\n"},
      {"wrong@read-file=0x55",
       {"explore", "get", "/r.txt", (folder_ / "r.hex").string()},
       "File size read Fail! (0x55)\r\n"},
      {"sum@status", {"explore", "stat", "/r.txt"}, "Fail! (0xF2)\r\n"},
      {"sum@file", {"explore", "put", source.string(), "/"}, "Add Fail! ("},
      {"wrong@mount=0x11", {"explore", "ls", "/"}, "Mounting TFS system... Fail! (0x11)\r\n"},
      // A silent phone is no answer, and EXIT does not wait for it a second time.
      {"silence@status", {"explore", "stat", "/r.txt"}, "", station::EXIT_NO_ANSWER},
      {"silence@dump-chunk",
       {"explore", "get", "/r.txt", (folder_ / "r.hex").string()},
       "",
       station::EXIT_NO_ANSWER},
      {"wrong@delete=0x55", {"explore", "rm", "/r.txt"}, "Delete Fail! (0x55)\r\n"},
  };
  for (const Case& c : cases) {
    Restart(phone);
    const auto fault = sim::ParseFsFault(c.fault);
    ASSERT_TRUE(fault) << c.fault;
    phone.InjectFileSystemFault(*fault);
    timeout_ = c.exit == station::EXIT_NO_ANSWER ? "2" : "5";
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(c.steps, true), c.exit) << c.fault << out_->Text() << err_->Text();
    if (c.exit == station::EXIT_NO_ANSWER) {
      EXPECT_LT(std::chrono::steady_clock::now() - before, 3500ms) << c.fault;
    }
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
