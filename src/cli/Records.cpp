#include "cli/Records.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>

#include "app/Cause.h"
#include "app/OperationRunner.h"
#include "cli/CliSession.h"
#include "cli/ExitStatus.h"
#include "cli/Interrupt.h"
#include "cli/PortList.h"
#include "cli/bench/PassRecorder.h"
#include "link/PortNames.h"
#include "records/Stores.h"
#include "records/Summary.h"

namespace veska::cli {

namespace {

using Json = nlohmann::ordered_json;

// A store that refused a record is tried again this often.
constexpr std::chrono::seconds kRetryInterval{2};
// Records delivered to a server at a time, and "all" of them when they are counted.
constexpr std::size_t kDeliveryBatch = 50;
constexpr std::size_t kCountAll = 1'000'000;

std::string HostName() {
#if defined(_WIN32)
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (GetComputerNameA(name, &size)) return std::string(name, size);
#else
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
#endif
  return "unknown";
}

// How a record names what ended its phone: the cause's kind when the failed operation knew it,
// else how the step ended ("refused" before the first step).
std::string CauseOf(const PhoneRecord& phone) {
  if (phone.interrupted) return "cancelled";
  if (phone.exitStatus == 0 || !phone.error) return phone.exitStatus == 0 ? "" : "failed";
  const auto& result = phone.error->result;
  if (result && result->cause.kind != app::CauseKind::None) {
    return std::string(app::CauseKindName(result->cause.kind));
  }
  return phone.error->outcome.empty() ? "failed" : phone.error->outcome;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
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
    text += port.station + " " + port.port + ": " + std::to_string(port.phones) +
            (port.phones == 1 ? " phone, " : " phones, ") + std::to_string(port.passed) +
            " passed, " + Seconds(port.meanSeconds) + " s a phone\n";
  }
  for (const records::PortSummary& port : summary.ports) {
    if (port.failedInARow < records::kRepeatedFailures) continue;
    text += port.station + " " + port.port + ": failed " + std::to_string(port.failedInARow) +
            " times in a row (the last started " + port.lastOfRun +
            (port.stillFailing ? ", and it is still failing" : "") +
            "): a port that keeps failing is usually its cable\n";
  }
  return text;
}

// `records --pending`: the records this PC keeps for its server, in the order they go.
bool PendingStep(const CliArguments& arguments, const records::Store& server, std::FILE* out,
                 std::FILE* err, bool json) {
  if (!records::IsServerAddress(RecordsPlaceOf(arguments).where)) {
    // A database file takes each record at once.
    std::fprintf(err, "veska-cli: the records go straight to %s: nothing waits\n",
                 server.Where().c_str());
    return true;
  }
  const std::string path = LocalRecordsPath(arguments);
  const std::unique_ptr<records::LocalStore> local = records::MakeLocalStore(path);
  std::vector<records::Record> waiting;
  if (!local || local->Open() != records::RECORDS_OK ||
      local->Waiting(server.Where(), kCountAll, waiting) != records::RECORDS_OK) {
    std::fprintf(err, "veska-cli: the records waiting in %s cannot be read: %s\n", path.c_str(),
                 local ? local->Problem().c_str() : "this build keeps no local records");
    return false;
  }
  std::string text;
  if (json) {
    Json value;
    value["server"] = server.Where();
    value["waiting_in"] = path;
    value["records"] = Json::array();
    for (const records::Record& record : waiting) value["records"].push_back(RecordValue(record));
    text = value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  } else {
    for (const records::Record& r : waiting) {
      text += r.started + "\t" + r.station + "\t" + r.port + "\t" + r.result + "\t" + r.id + "\n";
    }
  }
  std::fprintf(err, "veska-cli: %zu %s in %s for %s\n", waiting.size(),
               waiting.size() == 1 ? "record waits" : "records wait", path.c_str(),
               server.Where().c_str());
  std::fflush(out);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
  return true;
}

}  // namespace

std::string LocalRecordsPath(const CliArguments& arguments) {
  return (SettingsFileOf(arguments).parent_path() / "veska-records.db").string();
}

RecordsPlace RecordsPlaceOf(const CliArguments& arguments) {
  if (arguments.records == "none") return {};
  if (!arguments.records.empty()) return {arguments.records, true};
  return {LocalRecordsPath(arguments), false};
}

std::string StationOf(const CliArguments& arguments) {
  return arguments.station.empty() ? HostName() : arguments.station;
}

records::Record ToRecord(const PhoneRecord& phone, const RecordFacts& facts) {
  records::Record record;
  record.id = records::NewRecordId(facts.station);
  record.station = facts.station;
  record.port = phone.port;
  record.device = facts.device;
  if (const std::optional<UsbIdentity> usb = UsbIdentityOf(facts.device)) {
    char id[16];
    std::snprintf(id, sizeof id, "%04x:%04x", usb->vendor & 0xFFFF, usb->product & 0xFFFF);
    record.usbId = id;
    record.usbSerial = usb->serial;
  }
  record.started = phone.started;
  record.ended = UtcNow();
  record.seconds = phone.seconds;
  record.pass = phone.pass;
  record.result = ResultWord(phone);
  record.exitStatus = phone.exitStatus;
  record.cause = CauseOf(phone);
  record.causeText = phone.cause;
  record.flashId = phone.flashId;
  record.badBlocksKnown = phone.badBlocksKnown;
  record.badBlocks = phone.badBlocks;
  for (const StepRecord& step : phone.steps) {
    records::StepRecord s;
    s.words = step.words;
    s.operation = step.operation;
    s.outcome = step.outcome;
    s.status = step.status;
    if (step.result && step.result->cause.kind != app::CauseKind::None) {
      s.cause = std::string(app::CauseKindName(step.result->cause.kind));
    }
    s.exitStatus = step.exitStatus;
    s.seconds = step.seconds;
    record.steps.push_back(std::move(s));
  }
  for (const ImageRecord& image : phone.images) {
    record.images.push_back({image.image, image.path, image.size, image.crc32, image.address,
                             image.seconds, image.written, image.verified});
  }
  record.release = facts.release;
  record.releaseDigest = records::ReleaseDigest(record.images);
  record.version = VESKA_VERSION;
  record.payloads = facts.payloads;
  return record;
}

RecordKeeper::RecordKeeper(const CliArguments& arguments,
                           std::function<void(const std::string&)> say)
    : place_(RecordsPlaceOf(arguments)),
      localPath_(LocalRecordsPath(arguments)),
      say_(std::move(say)) {}

bool RecordKeeper::Start() {
  if (place_.where.empty()) return true;
  if (records::IsServerAddress(place_.where)) {
    server_ = records::MakePostgresStore(place_.where);
    serverKey_ = server_->Where();
    const int opened = server_->Open();
    if (opened != records::RECORDS_OK && opened != records::RECORDS_UNAVAILABLE) {
      say_("veska-cli: the records cannot be kept: " + server_->Problem() +
           " (--records none runs without them)");
      return false;
    }
    if (opened != records::RECORDS_OK) {
      serverFailing_ = true;
      say_("veska-cli: the records server cannot be reached for now: " + server_->Problem() +
           "; the records wait in " + localPath_ + " and go when it is back");
    }
    // The waiting room: records go there first, and stay there until the server has them.
    local_ = records::MakeLocalStore(localPath_);
    if (local_ && local_->Open() != records::RECORDS_OK) {
      localFailing_ = true;
      say_("veska-cli: the records cannot wait in " + localPath_ + ": " + local_->Problem() +
           "; each phone's record waits in memory until the server takes it");
    }
  } else {
    store_ = records::MakeStore(place_.where);
    if (store_->Open() != records::RECORDS_OK) {
      if (place_.chosen) {
        say_("veska-cli: the records cannot be kept: " + store_->Problem() +
             " (--records none runs without them)");
        return false;
      }
      localFailing_ = true;
      say_("veska-cli: the records cannot be kept for now: " + store_->Problem() +
           "; each phone's record waits until it can be written");
    }
  }
  // A server may have records waiting from an earlier run: they go first.
  deliveryDue_ = server_ != nullptr;
  writer_ = std::jthread([this](const std::stop_token& stop) { Write(stop); });
  return true;
}

void RecordKeeper::Keep(records::Record record) {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(record));
  }
  wake_.notify_all();
}

void RecordKeeper::Finish() {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_all();
  writer_.join();
  if (!waiting_.empty()) {
    const records::Store& store = server_ ? *server_ : *store_;
    say_("veska-cli: " + std::to_string(waiting_.size()) +
         (waiting_.size() == 1 ? " record" : " records") +
         " could not be kept: " + store.Problem());
  }
  if (server_ && local_ && !localFailing_) {
    std::vector<records::Record> left;
    if (local_->Waiting(serverKey_, kCountAll, left) == records::RECORDS_OK && !left.empty()) {
      say_("veska-cli: " + std::to_string(left.size()) +
           (left.size() == 1 ? " record waits" : " records wait") + " in " + localPath_ + " for " +
           serverKey_ +
           "; the next run that reaches it delivers them (veska-cli records --pending)");
    }
  }
}

bool RecordKeeper::KeepWaiting(std::unique_lock<std::mutex>& lock) {
  while (!waiting_.empty()) {
    const records::Record record = waiting_.front();
    const bool serverReached = server_ && !serverFailing_;
    lock.unlock();
    // With a server the record waits in this PC's database until the server has it; where that
    // database fails, the server may still take the record itself.
    int status = records::RECORDS_UNAVAILABLE;
    std::string problem = "this build keeps no records on the PC";
    if (!server_) {
      status = store_->Put(record);
      problem = store_->Problem();
    } else if (local_) {
      status = local_->PutForServer(record, serverKey_);
      problem = local_->Problem();
    }
    const bool delivered = server_ && status != records::RECORDS_OK && serverReached &&
                           server_->Put(record) == records::RECORDS_OK;
    lock.lock();
    if (status == records::RECORDS_OK || delivered) {
      waiting_.pop_front();
      if (status != records::RECORDS_OK) continue;
      deliveryDue_ = server_ != nullptr;
      if (localFailing_) {
        localFailing_ = false;
        say_("veska-cli: the records are written again, to " +
             (server_ ? localPath_ : store_->Where()));
      }
      continue;
    }
    if (!localFailing_) {
      localFailing_ = true;
      say_("veska-cli: the records cannot be kept for now: " + problem +
           "; each phone's record waits until it can be written");
    }
    return false;
  }
  return true;
}

bool RecordKeeper::Deliver(std::unique_lock<std::mutex>& lock) {
  // A waiting room that cannot be opened has nothing to hand on.
  if (!server_ || !local_ || !deliveryDue_ || localFailing_) return true;
  std::size_t delivered = 0;
  for (;;) {
    lock.unlock();
    std::vector<records::Record> batch;
    int status = local_->Waiting(serverKey_, kDeliveryBatch, batch);
    std::string problem = local_->Problem();
    std::size_t done = 0;
    for (const records::Record& record : batch) {
      if (status != records::RECORDS_OK) break;
      // A repeated delivery (the server took it, its answer was lost) stores nothing twice.
      status = server_->Put(record);
      problem = server_->Problem();
      if (status == records::RECORDS_OK) {
        (void)local_->Delivered(serverKey_, record.id);
        ++done;
      }
    }
    lock.lock();
    delivered += done;
    if (status != records::RECORDS_OK) {
      if (!serverFailing_) {
        serverFailing_ = true;
        say_("veska-cli: the records server cannot be reached for now: " + problem +
             "; the records wait in " + localPath_ + " and go when it is back");
      }
      return false;
    }
    if (serverFailing_ && delivered > 0) {
      serverFailing_ = false;
      say_("veska-cli: the records server " + serverKey_ + " is reached again");
    }
    if (batch.size() < kDeliveryBatch) {
      deliveryDue_ = false;
      return true;
    }
  }
}

void RecordKeeper::Write(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, stop, [this] { return !waiting_.empty() || finishing_ || deliveryDue_; });
    if (stop.stop_requested()) return;
    const bool kept = KeepWaiting(lock);
    const bool delivered = Deliver(lock);
    if (finishing_) return;  // one last try: Finish names what is left
    if (kept && delivered) continue;
    const std::size_t count = waiting_.size();
    wake_.wait_for(lock, stop, kRetryInterval,
                   [this, count] { return finishing_ || waiting_.size() != count; });
  }
}

int RunRecorded(CliSession& session, const CliArguments& arguments, InterruptWatch& interrupts,
                std::FILE* err) {
  const StepPlan plan = PlanSteps(arguments.steps);
  if (!plan.error.empty() || !plan.opensPort) return session.Run();
  RecordKeeper keeper(arguments, [err](const std::string& line) {
    std::fprintf(err, "%s\n", line.c_str());
    std::fflush(err);
  });
  if (!keeper.Start()) return EXIT_INPUT_REFUSED;

  PhoneRecord phone;
  phone.started = UtcNow();
  link::Crc32Table crcTable;
  crcTable.BuildCrc32Table();
  PassRecorder recorder(nullptr, 0, crcTable, phone);
  recorder.Observe(session);
  const auto started = std::chrono::steady_clock::now();
  const int status = session.Run();
  recorder.CollectImages();
  // A run refused before its first step touched no phone.
  if (phone.steps.empty()) return status;

  const app::DownloaderDlg& dlg = session.Dialog();
  phone.port = arguments.port.empty() ? dlg.PortName() : arguments.port;
  phone.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  phone.exitStatus = status;
  if (recorder.Connected()) {
    phone.flashId = recorder.FlashId();
    phone.badBlocksKnown = dlg.flashReport.badBlocksKnown;
    phone.badBlocks = dlg.flashReport.badBlocks;
  }
  const bool interrupted = interrupts.Interrupted() && status != EXIT_OK;
  phone.interrupted = interrupted;
  NoteError(status, interrupted, dlg.PortFailureReason(), recorder.Cause(), phone);
  const int number = link::ParseComName(phone.port);
  const std::string device =
      link::DevicePathFor(number > 0 ? link::ComName(number) : phone.port, session.State().link);
  keeper.Keep(ToRecord(phone, {StationOf(arguments), device, arguments.release,
                               session.State().payloads.Describe()}));
  keeper.Finish();
  return status;
}

bool RecordsStep(const CliArguments& arguments, const steps::Records& step, std::FILE* out,
                 std::FILE* err, bool json) {
  const RecordsPlace place = RecordsPlaceOf(arguments);
  if (place.where.empty()) {
    std::fprintf(err, "veska-cli: records are off (--records none): there is nothing to read\n");
    return false;
  }
  const std::unique_ptr<records::Store> store = records::MakeStore(place.where);
  if (step.pending) return PendingStep(arguments, *store, out, err, json);
  const int opened = store->Open();
  if (opened != records::RECORDS_OK && opened != records::RECORDS_READ_ONLY) {
    std::fprintf(err, "veska-cli: the records cannot be read: %s\n", store->Problem().c_str());
    return false;
  }
  std::vector<records::Record> found;
  if (store->Read(step.filter, found) != records::RECORDS_OK) {
    std::fprintf(err, "veska-cli: the records cannot be read: %s\n", store->Problem().c_str());
    return false;
  }
  const records::Summary summary = records::Summarise(found);
  std::string text;
  if (json) {
    Json value;
    value["store"] = store->Where();
    value["records"] = Json::array();
    for (const records::Record& record : found) value["records"].push_back(RecordValue(record));
    value["summary"] = SummaryValue(summary);
    text = value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  } else {
    for (const records::Record& r : found) {
      std::size_t written = 0;
      for (const records::ImageRecord& image : r.images) written += image.written ? 1 : 0;
      text += r.started + "\t" + r.station + "\t" + r.port + "\t" + r.result + "\t" +
              Seconds(r.seconds) + " s\t" + (r.flashId.empty() ? "-" : r.flashId) + "\t" +
              std::to_string(written) + (written == 1 ? " image" : " images") +
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
