// Device arrival on Linux. udev announces a tty once its rules have run (its permissions and
// links are in place), so its monitor is the watch of choice; where no udev daemon runs (a
// container, a build without libudev) the kernel's inotify notices about /dev take its place.
// Pseudo-terminals and links to them appear without either: their folders are watched with
// inotify too. Every wait is one poll() on these and an eventfd that Cancel signals.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>

#include "link/DeviceWatch.h"

#if defined(VESKA_HAVE_LIBUDEV)
#include <libudev.h>
#endif

namespace veska::link {

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int Get() const { return fd_; }

 private:
  int fd_;
};

constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF;
// How long a wait lasts at most while some folder could not be watched.
constexpr std::chrono::milliseconds kUnwatchedLook{1000};
// Notices drained per wake: a burst beyond that wakes the next wait at once.
constexpr int kMostNoticesPerWake = 256;

#if defined(VESKA_HAVE_LIBUDEV)
struct UdevFree {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
#endif

}  // namespace

struct DeviceWatch::Impl {
  Fd cancel{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  Fd notices{::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)};
#if defined(VESKA_HAVE_LIBUDEV)
  std::unique_ptr<udev, UdevFree> udevContext;
  std::unique_ptr<udev_monitor, UdevFree> monitor;
#endif
  std::atomic<bool> cancelled{false};
  std::atomic<std::size_t> wakes{0};
  std::mutex mutex;               // guards the two below
  std::set<std::string> folders;  // watched already
  bool someUnwatched = false;     // a folder could not be watched: look every second

  Impl() {
#if defined(VESKA_HAVE_LIBUDEV)
    // Without a udev daemon the monitor would never hear anything.
    if (::access("/run/udev/control", F_OK) == 0) {
      udevContext.reset(udev_new());
      if (udevContext) monitor.reset(udev_monitor_new_from_netlink(udevContext.get(), "udev"));
      if (monitor &&
          (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr) < 0 ||
           udev_monitor_enable_receiving(monitor.get()) < 0)) {
        monitor.reset();
      }
      if (monitor) return;
    }
#endif
    WatchFolder("/dev");
  }

  void WatchFolder(const std::string& folder) {
    std::lock_guard lock(mutex);
    if (!folders.insert(folder).second) return;
    if (notices.Get() < 0 ||
        ::inotify_add_watch(notices.Get(), folder.c_str(), kFolderEvents) < 0) {
      someUnwatched = true;
    }
  }

  // Reads every notice waiting on the ready descriptors, so the next wait sleeps again.
  void Drain(const pollfd* fds, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
#if defined(VESKA_HAVE_LIBUDEV)
      if (monitor && fds[i].fd == udev_monitor_get_fd(monitor.get())) {
        for (int n = 0; n < kMostNoticesPerWake; ++n) {
          std::unique_ptr<udev_device, UdevFree> device(udev_monitor_receive_device(monitor.get()));
          if (!device) break;
        }
        continue;
      }
#endif
      alignas(inotify_event) char buffer[4096];
      for (int n = 0; n < kMostNoticesPerWake; ++n) {
        if (::read(fds[i].fd, buffer, sizeof buffer) <= 0) break;
      }
    }
  }
};

DeviceWatch::DeviceWatch() : impl_(std::make_unique<Impl>()) {}
DeviceWatch::~DeviceWatch() = default;

void DeviceWatch::WatchPath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return;
  impl_->WatchFolder(absolute.parent_path().string());
}

DeviceWatch::Wake DeviceWatch::Wait(std::chrono::milliseconds timeout) {
  Impl& d = *impl_;
  pollfd fds[3] = {};
  std::size_t count = 0;
  fds[count++] = {d.cancel.Get(), POLLIN, 0};
  if (d.notices.Get() >= 0) fds[count++] = {d.notices.Get(), POLLIN, 0};
#if defined(VESKA_HAVE_LIBUDEV)
  if (d.monitor) fds[count++] = {udev_monitor_get_fd(d.monitor.get()), POLLIN, 0};
#endif
  bool capped = false;
  {
    std::lock_guard lock(d.mutex);
    capped = d.someUnwatched && timeout > kUnwatchedLook;
  }
  const auto deadline = std::chrono::steady_clock::now() + (capped ? kUnwatchedLook : timeout);
  Wake wake = Wake::TimedOut;
  while (!d.cancelled.load()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = left.count() <= 0 ? 0 : ::poll(fds, count, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0) {
      d.Drain(fds, count);
      wake = Wake::Changed;
    } else if (capped) {
      wake = Wake::Changed;  // a look is due: something unwatched may have come
    }
    break;
  }
  if (d.cancelled.load()) wake = Wake::Cancelled;
  ++d.wakes;
  return wake;
}

void DeviceWatch::Cancel() {
  impl_->cancelled.store(true);
  const std::uint64_t one = 1;
  // A full counter still wakes the waiter: the write may fail, the descriptor stays readable.
  [[maybe_unused]] const ssize_t written = ::write(impl_->cancel.Get(), &one, sizeof one);
}

bool DeviceWatch::Cancelled() const {
  return impl_->cancelled.load();
}

std::size_t DeviceWatch::Wakes() const {
  return impl_->wakes.load();
}

}  // namespace veska::link
