#pragma once

#include <string>
#include <vector>

#include "records/Record.h"

namespace veska::records {

// Statuses of the stores: 0 for success.
inline constexpr int RECORDS_OK = 0;
inline constexpr int RECORDS_UNAVAILABLE = 1;  // cannot open or reach the store
inline constexpr int RECORDS_NOT_A_DATABASE = 2;
inline constexpr int RECORDS_READ_ONLY = 3;
inline constexpr int RECORDS_BUSY = 4;     // locked by another process past the wait
inline constexpr int RECORDS_FAILED = 5;   // a statement failed; Problem() says why
inline constexpr int RECORDS_TOO_NEW = 6;  // the schema is newer than this program knows
// The server does not let this program in: a wrong password, no right to the tables, no such
// database. Waiting does not mend it.
inline constexpr int RECORDS_REFUSED = 7;
// The server refused this one record (its data); the others may still go. Problem() is the
// server's reason alone.
inline constexpr int RECORDS_REJECTED = 8;
// The schema is older than this program's and this program may not change the tables (a
// bench's writer, a reader): the records wait until their owner migrates them.
inline constexpr int RECORDS_OUTDATED = 9;

// Where records are kept. A record is stored whole or not at all; putting one whose id is
// stored already stores nothing and succeeds, so that delivery can be repeated safely.
//
// Thread safety: none, but for Abandon; one store is used by one thread at a time.
class Store {
 public:
  virtual ~Store() = default;

  // Opens the store, creating its tables or bringing them to this program's version where it
  // may change them.
  [[nodiscard]] virtual int Open() = 0;
  [[nodiscard]] virtual int Put(const Record& record) = 0;
  // The records `filter` chooses, oldest first.
  [[nodiscard]] virtual int Read(const Filter& filter, std::vector<Record>& out) = 0;
  // What the last failure was, in words for the user ("" after a success).
  [[nodiscard]] virtual std::string Problem() const = 0;
  // Where the store is, for messages: a file path, or a server address without its password.
  [[nodiscard]] virtual std::string Where() const = 0;
  // May be called from any thread: whatever the store waits for ends at once, and so does any
  // later call, failing (the program is ending and will not wait for a server).
  virtual void Abandon() {}
  // A line of news since the last call ("" when none), such as a database file found replaced.
  [[nodiscard]] virtual std::string TakeNotice() { return {}; }
};

// The schema's version this program writes.
inline constexpr int kSchemaVersion = 3;  // Migrations(...).size()

}  // namespace veska::records
