#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/Cause.h"
#include "app/ControlIds.h"
#include "app/DlgNarrator.h"
#include "app/Engine.h"
#include "app/FlashMap.h"
#include "app/HostNotices.h"
#include "app/OperationRunner.h"
#include "app/ProcessState.h"
#include "app/SessionEvents.h"
#include "app/Settings.h"
#include "link/Crc32.h"
#include "link/SerialPort.h"
#include "link/Sinks.h"
#include "ui/Dialog.h"
#include "ui/Host.h"

namespace veska::app {

class DownloaderDlg;

// The operations that talk to the phone live in the layers above this one. Each registers the
// body of its button here (the hosts take the whole table from one registration function); a
// button whose operation is not registered does nothing. A body reports how it ended through
// the dialog's OperationRunner: it starts its worker there, runs there, or reports a refusal.
struct DlgOperations {
  using Body = std::function<void(DownloaderDlg&)>;
  void Set(OperationId id, Body body) { bodies[static_cast<std::size_t>(id)] = std::move(body); }
  // The body registered for `id` (empty when none).
  [[nodiscard]] const Body& For(OperationId id) const {
    return bodies[static_cast<std::size_t>(id)];
  }

  std::array<Body, kOperationCount> bodies;
};

// The link radio pair's indexes (linkType), as the template orders the two buttons.
inline constexpr std::int32_t kUartLinkType = 0;
inline constexpr std::int32_t kUsbLinkType = 1;
inline constexpr std::int32_t kNoLinkType = -1;

// Log pane capacity in characters. Far beyond any one session's narration (a full download
// logs a few kilobytes), yet small enough that the pane stays quick after days of use.
inline constexpr std::size_t kLogTextLimit = 4'000'000;

// The main dialog: the whole control surface of the program and the owner of its per-window
// state (selector indexes, link type, selection, image paths and sizes, listing paths, CRC
// table, progress count and the port record).
//
// Threads: the handlers run on the user-interface thread. Workers may call the state routines,
// AppendLog, ShowFileName, the field and progress updates: these act only through the window,
// which runs them on the user-interface thread in the worker's order.
class DownloaderDlg : public ui::Dialog, public link::ProgressSink {
 public:
  DownloaderDlg(ui::Host& host, ProcessState& state, const Settings& settings);
  ~DownloaderDlg() override;

  void SetOperations(DlgOperations operations) { operations_ = std::move(operations); }
  // Runs the operation `id` as its button does (the busy rule, one result through the runner),
  // whether or not the button is shown or enabled: for hosts that offer an operation the window
  // keeps hidden (the command line's format step).
  void Perform(OperationId id);
  // Starts, runs and reports this dialog's operations; its observer learns every result.
  [[nodiscard]] OperationRunner& Runner() { return runner_; }
  // The name of the chosen port as the log and the port layer use it: the device a host chose
  // by path (portDevice), else "COM<portIndex + 1>".
  [[nodiscard]] std::string PortName() const;

  // --- what the hosts present beside the log ---
  // Hears what the operations tell besides the log, typed (the images begun and ended, the
  // read-back, the progress, the long waits for the phone), on the thread they happen on. Set
  // it before the first operation starts.
  void SetEventObserver(SessionObserver observer) { eventObserver_ = std::move(observer); }
  void Publish(const SessionEvent& event) const {
    if (eventObserver_) eventObserver_(event);
  }
  // Where the port layer's diagnostics go besides the dialog's own record (standard output
  // unless a host says otherwise).
  void SetDiagnosticsOutput(link::DiagnosticSink& output) { portReasons_.SetOutput(output); }
  // The port diagnostics of the current (or last) operation, one a line: why a port failed.
  [[nodiscard]] std::string PortFailureReason() const { return portReasons_.Reason(); }
  // Shows a box that refuses a file with which file and why under its text (`detail`), as a
  // port's boxes carry the port's reason.
  void ShowFileRefusal(std::string_view text, std::string detail);
  // Hears Disconnect (or a quit) stop the operation that holds the phone, with that
  // operation's caption, on the user-interface thread before the port closes. Set it before
  // the first operation starts.
  void SetStopObserver(std::function<void(std::string_view operation)> observer) {
    stopObserver_ = std::move(observer);
  }
  // Hears every Disconnect (the user's, a quit's, a lost phone's) once it is done: the window
  // has let go of the phone, which must restart before anything else. On the user-interface
  // thread; set it before the first operation starts.
  void SetDisconnectObserver(std::function<void()> observer) {
    disconnectObserver_ = std::move(observer);
  }
  // Opens the production bench's window, from its item in the system menu below the about
  // box's. Set it before the dialog opens; without it the menu has no such item.
  void SetBenchOpener(std::function<void()> open) { openBench_ = std::move(open); }

  // --- a phone lost in the middle of an operation ---
  // Why the phone was lost when `result` is an operation after START that failed while the
  // port layer recorded the cause (a line that hung up, a device that went away or could no
  // longer be opened): the phone's loader cannot be reached again until the phone restarts.
  // Empty for every other result; START returns to the idle state by itself.
  [[nodiscard]] std::string LostPhoneReason(const OperationResult& result) const;
  // Says so in a message box naming `reason` and returns the window to its idle state, as
  // Disconnect does. On the user-interface thread, once the operation has ended; does nothing
  // while another operation holds the phone.
  void OnPhoneLost(std::string_view reason);

  // --- ui::Dialog ---
  bool OnInitDialog() override;
  bool OnCommand(int id, ui::Notify code) override;
  void OnSysCommand(unsigned id, long param) override;
  // EXIT, Esc and the close box: while an operation holds the phone they ask first, and Yes
  // stops it as Disconnect does before the window closes.
  void OnOK() override;
  void OnCancel() override;

  // Transfers the radio groups and check boxes: true from the controls into the members.
  void UpdateData(bool saveAndValidate);

  // --- control states ---
  void EnterIdleState();
  void EnterBusyState();
  void EnterConnectedState();
  void EnableSelectionControls();
  void DisableSelectionControls();
  // False when no port is chosen while the baud selector shows its first entry: every
  // operation that talks to the phone stops then. Shows nothing itself.
  [[nodiscard]] bool StartCheck();
  // The start of an operation the connected window offers (an erase, NAND Dump, TFS Explorer):
  // the busy state and the window's values read in. False when no port is chosen: the window
  // is back in its connected state and the refusal has been reported for `id`.
  [[nodiscard]] bool BeginConnectedOperation(OperationId id);
  // The desktop programs ask before NAND Erase, Bootloader Erase and Format, No the default,
  // saying what is lost; on the command line the step is the request itself and nothing asks.
  void SetConfirmErasing(bool confirm) { confirmErasing_ = confirm; }
  // True when `id` may go ahead; otherwise its refusal ("not confirmed") has been reported.
  [[nodiscard]] bool ConfirmErasing(OperationId id);

  // --- log, fields and progress ---
  void AppendLog(std::string_view text);
  void ShowFileName(std::string_view path);
  void ShowFileSize(std::uint32_t size);       // "<n> bytes"
  void ShowChecksum(std::uint32_t crc);        // "0x%08X"
  void SetProgressRange(std::uint32_t upper);  // 0 to upper
  void SetProgressPos(std::uint32_t position);
  // link::ProgressSink: counts bytes into progressCount and shows the new position.
  void AddProgress(std::size_t bytes) override;

  // --- message map (click and selection-change handlers) ---
  void OnApps();
  void OnComms();
  void OnSysInd();
  void OnSysDep();
  void OnPatch();
  void OnSpinner();
  void OnTfs();
  void OnUart();
  void OnUsb();
  void OnNandpreboot();
  void OnBoot1a();
  void OnBoot2();
  void OnSelChangePort();
  void OnSelChangeBaud();
  void OnDisconnect();
  void OnRsrc();
  void OnDb2();
  void OnBoot1b();
  void OnVerifyAfterDownload();

  // True when the window may close: no operation holds the phone, or the user chose to stop it.
  bool MayQuit();

  // Reads the remembered image paths into the members and their fields (start-up).
  void LoadSettings();

  // The paths a release folder holds, set as the Nandpreboot button derives them (Boot1a,
  // Boot1b, Boot2 and APPS from root/APPS, COMMS, Sys_dep, Sys_ind, Spinner and Patch from
  // root/COMMS), each with its member, field and settings key.
  void DeriveReleasePaths(const std::string& root);
  // One image path by its settings key (KEY_APPS, ...), with its member, field and settings
  // key, and for TFS and DB2 the copy and the listing path. False for an unknown key.
  bool SetImagePathByKey(std::string_view key, std::string value);

  [[nodiscard]] ui::Host& Host() const { return host_; }
  // What an engine started from this dialog runs with: the dialog's port, and its narrator and
  // clock, which map the engine's narration onto the window.
  [[nodiscard]] EngineContext Engine() { return {port, narrator_, narrator_, causes_}; }
  [[nodiscard]] Narrator& Narration() { return narrator_; }
  [[nodiscard]] ProcessState& State() const { return state_; }
  [[nodiscard]] const Settings& SettingsFile() const { return settings_; }

  // --- members ---
  double totalElapsed = 0.0;
  std::int32_t connectStatus = 0;
  std::int32_t baudIndex = 0;
  std::int32_t portIndex = -1;
  std::int32_t progressPos = 0;

  std::string m_strAPPSFileName;
  std::string m_strCOMMSFileName;
  std::string m_strSysIndFileName;
  std::string m_strSysDepFileName;
  std::string m_strSpinnerFileName;
  std::string m_strPatchFileName;
  std::string m_strOgmPath;  // TFS
  std::string m_strRsrcFileName;
  std::string m_strNandprebootFileName;
  std::string m_strBoot1FileName;  // Boot1a
  std::string m_strBoot1bFileName;
  std::string m_strBoot2FileName;
  std::string m_strOgmPath_DB2;  // DB2

  std::array<std::uint32_t, IMAGE_KIND_COUNT> imageSize{};

  std::string tfsPathCopy;
  std::string tfsListingPath;
  std::string db2PathCopy;
  std::string db2ListingPath;

  link::Crc32Table crc32Table;
  std::uint32_t progressCount = 0;

  std::int32_t linkType = kNoLinkType;  // the radio pair's index: kUartLinkType, kUsbLinkType
  std::int32_t selectionIndex = -1;     // 0-17, -1 none
  std::int32_t defaultCalData = 0;
  std::int32_t autoReboot = 0;
  // Read the written images back from the flash and compare them with their files before the
  // reboot request: the expert section's check box, or the command line's download --verify.
  std::int32_t verifyAfterDownload = 0;
  // The status of the last image transfer of a download (0, or the transfer's failure, or the
  // read-back's after it), for the download's result. Written and read by the download's worker
  // only.
  int lastTransferStatus = 0;
  int appIcon = IDR_MAINFRAME;

  // Set by the loader upload when the flash identity or the bad-block list did not arrive in
  // full (the phone went away): START then reports a failure although the log reads as usual.
  bool flashChecksFailed = false;

  // What START learnt of the flash. Written by START's worker before it reports its result.
  FlashReport flashReport;

  // The port record the operations fill and open.
  link::SerialPort port;
  // A device given by path (the command line's --port /dev/...) instead of the selector's COMn;
  // empty: the selector decides.
  std::string portDevice;

 private:
  bool confirmErasing_ = false;
  // The last file the user chose in an image's dialog this session, whichever the kind.
  std::string lastChosenImage_;
  // The common browse pattern: choose, test that the file opens, show it, remember it.
  void BrowseImage(const ImageInfo& kind);
  // For an already chosen path: the member takes it, the field shows it if the file opens (a
  // message box says when not), and the settings remember it.
  void TakeChosenImage(const ImageInfo& kind, const std::string& chosen);
  // The file-system browse rule (TFS and DB2).
  void BrowseFileSystem(const ImageInfo& kind, std::string& pathCopy, std::string& listingPath);
  // The open dialog for an image kind. It starts in the first of these folders that exists:
  // that of the kind's file, that of the last file chosen for any kind; else where the host
  // starts.
  std::optional<std::string> RunFileDialog(const ImageInfo& kind, unsigned flags);
  // Member, field and key together.
  void SetImagePath(const ImageInfo& kind, std::string value);
  // The COMMS folder's images of a release root; the spinner is looked up on disk.
  void DeriveCommsPaths(const std::string& root);
  void RunOperation(OperationId id);
  void SelectPort(std::int32_t index);
  // Disconnect's steps; `stopped` tells the stop observer (a user's Disconnect or quit).
  void Disconnect(bool stopped);

  ui::Host& host_;
  ProcessState& state_;
  const Settings& settings_;
  DlgOperations operations_;
  SessionObserver eventObserver_;
  std::function<void(std::string_view)> stopObserver_;
  std::function<void()> disconnectObserver_;
  std::function<void()> openBench_;
  PortReasonRecorder portReasons_;
  // What the running operation's engine and port noted as the reason it failed; a failed
  // result that names no cause of its own takes this one.
  CauseRecorder causes_;
  // Set while a button press is handled, for the message boxes it raises on this thread.
  std::atomic<bool> inRequest_{false};
  // The file a box being shown refuses, and why (ShowFileRefusal).
  std::mutex fileDetailMutex_;
  std::string fileDetail_;
  DlgNarrator narrator_{*this};
  // Last member: it waits for this dialog's workers before anything they use goes.
  OperationRunner runner_;
};

// The message box of a phone lost in the middle of an operation; the cause follows it.
inline constexpr std::string_view kPhoneLostText = "The connection to the phone was lost:";
// The questions before the operations that erase what no download writes back.
inline constexpr std::string_view kConfirmNandEraseText =
    "NAND Erase erases every block but the bootloader: the firmware, the file system and the "
    "calibration data are lost.\n\nErase the NAND flash?";
inline constexpr std::string_view kConfirmBootloaderEraseText =
    "Bootloader Erase erases the boot area: the phone does not start again until a bootloader "
    "is written (D / L Bootloader).\n\nErase the bootloader?";
inline constexpr std::string_view kConfirmFormatText =
    "Format erases the phone's file system: every file on it is lost.\n\nFormat the file "
    "system?";
inline constexpr std::string_view kPhoneLostAdvice =
    "Switch the phone off, press START and switch it on again.";

// The log pane's text in the idle state.
inline constexpr std::string_view kUsageText =
    "\n * How to use Download Mode\r\n\n    1. Turn off the target phone!!!\n    2. Select COM "
    "Port(USB or UART) , Baud Rate.\n    3. Push the Start Button.\n    4. Turn on the target "
    "phone!!!\n";

// True when the file opens for reading: a regular file that no other program holds under an
// exclusive lock (the nearest Linux comes to a file another program keeps open for itself).
[[nodiscard]] bool ImageFileOpens(const std::string& path);

}  // namespace veska::app
