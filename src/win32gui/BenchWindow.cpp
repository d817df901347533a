#include "win32gui/BenchWindow.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "app/FlashMap.h"
#include "app/Settings.h"
#include "app/TransferRate.h"
#include "link/FilePath.h"
#include "records/Record.h"
#include "ui/Host.h"
#include "win32gui/Text.h"

namespace veska::win32gui {

namespace {

using namespace bench_ids;

constexpr UINT_PTR kRedrawTimer = 1;
// Four times a second: the rows move smoothly and the window stays cheap at 32 slots.
constexpr UINT kRedrawInterval = 250;
// Work another thread posts waits in the window's queue.
constexpr UINT WM_BENCH_POSTED = WM_APP + 10;
// Commands beyond these, clicked while the bench is busy, are dropped.
constexpr std::size_t kCommandLimit = 64;

// The row menu's commands.
enum MenuCommand : UINT { kMenuShowLog = 1, kMenuStart, kMenuStop };

struct ColumnInfo {
  const wchar_t* title;
  int width;  // dialog units
  int format;
};
constexpr std::array<ColumnInfo, kColumnCount> kColumns{{
    {L"Slot", 34, LVCFMT_LEFT},
    {L"Place", 46, LVCFMT_LEFT},
    {L"Device", 64, LVCFMT_LEFT},
    {L"State", 150, LVCFMT_LEFT},
    {L"Progress", 62, LVCFMT_LEFT},
    {L"Rate, time left", 84, LVCFMT_LEFT},
    {L"Passes", 32, LVCFMT_RIGHT},
    {L"Failures", 36, LVCFMT_RIGHT},
    {L"Unit", 60, LVCFMT_LEFT},
}};

// A row's tint: none, a pass, a failure (failed or quarantined).
enum Tint : int { kNoTint, kPassTint, kFailTint };
constexpr COLORREF kPassColour = RGB(0xDC, 0xF4, 0xDC);
constexpr COLORREF kFailColour = RGB(0xF8, 0xD0, 0xD0);
constexpr COLORREF kBarColour = RGB(0x9C, 0xC8, 0xF0);

// The fields' layout, in dialog units.
constexpr int kMargin = 7;
constexpr int kLabelWidth = 56;
constexpr int kFieldWidth = 118;
constexpr int kButtonWidth = 56;
constexpr int kListTop = 80;
constexpr int kTotalsHeight = 10;
constexpr int kRowHeight = 10;  // about a list row, to size the window for its slots
constexpr int kSmallestWidth = 430;
constexpr int kWidth = 560;

Tint TintOf(const station::SlotRow& row) {
  switch (row.state) {
    case station::SlotState::Passed:
      return kPassTint;
    case station::SlotState::Failed:
    case station::SlotState::Quarantined:
      return kFailTint;
    default:
      return kNoTint;
  }
}

bool UnderWay(station::SlotState state) {
  return state == station::SlotState::Connecting || state == station::SlotState::Writing ||
         state == station::SlotState::Verifying;
}

// The phone's whole group as a percentage; -1 while nothing is known or no phone is there.
int PercentOf(const station::SlotRow& row) {
  const bool shown = UnderWay(row.state) || row.state == station::SlotState::Passed ||
                     row.state == station::SlotState::Failed;
  if (!shown || row.total <= 0) return -1;
  return static_cast<int>(std::clamp<std::int64_t>(row.done * 100 / row.total, 0, 100));
}

std::array<std::wstring, kColumnCount> CellsOf(const station::SlotRow& row) {
  std::array<std::wstring, kColumnCount> cells;
  cells[kColumnName] = Wide(row.name);
  cells[kColumnPlace] = Wide(row.place);
  cells[kColumnDevice] = Wide(row.device);
  cells[kColumnState] =
      Wide(row.stateText.empty() ? station::StateWord(row.state) : std::string_view(row.stateText));
  if (const int percent = PercentOf(row); percent >= 0) {
    cells[kColumnProgress] = std::to_wstring(percent) + L" %";
  }
  if (UnderWay(row.state) && row.bytesPerSecond > 0) {
    std::string rate = app::RateText(row.bytesPerSecond);
    if (row.secondsLeft >= 0) rate += ", " + app::DurationText(row.secondsLeft) + " left";
    cells[kColumnRate] = Wide(rate);
  }
  cells[kColumnPasses] = std::to_wstring(row.passes);
  cells[kColumnFailures] = std::to_wstring(row.failures);
  cells[kColumnUnit] = Wide(row.unitSerial);
  return cells;
}

std::wstring TotalsText(const station::Totals& totals) {
  char yield[32] = "-";
  if (totals.passed + totals.failed > 0) {
    std::snprintf(yield, sizeof(yield), "%.1f %%", totals.firstPassYield * 100.0);
  }
  char text[256];
  std::snprintf(
      text, sizeof(text),
      "Passed: %d     Failed: %d     First-pass yield: %s     Phones per hour: %.1f     "
      "Mean cycle: %s",
      totals.passed, totals.failed, yield, totals.phonesPerHour,
      totals.meanCycleSeconds > 0 ? app::DurationText(totals.meanCycleSeconds).c_str() : "-");
  return Wide(text);
}

// Only what the window's fields change: the rest of the plan is the settings'.
bool SamePlan(const station::BenchPlan& a, const station::BenchPlan& b) {
  return a.release == b.release && a.selection == b.selection && a.defaultCal == b.defaultCal &&
         a.verify == b.verify && a.reboot == b.reboot && a.station == b.station &&
         a.operatorName == b.operatorName;
}

std::wstring TextOf(HWND control) {
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(std::max(GetWindowTextW(control, text.data(), length + 1), 0)));
  return text;
}

bool Checked(HWND box) {
  return SendMessageW(box, BM_GETCHECK, 0, 0) == ui::BST_CHECKED;
}

void SetChecked(HWND box, bool checked) {
  SendMessageW(box, BM_SETCHECK, checked ? ui::BST_CHECKED : ui::BST_UNCHECKED, 0);
}

void RegisterClasses(WNDPROC bench, WNDPROC log) {
  static const bool registered = [bench, log] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = bench;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kBenchClass;
    const bool benchClass = RegisterClassExW(&windowClass) != 0;
    windowClass.lpfnWndProc = log;
    windowClass.lpszClassName = kLogClass;
    return benchClass && RegisterClassExW(&windowClass) != 0;
  }();
  (void)registered;
}

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;

}  // namespace

BenchWindow::BenchWindow(BenchSetup setup, std::string caption, HWND owner)
    : setup_(std::move(setup)),
      caption_(Wide(caption)),
      owner_(owner),
      font_(DialogFontOf("Tahoma", 8)),
      fixedFont_(FixedPitchFontOf(8)),
      units_(MeasureDialogUnits(font_.get())) {
  RegisterClasses(&WindowProc, &LogProc);
  // The list view's class, which the main window does not need.
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  bench_ = MakeBench(setup_.bench.plan);
  benchPlan_ = setup_.bench.plan;
  const int rows = static_cast<int>(std::clamp<std::size_t>(setup_.bench.plan.slots.size(), 4, 16));
  RECT frame{0, 0, units_.X(kWidth),
             units_.Y(kListTop + 14 + rows * kRowHeight + 8 + kTotalsHeight + kMargin)};
  AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  window_.reset(CreateWindowExW(kExStyle, kBenchClass, L"Production bench", kStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                                owner, nullptr, GetModuleHandleW(nullptr), this));
  if (!window_) return;
  SendMessageW(window_.get(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  Build();
  commander_ = std::jthread([this](std::stop_token stop) {
    for (;;) {
      std::function<void()> work;
      {
        std::unique_lock lock(commandsMutex_);
        if (!commandsReady_.wait(lock, stop, [this] { return !commands_.empty(); })) return;
        work = std::move(commands_.front());
        commands_.pop_front();
      }
      work();
    }
  });
}

BenchWindow::~BenchWindow() {
  Shutdown();
  if (window_) SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
  logs_.clear();
  window_.reset();
}

void BenchWindow::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  {
    const std::lock_guard lock(questionMutex_);
    closing_ = true;
  }
  questionAnswered_.notify_all();
  commander_.request_stop();
  if (commander_.joinable()) commander_.join();
  std::shared_ptr<station::Bench> bench;
  {
    const std::lock_guard lock(benchMutex_);
    bench = std::move(bench_);
  }
  // Stops every slot and waits for them: a slot still asking gets no answer now.
  bench.reset();
  posted_.Clear();
}

HWND BenchWindow::MakeControl(const wchar_t* className, const wchar_t* text, DWORD style,
                              DWORD exStyle, int id) {
  HWND control = CreateWindowExW(
      exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window_.get(),
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (control != nullptr) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  }
  return control;
}

void BenchWindow::Build() {
  constexpr int kStaticId = 0xFFFF;
  labels_[0] = MakeControl(L"STATIC", L"Release folder:", SS_LEFT, 0, kStaticId);
  release_ = MakeControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, kRelease);
  browse_ = MakeControl(L"BUTTON", L"Browse...", BS_PUSHBUTTON | WS_TABSTOP, 0, kBrowse);
  labels_[1] = MakeControl(L"STATIC", L"Selection:", SS_LEFT, 0, kStaticId);
  selection_ =
      MakeControl(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, kSelection);
  defaultCal_ = MakeControl(L"BUTTON", L"Default calibration data", BS_AUTOCHECKBOX | WS_TABSTOP, 0,
                            kDefaultCal);
  verify_ = MakeControl(L"BUTTON", L"Verify", BS_AUTOCHECKBOX | WS_TABSTOP, 0, kVerify);
  reboot_ = MakeControl(L"BUTTON", L"Reboot", BS_AUTOCHECKBOX | WS_TABSTOP, 0, kReboot);
  labels_[2] = MakeControl(L"STATIC", L"Station:", SS_LEFT, 0, kStaticId);
  station_ = MakeControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, kStation);
  labels_[3] = MakeControl(L"STATIC", L"Operator:", SS_LEFT, 0, kStaticId);
  operator_ = MakeControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, kOperator);
  SendMessageW(operator_, EM_SETLIMITTEXT, records::kMaxUnitText, 0);
  labels_[4] = MakeControl(L"STATIC", L"Serial:", SS_LEFT, 0, kStaticId);
  serial_ = MakeControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, kSerial);
  startAll_ = MakeControl(L"BUTTON", L"Start all", BS_PUSHBUTTON | WS_TABSTOP, 0, kStartAll);
  stopAll_ = MakeControl(L"BUTTON", L"Stop all", BS_PUSHBUTTON | WS_TABSTOP, 0, kStopAll);
  list_ = MakeControl(WC_LISTVIEWW, L"",
                      LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP | WS_BORDER, 0,
                      kSlots);
  totals_ = MakeControl(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, 0, kTotals);

  for (int i = 0; i < app::SELECTION_COUNT; ++i) {
    const app::SelectionInfo* info = app::Selection(i);
    SendMessageW(selection_, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(Wide(info->caption).c_str()));
  }
  SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
  for (int column = 0; column < kColumnCount; ++column) {
    const ColumnInfo& info = kColumns[static_cast<std::size_t>(column)];
    LVCOLUMNW entry{};
    entry.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
    entry.fmt = info.format;
    entry.cx = units_.X(info.width);
    entry.pszText = const_cast<wchar_t*>(info.title);
    entry.iSubItem = column;
    SendMessageW(list_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(&entry));
  }
  FillFields(setup_.bench.plan);
  auto* icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  if (icon != nullptr) {
    SendMessageW(window_.get(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  }
  RECT client{};
  GetClientRect(window_.get(), &client);
  Layout(client.right, client.bottom);
}

void BenchWindow::Layout(int width, int height) {
  const DialogUnits& u = units_;
  const auto place = [](HWND control, int x, int y, int w, int h) {
    MoveWindow(control, x, y, std::max(w, 0), std::max(h, 0), TRUE);
  };
  const int left = u.X(kMargin);
  const int field = left + u.X(kLabelWidth);
  const int right = width - u.X(kMargin);
  // The release folder over the window's width, its browse button at the right.
  place(labels_[0], left, u.Y(9), u.X(kLabelWidth), u.Y(8));
  place(browse_, right - u.X(50), u.Y(7), u.X(50), u.Y(14));
  place(release_, field, u.Y(8), right - u.X(54) - field, u.Y(12));
  // The selection and its switches.
  place(labels_[1], left, u.Y(27), u.X(kLabelWidth), u.Y(8));
  place(selection_, field, u.Y(25), u.X(kFieldWidth), u.Y(120));
  int x = field + u.X(kFieldWidth + 10);
  place(defaultCal_, x, u.Y(26), u.X(96), u.Y(10));
  x += u.X(100);
  place(verify_, x, u.Y(26), u.X(36), u.Y(10));
  x += u.X(40);
  place(reboot_, x, u.Y(26), u.X(40), u.Y(10));
  // The station's name and the buttons.
  place(labels_[2], left, u.Y(45), u.X(kLabelWidth), u.Y(8));
  place(station_, field, u.Y(43), u.X(kFieldWidth), u.Y(12));
  x = field + u.X(kFieldWidth + 10);
  place(startAll_, x, u.Y(42), u.X(kButtonWidth), u.Y(14));
  place(stopAll_, x + u.X(kButtonWidth + 6), u.Y(42), u.X(kButtonWidth), u.Y(14));
  // Who serves, and the unit serial for the selected slot (a scanner's field).
  place(labels_[3], left, u.Y(63), u.X(kLabelWidth), u.Y(8));
  place(operator_, field, u.Y(61), u.X(kFieldWidth), u.Y(12));
  place(labels_[4], x, u.Y(63), u.X(30), u.Y(8));
  place(serial_, x + u.X(32), u.Y(61), right - x - u.X(32), u.Y(12));
  // The slots take the rest, the totals under them.
  const int totalsTop = height - u.Y(kMargin + kTotalsHeight);
  place(list_, left, u.Y(kListTop), right - left, totalsTop - u.Y(4) - u.Y(kListTop));
  place(totals_, left, totalsTop, right - left, u.Y(kTotalsHeight));
}

SIZE BenchWindow::SmallestSize() const {
  RECT frame{0, 0, units_.X(kSmallestWidth), units_.Y(kListTop + 60 + kTotalsHeight + kMargin)};
  AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  return SIZE{frame.right - frame.left, frame.bottom - frame.top};
}

void BenchWindow::FillFields(const station::BenchPlan& plan) {
  SetWindowTextW(release_, Wide(plan.release).c_str());
  int selection = app::SelectionByName(plan.selection);
  if (selection < 0) selection = app::SelectionByName("all-bin");
  SendMessageW(selection_, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
  SetChecked(defaultCal_, plan.defaultCal);
  SetChecked(verify_, plan.verify);
  SetChecked(reboot_, plan.reboot);
  SetWindowTextW(station_, Wide(plan.station).c_str());
  SetWindowTextW(operator_, Wide(plan.operatorName).c_str());
}

station::BenchPlan BenchWindow::PlanOfFields() const {
  station::BenchPlan plan = setup_.bench.plan;
  plan.release = Narrow(TextOf(release_));
  const auto index = static_cast<std::int32_t>(SendMessageW(selection_, CB_GETCURSEL, 0, 0));
  if (const app::SelectionInfo* info = app::Selection(index)) {
    plan.selection = std::string(info->cliName);
  }
  plan.defaultCal = Checked(defaultCal_);
  plan.verify = Checked(verify_);
  plan.reboot = Checked(reboot_);
  plan.station = Narrow(TextOf(station_));
  plan.operatorName = Narrow(TextOf(operator_));
  return plan;
}

void BenchWindow::Browse() {
  // The common dialogs choose files: any file of the release names its folder.
  std::wstring file(32768, L'\0');
  const std::wstring folder = TextOf(release_);
  const std::wstring filter = FileDialogFilter("All files (*.*)|*.*||");
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = window_.get();
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  dialog.lpstrTitle = L"Release folder: choose any file in it";
  dialog.Flags = ui::OFN_FILEMUSTEXIST | ui::OFN_HIDEREADONLY | OFN_EXPLORER | OFN_NOCHANGEDIR;
  if (GetOpenFileNameW(&dialog) == FALSE) return;
  const std::filesystem::path chosen(file.c_str());
  SetWindowTextW(release_, chosen.parent_path().wstring().c_str());
}

LRESULT CALLBACK BenchWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<BenchWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || !self->window_) return DefWindowProcW(window, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT BenchWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND window = window_.get();
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED || lParam == 0) break;
      switch (LOWORD(wParam)) {
        case kBrowse:
          Browse();
          return 0;
        case kStartAll:
          StartServing(std::nullopt);
          return 0;
        case kStopAll:
          StopServing(std::nullopt);
          return 0;
        default:
          break;
      }
      break;
    case WM_NOTIFY: {
      auto& header = *reinterpret_cast<NMHDR*>(lParam);
      if (header.hwndFrom != list_) break;
      if (header.code == NM_CUSTOMDRAW) {
        return CustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
      }
      if (header.code == NM_DBLCLK) {
        // A double click on a row is the quick way to its log.
        if (const int row = reinterpret_cast<const NMITEMACTIVATE*>(lParam)->iItem; row >= 0) {
          ShowLog(static_cast<std::size_t>(row));
        }
        return 0;
      }
      break;
    }
    case WM_CONTEXTMENU:
      OnContextMenu(reinterpret_cast<HWND>(wParam), lParam);
      return 0;
    case WM_TIMER:
      if (wParam == kRedrawTimer) {
        Redraw();
        return 0;
      }
      break;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) Layout(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_GETMINMAXINFO: {
      const SIZE smallest = SmallestSize();
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = POINT{smallest.cx, smallest.cy};
      return 0;
    }
    case WM_CLOSE:
      Close();
      return 0;
    case WM_BENCH_POSTED:
      posted_.RunAll();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void BenchWindow::Run() {
  HWND window = window_.get();
  if (window == nullptr) return;
  if (owner_ != nullptr) EnableWindow(owner_, FALSE);
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  Redraw();
  SetTimer(window, kRedrawTimer, kRedrawInterval, nullptr);
  if (setup_.bench.autoStart) StartServing(std::nullopt);
  MSG message{};
  while (!ended_) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got < 0) break;
    // Enter in the serial field (a scanner's line end) starts the selected slot with it,
    // before the dialog manager would take the key for a default button.
    if (message.hwnd == serial_ && message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
      StartWithSerial();
      continue;
    }
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  KillTimer(window, kRedrawTimer);
  for (WindowHandle& log : logs_) {
    if (log) ShowWindow(log.get(), SW_HIDE);
  }
  ShowWindow(window, SW_HIDE);
  Shutdown();
  if (owner_ != nullptr) {
    EnableWindow(owner_, TRUE);
    SetActiveWindow(owner_);
  }
}

void BenchWindow::Close() {
  if (anyServing_) {
    const int answer =
        MessageBoxW(window_.get(), L"Slots are still serving phones. Stop them all and close?",
                    caption_.c_str(), ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
    if (answer != ui::IDYES) return;
  }
  ended_ = true;
  // Wakes the loop, which looks at the flag after each message.
  PostMessageW(window_.get(), WM_NULL, 0, 0);
}

void BenchWindow::Redraw() {
  const std::shared_ptr<station::Bench> bench = CurrentBench();
  if (!bench) return;
  const std::vector<station::SlotRow> rows = bench->Rows();
  if (rows.size() != cells_.size()) ResetItems(rows.size());
  bool anyServing = false;
  bool allServing = !rows.empty();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const station::SlotRow& row = rows[i];
    const auto item = static_cast<WPARAM>(i);
    const int tint = TintOf(row);
    const int percent = PercentOf(row);
    const bool recolour = tint != tints_[i] || percent != percents_[i];
    tints_[i] = tint;
    percents_[i] = percent;
    std::array<std::wstring, kColumnCount> cells = CellsOf(row);
    for (int column = 0; column < kColumnCount; ++column) {
      std::wstring& shown = cells_[i][static_cast<std::size_t>(column)];
      if (shown == cells[static_cast<std::size_t>(column)]) continue;
      shown = std::move(cells[static_cast<std::size_t>(column)]);
      LVITEMW entry{};
      entry.iSubItem = column;
      entry.pszText = shown.data();
      SendMessageW(list_, LVM_SETITEMTEXTW, item, reinterpret_cast<LPARAM>(&entry));
    }
    if (recolour) SendMessageW(list_, LVM_REDRAWITEMS, item, static_cast<LPARAM>(item));
    serving_[i] = row.serving;
    anyServing = anyServing || row.serving;
    allServing = allServing && row.serving;
  }
  if (std::wstring totals = TotalsText(bench->Sum()); totals != totalsText_) {
    totalsText_ = std::move(totals);
    SetWindowTextW(totals_, totalsText_.c_str());
  }
  EnableControls(anyServing, allServing);
}

void BenchWindow::ResetItems(std::size_t count) {
  SendMessageW(list_, LVM_DELETEALLITEMS, 0, 0);
  for (std::size_t i = 0; i < count; ++i) {
    LVITEMW entry{};
    entry.mask = LVIF_TEXT;
    entry.iItem = static_cast<int>(i);
    entry.pszText = const_cast<wchar_t*>(L"");
    SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&entry));
  }
  cells_.assign(count, {});
  tints_.assign(count, kNoTint);
  percents_.assign(count, -1);
  serving_.assign(count, false);
}

void BenchWindow::EnableControls(bool anyServing, bool allServing) {
  if (controlsKnown_ && anyServing == anyServing_ && allServing == allServing_) return;
  controlsKnown_ = true;
  anyServing_ = anyServing;
  allServing_ = allServing;
  // A serving bench keeps its plan; a locked one keeps the settings' plan.
  const BOOL fields = !setup_.bench.locked && !anyServing ? TRUE : FALSE;
  for (HWND control :
       {release_, browse_, selection_, defaultCal_, verify_, reboot_, station_, operator_}) {
    EnableWindow(control, fields);
  }
  EnableWindow(startAll_, allServing ? FALSE : TRUE);
  EnableWindow(stopAll_, anyServing ? TRUE : FALSE);
}

LRESULT BenchWindow::CustomDraw(NMLVCUSTOMDRAW& draw) {
  switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
      const std::size_t row = draw.nmcd.dwItemSpec;
      const int tint = row < tints_.size() ? tints_[row] : kNoTint;
      // Every cell is coloured: the list keeps the last cell's colours for the next.
      const COLORREF background = tint == kPassTint   ? kPassColour
                                  : tint == kFailTint ? kFailColour
                                                      : GetSysColor(COLOR_WINDOW);
      draw.clrTextBk = background;
      draw.clrText = GetSysColor(COLOR_WINDOWTEXT);
      if (draw.iSubItem == kColumnProgress && row < percents_.size() && percents_[row] >= 0) {
        DrawBar(draw, background);
        return CDRF_SKIPDEFAULT;
      }
      return CDRF_NEWFONT;
    }
    default:
      return CDRF_DODEFAULT;
  }
}

void BenchWindow::DrawBar(const NMLVCUSTOMDRAW& draw, COLORREF background) {
  const std::size_t row = draw.nmcd.dwItemSpec;
  RECT cell{};
  cell.top = draw.iSubItem;
  cell.left = LVIR_BOUNDS;
  if (SendMessageW(list_, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(&cell)) == 0) {
    return;
  }
  HDC dc = draw.nmcd.hdc;
  SetDCBrushColor(dc, background);
  FillRect(dc, &cell, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
  RECT bar{cell.left + 2, cell.top + 2, cell.right - 2, cell.bottom - 2};
  if (bar.right <= bar.left || bar.bottom <= bar.top) return;
  FillRect(dc, &bar, GetSysColorBrush(COLOR_WINDOW));
  RECT done = bar;
  done.right = bar.left + MulDiv(bar.right - bar.left, percents_[row], 100);
  SetDCBrushColor(dc, kBarColour);
  FillRect(dc, &done, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
  FrameRect(dc, &bar, GetSysColorBrush(COLOR_BTNSHADOW));
  const std::wstring& text = cells_[row][kColumnProgress];
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &bar,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

void BenchWindow::OnContextMenu(HWND over, LPARAM lParam) {
  if (over != list_) return;
  POINT screen{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  int row = -1;
  if (screen.x == -1 && screen.y == -1) {
    // From the keyboard: the selected row, the menu at its corner.
    row = static_cast<int>(SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                        MAKELPARAM(LVNI_SELECTED, 0)));
    RECT rect{};
    rect.left = LVIR_BOUNDS;
    if (row < 0 || SendMessageW(list_, LVM_GETITEMRECT, static_cast<WPARAM>(row),
                                reinterpret_cast<LPARAM>(&rect)) == 0) {
      return;
    }
    screen = POINT{rect.left, rect.bottom};
    ClientToScreen(list_, &screen);
  } else {
    LVHITTESTINFO hit{};
    hit.pt = screen;
    ScreenToClient(list_, &hit.pt);
    row = static_cast<int>(
        SendMessageW(list_, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
    if (row < 0) return;
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&state));
  }
  const auto slot = static_cast<std::size_t>(row);
  if (slot >= serving_.size()) return;
  MenuHandle menu(CreatePopupMenu());
  if (!menu) return;
  AppendMenuW(menu.get(), MF_STRING, kMenuShowLog, L"Show log");
  AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu.get(), MF_STRING | (serving_[slot] ? MF_GRAYED : MF_ENABLED), kMenuStart,
              L"Start");
  AppendMenuW(menu.get(), MF_STRING | (serving_[slot] ? MF_ENABLED : MF_GRAYED), kMenuStop,
              L"Stop");
  // A menu whose owner is not in front stays open when the user clicks elsewhere.
  SetForegroundWindow(window_.get());
  const BOOL command = TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                      screen.x, screen.y, 0, window_.get(), nullptr);
  switch (command) {
    case kMenuShowLog:
      ShowLog(slot);
      break;
    case kMenuStart:
      StartServing(slot);
      break;
    case kMenuStop:
      StopServing(slot);
      break;
    default:
      break;
  }
}

LRESULT CALLBACK BenchWindow::LogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      MoveWindow(GetDlgItem(window, kLogText), 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_CLOSE:
      // Kept for the slot's next look; the bench window ends it.
      ShowWindow(window, SW_HIDE);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void BenchWindow::ShowLog(std::size_t slot) {
  const std::shared_ptr<station::Bench> bench = CurrentBench();
  if (!bench || slot >= bench->SlotCount()) return;
  if (logs_.size() < bench->SlotCount()) logs_.resize(bench->SlotCount());
  WindowHandle& log = logs_[slot];
  if (!log) {
    RECT frame{0, 0, units_.X(420), units_.Y(260)};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    log.reset(CreateWindowExW(0, kLogClass, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              frame.right - frame.left, frame.bottom - frame.top, window_.get(),
                              nullptr, GetModuleHandleW(nullptr), nullptr));
    if (!log) return;
    HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                    ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                0, 0, 0, 0, log.get(),
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLogText)),
                                GetModuleHandleW(nullptr), nullptr);
    if (edit == nullptr) return;
    // The session log's columns line up in a fixed pitch, with tab stops every eight characters.
    HFONT font =
        fixedFont_ ? fixedFont_.get() : static_cast<HFONT>(GetStockObject(ANSI_FIXED_FONT));
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
    const int stop = 8 * 4;
    SendMessageW(edit, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&stop));
    RECT client{};
    GetClientRect(log.get(), &client);
    MoveWindow(edit, 0, 0, client.right, client.bottom, FALSE);
  }
  const std::vector<station::SlotRow> rows = bench->Rows();
  std::string title = "Log of " + (slot < rows.size() ? rows[slot].name : std::to_string(slot + 1));
  if (slot < rows.size() && !rows[slot].place.empty()) title += " (" + rows[slot].place + ")";
  SetWindowTextW(log.get(), Wide(title).c_str());
  HWND edit = GetDlgItem(log.get(), kLogText);
  SetWindowTextW(edit, CrLf(Wide(bench->SlotLog(slot))).c_str());
  // The latest lines in sight.
  const LPARAM end = GetWindowTextLengthW(edit);
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(edit, EM_SCROLLCARET, 0, 0);
  ShowWindow(log.get(), SW_SHOW);
  SetForegroundWindow(log.get());
}

void BenchWindow::StartServing(std::optional<std::size_t> slot, std::optional<std::string> serial) {
  station::BenchPlan plan = PlanOfFields();
  if (!SamePlan(plan, setup_.bench.plan)) {
    setup_.bench.plan = plan;
    if (setup_.remember) setup_.remember(setup_.bench);
  }
  Command([this, plan = std::move(plan), slot, serial = std::move(serial)] {
    const std::shared_ptr<station::Bench> bench = BenchFor(plan);
    // Nothing starts on a plan a phone would refuse: the refusal is the download's own.
    if (std::string refusal = bench->Check(); !refusal.empty()) {
      ShowRefusal(refusal);
      return;
    }
    // The serial goes to the bench the slot serves with, made just now when the plan changed.
    if (slot && serial) {
      if (std::string refusal = bench->SetUnitSerial(*slot, *serial); !refusal.empty()) {
        ShowRefusal(refusal);
        return;
      }
    }
    const std::string refused = slot ? bench->Start(*slot) : bench->StartAll();
    if (!refused.empty()) ShowRefusal(refused);
  });
}

void BenchWindow::ShowRefusal(const std::string& refusal) {
  Post([this, text = CrLf(Wide(refusal))] {
    MessageBoxW(window_.get(), text.c_str(), caption_.c_str(), ui::MB_OK | ui::MB_ICONWARNING);
  });
}

void BenchWindow::StartWithSerial() {
  const int selected = static_cast<int>(
      SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_SELECTED, 0)));
  const std::size_t slot = selected < 0 ? 0 : static_cast<std::size_t>(selected);
  if (slot >= cells_.size()) return;
  std::string serial = Narrow(TextOf(serial_));
  SetWindowTextW(serial_, L"");
  StartServing(slot, std::move(serial));
  // The next scan is most likely for the hub's next slot.
  if (slot + 1 < cells_.size()) {
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list_, LVM_SETITEMSTATE, slot + 1, reinterpret_cast<LPARAM>(&state));
    SendMessageW(list_, LVM_ENSUREVISIBLE, slot + 1, FALSE);
  }
}

void BenchWindow::StopServing(std::optional<std::size_t> slot) {
  Command([this, slot] {
    const std::shared_ptr<station::Bench> bench = CurrentBench();
    if (!bench) return;
    if (slot) {
      bench->Stop(*slot);
    } else {
      bench->StopAll();
    }
  });
}

std::shared_ptr<station::Bench> BenchWindow::CurrentBench() const {
  const std::lock_guard lock(benchMutex_);
  return bench_;
}

std::shared_ptr<station::Bench> BenchWindow::BenchFor(const station::BenchPlan& plan) {
  std::shared_ptr<station::Bench> current = CurrentBench();
  if (current && SamePlan(plan, benchPlan_)) return current;
  if (current) {
    const std::vector<station::SlotRow> rows = current->Rows();
    // A serving bench keeps its plan (the fields are disabled while it serves).
    if (std::any_of(rows.begin(), rows.end(), [](const auto& row) { return row.serving; })) {
      return current;
    }
  }
  std::shared_ptr<station::Bench> fresh = MakeBench(plan);
  {
    const std::lock_guard lock(benchMutex_);
    bench_ = fresh;
  }
  benchPlan_ = plan;
  // The old bench, its slots all stopped, goes here rather than on the window's thread.
  current.reset();
  return fresh;
}

std::shared_ptr<station::Bench> BenchWindow::MakeBench(const station::BenchPlan& plan) {
  auto bench = std::make_shared<station::Bench>(plan);
  bench->SetQuestionAsker(
      [this](std::string_view text, std::string_view caption) { return Ask(text, caption); });
  return bench;
}

std::optional<int> BenchWindow::Ask(std::string_view text, std::string_view caption) {
  auto question = std::make_shared<Question>();
  std::wstring body = CrLf(Wide(text));
  std::wstring title = caption.empty() ? caption_ : Wide(caption);
  std::unique_lock lock(questionMutex_);
  if (closing_) return std::nullopt;
  Post([this, question, body = std::move(body), title = std::move(title)] {
    // No is the safe answer, as the download's own question has it.
    const int answer = MessageBoxW(window_.get(), body.c_str(), title.c_str(),
                                   ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
    {
      const std::lock_guard answered(questionMutex_);
      question->answer = answer;
      question->answered = true;
    }
    questionAnswered_.notify_all();
  });
  questionAnswered_.wait(lock, [&] { return question->answered || closing_; });
  if (!question->answered || question->answer == 0) return std::nullopt;
  return question->answer;
}

void BenchWindow::Command(std::function<void()> work) {
  {
    const std::lock_guard lock(commandsMutex_);
    if (commands_.size() >= kCommandLimit) return;
    commands_.push_back(std::move(work));
  }
  commandsReady_.notify_one();
}

void BenchWindow::Post(std::function<void()> work) {
  posted_.Add(std::move(work));
  PostMessageW(window_.get(), WM_BENCH_POSTED, 0, 0);
}

int RunBenchWindow(std::string_view programName, const std::filesystem::path& settingsFile) {
  const app::Settings settings(settingsFile);
  desktop::BenchSettingsReading reading = desktop::ReadBenchSettings(settings);
  const std::string caption(programName);
  HWND owner = GetActiveWindow();
  const auto say = [&](const std::string& text) {
    MessageBoxW(owner, CrLf(Wide(text)).c_str(), Wide(caption).c_str(),
                ui::MB_OK | ui::MB_ICONWARNING);
  };
  if (!reading.problems.empty()) {
    std::string text = "The bench's settings hold values it cannot take; it uses their defaults:";
    for (const std::string& problem : reading.problems) text += "\n" + problem;
    say(text);
  }
  if (reading.bench.plan.slots.empty()) {
    say("The settings file " + link::Utf8Of(settingsFile) +
        " names no slot for the bench: its [Bench] section needs Slot1=COM5 (or usb:LOCATION), "
        "Slot2=... for its ports.");
    return 1;
  }
  BenchSetup setup{std::move(reading.bench), [&settings](const desktop::BenchSettings& bench) {
                     // A choice that cannot be written still holds for this run, as the main
                     // window's do.
                     (void)desktop::SaveBenchSettings(settings, bench);
                   }};
  BenchWindow window(std::move(setup), caption, owner);
  window.Run();
  return 0;
}

}  // namespace veska::win32gui
