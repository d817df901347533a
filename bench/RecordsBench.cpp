// What keeping records costs a bench: a phone's record written to this PC's SQLite database
// (WAL, every commit synced), through the keeper as a bench does, and to a local PostgreSQL
// server; and how fast a backlog that waited through an outage reaches the server. Each cost is
// set beside the quickest phone a bench serves (All Binary at 3M, about 15 s on the line), so
// the figure reads as the share of a phone's time. One run's timings, reported, never judged.
//
// Usage: veska_records_bench [RECORDS]   (default 300)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "records/Keeper.h"
#include "records/PostgresServer.h"
#include "records/Stores.h"

namespace {

using namespace veska;
using Clock = std::chrono::steady_clock;

// The line's time for the quickest phone: All Binary's 4.6 MB of images at 3 Mbit/s.
constexpr double kQuickestPhoneSeconds = 4587520.0 * 10.0 / 3000000.0;

// A phone's record as a bench writes it: four steps, eight images.
records::Record PhoneRecord(int n) {
  records::Record r;
  r.station = "bench-1";
  r.id = records::NewRecordId(r.station);
  r.port = "COM" + std::to_string(3 + n % 16);
  r.device = "/dev/ttyUSB" + std::to_string(n % 16);
  r.usbId = "0403:6001";
  r.usbSerial = "A10K3ZQ";
  r.started = r.ended = records::UtcNow();
  r.seconds = 31.5;
  r.pass = n;
  r.result = "passed";
  r.flashId = "K9F1G08U0A";
  r.badBlocksKnown = true;
  r.badBlocks = {{18, 2032}, {700, 1}};
  r.steps = {{"connect", "START", "connected", 0, "", 0, 3.25},
             {"erase all", "Erase", "done", 0, "", 0, 2.0},
             {"download all-bin", "Download", "written", 0, "", 0, 24.0},
             {"checksum", "Checksum", "done", 0, "", 0, 0.1}};
  for (int i = 0; i < 8; ++i) {
    r.images.push_back({"IMAGE" + std::to_string(i), "/release/IMAGE" + std::to_string(i) + ".img",
                        1u << 20, 0x1234ABCDu + static_cast<unsigned>(i),
                        0x00200000u * static_cast<unsigned>(i), 3.0, true, i < 2});
  }
  r.release = "/release";
  r.releaseDigest = records::ReleaseDigest(r.images);
  r.version = records::ProgramVersion();
  r.payloads = "built-in";
  return r;
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const char* what, int count, double seconds) {
  const double perRecord = seconds / count;
  std::printf("%-44s %7.2f ms a record  %6.0f records/s  %.4f %% of the quickest phone\n", what,
              perRecord * 1e3, count / seconds, 100.0 * perRecord / kQuickestPhoneSeconds);
}

// Each record in its own transaction, as the keeper writes them, into a store opened first.
double PutEach(records::Store& store, int count) {
  const auto refused = [&store] {
    std::fprintf(stderr, "%s\n", store.Problem().c_str());
    std::exit(1);
  };
  if (store.Open() != records::RECORDS_OK) refused();
  const Clock::time_point start = Clock::now();
  for (int n = 0; n < count; ++n) {
    if (store.Put(PhoneRecord(n)) != records::RECORDS_OK) refused();
  }
  return Since(start);
}

// Keep() as a bench calls it, to the last record written.
double ThroughKeeper(const records::Place& place, const std::string& local, int count) {
  records::Keeper keeper(place, local, [](const std::string& line) {
    std::fprintf(stderr, "keeper: %s\n", line.c_str());
  });
  if (!keeper.Start()) std::exit(1);
  const Clock::time_point start = Clock::now();
  for (int n = 0; n < count; ++n) keeper.Keep(PhoneRecord(n));
  keeper.Finish();
  return Since(start);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("veska-records-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::printf("%d records; the quickest phone takes %.1f s of line time\n", count,
              kQuickestPhoneSeconds);

  const std::string file = (folder / "veska-records.db").string();
  Report("SQLite, one synced transaction each", count,
         PutEach(*records::MakeSqliteStore(file), count));
  Report("SQLite through the keeper", count,
         ThroughKeeper({(folder / "kept.db").string(), true}, file, count));

  testing::PostgresServer server;
  if (!server.Start()) {
    std::printf("PostgreSQL: not measured (%s)\n", server.Problem().c_str());
  } else {
    const std::string address = server.Address();
    Report("PostgreSQL, one transaction each", count,
           PutEach(*records::MakePostgresStore(address), count));
    Report("PostgreSQL through the keeper (outbox)", count,
           ThroughKeeper({address, true}, (folder / "waiting.db").string(), count));
    // An outage: the records wait in this PC's database, then the next run delivers them.
    server.Stop();
    (void)ThroughKeeper({address, true}, (folder / "backlog.db").string(), count);
    if (!server.Start()) return 1;
    Report("a backlog delivered after an outage", count,
           ThroughKeeper({address, true}, (folder / "backlog.db").string(), 0));
  }
  std::filesystem::remove_all(folder);
  return 0;
}
