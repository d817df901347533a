#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "records/Record.h"
#include "records/Store.h"
#include "records/Stores.h"

namespace veska::records {

// Where a program keeps its phones' records.
struct Place {
  std::string where;    // a database file or a server's address; empty: records are off
  bool chosen = false;  // the user named it: a store that cannot be written refuses the run
};
// `given` (a program's option; "none" turns records off), else the settings file's Records key,
// else LocalRecordsPath.
[[nodiscard]] Place PlaceOf(const std::string& given, const std::filesystem::path& settingsFile);
// This PC's own records database: veska-records.db beside the settings file. With a server it
// is where records wait until the server has them.
[[nodiscard]] std::string LocalRecordsPath(const std::filesystem::path& settingsFile);
// Whether that database is there yet: a PC that has served no phone has none.
[[nodiscard]] bool LocalRecordsExist(const std::filesystem::path& settingsFile);

// Keeps each phone's record in a program's store, on a thread of its own so that no port waits
// for the database. With a server, each record first goes to this PC's database and waits
// there until the server has it, in order; a bench never stops for its server, and what the
// server did not get survives the run for the next one to deliver. A store that cannot take a
// record keeps it waiting in memory, says so once and tries again with each new record and
// every few seconds; whatever is left when the program ends is named then.
//
// Thread safety: Keep may be called from any thread; `say` is called from the writer's.
class Keeper {
 public:
  // `place`: where the records go (PlaceOf); `localPath`: this PC's database, where records
  // wait for a server. `say` shows one line of the program's own.
  Keeper(Place place, std::string localPath, std::function<void(const std::string&)> say);
  ~Keeper() { Finish(); }
  Keeper(const Keeper&) = delete;
  Keeper& operator=(const Keeper&) = delete;

  // Opens the stores before the first phone. False, with its words said, when the user chose
  // the store and it cannot be written.
  [[nodiscard]] bool Start();
  void Keep(Record record);
  // Writes what still waits and stops the writer; says what could not be written.
  void Finish();

 private:
  void Write(const std::stop_token& stop);
  // Under the lock, which each releases while it writes: the records in memory into their
  // store (with a server: into the waiting room), and the waiting room's records to the server.
  // KeepWaiting gives the store's refusal (RECORDS_OK when every record is kept), Deliver false
  // when the server refused.
  int KeepWaiting(std::unique_lock<std::mutex>& lock);
  bool Deliver(std::unique_lock<std::mutex>& lock);

  Place place_;
  std::string localPath_;
  std::function<void(const std::string&)> say_;
  std::unique_ptr<Store> store_;       // a database file: the records' place
  std::unique_ptr<Store> server_;      // a server: the records' place ...
  std::unique_ptr<LocalStore> local_;  // ... and where they wait for it
  std::string serverKey_;              // the server as the waiting room names it
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<Record> waiting_;  // kept by no store yet
  bool finishing_ = false;
  bool deliveryDue_ = false;    // the waiting room may hold records for the server
  bool localFailing_ = false;   // the records' store (or waiting room) refused; said once
  bool serverFailing_ = false;  // the server could not be reached; said once
  std::jthread writer_;
};

}  // namespace veska::records
