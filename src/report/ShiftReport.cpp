#include "report/ShiftReport.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>
#include <utility>

#include "app/FileReplace.h"
#include "link/FilePath.h"
#include "report/ChartJs.h"

namespace veska::report {

namespace {

using Json = nlohmann::ordered_json;

// A page with tens of thousands of failed phones is no longer read row by row.
constexpr std::size_t kMostFailedRows = 2000;
// A slot's strip of results shows its latest phones.
constexpr std::size_t kStripLength = 40;

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Fixed(double value, const char* format) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// A number as --json writes it, so that the page and the JSON agree to the last digit.
std::string Exact(double value) {
  return Json(value).dump();
}

// "2026-12-09T08": the hour a record started in, or "" when its time cannot be read.
std::string HourOf(const records::Record& record) {
  std::int64_t seconds = 0;
  if (!records::ParseUtc(record.started, seconds)) return {};
  return record.started.substr(0, 13);
}

// Pass and phone counts per hour for one series (a station or a slot).
using HourCounts = std::map<std::string, std::pair<int, int>>;

std::string NameOf(const std::string& station) {
  return station;
}
std::string NameOf(const std::pair<std::string, std::string>& slot) {
  return slot.first + " " + slot.second;
}

// Each series' yield in % for each of `hours`; null for an hour it served no phone in.
template <typename Key>
Json YieldSeries(const std::map<Key, HourCounts>& series, const std::vector<std::string>& hours) {
  Json list = Json::array();
  for (const auto& [key, counts] : series) {
    Json yields = Json::array();
    for (const std::string& hour : hours) {
      const auto found = counts.find(hour);
      yields.push_back(found == counts.end()
                           ? Json()
                           : Json(100.0 * found->second.first / found->second.second));
    }
    list.push_back({{"name", NameOf(key)}, {"yield", std::move(yields)}});
  }
  return list;
}

// The data the charts are drawn from, as the page's script reads it. Every '<' is written as
// \u003c, which JSON reads the same: no text from the records can end the script block.
std::string ChartData(const std::vector<records::Record>& records,
                      const std::vector<std::pair<std::string, int>>& causes) {
  std::map<std::string, HourCounts> stations;
  std::map<std::pair<std::string, std::string>, HourCounts> slots;  // by station and port
  std::set<std::string> hourSet;
  for (const records::Record& record : records) {
    const std::string hour = HourOf(record);
    if (hour.empty()) continue;
    hourSet.insert(hour);
    const int passed = record.result == "passed" ? 1 : 0;
    for (auto* counts :
         {&stations[record.station][hour], &slots[{record.station, record.port}][hour]}) {
      counts->first += passed;
      ++counts->second;
    }
  }
  const std::vector<std::string> keys(hourSet.begin(), hourSet.end());
  std::vector<std::string> hours;  // as the charts label them: "2026-12-09 08:00"
  for (const std::string& hour : keys)
    hours.push_back(hour.substr(0, 10) + " " + hour.substr(11) + ":00");
  Json data;
  data["hours"] = hours;
  data["stations"] = YieldSeries(stations, keys);
  data["slots"] = YieldSeries(slots, keys);
  Json names = Json::array();
  Json counts = Json::array();
  for (const auto& [cause, count] : causes) {
    names.push_back(cause);
    counts.push_back(count);
  }
  data["pareto"] = {{"causes", std::move(names)}, {"counts", std::move(counts)}};
  const std::string text = data.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string safe;
  safe.reserve(text.size());
  for (const char c : text) safe += c == '<' ? std::string("\\u003c") : std::string(1, c);
  return safe;
}

std::string Total(const char* id, const char* label, const std::string& value,
                  const std::string& shown) {
  return "<div class=\"total\"><dt>" + std::string(label) + "</dt><dd id=\"" + id +
         "\" data-value=\"" + value + "\">" + shown + "</dd></div>\n";
}

std::string Totals(const records::Summary& s) {
  std::string html = "<section><dl id=\"totals\">\n";
  html += Total("total-phones", "Phones", std::to_string(s.phones), std::to_string(s.phones));
  html += Total("total-passed", "Passed", std::to_string(s.passed), std::to_string(s.passed));
  html += Total("total-failed", "Failed", std::to_string(s.phones - s.passed),
                std::to_string(s.phones - s.passed));
  html += Total("total-first-pass-yield", "First-pass yield", Exact(s.firstPassYield),
                Fixed(100.0 * s.firstPassYield, "%.1f %%"));
  html += Total("total-phones-per-hour", "Phones per hour", Exact(s.phonesPerHour),
                Fixed(s.phonesPerHour, "%.1f"));
  html += Total("total-mean-seconds", "Mean cycle time", Exact(s.meanSeconds),
                Fixed(s.meanSeconds, "%.1f s"));
  return html + "</dl></section>\n";
}

std::string CauseTable(const std::vector<std::pair<std::string, int>>& causes, int failed) {
  std::string html =
      "<table id=\"causes\"><thead><tr><th>Cause</th><th>Failures</th><th>Share</th>"
      "<th>Cumulative</th></tr></thead><tbody>\n";
  int sum = 0;
  for (const auto& [cause, count] : causes) {
    sum += count;
    html += "<tr data-cause=\"" + Escaped(cause) + "\" data-count=\"" + std::to_string(count) +
            "\"><td>" + Escaped(cause) + "</td><td>" + std::to_string(count) + "</td><td>" +
            Fixed(100.0 * count / failed, "%.1f %%") + "</td><td>" +
            Fixed(100.0 * sum / failed, "%.1f %%") + "</td></tr>\n";
  }
  return html + "</tbody></table>\n";
}

// Every station's slots, each with its yield and its latest results in a strip: a slot that
// fails phone after phone stands out (usually its cable).
std::string HealthMap(const std::vector<records::Record>& records,
                      const records::Summary& summary) {
  std::map<std::pair<std::string, std::string>, std::string> strips;
  for (const records::Record& record : records) {
    std::string& strip = strips[{record.station, record.port}];
    strip += record.result == "passed" ? 'p' : 'f';
    if (strip.size() > kStripLength) strip.erase(0, 1);
  }
  std::string html = "<table id=\"health\"><tbody>\n";
  std::string station;
  bool open = false;
  for (const records::PortSummary& port : summary.ports) {
    if (!open || port.station != station) {
      if (open) html += "</tr>\n";
      station = port.station;
      open = true;
      html += "<tr><th>" + Escaped(station) + "</th>";
    }
    const double yield = port.phones > 0 ? 100.0 * port.passed / port.phones : 0.0;
    const bool alarm = port.failedInARow >= records::kRepeatedFailures;
    const char* grade = alarm ? "alarm" : yield >= 95.0 ? "good" : yield >= 80.0 ? "fair" : "poor";
    html += "<td class=\"slot " + std::string(grade) + "\" data-station=\"" +
            Escaped(port.station) + "\" data-port=\"" + Escaped(port.port) + "\" data-phones=\"" +
            std::to_string(port.phones) + "\" data-passed=\"" + std::to_string(port.passed) +
            "\" data-failed-in-a-row=\"" + std::to_string(port.failedInARow) +
            "\"><div class=\"port\">" + Escaped(port.port) + "</div><div>" +
            std::to_string(port.passed) + " of " + std::to_string(port.phones) + " passed (" +
            Fixed(yield, "%.1f %%") + ")</div><div class=\"strip\">";
    for (const char result : strips[{port.station, port.port}]) {
      html += result == 'p' ? "<i class=\"p\"></i>" : "<i class=\"f\"></i>";
    }
    html += "</div>";
    if (alarm) {
      html += "<div class=\"run\">failed " + std::to_string(port.failedInARow) + " in a row" +
              (port.stillFailing ? ", still failing" : "") + "</div>";
    }
    html += "</td>";
  }
  if (open) html += "</tr>\n";
  return html + "</tbody></table>\n";
}

std::string FailedTable(const std::vector<records::Record>& records, int failed) {
  std::string html =
      "<table id=\"failed\"><thead><tr><th>Started</th><th>Station</th><th>Port</th>"
      "<th>Phone</th><th>Unit</th><th>Result</th><th>Cause</th><th>Seconds</th><th>What "
      "happened</th>"
      "</tr></thead><tbody>\n";
  std::size_t rows = 0;
  for (const records::Record& r : records) {
    if (r.result == "passed") continue;
    if (++rows > kMostFailedRows) break;
    html += "<tr class=\"failed-phone\"><td>" + Escaped(r.started) + "</td><td>" +
            Escaped(r.station) + "</td><td>" + Escaped(r.port) + "</td><td>" +
            std::to_string(r.pass) + "</td><td>" + Escaped(r.unitSerial) + "</td><td>" +
            Escaped(r.result) + "</td><td>" + Escaped(r.cause.empty() ? "unknown" : r.cause) +
            "</td><td>" + Fixed(r.seconds, "%.1f") + "</td><td>" +
            Escaped(r.causeText.substr(0, r.causeText.find('\n'))) + "</td></tr>\n";
  }
  html += "</tbody></table>\n";
  if (static_cast<std::size_t>(failed) > kMostFailedRows) {
    html += "<p>The first " + std::to_string(kMostFailedRows) + " of " + std::to_string(failed) +
            " failed phones are shown; the CSV (records --csv) has them all.</p>\n";
  }
  return html;
}

constexpr std::string_view kStyle = R"(
body{font-family:"DejaVu Sans",Arial,sans-serif;margin:24px;color:#222;background:#fff}
h1{margin:0 0 4px}h2{margin:28px 0 8px;font-size:1.15em}.scope{color:#555;margin:0}
#totals{display:flex;flex-wrap:wrap;gap:12px;margin:16px 0 0}
.total{border:1px solid #ccd;border-radius:6px;padding:8px 14px;min-width:140px}
.total dt{color:#555;font-size:.85em}.total dd{margin:2px 0 0;font-size:1.6em;font-weight:bold}
.chart{position:relative;height:300px}
table{border-collapse:collapse;font-size:.9em}th,td{border:1px solid #ccd;padding:4px 8px;
text-align:left;vertical-align:top}thead th{background:#eef}
#health td{min-width:150px}.good{background:#e3f5e1}.fair{background:#fff4d6}
.poor{background:#fde0dc}.alarm{background:#f8b4aa;outline:3px solid #c0392b}
.port{font-weight:bold}.run{color:#8b1a10;font-weight:bold}
.strip i{display:inline-block;width:5px;height:12px;margin-right:1px}
.strip .p{background:#2e8b57}.strip .f{background:#c0392b}
)";

// Draws the charts from the data block; each canvas is marked data-drawn once its chart has
// a size, which a check of the page can see in the DOM.
constexpr std::string_view kScript = R"(
(function () {
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var colours = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2',
                 '#7f7f7f', '#bcbd22', '#17becf'];
  Chart.defaults.animation = false;
  Chart.defaults.maintainAspectRatio = false;
  function draw(id, config) {
    var canvas = document.getElementById(id);
    var chart = new Chart(canvas, config);
    if (chart.width > 0 && chart.height > 0) canvas.setAttribute('data-drawn', 'yes');
  }
  function lines(series) {
    return series.map(function (s, i) {
      var colour = colours[i % colours.length];
      return {label: s.name, data: s.yield, borderColor: colour, backgroundColor: colour,
              spanGaps: true, tension: 0};
    });
  }
  var percent = {min: 0, max: 100, title: {display: true, text: 'yield %'}};
  if (data.hours.length > 0) {
    draw('chart-station-yield', {type: 'line', data: {labels: data.hours,
         datasets: lines(data.stations)}, options: {scales: {y: percent}}});
    draw('chart-slot-yield', {type: 'line', data: {labels: data.hours,
         datasets: lines(data.slots)}, options: {scales: {y: percent}}});
  }
  var counts = data.pareto.counts;
  if (counts.length > 0) {
    var total = counts.reduce(function (a, b) { return a + b; }, 0);
    var sum = 0;
    var cumulative = counts.map(function (c) { sum += c; return 100 * sum / total; });
    draw('chart-pareto', {data: {labels: data.pareto.causes, datasets: [
           {type: 'line', label: 'cumulative %', data: cumulative, yAxisID: 'share',
            borderColor: '#d62728', backgroundColor: '#d62728'},
           {type: 'bar', label: 'failures', data: counts, yAxisID: 'count',
            backgroundColor: '#1f77b4'}]},
         options: {scales: {count: {position: 'left', beginAtZero: true,
                                    title: {display: true, text: 'failures'}},
                            share: {position: 'right', min: 0, max: 100,
                                    grid: {drawOnChartArea: false},
                                    title: {display: true, text: 'cumulative %'}}}}});
  }
})();
)";

std::string Chart(const char* id, const char* title) {
  return "<section><h2>" + std::string(title) + "</h2><div class=\"chart\"><canvas id=\"" + id +
         "\"></canvas></div></section>\n";
}

// A CSV field: quoted when it holds a comma, a quote or a line end, its quotes doubled; a text
// that a spreadsheet would take for a formula (=, +, -, @, or a tab or CR before one) is
// written with an apostrophe first, so that it stays text.
void AddField(std::string& row, std::string_view text, bool isText = true) {
  if (!row.empty() && row.back() != '\n') row += ',';
  std::string field;
  if (isText && !text.empty() &&
      std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
    field += '\'';
  }
  field += text;
  if (field.find_first_of(",\"\r\n") == std::string::npos) {
    row += field;
    return;
  }
  row += '"';
  for (const char c : field) row += c == '"' ? std::string("\"\"") : std::string(1, c);
  row += '"';
}

}  // namespace

bool HtmlReportAvailable() {
  return !ChartJsScript().empty();
}

std::string HtmlReport(const std::vector<records::Record>& records, const records::Summary& summary,
                       const ReportScope& scope) {
  std::vector<std::pair<std::string, int>> causes(summary.failedByCause.begin(),
                                                  summary.failedByCause.end());
  // Pareto order: most failures first; equal counts by name, so the page is the same each time.
  std::stable_sort(causes.begin(), causes.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  const int failed = summary.phones - summary.passed;

  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      // Nothing is loaded from anywhere: the page is read where no network is.
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "script-src 'unsafe-inline'; style-src 'unsafe-inline'\">\n"
      "<title>Shift report</title>\n<style>";
  html += kStyle;
  html += "</style>\n</head>\n<body>\n<h1>Shift report</h1>\n<p class=\"scope\">" +
          Escaped(scope.store) + (scope.filter.empty() ? "" : ", " + Escaped(scope.filter)) +
          "; made " + Escaped(scope.made) + "</p>\n";
  html += Totals(summary);
  if (records.empty()) html += "<p id=\"no-records\">No records.</p>\n";
  html += Chart("chart-station-yield", "Yield per station by hour");
  html += Chart("chart-slot-yield", "Yield per slot by hour");
  html += Chart("chart-pareto", "Failures by cause");
  html += CauseTable(causes, failed);
  html += "<section><h2>Slots</h2>\n" + HealthMap(records, summary) + "</section>\n";
  html += "<section><h2>Failed phones</h2>\n" + FailedTable(records, failed) + "</section>\n";
  html += "<script type=\"application/json\" id=\"report-data\">" + ChartData(records, causes) +
          "</script>\n<script>\n/*! Chart.js, included whole under its licence:\n";
  html += ChartJsLicence();
  html += "*/\n";
  html += ChartJsScript();
  html += "\n</script>\n<script>";
  html += kScript;
  html += "</script>\n</body>\n</html>\n";
  return html;
}

std::string CsvReport(const std::vector<records::Record>& records) {
  std::string csv = "\xEF\xBB\xBF";
  std::string row;
  for (const char* name : {"id",         "station",        "port",    "device",         "usb_id",
                           "usb_serial", "started",        "ended",   "seconds",        "pass",
                           "result",     "exit_status",    "cause",   "cause_text",     "flash_id",
                           "bad_blocks", "images_written", "release", "release_digest", "version",
                           "payloads",   "unit_serial",    "operator"}) {
    AddField(row, name);
  }
  csv += row + "\r\n";
  for (const records::Record& r : records) {
    row.clear();
    std::size_t written = 0;
    for (const records::ImageRecord& image : r.images) written += image.written ? 1 : 0;
    for (const std::string* text :
         {&r.id, &r.station, &r.port, &r.device, &r.usbId, &r.usbSerial, &r.started, &r.ended}) {
      AddField(row, *text);
    }
    AddField(row, Fixed(r.seconds, "%.1f"), false);
    AddField(row, std::to_string(r.pass), false);
    AddField(row, r.result);
    AddField(row, std::to_string(r.exitStatus), false);
    AddField(row, r.cause);
    AddField(row, r.causeText);
    AddField(row, r.flashId);
    AddField(row, r.badBlocksKnown ? records::BadBlocksText(r.badBlocks) : std::string());
    AddField(row, std::to_string(written), false);
    for (const std::string* text :
         {&r.release, &r.releaseDigest, &r.version, &r.payloads, &r.unitSerial, &r.operatorName}) {
      AddField(row, *text);
    }
    csv += row + "\r\n";
  }
  return csv;
}

int WriteReport(std::string_view file, std::string_view text, std::string& problem) {
  const std::filesystem::path path = link::PathOf(file);
  if (app::KindOfTarget(path) == app::TargetKind::Other) {
    problem = "it is not a file";
    return REPORT_NOT_A_FILE;
  }
  // A link stays a link: the file it names is replaced.
  const std::filesystem::path target = app::ReplacementTarget(path);
  std::error_code error;
  const bool written = app::ReplaceFileBy(
      target.empty() ? path : target, ".part",
      [text](std::ostream& out) {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        return static_cast<bool>(out);
      },
      error);
  if (!written) {
    problem = error ? error.message() : "the write failed";
    return REPORT_WRITE_FAILED;
  }
  problem.clear();
  return REPORT_OK;
}

}  // namespace veska::report
