#pragma once

// The roles of a line's records server, so that each program gets no more than it needs: the
// owner holds the tables and alone changes them (migrations), the benches' writer adds records
// and can neither change nor remove one, a reader only reads. The three are group roles that
// log in as nobody; the line's users are made members of them.

#include <string>
#include <string_view>
#include <vector>

namespace veska::records {

inline constexpr std::string_view kOwnerRole = "veska_owner";
inline constexpr std::string_view kWriterRole = "veska_writer";
inline constexpr std::string_view kReaderRole = "veska_reader";

// The statements that make the roles and give them the records' tables (made first where the
// database has none), in order; run by the database's owner or a superuser, who becomes a
// member of the owner role. Running them again changes nothing. PostgreSQL only.
[[nodiscard]] std::vector<std::string> ServerSetupStatements();

// The same as one text for psql, in one transaction.
[[nodiscard]] std::string ServerSetupSql();

}  // namespace veska::records
