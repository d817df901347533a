// The records on a line's shared PostgreSQL server. Many benches write to one server at once,
// each through its own store; a bench may lose the server for a while (a restart, a cable) and
// delivers the same record again once it is back, which the record's id makes harmless.

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "records/Schema.h"
#include "records/ServerSetup.h"
#include "records/ServerSocket.h"
#include "records/ServiceFile.h"
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

using Clock = std::chrono::steady_clock;

// How long the server may take to answer: to a connection, or to any one statement. A held
// lock or a frozen host must never hold a bench, or its end, for longer. The server's own limit
// on a statement is shorter, so that a lock wait ends in its answer and the connection is kept;
// ours ends what the server itself no longer answers.
constexpr std::chrono::seconds kAnswerBound{5};
constexpr int kServerStatementMs = 4000;

// What a refusal from the server means for the records, by its SQLSTATE's class: this program
// not let in (a password, a right, a database) is the user's to mend; a record's own data is
// set aside; the rest (the network, a restart, a timeout) passes.
int StatusOfState(std::string_view state) {
  if (state.size() != 5) return RECORDS_UNAVAILABLE;  // none: the network, or libpq itself
  const std::string_view family = state.substr(0, 2);
  if (family == "28" || state == "42501" || state == "3D000") return RECORDS_REFUSED;
  if (family == "22" || family == "23" || family == "54") return RECORDS_REJECTED;
  if (family == "08" || family == "40" || family == "53" || family == "57" || family == "58" ||
      state == "55P03") {
    return RECORDS_UNAVAILABLE;
  }
  return RECORDS_FAILED;
}

bool IsStateCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

// A refusal during the connection comes only as text; verbose, libpq writes its SQLSTATE after
// the severity ("FATAL:  28P01: password authentication failed ..."). The state, and the text
// without it and without the source location the verbose form adds.
std::string StateIn(std::string& message) {
  std::string state;
  const std::size_t at = message.find(":  ");
  if (at != std::string::npos && message.size() >= at + 10 && message[at + 8] == ':' &&
      std::all_of(message.begin() + static_cast<std::ptrdiff_t>(at + 3),
                  message.begin() + static_cast<std::ptrdiff_t>(at + 8), IsStateCharacter)) {
    state = message.substr(at + 3, 5);
    message.erase(at + 3, 7);
  }
  if (const std::size_t location = message.find("\nLOCATION:"); location != std::string::npos) {
    message.erase(location, message.find('\n', location + 1) - location);
  }
  return state;
}

// Whether libpq's refusal (which has no SQLSTATE) is one that waiting does not mend: a server
// certificate that fails its check (an unknown CA, another host's name, a root certificate file
// missing), our own certificate or key unusable, TLS demanded of a server without it, or a
// service no file defines. The network's failures ("SSL SYSCALL error", "could not connect",
// a host name not found) are not among them: they pass.
bool IsSettingsFault(std::string_view message) {
  for (const std::string_view fault :
       {"certificate", "private key", "does not support SSL", "definition of service",
        "service file", "invalid sslmode", "invalid connection option"}) {
    if (message.find(fault) != std::string_view::npos) return true;
  }
  return false;
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

constexpr std::string_view kRecordColumns =
    "id, station, port, device, usb_id, usb_serial, started, ended, seconds, pass, result, "
    "exit_status, cause, cause_text, flash_id, bad_blocks_known, bad_blocks, release_dir, "
    "release_digest, version, payloads, unit_serial, operator";
constexpr int kRecordColumnCount = 23;
constexpr std::string_view kStepColumns =
    "record_id, position, words, operation, outcome, status, cause, exit_status, seconds";
constexpr int kStepColumnCount = 9;
constexpr std::string_view kImageColumns =
    "record_id, position, kind, path, size, crc32, address, seconds, written, verified";
constexpr int kImageColumnCount = 10;

class PostgresStore final : public Store {
 public:
  PostgresStore(std::string address, const Client& client)
      : address_(std::move(address)),
        where_(ShownAddress(address_)),
        clientName_(ClientName(client.name)) {}

  int Open() override {
    migrated_ = false;
    if (int s = Connect(); s != RECORDS_OK) return s;
    // A store left at a schema it does not know, or not brought up to date, takes nothing.
    const int status = InTransaction([this] { return Migrate(Migration::WhereAllowed); });
    if (status != RECORDS_OK) conn_.reset();
    migrated_ = status == RECORDS_OK;
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

  // `records --migrate`: brings the schema up to date whoever connects; the server refuses a
  // role that may not change the tables.
  int MigrateNow(ServerChange& change) {
    if (int s = Connect(); s != RECORDS_OK) return s;
    const int status = InTransaction([this, &change] {
      const int migrated = Migrate(Migration::Always);
      change.from = schemaFrom_;
      change.to = migrated == RECORDS_OK ? kSchemaVersion : schemaFrom_;
      return migrated;
    });
    conn_.reset();
    return status;
  }

  // `records --server-setup --apply`: the roles and the tables' rights, in one transaction.
  int SetUp(ServerChange& change) {
    if (int s = Connect(); s != RECORDS_OK) return s;
    const int status = InTransaction([this, &change] {
      SchemaState state;
      Result roles;
      int done = ReadSchema(state);
      if (done == RECORDS_OK && state.version > kSchemaVersion) return TooNew(state.version);
      if (done == RECORDS_OK) {
        done = Run("SELECT count(*) FROM pg_roles WHERE rolname IN ($1, $2, $3)",
                   Params().Add(kOwnerRole).Add(kWriterRole).Add(kReaderRole), &roles);
      }
      if (done != RECORDS_OK) return done;
      change.from = state.version;
      change.rolesMade = 3 - Parse<int>(PQgetvalue(roles.get(), 0, 0));
      for (const std::string& statement : ServerSetupStatements()) {
        if (done = Run(statement); done != RECORDS_OK) return done;
      }
      done = ReadSchema(state);
      change.to = state.version;
      return done;
    });
    conn_.reset();
    return status;
  }

  void Abandon() override {
    abandoned_ = true;
    wake_.Wake();
  }

 private:
  int Unreachable(std::string_view reason) {
    problem_ = "cannot reach the records at " + where_ + ": " + OneLine(reason);
    return RECORDS_UNAVAILABLE;
  }

  // Connects without waiting past kAnswerBound (nor past Abandon()): libpq's own wait for a
  // connection would be unbounded, or bounded per address it tries.
  int Connect() {
    conn_.reset();
    // Keepalives notice a host gone silent while the connection idles. The address comes last:
    // what it says itself wins. Our name for the client is only a fallback, so that an
    // application_name of the address, its service or PGAPPNAME wins.
    const char* const keywords[] = {"keepalives",
                                    "keepalives_idle",
                                    "keepalives_interval",
                                    "keepalives_count",
                                    "fallback_application_name",
                                    "dbname",
                                    nullptr};
    const char* const values[] = {"1",    "5", "2", "2", clientName_.c_str(), address_.c_str(),
                                  nullptr};
    conn_.reset(PQconnectStartParams(keywords, values, 1));
    if (!conn_) return Unreachable("out of memory");
    // Verbose, a refusal carries its SQLSTATE, which tells a wrong password from an outage.
    PQsetErrorVerbosity(conn_.get(), PQERRORS_VERBOSE);
    const auto deadline = Clock::now() + kAnswerBound;
    PostgresPollingStatusType polling =
        PQstatus(conn_.get()) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (polling != PGRES_POLLING_OK) {
      if (polling == PGRES_POLLING_FAILED) return ConnectionRefused();
      if (!Await(polling == PGRES_POLLING_READING ? kSocketReadable : kSocketWritable, deadline)) {
        return Unanswered();
      }
      polling = PQconnectPoll(conn_.get());
    }
    // "relation already exists, skipping" and the like are no news to the user.
    PQsetNoticeProcessor(
        conn_.get(), [](void*, const char*) {}, nullptr);
    if (PQsetnonblocking(conn_.get(), 1) != 0) return Unreachable(PQerrorMessage(conn_.get()));
    // The server ends a statement that waits too long (a lock held by another client) itself.
    const int set = Run("SET statement_timeout = " + std::to_string(kServerStatementMs));
    if (set == kLost) {
      const std::string reason = PQerrorMessage(conn_.get());
      conn_.reset();
      return Unreachable(reason);
    }
    return set;
  }

  int ConnectionRefused() {
    std::string message = PQerrorMessage(conn_.get());
    const std::string state = StateIn(message);
    int status = StatusOfState(state);
    // libpq's own refusal: the server wants a password the address does not give, or the
    // address (or its service) cannot be used as it stands.
    if (state.empty() &&
        (PQconnectionNeedsPassword(conn_.get()) != 0 || IsSettingsFault(message))) {
      status = RECORDS_REFUSED;
    }
    conn_.reset();
    if (status == RECORDS_UNAVAILABLE) return Unreachable(message);
    problem_ = "the records server at " + where_ + " refuses this program: " + OneLine(message);
    return status == RECORDS_REFUSED ? RECORDS_REFUSED : RECORDS_FAILED;
  }

  // The server did not answer in time, or the store was abandoned: the connection is dropped,
  // so that whatever the server still does for it ends with it.
  int Unanswered() {
    conn_.reset();
    return Unreachable(abandoned_
                           ? std::string("given up as the program ends")
                           : "no answer within " + std::to_string(kAnswerBound.count()) + " s");
  }

  // Waits until the connection's socket is ready for `events`; false when the deadline passes
  // first or the store is abandoned.
  bool Await(unsigned events, Clock::time_point deadline) {
    for (;;) {
      if (abandoned_) return false;
      const int socket = PQsocket(conn_.get());
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (socket < 0 || left <= 0) return false;
      const WaitEnd end = wake_.Wait(socket, events, static_cast<int>(left));
      if (end == WaitEnd::Ready) return true;
      if (end != WaitEnd::Quiet) return false;
    }
  }

  // Runs one statement. A failure is kLost when the connection went with it (worth a new
  // connection and another try); otherwise its status by the server's SQLSTATE, with the
  // server's reason in Problem().
  int Run(std::string_view sql, const Params& params = {}, Result* out = nullptr) {
    if (!conn_) return kLost;
    const std::string text(sql);
    const std::vector<const char*> values = params.Pointers();
    if (PQsendQueryParams(conn_.get(), text.c_str(), params.Count(), nullptr, values.data(),
                          nullptr, nullptr, 0) == 0) {
      return kLost;
    }
    const auto deadline = Clock::now() + kAnswerBound;
    for (int flushed = PQflush(conn_.get()); flushed != 0; flushed = PQflush(conn_.get())) {
      if (flushed < 0) return kLost;
      if (!Await(kSocketReadable | kSocketWritable, deadline)) return Unanswered();
      if (PQconsumeInput(conn_.get()) == 0) return kLost;
    }
    Result result;
    for (;;) {
      while (PQisBusy(conn_.get()) != 0) {
        if (!Await(kSocketReadable, deadline)) return Unanswered();
        if (PQconsumeInput(conn_.get()) == 0) return kLost;
      }
      Result next(PQgetResult(conn_.get()));
      if (!next) break;
      if (!result || Succeeded(result.get())) result = std::move(next);  // the first failure
    }
    if (result && Succeeded(result.get())) {
      if (out) *out = std::move(result);
      return RECORDS_OK;
    }
    if (PQstatus(conn_.get()) != CONNECTION_OK) return kLost;
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    const char* primary =
        result ? PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const std::string reason = OneLine(primary ? primary : PQerrorMessage(conn_.get()));
    const int status = StatusOfState(state ? state : "");
    if (status == RECORDS_UNAVAILABLE) return Unreachable(reason);
    if (status == RECORDS_REFUSED) {
      problem_ = "the records server at " + where_ + " refuses this program: " + reason;
    } else if (status == RECORDS_REJECTED) {
      problem_ = reason;  // the record's own fault: the server's words are enough
    } else {
      problem_ = "the records at " + where_ + " refused a statement: " + reason;
    }
    return status;
  }

  static bool Succeeded(const PGresult* result) {
    const ExecStatusType state = PQresultStatus(result);
    return state == PGRES_COMMAND_OK || state == PGRES_TUPLES_OK;
  }

  // Runs `body` in one transaction on an opened store.
  template <typename Body>
  int Transaction(Body&& body) {
    if (!migrated_) {
      problem_ = "the records at " + where_ + " are not open";
      return RECORDS_UNAVAILABLE;
    }
    return InTransaction(std::forward<Body>(body));
  }

  // A connection found or left broken is made again once and the whole transaction tried
  // again: every body may safely run twice.
  template <typename Body>
  int InTransaction(Body&& body) {
    for (bool again = false;; again = true) {
      if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
        if (int s = Connect(); s != RECORDS_OK) return s;
      }
      int status = Run("BEGIN");
      if (status == RECORDS_OK) status = body();
      if (status == RECORDS_OK) status = Run("COMMIT");
      if (status == RECORDS_OK) {
        problem_.clear();
        return RECORDS_OK;
      }
      if (status != kLost) {
        const std::string problem = problem_;
        if (conn_) (void)Run("ROLLBACK");
        problem_ = problem;
        return status;
      }
      const std::string reason =
          conn_ ? std::string(PQerrorMessage(conn_.get())) : "the connection was lost";
      conn_.reset();
      if (again) return Unreachable(reason);
    }
  }

  // How a store treats a schema older than its own: a bench brings it up to date only where it
  // may change the tables (it owns them, may act as their owner, or there are none yet) and
  // leaves it to the owner otherwise; `records --migrate` tries whoever it is, for the server
  // to judge.
  enum class Migration { WhereAllowed, Always };

  // The schema as this role finds it, under the migration lock: a migration under way is
  // waited for.
  struct SchemaState {
    bool exists = false;  // veska_schema is there
    bool empty = true;    // ... without its row
    int version = 0;      // 0: no tables yet
    std::string owner;    // the role that owns the tables
    bool mine = false;    // this role is that owner
    bool member = false;  // ... or may act as it (a member, a superuser)
  };

  int ReadSchema(SchemaState& state) {
    state = {};
    Result result;
    int status = Run("SELECT pg_advisory_xact_lock($1)", Params().Add(kMigrationLock));
    if (status == RECORDS_OK) {
      status = Run(
          "SELECT pg_get_userbyid(relowner), pg_get_userbyid(relowner) = current_user, "
          "pg_has_role(relowner, 'MEMBER') FROM pg_class WHERE oid = to_regclass('veska_schema')",
          {}, &result);
    }
    if (status != RECORDS_OK || PQntuples(result.get()) != 1) return status;
    state.exists = true;
    state.owner = PQgetvalue(result.get(), 0, 0);
    state.mine = std::string_view(PQgetvalue(result.get(), 0, 1)) == "t";
    state.member = std::string_view(PQgetvalue(result.get(), 0, 2)) == "t";
    status = Run("SELECT max(version) FROM veska_schema", {}, &result);
    if (status != RECORDS_OK) return status;
    state.empty = PQgetisnull(result.get(), 0, 0) != 0;
    state.version = state.empty ? 0 : Parse<int>(PQgetvalue(result.get(), 0, 0));
    return RECORDS_OK;
  }

  int TooNew(int version) {
    problem_ = "the records at " + where_ + " were written by a newer version (schema " +
               std::to_string(version) + "); this program knows up to " +
               std::to_string(kSchemaVersion);
    return RECORDS_TOO_NEW;
  }

  int Migrate(Migration how) {
    SchemaState state;
    int status = ReadSchema(state);
    if (status != RECORDS_OK) return status;
    schemaFrom_ = state.version;
    if (state.version > kSchemaVersion) return TooNew(state.version);
    if (state.version == kSchemaVersion) return RECORDS_OK;
    if (state.exists && !state.mine) {
      if (!state.member && how == Migration::WhereAllowed) {
        problem_ = "the records at " + where_ + " are at schema version " +
                   std::to_string(state.version) + ", older than this program's " +
                   std::to_string(kSchemaVersion) +
                   "; run `veska-cli records --migrate` as their owner";
        return RECORDS_OUTDATED;
      }
      // What the migration makes belongs to the tables' owner, with the rights its default
      // privileges give the other roles; the role is this transaction's alone.
      if (state.member) {
        status = Run("SELECT set_config('role', $1, true)", Params().Add(state.owner));
        if (status != RECORDS_OK) return status;
      }
    }
    if (!state.exists) status = Run("CREATE TABLE veska_schema (version INTEGER NOT NULL)");
    if (status != RECORDS_OK) return status;
    const std::vector<std::string> migrations = Migrations(Dialect::Postgres);
    for (std::size_t next = static_cast<std::size_t>(state.version); next < migrations.size();
         ++next) {
      for (const std::string& statement : StatementsOf(migrations[next])) {
        status = Run(statement);
        if (status != RECORDS_OK) return status;
      }
    }
    return state.empty
               ? Run("INSERT INTO veska_schema (version) VALUES ($1)", Params().Add(kSchemaVersion))
               : Run("UPDATE veska_schema SET version = $1", Params().Add(kSchemaVersion));
  }

  int PutOnce(const Record& r) {
    Params row;
    row.Add(r.id).Add(r.station).Add(r.port).Add(r.device).Add(r.usbId).Add(r.usbSerial);
    row.Add(r.started).Add(r.ended).Add(r.seconds).Add(r.pass).Add(r.result).Add(r.exitStatus);
    row.Add(r.cause).Add(r.causeText).Add(r.flashId).Add(r.badBlocksKnown ? 1 : 0);
    row.Add(BadBlocksText(r.badBlocks)).Add(r.release).Add(r.releaseDigest).Add(r.version);
    row.Add(r.payloads).Add(r.unitSerial).Add(r.operatorName);
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
    condition(filter.unit, " AND unit_serial = ?");
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
      r.unitSerial = text(21);
      r.operatorName = text(22);
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
  std::string clientName_;
  Connection conn_;
  bool migrated_ = false;  // opened: the schema is this program's
  int schemaFrom_ = 0;     // the version the last migration found
  std::string problem_;
  std::atomic<bool> abandoned_{false};
  SocketWait wake_;
};

// What names a server: its host (or socket folder), port, database and user, as libpq would
// take them from an address and its defaults.
struct ServerName {
  std::string host;
  std::string port;
  std::string database;
  std::string user;
  std::string service;  // a service no service file defines: all that names the server
};

// The name an address gives, with libpq's defaults (its environment variables, then its
// built-in ones) for what the address leaves out; no connection is made. False when the
// address cannot be read.
bool NameOf(const std::string& address, ServerName& name) {
  char* error = nullptr;
  PQconninfoOption* given = PQconninfoParse(address.c_str(), &error);
  if (error != nullptr) PQfreemem(error);
  if (given == nullptr) return false;
  PQconninfoOption* defaults = PQconndefaults();
  const auto givenValue = [&](std::string_view keyword) {
    for (const PQconninfoOption* o = given; o->keyword != nullptr; ++o) {
      if (std::string_view(o->keyword) == keyword && o->val != nullptr && *o->val != '\0') {
        return std::string(o->val);
      }
    }
    return std::string();
  };
  // A service's settings come between the address's own and the environment's, as in libpq.
  // PGSERVICE counts only where a file defines it: an undefined one would name every address
  // the same server (libpq itself then reaches none).
  std::string service = givenValue("service");
  const bool named = !service.empty();
  if (const char* environment = std::getenv("PGSERVICE"); !named && environment) {
    service = environment;
  }
  const std::vector<std::pair<std::string, std::string>> settings = ServiceSettings(service);
  if (named && settings.empty()) {
    PQconninfoFree(given);
    if (defaults != nullptr) PQconninfoFree(defaults);
    name = {};
    name.service = service;
    return true;
  }
  const auto value = [&](const char* keyword) {
    if (std::string found = givenValue(keyword); !found.empty()) return found;
    for (const auto& [key, setting] : settings) {
      if (key == keyword && !setting.empty()) return setting;
    }
    for (const PQconninfoOption* o = defaults; o != nullptr && o->keyword != nullptr; ++o) {
      if (std::string_view(o->keyword) != keyword) continue;
      if (o->val != nullptr && *o->val != '\0') return std::string(o->val);
      if (o->compiled != nullptr) return std::string(o->compiled);
    }
    return std::string();
  };
  name.host = value("host");
  if (name.host.empty()) name.host = value("hostaddr");
  name.port = value("port");
  name.user = value("user");
  if (name.user.empty()) name.user = CurrentUserName();
  name.database = value("dbname");
  if (name.database.empty()) name.database = name.user;
  PQconninfoFree(given);
  if (defaults != nullptr) PQconninfoFree(defaults);
  // No host is this machine's socket: the same server as its loopback address on that port.
  std::transform(name.host.begin(), name.host.end(), name.host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name.host.empty() || name.host.starts_with('/')) name.host = "localhost";
  return true;
}

// A key's part as an address may hold it: the characters an address gives a meaning to,
// escaped.
std::string Escaped(std::string_view text) {
  return PercentEscaped(text, "@/:?%# ");
}

// The addresses a host name stands for (itself when it is one); loopback names all stand for
// this machine.
std::vector<std::string> AddressesOf(const std::string& host) {
  if (host == "localhost" || host == "127.0.0.1" || host == "::1") return {"127.0.0.1", "::1"};
  std::vector<std::string> found = NumericAddresses(host);
  if (found.empty()) found.push_back(host);
  return found;
}

}  // namespace

std::unique_ptr<Store> MakePostgresStore(const std::string& address, const Client& client) {
  return std::make_unique<PostgresStore>(address, client);
}

int MigrateServer(const std::string& address, const Client& client, ServerChange& change,
                  std::string& problem) {
  PostgresStore store(address, client);
  const int status = store.MigrateNow(change);
  problem = store.Problem();
  return status;
}

int SetUpServer(const std::string& address, const Client& client, ServerChange& change,
                std::string& problem) {
  PostgresStore store(address, client);
  const int status = store.SetUp(change);
  problem = store.Problem();
  return status;
}

std::string ServerKey(const std::string& address) {
  ServerName name;
  if (!NameOf(address, name)) return ShownAddress(address);
  if (!name.service.empty())
    return "postgresql:///?service=" + PercentEscaped(name.service, "&%# ");
  const bool ipv6 = name.host.find(':') != std::string::npos;
  return "postgresql://" + Escaped(name.user) + "@" +
         (ipv6 ? "[" + name.host + "]" : Escaped(name.host)) + ":" + Escaped(name.port) + "/" +
         Escaped(name.database);
}

bool SameServer(const std::string& one, const std::string& other) {
  ServerName a;
  ServerName b;
  if (!NameOf(one, a) || !NameOf(other, b)) return one == other;
  if (!a.service.empty() || !b.service.empty()) return a.service == b.service;
  if (a.port != b.port || a.database != b.database || a.user != b.user) return false;
  if (a.host == b.host) return true;
  const std::vector<std::string> first = AddressesOf(a.host);
  const std::vector<std::string> second = AddressesOf(b.host);
  return std::any_of(first.begin(), first.end(), [&second](const std::string& address) {
    return std::find(second.begin(), second.end(), address) != second.end();
  });
}

}  // namespace veska::records
