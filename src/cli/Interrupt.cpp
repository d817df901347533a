#include "cli/Interrupt.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>
#endif

namespace veska::cli {

#if defined(_WIN32)

namespace {

// The console calls its handlers on a thread of its own, so the watch it reaches is kept here;
// one watch lives at a time (the command line makes one for its run).
std::atomic<InterruptWatch*> activeWatch{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterruptWatch* watch = activeWatch.load();
  if (watch == nullptr) return FALSE;
  watch->Deliver();
  return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch() {
  activeWatch.store(this);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  activeWatch.store(nullptr);
}

void InterruptWatch::Watch() {}

#else

InterruptWatch::InterruptWatch() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (signalFd_ < 0 || wakeFd_ < 0) {
    // Without the watcher Ctrl-C must still work: give the signal back its default.
    if (signalFd_ >= 0) ::close(signalFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    signalFd_ = wakeFd_ = -1;
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return;
  }
  watcher_ = std::thread([this] { Watch(); });
}

InterruptWatch::~InterruptWatch() {
  if (watcher_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    watcher_.join();
  }
  if (signalFd_ >= 0) ::close(signalFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void InterruptWatch::Watch() {
  for (;;) {
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;  // EINTR
    if ((fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    signalfd_siginfo info{};
    if (::read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    Deliver(static_cast<int>(info.ssi_signo));
  }
}

#endif

void InterruptWatch::Deliver(int signal) {
  if (int none = 0; !signal_.compare_exchange_strong(none, signal)) {
    static constexpr char kAgain[] = "\nveska-cli: interrupted again, quitting now\n";
    std::fputs(kAgain, stderr);
    std::fflush(stderr);
    std::_Exit(128 + signal);
  }
  // Called under the lock: whoever replaces the handler (a session on its way out) waits until
  // this call has left the old one, so the watcher never reaches into an object that is gone.
  {
    std::lock_guard lock(mutex_);
    if (handler_) handler_();
  }
  std::lock_guard lock(handledMutex_);
  handled_ = true;
  handledChanged_.notify_all();
}

void InterruptWatch::WaitHandled() {
  if (!Interrupted()) return;
  std::unique_lock lock(handledMutex_);
  handledChanged_.wait(lock, [this] { return handled_; });
}

void InterruptWatch::SetHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

}  // namespace veska::cli
