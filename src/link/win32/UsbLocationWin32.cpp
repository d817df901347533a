// USB locations on Windows: the COM ports are the present devices of the Ports class, each
// named by its "PortName" registry value; the location path belongs to the USB device (or the
// interface of a composite one) that the port's device node is, or sits below.

#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#if !defined(WINVER) || WINVER < 0x0602
#undef WINVER
#define WINVER 0x0602
#endif

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
// Defines the class and property keys of the headers below here: no library holds them. A block
// of its own, so that sorting the includes cannot move it after them.
#include <initguid.h>

#include <devguid.h>
#include <devpkey.h>

#include <algorithm>
#include <memory>
#include <type_traits>

#include "link/AsciiCase.h"
#include "link/PortNames.h"
#include "link/UsbLocation.h"

namespace veska::link {

namespace {

struct DeviceSetFree {
  void operator()(void* set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DeviceSet = std::unique_ptr<std::remove_pointer_t<HDEVINFO>, DeviceSetFree>;

struct KeyClose {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyClose>;

// A port node, its USB parent and perhaps a bus driver's node between them.
constexpr int kNodesUp = 3;

std::string Narrow(const wchar_t* text, std::size_t size) {
  std::string narrow;
  for (std::size_t i = 0; i < size && text[i] != L'\0'; ++i) {
    // Location paths are ASCII; anything else makes the text unreadable as one, on purpose.
    narrow += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  }
  return narrow;
}

// The first of the node's location paths that is a USB location.
std::optional<UsbLocation> LocationOfNode(DEVINST node) {
  for (int level = 0; level < kNodesUp; ++level) {
    DEVPROPTYPE type = 0;
    wchar_t paths[1024] = {};
    ULONG size = sizeof paths - sizeof(wchar_t) * 2;
    if (CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type,
                                 reinterpret_cast<PBYTE>(paths), &size, 0) == CR_SUCCESS &&
        type == DEVPROP_TYPE_STRING_LIST) {
      const std::size_t count = size / sizeof(wchar_t);
      for (std::size_t at = 0; at < count && paths[at] != L'\0';) {
        std::size_t end = at;
        while (end < count && paths[end] != L'\0') ++end;
        if (std::optional<UsbLocation> location = ParseUsbLocation(Narrow(paths + at, end - at))) {
          return location;
        }
        at = end + 1;
      }
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
    node = parent;
  }
  return std::nullopt;
}

std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& data) {
  const Key key(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
  if (!key || key.get() == INVALID_HANDLE_VALUE) return "";
  wchar_t name[64] = {};
  DWORD type = 0;
  DWORD size = sizeof name - sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return "";
  }
  return Narrow(name, size / sizeof(wchar_t));
}

// "COM5" of "COM5" or "\\.\COM5".
std::string_view ComPart(std::string_view device) {
  constexpr std::string_view kNamespace = "\\\\.\\";
  if (device.starts_with(kNamespace)) device.remove_prefix(kNamespace.size());
  return device;
}

int ComNumber(std::string_view name) {
  if (name.size() < 4 || !SameIgnoringAsciiCase(name.substr(0, 3), "COM")) return 0;
  int number = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9' || number > 999) return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

}  // namespace

std::string UsbControllerOfBus(std::string_view /*bus*/, const std::string& /*sysRoot*/) {
  return "";
}

std::vector<SerialDevice> PresentSerialDevices(const std::string& /*sysRoot*/) {
  std::vector<SerialDevice> devices;
  const DeviceSet set(SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT));
  if (!set || set.get() == INVALID_HANDLE_VALUE) return devices;
  for (DWORD index = 0; index < 1024; ++index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInfo(set.get(), index, &data)) break;
    const std::string name = PortNameOf(set.get(), data);
    if (ComNumber(name) == 0) continue;  // a printer port (LPT1) shares the class
    devices.push_back({name, LocationOfNode(data.DevInst)});
  }
  std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return ComNumber(a.device) < ComNumber(b.device);
  });
  return devices;
}

std::optional<UsbLocation> UsbLocationOf(const std::string& device, const std::string& sysRoot) {
  const std::string_view name = ComPart(device);
  for (SerialDevice& present : PresentSerialDevices(sysRoot)) {
    if (SameIgnoringAsciiCase(present.device, name)) return std::move(present.location);
  }
  return std::nullopt;
}

}  // namespace veska::link
