#include "app/HostNotices.h"

#include "app/Engine.h"
#include "app/TransferRate.h"

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

// The status line during a transfer: how far, how fast, how long still, a few times a second,
// its end always; and the read-back's heading and verdict.
TEST(StatusLineTexts, TellATransfersProgressAndTheReadBack) {
  using namespace std::chrono_literals;
  TransferStatus status;
  const auto start = TransferStatus::Clock::time_point{} + 1h;
  EXPECT_EQ(status.Take(0, 1000, true, start), "");
  EXPECT_EQ(status.Take(100, 1000, false, start + 100ms), "");  // too soon after the start
  EXPECT_EQ(status.Take(500, 1000, false, start + 1s),
            "50 % (500 / 1000 bytes)  0.5 KiB/s  0:01 left");
  EXPECT_EQ(status.Take(600, 1000, false, start + 1100ms), "");
  EXPECT_EQ(status.Take(1000, 1000, false, start + 1150ms), "100 % (1000 / 1000 bytes)");

  ImagesReadBack readBack;
  readBack.images = {ImageKind::Apps, ImageKind::Comms};
  EXPECT_EQ(ReadBackText(readBack), "Reading APPS, COMMS back from the flash to compare");
  readBack.ended = true;
  readBack.matched = true;
  readBack.seconds = 12.34;
  EXPECT_EQ(ReadBackText(readBack),
            "Read-back of APPS, COMMS: matches the files (12.3 s, not in the TOTAL)");
}

}  // namespace
}  // namespace veska::app
