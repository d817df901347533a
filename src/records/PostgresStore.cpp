// The records on a line's shared PostgreSQL server. Many benches write to one server at once,
// each through its own store; a bench may lose the server for a while (a restart, a cable) and
// delivers the same record again once it is back, which the record's id makes harmless.

#include <libpq-fe.h>

#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "records/Schema.h"
#include "records/Stores.h"

namespace veska::records {

namespace {

struct ConnFinish {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct ResultClear {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Connection = std::unique_ptr<PGconn, ConnFinish>;
using Result = std::unique_ptr<PGresult, ResultClear>;

// Taken for the transaction that brings the schema up to date, so that two benches starting
// at once never both migrate: the second waits, then finds the work done.
constexpr long long kMigrationLock = 0x766573'6b61'7265;

// A status of our own, never returned to callers: the server went away mid-transaction.
constexpr int kLost = -1;

// A server that cannot be reached must not hold a bench up for the system's default
// (unbounded) wait.
std::string WithConnectTimeout(const std::string& address) {
  if (address.find("connect_timeout=") != std::string::npos) return address;
  return address + (address.find('?') == std::string::npos ? "?" : "&") + "connect_timeout=5";
}

// libpq's messages end with a newline and may continue on indented lines; ours are one line.
std::string OneLine(std::string_view text) {
  std::string line;
  bool space = false;
  for (const char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !line.empty();
      continue;
    }
    if (space) line += ' ';
    space = false;
    line += c;
  }
  return line;
}

std::string Number(double value) {
  char text[32];
  const auto end = std::to_chars(std::begin(text), std::end(text), value).ptr;
  return std::string(text, end);
}

template <typename Integer>
std::string Number(Integer value) {
  return std::to_string(value);
}

template <typename Value>
Value Parse(std::string_view text) {
  Value value{};
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// Statement parameters, all sent as text; a missing value is SQL NULL.
class Params {
 public:
  Params& Add(std::string_view value) {
    values_.emplace_back(value);
    return *this;
  }
  Params& Add(const std::string& value) { return Add(std::string_view(value)); }
  Params& Add(const char* value) { return Add(std::string_view(value)); }
  template <typename Value>
  Params& Add(Value value) {
    return Add(Number(value));
  }
  template <typename Value>
  Params& Add(const std::optional<Value>& value) {
    if (!value) {
      values_.emplace_back(std::nullopt);
      return *this;
    }
    return Add(*value);
  }
  [[nodiscard]] int Count() const { return static_cast<int>(values_.size()); }
  [[nodiscard]] std::vector<const char*> Pointers() const {
    std::vector<const char*> pointers;
    pointers.reserve(values_.size());
    for (const auto& value : values_) pointers.push_back(value ? value->c_str() : nullptr);
    return pointers;
  }

 private:
  std::vector<std::optional<std::string>> values_;
};

// "($1,$2,$3),($4,$5,$6)": placeholders for a multi-row INSERT; values still go as parameters.
std::string Placeholders(std::size_t rows, int columns) {
  std::string text;
  int next = 1;
  for (std::size_t row = 0; row < rows; ++row) {
    text += row == 0 ? "(" : ",(";
    for (int column = 0; column < columns; ++column) {
      if (column > 0) text += ',';
      text += '$' + std::to_string(next++);
    }
    text += ')';
  }
  return text;
}

// The statements of one migration, which arrive separated by ";\n".
std::vector<std::string> Statements(std::string_view migration) {
  std::vector<std::string> statements;
  while (!migration.empty()) {
    const std::size_t end = migration.find(";\n");
    statements.emplace_back(migration.substr(0, end));
    migration = end == std::string_view::npos ? std::string_view() : migration.substr(end + 2);
  }
  return statements;
}

constexpr std::string_view kRecordColumns =
    "id, station, port, device, usb_id, usb_serial, started, ended, seconds, pass, result, "
    "exit_status, cause, cause_text, flash_id, bad_blocks_known, bad_blocks, release_dir, "
    "release_digest, version, payloads";
constexpr int kRecordColumnCount = 21;
constexpr std::string_view kStepColumns =
    "record_id, position, words, operation, outcome, status, cause, exit_status, seconds";
constexpr int kStepColumnCount = 9;
constexpr std::string_view kImageColumns =
    "record_id, position, kind, path, size, crc32, address, seconds, written, verified";
constexpr int kImageColumnCount = 10;

class PostgresStore final : public Store {
 public:
  explicit PostgresStore(std::string address)
      : address_(std::move(address)), where_(ShownAddress(address_)) {}

  int Open() override {
    conn_.reset(PQconnectdb(WithConnectTimeout(address_).c_str()));
    if (!conn_) return Unreachable("out of memory");
    if (PQstatus(conn_.get()) != CONNECTION_OK) return Unreachable(PQerrorMessage(conn_.get()));
    // "relation already exists, skipping" and the like are no news to the user.
    PQsetNoticeProcessor(
        conn_.get(), [](void*, const char*) {}, nullptr);
    // A store left at a schema it does not know, or not brought up to date, takes nothing.
    const int status = Transaction([this] { return Migrate(); });
    if (status != RECORDS_OK) conn_.reset();
    return status;
  }

  int Put(const Record& record) override {
    return Transaction([this, &record] { return PutOnce(record); });
  }

  int Read(const Filter& filter, std::vector<Record>& out) override {
    std::vector<Record> records;
    const int status = Transaction([this, &filter, &records] {
      records.clear();
      return ReadOnce(filter, records);
    });
    if (status == RECORDS_OK) out = std::move(records);
    return status;
  }

  std::string Problem() const override { return problem_; }
  std::string Where() const override { return where_; }

 private:
  int Unreachable(std::string_view reason) {
    problem_ = "cannot reach the records at " + where_ + ": " + OneLine(reason);
    return RECORDS_UNAVAILABLE;
  }

  // Runs one statement. A failure is kLost when the connection went with it (worth a reset and
  // another try), RECORDS_FAILED with the server's reason otherwise.
  int Run(std::string_view sql, const Params& params = {}, Result* out = nullptr) {
    const std::string text(sql);
    const std::vector<const char*> values = params.Pointers();
    Result result(PQexecParams(conn_.get(), text.c_str(), params.Count(), nullptr, values.data(),
                               nullptr, nullptr, 0));
    const ExecStatusType state = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (state == PGRES_COMMAND_OK || state == PGRES_TUPLES_OK) {
      if (out) *out = std::move(result);
      return RECORDS_OK;
    }
    if (PQstatus(conn_.get()) != CONNECTION_OK) return kLost;
    problem_ = "the records at " + where_ + " refused a statement: " +
               OneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn_.get()));
    return RECORDS_FAILED;
  }

  // Runs `body` in one transaction. A connection found or left broken is reset once and the
  // whole transaction tried again: every body may safely run twice.
  template <typename Body>
  int Transaction(Body&& body) {
    if (!conn_) {
      problem_ = "the records at " + where_ + " are not open";
      return RECORDS_UNAVAILABLE;
    }
    bool reset = false;
    for (;;) {
      if (PQstatus(conn_.get()) != CONNECTION_OK) {
        if (reset) return Unreachable(PQerrorMessage(conn_.get()));
        reset = true;
        PQreset(conn_.get());
        if (PQstatus(conn_.get()) != CONNECTION_OK) {
          return Unreachable(PQerrorMessage(conn_.get()));
        }
      }
      int status = Run("BEGIN");
      if (status == RECORDS_OK) status = body();
      if (status == RECORDS_OK) status = Run("COMMIT");
      if (status == RECORDS_OK) {
        problem_.clear();
        return RECORDS_OK;
      }
      if (status != kLost) {
        (void)Run("ROLLBACK");
        return status;
      }
    }
  }

  int Migrate() {
    Result result;
    int status = Run("SELECT pg_advisory_xact_lock($1)", Params().Add(kMigrationLock));
    if (status == RECORDS_OK) {
      status = Run("CREATE TABLE IF NOT EXISTS veska_schema (version INTEGER NOT NULL)");
    }
    if (status == RECORDS_OK) status = Run("SELECT max(version) FROM veska_schema", {}, &result);
    if (status != RECORDS_OK) return status;
    const bool empty = PQgetisnull(result.get(), 0, 0) != 0;
    const int version = empty ? 0 : Parse<int>(PQgetvalue(result.get(), 0, 0));
    if (version > kSchemaVersion) {
      problem_ = "the records at " + where_ + " were written by a newer version (schema " +
                 std::to_string(version) + "); this program knows up to " +
                 std::to_string(kSchemaVersion);
      return RECORDS_TOO_NEW;
    }
    if (version == kSchemaVersion) return RECORDS_OK;
    const std::vector<std::string> migrations = Migrations(Dialect::Postgres);
    for (std::size_t next = static_cast<std::size_t>(version); next < migrations.size(); ++next) {
      for (const std::string& statement : Statements(migrations[next])) {
        status = Run(statement);
        if (status != RECORDS_OK) return status;
      }
    }
    return empty
               ? Run("INSERT INTO veska_schema (version) VALUES ($1)", Params().Add(kSchemaVersion))
               : Run("UPDATE veska_schema SET version = $1", Params().Add(kSchemaVersion));
  }

  int PutOnce(const Record& r) {
    Params row;
    row.Add(r.id).Add(r.station).Add(r.port).Add(r.device).Add(r.usbId).Add(r.usbSerial);
    row.Add(r.started).Add(r.ended).Add(r.seconds).Add(r.pass).Add(r.result).Add(r.exitStatus);
    row.Add(r.cause).Add(r.causeText).Add(r.flashId).Add(r.badBlocksKnown ? 1 : 0);
    row.Add(BadBlocksText(r.badBlocks)).Add(r.release).Add(r.releaseDigest).Add(r.version);
    row.Add(r.payloads);
    Result inserted;
    int status = Run("INSERT INTO phone_records (" + std::string(kRecordColumns) + ") VALUES " +
                         Placeholders(1, kRecordColumnCount) + " ON CONFLICT (id) DO NOTHING",
                     row, &inserted);
    if (status != RECORDS_OK) return status;
    // Stored already (a delivery repeated): its steps and images are there too.
    if (std::string_view(PQcmdTuples(inserted.get())) != "1") return RECORDS_OK;

    if (!r.steps.empty()) {
      Params steps;
      int position = 0;
      for (const StepRecord& s : r.steps) {
        steps.Add(r.id).Add(position++).Add(s.words).Add(s.operation).Add(s.outcome);
        steps.Add(s.status).Add(s.cause).Add(s.exitStatus).Add(s.seconds);
      }
      status = Run("INSERT INTO phone_steps (" + std::string(kStepColumns) + ") VALUES " +
                       Placeholders(r.steps.size(), kStepColumnCount),
                   steps);
      if (status != RECORDS_OK) return status;
    }
    if (!r.images.empty()) {
      Params images;
      int position = 0;
      for (const ImageRecord& i : r.images) {
        images.Add(r.id).Add(position++).Add(i.kind).Add(i.path).Add(i.size).Add(i.crc32);
        images.Add(i.address).Add(i.seconds).Add(i.written ? 1 : 0).Add(i.verified ? 1 : 0);
      }
      status = Run("INSERT INTO phone_images (" + std::string(kImageColumns) + ") VALUES " +
                       Placeholders(r.images.size(), kImageColumnCount),
                   images);
    }
    return status;
  }

  int ReadOnce(const Filter& filter, std::vector<Record>& records) {
    // The same conditions choose the records and, through their ids, their steps and images.
    Params params;
    std::string where = " WHERE TRUE";
    const auto condition = [&](std::string_view value, std::string_view format) {
      if (value.empty()) return;
      params.Add(value);
      const std::string number = '$' + std::to_string(params.Count());
      for (const char c : format) {
        if (c == '?') {
          where += number;
        } else {
          where += c;
        }
      }
    };
    condition(filter.since, " AND started >= ?");
    condition(filter.station, " AND station = ?");
    condition(filter.port, " AND port = ?");
    condition(filter.release, " AND (release_dir = ? OR release_digest = ?)");
    if (filter.failedOnly) where += " AND result <> 'passed'";

    Result rows;
    int status = Run("SELECT " + std::string(kRecordColumns) + " FROM phone_records" + where +
                         " ORDER BY started, seq",
                     params, &rows);
    if (status != RECORDS_OK) return status;
    std::unordered_map<std::string, std::size_t> byId;
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
      const auto text = [&](int column) {
        return std::string(PQgetvalue(rows.get(), row, column));
      };
      Record& r = records.emplace_back();
      r.id = text(0);
      r.station = text(1);
      r.port = text(2);
      r.device = text(3);
      r.usbId = text(4);
      r.usbSerial = text(5);
      r.started = text(6);
      r.ended = text(7);
      r.seconds = Parse<double>(text(8));
      r.pass = Parse<int>(text(9));
      r.result = text(10);
      r.exitStatus = Parse<int>(text(11));
      r.cause = text(12);
      r.causeText = text(13);
      r.flashId = text(14);
      r.badBlocksKnown = Parse<int>(text(15)) != 0;
      (void)ParseBadBlocks(text(16), r.badBlocks);
      r.release = text(17);
      r.releaseDigest = text(18);
      r.version = text(19);
      r.payloads = text(20);
      byId.emplace(r.id, records.size() - 1);
    }
    if (records.empty()) return RECORDS_OK;

    // Records put after the first query may bring steps and images of their own; they are
    // left for the next reading.
    const std::string chosen = " WHERE record_id IN (SELECT id FROM phone_records" + where + ")";
    status = Run("SELECT " + std::string(kStepColumns) + " FROM phone_steps" + chosen +
                     " ORDER BY record_id, position",
                 params, &rows);
    if (status != RECORDS_OK) return status;
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
      const auto text = [&](int column) {
        return std::string(PQgetvalue(rows.get(), row, column));
      };
      const auto owner = byId.find(text(0));
      if (owner == byId.end()) continue;
      StepRecord& s = records[owner->second].steps.emplace_back();
      s.words = text(2);
      s.operation = text(3);
      s.outcome = text(4);
      s.status = Parse<int>(text(5));
      s.cause = text(6);
      s.exitStatus = Parse<int>(text(7));
      s.seconds = Parse<double>(text(8));
    }

    status = Run("SELECT " + std::string(kImageColumns) + " FROM phone_images" + chosen +
                     " ORDER BY record_id, position",
                 params, &rows);
    if (status != RECORDS_OK) return status;
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
      const auto text = [&](int column) {
        return std::string(PQgetvalue(rows.get(), row, column));
      };
      const auto owner = byId.find(text(0));
      if (owner == byId.end()) continue;
      ImageRecord& i = records[owner->second].images.emplace_back();
      i.kind = text(2);
      i.path = text(3);
      i.size = Parse<std::uint64_t>(text(4));
      if (PQgetisnull(rows.get(), row, 5) == 0) i.crc32 = Parse<std::uint32_t>(text(5));
      if (PQgetisnull(rows.get(), row, 6) == 0) i.address = Parse<std::uint32_t>(text(6));
      i.seconds = Parse<double>(text(7));
      i.written = Parse<int>(text(8)) != 0;
      i.verified = Parse<int>(text(9)) != 0;
    }
    return RECORDS_OK;
  }

  std::string address_;
  std::string where_;
  Connection conn_;
  std::string problem_;
};

}  // namespace

std::unique_ptr<Store> MakePostgresStore(const std::string& address) {
  return std::make_unique<PostgresStore>(address);
}

}  // namespace veska::records
