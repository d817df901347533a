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
  struct Unit {
    int records = 0;
    bool passed = false;
    bool passedFirst = false;  // its first record, oldest first, passed
    std::size_t again = 0;     // 1 + its place in servedAgain once it came back
  };
  std::map<std::string, Unit> units;
  double seconds = 0.0;
  for (const Record& record : records) {
    if (!record.unitSerial.empty()) {
      Unit& unit = units[record.unitSerial];
      if (unit.records == 0) unit.passedFirst = record.result == "passed";
      ++unit.records;
      if (unit.passed && unit.again == 0) {
        summary.servedAgain.push_back({record.unitSerial, 0});
        unit.again = summary.servedAgain.size();
      }
      if (record.result == "passed") unit.passed = true;
    }
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
  for (const auto& [serial, unit] : units) {
    if (unit.again != 0) summary.servedAgain[unit.again - 1].records = unit.records;
  }
  if (summary.phones > 0) summary.meanSeconds = seconds / summary.phones;
  // A unit is a serial's records together, its first the first attempt; a record without a
  // serial cannot be told for a retest and is a unit of its own. (A record's pass numbers the
  // phones on a port, not the attempts at one phone.)
  int withSerial = 0;
  int passedWithSerial = 0;
  for (const Record& record : records) {
    if (record.unitSerial.empty()) continue;
    ++withSerial;
    if (record.result == "passed") ++passedWithSerial;
  }
  summary.units = summary.phones - withSerial + static_cast<int>(units.size());
  summary.passedFirstTime = summary.passed - passedWithSerial;
  for (const auto& [serial, unit] : units) summary.passedFirstTime += unit.passedFirst ? 1 : 0;
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
