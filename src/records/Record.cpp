#include "records/Record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string_view>

#include "link/Utf8.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace veska::records {

namespace {

// Lengths a text may have in a store, in bytes: names and words that an index may hold, and
// the longer texts (a cause's words, a path).
constexpr std::size_t kShortText = 256;
constexpr std::size_t kLongText = 4096;

// `text` as valid UTF-8 without NUL, at most `limit` bytes, cut between characters.
void Storable(std::string& text, std::size_t limit) {
  std::string utf8;
  utf8.reserve(text.size());
  const std::string_view view(text);
  for (std::size_t i = 0; i < view.size();) {
    std::size_t length = link::Utf8SequenceLength(view.substr(i));
    std::string_view piece = view.substr(i, length);
    char latin1[2];
    if (length == 0 || view[i] == '\0') {
      const auto c = static_cast<unsigned char>(view[i]);
      length = 1;
      if (c == 0) {
        piece = "\xEF\xBF\xBD";  // U+FFFD: a text may not hold NUL
      } else {
        latin1[0] = static_cast<char>(0xC0 | (c >> 6));
        latin1[1] = static_cast<char>(0x80 | (c & 0x3F));
        piece = std::string_view(latin1, 2);
      }
    }
    if (utf8.size() + piece.size() > limit) break;
    utf8 += piece;
    i += length;
  }
  text = std::move(utf8);
}

// FNV-1a, 64 bits: enough to tell sets of images apart, and the same on every system.
std::uint64_t Fnv1a(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string Hex64(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

std::string ReleaseDigest(const std::vector<ImageRecord>& images) {
  std::vector<std::string> lines;
  for (const ImageRecord& image : images) {
    if (!image.written) continue;
    char crc[9] = "-";
    if (image.crc32) std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(*image.crc32));
    lines.push_back(image.kind + " " + std::to_string(image.size) + " " + crc + "\n");
  }
  if (lines.empty()) return "";
  std::sort(lines.begin(), lines.end());
  std::string manifest;
  for (const std::string& line : lines) manifest += line;
  return Hex64(Fnv1a(manifest));
}

std::string BadBlocksText(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& badBlocks) {
  std::string text;
  for (const auto& [block, count] : badBlocks) {
    if (!text.empty()) text += ',';
    text += std::to_string(block) + ':' + std::to_string(count);
  }
  return text;
}

bool ParseBadBlocks(const std::string& text,
                    std::vector<std::pair<std::uint16_t, std::uint16_t>>& out) {
  out.clear();
  std::size_t at = 0;
  while (at < text.size()) {
    unsigned block = 0;
    unsigned count = 0;
    int used = 0;
    if (std::sscanf(text.c_str() + at, "%5u:%5u%n", &block, &count, &used) != 2 || block > 0xFFFF ||
        count > 0xFFFF) {
      out.clear();
      return false;
    }
    out.emplace_back(static_cast<std::uint16_t>(block), static_cast<std::uint16_t>(count));
    at += static_cast<std::size_t>(used);
    if (at < text.size() && text[at++] != ',') {
      out.clear();
      return false;
    }
  }
  return true;
}

bool UnitText(std::string_view raw, std::string& out, std::string& problem) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!raw.empty() && blank(raw.back())) raw.remove_suffix(1);
  while (!raw.empty() && blank(raw.front())) raw.remove_prefix(1);
  std::size_t characters = 0;
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      problem = "has a control character";
      return false;
    }
    if ((byte & 0xC0) != 0x80) ++characters;  // counts code points, not bytes
  }
  if (characters > kMaxUnitText) {
    problem = "is longer than " + std::to_string(kMaxUnitText) + " characters";
    return false;
  }
  out.assign(raw);
  problem.clear();
  return true;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool ParseUtc(std::string_view text, std::int64_t& seconds) {
  constexpr std::string_view kForm = "0000-00-00T00:00:00Z";
  if (text.size() != kForm.size()) return false;
  int fields[6] = {};
  int field = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kForm[i] != '0') {
      if (text[i] != kForm[i]) return false;
      ++field;
      continue;
    }
    if (text[i] < '0' || text[i] > '9') return false;
    fields[field] = fields[field] * 10 + (text[i] - '0');
  }
  using namespace std::chrono;
  const year_month_day date{year(fields[0]), month(static_cast<unsigned>(fields[1])),
                            day(static_cast<unsigned>(fields[2]))};
  if (!date.ok() || fields[3] > 23 || fields[4] > 59 || fields[5] > 60) return false;
  seconds = sys_days(date).time_since_epoch().count() * 86400LL + fields[3] * 3600LL +
            fields[4] * 60LL + fields[5];
  return true;
}

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

std::string ProgramVersion() {
  return VESKA_VERSION;
}

std::string NewRecordId(const std::string& station) {
  std::random_device device;
  const std::uint64_t random = (std::uint64_t{device()} << 32) ^ device();
  return station + "-" + Hex64(random);
}

std::string PercentEscaped(std::string_view text, std::string_view special) {
  std::string escaped;
  for (const char c : text) {
    if (special.find(c) != std::string_view::npos) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      escaped += hex;
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void MakeStorable(Filter& filter) {
  for (std::string* text : {&filter.station, &filter.port, &filter.unit}) {
    Storable(*text, kShortText);
  }
  Storable(filter.release, kLongText);
}

void MakeStorable(Record& record) {
  // The id is "<station>-<random hex>": a long one keeps its end.
  std::string tail;
  if (const std::size_t dash = record.id.rfind('-');
      record.id.size() > kShortText && dash != std::string::npos && record.id.size() - dash <= 32) {
    tail = record.id.substr(dash);
  }
  std::string head = record.id.substr(0, record.id.size() - tail.size());
  Storable(tail, 64);
  Storable(head, kShortText - tail.size());
  record.id = head + tail;
  for (std::string* text : {&record.station, &record.port, &record.device, &record.usbId,
                            &record.usbSerial, &record.started, &record.ended, &record.result,
                            &record.cause, &record.flashId, &record.releaseDigest, &record.version,
                            &record.payloads, &record.unitSerial, &record.operatorName}) {
    Storable(*text, kShortText);
  }
  Storable(record.causeText, kLongText);
  Storable(record.release, kLongText);
  for (StepRecord& step : record.steps) {
    Storable(step.words, kLongText);
    for (std::string* text : {&step.operation, &step.outcome, &step.cause}) {
      Storable(*text, kShortText);
    }
  }
  for (ImageRecord& image : record.images) {
    Storable(image.kind, kShortText);
    Storable(image.path, kLongText);
  }
}

}  // namespace veska::records
