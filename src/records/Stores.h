#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "records/Store.h"

namespace veska::records {

// True for a server's address ("postgresql://..." or "postgres://..."); anything else names a
// database file.
[[nodiscard]] bool IsServerAddress(const std::string& where);

// The store `where` names, not yet opened. A kind of store this build has no library for is
// still made: its Open() fails and says so.
[[nodiscard]] std::unique_ptr<Store> MakeStore(const std::string& where);

// The two kinds, for those that know which they want.
[[nodiscard]] std::unique_ptr<Store> MakeSqliteStore(const std::string& path);
// With how long a write waits for another process that holds the database.
[[nodiscard]] std::unique_ptr<Store> MakeSqliteStore(const std::string& path,
                                                     std::chrono::milliseconds busyWait);
[[nodiscard]] std::unique_ptr<Store> MakePostgresStore(const std::string& address);

// As a limit of LocalStore::Waiting: every record that waits.
inline constexpr std::size_t kAllWaiting = 1'000'000;

// This PC's own database, which also keeps the records still to be delivered to a server: a
// bench never waits for its server, and a record it could not deliver survives the run.
class LocalStore : public Store {
 public:
  // Stores the record and notes it as waiting for `server`, in one transaction.
  [[nodiscard]] virtual int PutForServer(const Record& record, const std::string& server) = 0;
  // The records waiting for `server`, in the order they were kept; at most `limit`
  // (kAllWaiting: every one).
  [[nodiscard]] virtual int Waiting(const std::string& server, std::size_t limit,
                                    std::vector<Record>& out) = 0;
  // The server has the record.
  [[nodiscard]] virtual int Delivered(const std::string& server, const std::string& id) = 0;
};

// Whether this build keeps records on the PC (it has SQLite).
[[nodiscard]] bool LocalRecordsAvailable();

// The local store at `path`; null in a build without SQLite.
[[nodiscard]] std::unique_ptr<LocalStore> MakeLocalStore(const std::string& path);

// An address as it may be shown: the password, where it has one, replaced by "***".
[[nodiscard]] std::string ShownAddress(const std::string& address);

}  // namespace veska::records
