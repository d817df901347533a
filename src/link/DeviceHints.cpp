#include "link/DeviceHints.h"

#include <fstream>
#include <system_error>

namespace veska::link {

bool ModemManagerRunning(const std::filesystem::path& proc) {
#if defined(__linux__)
  std::error_code error;
  for (std::filesystem::directory_iterator it(proc, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream comm(it->path() / "comm");
    std::string command;
    if (std::getline(comm, command) && command == "ModemManager") return true;
  }
#else
  (void)proc;
#endif
  return false;
}

bool IsUsbCdcAcm(const std::string& device, const std::filesystem::path& sysTty) {
#if defined(__linux__)
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(device, error);
  if (error) return false;
  const std::filesystem::path driver =
      std::filesystem::read_symlink(sysTty / resolved.filename() / "device" / "driver", error);
  return !error && driver.filename() == "cdc_acm";
#else
  (void)device;
  (void)sysTty;
  return false;
#endif
}

std::string ModemManagerHint(const std::string& portName, bool modemManagerRunning, bool cdcAcm) {
  if (!modemManagerRunning || !cdcAcm) return {};
  return "ModemManager is running and may probe " + portName +
         " (a USB CDC-ACM device) while the phone waits for its handshake: 'veska-cli udev-rule " +
         portName + "' prints a rule that keeps it away";
}

}  // namespace veska::link
