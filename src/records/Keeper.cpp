#include "records/Keeper.h"

#include <algorithm>
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
  const std::filesystem::path path = link::PathOf(file);
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

Keeper::Keeper(Place place, std::string localPath, std::function<void(const std::string&)> say,
               Client client)
    : place_(std::move(place)),
      localPath_(std::move(localPath)),
      say_(std::move(say)),
      client_(std::move(client)) {}

bool Keeper::Start() {
  if (place_.where.empty()) return true;
  if (IsServerAddress(place_.where)) {
    server_ = MakePostgresStore(place_.where, client_);
    serverKey_ = ServerKey(place_.where);
    // The waiting room: records go there first, and stay there until the server has them.
    MakeFolderFor(localPath_);
    local_ = MakeLocalStore(localPath_);
    if (local_ && local_->Open() != RECORDS_OK) {
      localFailing_ = true;
      say_("the records cannot wait in " + localPath_ + ": " + local_->Problem() +
           "; each phone's record waits in memory until the server takes it");
    }
    if (local_ && !localFailing_) FileUnderKeys();
    outbox_ = MakeLocalStore(localPath_);
    // A server may have records waiting from an earlier run: they go first.
    deliveryDue_ = true;
    sender_ = std::jthread([this](const std::stop_token& stop) { Send(stop); });
    // A refusal (a wrong password, no right to the tables, a newer schema) comes at once from
    // a server that answers; one that does not answer does not hold the run up.
    std::unique_lock lock(mutex_);
    answered_.wait_for(lock, kRefusalWait, [this] { return firstAnswer_ != -1; });
    started_ = true;
    const int answer = firstAnswer_;
    const std::string problem = firstProblem_;
    // A schema left for its owner to migrate is as a server away: the records wait for it.
    const bool refused = answer != -1 && answer != RECORDS_OK && answer != RECORDS_UNAVAILABLE &&
                         answer != RECORDS_OUTDATED;
    if (answer == RECORDS_UNAVAILABLE || answer == RECORDS_OUTDATED) {
      serverFailing_ = RECORDS_OK;
      ServerFailed(answer, problem);
    } else if (refused && !place_.chosen) {
      // A program that starts whatever its store says (the desktop's) only tells.
      serverFailing_ = answer;
      say_("the records cannot be delivered: " + problem + "; they wait in " + localPath_);
    } else if (refused) {
      lock.unlock();
      sender_.request_stop();
      send_.notify_all();
      sender_.join();
      say_("the records cannot be kept: " + problem);
      return false;
    }
  } else {
    if (!place_.chosen) MakeFolderFor(place_.where);
    // The PC's own database is its user's alone; a file the user named keeps its own rights.
    if (place_.where == localPath_) store_ = MakeLocalStore(place_.where);
    if (!store_) store_ = MakeStore(place_.where, client_);
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
  writer_ = std::jthread([this](const std::stop_token& stop) { Write(stop); });
  return true;
}

void Keeper::Keep(Record record) {
  if (!writer_.joinable()) return;
  MakeStorable(record);
  {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(record));
  }
  wake_.notify_all();
}

void Keeper::Finish() {
  if (!writer_.joinable() && !sender_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  bool gaveUp = false;
  if (sender_.joinable()) {
    // What the writer kept goes to the server while it answers, for a few seconds at most: a
    // stalled server keeps it waiting here for the next run instead of holding the end up. One
    // whose last answer was a failure is not waited for at all.
    std::unique_lock lock(mutex_);
    written_ = true;
    send_.notify_all();
    const bool answering = firstAnswer_ == -1 || (serverOpen_ && serverFailing_ == RECORDS_OK);
    if (!answering || !answered_.wait_for(lock, kFinishWait, [this] { return sent_; })) {
      abandoned_ = true;
      gaveUp = answering && !sent_;
    }
    lock.unlock();
    if (abandoned_) server_->Abandon();
    sender_.request_stop();
    send_.notify_all();
    sender_.join();
  }
  if (gaveUp) {
    say_("the records server " + serverKey_ + " did not answer within " +
         std::to_string(kFinishWait.count()) + " s of the end");
  }
  const std::size_t lost = waiting_.size() + direct_.size();
  if (lost > 0) {
    std::string problem = server_ ? server_->Problem() : store_->Problem();
    if (!waiting_.empty() && local_) problem = local_->Problem();
    say_(std::to_string(lost) + (lost == 1 ? " record" : " records") +
         " could not be kept: " + problem);
  }
  NameWhatWaits();
}

void Keeper::FileUnderKeys() {
  // Records waiting from an earlier version were filed under the address as typed, a password
  // in it too: under the server's key now.
  std::vector<Outbox> outboxes;
  if (local_->Outboxes(outboxes) != RECORDS_OK) return;
  for (const Outbox& outbox : outboxes) {
    if (const std::string key = ServerKey(outbox.server); key != outbox.server) {
      (void)local_->Refile(outbox.server, key);
    }
  }
}

void Keeper::NameWhatWaits() {
  // Any run says what this PC keeps for a server: its own, and any other it was once given.
  std::unique_ptr<LocalStore> own;
  LocalStore* room = local_ && !localFailing_ ? local_.get() : nullptr;
  std::error_code error;
  if (!server_ && place_.where == localPath_ && !localFailing_ &&
      std::filesystem::exists(link::PathOf(localPath_), error)) {
    own = MakeLocalStore(localPath_);
    room = own.get();
  }
  std::vector<Outbox> outboxes;
  if (room == nullptr || room->Outboxes(outboxes) != RECORDS_OK) return;
  std::stable_partition(outboxes.begin(), outboxes.end(),
                        [this](const Outbox& o) { return o.server == serverKey_; });
  for (const Outbox& outbox : outboxes) {
    if (outbox.waiting == 0) continue;
    say_(std::to_string(outbox.waiting) +
         (outbox.waiting == 1 ? " record waits" : " records wait") + " in " + localPath_ + " for " +
         outbox.server + "; the next run that reaches it delivers them (records --pending)");
  }
}

int Keeper::KeepWaiting(std::unique_lock<std::mutex>& lock) {
  while (!waiting_.empty()) {
    const Record record = waiting_.front();
    lock.unlock();
    // With a server the record waits in this PC's database until the server has it; where that
    // database fails, the sender hands it to the server itself.
    int status = RECORDS_UNAVAILABLE;
    std::string problem = "this build keeps no records on the PC";
    std::string notice;
    if (!server_) {
      status = store_->Put(record);
      problem = store_->Problem();
      notice = store_->TakeNotice();
    } else if (local_) {
      status = local_->PutForServer(record, serverKey_);
      problem = local_->Problem();
      notice = local_->TakeNotice();
    }
    lock.lock();
    if (!notice.empty()) say_(notice);
    if (status == RECORDS_OK || server_) {
      if (status == RECORDS_OK) {
        waiting_.pop_front();
        deliveryDue_ = server_ != nullptr;
      } else {
        direct_.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
      }
      ++kept_;
      send_.notify_all();
    }
    if (status == RECORDS_OK) {
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
    if (server_) continue;
    return status;
  }
  return RECORDS_OK;
}

void Keeper::Write(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  bool lastWait = false;
  for (;;) {
    wake_.wait(lock, stop, [this] { return !waiting_.empty() || finishing_; });
    if (stop.stop_requested()) return;
    const int kept = KeepWaiting(lock);
    if (finishing_) {
      // A program that holds the database (a viewer, another bench's long write) lets it go in
      // the end: one more wait for it before what is left is named as lost.
      if (kept == RECORDS_BUSY && !lastWait) {
        lastWait = true;
        continue;
      }
      return;  // Finish names what is left
    }
    if (kept == RECORDS_OK) continue;
    const std::size_t count = waiting_.size();
    wake_.wait_for(lock, stop, kRetryInterval,
                   [this, count] { return finishing_ || waiting_.size() != count; });
  }
}

void Keeper::Send(const std::stop_token& stop) {
  SendUntilDone(stop);
  {
    std::lock_guard lock(mutex_);
    sent_ = true;
  }
  answered_.notify_all();
}

void Keeper::SendUntilDone(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stop.stop_requested() || abandoned_) return;
    // The writer has stopped: this pass delivers what it left, and is the last.
    const bool last = finishing_ && written_;
    const std::size_t seen = kept_;
    const bool delivered = OpenServer(lock) && DeliverDirect(lock) && Deliver(lock);
    if (delivered && (deliveryDue_ || !direct_.empty()) && !abandoned_) continue;
    if (last) return;
    send_.wait_for(lock, stop, kRetryInterval, [this, seen] {
      return kept_ != seen || (finishing_ && written_) || abandoned_;
    });
  }
}

void Keeper::ServerFailed(int status, const std::string& problem) {
  if (abandoned_ || serverFailing_ == status) return;
  serverFailing_ = status;
  if (status == RECORDS_REFUSED) {
    say_("the records cannot be delivered: " + problem + "; they wait in " + localPath_);
  } else if (status == RECORDS_OUTDATED) {
    say_("the records cannot be delivered yet: " + problem + "; they wait in " + localPath_ +
         " and go once it is done");
  } else {
    say_("the records server cannot be reached for now: " + problem + "; the records wait in " +
         localPath_ + " and go when it is back");
  }
}

bool Keeper::OpenServer(std::unique_lock<std::mutex>& lock) {
  if (serverOpen_) return true;
  lock.unlock();
  const int opened = server_->Open();
  const std::string problem = server_->Problem();
  if (opened == RECORDS_OK && outbox_) {
    // Records kept for this server under another of its names (localhost for 127.0.0.1, an
    // address with other settings) are its own.
    std::vector<Outbox> outboxes;
    if (outbox_->Outboxes(outboxes) == RECORDS_OK) {
      for (const Outbox& outbox : outboxes) {
        if (outbox.server != serverKey_ && SameServer(outbox.server, serverKey_)) {
          (void)outbox_->Refile(outbox.server, serverKey_);
        }
      }
    }
  }
  lock.lock();
  if (firstAnswer_ == -1) {
    firstAnswer_ = opened;
    firstProblem_ = problem;
    answered_.notify_all();
    // Start says what the first answer means, when it came in time.
    if (!started_) serverFailing_ = opened;
  }
  serverOpen_ = opened == RECORDS_OK;
  if (!serverOpen_) ServerFailed(opened, problem);
  return serverOpen_;
}

bool Keeper::DeliverDirect(std::unique_lock<std::mutex>& lock) {
  while (!direct_.empty() && !abandoned_) {
    const Record record = direct_.front();
    lock.unlock();
    const int status = server_->Put(record);
    const std::string problem = server_->Problem();
    lock.lock();
    if (status == RECORDS_REJECTED) {
      say_("the records server " + serverKey_ + " refused the record " + record.id + ": " +
           problem + "; it could not be kept on this PC either");
    } else if (status != RECORDS_OK) {
      ServerFailed(status, problem);
      return false;
    }
    direct_.pop_front();
  }
  return true;
}

bool Keeper::Deliver(std::unique_lock<std::mutex>& lock) {
  // A waiting room that cannot be opened has nothing to hand on.
  if (!outbox_ || !deliveryDue_ || localFailing_) return true;
  std::size_t delivered = 0;
  for (;;) {
    deliveryDue_ = false;  // a record kept from now on makes it due again
    lock.unlock();
    std::vector<Record> batch;
    int status = outbox_->Waiting(serverKey_, kDeliveryBatch, batch);
    std::string problem = outbox_->Problem();
    std::size_t done = 0;
    std::vector<std::pair<std::string, std::string>> setAside;  // id, the server's reason
    for (const Record& record : batch) {
      if (status != RECORDS_OK) break;
      // A repeated delivery (the server took it, its answer was lost) stores nothing twice.
      status = server_->Put(record);
      problem = server_->Problem();
      if (status == RECORDS_REJECTED) {
        // The server will never take this one: it stays here, set aside, and the rest go on.
        if (outbox_->SetAside(serverKey_, record.id, problem) == RECORDS_OK) {
          setAside.emplace_back(record.id, problem);
          status = RECORDS_OK;
        }
        continue;
      }
      if (status == RECORDS_OK) {
        (void)outbox_->Delivered(serverKey_, record.id);
        ++done;
      }
    }
    lock.lock();
    for (const auto& [id, reason] : setAside) {
      say_("the records server " + serverKey_ + " refused the record " + id + ": " + reason +
           "; it stays in " + localPath_ + " (records --pending)");
    }
    delivered += done;
    if (status != RECORDS_OK) {
      deliveryDue_ = true;
      ServerFailed(status, problem);
      return false;
    }
    if (serverFailing_ != RECORDS_OK && delivered > 0) {
      serverFailing_ = RECORDS_OK;
      say_("the records server " + serverKey_ + " is reached again");
    }
    if (batch.size() < kDeliveryBatch) return true;
  }
}

}  // namespace veska::records
