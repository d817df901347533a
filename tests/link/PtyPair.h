#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal whose slave the port under test opens and whose master plays the phone.
class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    slave_ = ptsname(master_);
    // Raw line from the start, so that nothing the peer sends is echoed back to it.
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
    // Held open so the master never sees a hang-up between the port's opens.
    holder_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~PtyPair() {
    if (holder_ >= 0) close(holder_);
    if (master_ >= 0) close(master_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  [[nodiscard]] const std::string& SlavePath() const { return slave_; }
  [[nodiscard]] int Master() const { return master_; }

  void Send(const std::vector<std::uint8_t>& bytes) const {
    std::size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + off, bytes.size() - off);
      if (n > 0) off += static_cast<std::size_t>(n);
      if (n < 0) return;
    }
  }

  // Bytes sent to the port that nobody on the slave side has read yet.
  [[nodiscard]] std::size_t UnreadBySlave() const {
    int count = 0;
    return ioctl(holder_, FIONREAD, &count) == 0 ? static_cast<std::size_t>(count) : 0;
  }

  // Reads what the port sent, until `count` bytes have arrived or nothing comes for `quiet`.
  std::vector<std::uint8_t> Receive(
      std::size_t count, std::chrono::milliseconds quiet = std::chrono::milliseconds(500)) const {
    std::vector<std::uint8_t> got;
    std::uint8_t chunk[4096];
    while (got.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
      const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  int holder_ = -1;
  std::string slave_;
};
