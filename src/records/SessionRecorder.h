#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/Engine.h"
#include "app/OperationRunner.h"
#include "app/SessionEvents.h"
#include "link/Crc32.h"
#include "records/Record.h"

namespace veska::records {

// The record of an image a session wrote (or tried to): its file's CRC-32 read again now (none
// when it cannot be), and read back when `readBack` says the flash matched it. Shared with the
// command line's pass recorder.
[[nodiscard]] ImageRecord RecordOfImage(const app::WrittenImage& image,
                                        const link::Crc32Table& crcTable,
                                        const std::set<app::ImageKind>& readBack);

// The images a phone's operations wrote, as its record keeps them: each file's CRC-32 read once,
// each image verified when a read-back that matched vouched for it (those with an address: the
// file systems never are), whenever the read-back came. One ledger for the desktop's phones and
// the command line's and the bench's passes.
//
// Thread safety: none; its owner locks.
class ImageLedger {
 public:
  void Take(const app::WrittenImage& image) { written_.push_back(image); }
  void Take(const app::ImagesReadBack& readBack);
  // The images so far, as records.
  [[nodiscard]] std::vector<ImageRecord> Records(const link::Crc32Table& crcTable);
  void Clear();

 private:
  std::vector<app::WrittenImage> written_;
  std::vector<ImageRecord> images_;  // the records of written_'s first images
  std::set<app::ImageKind> readBack_;
};

// What a desktop program keeps of each phone its window served. A phone begins when START
// reaches it (the phone acknowledged the start, whether or not the loaders then came up) and
// ends when the window lets go of it (Disconnect, a lost line), with the next START or when the
// program ends; its steps are the operations that talked to it meanwhile, its images those
// they wrote, and its time ends with its last operation (the idle time after it is nobody's).
// A START that found no phone is no phone.
//
// After each of its operations the phone as it stands so far is told to `underWay`, so that a
// program killed before the phone ends can leave it to the next run; the record kept at its end
// has the same id.
//
// Thread safety: every member may be called from any thread.
class SessionRecorder {
 public:
  struct Facts {
    std::string station;
    std::string payloads;  // the loader payloads in use
  };
  SessionRecorder(Facts facts, std::function<void(Record)> keep,
                  std::function<void(const Record&)> underWay = {});

  // What the window's session tells.
  void Take(const app::SessionEvent& event);
  // The user pressed `operation`'s button: its step's seconds count from here.
  void Pressed(app::OperationId operation);
  // An operation ended on `port` (its device `device`), with the window's flash report.
  void Ended(const app::OperationResult& result, const std::string& port, const std::string& device,
             const app::FlashReport& flash);
  // The window let go of the phone (Disconnect, a lost line): it is done as soon as the
  // operations still ending have reported.
  void Released();
  // The program ends: the phone under way, if any, is done.
  void End();

 private:
  // Under the lock: the operation's step added to the phone under way (a START begins one).
  void AddStep(const app::OperationResult& result, const std::string& port,
               const std::string& device, const app::FlashReport& flash);
  // Under the lock: the phone under way as a record, as it stands.
  Record Made();
  // Under the lock: the phone under way made into a record and handed on.
  void Close();

  Facts facts_;
  std::function<void(Record)> keep_;
  std::function<void(const Record&)> underWay_;
  link::Crc32Table crcTable_;
  std::mutex mutex_;
  bool released_ = false;      // the phone ends once the operations pressed have reported
  bool acknowledged_ = false;  // the phone answered the current START
  std::string flashId_;        // what the Flash ID box shows of it
  std::optional<Record> phone_;
  std::chrono::steady_clock::time_point began_;
  // Where the phone's last operation ended.
  std::chrono::steady_clock::time_point lastEnded_;
  std::string lastEndedUtc_;
  std::map<app::OperationId, std::chrono::steady_clock::time_point> pressed_;
  ImageLedger images_;
};

}  // namespace veska::records
