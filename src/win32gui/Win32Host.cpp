#include "win32gui/Win32Host.h"

#include <filesystem>

#include "win32gui/Text.h"

namespace veska::win32gui {

namespace {

constexpr wchar_t kRelayClass[] = L"VeskaRelay";

HWND MakeRelay(WNDPROC procedure, void* host) {
  static const bool registered = [procedure] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kRelayClass;
    return RegisterClassExW(&windowClass) != 0;
  }();
  (void)registered;
  HWND relay = CreateWindowExW(0, kRelayClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  if (relay != nullptr) SetWindowLongPtrW(relay, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(host));
  return relay;
}

HWND OwnerHandle(ui::Window* owner) {
  auto* window = dynamic_cast<Win32Window*>(owner);
  return window != nullptr ? window->Handle() : nullptr;
}

// The answer of a box closed without a button.
int EscapeAnswer(unsigned type) {
  switch (type & ui::MB_BUTTON_MASK) {
    case ui::MB_YESNO:
      return ui::IDNO;
    case ui::MB_OKCANCEL:
      return ui::IDCANCEL;
    default:
      return ui::IDOK;
  }
}

// A starting folder that names a file (the previous choice) starts in that file's folder.
std::wstring StartFolder(const ui::FileDialogRequest& request) {
  std::error_code error;
  for (const std::string& candidate : {request.initialDirectory, request.initialPath}) {
    if (candidate.empty()) continue;
    const std::filesystem::path path(Wide(candidate));
    if (std::filesystem::is_directory(path, error)) return path.wstring();
    if (path.has_parent_path() && std::filesystem::is_directory(path.parent_path(), error))
      return path.parent_path().wstring();
  }
  return {};
}

}  // namespace

Win32Host::Win32Host() : thread_(GetCurrentThreadId()), relay_(MakeRelay(&RelayProc, this)) {}

LRESULT CALLBACK Win32Host::RelayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_RUN_HERE) {
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return 0;
  }
  if (message == WM_RUN_POSTED) {
    if (auto* host = reinterpret_cast<Win32Host*>(GetWindowLongPtrW(window, GWLP_USERDATA)))
      host->posted_.RunAll();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void Win32Host::Post(std::function<void()> work) {
  posted_.Add(std::move(work));
  PostMessageW(relay_.get(), WM_RUN_POSTED, 0, 0);
}

void Win32Host::DropPosted() {
  posted_.Clear();
}

Win32Host::~Win32Host() {
  // Before the relay goes: each worker's last act may be a call to it.
  JoinWorkers();
}

void Win32Host::OnUiThread(const std::function<void()>& work) {
  if (GetCurrentThreadId() == thread_ || !relay_) {
    work();
    return;
  }
  SendMessageW(relay_.get(), WM_RUN_HERE, 0, reinterpret_cast<LPARAM>(&work));
}

void Win32Host::StartWorker(ui::ThreadPriority priority,
                            std::function<void(std::stop_token)> work) {
  ++runningWorkers_;
  ui::Host::StartWorker(priority, [this, work = std::move(work)](std::stop_token stop) {
    work(stop);
    --runningWorkers_;
    // Wakes the user-interface thread if it is waiting for the workers to end.
    PostThreadMessageW(thread_, WM_WORKER_ENDED, 0, 0);
  });
}

bool Win32Host::ServeWorkersFor(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (runningWorkers_.load() > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return true;
}

std::string Win32Host::ApplicationName() const {
  // The executable's base name, as the settings file and message box captions use it.
  std::wstring module(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, module.data(), MAX_PATH);
  module.resize(length);
  const std::wstring stem = std::filesystem::path(module).stem().wstring();
  return stem.empty() ? std::string("VeskaDownloader") : Narrow(stem);
}

int Win32Host::MessageBox(ui::Window* owner, std::string_view text, std::string_view caption,
                          unsigned type) {
  std::wstring body = Wide(text);
  const std::wstring title = Wide(caption.empty() ? ApplicationName() : std::string(caption));
  // Asked here, on the caller's thread: the source may ask the operation's runner. The cause
  // goes under the box's own text.
  if (const std::string detail = MessageDetail(); !detail.empty()) body += L"\n\n" + Wide(detail);
  int answer = EscapeAnswer(type);
  OnUiThread([&] {
    // The session is ending: nobody is there to answer.
    if (closing_) return;
    // The types and answers are the system's own values.
    answer = MessageBoxW(OwnerHandle(owner), body.c_str(), title.c_str(), type);
    if (answer == 0) answer = EscapeAnswer(type);
  });
  return answer;
}

std::optional<std::string> Win32Host::FileDialog(ui::Window* owner,
                                                 const ui::FileDialogRequest& request) {
  std::optional<std::string> chosen;
  OnUiThread([&] {
    if (closing_) return;
    const std::wstring filter = FileDialogFilter(request.filter);
    const std::wstring extension = Wide(request.defaultExtension);
    const std::wstring folder = StartFolder(request);
    std::wstring file(32768, L'\0');
    if (!request.initialPath.empty()) {
      const std::wstring name =
          std::filesystem::path(Wide(request.initialPath)).filename().wstring();
      file.replace(0, name.size(), name);
    }
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = OwnerHandle(owner);
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    // The flags are the system's own values.
    dialog.Flags = request.flags | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (request.open) dialog.Flags |= ui::OFN_FILEMUSTEXIST;
    const BOOL accepted = request.open ? GetOpenFileNameW(&dialog) : GetSaveFileNameW(&dialog);
    if (accepted != FALSE) chosen = Narrow(file.c_str());
  });
  return chosen;
}

int Win32Host::RunModal(const ui::DialogTemplate& dialog, ui::Dialog& handler, ui::Window* owner) {
  int result = ui::IDCANCEL;
  OnUiThread([&] {
    // A worker's sub-dialog asked for while the session ends is cancelled unseen.
    if (closing_) return;
    Win32Window window(dialog, handler, OwnerHandle(owner));
    handler.Attach(&window);
    if (handler.OnInitDialog()) {
      // The first control that takes the focus gets it.
      if (HWND first = GetNextDlgTabItem(window.Handle(), nullptr, FALSE)) SetFocus(first);
    }
    result = window.RunModal([this, &window] {
      if (shownHook_) shownHook_(window);
    });
    if (owner == nullptr && runningWorkers_.load() > 0) {
      // The session ends with this window. Its workers were told to stop (EXIT and the close
      // box stop them as Disconnect does) but may still be showing their last texts here.
      closing_ = true;
      while (!ServeWorkersFor(kQuitWait)) {
        if (abandonHook_) abandonHook_();
      }
      closing_ = false;
    }
    if (endedHook_) endedHook_(window);
    handler.Attach(nullptr);
  });
  return result;
}

}  // namespace veska::win32gui
