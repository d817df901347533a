#pragma once

// The records' tables, the same for the PC's own database and a line's server: the statements
// that bring a store from one version of the schema to the next. A store at version N has had
// the first N applied; each is applied in the transaction that records its number.

#include <string>
#include <string_view>
#include <vector>

namespace veska::records {

enum class Dialect { Sqlite, Postgres };

// The statements of each migration, oldest first: Migrations(d)[0] creates version 1, and so
// on. Each element may hold several statements separated by ";\n".
[[nodiscard]] std::vector<std::string> Migrations(Dialect dialect);

// The statements of one migration, apart.
[[nodiscard]] std::vector<std::string> StatementsOf(std::string_view migration);

}  // namespace veska::records
