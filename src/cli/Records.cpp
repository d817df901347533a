#include "cli/Records.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <utility>

#include "app/Cause.h"
#include "app/OperationRunner.h"
#include "app/Settings.h"
#include "cli/CliSession.h"
#include "cli/Interrupt.h"
#include "cli/PortList.h"
#include "link/FilePath.h"
#include "link/Utf8.h"
#include "records/ServerSetup.h"
#include "records/Stores.h"
#include "records/Summary.h"
#include "report/ShiftReport.h"
#include "station/ExitStatus.h"
#include "station/PassRecorder.h"
#include "station/PortClaim.h"

namespace veska::cli {

using namespace veska::station;

namespace {

using Json = nlohmann::ordered_json;

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::string FirstLine(const std::string& text) {
  return Printable(text.substr(0, text.find('\n')));
}

// A 16-digit hex digest, as ReleaseDigest gives: what `records --release` takes besides a folder.
bool IsDigest(const std::string& text) {
  return text.size() == 16 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Json RecordValue(const records::Record& r) {
  Json value;
  value["id"] = r.id;
  value["station"] = r.station;
  value["port"] = r.port;
  value["device"] = r.device;
  value["usb_id"] = r.usbId;
  value["usb_serial"] = r.usbSerial;
  value["started"] = r.started;
  value["ended"] = r.ended;
  value["seconds"] = r.seconds;
  value["pass"] = r.pass;
  value["result"] = r.result;
  value["exit_status"] = r.exitStatus;
  value["cause"] = r.cause;
  value["cause_text"] = r.causeText;
  value["flash_id"] = r.flashId;
  value["bad_blocks"] = r.badBlocksKnown ? Json(records::BadBlocksText(r.badBlocks)) : Json();
  value["steps"] = Json::array();
  for (const records::StepRecord& s : r.steps) {
    value["steps"].push_back({{"step", s.words},
                              {"operation", s.operation},
                              {"outcome", s.outcome},
                              {"status", s.status},
                              {"cause", s.cause},
                              {"exit_status", s.exitStatus},
                              {"seconds", s.seconds}});
  }
  value["images"] = Json::array();
  for (const records::ImageRecord& m : r.images) {
    value["images"].push_back({{"image", m.kind},
                               {"path", m.path},
                               {"size", m.size},
                               {"crc32", m.crc32 ? Json(*m.crc32) : Json()},
                               {"address", m.address ? Json(*m.address) : Json()},
                               {"seconds", m.seconds},
                               {"written", m.written},
                               {"verified", m.verified}});
  }
  value["release"] = r.release;
  value["release_digest"] = r.releaseDigest;
  value["version"] = r.version;
  value["payloads"] = r.payloads;
  value["unit_serial"] = r.unitSerial;
  value["operator"] = r.operatorName;
  return value;
}

Json SummaryValue(const records::Summary& summary) {
  Json value;
  value["phones"] = summary.phones;
  value["passed"] = summary.passed;
  value["failed"] = summary.phones - summary.passed;
  value["failed_by_cause"] = Json::object();
  for (const auto& [cause, count] : summary.failedByCause) value["failed_by_cause"][cause] = count;
  value["mean_seconds"] = summary.meanSeconds;
  value["ports"] = Json::array();
  for (const records::PortSummary& port : summary.ports) {
    value["ports"].push_back({{"station", port.station},
                              {"port", port.port},
                              {"phones", port.phones},
                              {"passed", port.passed},
                              {"mean_seconds", port.meanSeconds},
                              {"failed_in_a_row", port.failedInARow},
                              {"still_failing", port.stillFailing}});
  }
  value["units"] = summary.units;
  value["passed_first_time"] = summary.passedFirstTime;
  value["first_pass_yield"] = summary.firstPassYield;
  value["span_seconds"] = summary.spanSeconds;
  value["phones_per_hour"] = summary.phonesPerHour;
  value["served_again"] = Json::array();
  for (const records::ServedAgain& unit : summary.servedAgain) {
    value["served_again"].push_back({{"unit_serial", unit.unitSerial}, {"records", unit.records}});
  }
  return value;
}

std::string SummaryText(const records::Summary& summary) {
  const int failed = summary.phones - summary.passed;
  std::string text =
      std::to_string(summary.phones) + (summary.phones == 1 ? " phone: " : " phones: ") +
      std::to_string(summary.passed) + " passed, " + std::to_string(failed) + " failed";
  if (failed > 0) {
    std::string causes;
    for (const auto& [cause, count] : summary.failedByCause) {
      causes += (causes.empty() ? "" : ", ") + cause + " " + std::to_string(count);
    }
    text += " (" + causes + ")";
  }
  text += "; " + Seconds(summary.meanSeconds) + " s a phone on average\n";
  for (const records::PortSummary& port : summary.ports) {
    text += Printable(port.station) + " " + Printable(port.port) + ": " +
            std::to_string(port.phones) + (port.phones == 1 ? " phone, " : " phones, ") +
            std::to_string(port.passed) + " passed, " + Seconds(port.meanSeconds) + " s a phone\n";
  }
  for (const records::PortSummary& port : summary.ports) {
    if (port.failedInARow < records::kRepeatedFailures) continue;
    text += Printable(port.station) + " " + Printable(port.port) + ": failed " +
            std::to_string(port.failedInARow) + " times in a row (the last started " +
            port.lastOfRun + (port.stillFailing ? ", and it is still failing" : "") +
            "): a port that keeps failing is usually its cable\n";
  }
  // A line with many returns would drown the rest; the first few say there is something to
  // look into, --json lists them all.
  constexpr std::size_t kServedAgainShown = 10;
  const std::size_t again = summary.servedAgain.size();
  for (std::size_t i = 0; i < std::min(again, kServedAgainShown); ++i) {
    const records::ServedAgain& unit = summary.servedAgain[i];
    text += "unit " + Printable(unit.unitSerial) + ": served again after a pass (" +
            std::to_string(unit.records) + " records)\n";
  }
  if (again > kServedAgainShown) {
    text += "and " + std::to_string(again - kServedAgainShown) +
            " more units served again after a pass\n";
  }
  return text;
}

// `records --unit`: one line a record, oldest first: when, how it ended and why, where (station
// and port or slot), from which release and by whom.
std::string UnitHistoryText(const std::vector<records::Record>& found) {
  std::string text;
  for (const records::Record& r : found) {
    std::string result = Printable(r.result);
    if (!r.cause.empty()) result += " (" + Printable(r.cause) + ")";
    const std::string& release = r.release.empty() ? r.releaseDigest : r.release;
    text += Printable(r.started) + "\t" + result + "\t" + Printable(r.station) + "\t" +
            Printable(r.port) + "\t" + (release.empty() ? "-" : Printable(release)) + "\t" +
            (r.operatorName.empty() ? "-" : Printable(r.operatorName)) +
            (r.causeText.empty() ? "" : "\t" + FirstLine(r.causeText)) + "\n";
  }
  return text;
}

std::string RecordCount(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// `records --pending`: the records this PC keeps in `path` for its server (`place`), in the
// order they go, and those the server refused for their data, with its reasons; then what waits
// for any other server. `noLocalYet`: this PC has no database yet, so nothing waits in it.
bool PendingStep(const records::Place& place, const std::string& path, bool noLocalYet,
                 const records::Store& store, std::FILE* out, std::FILE* err, bool json) {
  const bool server = records::IsServerAddress(place.where);
  if (!server) {
    // A database file takes each record at once.
    std::fprintf(err, "veska-cli: the records go straight to %s: nothing waits\n",
                 store.Where().c_str());
  }
  const std::unique_ptr<records::LocalStore> local =
      noLocalYet ? nullptr : records::MakeLocalStore(path);
  std::vector<records::Outbox> outboxes;
  if (!noLocalYet && (!local || local->Open() != records::RECORDS_OK ||
                      local->Outboxes(outboxes) != records::RECORDS_OK)) {
    if (!server) return true;
    std::fprintf(err, "veska-cli: the records waiting in %s cannot be read: %s\n", path.c_str(),
                 local ? local->Problem().c_str() : "this build keeps no local records");
    return false;
  }
  // The server as the waiting room names it; what waits under another of its names (an older
  // version's, localhost for 127.0.0.1) is its own too.
  const std::string key = server ? records::ServerKey(place.where) : std::string();
  std::vector<records::Record> waiting;
  std::vector<records::Record> setAside;
  std::vector<std::string> reasons;
  std::vector<records::Outbox> others;
  for (const records::Outbox& outbox : outboxes) {
    if (!server || (outbox.server != key && !records::SameServer(outbox.server, key))) {
      if (outbox.waiting > 0) others.push_back(outbox);
      continue;
    }
    std::vector<records::Record> some;
    std::vector<records::Record> refused;
    std::vector<std::string> why;
    if (local->Waiting(outbox.server, records::kAllWaiting, some) != records::RECORDS_OK ||
        local->SetAsideRecords(outbox.server, refused, why) != records::RECORDS_OK) {
      std::fprintf(err, "veska-cli: the records waiting in %s cannot be read: %s\n", path.c_str(),
                   local->Problem().c_str());
      return false;
    }
    waiting.insert(waiting.end(), some.begin(), some.end());
    setAside.insert(setAside.end(), refused.begin(), refused.end());
    reasons.insert(reasons.end(), why.begin(), why.end());
  }
  std::string text;
  if (json) {
    Json value;
    if (server) {
      value["server"] = key;
      value["waiting_in"] = path;
      value["records"] = Json::array();
      for (const records::Record& record : waiting) value["records"].push_back(RecordValue(record));
      value["set_aside"] = Json::array();
      for (std::size_t i = 0; i < setAside.size(); ++i) {
        Json record = RecordValue(setAside[i]);
        record["reason"] = reasons[i];
        value["set_aside"].push_back(std::move(record));
      }
    }
    value["other_servers"] = Json::array();
    for (const records::Outbox& outbox : others) {
      value["other_servers"].push_back({{"server", outbox.server}, {"waiting", outbox.waiting}});
    }
    if (server || !others.empty()) {
      text = value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    }
  } else {
    for (const records::Record& r : waiting) {
      text += Printable(r.started) + "\t" + Printable(r.station) + "\t" + Printable(r.port) + "\t" +
              Printable(r.result) + "\t" + Printable(r.id) + "\n";
    }
    for (std::size_t i = 0; i < setAside.size(); ++i) {
      const records::Record& r = setAside[i];
      text += Printable(r.started) + "\t" + Printable(r.station) + "\t" + Printable(r.port) + "\t" +
              Printable(r.result) + "\t" + Printable(r.id) +
              "\tset aside: " + Printable(reasons[i]) + "\n";
    }
  }
  if (server) {
    std::fprintf(err, "veska-cli: %s in %s for %s\n",
                 RecordCount(waiting.size(), "record waits", "records wait").c_str(), path.c_str(),
                 key.c_str());
  }
  if (!setAside.empty()) {
    std::fprintf(err, "veska-cli: %s by %s set aside in %s, with its reasons\n",
                 RecordCount(setAside.size(), "record refused", "records refused").c_str(),
                 key.c_str(), path.c_str());
  }
  for (const records::Outbox& outbox : others) {
    std::fprintf(err, "veska-cli: %s in %s for %s\n",
                 RecordCount(outbox.waiting, "record waits", "records wait").c_str(), path.c_str(),
                 outbox.server.c_str());
  }
  std::fflush(out);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
  return true;
}

// `records --migrate` and `records --server-setup [--apply]`: the server's owner's work, as the
// user of the address in --records.
bool ServerOwnerStep(const records::Place& place, const records::Client& client,
                     const steps::Records& step, std::FILE* out, std::FILE* err) {
  const char* what = step.migrate ? "--migrate" : "--server-setup";
  if (!records::IsServerAddress(place.where)) {
    std::fprintf(err,
                 "veska-cli: records %s works on a records server: give its address in --records "
                 "(postgresql://USER@HOST/DATABASE)\n",
                 what);
    return false;
  }
  if (step.serverSetup && !step.apply) {
    const std::string sql = records::ServerSetupSql();
    std::fwrite(sql.data(), 1, sql.size(), out);
    std::fflush(out);
    return true;
  }
  const std::string shown = records::ShownAddress(place.where);
  records::ServerChange change;
  std::string problem;
  if (step.migrate) {
    const int status = records::MigrateServer(place.where, client, change, problem);
    if (status != records::RECORDS_OK) {
      std::fprintf(err, "veska-cli: the records cannot be migrated: %s%s\n", problem.c_str(),
                   status == records::RECORDS_REFUSED
                       ? "; only the tables' owner (or a member of its role) may migrate them"
                       : "");
      return false;
    }
    if (change.from == change.to) {
      std::fprintf(err, "veska-cli: the records at %s are already at schema version %d\n",
                   shown.c_str(), change.to);
    } else if (change.from == 0) {
      std::fprintf(err, "veska-cli: the records at %s: tables made at schema version %d\n",
                   shown.c_str(), change.to);
    } else {
      std::fprintf(err, "veska-cli: the records at %s: schema version %d -> %d\n", shown.c_str(),
                   change.from, change.to);
    }
    return true;
  }
  if (records::SetUpServer(place.where, client, change, problem) != records::RECORDS_OK) {
    std::fprintf(err, "veska-cli: the records server cannot be set up: %s\n", problem.c_str());
    return false;
  }
  std::fprintf(err,
               "veska-cli: the records at %s are set up: the roles %s, %s and %s (%d made now); "
               "%s at schema version %d, owned by %s\n",
               shown.c_str(), std::string(records::kOwnerRole).c_str(),
               std::string(records::kWriterRole).c_str(), std::string(records::kReaderRole).c_str(),
               change.rolesMade, change.from == 0 ? "the tables made" : "the tables", change.to,
               std::string(records::kOwnerRole).c_str());
  if (change.to < records::kSchemaVersion) {
    std::fprintf(err,
                 "veska-cli: the tables are older than this program's schema version %d: run "
                 "`veska-cli records --migrate` as their owner\n",
                 records::kSchemaVersion);
  }
  return true;
}

// The filter as the options that chose it, for a report's heading.
std::string FilterWords(const records::Filter& filter) {
  std::string words;
  const auto add = [&words](const char* option, const std::string& value) {
    if (!value.empty()) words += (words.empty() ? "" : " ") + std::string(option) + " " + value;
  };
  add("--since", filter.since);
  add("--station", filter.station);
  add("--port", filter.port);
  add("--release", filter.release);
  if (filter.failedOnly) words += words.empty() ? "--failed" : " --failed";
  return words;
}

// `records --html/--csv`: the files the step asks for, each written whole or not at all.
bool WriteReports(const steps::Records& step, const std::string& store,
                  const std::vector<records::Record>& found, const records::Summary& summary,
                  std::FILE* err) {
  const auto write = [&](const std::string& file, const std::string& text, const char* what) {
    std::string problem;
    if (report::WriteReport(file, text, problem) != report::REPORT_OK) {
      std::fprintf(err, "veska-cli: the %s cannot be written to %s: %s\n", what, file.c_str(),
                   problem.c_str());
      return false;
    }
    std::fprintf(err, "veska-cli: the %s of %s written to %s\n", what,
                 RecordCount(found.size(), "record", "records").c_str(), file.c_str());
    return true;
  };
  if (!step.html.empty() &&
      !write(step.html,
             report::HtmlReport(found, summary, {store, FilterWords(step.filter), UtcNow()}),
             "shift report")) {
    return false;
  }
  return step.csv.empty() || write(step.csv, report::CsvReport(found), "CSV");
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  const auto escape = [&shown](unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    shown += "\\x";
    shown += kHex[c >> 4];
    shown += kHex[c & 0xF];
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\t' || c == '\r') {
      shown += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      escape(c);
      ++i;
    } else if (const std::size_t length = link::Utf8SequenceLength(text.substr(i)); length > 1) {
      // U+0080 ... U+009F are controls too (CSI among them).
      if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
        escape(c);
        escape(static_cast<unsigned char>(text[i + 1]));
      } else {
        shown.append(text.substr(i, length));
      }
      i += length;
    } else {
      // A byte that is no UTF-8: a Latin-1 name's letter is kept, a C1 control is not.
      if (c >= 0x80 && c < 0xA0) {
        escape(c);
      } else {
        shown += static_cast<char>(c);
      }
      ++i;
    }
  }
  return shown;
}

int RunRecorded(station::Session& session, const CliArguments& arguments,
                InterruptWatch& interrupts, std::FILE* err) {
  const StepPlan plan = PlanSteps(arguments.steps);
  if (!plan.error.empty() || !plan.opensPort) return session.Run();
  RecordKeeper keeper(
      arguments,
      [err](const std::string& line) {
        std::fprintf(err, "%s\n", line.c_str());
        std::fflush(err);
      },
      arguments.port);
  if (!keeper.Start()) return EXIT_INPUT_REFUSED;
  // A port named on the command line is this run's for the phone's whole service, as a bench's
  // ports are: another run is refused, not let into the gaps between the operations' opens.
  link::LinkState ports;
  ports.portPaths =
      app::Settings(SettingsFileOf(arguments), app::SettingsAccess::ReadOnly).PortOverrides();
  PortClaim claim;
  if (!arguments.port.empty() &&
      !claim.Take(DeviceIdentity(PortDevice(arguments.port, ports)), arguments.port)) {
    std::fprintf(err, "veska-cli: %s is in use by another run (%s)\n", arguments.port.c_str(),
                 claim.Holder().c_str());
    return EXIT_PORT_UNAVAILABLE;
  }

  PhoneRecord phone;
  phone.unitSerial = arguments.unitSerial;
  phone.started = UtcNow();
  link::Crc32Table crcTable;
  crcTable.BuildCrc32Table();
  PassRecorder recorder(nullptr, 0, crcTable, phone);
  recorder.Observe(session);
  const auto started = std::chrono::steady_clock::now();
  const int status = session.Run();
  recorder.NoteEnd(status, started, session.Dialog());
  // A run refused before its first step touched no phone.
  if (phone.steps.empty()) return status;

  const app::DownloaderDlg& dlg = session.Dialog();
  phone.port = arguments.port.empty() ? dlg.PortName() : arguments.port;
  const bool interrupted = interrupts.Interrupted() && status != EXIT_OK;
  // A wait for a phone that Ctrl-C ended served none.
  if (interrupted && !recorder.Answered()) return status;
  phone.interrupted = interrupted;
  NoteError(status, interrupted, dlg.PortFailureReason(), recorder.Cause(), phone);
  const std::string device = PortDevice(phone.port, session.State().link);
  keeper.Keep(ToRecord(phone, {StationOf(arguments), device, arguments.release,
                               session.State().payloads.Describe(), arguments.operatorName}));
  keeper.Finish();
  return status;
}

bool RecordsStep(const station::RunOptions& arguments, const steps::Records& step, std::FILE* out,
                 std::FILE* err, bool json) {
  const records::Place place = RecordsPlaceOf(arguments);
  if (step.migrate || step.serverSetup) {
    return ServerOwnerStep(place, RecordsClientOf(arguments, "records"), step, out, err);
  }
  if (place.where.empty()) {
    std::fprintf(err, "veska-cli: records are off (--records none): there is nothing to read\n");
    return false;
  }
  const std::unique_ptr<records::Store> store =
      records::MakeStore(place.where, RecordsClientOf(arguments, "records"));
  if (step.pending) {
    return PendingStep(place, LocalRecordsPath(arguments),
                       !records::LocalRecordsExist(SettingsFileOf(arguments)), *store, out, err,
                       json);
  }
  if (!step.html.empty() && !report::HtmlReportAvailable()) {
    std::fprintf(err,
                 "veska-cli: records --html is unavailable: this build was made without Chart.js "
                 "(scripts/fetch-chartjs, then build again)\n");
    return false;
  }
  // Reading makes no database: a PC that has served no phone yet has none of its own, so there
  // is nothing to list; a database file the user named that is not there is a mistyped name.
  std::error_code error;
  if (place.chosen && !records::IsServerAddress(place.where) &&
      !std::filesystem::exists(link::PathOf(place.where), error)) {
    std::fprintf(err, "veska-cli: the records cannot be read: %s does not exist\n",
                 place.where.c_str());
    return false;
  }
  // A folder is looked for as the records keep it; a digest as given.
  records::Filter filter = step.filter;
  if (!filter.release.empty() && !IsDigest(filter.release)) {
    filter.release = ReleaseFolderOf(filter.release);
  }
  records::MakeStorable(filter);
  std::vector<records::Record> found;
  if (place.chosen || records::LocalRecordsExist(SettingsFileOf(arguments))) {
    const int opened = store->Open();
    if (opened != records::RECORDS_OK && opened != records::RECORDS_READ_ONLY) {
      std::fprintf(err, "veska-cli: the records cannot be read: %s\n", store->Problem().c_str());
      return false;
    }
    if (store->Read(filter, found) != records::RECORDS_OK) {
      std::fprintf(err, "veska-cli: the records cannot be read: %s\n", store->Problem().c_str());
      return false;
    }
  }
  const records::Summary summary = records::Summarise(found);
  if (!step.html.empty() || !step.csv.empty()) {
    return WriteReports(step, store->Where(), found, summary, err);
  }
  std::string text;
  if (json) {
    Json value;
    value["store"] = store->Where();
    value["records"] = Json::array();
    for (const records::Record& record : found) value["records"].push_back(RecordValue(record));
    value["summary"] = SummaryValue(summary);
    text = value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  } else if (!filter.unit.empty()) {
    text = UnitHistoryText(found);
    if (found.empty()) {
      std::fprintf(err, "veska-cli: no records of unit %s in %s\n", Printable(filter.unit).c_str(),
                   store->Where().c_str());
    }
    if (!found.empty()) text += "\n" + SummaryText(summary);
  } else {
    for (const records::Record& r : found) {
      std::size_t written = 0;
      for (const records::ImageRecord& image : r.images) written += image.written ? 1 : 0;
      text += Printable(r.started) + "\t" + Printable(r.station) + "\t" + Printable(r.port) + "\t" +
              Printable(r.result) + "\t" + Seconds(r.seconds) + " s\t" +
              (r.flashId.empty() ? "-" : Printable(r.flashId)) + "\t" + std::to_string(written) +
              (written == 1 ? " image" : " images") +
              (r.causeText.empty() ? "" : "\t" + FirstLine(r.causeText)) + "\n";
    }
    if (found.empty()) std::fprintf(err, "veska-cli: no records in %s\n", store->Where().c_str());
    if (!found.empty()) text += "\n" + SummaryText(summary);
  }
  std::fflush(out);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
  return true;
}

}  // namespace veska::cli
