#pragma once

#include <filesystem>
#include <vector>

#include "records/Record.h"

namespace veska::desktop {

// The phone under way, kept in a file of its own beside the records database after each of its
// operations, so that a program killed (or a PC that lost power) before the phone ended leaves
// its record to the next run instead of nothing. Each running program has its own file, a
// records database holding that one record ("veska-under-way-<process id>.db"); the record the
// program keeps when the phone ends has the same id, so a record kept from the file as well is
// stored once.
//
// Thread safety: none; the owner calls one member at a time.
class PhoneJournal {
 public:
  // `folder`: the records' folder; empty when records are off, and nothing is kept then.
  explicit PhoneJournal(std::filesystem::path folder);
  PhoneJournal(const PhoneJournal&) = delete;
  PhoneJournal& operator=(const PhoneJournal&) = delete;

  // The file holds `record` as it stands now, in place of what it held.
  void Write(const records::Record& record);
  // The phones that programs no longer running left under way. Their files go with Remove,
  // once the records have been kept.
  [[nodiscard]] std::vector<records::Record> TakeLeftOver();
  // This program's file, and those TakeLeftOver read, go.
  void Remove();

 private:
  std::filesystem::path folder_;
  std::filesystem::path file_;
  std::vector<std::filesystem::path> leftOver_;
};

}  // namespace veska::desktop
