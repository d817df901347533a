// Whether a chosen image file can be opened for reading.
#include <string>

#include "app/DownloaderDlg.h"
#include "link/FilePath.h"

#if defined(_WIN32)
#include <cstdio>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veska::app {

#if defined(_WIN32)

bool ImageFileOpens(const std::string& path) {
  // The C library opens with sharing for readers and writers, as the check wants.
  std::FILE* file = link::OpenFile(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

#else

bool ImageFileOpens(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  // A folder or a device opens on Linux but is no image file.
  bool opens = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  // Another program that holds the file under an exclusive lock keeps it for itself.
  if (opens && ::flock(fd, LOCK_SH | LOCK_NB) != 0) opens = false;
  ::close(fd);
  return opens;
}

#endif

}  // namespace veska::app
