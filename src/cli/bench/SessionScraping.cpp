#include "cli/bench/SessionScraping.h"

#include <filesystem>
#include <utility>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "app/ControlIds.h"
#include "app/OperationRunner.h"
#include "app/Templates.h"
#include "target/Connection.h"

namespace veska::cli {

ErrorPipe::ErrorPipe(Board& board, std::size_t port) : board_(board), port_(port) {
  int fds[2] = {-1, -1};
#if defined(_WIN32)
  if (_pipe(fds, 65536, _O_BINARY) != 0) return;
#else
  if (::pipe(fds) != 0) return;
#endif
  readFd_ = fds[0];
  writer_ = ::fdopen(fds[1], "w");
  if (writer_ == nullptr) {
    ::close(fds[1]);
    return;
  }
  reader_ = std::thread([this] { Read(); });
}

ErrorPipe::~ErrorPipe() {
  if (writer_ != nullptr) std::fclose(writer_);
  if (reader_.joinable()) reader_.join();
  if (readFd_ >= 0) ::close(readFd_);
}

std::string ErrorPipe::TakeCause() {
  if (writer_ == nullptr) return {};
  std::unique_lock lock(mutex_);
  const std::uint64_t wanted = ++markersSent_;
  lock.unlock();
  std::fputs(kMarker, writer_);
  std::fflush(writer_);
  lock.lock();
  drained_.wait_for(lock, std::chrono::seconds(2),
                    [this, wanted] { return markersSeen_ >= wanted; });
  return std::exchange(cause_, std::string());
}

void ErrorPipe::Read() {
  char buffer[4096];
  std::string partial;
  for (;;) {
    const auto got = ::read(readFd_, buffer, sizeof buffer);
    if (got <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = partial.find('\n')) != std::string::npos) {
      std::string line = partial.substr(0, end);
      partial.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line + "\n" == kMarker) {
        std::lock_guard lock(mutex_);
        ++markersSeen_;
        drained_.notify_all();
        continue;
      }
      if (line.empty()) continue;
      Note(line);
      board_.Message(port_, line);
    }
  }
  if (!partial.empty()) {
    Note(partial);
    board_.Message(port_, partial);
  }
}

void ErrorPipe::Note(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (line.starts_with("veska-cli: ") || line.starts_with("[")) {
    cause_ += (cause_.empty() ? "" : "\n") + line;
  }
}
void TapWindowEvent(Board& board, std::size_t port, const ui::Event& event) {
  if (event.dialog != app::kMainDialogTemplate.resourceId) return;
  if (event.kind == ui::EventKind::SetText && event.id == app::IDC_FILE_NAME) {
    const std::string name = std::filesystem::path(event.text).filename().string();
    if (!name.empty() && name != " ") board.ImageNamed(port, name);
  } else if (event.kind == ui::EventKind::SetRange && event.id == app::IDC_PROGRESS) {
    board.ProgressRange(port, event.b);
  } else if (event.kind == ui::EventKind::SetPos && event.id == app::IDC_PROGRESS) {
    board.ProgressAt(port, event.a);
  }
}

bool ReadsBack(std::string_view words) {
  return words.starts_with("download ") && words.find("--verify") != std::string_view::npos;
}

bool StartUnanswered(const StepRecord& step) {
  return step.operation == app::OperationName(app::OperationId::Start) &&
         (step.status == target::CONNECT_COMM_ERROR || step.status == target::CONNECT_TIMEOUT);
}

bool StartTimedOut(const StepRecord& step) {
  return step.operation == app::OperationName(app::OperationId::Start) &&
         step.status == target::CONNECT_TIMEOUT;
}

}  // namespace veska::cli
