#include "cli/PortList.h"

#include <algorithm>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "link/AdapterLatency.h"
#include "link/AsciiCase.h"
#include "link/DeviceHints.h"
#include "link/PortNames.h"
#include "link/SerialPort.h"
#include "link/UsbLocation.h"

#if defined(_WIN32)
#include <windows.h>

#include "link/win32/Registry.h"
#elif defined(VESKA_HAVE_LIBSERIALPORT)
#include <libserialport.h>
#endif

namespace veska::cli {

using namespace veska::station;

namespace {

// Device paths compare by what they resolve to: a udev symlink names the same device.
std::string Resolved(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::canonical(path, ec);
  return ec ? path : canonical.string();
}

#if defined(_WIN32)
// Windows tells whether a port is free only by opening it: the open is released at once.
std::string OpenProblem(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return "";
  }
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) return "in use by another program";
  return "error " + std::to_string(error);
}
#elif defined(VESKA_HAVE_LIBSERIALPORT)
std::string Text(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

struct PortListFree {
  void operator()(sp_port** list) const { sp_free_port_list(list); }
};
#endif

// A USB adapter's latency timer, and the hint when it holds the phone's answers too long.
[[maybe_unused]] void NoteLatency(PortEntry& entry, const std::string& name,
                                  const link::LinkState& state) {
  entry.latencyTimerMs = link::LatencyTimerMs(name, entry.device, state.latency);
  const std::string slow = link::SlowLatencyHint(name, entry.device, state.latency);
  if (!slow.empty()) entry.hint += (entry.hint.empty() ? "" : "\n\t") + slow;
}

}  // namespace

bool CanListPorts() {
#if defined(_WIN32) || defined(VESKA_HAVE_LIBSERIALPORT)
  return true;
#else
  return false;
#endif
}

std::string ComNameFor(const std::string& device, const link::LinkState& state) {
  const std::string target = Resolved(device);
  for (int n = 1; n <= link::kComPortCount; ++n) {
    const std::string name = link::ComName(n);
    if (Resolved(link::DevicePathFor(name, state)) == target) return name;
  }
  return "";
}

std::string PortDevice(const std::string& port, const link::LinkState& state) {
  const int number = link::ParseComName(port);
  return link::DevicePathFor(number > 0 ? link::ComName(number) : port, state);
}

std::vector<PortEntry> ListPorts(const link::LinkState& state) {
  std::vector<PortEntry> entries;
#if defined(_WIN32)
  // Every COM port the system has a device name for, whatever its number, and every one the
  // serial drivers list as present (a USB adapter's port among them).
  const link::win32::RegistryKey present(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
  const auto presentPorts = present.TextValues();
  for (int n = 1; n <= 255; ++n) {
    const std::string name = "COM" + std::to_string(n);
    char target[1024] = {};
    std::string description;
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) {
      description = target;
    } else {
      const auto listed = std::find_if(
          presentPorts.begin(), presentPorts.end(),
          [&name](const auto& value) { return link::SameIgnoringAsciiCase(value.second, name); });
      if (listed == presentPorts.end()) continue;
      description = listed->first;
    }
    PortEntry entry;
    entry.device = link::DevicePathFor(name, state);
    entry.comName = n <= link::kComPortCount ? name : std::string();
    entry.description = description;
    entry.problem = OpenProblem(entry.device);
    if (const auto location = link::UsbLocationOf(name)) entry.usbLocation = location->PortText();
    NoteLatency(entry, name, state);
    entries.push_back(std::move(entry));
  }
#elif defined(VESKA_HAVE_LIBSERIALPORT)
  sp_port** raw = nullptr;
  if (sp_list_ports(&raw) != SP_OK) return entries;
  const bool modemManager = link::ModemManagerRunning();
  const std::unique_ptr<sp_port*, PortListFree> list(raw);
  for (sp_port** port = raw; *port != nullptr; ++port) {
    PortEntry entry;
    entry.device = Text(sp_get_port_name(*port));
    entry.description = Text(sp_get_port_description(*port));
    if (sp_get_port_transport(*port) == SP_TRANSPORT_USB) {
      int vid = 0;
      int pid = 0;
      char id[16] = "?";
      if (sp_get_port_usb_vid_pid(*port, &vid, &pid) == SP_OK) {
        std::snprintf(id, sizeof id, "%04x:%04x", vid & 0xFFFF, pid & 0xFFFF);
      }
      entry.usb = std::string("USB ") + id;
      if (const std::string serial = Text(sp_get_port_usb_serial(*port)); !serial.empty()) {
        entry.usb += " serial " + serial;
      }
      const std::string maker = Text(sp_get_port_usb_manufacturer(*port));
      const std::string product = Text(sp_get_port_usb_product(*port));
      if (!maker.empty() || !product.empty()) {
        entry.usb += " (" + maker + (maker.empty() || product.empty() ? "" : " ") + product + ")";
      }
    }
    if (const auto location = link::UsbLocationOf(entry.device)) {
      entry.usbLocation = location->PortText();
    }
    entry.comName = ComNameFor(entry.device, state);
    entry.problem = link::DeviceProblem(entry.device);
    const std::string name = entry.comName.empty() ? entry.device : entry.comName;
    entry.hint = link::ModemManagerHint(name, modemManager, link::IsUsbCdcAcm(entry.device));
    NoteLatency(entry, name, state);
    entries.push_back(std::move(entry));
  }
#else
  (void)state;
#endif
#if !defined(_WIN32)
  for (const auto& [name, device] : state.portPaths) {
    const bool listed = std::any_of(entries.begin(), entries.end(), [&](const PortEntry& e) {
      return e.device == device || Resolved(e.device) == Resolved(device);
    });
    if (listed) continue;
    PortEntry entry;
    entry.device = device;
    entry.comName = name;
    entry.problem = link::DeviceProblem(device);
    entry.mapped = true;
    entries.push_back(std::move(entry));
  }
#endif
  return entries;
}

std::string UdevRule(const UsbIdentity& usb, const std::string& portName,
                     const std::string& device) {
  char ids[64];
  std::snprintf(ids, sizeof ids, "%04x:%04x", usb.vendor & 0xFFFF, usb.product & 0xFFFF);
  char rule[256];
  std::snprintf(rule, sizeof rule,
                "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", "
                "ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n",
                usb.vendor & 0xFFFF, usb.product & 0xFFFF);
  std::string where = portName == device ? device : portName + " (" + device + ")";
  // The comment is the device's own words: keep it on one line.
  std::string description = usb.description;
  for (char& c : description) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::string text = "# Veska Downloader: the phone on " + where + ", USB " + ids +
                     (description.empty() ? "" : " (" + description + ")") +
                     ". ModemManager leaves it alone; the logged-in user may open it.\n" + rule;
  if (usb.latencyTimer) {
    // The timer belongs to the adapter's usb-serial port, the tty's parent.
    std::snprintf(rule, sizeof rule,
                  "# Its latency timer at 1 ms: the phone's answers are not held back.\n"
                  "ACTION==\"add\", SUBSYSTEM==\"usb-serial\", ATTRS{idVendor}==\"%04x\", "
                  "ATTRS{idProduct}==\"%04x\", ATTR{latency_timer}=\"1\"\n",
                  usb.vendor & 0xFFFF, usb.product & 0xFFFF);
    text += rule;
  }
  return text;
}

std::string FormatPorts(const std::vector<PortEntry>& ports) {
  std::string text;
  for (const PortEntry& port : ports) {
    text += (port.comName.empty() ? std::string("-") : port.comName) + "\t" + port.device;
    if (!port.usbLocation.empty()) text += "\tusb:" + port.usbLocation;
    if (!port.usb.empty()) text += "\t" + port.usb;
    if (port.usb.empty() && !port.description.empty()) text += "\t" + port.description;
    if (port.mapped) text += "\tmapped in the settings file";
    if (port.latencyTimerMs)
      text += "\tlatency timer " + std::to_string(*port.latencyTimerMs) + " ms";
    text += port.problem.empty() ? "\tcan be opened" : "\tcannot be opened: " + port.problem;
    text += "\n";
    if (!port.hint.empty()) text += "\t" + port.hint + "\n";
  }
  return text;
}

std::string PortsJson(const std::vector<PortEntry>& ports) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const PortEntry& port : ports) {
    nlohmann::ordered_json entry;
    entry["com"] = port.comName.empty() ? nlohmann::ordered_json(nullptr)
                                        : nlohmann::ordered_json(port.comName);
    entry["device"] = port.device;
    entry["description"] = port.description;
    entry["usb"] = port.usb;
    entry["usb_location"] = port.usbLocation.empty()
                                ? nlohmann::ordered_json(nullptr)
                                : nlohmann::ordered_json("usb:" + port.usbLocation);
    entry["mapped"] = port.mapped;
    entry["latency_timer_ms"] = port.latencyTimerMs ? nlohmann::ordered_json(*port.latencyTimerMs)
                                                    : nlohmann::ordered_json(nullptr);
    entry["can_open"] = port.problem.empty();
    entry["problem"] = port.problem;
    entry["hint"] = port.hint;
    list.push_back(std::move(entry));
  }
  return list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace veska::cli
