#include "records/Keeper.h"

#include <utility>
#include <vector>

#include "app/Settings.h"
#include "link/FilePath.h"

namespace veska::records {

namespace {

// A store that refused a record is tried again this often.
constexpr std::chrono::seconds kRetryInterval{2};
// Records delivered to a server at a time.
constexpr std::size_t kDeliveryBatch = 50;

// The default database's folder is the settings' folder, which a PC that never saved a setting
// does not have yet: made here, as saving the settings would. The paths are text in UTF-8 (what
// this C++ library writes on Windows, and Linux's own); read back as UTF-8 on both.
void MakeFolderFor(const std::string& file) {
  const std::filesystem::path path(std::u8string(file.begin(), file.end()));
  std::error_code error;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), error);
}

}  // namespace

Place PlaceOf(const std::string& given, const std::filesystem::path& settingsFile) {
  std::string where = given;
  if (where.empty()) {
    where = app::Settings(settingsFile, app::SettingsAccess::ReadOnly).GetString(app::KEY_RECORDS);
  }
  if (where == "none") return {};
  if (!where.empty()) return {where, true};
  // A build without a database of its own keeps records only where the user asks for them.
  if (!LocalRecordsAvailable()) return {};
  return {LocalRecordsPath(settingsFile), false};
}

namespace {

std::filesystem::path LocalRecordsFile(const std::filesystem::path& settingsFile) {
  return settingsFile.parent_path() / "veska-records.db";
}

}  // namespace

std::string LocalRecordsPath(const std::filesystem::path& settingsFile) {
  return link::Utf8Of(LocalRecordsFile(settingsFile));
}

bool LocalRecordsExist(const std::filesystem::path& settingsFile) {
  std::error_code error;
  return std::filesystem::exists(LocalRecordsFile(settingsFile), error);
}

Keeper::Keeper(Place place, std::string localPath, std::function<void(const std::string&)> say)
    : place_(std::move(place)), localPath_(std::move(localPath)), say_(std::move(say)) {}

bool Keeper::Start() {
  if (place_.where.empty()) return true;
  if (IsServerAddress(place_.where)) {
    server_ = MakePostgresStore(place_.where);
    serverKey_ = server_->Where();
    const int opened = server_->Open();
    if (opened != RECORDS_OK && opened != RECORDS_UNAVAILABLE) {
      say_("the records cannot be kept: " + server_->Problem());
      return false;
    }
    if (opened != RECORDS_OK) {
      serverFailing_ = true;
      say_("the records server cannot be reached for now: " + server_->Problem() +
           "; the records wait in " + localPath_ + " and go when it is back");
    }
    // The waiting room: records go there first, and stay there until the server has them.
    MakeFolderFor(localPath_);
    local_ = MakeLocalStore(localPath_);
    if (local_ && local_->Open() != RECORDS_OK) {
      localFailing_ = true;
      say_("the records cannot wait in " + localPath_ + ": " + local_->Problem() +
           "; each phone's record waits in memory until the server takes it");
    }
  } else {
    if (!place_.chosen) MakeFolderFor(place_.where);
    store_ = MakeStore(place_.where);
    if (store_->Open() != RECORDS_OK) {
      if (place_.chosen) {
        say_("the records cannot be kept: " + store_->Problem());
        return false;
      }
      localFailing_ = true;
      say_("the records cannot be kept for now: " + store_->Problem() +
           "; each phone's record waits until it can be written");
    }
  }
  // A server may have records waiting from an earlier run: they go first.
  deliveryDue_ = server_ != nullptr;
  writer_ = std::jthread([this](const std::stop_token& stop) { Write(stop); });
  return true;
}

void Keeper::Keep(Record record) {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(record));
  }
  wake_.notify_all();
}

void Keeper::Finish() {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_all();
  writer_.join();
  if (!waiting_.empty()) {
    const Store& store = server_ ? *server_ : *store_;
    say_(std::to_string(waiting_.size()) + (waiting_.size() == 1 ? " record" : " records") +
         " could not be kept: " + store.Problem());
  }
  if (server_ && local_ && !localFailing_) {
    std::vector<Record> left;
    if (local_->Waiting(serverKey_, kAllWaiting, left) == RECORDS_OK && !left.empty()) {
      say_(std::to_string(left.size()) + (left.size() == 1 ? " record waits" : " records wait") +
           " in " + localPath_ + " for " + serverKey_ +
           "; the next run that reaches it delivers them (records --pending)");
    }
  }
}

int Keeper::KeepWaiting(std::unique_lock<std::mutex>& lock) {
  while (!waiting_.empty()) {
    const Record record = waiting_.front();
    const bool serverReached = server_ && !serverFailing_;
    lock.unlock();
    // With a server the record waits in this PC's database until the server has it; where that
    // database fails, the server may still take the record itself.
    int status = RECORDS_UNAVAILABLE;
    std::string problem = "this build keeps no records on the PC";
    if (!server_) {
      status = store_->Put(record);
      problem = store_->Problem();
    } else if (local_) {
      status = local_->PutForServer(record, serverKey_);
      problem = local_->Problem();
    }
    const bool delivered =
        server_ && status != RECORDS_OK && serverReached && server_->Put(record) == RECORDS_OK;
    lock.lock();
    if (status == RECORDS_OK || delivered) {
      waiting_.pop_front();
      if (status != RECORDS_OK) continue;
      deliveryDue_ = server_ != nullptr;
      if (localFailing_) {
        localFailing_ = false;
        say_("the records are written again, to " + (server_ ? localPath_ : store_->Where()));
      }
      continue;
    }
    if (!localFailing_) {
      localFailing_ = true;
      say_("the records cannot be kept for now: " + problem +
           "; each phone's record waits until it can be written");
    }
    return status;
  }
  return RECORDS_OK;
}

bool Keeper::Deliver(std::unique_lock<std::mutex>& lock) {
  // A waiting room that cannot be opened has nothing to hand on.
  if (!server_ || !local_ || !deliveryDue_ || localFailing_) return true;
  std::size_t delivered = 0;
  for (;;) {
    lock.unlock();
    std::vector<Record> batch;
    int status = local_->Waiting(serverKey_, kDeliveryBatch, batch);
    std::string problem = local_->Problem();
    std::size_t done = 0;
    for (const Record& record : batch) {
      if (status != RECORDS_OK) break;
      // A repeated delivery (the server took it, its answer was lost) stores nothing twice.
      status = server_->Put(record);
      problem = server_->Problem();
      if (status == RECORDS_OK) {
        (void)local_->Delivered(serverKey_, record.id);
        ++done;
      }
    }
    lock.lock();
    delivered += done;
    if (status != RECORDS_OK) {
      if (!serverFailing_) {
        serverFailing_ = true;
        say_("the records server cannot be reached for now: " + problem + "; the records wait in " +
             localPath_ + " and go when it is back");
      }
      return false;
    }
    if (serverFailing_ && delivered > 0) {
      serverFailing_ = false;
      say_("the records server " + serverKey_ + " is reached again");
    }
    if (batch.size() < kDeliveryBatch) {
      deliveryDue_ = false;
      return true;
    }
  }
}

void Keeper::Write(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  bool lastWait = false;
  for (;;) {
    wake_.wait(lock, stop, [this] { return !waiting_.empty() || finishing_ || deliveryDue_; });
    if (stop.stop_requested()) return;
    const int kept = KeepWaiting(lock);
    const bool delivered = Deliver(lock);
    // A delivery lets the lock go while the server answers: the last phones' records (and the
    // program's Finish) may have come meanwhile, and are kept before anything else happens.
    if (kept == RECORDS_OK && !waiting_.empty()) continue;
    if (finishing_) {
      // A program that holds the database (a viewer, another bench's long write) lets it go in
      // the end: one more wait for it before what is left is named as lost.
      if (kept == RECORDS_BUSY && !lastWait) {
        lastWait = true;
        continue;
      }
      return;  // Finish names what is left
    }
    if (kept == RECORDS_OK && delivered) continue;
    const std::size_t count = waiting_.size();
    wake_.wait_for(lock, stop, kRetryInterval,
                   [this, count] { return finishing_ || waiting_.size() != count; });
  }
}

}  // namespace veska::records
