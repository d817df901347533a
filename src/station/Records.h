#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "records/Keeper.h"
#include "records/Record.h"
#include "station/PhoneRecord.h"
#include "station/RunOptions.h"

namespace veska::station {

// Where a run keeps its phones' records: --records, else the settings' key, else the default.
[[nodiscard]] records::Place RecordsPlaceOf(const RunOptions& options);
// This PC's own records database: veska-records.db beside the settings file. With a server it
// is where records wait until the server has them.
[[nodiscard]] std::string LocalRecordsPath(const RunOptions& options);

// This PC's name in the records: --station, else the host name.
[[nodiscard]] std::string StationOf(const RunOptions& options);

// How the run shows itself among a records server's clients: "veska-cli STATION SERVING".
[[nodiscard]] records::Client RecordsClientOf(const RunOptions& options, std::string_view serving);

// The release folder as the records keep it: absolute and normal, without a trailing separator,
// so that "./release/" and its full path are one release.
[[nodiscard]] std::string ReleaseFolderOf(const std::string& typed);

// What a phone's record holds besides what its pass learned.
struct RecordFacts {
  std::string station;
  std::string device;
  std::string release;
  std::string payloads;
  std::string operatorName;
};

// The record of a phone served: `phone` as its pass ended, with the run's facts; its id is made
// now, with its end.
[[nodiscard]] records::Record ToRecord(const PhoneRecord& phone, const RecordFacts& facts);

// The run's records::Keeper: its store from --records, its lines on `err` (or through `say`)
// as the program's own.
class RecordKeeper {
 public:
  // `serving`: what the run serves (its port, or "bench"), for the server's list of clients.
  RecordKeeper(const RunOptions& options, std::function<void(const std::string&)> say,
               std::string_view serving = {});
  // False, with its words said, when the store the user chose cannot be written.
  [[nodiscard]] bool Start();
  void Keep(records::Record record) { keeper_.Keep(std::move(record)); }
  void Finish() { keeper_.Finish(); }

 private:
  std::function<void(const std::string&)> say_;
  records::Keeper keeper_;
};

}  // namespace veska::station
