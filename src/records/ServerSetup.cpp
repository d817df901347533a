#include "records/ServerSetup.h"

#include "records/Schema.h"
#include "records/Store.h"

namespace veska::records {

namespace {

// Quotes the statements of a migration for EXECUTE inside a DO block.
constexpr std::string_view kQuote = "$migration$";

// The tables the migrations make, in the order they make them: the tables a record goes into.
// A migration that adds one is covered here without a word more.
std::vector<std::string> RecordTables(const std::vector<std::string>& migrations) {
  std::vector<std::string> tables;
  constexpr std::string_view kCreate = "CREATE TABLE ";
  for (const std::string& migration : migrations) {
    for (std::size_t at = migration.find(kCreate); at != std::string::npos;
         at = migration.find(kCreate, at + 1)) {
      const std::size_t name = at + kCreate.size();
      tables.push_back(migration.substr(name, migration.find_first_of(" (", name) - name));
    }
  }
  return tables;
}

std::string Replaced(std::string text) {
  const auto replace = [&text](std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
      text.replace(at, from.size(), to);
      at += to.size();
    }
  };
  replace("{OWNER}", kOwnerRole);
  replace("{WRITER}", kWriterRole);
  replace("{READER}", kReaderRole);
  return text;
}

}  // namespace

std::vector<std::string> ServerSetupStatements() {
  const std::vector<std::string> migrations = Migrations(Dialect::Postgres);
  std::string create;
  for (const std::string& migration : migrations) {
    for (const std::string& statement : StatementsOf(migration)) {
      create += "    EXECUTE " + std::string(kQuote) + statement + std::string(kQuote) + ";\n";
    }
  }
  std::string tables;
  for (const std::string& table : RecordTables(migrations)) {
    tables += (tables.empty() ? "'" : ", '") + table + "'";
  }

  std::vector<std::string> statements = {
      // The roles log in as nobody: people and benches log in as themselves, members of one.
      "DO $$\n"
      "DECLARE\n"
      "  r TEXT;\n"
      "BEGIN\n"
      "  FOREACH r IN ARRAY ARRAY['{OWNER}', '{WRITER}', '{READER}'] LOOP\n"
      "    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = r) THEN\n"
      "      EXECUTE format('CREATE ROLE %I NOLOGIN', r);\n"
      "    END IF;\n"
      "  END LOOP;\n"
      "END\n"
      "$$",
      // Who sets the server up may hand the tables to the owner, and migrate them later.
      "GRANT {OWNER} TO CURRENT_USER",
      // Nobody else gets into the database or its schema; only the owner makes tables there.
      "DO $$\n"
      "BEGIN\n"
      "  EXECUTE format('REVOKE ALL ON DATABASE %I FROM PUBLIC', current_database());\n"
      "  EXECUTE format('GRANT CONNECT, TEMPORARY ON DATABASE %I TO {OWNER}', "
      "current_database());\n"
      "  EXECUTE format('GRANT CONNECT ON DATABASE %I TO {WRITER}, {READER}', "
      "current_database());\n"
      "  EXECUTE format('REVOKE ALL ON SCHEMA %I FROM PUBLIC', current_schema());\n"
      "  EXECUTE format('GRANT USAGE, CREATE ON SCHEMA %I TO {OWNER}', current_schema());\n"
      "  EXECUTE format('GRANT USAGE ON SCHEMA %I TO {WRITER}, {READER}', current_schema());\n"
      "END\n"
      "$$",
      // A database without the records' tables gets them at this program's version.
      "DO $$\n"
      "BEGIN\n"
      "  IF to_regclass('veska_schema') IS NULL THEN\n" +
          create +
          "    CREATE TABLE veska_schema (version INTEGER NOT NULL);\n"
          "    INSERT INTO veska_schema (version) VALUES (" +
          std::to_string(kSchemaVersion) +
          ");\n"
          "  END IF;\n"
          "END\n"
          "$$",
      // The owner holds every table (and so the serial's sequence); the writer adds records and
      // reads the schema's version, the reader reads. The conflict target of the writer's
      // INSERT ... ON CONFLICT (id) needs SELECT on that column, and no other.
      "DO $$\n"
      "DECLARE\n"
      "  t TEXT;\n"
      "BEGIN\n"
      "  FOREACH t IN ARRAY ARRAY['veska_schema', " +
          tables +
          "] LOOP\n"
          "    CONTINUE WHEN to_regclass(t) IS NULL;\n"
          "    EXECUTE format('ALTER TABLE %I OWNER TO {OWNER}', t);\n"
          "    EXECUTE format('REVOKE ALL ON TABLE %I FROM PUBLIC, {WRITER}, {READER}', t);\n"
          "    EXECUTE format('GRANT SELECT ON TABLE %I TO {READER}', t);\n"
          "    EXECUTE format('GRANT %s ON TABLE %I TO {WRITER}',\n"
          "                   CASE WHEN t = 'veska_schema' THEN 'SELECT' ELSE 'INSERT' END, t);\n"
          "  END LOOP;\n"
          "  GRANT SELECT (id) ON TABLE phone_records TO {WRITER};\n"
          "  EXECUTE format('REVOKE ALL ON SEQUENCE %s FROM PUBLIC, {WRITER}, {READER}',\n"
          "                 pg_get_serial_sequence('phone_records', 'seq'));\n"
          "  EXECUTE format('GRANT USAGE ON SEQUENCE %s TO {WRITER}',\n"
          "                 pg_get_serial_sequence('phone_records', 'seq'));\n"
          "END\n"
          "$$",
      // A table a later migration makes (as the owner) is the writer's and the reader's too.
      "DO $$\n"
      "BEGIN\n"
      "  EXECUTE format('ALTER DEFAULT PRIVILEGES FOR ROLE {OWNER} IN SCHEMA %I '\n"
      "                 'GRANT INSERT ON TABLES TO {WRITER}', current_schema());\n"
      "  EXECUTE format('ALTER DEFAULT PRIVILEGES FOR ROLE {OWNER} IN SCHEMA %I '\n"
      "                 'GRANT USAGE ON SEQUENCES TO {WRITER}', current_schema());\n"
      "  EXECUTE format('ALTER DEFAULT PRIVILEGES FOR ROLE {OWNER} IN SCHEMA %I '\n"
      "                 'GRANT SELECT ON TABLES TO {READER}', current_schema());\n"
      "END\n"
      "$$",
  };
  for (std::string& statement : statements) statement = Replaced(std::move(statement));
  return statements;
}

std::string ServerSetupSql() {
  std::string text =
      "-- The roles of a line's records server: " + std::string(kOwnerRole) +
      " holds the tables and migrates them,\n-- " + std::string(kWriterRole) +
      " adds records (the benches), " + std::string(kReaderRole) +
      " reads them. Run as the database's owner;\n-- running it again changes nothing.\nBEGIN;\n";
  for (const std::string& statement : ServerSetupStatements()) text += statement + ";\n";
  return text + "COMMIT;\n";
}

}  // namespace veska::records
