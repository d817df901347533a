#include "records/Summary.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace veska::records {

Summary Summarise(const std::vector<Record>& records) {
  Summary summary;
  struct Tally {
    PortSummary port;
    double seconds = 0.0;
    int run = 0;  // failures in a row so far
  };
  std::map<std::pair<std::string, std::string>, Tally> ports;
  double seconds = 0.0;
  for (const Record& record : records) {
    ++summary.phones;
    seconds += record.seconds;
    const bool passed = record.result == "passed";
    if (passed) {
      ++summary.passed;
    } else {
      ++summary.failedByCause[record.cause.empty() ? "unknown" : record.cause];
    }
    Tally& tally = ports[{record.station, record.port}];
    tally.port.station = record.station;
    tally.port.port = record.port;
    ++tally.port.phones;
    tally.seconds += record.seconds;
    if (passed) {
      ++tally.port.passed;
      tally.run = 0;
      tally.port.stillFailing = false;
      continue;
    }
    ++tally.run;
    if (tally.run >= tally.port.failedInARow) {
      tally.port.failedInARow = tally.run;
      tally.port.lastOfRun = record.started;
      tally.port.stillFailing = true;
    }
  }
  if (summary.phones > 0) summary.meanSeconds = seconds / summary.phones;
  // Records carry no unit serial yet, so each is a phone of its own and its one attempt is its
  // first; the counts are kept apart so that a retest, once recognised, counts its unit once.
  // A record's pass numbers the phones on a port, not the attempts at one phone.
  summary.units = summary.phones;
  summary.passedFirstTime = summary.passed;
  if (summary.units > 0) {
    summary.firstPassYield = static_cast<double>(summary.passedFirstTime) / summary.units;
  }
  std::int64_t first = std::numeric_limits<std::int64_t>::max();
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (const Record& record : records) {
    std::int64_t at = 0;
    if (ParseUtc(record.started, at)) first = std::min(first, at);
    if (ParseUtc(record.ended, at)) last = std::max(last, at);
  }
  if (first < last) {
    summary.spanSeconds = static_cast<double>(last - first);
    summary.phonesPerHour = summary.phones * 3600.0 / summary.spanSeconds;
  }
  for (auto& [key, tally] : ports) {
    tally.port.meanSeconds = tally.seconds / tally.port.phones;
    summary.ports.push_back(std::move(tally.port));
  }
  return summary;
}

}  // namespace veska::records
