#include "station/SlotService.h"

#include <filesystem>

#include "station/ExitStatus.h"
#include "station/PortClaim.h"

namespace veska::station {

namespace {

// How often a slot whose device is gone looks for it, and how long it rests after a try whose
// port would not open although its device is there (in use, no permission).
constexpr std::chrono::milliseconds kDeviceCheckInterval{250};
constexpr std::chrono::milliseconds kPortRetryPause{2000};

// While the slot's device is not there no phone can answer on it; the slot looks for it a few
// times a second. False when the stop ended the wait.
bool AwaitDevice(SlotHost& host) {
  if (DevicePresent(host.Device())) return true;
  host.Say("veska-cli: " + host.Device() + " is not there; waiting for it to appear");
  host.Waiting("waiting for the port");
  while (host.Rest(kDeviceCheckInterval)) {
    if (DevicePresent(host.Device())) {
      host.Waiting();
      return true;
    }
  }
  host.WaitStopped();
  return false;
}

// On the USB link the phone's own USB port is the device, there as long as the phone is plugged
// in. A phone still plugged in after its pass would answer the next START and be written again,
// so the slot waits for that device to go and a new one to come (the same node with another
// identity is a new device: it went and came back). False when the stop ended the wait.
bool AwaitNextDevice(SlotHost& host, std::string served) {
  const auto fresh = [&] {
    const std::string device = host.Device();
    if (!DevicePresent(device)) {
      served.clear();  // gone: whatever comes next is a new device
      return false;
    }
    return served.empty() || DeviceIdentity(device) != served;
  };
  if (fresh()) return true;
  if (!served.empty()) {
    host.Say("veska-cli: " + host.Device() +
             " still holds the phone just served; waiting for it to go and the next one to "
             "come");
  }
  host.Waiting("waiting for the next phone");
  while (host.Rest(kDeviceCheckInterval)) {
    if (fresh()) {
      host.Waiting();
      return true;
    }
  }
  host.WaitStopped();
  return false;
}

}  // namespace

bool DevicePresent(const std::string& device) {
#if defined(_WIN32)
  (void)device;
  return true;
#else
  std::error_code error;
  return !device.empty() && std::filesystem::exists(device, error);
#endif
}

int ServeSlot(SlotHost& host, const SlotLoop& loop) {
  int worst = EXIT_OK;
  bool claimRefused = false;  // said once until the port is this bench's again
  for (int pass = 1; !host.Stopping(); ++pass) {
    if (loop.repeat && !AwaitDevice(host)) break;
    host.PassBegins();
    const std::string device = host.Device();
    // What the device is as this pass begins: on USB a phone's device is the phone itself.
    const std::string identity = DeviceIdentity(device);
    // The port is this bench's for the phone's whole service, gaps between operations included.
    PortClaim claim;
    if (!claim.Take(identity, loop.place)) {
      if (!claimRefused) {
        host.Say("veska-cli: " + loop.place + " is in use by another run (" + claim.Holder() + ")");
      }
      claimRefused = true;
      if (!loop.repeat) {
        worst = EXIT_PORT_UNAVAILABLE;
        break;
      }
      --pass;
      if (!host.Rest(kPortRetryPause)) break;
      continue;
    }
    claimRefused = false;
    PhoneRecord phone;
    const PassEnd end = host.ServePhone(pass, device, phone);
    claim.Release();
    if (end != PassEnd::Phone) {
      // No phone answered; wait again (for the device, if it went).
      --pass;
      if (end == PassEnd::PortUnavailable && loop.usb) {
        // The device hung up before its phone answered (a phone going down as the pass began):
        // the next one is a new device.
        if (!AwaitNextDevice(host, identity)) break;
      } else if (end == PassEnd::PortUnavailable && DevicePresent(device) &&
                 !host.Rest(kPortRetryPause)) {
        break;
      }
      continue;
    }
    worst = WorstExitStatus({worst, phone.exitStatus});
    if (!host.Served(phone) || !loop.repeat || host.Stopping()) break;
    if (loop.usb && !AwaitNextDevice(host, identity)) break;
  }
  return worst;
}

}  // namespace veska::station
