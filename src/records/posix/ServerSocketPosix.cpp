#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "records/ServerSocket.h"

namespace veska::records {

// An eventfd that Wake() writes to and that is never read again: once woken, every wait ends.
struct SocketWait::State {
  State() : wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~State() {
    if (wake >= 0) ::close(wake);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  int wake;
};

SocketWait::SocketWait() : state_(std::make_unique<State>()) {}
SocketWait::~SocketWait() = default;

void SocketWait::Wake() {
  const std::uint64_t one = 1;
  if (state_->wake >= 0) (void)!::write(state_->wake, &one, sizeof one);
}

WaitEnd SocketWait::Wait(int socket, unsigned events, int milliseconds) {
  const short wanted = static_cast<short>(((events & kSocketReadable) != 0 ? POLLIN : 0) |
                                          ((events & kSocketWritable) != 0 ? POLLOUT : 0));
  pollfd fds[2] = {{socket, wanted, 0}, {state_->wake, POLLIN, 0}};
  const int ready = ::poll(fds, state_->wake >= 0 ? 2 : 1, milliseconds);
  if (ready < 0) return errno == EINTR ? WaitEnd::Quiet : WaitEnd::Failed;
  if (ready > 0 && fds[1].revents != 0) return WaitEnd::Woken;
  if (ready > 0 && fds[0].revents != 0) return WaitEnd::Ready;
  return WaitEnd::Quiet;
}

std::string CurrentUserName() {
  const passwd* user = ::getpwuid(::geteuid());
  return user != nullptr ? user->pw_name : std::string();
}

std::vector<std::string> NumericAddresses(const std::string& host) {
  std::vector<std::string> found;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return found;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    char text[NI_MAXHOST];
    if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
        0) {
      found.emplace_back(text);
    }
  }
  ::freeaddrinfo(list);
  return found;
}

}  // namespace veska::records
