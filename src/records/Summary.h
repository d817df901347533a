#pragma once

#include <map>
#include <string>
#include <vector>

#include "records/Record.h"

namespace veska::records {

// How one port of one station did.
struct PortSummary {
  std::string station;
  std::string port;
  int phones = 0;
  int passed = 0;
  double meanSeconds = 0.0;
  // The longest run of phones in a row that did not pass, and when its last one started; a port
  // that keeps failing is usually its cable.
  int failedInARow = 0;
  std::string lastOfRun;
  bool stillFailing = false;  // the run is the port's latest phones
};

// A unit brought to a bench again after it had passed: a unit that passed should have left the
// line, so it came back (a return, a mix-up at the bench) and somebody should look.
struct ServedAgain {
  std::string unitSerial;
  int records = 0;  // all of the unit's records among those summed
};

struct Summary {
  int phones = 0;
  int passed = 0;
  std::map<std::string, int> failedByCause;  // "" counted as "unknown"
  double meanSeconds = 0.0;
  std::vector<PortSummary> ports;        // by station, then port
  std::vector<ServedAgain> servedAgain;  // in the order they came back
  // Of the units, the share that passed at their first attempt: a serial's records are one unit;
  // a record without a serial is a unit of its own. 0 with no phones.
  int units = 0;
  int passedFirstTime = 0;
  double firstPassYield = 0.0;
  // From the first phone's start to the last one's end; 0 when no record's times can be read.
  double spanSeconds = 0.0;
  double phonesPerHour = 0.0;  // phones over the span; 0 when the span is 0
};

// A run of this many failures in a row on one port is pointed out.
inline constexpr int kRepeatedFailures = 3;

// Sums up `records`, taken in the order given (oldest first).
[[nodiscard]] Summary Summarise(const std::vector<Record>& records);

}  // namespace veska::records
