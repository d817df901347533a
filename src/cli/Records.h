#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cli/CliArguments.h"
#include "cli/StepTable.h"
#include "cli/bench/Report.h"
#include "records/Record.h"
#include "records/Store.h"
#include "records/Stores.h"

namespace veska::cli {

// Where a run keeps its phones' records.
struct RecordsPlace {
  std::string where;    // a database file or a server's address; empty: records are off
  bool chosen = false;  // named by --records: a store that cannot be written refuses the run
};
[[nodiscard]] RecordsPlace RecordsPlaceOf(const CliArguments& arguments);
// This PC's own records database: veska-records.db beside the settings file. With a server it
// is where records wait until the server has them.
[[nodiscard]] std::string LocalRecordsPath(const CliArguments& arguments);

// This PC's name in the records: --station, else the host name.
[[nodiscard]] std::string StationOf(const CliArguments& arguments);

// What a phone's record holds besides what its pass learned.
struct RecordFacts {
  std::string station;
  std::string device;
  std::string release;
  std::string payloads;
};

// The record of a phone served: `phone` as its pass ended, with the run's facts; its id is made
// now, with its end.
[[nodiscard]] records::Record ToRecord(const PhoneRecord& phone, const RecordFacts& facts);

// Keeps each phone's record in the run's store, on a thread of its own so that no port waits
// for the database. A store that cannot take a record keeps it waiting in memory, says so once
// and tries again with each new record and every few seconds; whatever is left when the run
// ends is named then.
//
// Thread safety: Keep may be called from any thread.
class RecordKeeper {
 public:
  // `say` prints one line of the run's own (standard error, around a bench's table).
  RecordKeeper(const CliArguments& arguments, std::function<void(const std::string&)> say);
  ~RecordKeeper() { Finish(); }
  RecordKeeper(const RecordKeeper&) = delete;
  RecordKeeper& operator=(const RecordKeeper&) = delete;

  // Opens the store before the first phone. False, with its words said, when the user chose
  // the store and it cannot be written: the run is refused before any port opens.
  [[nodiscard]] bool Start();
  void Keep(records::Record record);
  // Writes what still waits and stops the writer; says what could not be written.
  void Finish();

 private:
  void Write(const std::stop_token& stop);
  // Under the lock, which each releases while it writes: the records in memory into their
  // store (with a server: into the waiting room), and the waiting room's records to the server.
  // False when a store refused.
  bool KeepWaiting(std::unique_lock<std::mutex>& lock);
  bool Deliver(std::unique_lock<std::mutex>& lock);

  RecordsPlace place_;
  std::string localPath_;
  std::function<void(const std::string&)> say_;
  std::unique_ptr<records::Store> store_;       // a database file: the records' place
  std::unique_ptr<records::Store> server_;      // a server: the records' place ...
  std::unique_ptr<records::LocalStore> local_;  // ... and where they wait for it
  std::string serverKey_;                       // the server as the waiting room names it
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<records::Record> waiting_;  // kept by no store yet
  bool finishing_ = false;
  bool deliveryDue_ = false;    // the waiting room may hold records for the server
  bool localFailing_ = false;   // the records' store (or waiting room) refused; said once
  bool serverFailing_ = false;  // the server could not be reached; said once
  std::jthread writer_;
};

class CliSession;
class InterruptWatch;

// Runs a plain run's session; when its steps seek a phone, the phone's record is kept as a
// bench keeps each of its phones'. Returns the exit status.
int RunRecorded(CliSession& session, const CliArguments& arguments, InterruptWatch& interrupts,
                std::FILE* err);

// `records`: the records the step's filter chooses, one line each, and their sums; as JSON with
// `json`. False (its words on `err`) when the store cannot be read.
bool RecordsStep(const CliArguments& arguments, const steps::Records& step, std::FILE* out,
                 std::FILE* err, bool json);

}  // namespace veska::cli
