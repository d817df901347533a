#pragma once

#include <string>
#include <string_view>

namespace veska::station {

// One key per device whatever the name that reaches it: links are followed, a device node is
// known by its device number (and a USB device also by its address on the bus, new each time it
// is plugged in) and any other file by its inode.
[[nodiscard]] std::string DeviceIdentity(const std::string& device);

// A run's claim on a port for a phone's whole service. The operations open and close the port
// themselves (START lets it go for the rate change and opens it again for the flash checks), so
// the device's own lock leaves gaps in which another run could take the port. The claim is an
// advisory lock on a file named after the device (in /run/lock, else the temporary folder), so
// the line the phone sees is the same as without it; it records who holds it, and ends with the
// process however that ends. A Windows COM port admits one program at a time by itself: there
// the claim always succeeds.
//
// Thread safety: one claim per port's thread.
class PortClaim {
 public:
  PortClaim() = default;
  ~PortClaim() { Release(); }
  PortClaim(const PortClaim&) = delete;
  PortClaim& operator=(const PortClaim&) = delete;

  // Claims the device whose identity is `identity` (the same for every name of one device),
  // noting `port` and this program. False, with Holder() naming the run that has it, when
  // another run holds it.
  [[nodiscard]] bool Take(const std::string& identity, std::string_view port);
  void Release();

  // Who holds the device when Take failed: "veska-cli, process 1234, as COM5", or why the
  // claim could not be made.
  [[nodiscard]] const std::string& Holder() const { return holder_; }

 private:
  int fd_ = -1;
  std::string holder_;
};

}  // namespace veska::station
