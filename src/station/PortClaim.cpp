#include "station/PortClaim.h"

#include <sys/stat.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace veska::station {

#if !defined(_WIN32)
namespace {

// A USB device's address on its bus: a new one each time it is plugged in, even where its node
// comes back under the same name and number (ttyACM0 again). Empty for any other device.
std::string UsbAddress(dev_t device) {
  std::error_code error;
  std::filesystem::path dir =
      std::filesystem::canonical("/sys/dev/char/" + std::to_string(major(device)) + ":" +
                                     std::to_string(minor(device)) + "/device",
                                 error);
  for (int up = 0; !error && up < 4 && dir.has_relative_path(); ++up, dir = dir.parent_path()) {
    std::ifstream bus(dir / "busnum");
    std::ifstream address(dir / "devnum");
    unsigned busNumber = 0;
    unsigned deviceNumber = 0;
    if (bus >> busNumber && address >> deviceNumber) {
      return " usb " + std::to_string(busNumber) + "." + std::to_string(deviceNumber);
    }
  }
  return {};
}

}  // namespace
#endif

std::string DeviceIdentity(const std::string& device) {
#if !defined(_WIN32)
  struct stat info {};
  if (::stat(device.c_str(), &info) == 0) {
    if (S_ISCHR(info.st_mode)) {
      return "device " + std::to_string(info.st_rdev) + UsbAddress(info.st_rdev);
    }
    return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
#endif
  std::error_code error;
  const std::filesystem::path path = std::filesystem::weakly_canonical(device, error);
  return "path " + (error ? device : path.string());
}

#if defined(_WIN32)

bool PortClaim::Take(const std::string&, std::string_view) {
  return true;
}

void PortClaim::Release() {}

#else

namespace {

// The claim file's name: a digest of the device's identity (FNV-1a), as the identity may hold
// any characters.
std::filesystem::path ClaimFile(const std::string& identity) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : identity) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  char name[48];
  std::snprintf(name, sizeof name, "veska-port-%016llx.lock",
                static_cast<unsigned long long>(hash));
  std::error_code error;
  std::filesystem::path folder = "/run/lock";
  if (::access(folder.c_str(), W_OK) != 0) folder = std::filesystem::temp_directory_path(error);
  return folder / name;
}

std::string ProgramName() {
  std::string name;
  std::getline(std::ifstream("/proc/self/comm"), name);
  return name.empty() ? std::string("veska-cli") : name;
}

}  // namespace

bool PortClaim::Take(const std::string& identity, std::string_view port) {
  Release();
  holder_.clear();
  const std::filesystem::path file = ClaimFile(identity);
  // Every user's runs must see each other's claims: the file is left readable and writable by
  // all (the lock, not the file, is the claim), and a file another user made is locked read-only.
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd >= 0) (void)::fchmod(fd, 0666);
  if (fd < 0) fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    // No place for claims: the device's own lock still guards each open.
    return true;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    std::string text;
    std::getline(std::ifstream(file), text);
    ::close(fd);
    // The file is anyone's to write: what it says is shown only as plain text.
    for (char& c : text) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    holder_ = error == EWOULDBLOCK ? (text.empty() ? "another run" : text.substr(0, 200))
                                   : std::strerror(error);
    return false;
  }
  const std::string text =
      ProgramName() + ", process " + std::to_string(::getpid()) + ", as " + std::string(port);
  if (::ftruncate(fd, 0) == 0) (void)::pwrite(fd, text.data(), text.size(), 0);
  fd_ = fd;
  return true;
}

void PortClaim::Release() {
  if (fd_ < 0) return;
  ::close(fd_);  // the lock ends with it
  fd_ = -1;
}

#endif

}  // namespace veska::station
