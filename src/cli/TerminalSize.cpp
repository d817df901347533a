// Kept apart: <windows.h> defines IDYES and friends as macros, which the dialog layer's names
// would collide with.
#include "cli/TerminalSize.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace veska::cli {

int TerminalColumns(std::FILE* file) {
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (GetConsoleScreenBufferInfo(handle, &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
#else
  winsize size{};
  if (::ioctl(::fileno(file), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

}  // namespace veska::cli
