// Writes a shift's records into a database through the SQLite store, the same every time for
// a seed: 3 stations x 4 slots over several hours, several causes, one slot that fails phone
// after phone at the end, and (but with "plain", for a picture of the page) texts a page or a
// spreadsheet must not take for markup or formulas.
//   report_seed DATABASE SEED COUNT [plain]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "records/Stores.h"

namespace {

using veska::records::Record;

std::string Time(long long seconds) {
  const long long day = seconds / 86400;
  const long long rest = seconds % 86400;
  char text[64];
  std::snprintf(text, sizeof text, "2026-12-%02lldT%02lld:%02lld:%02lldZ", 9 + day, rest / 3600,
                rest / 60 % 60, rest % 60);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: report_seed DATABASE SEED COUNT [plain]\n");
    return 2;
  }
  const auto store = veska::records::MakeSqliteStore(argv[1]);
  if (store->Open() != veska::records::RECORDS_OK) {
    std::fprintf(stderr, "report_seed: %s\n", store->Problem().c_str());
    return 1;
  }
  std::mt19937 random(static_cast<unsigned>(std::atoi(argv[2])));
  const int count = std::atoi(argv[3]);
  const bool plain = argc == 5 && std::string(argv[4]) == "plain";
  // Weighted as a line sees them: a few causes make most of the failures.
  const char* causes[] = {"no-reply",          "no-reply",      "no-reply", "verify-difference",
                          "verify-difference", "phone-refused", "port",     "file-refused",
                          "</script><b>cable"};
  const char* texts[] = {"=HYPERLINK(\"http://example.invalid\")", "no answer, \"BOOT\" lost",
                         "+1 block\nsecond line", "@sum", "-"};
  int phones[12] = {};
  // A failed unit comes back for a retest, on any slot; a third of the phones carry no serial.
  std::vector<std::string> retests;
  for (int i = 0; i < count; ++i) {
    const int slot = static_cast<int>(random() % 12);
    Record r;
    r.station = "bench-" + std::to_string(slot / 4 + 1);
    r.port = "/dev/ttyUSB" + std::to_string(slot % 4);
    r.id = r.station + "-" + std::to_string(i);
    r.pass = ++phones[slot];
    // Eight o'clock on, about 20 phones an hour per slot, the last ones into the next day.
    const long long started = 8 * 3600 + static_cast<long long>(i) * 6 * 3600 / count +
                              static_cast<long long>(random() % 60);
    r.seconds = 30.0 + static_cast<double>(random() % 600) / 10.0;
    r.started = Time(started);
    r.ended = Time(started + static_cast<long long>(r.seconds));
    // bench-2's /dev/ttyUSB3 fails every phone of its last fifth: its cable.
    const bool broken = slot == 7 && i > count * 4 / 5;
    const bool passed = !broken && random() % 100 < 88;
    r.result = passed ? "passed" : (random() % 20 == 0 ? "interrupted" : "failed");
    r.exitStatus = passed ? 0 : 4;
    if (!passed) {
      r.cause = broken ? "port" : causes[random() % (std::size(causes) - (plain ? 1 : 0))];
      r.causeText = plain ? "" : texts[random() % std::size(texts)];
    }
    if (!retests.empty() && random() % 2 == 0) {
      r.unitSerial = retests.back();
      retests.pop_back();
    } else if (random() % 3 != 0) {
      r.unitSerial = "SN" + std::to_string(100000 + i);
    }
    if (!passed && !r.unitSerial.empty()) retests.push_back(r.unitSerial);
    r.operatorName = i % 2 == 0 ? "Ana" : "Eve";
    r.flashId = passed ? "EC-F1" : "";
    r.version = "1.67";
    if (store->Put(r) != veska::records::RECORDS_OK) {
      std::fprintf(stderr, "report_seed: %s\n", store->Problem().c_str());
      return 1;
    }
  }
  return 0;
}
