#include "win32gui/PortStatus.h"

#include "app/HostNotices.h"
#include "link/PortNames.h"
#include "link/SerialPort.h"
#include "win32gui/Text.h"

namespace veska::win32gui {

namespace {

// The DOS device name behind a path in the device namespace ("\\.\COM3" is "COM3"); empty for
// a path of another form, which the system cannot be asked about without opening it.
std::wstring DosDeviceName(const std::string& device) {
  constexpr std::string_view kNamespace = "\\\\.\\";
  if (!device.starts_with(kNamespace)) return {};
  return Wide(std::string_view(device).substr(kNamespace.size()));
}

}  // namespace

PortStatus::PortStatus(Win32Window& window, int selectorId, const link::LinkState& link)
    : window_(window), selectorId_(selectorId), link_(link) {
  window.SetSelectionHook(selectorId, [this] { Refresh(); });
  window.SetDeviceChangeHook([this] { Refresh(false); });
  Refresh();
}

bool PortStatus::IsPresent(int index, const link::LinkState& link) {
  if (index < 0) return false;
  const std::wstring name = DosDeviceName(link::DevicePathFor(link::ComName(index + 1), link));
  if (name.empty()) return false;
  // Asks without opening: opening a serial line can disturb what is on it.
  wchar_t target[1024] = {};
  return QueryDosDeviceW(name.c_str(), target, 1024) != 0;
}

std::string PortStatus::Describe(int index, const link::LinkState& link) {
  if (index < 0) return std::string(app::kNoPortChosen);
  const std::string name = link::ComName(index + 1);
  return app::PortStatusText(name, link::DevicePathFor(name, link), IsPresent(index, link));
}

void PortStatus::Refresh(bool always) {
  const int count = window_.GetCount(selectorId_);
  std::string presence;
  for (int i = 0; i < count; ++i) presence += IsPresent(i, link_) ? '1' : '0';
  const std::string text = Describe(window_.GetCurSel(selectorId_), link_);
  if (!always && text == shown_ && presence == presence_) return;
  for (int i = 0; i < count; ++i) {
    window_.EmphasizeItem(selectorId_, i, presence[static_cast<std::size_t>(i)] == '1');
  }
  presence_ = presence;
  shown_ = text;
  window_.SetToolTip(selectorId_, text);
  window_.ShowStatusLine(text);
}

}  // namespace veska::win32gui
