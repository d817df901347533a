#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "records/Store.h"

namespace veska::records {

// True for a server's address ("postgresql://..." or "postgres://...", or "service=NAME" for
// a service of libpq's service file); anything else names a database file.
[[nodiscard]] bool IsServerAddress(const std::string& where);

// Who connects to a server, as the server's list of its clients (pg_stat_activity) shows it:
// which program, on which station, for which port or bench. An application_name the address
// (or its service, or PGAPPNAME) gives wins: a line may name its benches its own way.
struct Client {
  std::string name;  // "veska-cli station-7 /dev/ttyUSB3"; made fit by ClientName
};
// The longest client name a server keeps (its NAMEDATALEN - 1); it cuts longer ones.
inline constexpr std::size_t kClientNameLength = 63;
// `text` as a server keeps a client's name: printable ASCII ('?' for anything else), at most
// kClientNameLength bytes.
[[nodiscard]] std::string ClientName(std::string_view text);

// The store `where` names, not yet opened. A kind of store this build has no library for is
// still made: its Open() fails and says so.
[[nodiscard]] std::unique_ptr<Store> MakeStore(const std::string& where, const Client& client = {});

// The two kinds, for those that know which they want.
[[nodiscard]] std::unique_ptr<Store> MakeSqliteStore(const std::string& path);
// With how long a write waits for another process that holds the database.
[[nodiscard]] std::unique_ptr<Store> MakeSqliteStore(const std::string& path,
                                                     std::chrono::milliseconds busyWait);
[[nodiscard]] std::unique_ptr<Store> MakePostgresStore(const std::string& address,
                                                       const Client& client = {});

// What a server's owner did to it: its schema's version before (0: no tables) and after, and
// the roles made.
struct ServerChange {
  int from = 0;
  int to = 0;
  int rolesMade = 0;
};
// Brings the server's schema to this program's version, whoever connects: a role that may not
// change the tables is refused by the server (RECORDS_REFUSED). `problem` says why it failed.
[[nodiscard]] int MigrateServer(const std::string& address, const Client& client,
                                ServerChange& change, std::string& problem);
// Runs ServerSetupStatements() on the server in one transaction.
[[nodiscard]] int SetUpServer(const std::string& address, const Client& client,
                              ServerChange& change, std::string& problem);

// As a limit of LocalStore::Waiting: every record that waits.
inline constexpr std::size_t kAllWaiting = 1'000'000;

// The records a PC keeps for one server.
struct Outbox {
  std::string server;        // as ServerKey names it
  std::size_t waiting = 0;   // still to be delivered
  std::size_t setAside = 0;  // refused by the server for their data: they stay here
};

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
  // The server refused the record for its data: it no longer waits, and keeps `reason`.
  [[nodiscard]] virtual int SetAside(const std::string& server, const std::string& id,
                                     const std::string& reason) = 0;
  // The records set aside for `server`, in the order they were kept, each with its reason.
  [[nodiscard]] virtual int SetAsideRecords(const std::string& server, std::vector<Record>& out,
                                            std::vector<std::string>& reasons) = 0;
  // Every server something is kept for, in the order of its oldest record.
  [[nodiscard]] virtual int Outboxes(std::vector<Outbox>& out) = 0;
  // What is kept for `from` is kept for `to` instead (the same server named another way).
  [[nodiscard]] virtual int Refile(const std::string& from, const std::string& to) = 0;
};

// Whether this build keeps records on the PC (it has SQLite).
[[nodiscard]] bool LocalRecordsAvailable();

// The local store at `path`; null in a build without SQLite.
[[nodiscard]] std::unique_ptr<LocalStore> MakeLocalStore(const std::string& path);

// An address as it may be shown: the password, where it has one (before the host, or as a
// password= setting), replaced by "***".
[[nodiscard]] std::string ShownAddress(const std::string& address);
// Whether an address holds a password itself (rather than leaving it to the password file).
[[nodiscard]] bool HoldsPassword(const std::string& address);

// The server an address names, as records wait for it on the PC:
// "postgresql://user@host:port/database", with what the address leaves out as libpq would
// take it (its service's settings, its environment, then its defaults) and never a password; a
// service no service file defines is named "postgresql:///?service=NAME". Asks no server.
[[nodiscard]] std::string ServerKey(const std::string& address);
// Whether two addresses (or keys) name the same server: the same user, port and database at a
// host of the same name or address. May ask the name service: never on a port's thread.
[[nodiscard]] bool SameServer(const std::string& one, const std::string& other);

}  // namespace veska::records
