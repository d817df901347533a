#include "station/Records.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "app/Cause.h"
#include "records/Stores.h"
#include "station/UsbIdentity.h"

namespace veska::station {

namespace {

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

}  // namespace

std::string ReleaseFolderOf(const std::string& typed) {
  if (typed.empty()) return typed;
  std::error_code error;
  std::filesystem::path folder = std::filesystem::absolute(typed, error);
  if (error) return typed;
  folder = folder.lexically_normal();
  // "/x/release/" normalises to "/x/release/": its empty last name is the separator.
  if (!folder.has_filename() && folder.has_relative_path()) folder = folder.parent_path();
  return folder.string();
}

std::string LocalRecordsPath(const RunOptions& options) {
  return records::LocalRecordsPath(SettingsFileOf(options));
}

records::Place RecordsPlaceOf(const RunOptions& options) {
  return records::PlaceOf(options.records, SettingsFileOf(options));
}

std::string StationOf(const RunOptions& options) {
  return options.station.empty() ? records::HostName() : options.station;
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
  record.images = phone.images;
  record.release = ReleaseFolderOf(facts.release);
  record.releaseDigest = records::ReleaseDigest(record.images);
  record.version = records::ProgramVersion();
  record.payloads = facts.payloads;
  record.unitSerial = phone.unitSerial;
  record.operatorName = facts.operatorName;
  return record;
}

records::Client RecordsClientOf(const RunOptions& options, std::string_view serving) {
  // The command line and the bench windows both run benches: the name the program was started
  // by tells them apart.
#if defined(__GLIBC__)
  std::string name = program_invocation_short_name;
#elif defined(_WIN32)
  // The executable's own name, without its folder and ".exe" ("VeskaDownloader").
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name = length > 0 && length < MAX_PATH
                         ? std::filesystem::path(std::string(path, length)).stem().string()
                         : std::string("veska-cli");
#else
  std::string name = "veska-cli";
#endif
  name += " " + StationOf(options);
  if (serving.empty()) return {records::ClientName(name)};
  // A port's path too long for the server's name is told apart by its end (".../ttyUSB3").
  const std::size_t room = name.size() + 1 < records::kClientNameLength
                               ? records::kClientNameLength - name.size() - 1
                               : 0;
  if (serving.size() > room) {
    name += room > 3 ? " ..." + std::string(serving.substr(serving.size() - (room - 3))) : "";
  } else {
    name += " " + std::string(serving);
  }
  return {records::ClientName(name)};
}

RecordKeeper::RecordKeeper(const RunOptions& options, std::function<void(const std::string&)> say,
                           std::string_view serving)
    : say_(std::move(say)),
      keeper_(
          RecordsPlaceOf(options), LocalRecordsPath(options),
          [this](const std::string& line) { say_("veska-cli: " + line); },
          RecordsClientOf(options, serving)) {}

bool RecordKeeper::Start() {
  if (keeper_.Start()) return true;
  say_("veska-cli: --records none runs without them");
  return false;
}

}  // namespace veska::station
