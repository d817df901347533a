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
// there until the server has it, in order; a second thread delivers, so that a server that is
// slow, stalled or gone never holds up a record's local write (nor the run's start: the first
// connection is made on that thread). What the server did not get survives the run for the
// next one to deliver; a record the server refuses for its data is set aside there with the
// server's reason. A store that cannot take a record keeps it waiting in memory, says so once
// and tries again with each new record and every few seconds; whatever is left when the
// program ends is named then.
//
// Thread safety: Keep may be called from any thread; `say` is called from the keeper's threads
// (one at a time) and from Start and Finish.
class Keeper {
 public:
  // `place`: where the records go (PlaceOf); `localPath`: this PC's database, where records
  // wait for a server. `say` shows one line of the program's own. `client`: how a server lists
  // this program among its clients.
  Keeper(Place place, std::string localPath, std::function<void(const std::string&)> say,
         Client client = {});
  ~Keeper() { Finish(); }
  Keeper(const Keeper&) = delete;
  Keeper& operator=(const Keeper&) = delete;

  // Opens the stores before the first phone. False, with its words said, when the user chose
  // the store and it cannot be written, or when a server refuses this program (a password, a
  // right, a database) within kRefusalWait; a server that has not answered by then does not
  // hold the run up.
  [[nodiscard]] bool Start();
  void Keep(Record record);
  // Writes what still waits and stops; waits for the server at most kFinishWait, and not at
  // all when its last answer was a failure. Says what could not be written, and what waits on
  // this PC for any server.
  void Finish();

  static constexpr std::chrono::milliseconds kRefusalWait{1000};
  static constexpr std::chrono::seconds kFinishWait{5};

 private:
  void Write(const std::stop_token& stop);
  void Send(const std::stop_token& stop);
  void SendUntilDone(const std::stop_token& stop);
  // Under the lock, which each releases while it writes: the records in memory into their
  // store (with a server: into the waiting room), and the waiting room's records to the server.
  // KeepWaiting gives the store's refusal (RECORDS_OK when every record is kept), Deliver and
  // DeliverDirect false when the server did not take them.
  int KeepWaiting(std::unique_lock<std::mutex>& lock);
  bool OpenServer(std::unique_lock<std::mutex>& lock);
  bool Deliver(std::unique_lock<std::mutex>& lock);
  bool DeliverDirect(std::unique_lock<std::mutex>& lock);
  // The server's failure `status`, said once while it lasts.
  void ServerFailed(int status, const std::string& problem);
  // What this PC's database keeps for servers, by server: filed under each server's key.
  void FileUnderKeys();
  void NameWhatWaits();

  Place place_;
  std::string localPath_;
  std::function<void(const std::string&)> say_;
  Client client_;
  std::unique_ptr<Store> store_;        // a database file: the records' place
  std::unique_ptr<Store> server_;       // a server: the records' place ...
  std::unique_ptr<LocalStore> local_;   // ... where they wait for it (the writer's) ...
  std::unique_ptr<LocalStore> outbox_;  // ... and the sender's own connection to it
  std::string serverKey_;               // the server as the waiting room names it
  std::mutex mutex_;
  std::condition_variable_any wake_;  // the writer's
  std::condition_variable_any send_;  // the sender's
  std::condition_variable answered_;  // the server's first answer; the sender's end
  std::deque<Record> waiting_;        // kept by no store yet
  std::deque<Record> direct_;         // for the server alone: the waiting room refused them
  std::size_t kept_ = 0;              // records the writer has handed on
  int firstAnswer_ = -1;              // the server's answer to the first connection
  std::string firstProblem_;
  bool started_ = false;  // Start has returned: the sender speaks for itself
  bool finishing_ = false;
  bool written_ = false;    // the writer has stopped
  bool sent_ = false;       // the sender has stopped
  bool abandoned_ = false;  // the end came before the server's answer
  bool serverOpen_ = false;
  bool deliveryDue_ = false;        // the waiting room may hold records for the server
  bool localFailing_ = false;       // the records' store (or waiting room) refused; said once
  int serverFailing_ = RECORDS_OK;  // how the server last failed; said once
  std::jthread writer_;
  std::jthread sender_;
};

}  // namespace veska::records
