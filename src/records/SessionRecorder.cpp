#include "records/SessionRecorder.h"

#include <utility>
#include <variant>

#include "app/Cause.h"
#include "app/FlashMap.h"
#include "app/Operations.h"
#include "link/FilePath.h"

namespace veska::records {

ImageRecord RecordOfImage(const app::WrittenImage& image, const link::Crc32Table& crcTable,
                          const std::set<app::ImageKind>& readBack) {
  ImageRecord record;
  record.kind = std::string(app::Catalogue(image.kind).logName);
  record.path = image.path;
  record.size = image.size;
  record.address = image.address;
  record.seconds = image.seconds;
  record.written = image.written;
  const link::FileCrcResult crc = link::FileCrc32(crcTable, link::PathOf(image.path));
  if (crc.opened) record.crc32 = crc.crc;
  record.verified = image.written && readBack.contains(image.kind);
  return record;
}

void ImageLedger::Take(const app::ImagesReadBack& readBack) {
  if (readBack.ended && readBack.matched) {
    readBack_.insert(readBack.images.begin(), readBack.images.end());
  }
}

std::vector<ImageRecord> ImageLedger::Records(const link::Crc32Table& crcTable) {
  for (std::size_t i = images_.size(); i < written_.size(); ++i) {
    images_.push_back(RecordOfImage(written_[i], crcTable, {}));
  }
  std::vector<ImageRecord> records;
  for (std::size_t i = 0; i < written_.size(); ++i) {
    ImageRecord image = images_[i];
    image.verified = written_[i].written && readBack_.contains(written_[i].kind);
    records.push_back(std::move(image));
  }
  return records;
}

void ImageLedger::Clear() {
  written_.clear();
  images_.clear();
  readBack_.clear();
}

SessionRecorder::SessionRecorder(Facts facts, std::function<void(Record)> keep,
                                 std::function<void(const Record&)> underWay)
    : facts_(std::move(facts)), keep_(std::move(keep)), underWay_(std::move(underWay)) {
  crcTable_.BuildCrc32Table();
}

void SessionRecorder::Take(const app::SessionEvent& event) {
  std::lock_guard lock(mutex_);
  // The phone acknowledges the start, then its flash tells its identity (or "FAIL"), while
  // START runs, before its phone's record begins.
  if (std::holds_alternative<app::PhoneAnswered>(event)) {
    acknowledged_ = true;
    flashId_.clear();
  } else if (const auto* flash = std::get_if<app::FlashIdShown>(&event)) {
    flashId_ = flash->text;
  } else if (const auto* image = std::get_if<app::WrittenImage>(&event)) {
    if (phone_) images_.Take(*image);
  } else if (const auto* readBack = std::get_if<app::ImagesReadBack>(&event)) {
    if (phone_) images_.Take(*readBack);
  }
}

void SessionRecorder::Pressed(app::OperationId operation) {
  std::lock_guard lock(mutex_);
  pressed_[operation] = std::chrono::steady_clock::now();
}

void SessionRecorder::Ended(const app::OperationResult& result, const std::string& port,
                            const std::string& device, const app::FlashReport& flash) {
  std::lock_guard lock(mutex_);
  AddStep(result, port, device, flash);
  // Once the window has let go of the phone, the last operation still ending closes it.
  if (released_ && pressed_.empty()) {
    released_ = false;
    Close();
  }
}

void SessionRecorder::AddStep(const app::OperationResult& result, const std::string& port,
                              const std::string& device, const app::FlashReport& flash) {
  const auto now = std::chrono::steady_clock::now();
  double seconds = 0.0;
  if (const auto pressed = pressed_.find(result.operation); pressed != pressed_.end()) {
    seconds = std::chrono::duration<double>(now - pressed->second).count();
    pressed_.erase(pressed);
  }
  const bool start = result.operation == app::OperationId::Start;
  if (start) {
    Close();
    if (!acknowledged_ && !result.Succeeded()) return;  // no phone answered
    acknowledged_ = false;
    Record record;
    record.station = facts_.station;
    record.id = NewRecordId(facts_.station);
    record.port = port;
    record.device = device;
    record.started = UtcNow();
    record.payloads = facts_.payloads;
    record.flashId = flashId_;
    phone_ = std::move(record);
    began_ = now;
  }
  // Refusals and the tools that need no phone left the phone as it was.
  if (!phone_ || !app::NeedsPhone(result.operation) || result.outcome == app::Outcome::Refused ||
      result.outcome == app::Outcome::Busy) {
    return;
  }
  StepRecord step;
  step.words = std::string(app::OperationName(result.operation));
  step.operation = step.words;
  step.outcome = std::string(app::OutcomeName(result.outcome));
  step.status = result.status;
  if (result.cause.kind != app::CauseKind::None) {
    step.cause = std::string(app::CauseKindName(result.cause.kind));
  }
  step.exitStatus = result.Succeeded() ? 0 : 1;
  step.seconds = seconds;
  phone_->steps.push_back(step);
  if (!result.Succeeded() && phone_->causeText.empty()) {
    phone_->causeText = result.reason.empty() ? step.outcome : result.reason;
  }
  if (start) {
    phone_->badBlocksKnown = flash.badBlocksKnown;
    phone_->badBlocks = flash.badBlocks;
  }
  lastEnded_ = now;
  lastEndedUtc_ = UtcNow();
  if (underWay_) underWay_(Made());
}

void SessionRecorder::Released() {
  std::lock_guard lock(mutex_);
  if (!pressed_.empty()) {
    released_ = true;  // the operation Disconnect stopped reports next
    return;
  }
  Close();
}

void SessionRecorder::End() {
  std::lock_guard lock(mutex_);
  released_ = false;
  Close();
}

Record SessionRecorder::Made() {
  Record record = *phone_;
  record.ended = lastEndedUtc_;
  record.seconds = std::chrono::duration<double>(lastEnded_ - began_).count();
  record.result = "passed";
  for (const StepRecord& step : record.steps) {
    if (step.exitStatus == 0) continue;
    record.result = step.outcome == "cancelled" ? "interrupted" : "failed";
    record.cause = step.cause.empty() ? step.outcome : step.cause;
    record.exitStatus = 1;
    break;
  }
  record.images = images_.Records(crcTable_);
  record.releaseDigest = ReleaseDigest(record.images);
  record.version = ProgramVersion();
  return record;
}

void SessionRecorder::Close() {
  if (!phone_) return;
  Record record = Made();
  phone_.reset();
  images_.Clear();
  keep_(std::move(record));
}

}  // namespace veska::records
