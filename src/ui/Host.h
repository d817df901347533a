#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ui/Dialog.h"
#include "ui/DialogTemplate.h"
#include "ui/Window.h"

namespace veska::ui {

// Message box types: buttons, icon and default button, combined with "|".
enum MessageBoxType : unsigned {
  MB_OK = 0x0000,
  MB_OKCANCEL = 0x0001,
  MB_YESNO = 0x0004,
  MB_ICONERROR = 0x0010,
  MB_ICONQUESTION = 0x0020,
  MB_ICONWARNING = 0x0030,
  MB_ICONINFORMATION = 0x0040,
  MB_DEFBUTTON2 = 0x0100,
};
inline constexpr unsigned MB_BUTTON_MASK = 0x000F;
inline constexpr unsigned MB_ICON_MASK = 0x00F0;
inline constexpr unsigned MB_DEFAULT_MASK = 0x0F00;

// File dialog flags.
enum FileDialogFlag : unsigned {
  OFN_OVERWRITEPROMPT = 0x0002,
  OFN_HIDEREADONLY = 0x0004,
  OFN_PATHMUSTEXIST = 0x0800,
  OFN_FILEMUSTEXIST = 0x1000,
};

struct FileDialogRequest {
  bool open = true;  // false: a save dialog
  // Pairs of description and pattern, each followed by "|", the list closed by a second "|":
  // "TFS File(*.tfs)|*.tfs|*.*|*.*||". Hosts convert it to their own form.
  std::string filter;
  std::string defaultExtension;
  std::string initialPath;       // proposed file name (may hold a folder)
  std::string initialDirectory;  // folder to start in; empty: the host's choice
  unsigned flags = OFN_HIDEREADONLY;
};

// One filter entry of a FileDialogRequest.
struct FileFilter {
  std::string description;
  std::string pattern;  // one or more patterns separated by ";"
};
// Splits "desc|pattern|desc|pattern||". A trailing description without a pattern is dropped.
[[nodiscard]] std::vector<FileFilter> ParseFileFilter(std::string_view filter);

enum class ThreadPriority { Normal, Highest };

// `when` broken down in the local time zone, thread-safely on every platform.
void ToLocalTime(std::time_t when, std::tm& parts);

struct LocalTime {
  int year = 0;     // e.g. 2024
  int month = 0;    // 1-12
  int day = 0;      // 1-31
  int hour = 0;     // 0-23
  int minute = 0;   // 0-59
  int second = 0;   // 0-60
  int weekday = 0;  // 0 Sunday
};

// The platform services the dialogs and operations use: dialogs of the system, modal
// sub-dialogs, worker threads, time and file search.
//
// Thread safety: every member may be called from any thread. Message boxes and file dialogs
// called from a worker run on the user-interface thread while the worker waits.
class Host {
 public:
  Host() = default;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  // Asks running workers to stop and waits for them; a host that must not wait (the desktop
  // program at exit) ends the process before.
  virtual ~Host();

  // The program's name: the caption of message boxes that are given none.
  [[nodiscard]] virtual std::string ApplicationName() const = 0;

  // Shows a message box and returns the button pressed (IDOK, IDCANCEL, IDYES, IDNO). An empty
  // caption stands for the application's name.
  virtual int MessageBox(Window* owner, std::string_view text, std::string_view caption = {},
                         unsigned type = MB_OK) = 0;
  // A cause to show beside a message box's own text, which never changes ("COM7 (/dev/ttyUSB0)
  // does not exist." behind "Comm Error"); hosts ask the source each time they show a box, on
  // the thread that asks for the box. Empty source or empty text: nothing to add.
  void SetMessageDetailSource(std::function<std::string()> source);
  [[nodiscard]] std::string MessageDetail() const;

  // The chosen file's full path, or nothing when the user cancels.
  virtual std::optional<std::string> FileDialog(Window* owner,
                                                const FileDialogRequest& request) = 0;
  // Builds a window from `dialog`, attaches `handler`, runs it modally and returns its result.
  virtual int RunModal(const DialogTemplate& dialog, Dialog& handler, Window* owner) = 0;

  // Starts a worker that is never waited for by the dialogs. Priorities the system refuses
  // (raising one needs privileges on Linux) leave the thread at the normal priority.
  virtual void StartWorker(ThreadPriority priority, std::function<void(std::stop_token)> work);
  // True while a worker started here has not returned.
  [[nodiscard]] bool HasRunningWorkers() const;
  // Waits for every worker started so far (tests, and hosts shutting down).
  void JoinWorkers();

  virtual void Sleep(std::chrono::milliseconds duration);
  // Milliseconds of a monotonic clock, for elapsed times.
  [[nodiscard]] virtual std::uint64_t TickCount() const;
  [[nodiscard]] virtual LocalTime Now() const;
  // Full path of the first entry that matches the wildcard `pattern` (a folder followed by a
  // name with "*" and "?"), taking names in byte order so that the choice is the same on
  // every run; nothing when none matches.
  [[nodiscard]] virtual std::optional<std::string> FindFirstFile(std::string_view pattern) const;

 private:
  struct Worker {
    std::jthread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void ReapFinished();

  mutable std::mutex detailMutex_;
  std::function<std::string()> detailSource_;
  mutable std::mutex workersMutex_;
  std::list<Worker> workers_;
};

}  // namespace veska::ui
