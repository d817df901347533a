#include "ui/Host.h"

#include <ctime>

#include "ui/FileSearch.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace veska::ui {

namespace {

#if defined(__linux__)
// Linux has no per-thread priority under the normal scheduler, but a thread has its own nice
// value. Lowering it needs privileges; without them the worker simply runs at normal priority.
void ApplyPriority(ThreadPriority priority) {
  if (priority != ThreadPriority::Highest) return;
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  (void)::setpriority(PRIO_PROCESS, tid, -10);
}
#else
void ApplyPriority(ThreadPriority) {}
#endif

}  // namespace

void ToLocalTime(std::time_t when, std::tm& parts) {
#if defined(_WIN32)
  localtime_s(&parts, &when);
#else
  localtime_r(&when, &parts);
#endif
}

std::vector<FileFilter> ParseFileFilter(std::string_view filter) {
  std::vector<FileFilter> entries;
  std::vector<std::string_view> parts;
  while (!filter.empty()) {
    const std::size_t bar = filter.find('|');
    parts.push_back(filter.substr(0, bar));
    if (bar == std::string_view::npos) break;
    filter.remove_prefix(bar + 1);
  }
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].empty() && parts[i + 1].empty()) break;  // the closing "||"
    entries.push_back({std::string(parts[i]), std::string(parts[i + 1])});
  }
  return entries;
}

Host::~Host() {
  std::list<Worker> workers;
  {
    std::lock_guard lock(workersMutex_);
    workers.swap(workers_);
  }
  for (Worker& worker : workers) worker.thread.request_stop();
  // jthread joins as the list goes.
}

void Host::SetMessageDetailSource(std::function<std::string()> source) {
  std::lock_guard lock(detailMutex_);
  detailSource_ = std::move(source);
}

std::string Host::MessageDetail() const {
  std::function<std::string()> source;
  {
    std::lock_guard lock(detailMutex_);
    source = detailSource_;
  }
  return source ? source() : std::string();
}

void Host::StartWorker(ThreadPriority priority, std::function<void(std::stop_token)> work) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(workersMutex_);
  ReapFinished();
  workers_.push_back(
      Worker{std::jthread([priority, done, job = std::move(work)](std::stop_token stop) {
               ApplyPriority(priority);
               job(stop);
               done->store(true);
             }),
             done});
}

void Host::ReapFinished() {
  // Called with the mutex held. A finished thread joins at once.
  workers_.remove_if([](const Worker& worker) { return worker.done->load(); });
}

bool Host::HasRunningWorkers() const {
  std::lock_guard lock(workersMutex_);
  for (const Worker& worker : workers_) {
    if (!worker.done->load()) return true;
  }
  return false;
}

void Host::JoinWorkers() {
  std::list<Worker> workers;
  {
    std::lock_guard lock(workersMutex_);
    workers.swap(workers_);
  }
  for (Worker& worker : workers) {
    if (worker.thread.joinable()) worker.thread.join();
  }
}

void Host::Sleep(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

std::uint64_t Host::TickCount() const {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

LocalTime Host::Now() const {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ToLocalTime(now, parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                   parts.tm_min,         parts.tm_sec,     parts.tm_wday};
}

std::optional<std::string> Host::FindFirstFile(std::string_view pattern) const {
  return FindFirstMatchingFile(pattern);
}

}  // namespace veska::ui
