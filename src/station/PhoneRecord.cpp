#include "station/PhoneRecord.h"

#include <ctime>

#include "app/Printf.h"
#include "ui/Host.h"

namespace veska::station {

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

std::string UtcNow() {
  return records::UtcNow();
}

namespace {

std::string LocalTime(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ui::ToLocalTime(now, parts);
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

}  // namespace

std::string LocalStamp() {
  return LocalTime("%Y%m%d-%H%M%S");
}

std::string LocalDay() {
  return LocalTime("%Y-%m-%d");
}

}  // namespace veska::station
