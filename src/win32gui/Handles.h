#pragma once

#include "win32gui/Win32Api.h"

#include <memory>
#include <type_traits>

namespace veska::win32gui {

// Owners of the system's handles: each goes with its owner, by the function that frees it.
struct WindowDeleter {
  void operator()(HWND window) const { DestroyWindow(window); }
};
struct FontDeleter {
  void operator()(HFONT font) const { DeleteObject(font); }
};
struct MenuDeleter {
  void operator()(HMENU menu) const { DestroyMenu(menu); }
};
using WindowHandle = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDeleter>;
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;
using MenuHandle = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDeleter>;

// A screen device context, released at the end of the scope, with `font` selected meanwhile.
class ScreenDc {
 public:
  explicit ScreenDc(HFONT font) : dc_(GetDC(nullptr)), old_(SelectObject(dc_, font)) {}
  ~ScreenDc() {
    SelectObject(dc_, old_);
    ReleaseDC(nullptr, dc_);
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  [[nodiscard]] HDC Get() const { return dc_; }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// Messages the program's windows take from other threads: the LPARAM points at a
// std::function<void()> that runs on the window's thread while the sender waits.
inline constexpr UINT WM_RUN_HERE = WM_APP + 1;
// A worker has ended (the host's message window).
inline constexpr UINT WM_WORKER_ENDED = WM_APP + 2;
// Work posted to the host's message window waits in its queue (Win32Host::Post).
inline constexpr UINT WM_RUN_POSTED = WM_APP + 3;

}  // namespace veska::win32gui
