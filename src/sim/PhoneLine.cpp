#include "sim/PhoneLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>
#include <vector>

namespace veska::sim {

namespace {

void MakeNonBlocking(int fd) {
  if (fd < 0) return;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int ToMs(std::optional<std::chrono::milliseconds> timeout) {
  if (!timeout) return -1;
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(timeout->count(), 0, 1 << 30));
}

// Reads larger than this are split, so pacing sleeps stay short.
constexpr std::size_t kMaxReadPiece = 4096;

}  // namespace

PhoneLine::PhoneLine(UniqueFd readFd, UniqueFd writeFd)
    : read_(std::move(readFd)),
      write_(std::move(writeFd)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  MakeNonBlocking(read_.Get());
  MakeNonBlocking(write_.Get());
}

PhoneLine::~PhoneLine() {
  adapterThread_ = {};
}

void PhoneLine::SetAdapter(const AdapterModel& adapter) {
  adapter_ = adapter;
  if (adapter_.kind == AdapterModel::Kind::None || adapterThread_.joinable()) return;
  adapterThread_ = std::jthread([this](const std::stop_token& stop) { RunAdapter(stop); });
}

namespace {

// What an adapter holds at most before the phone's writes wait (the PC reads nothing).
constexpr std::size_t kAdapterBuffer = 64 * 1024;
constexpr std::size_t kFtdiPacketData = 62;
constexpr std::size_t kUsbPacket = 64;
// A full-speed bulk endpoint moves at most 19 packets of 64 bytes in a 1 ms frame.
constexpr std::size_t kCdcFrameBytes = 19 * kUsbPacket;

}  // namespace

IoResult PhoneLine::ToAdapter(std::span<const std::uint8_t> bytes,
                              std::optional<std::chrono::milliseconds> gap) {
  std::unique_lock lock(adapterMutex_);
  for (std::size_t done = 0; done < bytes.size();) {
    const auto room = [this] { return held_.size() < kAdapterBuffer || !read_.Valid(); };
    if (!room()) {
      if (!gap) return IoResult::Timeout;  // an offer never waits
      if (!adapterChanged_.wait_for(lock, *gap, room)) return IoResult::Timeout;
      if (!read_.Valid()) return IoResult::Closed;
    }
    if (held_.empty()) heldSince_ = std::chrono::steady_clock::now();
    const std::size_t n = std::min(bytes.size() - done, kAdapterBuffer - held_.size());
    held_.insert(held_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(done),
                 bytes.begin() + static_cast<std::ptrdiff_t>(done + n));
    done += n;
    adapterChanged_.notify_all();
  }
  return IoResult::Ok;
}

void PhoneLine::RunAdapter(const std::stop_token& stop) {
  using Clock = std::chrono::steady_clock;
  const bool ftdi = adapter_.kind == AdapterModel::Kind::Ftdi;
  std::unique_lock lock(adapterMutex_);
  while (!stop.stop_requested()) {
    if (held_.empty()) {
      adapterChanged_.wait(lock, stop, [this] { return !held_.empty(); });
      continue;
    }
    // When the bytes held may leave: a full FTDI packet at once, else when the timer runs out;
    // on CDC at the start of the next 1 ms frame.
    Clock::time_point due = heldSince_ + adapter_.latency;
    if (!ftdi) {
      const auto sinceEpoch = std::chrono::ceil<std::chrono::milliseconds>(
          heldSince_.time_since_epoch() + std::chrono::microseconds(1));
      due = Clock::time_point(std::chrono::duration_cast<Clock::duration>(sinceEpoch));
    }
    if (ftdi && held_.size() >= kFtdiPacketData) due = Clock::now();
    if (Clock::now() < due) {
      adapterChanged_.wait_until(lock, stop, due,
                                 [this, ftdi] { return ftdi && held_.size() >= kFtdiPacketData; });
      continue;
    }
    const std::size_t n = std::min(held_.size(), ftdi ? kFtdiPacketData : kCdcFrameBytes);
    std::vector<std::uint8_t> packet(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
    // What is left waits from now: the chip starts its timer again, the next frame comes.
    heldSince_ = Clock::now();
    adapterChanged_.notify_all();
    lock.unlock();
    const bool written = WriteNow(packet);
    adapterReleased_.store(Clock::now().time_since_epoch().count());
    lock.lock();
    if (!written) held_.clear();  // the line is gone: the bytes with it
  }
}

bool PhoneLine::WriteNow(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(writeMutex_);
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (!read_.Valid()) return false;
    const ssize_t n = ::write(WriteFd(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    // The PC reads nothing for now: wait for room, a little at a time so that Drop() can go on.
    pollfd fd{WriteFd(), POLLOUT, 0};
    (void)::poll(&fd, 1, 10);
  }
  return true;
}

IoResult PhoneLine::WaitFor(int fd, short events, int timeoutMs) {
  if (interrupted_.load()) return IoResult::Interrupted;
  if (!read_.Valid()) return IoResult::Closed;
  pollfd fds[2] = {{fd, events, 0}, {wake_.Get(), POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, 2, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return IoResult::Closed;
    if (interrupted_.load() || (fds[1].revents & POLLIN) != 0) {
      if (interrupted_.load()) return IoResult::Interrupted;
      std::uint64_t count = 0;  // a stale wake-up from an interrupt already cleared
      (void)::read(wake_.Get(), &count, sizeof count);
      if (n == 1) continue;
    }
    if (n == 0) return IoResult::Timeout;
    if ((fds[0].revents & events) != 0) return IoResult::Ok;
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return IoResult::Closed;
  }
}

IoResult PhoneLine::Read(std::span<std::uint8_t> out,
                         std::optional<std::chrono::milliseconds> gap) {
  std::size_t done = 0;
  while (done < out.size()) {
    if (!read_.Valid()) return IoResult::Closed;
    std::size_t want = std::min(out.size() - done, kMaxReadPiece);
    ssize_t n = ::read(read_.Get(), out.data() + done, want);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      PaceRead(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return IoResult::Closed;  // end of a pipe
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return IoResult::Closed;
    IoResult waited = AwaitedPeer(WaitFor(read_.Get(), POLLIN, ToMs(gap)));
    if (waited != IoResult::Ok) return waited;
  }
  return IoResult::Ok;
}

IoResult PhoneLine::Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds gap) {
  if (!read_.Valid()) return IoResult::Closed;
  PaceWrite(bytes.size());
  if (adapterThread_.joinable()) return ToAdapter(bytes, gap);
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (!read_.Valid()) return IoResult::Closed;
    ssize_t n = ::write(WriteFd(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return IoResult::Closed;
    IoResult waited = WaitFor(WriteFd(), POLLOUT, ToMs(gap));
    if (waited != IoResult::Ok) return waited;
  }
  return IoResult::Ok;
}

void PhoneLine::Offer(std::span<const std::uint8_t> bytes) {
  if (!read_.Valid()) return;
  PaceWrite(bytes.size());
  if (adapterThread_.joinable()) {
    (void)ToAdapter(bytes, std::nullopt);
    return;
  }
  (void)::write(WriteFd(), bytes.data(), bytes.size());
}

IoResult PhoneLine::WaitInput(std::optional<std::chrono::milliseconds> timeout) {
  const IoResult waited = WaitFor(read_.Get(), POLLIN, ToMs(timeout));
  // A look at what is there already is no wait.
  return !timeout || timeout->count() > 0 ? AwaitedPeer(waited) : waited;
}

IoResult PhoneLine::AwaitedPeer(IoResult result) {
  rxAwaited_ = txAwaited_ = true;
  return result;
}

IoResult PhoneLine::Pause(std::chrono::milliseconds duration) {
  if (interrupted_.load()) return IoResult::Interrupted;
  pollfd fd{wake_.Get(), POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + duration;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return IoResult::Ok;
    int n = ::poll(&fd, 1, ToMs(left));
    if (interrupted_.load()) return IoResult::Interrupted;
    if (n > 0) {
      std::uint64_t count = 0;
      (void)::read(wake_.Get(), &count, sizeof count);
    }
  }
}

IoResult PhoneLine::DrainUntilQuiet(std::chrono::milliseconds quiet) {
  std::uint8_t sink[4096];
  for (;;) {
    IoResult waited = WaitInput(quiet);
    if (waited == IoResult::Timeout) return IoResult::Ok;
    if (waited != IoResult::Ok) return waited;
    ssize_t n = ::read(read_.Get(), sink, sizeof sink);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return IoResult::Closed;
  }
}

void PhoneLine::Interrupt() {
  interrupted_.store(true);
  std::uint64_t one = 1;
  (void)::write(wake_.Get(), &one, sizeof one);
}

void PhoneLine::ClearInterrupt() {
  interrupted_.store(false);
  std::uint64_t count = 0;
  (void)::read(wake_.Get(), &count, sizeof count);
}

void PhoneLine::Drop() {
  std::scoped_lock lock(writeMutex_, adapterMutex_);
  held_.clear();
  write_.Reset();
  read_.Reset();
  adapterChanged_.notify_all();
}

void PhoneLine::Replace(UniqueFd fd) {
  MakeNonBlocking(fd.Get());
  UniqueFd old;
  {
    std::scoped_lock lock(writeMutex_, adapterMutex_);
    held_.clear();
    write_.Reset();
    old = std::exchange(read_, std::move(fd));
  }
  adapterChanged_.notify_all();
}

std::chrono::steady_clock::duration PhoneLine::WireTime(std::size_t n) const {
  // Ten bit times per byte on an 8-N-1 line.
  auto rate = std::max<std::uint32_t>(rate_, 1);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::nanoseconds(static_cast<std::int64_t>(n) * 10 * 1'000'000'000 / rate));
}

namespace {

// A phone thread that wakes a little late from its own pacing sleep, or takes a moment for its
// work, has not left the line idle: a UART's FIFO goes on receiving and sending meanwhile (and
// the pseudo-terminal's own delivery is no line time either). Up to this much lateness is
// credited back; longer gaps are idle line and earn nothing, so a burst after a pause is still
// held to the line rate. The time an adapter model held the phone's bytes is never credited:
// the PC could not answer before it had them, and crediting that wait would hide what the
// adapter costs.
constexpr std::chrono::microseconds kLatenessCredit{2000};

}  // namespace

std::chrono::steady_clock::time_point PhoneLine::PaceFloor(bool awaited) const {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point credited = Clock::now() - kLatenessCredit;
  if (!awaited) return credited;
  return std::max(credited, Clock::time_point(Clock::duration(adapterReleased_.load())));
}

void PhoneLine::PaceRead(std::size_t n) {
  if (!pace_) return;
  // The bytes were consumed just now; they may not be worth more than their wire time.
  rxFree_ = std::max(rxFree_, PaceFloor(rxAwaited_)) + WireTime(n);
  rxAwaited_ = false;
  std::this_thread::sleep_until(rxFree_);
}

void PhoneLine::PaceWrite(std::size_t n) {
  if (!pace_) return;
  // The bytes leave only once the previous ones are on the wire and their own time has passed.
  txFree_ = std::max(txFree_, PaceFloor(txAwaited_)) + WireTime(n);
  txAwaited_ = false;
  std::this_thread::sleep_until(txFree_);
}

}  // namespace veska::sim
