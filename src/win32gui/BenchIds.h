#pragma once

// The bench window's controls, by the ids the window gives them (tests drive the window by them).
namespace veska::win32gui::bench_ids {

inline constexpr int kRelease = 3001;
inline constexpr int kBrowse = 3002;
inline constexpr int kSelection = 3003;
inline constexpr int kDefaultCal = 3004;
inline constexpr int kVerify = 3005;
inline constexpr int kReboot = 3006;
inline constexpr int kStation = 3007;
inline constexpr int kStartAll = 3008;
inline constexpr int kStopAll = 3009;
inline constexpr int kSlots = 3010;
inline constexpr int kTotals = 3011;
inline constexpr int kOperator = 3012;
// The unit serial for the selected slot: a scanner types it and Enter, which starts the slot.
inline constexpr int kSerial = 3013;
// The slot log window's text.
inline constexpr int kLogText = 1;

// The list's columns, in order.
enum Column : int {
  kColumnName,
  kColumnPlace,
  kColumnDevice,
  kColumnState,
  kColumnProgress,
  kColumnRate,
  kColumnPasses,
  kColumnFailures,
  kColumnUnit,
  kColumnCount,
};

// The window classes, by which tests find the windows.
inline constexpr wchar_t kBenchClass[] = L"VeskaBench";
inline constexpr wchar_t kLogClass[] = L"VeskaBenchLog";

}  // namespace veska::win32gui::bench_ids
