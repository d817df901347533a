#include "link/posix/Termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace veska::link::posix {

int SetCustomRate(int fd, unsigned rate) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  tio.c_cflag |= BOTHER;
  tio.c_ispeed = rate;
  tio.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
  return 0;
}

}  // namespace veska::link::posix
