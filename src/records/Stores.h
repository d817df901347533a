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

// An address as it may be shown: the password, where it has one, replaced by "***".
[[nodiscard]] std::string ShownAddress(const std::string& address);

}  // namespace veska::records
