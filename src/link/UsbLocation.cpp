#include "link/UsbLocation.h"

#include <cstddef>

#include "link/AsciiCase.h"

namespace veska::link {

namespace {

// USB allows at most five hubs between the root hub and a device, and a hub has at most 255
// ports; longer chains or larger numbers are typing errors, not places.
constexpr std::size_t kLongestChain = 7;

// A decimal number from `least` to `most` written with at most three digits.
std::optional<int> Number(std::string_view text, int least, int most) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < least || value > most) return std::nullopt;
  return value;
}

// "1.3.2": the hub ports from the root hub down.
std::optional<std::vector<std::uint8_t>> Chain(std::string_view text) {
  std::vector<std::uint8_t> ports;
  while (true) {
    const std::size_t dot = text.find('.');
    const std::optional<int> port = Number(text.substr(0, dot), 1, 255);
    if (!port || ports.size() == kLongestChain) return std::nullopt;
    ports.push_back(static_cast<std::uint8_t>(*port));
    if (dot == std::string_view::npos) return ports;
    text.remove_prefix(dot + 1);
  }
}

// "1.0": a configuration (from 1) and an interface (from 0), as the kernel names them.
std::optional<std::string> Interface(std::string_view text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::optional<int> configuration = Number(text.substr(0, dot), 1, 255);
  const std::optional<int> number = Number(text.substr(dot + 1), 0, 255);
  if (!configuration || !number) return std::nullopt;
  return std::to_string(*configuration) + "." + std::to_string(*number);
}

std::string ChainText(const std::vector<std::uint8_t>& ports, char separator) {
  std::string text;
  for (const std::uint8_t port : ports) {
    if (!text.empty()) text += separator;
    text += std::to_string(port);
  }
  return text;
}

// "1-1.3[:1.0]", the kernel's name of a USB device (or of one of its interfaces).
std::optional<UsbLocation> ParseSysfs(std::string_view text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::optional<int> bus = Number(text.substr(0, dash), 1, 255);
  if (!bus) return std::nullopt;
  std::string_view rest = text.substr(dash + 1);
  UsbLocation location;
  location.form = UsbLocation::Form::Sysfs;
  location.host = std::to_string(*bus);
  if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
    std::optional<std::string> found = Interface(rest.substr(colon + 1));
    if (!found) return std::nullopt;
    location.usbInterface = std::move(*found);
    rest = rest.substr(0, colon);
  }
  std::optional<std::vector<std::uint8_t>> ports = Chain(rest);
  if (!ports) return std::nullopt;
  location.ports = std::move(*ports);
  return location;
}

// A host controller as udev names it: "pci-0000:00:14.0", "platform-xhci-hcd.0.auto".
std::optional<std::string> IdPathHost(std::string_view text) {
  const bool pci = text.starts_with("pci-");
  if (!pci && !text.starts_with("platform-")) return std::nullopt;
  const std::string_view name = text.substr(pci ? 4 : 9);
  if (name.empty() || name.size() > 128) return std::nullopt;
  std::string host(text.substr(0, text.size() - name.size()));
  for (const char c : name) {
    const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                         (c >= 'A' && c <= 'Z') || c == ':' || c == '.' || c == '_' || c == '-';
    if (!allowed) return std::nullopt;
    // PCI addresses are hexadecimal: one letter case for both spellings.
    host += pci ? LowerAscii(c) : c;
  }
  return host;
}

// "pci-0000:00:14.0-usb-0:1.3[:1.0]", udev's ID_PATH. Newer udev versions write "usbv2" or
// "usbv3" for the same chain.
std::optional<UsbLocation> ParseIdPath(std::string_view text) {
  std::size_t marker = std::string_view::npos;
  std::size_t after = 0;
  for (const std::string_view kind : {"-usb-", "-usbv2-", "-usbv3-"}) {
    const std::size_t at = text.rfind(kind);
    if (at != std::string_view::npos && (marker == std::string_view::npos || at > marker)) {
      marker = at;
      after = at + kind.size();
    }
  }
  if (marker == std::string_view::npos) return std::nullopt;
  std::optional<std::string> host = IdPathHost(text.substr(0, marker));
  if (!host) return std::nullopt;
  std::string_view rest = text.substr(after);
  // The bus is always written as 0: the controller names it.
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos || !Number(rest.substr(0, colon), 0, 255)) {
    return std::nullopt;
  }
  rest.remove_prefix(colon + 1);
  UsbLocation location;
  location.form = UsbLocation::Form::IdPath;
  location.host = std::move(*host);
  if (const std::size_t next = rest.find(':'); next != std::string_view::npos) {
    std::optional<std::string> found = Interface(rest.substr(next + 1));
    if (!found) return std::nullopt;
    location.usbInterface = std::move(*found);
    rest = rest.substr(0, next);
  }
  std::optional<std::vector<std::uint8_t>> ports = Chain(rest);
  if (!ports) return std::nullopt;
  location.ports = std::move(*ports);
  return location;
}

// One element of a Windows location path, "NAME(ARGUMENT)", in upper case; NAME and ARGUMENT
// are letters, digits and underscores.
std::optional<std::string> PathElement(std::string_view text) {
  const std::size_t open = text.find('(');
  if (open == 0 || open == std::string_view::npos || text.size() > 64 || !text.ends_with(')')) {
    return std::nullopt;
  }
  std::string element;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool bracket = i == open || i + 1 == text.size();
    const bool allowed =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!bracket && !allowed) return std::nullopt;
    element += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return element;
}

// The number in "USB(3)" when `element` (upper case) is a `name` element.
std::optional<int> ElementNumber(std::string_view element, std::string_view name, int least) {
  if (!element.starts_with(name) || element.size() < name.size() + 2 ||
      element[name.size()] != '(') {
    return std::nullopt;
  }
  return Number(element.substr(name.size() + 1, element.size() - name.size() - 2), least, 255);
}

// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)[#USBMI(0)]".
std::optional<UsbLocation> ParseWindows(std::string_view text) {
  UsbLocation location;
  location.form = UsbLocation::Form::Windows;
  bool rootSeen = false;
  while (!text.empty()) {
    const std::size_t hash = text.find('#');
    const std::optional<std::string> element = PathElement(text.substr(0, hash));
    text = hash == std::string_view::npos ? std::string_view() : text.substr(hash + 1);
    if (!element || (hash != std::string_view::npos && text.empty())) return std::nullopt;
    if (!location.usbInterface.empty()) return std::nullopt;  // the interface comes last
    if (!rootSeen) {
      location.host += (location.host.empty() ? "" : "#") + *element;
      rootSeen = element->starts_with("USBROOT(");
      if (rootSeen && location.host == *element) return std::nullopt;  // no controller before it
      continue;
    }
    if (const std::optional<int> port = ElementNumber(*element, "USB", 1)) {
      if (location.ports.size() == kLongestChain) return std::nullopt;
      location.ports.push_back(static_cast<std::uint8_t>(*port));
    } else if (ElementNumber(*element, "USBMI", 0) && !location.ports.empty()) {
      location.usbInterface = *element;
    } else {
      return std::nullopt;
    }
  }
  if (location.ports.empty()) return std::nullopt;
  return location;
}

}  // namespace

std::string UsbLocation::PortText() const {
  switch (form) {
    case Form::Sysfs:
      return host + "-" + ChainText(ports, '.');
    case Form::IdPath:
      return host + "-usb-0:" + ChainText(ports, '.');
    case Form::Windows: {
      std::string text = host;
      for (const std::uint8_t port : ports) text += "#USB(" + std::to_string(port) + ")";
      return text;
    }
  }
  return host;
}

std::string UsbLocation::Text() const {
  if (usbInterface.empty()) return PortText();
  return PortText() + (form == Form::Windows ? "#" : ":") + usbInterface;
}

std::optional<std::string_view> UsbPlaceOf(std::string_view place) {
  if (place.size() < 4 || !SameIgnoringAsciiCase(place.substr(0, 4), "usb:")) return std::nullopt;
  return place.substr(4);
}

std::optional<UsbLocation> ParseUsbLocation(std::string_view text) {
  if (text.size() > 256) return std::nullopt;
  if (text.find('#') != std::string_view::npos) return ParseWindows(text);
  if (text.starts_with("pci-") || text.starts_with("platform-")) return ParseIdPath(text);
  return ParseSysfs(text);
}

bool SameUsbPort(const UsbLocation& a, const UsbLocation& b, const std::string& sysRoot) {
  if (a.ports != b.ports) return false;
  if (!a.usbInterface.empty() && !b.usbInterface.empty() && a.usbInterface != b.usbInterface)
    return false;
  if (a.form == b.form) return a.host == b.host;
  if (a.form == UsbLocation::Form::Windows || b.form == UsbLocation::Form::Windows) return false;
  // One names the bus, the other its controller: the device tree knows which is which.
  const UsbLocation& bus = a.form == UsbLocation::Form::Sysfs ? a : b;
  const UsbLocation& controller = a.form == UsbLocation::Form::Sysfs ? b : a;
  const std::string host = UsbControllerOfBus(bus.host, sysRoot);
  return !host.empty() && host == controller.host;
}

// Both platforms' lists of present devices carry their locations: the one at a port is found
// the same way.
std::string DeviceAtUsbLocation(const UsbLocation& location, const std::string& sysRoot) {
  for (const SerialDevice& present : PresentSerialDevices(sysRoot)) {
    if (present.location && SameUsbPort(location, *present.location, sysRoot)) {
      return present.device;
    }
  }
  return "";
}

}  // namespace veska::link
