#include "station/SlotService.h"

#include <filesystem>
#include <functional>

#include "link/UsbLocation.h"
#include "station/ExitStatus.h"
#include "station/PortClaim.h"

namespace veska::station {

namespace {

// A slot whose device is gone sleeps until the serial devices change (link::DeviceWatch), and
// looks at least this often all the same, for a device that no watch announces.
constexpr std::chrono::milliseconds kLongestDeviceWait{2000};
// How long a slot rests after a try whose port would not open although its device is there (in
// use, no permission).
constexpr std::chrono::milliseconds kPortRetryPause{2000};

// Sleeps until the devices change and `ready` holds; false when the stop ended the wait.
bool AwaitChange(SlotHost& host, const std::function<bool()>& ready) {
  link::DeviceWatch& watch = host.Watch();
  while (!host.Stopping() && watch.Wait(kLongestDeviceWait) != link::DeviceWatch::Wake::Cancelled) {
    if (ready()) return true;
  }
  return false;
}

// While the slot's device is not there no phone can answer on it; the slot waits for it to
// appear. False when the stop ended the wait.
bool AwaitDevice(SlotHost& host, const SlotLoop& loop) {
  const auto present = [&] { return PresentAt(loop.where, host.Device()); };
  if (present()) return true;
  host.Say("veska-cli: " + loop.where + " is not there; waiting for it to appear");
  host.Waiting("waiting for the port");
  if (AwaitChange(host, present)) {
    host.Waiting();
    return true;
  }
  host.WaitStopped();
  return false;
}

// On the USB link the phone's own USB port is the device, there as long as the phone is plugged
// in. A phone still plugged in after its pass would answer the next START and be written again,
// so the slot waits for that device to go and a new one to come (the same node with another
// identity is a new device: it went and came back). False when the stop ended the wait.
bool AwaitNextDevice(SlotHost& host, const SlotLoop& loop, std::string served) {
  const auto fresh = [&] {
    const std::string device = host.Device();
    if (!PresentAt(loop.where, device)) {
      served.clear();  // gone: whatever comes next is a new device
      return false;
    }
    return served.empty() || DeviceIdentity(device) != served;
  };
  if (fresh()) return true;
  if (!served.empty()) {
    host.Say("veska-cli: " + loop.where +
             " still holds the phone just served; waiting for it to go and the next one to "
             "come");
  }
  host.Waiting("waiting for the next phone");
  if (AwaitChange(host, fresh)) {
    host.Waiting();
    return true;
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

std::string DeviceNow(const std::string& place, const std::string& device) {
  if (!link::UsbPlaceOf(place)) return device;
  const std::string present = link::DeviceAtPlace(place);
  return present.empty() ? place : present;
}

bool PresentAt(const std::string& place, const std::string& device) {
  return link::UsbPlaceOf(place) ? device != place : DevicePresent(device);
}

int ServeSlot(SlotHost& host, const SlotLoop& loop) {
  int worst = EXIT_OK;
  bool claimRefused = false;  // said once until the port is this bench's again
  for (int pass = 1; !host.Stopping(); ++pass) {
    if (loop.repeat && !AwaitDevice(host, loop)) break;
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
        if (!AwaitNextDevice(host, loop, identity)) break;
      } else if (end == PassEnd::PortUnavailable && PresentAt(loop.where, host.Device()) &&
                 !host.Rest(kPortRetryPause)) {
        break;
      }
      continue;
    }
    worst = WorstExitStatus({worst, phone.exitStatus});
    if (!host.Served(phone) || !loop.repeat || host.Stopping()) break;
    if (loop.usb && !AwaitNextDevice(host, loop, identity)) break;
  }
  return worst;
}

}  // namespace veska::station
