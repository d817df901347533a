#pragma once

#include "win32gui/Win32Api.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "desktop/BenchSettings.h"
#include "station/Bench.h"
#include "win32gui/BenchIds.h"
#include "win32gui/Handles.h"
#include "win32gui/PostedWork.h"
#include "win32gui/Win32Window.h"

namespace veska::win32gui {

// What the bench window starts from: the settings' [Bench] section, and where the plan the
// operator changes in the fields goes (on the window's thread, as it starts to serve with it;
// may be empty).
struct BenchSetup {
  desktop::BenchSettings bench;
  std::function<void(const desktop::BenchSettings&)> remember;
};

// The production bench: one row per slot of a station::Bench in a list view, the plan's fields
// above it, the totals under it. The window reads the bench's rows on a timer and never hears
// the slots' threads directly: the bench's calls that may wait (Check, starting, stopping) run
// one at a time on a thread of the window's own, and the one question the bench asks is shown
// on the window's thread while the asking slot waits.
class BenchWindow {
 public:
  // `caption` titles the window's message boxes; `owner` (may be null) is disabled while the
  // window runs.
  BenchWindow(BenchSetup setup, std::string caption, HWND owner);
  ~BenchWindow();
  BenchWindow(const BenchWindow&) = delete;
  BenchWindow& operator=(const BenchWindow&) = delete;

  [[nodiscard]] HWND Handle() const { return window_.get(); }
  // Shows the window and runs until it is closed; every slot has stopped when it returns.
  void Run();

 private:
  struct Question {
    int answer = 0;
    bool answered = false;
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK LogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  void Build();
  HWND MakeControl(const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle,
                   int id);
  void Layout(int width, int height);
  [[nodiscard]] SIZE SmallestSize() const;
  void FillFields(const station::BenchPlan& plan);
  [[nodiscard]] station::BenchPlan PlanOfFields() const;
  void Browse();

  // Rows() and Sum() onto the list and the totals line; the controls follow what serves.
  void Redraw();
  void ResetItems(std::size_t count);
  void EnableControls(bool anyServing, bool allServing);
  LRESULT CustomDraw(NMLVCUSTOMDRAW& draw);
  void DrawBar(const NMLVCUSTOMDRAW& draw, COLORREF background);
  void OnContextMenu(HWND over, LPARAM lParam);
  void ShowLog(std::size_t slot);
  void Close();

  // Check, then every slot (or `slot`) serving the fields' plan; with `serial`, the slot's
  // next phone's unit first. A refusal is shown in a box.
  void StartServing(std::optional<std::size_t> slot,
                    std::optional<std::string> serial = std::nullopt);
  // The serial field's Enter: the selected slot (the first when none is) started with the
  // field's serial, and the selection moved on to the next slot.
  void StartWithSerial();
  void ShowRefusal(const std::string& refusal);
  void StopServing(std::optional<std::size_t> slot);
  [[nodiscard]] std::shared_ptr<station::Bench> CurrentBench() const;
  // On the commands' thread: the bench for `plan`, made anew when the plan changed and no slot
  // serves.
  std::shared_ptr<station::Bench> BenchFor(const station::BenchPlan& plan);
  [[nodiscard]] std::shared_ptr<station::Bench> MakeBench(const station::BenchPlan& plan);
  // On a slot's thread: the question shown on the window's thread; nothing once the window
  // closes.
  std::optional<int> Ask(std::string_view text, std::string_view caption);

  // Runs `work` on the commands' thread, after the commands before it.
  void Command(std::function<void()> work);
  // Runs `work` on the window's thread without waiting for it.
  void Post(std::function<void()> work);
  // Ends the commands' thread and the bench (every slot stopped and waited for); the questions
  // still open get no answer.
  void Shutdown();

  BenchSetup setup_;
  std::wstring caption_;
  HWND owner_;
  FontHandle font_;
  FontHandle fixedFont_;
  DialogUnits units_;
  WindowHandle window_;
  HWND release_ = nullptr;
  HWND browse_ = nullptr;
  HWND selection_ = nullptr;
  HWND defaultCal_ = nullptr;
  HWND verify_ = nullptr;
  HWND reboot_ = nullptr;
  HWND station_ = nullptr;
  HWND operator_ = nullptr;
  HWND serial_ = nullptr;
  HWND startAll_ = nullptr;
  HWND stopAll_ = nullptr;
  HWND list_ = nullptr;
  HWND totals_ = nullptr;
  std::array<HWND, 5> labels_{};
  std::vector<WindowHandle> logs_;

  // What the list shows, so that only what changed is set again.
  std::vector<std::array<std::wstring, bench_ids::kColumnCount>> cells_;
  std::vector<int> tints_;
  std::vector<int> percents_;
  std::vector<bool> serving_;
  std::wstring totalsText_;
  bool anyServing_ = false;
  bool allServing_ = false;
  bool controlsKnown_ = false;
  bool ended_ = false;
  bool shutDown_ = false;

  mutable std::mutex benchMutex_;
  std::shared_ptr<station::Bench> bench_;
  station::BenchPlan benchPlan_;  // the plan bench_ was made with (the commands' thread's)

  std::mutex questionMutex_;
  std::condition_variable questionAnswered_;
  bool closing_ = false;

  PostedWork posted_;

  std::mutex commandsMutex_;
  std::condition_variable_any commandsReady_;
  std::deque<std::function<void()>> commands_;
  std::jthread commander_;
};

// The production bench of a settings file, in its window until it is closed: the opener of
// `VeskaDownloader.exe --bench` and of the main window's system-menu item, modal over the
// thread's active window (the main window, when it asks). What the [Bench] section holds that
// cannot be read is said first; a section without a slot is said and opens nothing (1).
int RunBenchWindow(std::string_view programName, const std::filesystem::path& settingsFile);

}  // namespace veska::win32gui
