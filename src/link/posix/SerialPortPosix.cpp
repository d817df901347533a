// POSIX back end of the serial port: termios on the device, raw 8-N-1 without flow control.
//
// The device is opened non-blocking and every wait is a poll() on the device and on an eventfd
// that Close() signals, so an idle wait costs no CPU and Disconnect can end a blocked read or
// write from the user-interface thread. A small gate (mutex, user count, condition variable)
// keeps Close() from releasing the descriptor while another thread is still inside a read or
// write.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "link/DeviceWatch.h"
#include "link/SerialPort.h"
#include "link/UsbLocation.h"
#include "link/posix/Termios2.h"

namespace veska::link {

namespace {

using Clock = std::chrono::steady_clock;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  [[nodiscard]] int Get() const { return fd_; }
  [[nodiscard]] bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

int ToPollTimeout(Clock::duration d) {
  if (d <= Clock::duration::zero()) return 0;
  // Round up so that a wait never ends a fraction of a millisecond early and loops once more.
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return static_cast<int>(std::min<long long>(ms, 60 * 60 * 1000));
}

speed_t ClassicSpeed(std::uint32_t rate) {
  switch (rate) {
    case 115200:
      return B115200;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    case 3000000:
      return B3000000;
    default:
      return B0;  // no classic constant: set through termios2
  }
}

// Gives up the device: the terminal's exclusive mode is ended first, so that the next program
// (or our own next open) finds the line as it was.
void ReleaseDevice(UniqueFd& fd) {
  if (fd.Valid()) ::ioctl(fd.Get(), TIOCNXCL);
  fd.Reset();
}

// Another process that has `device` open, as "name, pid N", or "" when none can be found (the
// system may not say: /proc absent, or the holder belongs to another user).
std::string DeviceHolder(const std::string& device) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path target = fs::canonical(device, ec);
  if (ec) return "";
  const std::string self = std::to_string(::getpid());
  for (fs::directory_iterator proc("/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
    const std::string pid = proc->path().filename().string();
    if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdError;
    for (fs::directory_iterator fd(proc->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
         fd.increment(fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd->path(), linkError) != target || linkError) continue;
      std::string name;
      std::getline(std::ifstream(proc->path() / "comm"), name);
      return (name.empty() ? std::string("?") : name) + ", pid " + pid;
    }
  }
  return "";
}

}  // namespace

struct SerialPort::Device {
  std::mutex mutex;
  std::condition_variable idle;
  UniqueFd fd;
  UniqueFd wake;  // signalled by Close() to end a wait in another thread
  std::string path;
  int users = 0;
  bool closing = false;
};

// Admits one read or write into the device, or refuses when the record holds no device or a
// Close() is under way; the user count lets Close() wait until the call has left.
class DeviceUse {
 public:
  explicit DeviceUse(SerialPort::Device& device) : device_(device) {
    std::lock_guard lock(device_.mutex);
    if (!device_.fd.Valid() || device_.closing) return;
    ++device_.users;
    fd_ = device_.fd.Get();
    wake_ = device_.wake.Get();
    admitted_ = true;
  }
  ~DeviceUse() {
    if (!admitted_) return;
    std::lock_guard lock(device_.mutex);
    if (--device_.users == 0) device_.idle.notify_all();
  }
  DeviceUse(const DeviceUse&) = delete;
  DeviceUse& operator=(const DeviceUse&) = delete;

  [[nodiscard]] bool Admitted() const { return admitted_; }
  [[nodiscard]] int Fd() const { return fd_; }

  // Waits until the device is ready for `events` or the time runs out. Returns 1 when ready,
  // 0 on time-out, kCancelled when Close() cancelled the wait, kFailed when the device failed.
  static constexpr int kCancelled = -1;
  static constexpr int kFailed = -2;
  int Wait(short events, Clock::duration timeout) const {
    pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const int r = ::poll(fds, 2, ToPollTimeout(deadline - Clock::now()));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return kFailed;
      if (r == 0) return 0;
      if (fds[1].revents != 0) return kCancelled;
      if (fds[0].revents & events) return 1;
      return kFailed;  // POLLERR, POLLHUP or POLLNVAL without the wanted event: the device is gone
    }
  }

 private:
  SerialPort::Device& device_;
  int fd_ = -1;
  int wake_ = -1;
  bool admitted_ = false;
};

SerialPort::SerialPort(LinkState& state) : state_(state), device_(std::make_unique<Device>()) {}

SerialPort::~SerialPort() {
  Close();
}

std::string DeviceProblem(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return "does not exist";
  if (::access(path.c_str(), R_OK | W_OK) != 0) {
    return errno == EACCES || errno == EPERM
               ? "permission denied (serial devices belong to the dialout group)"
               : std::strerror(errno);
  }
  if (const std::string holder = DeviceHolder(path); !holder.empty()) {
    return "in use by another program (" + holder + ")";
  }
  return "";
}

bool SerialPort::HoldsDevice() const {
  std::lock_guard lock(device_->mutex);
  return device_->fd.Valid();
}

std::string DevicePathFor(const std::string& portName, const LinkState& state) {
  if (auto it = state.portPaths.find(portName); it != state.portPaths.end()) return it->second;
  if (!portName.empty() && portName.front() == '/') return portName;
  // A hub's port stands for whatever device is plugged in there now; with none there the name
  // stays, so that the open fails naming it.
  if (UsbPlaceOf(portName)) {
    const std::string device = DeviceAtPlace(portName);
    return device.empty() ? portName : device;
  }
  const int n = link::ParseComName(portName);
  if (n >= 1 && n <= 16) return "/dev/ttyS" + std::to_string(n - 1);
  if (n >= 17 && n <= 32) return "/dev/ttyUSB" + std::to_string(n - 17);
  if (n >= 33 && n <= 48) return "/dev/ttyACM" + std::to_string(n - 33);
  if (n >= 49 && n <= 50) return "/dev/ttyAMA" + std::to_string(n - 49);
  return portName;
}

int SerialPort::OpenDevice() {
  Device& d = *device_;
  std::lock_guard lock(d.mutex);
  // Opening always starts afresh: a record still holding a device lets it go first.
  ReleaseDevice(d.fd);
  d.wake.Reset();
  NoteDeviceReleased();
  d.path = DevicePathFor(portName, state_);

  UniqueFd fd(::open(d.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return errno;
  // Exclusive use among cooperating programs, as a Windows COM port is never shared.
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
  // The lock binds only programs that ask for it: the terminal's exclusive mode also keeps a
  // terminal program or a modem manager from opening the line and taking the phone's bytes.
  // A device that is no terminal refuses it, and the set-up below says so.
  ::ioctl(fd.Get(), TIOCEXCL);
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.Valid()) {
    const int error = errno;
    ReleaseDevice(fd);
    return error;
  }
  d.fd = std::move(fd);
  d.wake = std::move(wake);
  return 0;
}

PortStatus SerialPort::ConfigureDevice(std::size_t /*queueSize: the kernel sizes tty queues*/) {
  Device& d = *device_;
  std::unique_lock lock(d.mutex);
  auto fail = [&](PortStatus status) {
    ReleaseDevice(d.fd);
    d.wake.Reset();
    return status;
  };

  const std::uint32_t rate = BaudRateForCode(baudCode);
  if (rate == 0) return fail(PORT_BAD_BAUD);

  termios tio{};
  if (::tcgetattr(d.fd.Get(), &tio) != 0) {
    const int error = errno;
    diagnostics->Diagnostic(portName, "\nGet Timeouts error!!!");
    // A file, a pipe or /dev/null opens like a port; the terse line above would leave the user
    // looking for a fault in the cable.
    if (error == ENOTTY) {
      const std::string text = "\n" + portName + " is not a serial device\n";
      diagnostics->Diagnostic(portName, text);
      ReportFailure(PortProblem::NotSerial, text);
    } else {
      ReportFailure(PortProblem::Setup, "Get Timeouts error!!!");
    }
    return fail(PORT_SETUP_FAILED);
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // Reads never block in the kernel: time-outs are ours, measured around poll().
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = ClassicSpeed(rate);
  if (speed != B0) {
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
  }
  if (::tcsetattr(d.fd.Get(), TCSANOW, &tio) != 0 ||
      (speed == B0 && posix::SetCustomRate(d.fd.Get(), rate) != 0)) {
    diagnostics->Diagnostic(portName, "\nSet Timeouts error!!!");
    ReportFailure(PortProblem::Setup, "Set Timeouts error!!!");
    return fail(PORT_SETUP_FAILED);
  }
  // Whatever the phone sent before this operation belongs to no exchange of ours. Only input is
  // purged: our Close has already let the output drain, and on a pseudo-terminal (and some USB
  // serial drivers) an output purge reaches into the peer's unread input and would drop the
  // last acknowledgement of the previous operation.
  ::tcflush(d.fd.Get(), TCIFLUSH);
  AskForLowLatency(d.fd.Get(), d.path);
  NoteDeviceOpened();
  return PORT_OK;
}

void SerialPort::AskForLowLatency(int fd, const std::string& device) {
  // A USB adapter holds the phone's answers for its latency timer. A driver that refuses the
  // request (a pseudo-terminal, a built-in UART) fails no open: the timer it leaves is what
  // counts, and the user can lower it.
  AdapterLatency& latency = state_.latency;
  if (latency.request) (void)latency.request(fd);
  TellSlowAdapter(device);
}

PortProblem SerialPort::OpenProblem(int osError) {
  switch (osError) {
    case EACCES:
    case EPERM:
      return PortProblem::Permission;
    case EBUSY:
      return PortProblem::InUse;
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return PortProblem::Missing;
    default:
      return PortProblem::Other;
  }
}

std::string SerialPort::OpenFailureHint(int osError) const {
  const std::string path = DevicePathFor(portName, state_);
  const std::string where = portName == path ? path : portName + " (" + path + ")";
  switch (osError) {
    case EACCES:
    case EPERM:
      return "\n" + where +
             ": permission denied. Serial devices belong to the dialout group: run "
             "'sudo usermod -aG dialout $USER', then log out and in again. Where devices are "
             "granted to the logged-in user instead (uaccess), 'veska-cli udev-rule " +
             portName + "' prints a udev rule that does it for this device.\n";
    case EBUSY: {
      const std::string holder = DeviceHolder(path);
      return "\n" + where + " is in use by another program" +
             (holder.empty() ? "" : " (" + holder + ")") + ".\n";
    }
    case ENOENT:
      return "\n" + where + " does not exist.\n";
    default:
      return "\n" + where + ": " + std::strerror(osError) + "\n";
  }
}

PortStatus SerialPort::LineFailed(int osError) const {
  // Said only for a line that failed by itself: a Disconnect's close ends a wait quietly.
  const std::string path = DevicePathFor(portName, state_);
  const std::string where = portName == path ? path : portName + " (" + path + ")";
  const std::string text = "\n" + where + ": the line failed (" +
                           (osError == 0 ? std::string("the device hung up or went away")
                                         : std::string(std::strerror(osError))) +
                           ").\n";
  diagnostics->Diagnostic(portName, text);
  ReportFailure(PortProblem::LineFailed, text);
  return PORT_IO_ERROR;
}

PortStatus SerialPort::ReadSome(std::span<std::uint8_t> buffer, std::size_t& got) {
  got = 0;
  DeviceUse use(*device_);
  // A record whose device was closed (Disconnect) ends the caller's exchange instead of
  // letting it count empty reads against a port that will never answer.
  if (!use.Admitted()) return PORT_IO_ERROR;

  const auto start = Clock::now();
  const auto total = start + readTotalTimeout;
  while (got < buffer.size()) {
    // Nothing yet: wait up to the total time-out. Once bytes flow, a gap of the interval ends
    // the read with what has arrived.
    auto limit = total - Clock::now();
    if (got > 0) limit = std::min<Clock::duration>(limit, readIntervalTimeout);
    if (got > 0 && limit <= Clock::duration::zero()) break;
    const int ready = use.Wait(POLLIN, std::max(limit, Clock::duration::zero()));
    if (ready == DeviceUse::kFailed) return LineFailed(0);
    if (ready < 0) return PORT_IO_ERROR;
    if (ready == 0) break;
    const ssize_t n = ::read(use.Fd(), buffer.data() + got, buffer.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return LineFailed(n == 0 ? 0 : errno);  // hang-up or a device error (an unplugged adapter)
    }
  }
  return PORT_OK;
}

PortStatus SerialPort::WriteSome(std::span<const std::uint8_t> buffer, std::size_t& put) {
  put = 0;
  buffer = buffer.first(std::min(buffer.size(), kMaxWritePiece));
  DeviceUse use(*device_);
  if (!use.Admitted()) return PORT_IO_ERROR;

  // Hands the whole piece to the device's queue, as one overlapped write would; a device that
  // takes nothing within writeTimeout makes this an empty write for WriteFully to count.
  auto deadline = Clock::now() + writeTimeout;
  while (put < buffer.size()) {
    const ssize_t n = ::write(use.Fd(), buffer.data() + put, buffer.size() - put);
    if (n > 0) {
      put += static_cast<std::size_t>(n);
      deadline = Clock::now() + writeTimeout;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return LineFailed(errno);
    const int ready = use.Wait(POLLOUT, deadline - Clock::now());
    if (ready == DeviceUse::kFailed) return LineFailed(0);
    if (ready < 0) return PORT_IO_ERROR;
    if (ready == 0) break;
  }
  return PORT_OK;
}

namespace {

// Lets the bytes queued for the line leave before the device is released. tcdrain() could
// wait forever for a USB device that stopped reading, so the wait is bounded by the time the
// queued bytes need at the line rate plus a second.
void DrainOutput(int fd, std::uint32_t rate) {
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
  const auto bitsPerSecond = rate != 0 ? rate : 115200u;
  const auto deadline =
      Clock::now() + std::chrono::seconds(1) +
      std::chrono::microseconds(static_cast<long long>(queued) * 10'000'000 / bitsPerSecond);
  while (queued > 0 && Clock::now() < deadline) {
    const auto need =
        std::chrono::microseconds(static_cast<long long>(queued) * 10'000'000 / bitsPerSecond);
    std::this_thread::sleep_for(
        std::clamp<Clock::duration>(need, std::chrono::milliseconds(1), deadline - Clock::now()));
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0) return;
  }
}

}  // namespace

PortStatus SerialPort::Close() {
  Device& d = *device_;
  std::unique_lock lock(d.mutex);
  if (!d.fd.Valid()) return PORT_OK;
  if (d.closing) {
    // Another thread is closing this record: wait until it has finished.
    d.idle.wait(lock, [&] { return !d.fd.Valid(); });
    return PORT_OK;
  }
  d.closing = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto w = ::write(d.wake.Get(), &one, sizeof one);
  d.idle.wait(lock, [&] { return d.users == 0; });

  // The last bytes written (an image's final acknowledgement, a reboot request) must reach the
  // phone: drain the output and discard only unread input.
  DrainOutput(d.fd.Get(), BaudRateForCode(baudCode));
  ::tcflush(d.fd.Get(), TCIFLUSH);
  ReleaseDevice(d.fd);
  d.wake.Reset();
  d.closing = false;
  NoteDeviceReleased();
  d.idle.notify_all();
  return PORT_OK;
}

}  // namespace veska::link
