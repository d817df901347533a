#include "app/HostNotices.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace veska::app {
namespace {

class RecordingSink final : public link::DiagnosticSink {
 public:
  void Diagnostic(std::string_view portName, std::string_view text) override {
    seen.emplace_back(portName, text);
  }
  std::vector<std::pair<std::string, std::string>> seen;
};

// The console keeps every diagnostic byte for byte; the reason keeps what explains a failure.
TEST(PortReasonRecorder, PassesEveryDiagnosticOnAndKeepsTheReasonLinesOnly) {
  RecordingSink console;
  PortReasonRecorder recorder;
  recorder.SetOutput(console);
  recorder.Diagnostic("COM17", "-");
  recorder.Diagnostic("COM17", "-");
  recorder.Diagnostic("COM17", "\nCOM17 can not be opened\n");
  recorder.Diagnostic("COM17", "\nCOM17 (/dev/ttyUSB0) does not exist.\n");
  ASSERT_EQ(console.seen.size(), 4u);
  EXPECT_EQ(console.seen[0], (std::pair<std::string, std::string>{"COM17", "-"}));
  EXPECT_EQ(console.seen[3].second, "\nCOM17 (/dev/ttyUSB0) does not exist.\n");
  EXPECT_EQ(recorder.Reason(), "COM17 can not be opened\nCOM17 (/dev/ttyUSB0) does not exist.");

  recorder.Clear();
  EXPECT_EQ(recorder.Reason(), "");
  recorder.Diagnostic("/dev/ttyS0", "\r\nGet Timeouts error!!!");
  EXPECT_EQ(recorder.Reason(), "Get Timeouts error!!!");
}

}  // namespace
}  // namespace veska::app
