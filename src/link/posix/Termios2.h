#pragma once

namespace veska::link::posix {

// Sets a rate that the classic termios speed table does not have (812000 bit/s) through the
// Linux termios2 interface. Kept in its own translation unit because the kernel's termios
// header clashes with the C library's. Returns 0 or an errno value.
int SetCustomRate(int fd, unsigned rate);

}  // namespace veska::link::posix
