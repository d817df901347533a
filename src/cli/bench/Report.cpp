#include "cli/bench/Report.h"

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "app/FileReplace.h"
#include "app/Printf.h"
#include "link/Utf8.h"
#include "ui/Host.h"

namespace veska::cli {

namespace {

using Json = nlohmann::ordered_json;

// `text` as a JSON string value. Paths and messages may come in another encoding than UTF-8:
// each byte that does not start or continue a well-formed sequence becomes the Latin-1
// character of that value, so that the report stays valid and keeps every byte readable.
Json Text(std::string_view text) {
  std::string utf8;
  utf8.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t length = link::Utf8SequenceLength(text.substr(i)); length > 0) {
      utf8.append(text.substr(i, length));
      i += length;
      continue;
    }
    const auto c = static_cast<unsigned char>(text[i++]);
    utf8 += static_cast<char>(0xC0 | (c >> 6));
    utf8 += static_cast<char>(0x80 | (c & 0x3F));
  }
  return utf8;
}

Json Hex32(std::optional<std::uint32_t> value) {
  if (!value) return nullptr;
  return app::Printf("0x%08X", *value);
}

// Seconds to a tenth, as the log gives times.
double Tenths(double seconds) {
  return std::round(seconds * 10.0) / 10.0;
}

// Never throws: the texts went in as valid UTF-8, and anything else would be replaced.
std::string Dump(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

Json StepValue(const StepRecord& step) {
  Json value;
  value["step"] = Text(step.words);
  value["operation"] = Text(step.operation);
  value["outcome"] = Text(step.outcome);
  value["status"] = step.status;
  value["reason"] = Text(step.reason);
  value["exit_status"] = step.exitStatus;
  value["seconds"] = Tenths(step.seconds);
  return value;
}

Json ImageValue(const ImageRecord& image) {
  Json value;
  value["image"] = Text(image.kind);
  value["path"] = Text(image.path);
  value["size"] = image.size;
  value["crc32"] = Hex32(image.crc32);
  value["address"] = Hex32(image.address);
  value["seconds"] = Tenths(image.seconds);
  value["written"] = image.written;
  value["verified"] = image.verified;
  return value;
}

Json FlashValue(const PhoneRecord& phone) {
  if (phone.flashId.empty() && !phone.badBlocksKnown) return nullptr;
  Json badBlocks = nullptr;
  if (phone.badBlocksKnown) {
    badBlocks = Json::array();
    for (const auto& [primary, spare] : phone.badBlocks) {
      Json pair;
      pair["primary"] = primary;
      pair["spare"] = spare;
      badBlocks.push_back(std::move(pair));
    }
  }
  Json value;
  value["id"] = Text(phone.flashId);
  value["bad_blocks"] = std::move(badBlocks);
  return value;
}

Json PhoneValue(const PhoneRecord& phone) {
  Json value;
  value["port"] = Text(phone.port);
  value["pass"] = phone.pass;
  value["started"] = Text(phone.started);
  value["seconds"] = Tenths(phone.seconds);
  value["exit_status"] = phone.exitStatus;
  value["result"] = ResultWord(phone);
  value["flash"] = FlashValue(phone);
  value["steps"] = Json::array();
  for (const StepRecord& step : phone.steps) value["steps"].push_back(StepValue(step));
  value["images"] = Json::array();
  for (const ImageRecord& image : phone.images) value["images"].push_back(ImageValue(image));
  value["error"] = nullptr;
  if (phone.error) {
    value["error"] = StepValue(*phone.error);
    value["error"]["cause"] = Text(phone.cause);
  }
  return value;
}

}  // namespace

const char* ResultWord(const PhoneRecord& phone) {
  return phone.interrupted ? "interrupted" : phone.exitStatus == 0 ? "passed" : "failed";
}

std::string LogHeader(const PhoneRecord& phone) {
  return "== veska-cli: " + phone.port + ", phone " + std::to_string(phone.pass) + ", started " +
         phone.started + " ==\n";
}

std::string LogVerdict(const PhoneRecord& phone) {
  std::string line = "== veska-cli: " + phone.port + ", phone " + std::to_string(phone.pass) +
                     ": " + ResultWord(phone) +
                     app::Printf(" (exit status %d, %.1f s)", phone.exitStatus, phone.seconds);
  if (phone.exitStatus != 0 && !phone.cause.empty()) {
    line += ": " + phone.cause.substr(0, phone.cause.find('\n'));
  }
  return line + " ==\n";
}

std::string PhoneJson(const PhoneRecord& phone) {
  // Where the report holds it: an element of "phones", four blanks in.
  std::string json = "    ";
  for (const char c : Dump(PhoneValue(phone))) {
    json += c;
    if (c == '\n') json += "    ";
  }
  return json;
}

std::string UtcNow() {
  return records::UtcNow();
}

std::string LocalStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ui::ToLocalTime(now, parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &parts);
  return text;
}

std::string ReportJson(const std::vector<std::string>& ports, const std::vector<std::string>& steps,
                       const std::vector<PhoneRecord>& phones, int exitStatus) {
  Json report;
  report["tool"] = "veska-cli";
  report["version"] = Text(VESKA_VERSION);
  report["written"] = Text(UtcNow());
  report["ports"] = Json::array();
  for (const std::string& port : ports) report["ports"].push_back(Text(port));
  std::string command;
  for (const std::string& word : steps) command += (command.empty() ? "" : " ") + word;
  report["command"] = Text(command);
  report["finished"] = exitStatus >= 0;
  report["exit_status"] = exitStatus >= 0 ? Json(exitStatus) : Json(nullptr);
  report["phones"] = Json::array();
  for (const PhoneRecord& phone : phones) report["phones"].push_back(PhoneValue(phone));
  return Dump(report) + "\n";
}

std::string ReportFile::Refusal() {
  target_ = app::ReplacementTarget(path_);
  if (target_.empty()) return "is a link to nothing";
  if (app::KindOfTarget(target_) == app::TargetKind::Other) return "is not a regular file";
  return "";
}

bool ReportFile::Replace(const std::string& json) {
  CloseRecords();
  if (target_.empty() || app::KindOfTarget(target_) == app::TargetKind::Other) return false;
  if (!app::ReplaceFileWith(target_, json, ".part")) return false;
  const std::size_t stamp = json.find(kStampKey);
  if (stamp == std::string::npos || !json.ends_with(kNoPhonesTail)) return true;
  stampAt_ = stamp + kStampKey.size();
  size_ = json.size();
  hasPhones_ = !json.ends_with(std::string("[") + std::string(kNoPhonesTail));
#if !defined(_WIN32)
  fd_ = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat info {};
  if (fd_ >= 0 && (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) ||
                   static_cast<std::uint64_t>(info.st_size) != size_)) {
    CloseRecords();
  }
#endif
  return true;
}

bool ReportFile::Append(const std::string& phone) {
  if (fd_ < 0) return false;
  const std::size_t cut = hasPhones_ ? kPhonesTail.size() : kNoPhonesTail.size();
  const std::string piece = (hasPhones_ ? ",\n" : "\n") + phone + std::string(kPhonesTail);
  if (!WriteAt(size_ - cut, piece)) {
    CloseRecords();
    return false;
  }
  size_ = size_ - cut + piece.size();
  hasPhones_ = true;
  const std::string stamp = UtcNow();
  if (stamp.size() == kStampSize) (void)WriteAt(stampAt_, stamp);
  return true;
}

bool ReportFile::WriteAt(std::uint64_t offset, std::string_view bytes) {
#if defined(_WIN32)
  (void)offset;
  (void)bytes;
  return false;
#else
  while (!bytes.empty()) {
    const ssize_t put = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
#endif
}

void ReportFile::CloseRecords() {
#if !defined(_WIN32)
  if (fd_ >= 0) ::close(fd_);
#endif
  fd_ = -1;
}
}  // namespace veska::cli
