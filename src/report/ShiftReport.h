#pragma once

// A shift's records made into something to look at: a page with charts for a browser, and a CSV
// for a spreadsheet. The records' texts are untrusted (any store, any station wrote them): the
// page shows them as text only, and the CSV keeps a spreadsheet from taking them for formulas.

#include <string>
#include <string_view>
#include <vector>

#include "records/Record.h"
#include "records/Summary.h"

namespace veska::report {

// Statuses of WriteReport: 0 for success.
inline constexpr int REPORT_OK = 0;
inline constexpr int REPORT_NOT_A_FILE = 1;  // the path names a folder, a device, a FIFO
inline constexpr int REPORT_WRITE_FAILED = 2;

// Whether this build carries Chart.js, which the page needs for its charts.
[[nodiscard]] bool HtmlReportAvailable();

// What the page says it was made of, in its heading.
struct ReportScope {
  std::string store;   // where the records came from
  std::string filter;  // the filter's options as given ("--station bench-2"); "" for none
  std::string made;    // when, UTC
};

// The page: totals, yield per station and per slot by hour, the failures by cause, every
// station's slots, and the failed phones. Self-contained: Chart.js is inlined, and its policy
// lets the page load nothing from anywhere. `summary` is Summarise(records).
[[nodiscard]] std::string HtmlReport(const std::vector<records::Record>& records,
                                     const records::Summary& summary, const ReportScope& scope);

// The records as RFC 4180 CSV in UTF-8 with a byte order mark (which a spreadsheet needs to
// take it for UTF-8), a header row and one row per record; CRLF line ends.
[[nodiscard]] std::string CsvReport(const std::vector<records::Record>& records);

// Writes `text` to `file` (UTF-8) through a temporary file beside it, renamed over it when
// complete: a failure leaves no file behind, nor half of one. `problem` says why.
[[nodiscard]] int WriteReport(std::string_view file, std::string_view text, std::string& problem);

}  // namespace veska::report
