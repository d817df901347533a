#include "records/Summary.h"

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
    std::size_t again = 0;  // 1 + its place in servedAgain once it came back
  };
  std::map<std::string, Unit> units;
  double seconds = 0.0;
  for (const Record& record : records) {
    if (!record.unitSerial.empty()) {
      Unit& unit = units[record.unitSerial];
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
  for (auto& [key, tally] : ports) {
    tally.port.meanSeconds = tally.seconds / tally.port.phones;
    summary.ports.push_back(std::move(tally.port));
  }
  return summary;
}

}  // namespace veska::records
