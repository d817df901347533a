#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "records/Keeper.h"
#include "records/Schema.h"
#include "records/Stores.h"
#include "records/Summary.h"

namespace veska::records {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Record Phone(const std::string& id, const std::string& port, const std::string& started,
             const std::string& result) {
  Record r;
  r.id = id;
  r.station = "bench-1";
  r.port = port;
  r.device = "/dev/ttyUSB0";
  r.usbId = "0403:6001";
  r.usbSerial = "A10K3ZQ";
  r.started = started;
  r.ended = started;
  r.seconds = 61.5;
  r.result = result;
  r.exitStatus = result == "passed" ? 0 : 4;
  r.cause = result == "passed" ? "" : "no-reply";
  r.causeText = result == "passed" ? "" : "the phone did not answer";
  r.flashId = "K9F1G08U0A";
  r.badBlocksKnown = true;
  r.badBlocks = {{18, 2032}, {700, 1}};
  r.steps = {{"connect", "START", "connected", 0, "", 0, 3.25},
             {"download all-bin", "Download", result == "passed" ? "written" : "failed", 7, r.cause,
              r.exitStatus, 58.0}};
  r.images = {
      {"APPS", "/rel/APPS/FUSE_APPS.img", 4194304, 0xDEADBEEF, 0x00C00000, 14.5, true, true},
      {"TFS", "/rel/phone.tfs", 100, std::nullopt, std::nullopt, 0.5, false, false}};
  r.release = "/rel";
  r.releaseDigest = ReleaseDigest(r.images);
  r.version = "1.67";
  r.payloads = "built-in";
  r.unitSerial = "SN-" + id;
  r.operatorName = "Jürgen";
  return r;
}

void ExpectSame(const Record& a, const Record& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.station, b.station);
  EXPECT_EQ(a.port, b.port);
  EXPECT_EQ(a.usbSerial, b.usbSerial);
  EXPECT_EQ(a.started, b.started);
  EXPECT_EQ(a.seconds, b.seconds);
  EXPECT_EQ(a.result, b.result);
  EXPECT_EQ(a.causeText, b.causeText);
  EXPECT_EQ(a.badBlocks, b.badBlocks);
  EXPECT_EQ(a.releaseDigest, b.releaseDigest);
  EXPECT_EQ(a.payloads, b.payloads);
  EXPECT_EQ(a.unitSerial, b.unitSerial);
  EXPECT_EQ(a.operatorName, b.operatorName);
  ASSERT_EQ(a.steps.size(), b.steps.size());
  for (std::size_t i = 0; i < a.steps.size(); ++i) {
    EXPECT_EQ(a.steps[i].words, b.steps[i].words);
    EXPECT_EQ(a.steps[i].cause, b.steps[i].cause);
    EXPECT_EQ(a.steps[i].seconds, b.steps[i].seconds);
  }
  ASSERT_EQ(a.images.size(), b.images.size());
  for (std::size_t i = 0; i < a.images.size(); ++i) {
    EXPECT_EQ(a.images[i].path, b.images[i].path);
    EXPECT_EQ(a.images[i].crc32, b.images[i].crc32);
    EXPECT_EQ(a.images[i].address, b.images[i].address);
    EXPECT_EQ(a.images[i].verified, b.images[i].verified);
  }
}

class RecordStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::path(::testing::TempDir()) /
          ("veska-records-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    path = (dir / "veska-records.db").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  std::vector<Record> ReadAll(Store& store, const Filter& filter = {}) {
    std::vector<Record> out;
    EXPECT_EQ(store.Read(filter, out), RECORDS_OK) << store.Problem();
    return out;
  }

  fs::path dir;
  std::string path;
};

// Every field comes back as written, a repeated delivery stays one record, and each filter
// chooses what a line manager asks for.
TEST_F(RecordStoreTest, RecordsComeBackWholeOnceEachAndFiltered) {
  auto store = MakeSqliteStore(path);
  ASSERT_EQ(store->Open(), RECORDS_OK) << store->Problem();
  const Record first = Phone("bench-1-01", "COM5", "2026-12-08T23:59:59Z", "passed");
  Record second = Phone("bench-1-02", "COM6", "2026-12-09T08:00:00Z", "failed");
  second.images.pop_back();
  second.images[0].crc32 = 1;
  second.releaseDigest = ReleaseDigest(second.images);
  const Record third = Phone("bench-1-03", "COM5", "2026-12-09T09:00:00Z", "interrupted");
  for (const Record* r : {&first, &std::as_const(second), &third, &std::as_const(second)}) {
    ASSERT_EQ(store->Put(*r), RECORDS_OK) << store->Problem();
  }

  // Read through a second connection, as `records` does from another process.
  auto reader = MakeSqliteStore(path);
  ASSERT_EQ(reader->Open(), RECORDS_OK);
  const std::vector<Record> all = ReadAll(*reader);
  ASSERT_EQ(all.size(), 3u);
  ExpectSame(all[0], first);
  ExpectSame(all[1], second);
  EXPECT_FALSE(all[0].images[1].crc32.has_value());

  const auto ids = [&](const Filter& filter) {
    std::vector<std::string> out;
    for (const Record& r : ReadAll(*reader, filter)) out.push_back(r.id);
    return out;
  };
  using Ids = std::vector<std::string>;
  const auto with = [](std::string Filter::*field, const std::string& value) {
    Filter filter;
    filter.*field = value;
    return filter;
  };
  EXPECT_EQ(ids(with(&Filter::since, "2026-12-09")), (Ids{"bench-1-02", "bench-1-03"}));
  EXPECT_EQ(ids(with(&Filter::port, "COM5")), (Ids{"bench-1-01", "bench-1-03"}));
  EXPECT_EQ(ids(with(&Filter::release, first.releaseDigest)), (Ids{"bench-1-01", "bench-1-03"}));
  EXPECT_EQ(ids(with(&Filter::release, "/rel")).size(), 3u);
  EXPECT_TRUE(ids(with(&Filter::station, "bench-2")).empty());
  EXPECT_EQ(ids(with(&Filter::unit, "SN-bench-1-02")), (Ids{"bench-1-02"}));
  Filter failed;
  failed.failedOnly = true;
  EXPECT_EQ(ids(failed), (Ids{"bench-1-02", "bench-1-03"}));
}

// A writer killed at any moment leaves every record it finished and no part of the one it was
// writing.
TEST_F(RecordStoreTest, AWriterKilledMidRecordLeavesOnlyWholeRecords) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto store = MakeSqliteStore(path);
    if (store->Open() != RECORDS_OK) ::_exit(1);
    for (int i = 0;; ++i) {
      Record r = Phone("kill-" + std::to_string(i), "COM5", "2026-12-09T10:00:00Z", "passed");
      for (int s = 0; s < 40; ++s) r.steps.push_back(r.steps[0]);
      if (store->Put(r) != RECORDS_OK) ::_exit(2);
    }
  }
  // Until the first records are there, then at once.
  for (int i = 0; i < 200 && (!fs::exists(path) || fs::file_size(path) < 64 * 1024); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

  auto store = MakeSqliteStore(path);
  ASSERT_EQ(store->Open(), RECORDS_OK) << store->Problem();
  const std::vector<Record> all = ReadAll(*store);
  ASSERT_FALSE(all.empty());
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].id, "kill-" + std::to_string(i));
    EXPECT_EQ(all[i].steps.size(), 42u) << all[i].id;
    EXPECT_EQ(all[i].images.size(), 2u) << all[i].id;
  }
}

// A database a program cannot use says why, in words that name the file; a lock held by another
// program only delays the record until it is let go.
TEST_F(RecordStoreTest, UnusableDatabasesSayWhyAndALockOnlyDelays) {
  std::ofstream(dir / "notes.db") << "these are a technician's notes, not a database\n";
  auto notes = MakeSqliteStore((dir / "notes.db").string());
  EXPECT_EQ(notes->Open(), RECORDS_NOT_A_DATABASE);
  EXPECT_NE(notes->Problem().find("notes.db is not a records database"), std::string::npos)
      << notes->Problem();
  EXPECT_EQ(notes->Put(Phone("x", "COM5", "2026-12-09T10:00:00Z", "passed")),
            RECORDS_NOT_A_DATABASE);

  auto missing = MakeSqliteStore((dir / "no-such-folder" / "r.db").string());
  EXPECT_EQ(missing->Open(), RECORDS_UNAVAILABLE);
  EXPECT_NE(missing->Problem().find("no-such-folder/r.db cannot be opened"), std::string::npos)
      << missing->Problem();

  auto store = MakeSqliteStore(path, 100ms);
  ASSERT_EQ(store->Open(), RECORDS_OK);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const Record r = Phone("locked-1", "COM5", "2026-12-09T10:00:00Z", "passed");
  EXPECT_EQ(store->Put(r), RECORDS_BUSY);
  EXPECT_NE(store->Problem().find("is locked by another program"), std::string::npos);
  ASSERT_EQ(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
  EXPECT_EQ(store->Put(r), RECORDS_OK) << store->Problem();
  EXPECT_EQ(ReadAll(*store).size(), 1u);

  // A file the user may read but not write: readable, and a write says so. Root writes any
  // file, so the check runs as nobody then.
  store.reset();
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    auto readOnly = MakeSqliteStore(path);
    if (readOnly->Open() != RECORDS_READ_ONLY) ::_exit(11);
    if (readOnly->Problem().find("is read-only") == std::string::npos) ::_exit(12);
    std::vector<Record> out;
    if (readOnly->Read({}, out) != RECORDS_OK || out.size() != 1) {
      std::fprintf(stderr, "%s\n", readOnly->Problem().c_str());
      ::_exit(13);
    }
    if (readOnly->Put(Phone("ro", "COM5", "2026-12-09T10:00:00Z", "passed")) != RECORDS_READ_ONLY)
      ::_exit(14);
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(dir.c_str(), 0755);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// A database from an older version is brought up to date with its records kept; one from a
// newer version is left alone.
TEST_F(RecordStoreTest, OlderSchemasAreMigratedAndNewerOnesRefused) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  const std::string version1 =
      "CREATE TABLE veska_schema (version INTEGER NOT NULL);\n"
      "INSERT INTO veska_schema VALUES (1);\n" +
      Migrations(Dialect::Sqlite)[0] +
      ";\nINSERT INTO phone_records (id, station, port, device, started, ended, seconds, pass, "
      "result, exit_status, cause, cause_text, flash_id, bad_blocks_known, bad_blocks, "
      "release_dir, release_digest, version) VALUES ('old-1', 'bench-1', 'COM5', '/dev/ttyS4', "
      "'2026-11-01T10:00:00Z', '2026-11-01T10:01:00Z', 60, 1, 'passed', 0, '', '', 'K9F', 1, "
      "'18:2032', '/rel', 'abc', '1.60');\n"
      // Its outbox, from before refused records were kept.
      "CREATE TABLE veska_outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, record_id TEXT NOT NULL "
      "REFERENCES phone_records (id), server TEXT NOT NULL, UNIQUE (record_id, server));\n"
      "INSERT INTO veska_outbox (record_id, server) VALUES ('old-1', 'postgresql://line/r')";
  ASSERT_EQ(sqlite3_exec(raw, version1.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(raw);

  auto store = MakeSqliteStore(path);
  ASSERT_EQ(store->Open(), RECORDS_OK) << store->Problem();
  ASSERT_EQ(store->Put(Phone("new-1", "COM5", "2026-12-09T10:00:00Z", "passed")), RECORDS_OK);
  const std::vector<Record> all = ReadAll(*store);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, "old-1");
  EXPECT_EQ(all[0].badBlocks, (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{18, 2032}}));
  EXPECT_EQ(all[0].usbId, "");
  EXPECT_EQ(all[0].unitSerial, "");
  EXPECT_EQ(all[1].usbId, "0403:6001");
  EXPECT_EQ(all[1].unitSerial, "SN-new-1");
  Filter unit;
  unit.unit = "SN-new-1";
  EXPECT_EQ(ReadAll(*store, unit).size(), 1u);
  auto room = MakeLocalStore(path);
  std::vector<Record> waiting;
  ASSERT_EQ(room->Waiting("postgresql://line/r", kAllWaiting, waiting), RECORDS_OK)
      << room->Problem();
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting[0].id, "old-1");
  room.reset();

  store.reset();
  ASSERT_EQ(sqlite3_exec(raw, "UPDATE veska_schema SET version = 99", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  auto newer = MakeSqliteStore(path);
  EXPECT_EQ(newer->Open(), RECORDS_TOO_NEW);
  EXPECT_NE(newer->Problem().find("written by a newer version of the program (schema 99"),
            std::string::npos)
      << newer->Problem();
}

// The PC's own database is its user's alone, the database and its companions; and its
// write-ahead log never keeps the space it took (a small disk fills up otherwise).
TEST_F(RecordStoreTest, ThePcsDatabaseIsItsOwnersAndItsLogStaysSmall) {
  auto store = MakeLocalStore(path);
  ASSERT_EQ(store->Open(), RECORDS_OK) << store->Problem();
  std::uintmax_t largestLog = 0;
  for (int i = 0; i < 120; ++i) {
    Record r = Phone("wal-" + std::to_string(i), "COM5", "2026-12-09T10:00:00Z", "failed");
    r.causeText = std::string(4000, 'x');
    for (int s = 0; s < 60; ++s) r.steps.push_back(r.steps[0]);
    ASSERT_EQ(store->PutForServer(r, "postgresql://veska@line:5432/records"), RECORDS_OK)
        << store->Problem();
    std::error_code error;
    largestLog = std::max(largestLog, fs::file_size(path + "-wal", error));
  }
  EXPECT_LT(largestLog, 512u * 1024u);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    struct stat status {};
    ASSERT_EQ(::stat((path + suffix).c_str(), &status), 0) << suffix;
    EXPECT_EQ(status.st_mode & 0777, 0600u) << suffix;
  }
}

// The database removed or replaced while a run writes to it: the next record goes to the file
// the path names now, and that is said; nothing goes on into a file nobody sees.
TEST_F(RecordStoreTest, ADatabaseRemovedOrReplacedMidRunIsOpenedAgainAtItsPath) {
  std::mutex saidMutex;
  std::string said;
  Keeper keeper({path, true}, path, [&](const std::string& line) {
    std::lock_guard lock(saidMutex);
    said += line + "\n";
  });
  ASSERT_TRUE(keeper.Start());
  const auto ids = [this] {
    std::vector<std::string> out;
    auto reader = MakeSqliteStore(path);
    if (reader->Open() != RECORDS_OK) return out;
    for (const Record& r : ReadAll(*reader)) out.push_back(r.id);
    return out;
  };
  const auto await = [&ids](std::size_t count) {
    for (int i = 0; i < 250 && ids().size() != count; ++i) std::this_thread::sleep_for(20ms);
  };
  keeper.Keep(Phone("before", "COM5", "2026-12-09T10:00:00Z", "passed"));
  await(1);
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
  keeper.Keep(Phone("removed", "COM5", "2026-12-09T10:01:00Z", "passed"));
  await(1);
  EXPECT_EQ(ids(), std::vector<std::string>{"removed"});

  // A copy put in its place.
  const std::string copy = (dir / "copy.db").string();
  {
    auto other = MakeSqliteStore(copy);
    ASSERT_EQ(other->Open(), RECORDS_OK);
    ASSERT_EQ(other->Put(Phone("copied", "COM5", "2026-12-09T09:00:00Z", "passed")), RECORDS_OK);
  }
  fs::rename(copy, path);
  keeper.Keep(Phone("replaced", "COM5", "2026-12-09T10:02:00Z", "passed"));
  keeper.Finish();
  EXPECT_EQ(ids(), (std::vector<std::string>{"copied", "replaced"})) << said;
  const std::string line = path + " was removed or replaced while in use";
  const std::size_t first = said.find(line);
  ASSERT_NE(first, std::string::npos) << said;
  EXPECT_NE(said.find(line, first + 1), std::string::npos) << said;
}

// A full disk refuses a record: it waits in memory and is written once space comes back; what
// could never be written is named at the end.
TEST_F(RecordStoreTest, AFullDiskDelaysRecordsUntilSpaceComesBack) {
  if (::geteuid() != 0) GTEST_SKIP() << "a small file system of its own needs root";
  const fs::path small = dir / "small";
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=512k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};
  const std::string db = (small / "veska-records.db").string();
  std::mutex saidMutex;
  std::string said;
  const auto saying = [&](const std::string& text) {
    std::lock_guard lock(saidMutex);
    return said.find(text) != std::string::npos;
  };
  Keeper keeper({db, true}, db, [&](const std::string& line) {
    std::lock_guard lock(saidMutex);
    said += line + "\n";
  });
  ASSERT_TRUE(keeper.Start());
  const auto count = [&db] {
    auto reader = MakeSqliteStore(db);
    std::vector<Record> out;
    return reader->Open() == RECORDS_OK && reader->Read({}, out) == RECORDS_OK ? out.size() : 0;
  };
  const auto fill = [&small] {
    std::ofstream filler(small / "filler", std::ios::binary | std::ios::app);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  };
  Record big = Phone("second", "COM5", "2026-12-09T10:01:00Z", "failed");
  big.causeText = std::string(4000, 'y');
  for (int s = 0; s < 40; ++s) big.steps.push_back(big.steps[0]);

  keeper.Keep(Phone("first", "COM5", "2026-12-09T10:00:00Z", "passed"));
  for (int i = 0; i < 250 && count() != 1; ++i) std::this_thread::sleep_for(20ms);
  fill();
  keeper.Keep(big);
  for (int i = 0; i < 250 && !saying("cannot be kept for now"); ++i) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(saying("cannot be kept for now")) << said;
  fs::remove(small / "filler");
  for (int i = 0; i < 500 && count() != 2; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(count(), 2u) << said;
  EXPECT_TRUE(saying("the records are written again, to " + db)) << said;

  fill();
  big.id = "third";
  keeper.Keep(big);
  keeper.Finish();
  EXPECT_TRUE(saying("1 record could not be kept: " + db)) << said;
  fs::remove(small / "filler");
  EXPECT_EQ(count(), 2u);
}

// The sums a line manager reads: failures by cause, each port's share, and a port whose phones
// keep failing (three in a row) pointed out, whether or not it has recovered since.
TEST(RecordSummary, CountsCausesPortsAndFailuresInARow) {
  std::vector<Record> all;
  const auto add = [&all](const std::string& port, const std::string& result,
                          const std::string& cause, double seconds) {
    Record r = Phone("id-" + std::to_string(all.size()), port,
                     "2026-12-09T10:" + std::to_string(10 + all.size()) + ":00Z", result);
    r.cause = cause;
    r.seconds = seconds;
    all.push_back(r);
  };
  add("COM5", "passed", "", 60);
  add("COM6", "failed", "no-reply", 10);
  add("COM6", "failed", "port", 10);
  add("COM5", "passed", "", 62);
  add("COM6", "interrupted", "cancelled", 10);
  add("COM6", "passed", "", 58);
  add("COM7", "failed", "", 30);
  add("COM7", "failed", "no-reply", 30);
  add("COM7", "failed", "no-reply", 30);

  const Summary summary = Summarise(all);
  EXPECT_EQ(summary.phones, 9);
  EXPECT_EQ(summary.passed, 3);
  EXPECT_EQ(
      summary.failedByCause,
      (std::map<std::string, int>{{"cancelled", 1}, {"no-reply", 3}, {"port", 1}, {"unknown", 1}}));
  EXPECT_NEAR(summary.meanSeconds, 300.0 / 9, 1e-9);
  ASSERT_EQ(summary.ports.size(), 3u);
  const PortSummary& com6 = summary.ports[1];
  EXPECT_EQ(com6.port, "COM6");
  EXPECT_EQ(com6.phones, 4);
  EXPECT_EQ(com6.failedInARow, 3);
  EXPECT_FALSE(com6.stillFailing);  // its last phone passed
  EXPECT_EQ(com6.lastOfRun, all[4].started);
  const PortSummary& com7 = summary.ports[2];
  EXPECT_EQ(com7.failedInARow, 3);
  EXPECT_TRUE(com7.stillFailing);
  EXPECT_EQ(summary.ports[0].failedInARow, 0);
  EXPECT_EQ(summary.ports[0].meanSeconds, 61.0);
  // Every record a phone of its own (no unit serials): the first-pass yield is the share passed.
  EXPECT_DOUBLE_EQ(summary.firstPassYield, 3.0 / 9);
  // From the first start to the last end, 10:10 to 10:18.
  EXPECT_DOUBLE_EQ(summary.spanSeconds, 480.0);
  EXPECT_DOUBLE_EQ(summary.phonesPerHour, 67.5);
  // A time that cannot be read is left out of the span, not of the count; no span, no rate.
  all.front().started = "10:10";
  EXPECT_DOUBLE_EQ(Summarise(all).spanSeconds, 420.0);
  EXPECT_EQ(Summarise({all.back()}).phonesPerHour, 0.0);
  EXPECT_EQ(Summarise({}).firstPassYield, 0.0);

  // Units: retried after failures is normal; brought back after a pass is pointed out once,
  // with all its records; phones without a serial are no unit.
  const auto unit = [&all](std::size_t i, const std::string& serial) {
    all[i].unitSerial = serial;
  };
  unit(1, "U1");  // failed
  unit(3, "U1");  // passed
  unit(5, "U1");  // passed again: served again
  unit(6, "U1");  // and again: still one line
  unit(2, "U2");  // failed
  unit(7, "U2");  // failed: a retry, not served again
  for (std::size_t i : {0u, 4u, 8u}) unit(i, "");
  const Summary units = Summarise(all);
  ASSERT_EQ(units.servedAgain.size(), 1u);
  EXPECT_EQ(units.servedAgain[0].unitSerial, "U1");
  EXPECT_EQ(units.servedAgain[0].records, 4);
  // Each serial one unit, its first record its first attempt: U1 failed first, U2 too.
  EXPECT_EQ(units.units, 5);
  EXPECT_EQ(units.passedFirstTime, 1);
}

// The records' times are read back from any store, so only their one form is taken.
TEST(RecordSummary, ReadsOnlyWellFormedUtcTimes) {
  std::int64_t seconds = -1;
  ASSERT_TRUE(ParseUtc("1970-01-01T00:00:00Z", seconds));
  EXPECT_EQ(seconds, 0);
  ASSERT_TRUE(ParseUtc("2028-02-29T23:59:59Z", seconds));
  EXPECT_EQ(seconds, 1835481599);
  for (const char* wrong : {"2026-02-29T10:00:00Z", "2026-12-09T24:00:00Z", "2026-12-09T10:60:00Z",
                            "2026-13-01T10:00:00Z", "2026-12-09 10:00:00Z", "2026-12-09T10:00:00",
                            "2026-12-09", "+026-12-09T10:00:00Z", ""}) {
    EXPECT_FALSE(ParseUtc(wrong, seconds)) << wrong;
  }
}

}  // namespace
}  // namespace veska::records
