#include "desktop/PhoneJournal.h"

#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "link/FilePath.h"
#include "records/Store.h"
#include "records/Stores.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace veska::desktop {

namespace {

constexpr std::string_view kPrefix = "veska-under-way-";
constexpr std::string_view kSuffix = ".db";

#if defined(_WIN32)
using ProcessId = unsigned long;

ProcessId OwnProcess() {
  return ::GetCurrentProcessId();
}

struct HandleCloser {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};

// A process whose state cannot be learned counts as running: its phone waits for a later run
// rather than being kept twice over a live program's.
bool Running(ProcessId process) {
  const std::unique_ptr<void, HandleCloser> handle(::OpenProcess(SYNCHRONIZE, FALSE, process));
  if (!handle) return ::GetLastError() == ERROR_ACCESS_DENIED;
  return ::WaitForSingleObject(handle.get(), 0) == WAIT_TIMEOUT;
}
#else
using ProcessId = pid_t;

ProcessId OwnProcess() {
  return ::getpid();
}

bool Running(ProcessId process) {
  return ::kill(process, 0) == 0 || errno == EPERM;
}
#endif

// The process that named `name` as its journal; none for any other name.
bool JournalOwner(const std::string& name, ProcessId& owner) {
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return false;
  const std::string digits =
      name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  if (digits.empty() || digits.size() > 9) return false;
  ProcessId value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<ProcessId>(c - '0');
  }
  owner = value;
  return true;
}

void RemoveDatabase(const std::filesystem::path& file) {
  std::error_code error;
  std::filesystem::remove(file, error);
  for (const char* side : {"-wal", "-shm", "-journal"}) {
    std::filesystem::path sidecar = file;
    sidecar += side;
    std::filesystem::remove(sidecar, error);
  }
}

}  // namespace

PhoneJournal::PhoneJournal(std::filesystem::path folder) : folder_(std::move(folder)) {
  if (!folder_.empty()) {
    file_ = folder_ / (std::string(kPrefix) + std::to_string(OwnProcess()) + std::string(kSuffix));
  }
}

void PhoneJournal::Write(const records::Record& record) {
  if (file_.empty()) return;
  // Written whole beside the file and then put in its place: a program killed meanwhile
  // leaves the previous state of the phone, never half of one.
  std::filesystem::path fresh = file_;
  fresh += ".new";
  RemoveDatabase(fresh);
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  {
    const std::unique_ptr<records::Store> store = records::MakeSqliteStore(link::Utf8Of(fresh));
    if (store->Open() != records::RECORDS_OK || store->Put(record) != records::RECORDS_OK) {
      return RemoveDatabase(fresh);
    }
  }
  std::filesystem::rename(fresh, file_, error);
  if (error) RemoveDatabase(fresh);
}

std::vector<records::Record> PhoneJournal::TakeLeftOver() {
  std::vector<records::Record> phones;
  if (folder_.empty()) return phones;
  std::error_code error;
  std::filesystem::directory_iterator entries(folder_, error);
  if (error) return phones;
  const ProcessId self = OwnProcess();
  for (const std::filesystem::directory_entry& entry : entries) {
    ProcessId owner = 0;
    if (!JournalOwner(link::Utf8Of(entry.path().filename()), owner)) continue;
    // A file of this process's number was left by an earlier program that had it.
    if (owner != self && Running(owner)) continue;
    if (!entry.is_regular_file(error)) continue;
    const std::unique_ptr<records::Store> store =
        records::MakeSqliteStore(link::Utf8Of(entry.path()));
    std::vector<records::Record> kept;
    // A file that cannot be read stays for a later run, or for the user to look at.
    if (store->Open() != records::RECORDS_OK || store->Read({}, kept) != records::RECORDS_OK) {
      continue;
    }
    for (records::Record& record : kept) phones.push_back(std::move(record));
    leftOver_.push_back(entry.path());
  }
  return phones;
}

void PhoneJournal::Remove() {
  if (!file_.empty()) RemoveDatabase(file_);
  for (const std::filesystem::path& file : leftOver_) RemoveDatabase(file);
  leftOver_.clear();
}

}  // namespace veska::desktop
