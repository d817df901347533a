#include "station/UsbIdentity.h"

#include <filesystem>
#include <memory>

#include "link/AdapterLatency.h"

#if defined(VESKA_HAVE_LIBSERIALPORT) && !defined(_WIN32)
#include <libserialport.h>
#endif

namespace veska::station {

#if defined(VESKA_HAVE_LIBSERIALPORT) && !defined(_WIN32)
namespace {

// A udev symlink names the same device as its target.
std::string Resolved(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::canonical(path, ec);
  return ec ? path : canonical.string();
}

std::string Text(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

}  // namespace
#endif

std::optional<UsbIdentity> UsbIdentityOf(const std::string& device) {
#if defined(VESKA_HAVE_LIBSERIALPORT) && !defined(_WIN32)
  sp_port* port = nullptr;
  if (sp_get_port_by_name(Resolved(device).c_str(), &port) != SP_OK) return std::nullopt;
  const std::unique_ptr<sp_port, void (*)(sp_port*)> owned(port, sp_free_port);
  if (sp_get_port_transport(port) != SP_TRANSPORT_USB) return std::nullopt;
  UsbIdentity usb;
  if (sp_get_port_usb_vid_pid(port, &usb.vendor, &usb.product) != SP_OK) return std::nullopt;
  const std::string maker = Text(sp_get_port_usb_manufacturer(port));
  const std::string product = Text(sp_get_port_usb_product(port));
  usb.description = maker + (maker.empty() || product.empty() ? "" : " ") + product;
  usb.serial = Text(sp_get_port_usb_serial(port));
  static const link::AdapterLatency kSystem;
  usb.latencyTimer = link::LatencyTimerMs(device, device, kSystem).has_value();
  return usb;
#else
  (void)device;
  return std::nullopt;
#endif
}

}  // namespace veska::station
