#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "records/Schema.h"
#include "records/Stores.h"

namespace veska::records {

namespace {

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// How long a write waits for another process that holds the database (a second bench, a
// reader) before it gives up on this record for now.
constexpr std::chrono::milliseconds kDefaultBusyWait{5000};

std::string Text(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text != nullptr
             ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
             : std::string();
}

// A path as a file: URI holds it: the characters a URI gives a meaning to, escaped.
std::string UriPath(const std::string& path) {
  return PercentEscaped(path, "?#%");
}

// The write-ahead log is cut back to this size once its records are in the database, so that
// on a small file system it never keeps the space it took.
constexpr int kWalKeptBytes = 64 * 1024;

// A file as the system knows it, to tell the file a path names now from the one held open.
struct FileIdentity {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

bool IdentityOf(const std::string& path, FileIdentity& identity) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  identity = {static_cast<unsigned long long>(status.st_dev),
              static_cast<unsigned long long>(status.st_ino)};
  return true;
}

class SqliteStore final : public LocalStore {
 public:
  // `ownerOnly`: the PC's own database, which only its user may read (the records name the
  // line's servers and stations).
  SqliteStore(std::string path, std::chrono::milliseconds busyWait, bool ownerOnly)
      : path_(std::move(path)), busyWait_(busyWait), ownerOnly_(ownerOnly) {}

  int Open() override {
    db_.reset();
    opened_ = false;
    sqlite3* raw = nullptr;
    int opened =
        sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db_.reset(raw);
    if (opened != SQLITE_OK) return Fail(opened, "cannot be opened");
    sqlite3_busy_timeout(db_.get(), static_cast<int>(busyWait_.count()));
    sqlite3_extended_result_codes(db_.get(), 1);
    // The first statement reads the file: one that is no database shows here.
    if (int s = Exec("PRAGMA foreign_keys = ON"); s != RECORDS_OK) return Close(s);
    int first = Exec("SELECT count(*) FROM sqlite_schema");
    if (first == RECORDS_READ_ONLY) {
      // A database in WAL mode that this user may not write cannot even be read the usual
      // way (the shared-memory file cannot be made): read it as a file nobody changes.
      db_.reset();
      raw = nullptr;
      opened = sqlite3_open_v2(("file:" + UriPath(path_) + "?immutable=1").c_str(), &raw,
                               SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
      db_.reset(raw);
      if (opened != SQLITE_OK) return Close(Fail(opened, "cannot be opened"));
      first = Exec("SELECT count(*) FROM sqlite_schema");
    }
    if (first != RECORDS_OK) return Close(first);
    readOnly_ = sqlite3_db_readonly(db_.get(), "main") == 1;
    if (readOnly_) {
      // Readable as it stands; nothing can be written or brought up to date.
      problem_ = path_ + " is read-only: records cannot be written to it";
      return RECORDS_READ_ONLY;
    }
    KeepToOwner();
    // WAL: a writer never blocks the readers, and a commit is one append, so a bench killed or
    // without power leaves every finished record and no half of one. FULL syncs each commit.
    if (int s = Exec("PRAGMA journal_mode = WAL"); s != RECORDS_OK) return Close(s);
    if (int s = Exec("PRAGMA synchronous = FULL"); s != RECORDS_OK) return Close(s);
    // What a row held is overwritten when the row goes: a server address an older version kept
    // with its password in the waiting room leaves no trace in the file's free pages.
    if (int s = Exec("PRAGMA secure_delete = ON"); s != RECORDS_OK) return Close(s);
    if (int s = Exec("PRAGMA journal_size_limit = " + std::to_string(kWalKeptBytes));
        s != RECORDS_OK)
      return Close(s);
    if (int s = Migrate(); s != RECORDS_OK) return Close(s);
    // The records still to be delivered to a server, in the order they were kept, and those a
    // server refused for their data (`refused` holds its reason). Only this PC's database has
    // it: it is bookkeeping, not part of the records. `server` is the server's key, never a
    // password.
    if (int s = Exec("CREATE TABLE IF NOT EXISTS veska_outbox (seq INTEGER PRIMARY KEY "
                     "AUTOINCREMENT, record_id TEXT NOT NULL REFERENCES phone_records (id), "
                     "server TEXT NOT NULL, refused TEXT, UNIQUE (record_id, server))");
        s != RECORDS_OK)
      return Close(s);
    // An outbox from before refusals were kept.
    if (!Prepare("SELECT refused FROM veska_outbox LIMIT 0")) {
      if (int s = Exec("ALTER TABLE veska_outbox ADD COLUMN refused TEXT"); s != RECORDS_OK) {
        return Close(s);
      }
    }
    KeepToOwner();
    opened_ = IdentityOf(path_, identity_);
    problem_.clear();
    return RECORDS_OK;
  }

  int Put(const Record& record) override { return Write(record, nullptr); }

  int Read(const Filter& filter, std::vector<Record>& out) override {
    out.clear();
    if (int s = OpenForReading(); s != RECORDS_OK) return s;
    std::string sql = " WHERE 1 = 1";
    std::vector<std::string> values;
    const auto where = [&](const char* clause, const std::string& value) {
      if (value.empty()) return;
      sql += clause;
      values.push_back(value);
    };
    where(" AND started >= ?", filter.since);
    where(" AND station = ?", filter.station);
    where(" AND port = ?", filter.port);
    where(" AND unit_serial = ?", filter.unit);
    if (!filter.release.empty()) {
      sql += " AND (release_dir = ? OR release_digest = ?)";
      values.push_back(filter.release);
      values.push_back(filter.release);
    }
    if (filter.failedOnly) sql += " AND result <> 'passed'";
    return Select("phone_records", sql + " ORDER BY started, seq", values, out);
  }

  int PutForServer(const Record& record, const std::string& server) override {
    return Write(record, &server);
  }

  int Waiting(const std::string& server, std::size_t limit, std::vector<Record>& out) override {
    out.clear();
    if (int s = OpenForReading(); s != RECORDS_OK) return s;
    return Select("phone_records JOIN veska_outbox ON veska_outbox.record_id = phone_records.id",
                  " WHERE veska_outbox.server = ? AND veska_outbox.refused IS NULL ORDER BY "
                  "veska_outbox.seq LIMIT " +
                      std::to_string(limit),
                  {server}, out);
  }

  int Delivered(const std::string& server, const std::string& id) override {
    return Change("DELETE FROM veska_outbox WHERE server = ? AND record_id = ?", {server, id});
  }

  int SetAside(const std::string& server, const std::string& id,
               const std::string& reason) override {
    return Change("UPDATE veska_outbox SET refused = ? WHERE server = ? AND record_id = ?",
                  {reason, server, id});
  }

  int SetAsideRecords(const std::string& server, std::vector<Record>& out,
                      std::vector<std::string>& reasons) override {
    out.clear();
    reasons.clear();
    if (int s = OpenForReading(); s != RECORDS_OK) return s;
    if (int s = Select("phone_records JOIN veska_outbox ON veska_outbox.record_id = "
                       "phone_records.id",
                       " WHERE veska_outbox.server = ? AND veska_outbox.refused IS NOT NULL "
                       "ORDER BY veska_outbox.seq",
                       {server}, out);
        s != RECORDS_OK)
      return s;
    Statement why = Prepare(
        "SELECT refused FROM veska_outbox WHERE server = ? AND refused IS NOT NULL ORDER BY seq");
    if (!why) return RECORDS_FAILED;
    Bind(why.get(), 1, server);
    int stepped = SQLITE_ROW;
    while ((stepped = sqlite3_step(why.get())) == SQLITE_ROW) reasons.push_back(Text(why.get(), 0));
    if (stepped != SQLITE_DONE) return Fail(stepped, "cannot be read");
    reasons.resize(out.size());
    return RECORDS_OK;
  }

  int Outboxes(std::vector<Outbox>& out) override {
    out.clear();
    if (int s = OpenForReading(); s != RECORDS_OK) return s;
    Statement servers = Prepare(
        "SELECT server, sum(refused IS NULL), sum(refused IS NOT NULL) FROM veska_outbox GROUP "
        "BY server ORDER BY min(seq)");
    if (!servers) return RECORDS_FAILED;
    int stepped = SQLITE_ROW;
    while ((stepped = sqlite3_step(servers.get())) == SQLITE_ROW) {
      out.push_back({Text(servers.get(), 0),
                     static_cast<std::size_t>(sqlite3_column_int64(servers.get(), 1)),
                     static_cast<std::size_t>(sqlite3_column_int64(servers.get(), 2))});
    }
    return stepped == SQLITE_DONE ? RECORDS_OK : Fail(stepped, "cannot be read");
  }

  int Refile(const std::string& from, const std::string& to) override {
    if (from == to) return RECORDS_OK;
    if (int s = db_ ? ReopenIfReplaced() : Open(); s != RECORDS_OK) return s;
    // A record kept for both names stays once, in its first place.
    return InTransaction([&] {
      int s = Change("UPDATE OR IGNORE veska_outbox SET server = ? WHERE server = ?", {to, from});
      if (s == RECORDS_OK) s = Change("DELETE FROM veska_outbox WHERE server = ?", {from});
      return s;
    });
  }

  std::string Problem() const override { return problem_; }
  std::string Where() const override { return path_; }

  std::string TakeNotice() override { return std::exchange(notice_, std::string()); }

 private:
  // A statement that changes rows, with `values` bound in turn.
  int Change(const std::string& sql, const std::vector<std::string>& values) {
    if (int s = db_ ? ReopenIfReplaced() : Open(); s != RECORDS_OK) return s;
    Statement statement = Prepare(sql);
    if (!statement) return RECORDS_FAILED;
    for (std::size_t i = 0; i < values.size(); ++i) {
      Bind(statement.get(), static_cast<int>(i) + 1, values[i]);
    }
    return Step(statement.get());
  }

  // The PC's own database and its companions (the log, the shared index) for its user alone.
  void KeepToOwner() {
#if !defined(_WIN32)
    if (!ownerOnly_) return;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      (void)::chmod((path_ + suffix).c_str(), S_IRUSR | S_IWUSR);
    }
#endif
  }

  // The database file was removed or replaced while it was open (someone tidied up, a copy
  // was put in its place): writing on would go into a file nobody sees. It is opened again at
  // its path, and that is said.
  int ReopenIfReplaced() {
    FileIdentity now;
    if (!db_ || !opened_ || (IdentityOf(path_, now) && now == identity_)) return RECORDS_OK;
    db_.reset();
    notice_ = path_ +
              " was removed or replaced while in use: the records go on into the database now "
              "at that path (those written before are not in it)";
    return Open();
  }

  // Opens the database when no earlier call could; a read-only one reads as well.
  int OpenForReading() {
    if (db_) return ReopenIfReplaced();
    const int s = Open();
    if (s != RECORDS_OK && s != RECORDS_READ_ONLY) return s;
    return db_ ? RECORDS_OK : RECORDS_UNAVAILABLE;
  }

  // Stores the record in one transaction and, for `server`, notes it as waiting for it.
  int Write(const Record& record, const std::string* server) {
    if (!db_) {
      if (int s = Open(); s != RECORDS_OK) return s;
    } else if (int s = ReopenIfReplaced(); s != RECORDS_OK) {
      return s;
    }
    if (readOnly_) return RECORDS_READ_ONLY;
    const int s = InTransaction([&] {
      int status = Insert(record);
      if (status != RECORDS_OK || server == nullptr) return status;
      Statement queue = Prepare(
          "INSERT INTO veska_outbox (record_id, server) VALUES (?, ?) ON CONFLICT DO NOTHING");
      if (!queue) return RECORDS_FAILED;
      Bind(queue.get(), 1, record.id);
      Bind(queue.get(), 2, *server);
      return Step(queue.get());
    });
    if (s != RECORDS_OK) return s;
    // The log's pages go into the database now and the log is emptied, so that it never keeps
    // the space it took, and a file put in the database's place never meets this file's log.
    // A reader that holds the log (a viewer) is not waited for: the next record tries again.
    sqlite3_busy_timeout(db_.get(), 0);
    (void)sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                    nullptr);
    sqlite3_busy_timeout(db_.get(), static_cast<int>(busyWait_.count()));
    problem_.clear();
    return s;
  }

  // Runs `body` between BEGIN IMMEDIATE and COMMIT; a failure rolls back and keeps its words.
  int InTransaction(const std::function<int()>& body) {
    if (int s = Exec("BEGIN IMMEDIATE"); s != RECORDS_OK) return s;
    int s = body();
    if (s == RECORDS_OK) s = Exec("COMMIT");
    if (s == RECORDS_OK) return s;
    const std::string problem = problem_;
    (void)Exec("ROLLBACK");
    problem_ = problem;
    return s;
  }

  // The records `from` and `rest` (conditions and order, `values` bound in turn) choose, with
  // their steps and images.
  int Select(const std::string& from, const std::string& rest,
             const std::vector<std::string>& values, std::vector<Record>& out) {
    Statement records = Prepare(
        "SELECT id, station, port, device, usb_id, usb_serial, started, ended, seconds, pass, "
        "result, exit_status, cause, cause_text, flash_id, bad_blocks_known, bad_blocks, "
        "release_dir, release_digest, version, payloads, unit_serial, operator FROM " +
        from + rest);
    Statement steps = Prepare(
        "SELECT words, operation, outcome, status, cause, exit_status, seconds FROM phone_steps "
        "WHERE record_id = ? ORDER BY position");
    Statement images = Prepare(
        "SELECT kind, path, size, crc32, address, seconds, written, verified FROM phone_images "
        "WHERE record_id = ? ORDER BY position");
    if (!records || !steps || !images) return RECORDS_FAILED;
    for (std::size_t i = 0; i < values.size(); ++i)
      Bind(records.get(), static_cast<int>(i) + 1, values[i]);
    int stepped = SQLITE_ROW;
    while ((stepped = sqlite3_step(records.get())) == SQLITE_ROW) {
      sqlite3_stmt* r = records.get();
      Record record;
      record.id = Text(r, 0);
      record.station = Text(r, 1);
      record.port = Text(r, 2);
      record.device = Text(r, 3);
      record.usbId = Text(r, 4);
      record.usbSerial = Text(r, 5);
      record.started = Text(r, 6);
      record.ended = Text(r, 7);
      record.seconds = sqlite3_column_double(r, 8);
      record.pass = sqlite3_column_int(r, 9);
      record.result = Text(r, 10);
      record.exitStatus = sqlite3_column_int(r, 11);
      record.cause = Text(r, 12);
      record.causeText = Text(r, 13);
      record.flashId = Text(r, 14);
      record.badBlocksKnown = sqlite3_column_int(r, 15) != 0;
      (void)ParseBadBlocks(Text(r, 16), record.badBlocks);
      record.release = Text(r, 17);
      record.releaseDigest = Text(r, 18);
      record.version = Text(r, 19);
      record.payloads = Text(r, 20);
      record.unitSerial = Text(r, 21);
      record.operatorName = Text(r, 22);
      if (int s = ReadSteps(steps.get(), record); s != RECORDS_OK) return s;
      if (int s = ReadImages(images.get(), record); s != RECORDS_OK) return s;
      out.push_back(std::move(record));
    }
    if (stepped != SQLITE_DONE) return Fail(stepped, "cannot be read");
    problem_.clear();
    return RECORDS_OK;
  }

  int Migrate() {
    return InTransaction([this] {
      int version = 0;
      int s = Exec("CREATE TABLE IF NOT EXISTS veska_schema (version INTEGER NOT NULL)");
      if (s == RECORDS_OK) s = SchemaVersion(version);
      const std::vector<std::string> migrations = Migrations(Dialect::Sqlite);
      const int known = static_cast<int>(migrations.size());
      if (s == RECORDS_OK && version > known) {
        problem_ = "the records in " + path_ + " were written by a newer version of the program " +
                   "(schema " + std::to_string(version) + "; this one knows up to " +
                   std::to_string(known) + ")";
        return RECORDS_TOO_NEW;
      }
      for (int v = version; s == RECORDS_OK && v < known; ++v) {
        s = Exec(migrations[static_cast<std::size_t>(v)]);
      }
      if (s != RECORDS_OK || version == known) return s;
      s = Exec("DELETE FROM veska_schema");
      if (s != RECORDS_OK) return s;
      return Exec("INSERT INTO veska_schema (version) VALUES (" + std::to_string(known) + ")");
    });
  }

  int SchemaVersion(int& version) {
    Statement statement = Prepare("SELECT max(version) FROM veska_schema");
    if (!statement) return RECORDS_FAILED;
    const int stepped = sqlite3_step(statement.get());
    if (stepped != SQLITE_ROW) return Fail(stepped, "cannot be read");
    version = sqlite3_column_int(statement.get(), 0);
    return RECORDS_OK;
  }

  int Insert(const Record& record) {
    Statement insert = Prepare(
        "INSERT INTO phone_records (id, station, port, device, usb_id, usb_serial, started, "
        "ended, seconds, pass, result, exit_status, cause, cause_text, flash_id, "
        "bad_blocks_known, bad_blocks, release_dir, release_digest, version, payloads, "
        "unit_serial, operator) VALUES "
        "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
        "ON CONFLICT (id) DO NOTHING");
    if (!insert) return RECORDS_FAILED;
    sqlite3_stmt* i = insert.get();
    int n = 0;
    for (const std::string* text :
         {&record.id, &record.station, &record.port, &record.device, &record.usbId,
          &record.usbSerial, &record.started, &record.ended}) {
      Bind(i, ++n, *text);
    }
    sqlite3_bind_double(i, ++n, record.seconds);
    sqlite3_bind_int(i, ++n, record.pass);
    Bind(i, ++n, record.result);
    sqlite3_bind_int(i, ++n, record.exitStatus);
    Bind(i, ++n, record.cause);
    Bind(i, ++n, record.causeText);
    Bind(i, ++n, record.flashId);
    sqlite3_bind_int(i, ++n, record.badBlocksKnown ? 1 : 0);
    Bind(i, ++n, BadBlocksText(record.badBlocks));
    Bind(i, ++n, record.release);
    Bind(i, ++n, record.releaseDigest);
    Bind(i, ++n, record.version);
    Bind(i, ++n, record.payloads);
    Bind(i, ++n, record.unitSerial);
    Bind(i, ++n, record.operatorName);
    if (int s = Step(i); s != RECORDS_OK) return s;
    // Stored already (a delivery repeated): nothing more to write.
    if (sqlite3_changes(db_.get()) == 0) return RECORDS_OK;

    Statement step = Prepare(
        "INSERT INTO phone_steps (record_id, position, words, operation, outcome, status, "
        "cause, exit_status, seconds) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!step) return RECORDS_FAILED;
    for (std::size_t position = 0; position < record.steps.size(); ++position) {
      const StepRecord& s = record.steps[position];
      sqlite3_stmt* st = step.get();
      sqlite3_reset(st);
      Bind(st, 1, record.id);
      sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(position));
      Bind(st, 3, s.words);
      Bind(st, 4, s.operation);
      Bind(st, 5, s.outcome);
      sqlite3_bind_int(st, 6, s.status);
      Bind(st, 7, s.cause);
      sqlite3_bind_int(st, 8, s.exitStatus);
      sqlite3_bind_double(st, 9, s.seconds);
      if (int status = Step(st); status != RECORDS_OK) return status;
    }
    Statement image = Prepare(
        "INSERT INTO phone_images (record_id, position, kind, path, size, crc32, address, "
        "seconds, written, verified) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!image) return RECORDS_FAILED;
    for (std::size_t position = 0; position < record.images.size(); ++position) {
      const ImageRecord& m = record.images[position];
      sqlite3_stmt* st = image.get();
      sqlite3_reset(st);
      Bind(st, 1, record.id);
      sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(position));
      Bind(st, 3, m.kind);
      Bind(st, 4, m.path);
      sqlite3_bind_int64(st, 5, static_cast<sqlite3_int64>(m.size));
      if (m.crc32) {
        sqlite3_bind_int64(st, 6, *m.crc32);
      } else {
        sqlite3_bind_null(st, 6);
      }
      if (m.address) {
        sqlite3_bind_int64(st, 7, *m.address);
      } else {
        sqlite3_bind_null(st, 7);
      }
      sqlite3_bind_double(st, 8, m.seconds);
      sqlite3_bind_int(st, 9, m.written ? 1 : 0);
      sqlite3_bind_int(st, 10, m.verified ? 1 : 0);
      if (int status = Step(st); status != RECORDS_OK) return status;
    }
    return RECORDS_OK;
  }

  int ReadSteps(sqlite3_stmt* st, Record& record) {
    sqlite3_reset(st);
    Bind(st, 1, record.id);
    int stepped = SQLITE_ROW;
    while ((stepped = sqlite3_step(st)) == SQLITE_ROW) {
      StepRecord step;
      step.words = Text(st, 0);
      step.operation = Text(st, 1);
      step.outcome = Text(st, 2);
      step.status = sqlite3_column_int(st, 3);
      step.cause = Text(st, 4);
      step.exitStatus = sqlite3_column_int(st, 5);
      step.seconds = sqlite3_column_double(st, 6);
      record.steps.push_back(std::move(step));
    }
    return stepped == SQLITE_DONE ? RECORDS_OK : Fail(stepped, "cannot be read");
  }

  int ReadImages(sqlite3_stmt* st, Record& record) {
    sqlite3_reset(st);
    Bind(st, 1, record.id);
    int stepped = SQLITE_ROW;
    while ((stepped = sqlite3_step(st)) == SQLITE_ROW) {
      ImageRecord image;
      image.kind = Text(st, 0);
      image.path = Text(st, 1);
      image.size = static_cast<std::uint64_t>(sqlite3_column_int64(st, 2));
      if (sqlite3_column_type(st, 3) != SQLITE_NULL) {
        image.crc32 = static_cast<std::uint32_t>(sqlite3_column_int64(st, 3));
      }
      if (sqlite3_column_type(st, 4) != SQLITE_NULL) {
        image.address = static_cast<std::uint32_t>(sqlite3_column_int64(st, 4));
      }
      image.seconds = sqlite3_column_double(st, 5);
      image.written = sqlite3_column_int(st, 6) != 0;
      image.verified = sqlite3_column_int(st, 7) != 0;
      record.images.push_back(std::move(image));
    }
    return stepped == SQLITE_DONE ? RECORDS_OK : Fail(stepped, "cannot be read");
  }

  Statement Prepare(const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    const int prepared =
        sqlite3_prepare_v2(db_.get(), sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    Statement statement(raw);
    if (prepared != SQLITE_OK) {
      (void)Fail(prepared, "cannot be used");
      statement.reset();
    }
    return statement;
  }

  static void Bind(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }

  int Step(sqlite3_stmt* statement) {
    const int stepped = sqlite3_step(statement);
    return stepped == SQLITE_DONE || stepped == SQLITE_ROW ? RECORDS_OK
                                                           : Fail(stepped, "cannot be written");
  }

  // Runs statements that return nothing the caller needs.
  int Exec(const std::string& sql) {
    char* message = nullptr;
    const int executed = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
    sqlite3_free(message);
    return executed == SQLITE_OK ? RECORDS_OK : Fail(executed, "cannot be used");
  }

  // Names the failure for the user and maps it to a status.
  int Fail(int code, std::string_view what) {
    const int primary = code & 0xFF;
    const char* reason = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(code);
    switch (primary) {
      case SQLITE_NOTADB:
        problem_ = path_ + " is not a records database (" + reason + ")";
        return RECORDS_NOT_A_DATABASE;
      case SQLITE_READONLY:
        problem_ = path_ + " is read-only: records cannot be written to it";
        return RECORDS_READ_ONLY;
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        problem_ = path_ + " is locked by another program (waited " +
                   std::to_string(busyWait_.count()) + " ms)";
        return RECORDS_BUSY;
      case SQLITE_CANTOPEN:
      case SQLITE_PERM:
      case SQLITE_IOERR:
      case SQLITE_FULL:
        problem_ = path_ + " " + std::string(what) + ": " + reason;
        return RECORDS_UNAVAILABLE;
      default:
        problem_ = path_ + " " + std::string(what) + ": " + reason;
        return RECORDS_FAILED;
    }
  }

  int Close(int status) {
    db_.reset();
    return status;
  }

  std::string path_;
  std::chrono::milliseconds busyWait_;
  bool ownerOnly_ = false;
  Database db_;
  bool readOnly_ = false;
  bool opened_ = false;  // identity_ is the open file's
  FileIdentity identity_;
  std::string problem_;
  std::string notice_;
};

}  // namespace

std::unique_ptr<Store> MakeSqliteStore(const std::string& path) {
  return std::make_unique<SqliteStore>(path, kDefaultBusyWait, false);
}

std::unique_ptr<LocalStore> MakeLocalStore(const std::string& path) {
  return std::make_unique<SqliteStore>(path, kDefaultBusyWait, true);
}

std::unique_ptr<Store> MakeSqliteStore(const std::string& path,
                                       std::chrono::milliseconds busyWait) {
  return std::make_unique<SqliteStore>(path, busyWait, false);
}

}  // namespace veska::records
