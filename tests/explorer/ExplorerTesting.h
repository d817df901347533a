#pragma once

// What the Explorer's tests share: the phone's side of the line on a pseudo-terminal, the
// requests as the phone reads them, and the PC files they add and copy.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/ProcessState.h"
#include "explorer/ExplorerSession.h"
#include "link/PtyPair.h"

namespace veska::explorer::testing {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 13 + seed);
  return data;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// `length` bytes of `data` from `from`, or as many as it has.
inline Bytes Slice(const Bytes& data, std::size_t from, std::size_t length) {
  const auto begin = data.begin() + static_cast<std::ptrdiff_t>(from);
  return Bytes(begin, begin + static_cast<std::ptrdiff_t>(std::min(length, data.size() - from)));
}

inline Bytes Text(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

inline Bytes Be32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// A name request as the phone reads it: code, length (big-endian, counting the zero), name, 0.
inline Bytes NameRequest(std::uint8_t code, std::string_view path) {
  const std::size_t n = path.size() + 1;
  return Concat(
      {{code, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)}, Text(path), {0}});
}

inline std::filesystem::path WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

inline Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A folder of the test's own, gone with it.
class TestFolder {
 public:
  TestFolder() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');  // a parameterised case's name
    path_ = std::filesystem::temp_directory_path() /
            ("veska-explorer-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TestFolder() { std::filesystem::remove_all(path_); }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The process may write files of at most `bytes` while it lives (a disk that fills up): a write
// beyond fails instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    handler_ = std::signal(SIGXFSZ, SIG_IGN);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*handler_)(int) = nullptr;
};

// The session's shared port record on a pseudo-terminal whose master side the test plays as
// the phone, byte for byte, while the Explorer's exchange runs on a thread of its own.
class PtyPhoneTest : public ::testing::Test {
 protected:
  struct Entry {
    std::uint8_t type;
    std::string name;
  };

  PtyPhoneTest() {
    state_.sharedPort = std::make_unique<link::SerialPort>(state_.link);
    link::SerialPort& port = *state_.sharedPort;
    port.portName = pty_.SlavePath();
    port.baudCode = 0x8B;
    port.readTotalTimeout = 50ms;
    port.openRetryDelay = 1ms;
    state_.link.replyTimeout = 400ms;
    state_.link.linkMode = link::LINK_UART;
  }

  void Expect(const Bytes& bytes) { EXPECT_EQ(pty_.Receive(bytes.size(), 2s), bytes); }
  void ExpectNothing() { EXPECT_EQ(pty_.Receive(1, 150ms), Bytes{}); }
  void Phone(const Bytes& bytes) { pty_.Send(bytes); }

  // The phone's side of a listing: each entry, its echo awaited, then next or end.
  void ServeListing(const std::vector<Entry>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      Phone(Concat({{static_cast<std::uint8_t>(e.name.size() + 1), e.type}, Text(e.name), {0}}));
      Expect({e.type});
      Phone({i + 1 < entries.size() ? TFS_DIR_NEXT : TFS_DIR_END});
    }
  }
  // The mount and the root listing with `entries`, once Start was asked for.
  void ServeMount(const std::vector<Entry>& entries) {
    Expect({0xDA});
    Phone({0xDA});
    Expect({0xE5, 0x01, '/'});
    ServeListing(entries);
  }

  TestFolder folder_;
  PtyPair pty_;
  app::ProcessState state_;
};

}  // namespace veska::explorer::testing
