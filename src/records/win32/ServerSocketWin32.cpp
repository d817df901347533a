#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <windows.h>

#include "records/ServerSocket.h"

namespace veska::records {

namespace {

// Winsock is counted: each user starts it and ends its own start.
class WinsockUse {
 public:
  WinsockUse() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockUse() {
    if (started_) ::WSACleanup();
  }
  WinsockUse(const WinsockUse&) = delete;
  WinsockUse& operator=(const WinsockUse&) = delete;

 private:
  bool started_ = false;
};

}  // namespace

// A UDP socket connected to itself on the loopback address: Wake() sends it a byte, which
// select() then finds to read beside libpq's socket. The byte is never read: once woken, every
// wait ends.
struct SocketWait::State {
  State() {
    wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (wake == INVALID_SOCKET) return;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof self;
    if (::bind(wake, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(wake, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        ::connect(wake, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
      ::closesocket(wake);
      wake = INVALID_SOCKET;
    }
  }
  ~State() {
    if (wake != INVALID_SOCKET) ::closesocket(wake);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  WinsockUse winsock;  // first in, last out: the socket needs it
  SOCKET wake = INVALID_SOCKET;
};

SocketWait::SocketWait() : state_(std::make_unique<State>()) {}
SocketWait::~SocketWait() = default;

void SocketWait::Wake() {
  const char one = 1;
  if (state_->wake != INVALID_SOCKET) (void)::send(state_->wake, &one, 1, 0);
}

WaitEnd SocketWait::Wait(int socket, unsigned events, int milliseconds) {
  // libpq's socket is a SOCKET handed out as an int. A failed connection shows as an
  // exception, not as writable, on Windows.
  const auto server = static_cast<SOCKET>(socket);
  fd_set read;
  fd_set write;
  fd_set error;
  FD_ZERO(&read);
  FD_ZERO(&write);
  FD_ZERO(&error);
  if ((events & kSocketReadable) != 0) FD_SET(server, &read);
  if ((events & kSocketWritable) != 0) FD_SET(server, &write);
  FD_SET(server, &error);
  if (state_->wake != INVALID_SOCKET) FD_SET(state_->wake, &read);
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int ready = ::select(0, &read, &write, &error, &timeout);
  if (ready == SOCKET_ERROR) return WaitEnd::Failed;
  if (state_->wake != INVALID_SOCKET && FD_ISSET(state_->wake, &read)) return WaitEnd::Woken;
  if (FD_ISSET(server, &read) || FD_ISSET(server, &write) || FD_ISSET(server, &error)) {
    return WaitEnd::Ready;
  }
  return WaitEnd::Quiet;
}

// As libpq itself takes the default user name.
std::string CurrentUserName() {
  char name[256 + 1];
  DWORD size = sizeof name;
  if (::GetUserNameA(name, &size) == 0 || size == 0) return {};
  return std::string(name, size - 1);
}

std::vector<std::string> NumericAddresses(const std::string& host) {
  const WinsockUse winsock;
  std::vector<std::string> found;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return found;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    char text[NI_MAXHOST];
    if (::getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text, nullptr,
                      0, NI_NUMERICHOST) == 0) {
      found.emplace_back(text);
    }
  }
  ::freeaddrinfo(list);
  return found;
}

}  // namespace veska::records
