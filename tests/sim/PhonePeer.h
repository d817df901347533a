#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/PhoneCodes.h"
#include "sim/UniqueFd.h"
#include "sim/VirtualPhone.h"

namespace veska::sim::test {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The PC's end of the line, driven byte by byte from a test: raw reads and writes on the slave
// of the phone's pseudo-terminal, with nothing of the PC's own code in between.
class PhonePeer {
 public:
  explicit PhonePeer(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    termios tio{};
    if (fd_.Valid() && ::tcgetattr(fd_.Get(), &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(fd_.Get(), TCSANOW, &tio);
    }
  }
  [[nodiscard]] bool Valid() const { return fd_.Valid(); }

  bool Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_.Get(), bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Write(std::initializer_list<std::uint8_t> bytes) {
    return Write(std::span(bytes.begin(), bytes.size()));
  }

  // Exactly n bytes, or nullopt when the line stays quiet for `gap` or fails.
  std::optional<Bytes> Read(std::size_t n, std::chrono::milliseconds gap = 2000ms) {
    Bytes out(n);
    std::size_t done = 0;
    while (done < n) {
      pollfd p{fd_.Get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(gap.count())) <= 0 || (p.revents & POLLIN) == 0) {
        return std::nullopt;
      }
      ssize_t got = ::read(fd_.Get(), out.data() + done, n - done);
      if (got <= 0) return std::nullopt;
      done += static_cast<std::size_t>(got);
    }
    return out;
  }
  std::optional<std::uint8_t> ReadByte(std::chrono::milliseconds gap = 2000ms) {
    auto b = Read(1, gap);
    if (!b) return std::nullopt;
    return (*b)[0];
  }
  // Drops what the phone sent so far (the PC purges its queues when it opens the port).
  void Purge() { ::tcflush(fd_.Get(), TCIOFLUSH); }
  // True when nothing arrives within `quiet`.
  bool Quiet(std::chrono::milliseconds quiet) { return !ReadByte(quiet).has_value(); }

 private:
  UniqueFd fd_;
};

// A stand-in payload of the right size and header words, deterministic filler after them.
inline Bytes MakeLoader(const LoaderShape& shape) {
  Bytes bytes(shape.size);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::copy(std::begin(shape.word1), std::end(shape.word1), bytes.begin());
  bytes[4] = static_cast<std::uint8_t>(shape.count >> 24);
  bytes[5] = static_cast<std::uint8_t>(shape.count >> 16);
  bytes[6] = static_cast<std::uint8_t>(shape.count >> 8);
  bytes[7] = static_cast<std::uint8_t>(shape.count);
  return bytes;
}

inline Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) >> 1);
  return bytes;
}

inline std::uint8_t Sum(std::span<const std::uint8_t> bytes) {
  unsigned s = 0;
  for (auto b : bytes) s += b;
  return static_cast<std::uint8_t>(s);
}

inline Bytes Be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}
inline Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}
inline std::uint32_t GetLe32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}
inline std::uint32_t GetBe32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | std::uint32_t{b[at + 3]};
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline Bytes ShortFrame(std::uint8_t code) {
  return {code, 0, 0x34, 0x12, 0, 0, 0, 0};
}
inline Bytes Padded(std::uint8_t code) {
  Bytes b(16, 0);
  b[0] = code;
  return b;
}

// Reads bytes, skipping repeated boot signals still in flight, until another byte comes.
inline std::optional<std::uint8_t> ReadSkipping(PhonePeer& pc, std::uint8_t skipped) {
  for (int i = 0; i < 100; ++i) {
    auto byte = pc.ReadByte();
    if (!byte || *byte != skipped) return byte;
  }
  return std::nullopt;
}

// The bootloader download reads past whatever the boot ROM sent before its ready byte.
inline std::optional<std::uint8_t> ReadReady(PhonePeer& pc) {
  for (int i = 0; i < 100; ++i) {
    auto byte = pc.ReadByte();
    if (!byte || *byte == DRIVER_READY) return byte;
  }
  return std::nullopt;
}

inline void UploadLoaders(PhonePeer& pc, const LoaderShape& driver, std::uint8_t rateCode) {
  ASSERT_TRUE(pc.Write(MakeLoader(PRELOADER_STAGE1)));
  ASSERT_TRUE(pc.Write(MakeLoader(PRELOADER_STAGE2)));
  ASSERT_TRUE(pc.Write(MakeLoader(driver)));
  if (&driver == &BOOTLOADER_DRIVER) {
    ASSERT_EQ(ReadReady(pc), DRIVER_READY);
  } else {
    ASSERT_EQ(pc.ReadByte(), DRIVER_READY);
  }
  ASSERT_TRUE(pc.Write({rateCode}));
  ASSERT_EQ(pc.ReadByte(), RATE_REPLY);
}

// START's handshake and the loaders at `rateCode`, leaving the phone in its flash driver.
inline void ConnectUart(VirtualPhone& phone, PhonePeer& pc, std::uint8_t rateCode = RATE_460800) {
  pc.Purge();
  ASSERT_EQ(pc.ReadByte(), BOOT_SIGNAL);
  ASSERT_TRUE(pc.Write({START_AFTER_BOOT}));
  ASSERT_EQ(ReadSkipping(pc, BOOT_SIGNAL), START_AFTER_BOOT);
  UploadLoaders(pc, NAND_FLASH_DRIVER, rateCode);
  ASSERT_TRUE(phone.WaitForState(PhoneState::Driver, 2s));
}

inline PhoneOptions TestOptions(LinkDialect link) {
  PhoneOptions options;
  options.link = link;
  options.peerTimeout = 500ms;
  return options;
}

inline std::optional<Event> LastOf(const std::vector<Event>& events, EventKind kind) {
  for (auto it = events.rbegin(); it != events.rend(); ++it) {
    if (it->kind == kind) return *it;
  }
  return std::nullopt;
}

// What the phone last found wrong in what the PC sent, or nothing.
inline std::string LastViolation(const VirtualPhone& phone) {
  auto v = LastOf(phone.Events(), EventKind::Violation);
  return v ? v->detail : "";
}

}  // namespace veska::sim::test
