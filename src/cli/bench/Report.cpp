#include "cli/bench/Report.h"

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <ctime>

#include "app/FileReplace.h"
#include "app/Printf.h"
#include "ui/Host.h"

namespace veska::cli {

namespace {

// A JSON string: control characters escaped, and any byte that does not start or continue a
// valid UTF-8 sequence written as the Latin-1 character of that value, so that the report stays
// valid JSON whatever a path or a message holds.
std::string Json(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += app::Printf("\\u%04x", unsigned{c});
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      std::size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
      if (c >= 0xF5) length = 0;
      bool valid = length > 0 && i + length <= text.size();
      for (std::size_t k = 1; valid && k < length; ++k) {
        valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      }
      if (valid) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        out += app::Printf("\\u%04x", unsigned{c});
        ++i;
      }
    }
  }
  return out + "\"";
}

std::string Hex32(std::uint32_t value) {
  return Json(app::Printf("0x%08X", value));
}

std::string Seconds(double seconds) {
  return app::Printf("%.1f", seconds);
}

std::string StepJson(const StepRecord& step) {
  return "{\"step\": " + Json(step.words) + ", \"operation\": " + Json(step.operation) +
         ", \"outcome\": " + Json(step.outcome) + ", \"status\": " + std::to_string(step.status) +
         ", \"reason\": " + Json(step.reason) +
         ", \"exit_status\": " + std::to_string(step.exitStatus) +
         ", \"seconds\": " + Seconds(step.seconds) + "}";
}

std::string ImageJson(const ImageRecord& image) {
  return "{\"image\": " + Json(image.image) + ", \"path\": " + Json(image.path) +
         ", \"size\": " + std::to_string(image.size) +
         ", \"crc32\": " + (image.crc32 ? Hex32(*image.crc32) : "null") +
         ", \"address\": " + (image.address ? Hex32(*image.address) : "null") +
         ", \"seconds\": " + Seconds(image.seconds) +
         ", \"written\": " + (image.written ? "true" : "false") +
         ", \"verified\": " + (image.verified ? "true" : "false") + "}";
}

// Now, in UTC or local time, in strftime's `format`.
std::string Stamp(bool utc, const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (utc) {
#if defined(_WIN32)
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
  } else {
    ui::ToLocalTime(now, parts);
  }
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

}  // namespace

std::string PhoneJson(const PhoneRecord& phone) {
  std::string json = "    {\n";
  json += "      \"port\": " + Json(phone.port) + ",\n";
  json += "      \"pass\": " + std::to_string(phone.pass) + ",\n";
  json += "      \"started\": " + Json(phone.started) + ",\n";
  json += "      \"seconds\": " + Seconds(phone.seconds) + ",\n";
  json += "      \"exit_status\": " + std::to_string(phone.exitStatus) + ",\n";
  json += std::string("      \"result\": ") +
          (phone.interrupted       ? "\"interrupted\""
           : phone.exitStatus == 0 ? "\"passed\""
                                   : "\"failed\"") +
          ",\n";
  if (phone.flashId.empty() && !phone.badBlocksKnown) {
    json += "      \"flash\": null,\n";
  } else {
    json += "      \"flash\": {\"id\": " + Json(phone.flashId) + ", \"bad_blocks\": ";
    if (!phone.badBlocksKnown) {
      json += "null";
    } else {
      json += "[";
      for (std::size_t i = 0; i < phone.badBlocks.size(); ++i) {
        json += (i == 0 ? "" : ", ") + std::string("{\"primary\": ") +
                std::to_string(phone.badBlocks[i].first) +
                ", \"spare\": " + std::to_string(phone.badBlocks[i].second) + "}";
      }
      json += "]";
    }
    json += "},\n";
  }
  json += "      \"steps\": [";
  for (std::size_t i = 0; i < phone.steps.size(); ++i) {
    json += (i == 0 ? "\n        " : ",\n        ") + StepJson(phone.steps[i]);
  }
  json += phone.steps.empty() ? "],\n" : "\n      ],\n";
  json += "      \"images\": [";
  for (std::size_t i = 0; i < phone.images.size(); ++i) {
    json += (i == 0 ? "\n        " : ",\n        ") + ImageJson(phone.images[i]);
  }
  json += phone.images.empty() ? "],\n" : "\n      ],\n";
  if (phone.error) {
    std::string error = StepJson(*phone.error);
    error.pop_back();  // the closing brace: the cause joins the step's fields
    json += "      \"error\": " + error + ", \"cause\": " + Json(phone.cause) + "}\n";
  } else {
    json += "      \"error\": null\n";
  }
  return json + "    }";
}

std::string UtcNow() {
  return Stamp(true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string LocalStamp() {
  return Stamp(false, "%Y%m%d-%H%M%S");
}

std::string ReportJson(const std::vector<std::string>& ports, const std::vector<std::string>& steps,
                       const std::vector<PhoneRecord>& phones, int exitStatus) {
  std::string json = "{\n";
  json += "  \"tool\": \"veska-cli\",\n";
  json += std::string("  \"version\": ") + Json(VESKA_VERSION) + ",\n";
  json += "  \"written\": " + Json(UtcNow()) + ",\n";
  json += "  \"ports\": [";
  for (std::size_t i = 0; i < ports.size(); ++i) json += (i == 0 ? "" : ", ") + Json(ports[i]);
  std::string command;
  for (const std::string& word : steps) command += (command.empty() ? "" : " ") + word;
  json += "],\n  \"command\": " + Json(command) + ",\n";
  json += "  \"finished\": " + std::string(exitStatus >= 0 ? "true" : "false") + ",\n";
  json += "  \"exit_status\": " + (exitStatus >= 0 ? std::to_string(exitStatus) : "null") + ",\n";
  json += "  \"phones\": [";
  for (std::size_t i = 0; i < phones.size(); ++i) {
    json += (i == 0 ? "\n" : ",\n") + PhoneJson(phones[i]);
  }
  json += phones.empty() ? "]\n" : "\n  ]\n";
  return json + "}\n";
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
