#pragma once

// What the PostgreSQL store needs of the operating system: a wait on libpq's socket that
// another thread can end at once, the user's name, and the addresses a host name stands for.
// One implementation per platform (posix/, win32/).

#include <memory>
#include <string>
#include <vector>

namespace veska::records {

inline constexpr unsigned kSocketReadable = 1;
inline constexpr unsigned kSocketWritable = 2;

enum class WaitEnd {
  Ready,   // the socket is ready (or failed: libpq finds out which)
  Quiet,   // the time passed, or a signal came: the caller looks at its deadline again
  Woken,   // Wake() was called
  Failed,  // the wait itself could not be made
};

class SocketWait {
 public:
  SocketWait();
  ~SocketWait();
  SocketWait(const SocketWait&) = delete;
  SocketWait& operator=(const SocketWait&) = delete;

  // From any thread: the wait under way and every later one end as Woken.
  void Wake();

  // Waits up to `milliseconds` for libpq's socket (PQsocket) to be ready for `events`.
  WaitEnd Wait(int socket, unsigned events, int milliseconds);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The name the user running the program logs in with; empty when the system does not say.
std::string CurrentUserName();

// The numeric addresses `host` resolves to; empty when it does not resolve.
std::vector<std::string> NumericAddresses(const std::string& host);

}  // namespace veska::records
