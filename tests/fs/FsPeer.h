#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "link/PtyPair.h"

namespace veska::fs::testing {

// A phone-side file-system service played on the master side of a pseudo-terminal, written
// from the wire tables alone (no code of the PC side): it reads each command in the link's
// form, takes its argument bytes, answers as a healthy phone would and records what it got.
// A test replaces the answer to a command by setting `replies[code]`.
class FsPeer {
 public:
  struct Command {
    std::uint8_t code = 0;
    std::vector<std::uint8_t> args;
  };

  FsPeer(const PtyPair& pty, bool usb) : pty_(pty), usb_(usb) {}
  ~FsPeer() { Stop(); }

  void Start() {
    thread_ = std::jthread([this](std::stop_token stop) { Serve(stop); });
  }
  void Stop() {
    if (thread_.joinable()) {
      thread_.request_stop();
      thread_.join();
    }
  }

  std::vector<Command> Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  std::vector<std::uint8_t> Codes() const {
    std::vector<std::uint8_t> codes;
    for (const Command& c : Commands()) codes.push_back(c.code);
    return codes;
  }
  // Every byte the PC sent, command forms included.
  std::vector<std::uint8_t> Raw() const {
    std::lock_guard lock(mutex_);
    return raw_;
  }

  // Answers that replace the healthy one, by command code (an empty vector: stay silent).
  std::map<std::uint8_t, std::vector<std::uint8_t>> replies;
  // Answers for the TFS_ADD_DATA commands by their index in the session.
  std::map<std::size_t, std::vector<std::uint8_t>> chunkReplies;
  // Called on the peer's thread with a command's code just before the peer answers it.
  std::function<void(std::uint8_t)> beforeReply;

 private:
  static std::uint8_t Sum(const std::vector<std::uint8_t>& bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    return static_cast<std::uint8_t>(sum);
  }

  bool Read(std::stop_token& stop, std::size_t count, std::vector<std::uint8_t>& out) {
    out.clear();
    std::uint8_t chunk[8192];
    while (out.size() < count) {
      if (stop.stop_requested()) {
        // The PC's last bytes may still be on their way through the pty when the test stops the
        // peer: they are kept, so that Raw() holds everything the PC sent.
        Drain(out);
        return false;
      }
      pollfd p{pty_.Master(), POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = read(pty_.Master(), chunk, std::min(sizeof chunk, count - out.size()));
      if (n <= 0) return false;
      out.insert(out.end(), chunk, chunk + n);
    }
    std::lock_guard lock(mutex_);
    raw_.insert(raw_.end(), out.begin(), out.end());
    return true;
  }

  void Drain(std::vector<std::uint8_t>& out) {
    std::uint8_t chunk[8192];
    for (;;) {
      pollfd p{pty_.Master(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) break;
      const ssize_t n = read(pty_.Master(), chunk, sizeof chunk);
      if (n <= 0) break;
      out.insert(out.end(), chunk, chunk + n);
    }
    std::lock_guard lock(mutex_);
    raw_.insert(raw_.end(), out.begin(), out.end());
  }

  void Reply(std::uint8_t code, std::vector<std::uint8_t> healthy) {
    if (beforeReply) beforeReply(code);
    const auto it = replies.find(code);
    pty_.Send(it != replies.end() ? it->second : healthy);
  }

  void Record(std::uint8_t code, std::vector<std::uint8_t> args) {
    std::lock_guard lock(mutex_);
    commands_.push_back({code, std::move(args)});
  }

  void Serve(std::stop_token stop) {
    std::vector<std::uint8_t> in;
    if (usb_) {
      if (!Read(stop, 16, in)) return;
      Record(in[0], {});
    }
    std::uint32_t remaining = 0;
    std::size_t chunkIndex = 0;
    for (;;) {
      if (!Read(stop, usb_ ? 8 : 1, in)) return;
      const std::uint8_t code = in[0];
      std::vector<std::uint8_t> args;
      std::vector<std::uint8_t> more;
      switch (code) {
        case 0xC4:  // time record
          if (!Read(stop, 24, args)) return;
          Record(code, args);
          Reply(code, {Sum(args)});
          break;
        case 0xDB:    // directory: length, name
        case 0xDD: {  // file: length, name, size
          if (!Read(stop, 2, args)) return;
          const std::size_t n = (std::size_t{args[0]} << 8) | args[1];
          if (!Read(stop, n + (code == 0xDD ? 4 : 0), more)) return;
          args.insert(args.end(), more.begin(), more.end());
          Record(code, args);
          if (code == 0xDB) {
            Reply(code, {Sum(args), 0xDC});
          } else {
            const std::size_t s = args.size() - 4;
            remaining = (std::uint32_t{args[s]} << 24) | (std::uint32_t{args[s + 1]} << 16) |
                        (std::uint32_t{args[s + 2]} << 8) | args[s + 3];
            Reply(code, {Sum(args)});
          }
          break;
        }
        case 0xE3:  // version field
        case 0xF5:  // release field
          if (!Read(stop, code == 0xE3 ? 16 : 12, args)) return;
          Record(code, args);
          Reply(code, {0xE3});
          break;
        case 0xF6:
          Record(code, {});
          Reply(code, {0xE3});
          break;
        case 0xFE: {  // a chunk: full ones are echoed, the last is confirmed as written
          const std::uint32_t length = std::min<std::uint32_t>(8192, remaining);
          if (length > 0 && !Read(stop, length, args)) return;
          remaining -= length;
          Record(code, args);
          const auto it = chunkReplies.find(chunkIndex++);
          if (it != chunkReplies.end()) {
            pty_.Send(it->second);
          } else {
            Reply(code, length == 8192 ? std::vector<std::uint8_t>{Sum(args)}
                                       : std::vector<std::uint8_t>{0xDF});
          }
          break;
        }
        case 0xE0:
          Record(code, {});
          Reply(code, {0xE1});
          break;
        default:  // mount, checksum, completion, unmount: the code echoed
          Record(code, {});
          Reply(code, {code});
          break;
      }
    }
  }

  const PtyPair& pty_;
  bool usb_;
  mutable std::mutex mutex_;
  std::vector<Command> commands_;
  std::vector<std::uint8_t> raw_;
  std::jthread thread_;
};

}  // namespace veska::fs::testing
