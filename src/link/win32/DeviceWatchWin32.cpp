// Device arrival on Windows: the configuration manager calls back on a thread of its own when a
// COM-port interface (usbser, the adapters' drivers) or a USB device comes or goes, and the
// callback signals an event the waiter sleeps on beside the cancel event. Windows has no
// pseudo-terminals, so there are no folders to watch.

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
#include <initguid.h>
#include <usbiodef.h>

#include <atomic>

#include "link/DeviceWatch.h"
#include "link/win32/UniqueHandle.h"

namespace veska::link {

namespace {

// cfgmgr32 has exported the two notification functions since Windows 8 (older mingw-w64 headers
// do not declare them). They are looked up rather than imported: wine exports the first as a stub
// that ends the process when called, and an older system has neither; both wait by looking.
using RegisterNotification = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                                PHCMNOTIFICATION);
using UnregisterNotification = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

struct Notifications {
  RegisterNotification registerFor = nullptr;
  UnregisterNotification unregister = nullptr;
};

const Notifications& NotificationFunctions() {
  static const Notifications functions = [] {
    Notifications found;
    // Wine says so through ntdll; its configuration manager notices nothing anyway.
    if (const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
      return found;
    }
    const HMODULE cfgmgr = LoadLibraryW(L"cfgmgr32.dll");
    if (cfgmgr == nullptr) return found;
    found.registerFor = reinterpret_cast<RegisterNotification>(
        reinterpret_cast<void (*)()>(GetProcAddress(cfgmgr, "CM_Register_Notification")));
    found.unregister = reinterpret_cast<UnregisterNotification>(
        reinterpret_cast<void (*)()>(GetProcAddress(cfgmgr, "CM_Unregister_Notification")));
    if (found.registerFor == nullptr || found.unregister == nullptr) found = {};
    return found;
  }();
  return functions;
}

// The COM-port interface class (ntddser.h, whose other declarations need the kernel's headers).
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// How long a wait lasts at most when the notices could not be registered (an old system).
constexpr std::chrono::milliseconds kUnwatchedLook{1000};

DWORD CALLBACK Noticed(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA,
                       DWORD) {
  SetEvent(static_cast<HANDLE>(context));
  return ERROR_SUCCESS;
}

// One registration, ended before the event it signals is closed.
class Registration {
 public:
  Registration(const GUID& interfaceClass, HANDLE event) {
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = interfaceClass;
    const Notifications& functions = NotificationFunctions();
    if (functions.registerFor == nullptr ||
        functions.registerFor(&filter, event, Noticed, &handle_) != CR_SUCCESS) {
      handle_ = nullptr;
    }
  }
  ~Registration() {
    // Returns once no callback is running, so the event outlives every SetEvent.
    if (handle_ != nullptr) NotificationFunctions().unregister(handle_);
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  [[nodiscard]] bool Valid() const { return handle_ != nullptr; }

 private:
  HCMNOTIFICATION handle_ = nullptr;
};

}  // namespace

struct DeviceWatch::Impl {
  // Declared before the registrations: they end first.
  win32::UniqueHandle cancel{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  win32::UniqueHandle changed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  Registration ports{kComPortInterface, changed.Get()};
  Registration usb{GUID_DEVINTERFACE_USB_DEVICE, changed.Get()};
  std::atomic<bool> cancelled{false};
  std::atomic<std::size_t> wakes{0};
};

DeviceWatch::DeviceWatch() : impl_(std::make_unique<Impl>()) {}
DeviceWatch::~DeviceWatch() = default;

void DeviceWatch::WatchPath(const std::string& /*path*/) {}

DeviceWatch::Wake DeviceWatch::Wait(std::chrono::milliseconds timeout) {
  Impl& d = *impl_;
  const bool capped = !(d.ports.Valid() || d.usb.Valid()) && timeout > kUnwatchedLook;
  const auto wait = capped ? kUnwatchedLook : timeout;
  const HANDLE events[2] = {d.cancel.Get(), d.changed.Get()};
  const DWORD milliseconds = wait.count() <= 0 ? 0
                             : wait.count() >= static_cast<long long>(INFINITE)
                                 ? INFINITE - 1
                                 : static_cast<DWORD>(wait.count());
  Wake wake = Wake::TimedOut;
  if (!d.cancelled.load()) {
    const DWORD result = WaitForMultipleObjects(2, events, FALSE, milliseconds);
    if (result == WAIT_OBJECT_0 + 1 || (result == WAIT_TIMEOUT && capped)) wake = Wake::Changed;
  }
  if (d.cancelled.load()) wake = Wake::Cancelled;
  ++d.wakes;
  return wake;
}

void DeviceWatch::Cancel() {
  impl_->cancelled.store(true);
  SetEvent(impl_->cancel.Get());
}

bool DeviceWatch::Cancelled() const {
  return impl_->cancelled.load();
}

std::size_t DeviceWatch::Wakes() const {
  return impl_->wakes.load();
}

}  // namespace veska::link
