// The shift report's texts where the records' untrusted texts meet a browser or a spreadsheet,
// the times it reads, its sums, and how its files are written. The page as a browser shows it
// is checked by report-e2e.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "records/Record.h"
#include "records/Summary.h"
#include "report/ShiftReport.h"

namespace veska::report {
namespace {

using records::Record;

Record Phone(std::string started, std::string ended, double seconds, bool passed) {
  Record r;
  r.id = "bench-1-" + started;
  r.station = "bench-1";
  r.port = "/dev/ttyUSB0";
  r.started = std::move(started);
  r.ended = std::move(ended);
  r.seconds = seconds;
  r.result = passed ? "passed" : "failed";
  if (!passed) r.cause = "no-reply";
  return r;
}

TEST(ShiftReport, ReadsOnlyWellFormedUtcTimes) {
  std::int64_t seconds = -1;
  ASSERT_TRUE(records::ParseUtc("1970-01-01T00:00:00Z", seconds));
  EXPECT_EQ(seconds, 0);
  ASSERT_TRUE(records::ParseUtc("2028-02-29T23:59:59Z", seconds));
  EXPECT_EQ(seconds, 1835481599);
  for (const char* wrong : {"2026-02-29T10:00:00Z", "2026-12-09T24:00:00Z", "2026-12-09T10:60:00Z",
                            "2026-13-01T10:00:00Z", "2026-12-09 10:00:00Z", "2026-12-09T10:00:00",
                            "2026-12-09", "+026-12-09T10:00:00Z", ""}) {
    EXPECT_FALSE(records::ParseUtc(wrong, seconds)) << wrong;
  }
}

TEST(ShiftReport, SumsYieldAndPhonesPerHourOverTheRecordsSpan) {
  std::vector<Record> shift = {Phone("2026-12-09T08:00:00Z", "2026-12-09T08:01:00Z", 60, true),
                               Phone("2026-12-09T08:30:00Z", "2026-12-09T08:31:00Z", 60, false),
                               Phone("garbage", "", 30, true),
                               Phone("2026-12-09T09:00:00Z", "2026-12-09T10:00:00Z", 90, true)};
  records::Summary summary = records::Summarise(shift);
  EXPECT_EQ(summary.units, 4);
  EXPECT_EQ(summary.passedFirstTime, 3);
  EXPECT_DOUBLE_EQ(summary.firstPassYield, 0.75);
  // 08:00 to 10:00, the record without readable times left out of the span, not of the count.
  EXPECT_DOUBLE_EQ(summary.spanSeconds, 7200.0);
  EXPECT_DOUBLE_EQ(summary.phonesPerHour, 2.0);
  EXPECT_DOUBLE_EQ(summary.meanSeconds, 60.0);

  // No span to speak of: no rate rather than a division by zero.
  summary = records::Summarise({Phone("2026-12-09T08:00:00Z", "2026-12-09T08:00:00Z", 0, true)});
  EXPECT_EQ(summary.phonesPerHour, 0.0);
  summary = records::Summarise({});
  EXPECT_EQ(summary.firstPassYield, 0.0);
  EXPECT_EQ(summary.phonesPerHour, 0.0);
}

TEST(ShiftReport, CsvQuotesAsRfc4180AndKeepsFormulasText) {
  Record r = Phone("2026-12-09T08:00:00Z", "2026-12-09T08:01:00Z", 61.0, false);
  r.station = "=cmd|' /C calc'!A0";
  r.port = "@SUM(A1)";
  r.cause = "-2+3";
  r.causeText = "no \"BOOT\", then\r\nnothing";
  r.flashId = "+EC";
  r.exitStatus = -1;  // a number of ours: written as a number
  const std::string csv = CsvReport({r});
  ASSERT_EQ(csv.rfind("\xEF\xBB\xBFid,station,port,", 0), 0u);
  const std::string row = csv.substr(csv.find("\r\n") + 2);
  EXPECT_EQ(row,
            "bench-1-2026-12-09T08:00:00Z,'=cmd|' /C calc'!A0,'@SUM(A1),,,,2026-12-09T08:00:00Z,"
            "2026-12-09T08:01:00Z,61.0,1,failed,-1,'-2+3,\"no \"\"BOOT\"\", then\r\nnothing\","
            "'+EC,,0,,,,\r\n");
  EXPECT_EQ(CsvReport({}).find("\r\n") + 2, CsvReport({}).size());
}

TEST(ShiftReport, PageKeepsTheRecordsTextsAsText) {
  Record r = Phone("2026-12-09T08:00:00Z", "2026-12-09T08:01:00Z", 60, false);
  r.cause = "</SCRIPT><img src=x onerror=alert(1)>";
  r.causeText = "<!--<script>";
  r.station = "a&b\"c";
  const std::string page = HtmlReport({r}, records::Summarise({r}), {"shift.db", "", "now"});
  // Neither in the tables nor in the charts' data block does a record's text become markup.
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("<!--"), std::string::npos);
  EXPECT_NE(page.find("&lt;/SCRIPT&gt;&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  EXPECT_NE(page.find("\\u003c/SCRIPT>\\u003cimg"), std::string::npos);
  EXPECT_NE(page.find("data-station=\"a&amp;b&quot;c\""), std::string::npos);
}

TEST(ShiftReport, WritesWholeFilesOrNone) {
  const std::filesystem::path dir =
      std::filesystem::path(::testing::TempDir()) / "veska-report-files";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "folder.html");
  std::string problem;

  EXPECT_EQ(WriteReport((dir / "folder.html").string(), "page", problem), REPORT_NOT_A_FILE);
  EXPECT_EQ(problem, "it is not a file");
  EXPECT_EQ(WriteReport((dir / "none" / "r.csv").string(), "rows", problem), REPORT_WRITE_FAILED);
  EXPECT_FALSE(problem.empty());

  const std::filesystem::path file = dir / "r.csv";
  std::ofstream(file) << "an older, longer report";
  ASSERT_EQ(WriteReport(file.string(), "new", problem), REPORT_OK);
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  EXPECT_EQ(text.str(), "new");
  // Only the report and the refused folder: no temporary file left anywhere.
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace veska::report
