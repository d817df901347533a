#pragma once

// What the line keeps of every phone it served: one record per phone, written when the phone is
// done, either way. The same record goes to the PC's own database and to a line's shared server.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veska::records {

// One step of the phone's pass, with its typed result.
struct StepRecord {
  std::string words;      // as given: "download all-bin --verify"
  std::string operation;  // the operation it ran ("START", "Download", ...); may be empty
  std::string outcome;    // "connected", "written", "failed", ...
  int status = 0;         // the operation's own status when it failed
  std::string cause;      // the cause's kind when it failed ("no-reply", "refused", ...)
  int exitStatus = 0;
  double seconds = 0.0;
};

// One image the pass wrote (or tried to).
struct ImageRecord {
  std::string kind;  // the log's name: "APPS", "COMMS", "TFS", ...
  std::string path;
  std::uint64_t size = 0;
  std::optional<std::uint32_t> crc32;
  std::optional<std::uint32_t> address;
  double seconds = 0.0;
  bool written = false;
  bool verified = false;  // read back from the flash and found equal
};

struct Record {
  // Made where the phone was served, so that many benches writing to one server never take
  // one record for another and a record delivered twice is recognised ("<station>-<hex>").
  std::string id;
  std::string station;  // the host name, or --station NAME
  std::string port;     // as the user named it: "COM5", "/dev/ttyUSB0"
  std::string device;   // the device path behind it
  std::string usbId;    // "0403:6001" where known
  std::string usbSerial;
  std::string started;  // UTC, ISO 8601 ("2026-12-09T20:52:19Z")
  std::string ended;
  double seconds = 0.0;
  int pass = 1;        // the phone's number on its port (--repeat)
  std::string result;  // "passed", "failed" or "interrupted"
  int exitStatus = 0;
  std::string cause;      // the cause's kind of a failure ("no-reply", "file", ...); "" when passed
  std::string causeText;  // the program's own words on it
  std::string flashId;    // the Flash ID box; empty before START
  bool badBlocksKnown = false;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> badBlocks;  // (block, count)
  std::vector<StepRecord> steps;
  std::vector<ImageRecord> images;
  std::string release;        // the release folder, where one was named
  std::string releaseDigest;  // ReleaseDigest(images): the same set of images, the same digest
  std::string version;        // the program's
  std::string payloads;       // the loader payload set in use
  // The unit's own serial as scanned or typed before the phone was served ("" when none), and
  // who served it: the unit's history and the shift's people are read from these.
  std::string unitSerial;
  std::string operatorName;
};

// A digest of the set of images written: each image's kind, size and CRC-32, in kind order, so
// that two phones flashed from the same files show the same digest wherever the files lay.
[[nodiscard]] std::string ReleaseDigest(const std::vector<ImageRecord>& images);

// The bad blocks as the stores keep them, "block:count" pairs joined by commas, and back; a
// text that is not such a list reads as no bad blocks (false).
[[nodiscard]] std::string BadBlocksText(
    const std::vector<std::pair<std::uint16_t, std::uint16_t>>& badBlocks);
[[nodiscard]] bool ParseBadBlocks(const std::string& text,
                                  std::vector<std::pair<std::uint16_t, std::uint16_t>>& out);

struct Filter;

// `text` with each of `special` written as %XX, for an address or a file: URI to hold it.
[[nodiscard]] std::string PercentEscaped(std::string_view text, std::string_view special);

// Makes every text of the record fit for any store: valid UTF-8 (a byte that is not part of a
// well-formed sequence becomes the Latin-1 character of its value, as a folder name in another
// encoding reads best), no NUL, and bounded in length, so that a server's index takes it. The
// id keeps its random end, which makes it unique.
void MakeStorable(Record& record);
// A filter's texts in the form MakeStorable gives the records' own, so that a folder named in
// another encoding finds the records kept of it.
void MakeStorable(Filter& filter);

// Unit serials and operator names are typed by people or by a barcode scanner: a scanner ends
// its text with CR or LF, a person may leave spaces. UnitText trims those (and leading spaces)
// and refuses control characters and texts longer than kMaxUnitText characters (UTF-8 code
// points), returning false with `problem` in words ("has a control character", ...).
inline constexpr std::size_t kMaxUnitText = 64;
[[nodiscard]] bool UnitText(std::string_view raw, std::string& out, std::string& problem);

// Now in UTC as the records keep their times ("2026-12-09T20:52:19Z").
[[nodiscard]] std::string UtcNow();

// Seconds since 1970 of a time as the records keep it ("2026-12-09T20:52:19Z"); false for any
// other text (a stored time is untrusted).
[[nodiscard]] bool ParseUtc(std::string_view text, std::int64_t& seconds);

// This PC's name, for a record's station when none is given.
[[nodiscard]] std::string HostName();

// The program's version, as each record notes it.
[[nodiscard]] std::string ProgramVersion();

// A record id made here and now: the station's name and 64 random bits.
[[nodiscard]] std::string NewRecordId(const std::string& station);

// Which records a reading wants. Empty fields choose nothing.
struct Filter {
  std::string since;  // UTC, ISO 8601 or a date ("2026-12-09"): records started then or later
  std::string station;
  std::string port;
  std::string release;  // a release folder or a digest
  std::string unit;     // a unit serial: that unit's records
  bool failedOnly = false;
};

}  // namespace veska::records
