#include "cli/PortSteps.h"

#include <optional>
#include <vector>

#include "cli/PortList.h"
#include "link/PortNames.h"
#include "link/SerialPort.h"
#include "link/UsbLocation.h"

namespace veska::cli {

using namespace veska::station;

bool ListPortsStep(const link::LinkState& state, std::FILE* out, std::FILE* err, bool json) {
  if (!CanListPorts()) {
    std::fprintf(err,
                 "veska-cli: this build cannot list serial devices (built without "
                 "libserialport)\n");
    return false;
  }
  const std::vector<PortEntry> ports = ListPorts(state);
  if (ports.empty()) std::fprintf(err, "veska-cli: no serial device found\n");
  const std::string text = json ? PortsJson(ports) + "\n" : FormatPorts(ports);
  std::fflush(out);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
  return true;
}

bool UdevRuleStep(const std::string& port, const link::LinkState& state, std::FILE* out,
                  std::FILE* err) {
#if defined(_WIN32)
  (void)state;
  (void)out;
  std::fprintf(err, "veska-cli: udev rules are for Linux; %s needs none here\n", port.c_str());
  return false;
#else
  // A COMn and a hub's port stand for a device; a path is one.
  const bool comName = link::ParseComName(port) != 0 || link::UsbPlaceOf(port);
  const std::string device = comName ? link::DevicePathFor(port, state) : port;
  const std::string where = comName && device != port ? port + " (" + device + ")" : device;
  const std::optional<UsbIdentity> usb = UsbIdentityOf(device);
  if (!usb) {
    std::fprintf(err,
                 "veska-cli: %s is no USB device present now (the phone's own USB port exists "
                 "only while it is switched on in download mode)\n",
                 where.c_str());
    return false;
  }
  const std::string rule = UdevRule(*usb, comName ? port : device, device);
  std::fflush(out);
  std::fwrite(rule.data(), 1, rule.size(), out);
  std::fflush(out);
  std::fprintf(err,
               "To install it:\n"
               "  veska-cli udev-rule %s | sudo tee /etc/udev/rules.d/70-veska-downloader.rules\n"
               "  sudo udevadm control --reload-rules && sudo udevadm trigger\n"
               "then plug the device in again.\n",
               port.c_str());
  return true;
#endif
}

}  // namespace veska::cli
