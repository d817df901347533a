#include "fs/FsRecords.h"

namespace veska::fs {

namespace {

void PutBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace

std::vector<std::uint8_t> EncodeNameRecord(std::string_view utf8Name) {
  const auto n = static_cast<std::uint16_t>(utf8Name.size() + 1);
  std::vector<std::uint8_t> record;
  record.reserve(2 + utf8Name.size() + 1 + 4);
  record.push_back(static_cast<std::uint8_t>(n >> 8));
  record.push_back(static_cast<std::uint8_t>(n));
  record.insert(record.end(), utf8Name.begin(), utf8Name.end());
  record.push_back(0);
  return record;
}

std::vector<std::uint8_t> EncodeFileRecord(std::string_view utf8Name, std::uint32_t size) {
  std::vector<std::uint8_t> record = EncodeNameRecord(utf8Name);
  PutBe32(record, size);
  return record;
}

std::array<std::uint8_t, TIME_RECORD_SIZE> EncodeTimeRecord(const std::tm& local) {
  const std::array<int, 6> fields = {local.tm_sec,  local.tm_min,     local.tm_hour,
                                     local.tm_mday, local.tm_mon + 1, local.tm_year + 1900};
  std::array<std::uint8_t, TIME_RECORD_SIZE> record{};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto value = static_cast<std::uint32_t>(fields[i]);
    for (std::size_t b = 0; b < 4; ++b) {
      record[4 * i + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
  }
  return record;
}

FormatErrorReport FormatErrorReport::Decode(
    std::span<const std::uint8_t, ERROR_REPORT_SIZE> bytes) {
  FormatErrorReport report;
  report.functionCode = bytes[0];
  report.errorCode = (std::uint32_t{bytes[1]} << 24) | (std::uint32_t{bytes[2]} << 16) |
                     (std::uint32_t{bytes[3]} << 8) | std::uint32_t{bytes[4]};
  return report;
}

}  // namespace veska::fs
