#include "records/Schema.h"

#include <string_view>

namespace veska::records {

namespace {

// Version 1: the records, their steps and their images.
constexpr std::string_view kVersion1 =
    "CREATE TABLE phone_records (\n"
    "  seq {SERIAL},\n"
    "  id TEXT NOT NULL UNIQUE,\n"
    "  station TEXT NOT NULL,\n"
    "  port TEXT NOT NULL,\n"
    "  device TEXT NOT NULL,\n"
    "  started TEXT NOT NULL,\n"
    "  ended TEXT NOT NULL,\n"
    "  seconds {REAL} NOT NULL,\n"
    "  pass INTEGER NOT NULL,\n"
    "  result TEXT NOT NULL,\n"
    "  exit_status INTEGER NOT NULL,\n"
    "  cause TEXT NOT NULL,\n"
    "  cause_text TEXT NOT NULL,\n"
    "  flash_id TEXT NOT NULL,\n"
    "  bad_blocks_known INTEGER NOT NULL,\n"
    "  bad_blocks TEXT NOT NULL,\n"
    "  release_dir TEXT NOT NULL,\n"
    "  release_digest TEXT NOT NULL,\n"
    "  version TEXT NOT NULL\n"
    ");\n"
    "CREATE INDEX phone_records_started ON phone_records (started);\n"
    "CREATE INDEX phone_records_station_port ON phone_records (station, port);\n"
    "CREATE TABLE phone_steps (\n"
    "  record_id TEXT NOT NULL REFERENCES phone_records (id),\n"
    "  position INTEGER NOT NULL,\n"
    "  words TEXT NOT NULL,\n"
    "  operation TEXT NOT NULL,\n"
    "  outcome TEXT NOT NULL,\n"
    "  status INTEGER NOT NULL,\n"
    "  cause TEXT NOT NULL,\n"
    "  exit_status INTEGER NOT NULL,\n"
    "  seconds {REAL} NOT NULL,\n"
    "  PRIMARY KEY (record_id, position)\n"
    ");\n"
    "CREATE TABLE phone_images (\n"
    "  record_id TEXT NOT NULL REFERENCES phone_records (id),\n"
    "  position INTEGER NOT NULL,\n"
    "  kind TEXT NOT NULL,\n"
    "  path TEXT NOT NULL,\n"
    "  size BIGINT NOT NULL,\n"
    "  crc32 BIGINT,\n"
    "  address BIGINT,\n"
    "  seconds {REAL} NOT NULL,\n"
    "  written INTEGER NOT NULL,\n"
    "  verified INTEGER NOT NULL,\n"
    "  PRIMARY KEY (record_id, position)\n"
    ")";

// Version 2: the adapter's USB identity and the loader payloads in use.
constexpr std::string_view kVersion2 =
    "ALTER TABLE phone_records ADD COLUMN usb_id TEXT NOT NULL DEFAULT '';\n"
    "ALTER TABLE phone_records ADD COLUMN usb_serial TEXT NOT NULL DEFAULT '';\n"
    "ALTER TABLE phone_records ADD COLUMN payloads TEXT NOT NULL DEFAULT ''";

// Version 3: the unit's serial and the operator who served it; a unit's history is read by
// its serial.
constexpr std::string_view kVersion3 =
    "ALTER TABLE phone_records ADD COLUMN unit_serial TEXT NOT NULL DEFAULT '';\n"
    "ALTER TABLE phone_records ADD COLUMN operator TEXT NOT NULL DEFAULT '';\n"
    "CREATE INDEX phone_records_unit_serial ON phone_records (unit_serial)";

std::string Spelled(std::string_view statements, Dialect dialect) {
  std::string text(statements);
  const auto replace = [&text](std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
      text.replace(at, from.size(), to);
      at += to.size();
    }
  };
  const bool sqlite = dialect == Dialect::Sqlite;
  replace("{SERIAL}", sqlite ? "INTEGER PRIMARY KEY AUTOINCREMENT" : "BIGSERIAL PRIMARY KEY");
  replace("{REAL}", sqlite ? "REAL" : "DOUBLE PRECISION");
  return text;
}

}  // namespace

std::vector<std::string> StatementsOf(std::string_view migration) {
  std::vector<std::string> statements;
  while (!migration.empty()) {
    const std::size_t end = migration.find(";\n");
    statements.emplace_back(migration.substr(0, end));
    migration = end == std::string_view::npos ? std::string_view() : migration.substr(end + 2);
  }
  return statements;
}

std::vector<std::string> Migrations(Dialect dialect) {
  return {Spelled(kVersion1, dialect), Spelled(kVersion2, dialect), Spelled(kVersion3, dialect)};
}

}  // namespace veska::records
