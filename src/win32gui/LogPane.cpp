#include "win32gui/LogPane.h"

#include <cstring>
#include <optional>
#include <string>

#include "app/FileReplace.h"
#include "app/HostNotices.h"
#include "win32gui/Text.h"

namespace veska::win32gui::log_pane {

namespace {

void CopyToClipboard(HWND owner, const std::wstring& text) {
  if (OpenClipboard(owner) == FALSE) return;
  EmptyClipboard();
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  // The clipboard takes the memory over once SetClipboardData succeeds.
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* data = GlobalLock(memory)) {
      std::memcpy(data, text.c_str(), bytes);
      GlobalUnlock(memory);
      if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) GlobalFree(memory);
    } else {
      GlobalFree(memory);
    }
  }
  CloseClipboard();
}

bool HasSelection(HWND edit) {
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  return start != end;
}

}  // namespace

void Attach(Win32Window& window, int id, ui::Host& host) {
  window.UseFixedPitchFont(id);
  window.SetContextMenuHook(id, [&window, &host, id](ui::Point point) {
    const unsigned command = window.TrackPopupMenu(Menu(HasSelection(window.Control(id))), point);
    Run(window, id, host, command);
  });
}

ui::PopupMenu Menu(bool hasSelection) {
  return {{kCopy, "Copy", hasSelection},
          {kSelectAll, "Select All", true},
          {ui::MENU_SEPARATOR, "", true},
          {kCopyAll, "Copy all", true},
          {kSave, "Save log...", true}};
}

void Run(Win32Window& window, int id, ui::Host& host, unsigned command) {
  HWND edit = window.Control(id);
  switch (command) {
    case kCopy:
      SendMessageW(edit, WM_COPY, 0, 0);
      break;
    case kSelectAll:
      SendMessageW(edit, EM_SETSEL, 0, -1);
      break;
    case kCopyAll:
      CopyToClipboard(window.Handle(), CrLf(Wide(window.GetText(id))));
      break;
    case kSave:
      Save(window, id, host);
      break;
    default:
      break;
  }
}

bool SaveTo(const Win32Window& window, int id, const std::filesystem::path& path) {
  if (app::KindOfTarget(path) == app::TargetKind::Other) return false;
  return app::ReplaceFileWith(path, Narrow(CrLf(Wide(window.GetText(id)))), ".tmp");
}

void Save(Win32Window& window, int id, ui::Host& host) {
  const std::optional<std::string> chosen = host.FileDialog(&window, app::LogSaveRequest());
  if (!chosen) return;
  if (!SaveTo(window, id, std::filesystem::path(Wide(*chosen)))) {
    host.MessageBox(&window, app::LogNotSavedText(*chosen), {}, ui::MB_OK | ui::MB_ICONERROR);
  }
}

}  // namespace veska::win32gui::log_pane
