// The shift report's texts where the records' untrusted texts meet a browser or a spreadsheet,
// and how its files are written. The page as a browser shows it
// is checked by report-e2e.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

TEST(ShiftReport, CsvQuotesAsRfc4180AndKeepsFormulasText) {
  Record r = Phone("2026-12-09T08:00:00Z", "2026-12-09T08:01:00Z", 61.0, false);
  r.station = "=cmd|' /C calc'!A0";
  r.port = "@SUM(A1)";
  r.cause = "-2+3";
  r.causeText = "no \"BOOT\", then\r\nnothing";
  r.flashId = "+EC";
  r.unitSerial = "SN,1";  // a scanner's text is a field like any other
  r.operatorName = "=Eve";
  r.exitStatus = -1;  // a number of ours: written as a number
  const std::string csv = CsvReport({r});
  ASSERT_EQ(csv.rfind("\xEF\xBB\xBFid,station,port,", 0), 0u);
  const std::string row = csv.substr(csv.find("\r\n") + 2);
  EXPECT_EQ(row,
            "bench-1-2026-12-09T08:00:00Z,'=cmd|' /C calc'!A0,'@SUM(A1),,,,2026-12-09T08:00:00Z,"
            "2026-12-09T08:01:00Z,61.0,1,failed,-1,'-2+3,\"no \"\"BOOT\"\", then\r\nnothing\","
            "'+EC,,0,,,,,\"SN,1\",'=Eve\r\n");
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

// A refused path leaving nothing behind is report-e2e's; here, that a report replaces an older
// one whole, the temporary file gone.
TEST(ShiftReport, ReplacesAnOlderReportWhole) {
  const std::filesystem::path dir =
      std::filesystem::path(::testing::TempDir()) / "veska-report-files";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::filesystem::path file = dir / "r.csv";
  std::ofstream(file) << "an older, longer report";
  std::string problem;
  ASSERT_EQ(WriteReport(file.string(), "new", problem), REPORT_OK);
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  EXPECT_EQ(text.str(), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace veska::report
