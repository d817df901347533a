#include "cli/CliSession.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/VirtualPhone.h"

namespace veska::cli {
namespace {

using namespace std::chrono_literals;

// Standard output and error of a session, captured in temporary files.
class Captured {
 public:
  Captured() : file_(std::tmpfile()) {}
  ~Captured() { std::fclose(file_); }
  Captured(const Captured&) = delete;
  Captured& operator=(const Captured&) = delete;
  std::FILE* File() { return file_; }
  std::string Text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
      text.append(buffer, n);
    return text;
  }

 private:
  std::FILE* file_;
};

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
  EXPECT_EQ(Run({"connect", "fly"}), EXIT_USAGE);
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
  EXPECT_EQ(out_.Text(),
            "\n  * Connecting to target phone"
            "\n     Try to open COM1\t>"
            "Success!!\n"
            "\n   - Turn on the target phone immediately!!!!\n"
            "      Listen for the BOOT signal\t\t\t> > > OK\n"
            "      Send the Download start signal\t\t> > > OK\n"
            "      Listen for the Download start ACK signal\t> > > OK\n"
            "\n\n  * NAND Flash Driver Download"
            "\n     preloader downloading\t\t\t> > > OK\n"
            "     NAND Flash driver downloading\t\t> > > OK\n"
            "     Flash Type Checking\t\t\t> > > OK\n"
            "      NAND Bad block check\t\t\t> > > Not found\n"
            "OK\n"
            "\n     UART Download Mode\t> > > "
            "Available\n\n");
  const std::string err = err_.Text();
  EXPECT_NE(err.find("Flash ID: MR7D2P45XT\n"), std::string::npos) << err;
  EXPECT_NE(err.find("built-in stand-ins"), std::string::npos) << err;
  phone.Stop();
}

TEST_F(CliTest, AFailedConnectionIsAFailedRunWithTheMessageBoxOnStandardError) {
  EXPECT_EQ(Run({"--port", "/dev/veska-no-such-port", "connect"}), EXIT_STEP_FAILED);
  EXPECT_TRUE(out_.Text().ends_with("\n     Try to open COM1\t> Fail\n")) << out_.Text();
  EXPECT_NE(err_.Text().find("[Failure] Comm Error\n"), std::string::npos) << err_.Text();
}

}  // namespace
}  // namespace veska::cli
