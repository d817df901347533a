#include "app/DownloaderDlg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>

#include "app/AboutDlg.h"
#include "app/PathRules.h"
#include "app/Templates.h"
#include "payloads/PayloadSet.h"
#include "ui/DataExchange.h"

namespace veska::app {

namespace {

using ui::Notify;

// Section "Setting": how many seconds a connected phone may stay silent (see LinkState).
constexpr std::string_view KEY_REPLY_TIMEOUT = "ReplyTimeout";
// 1: every download reads what it wrote back and compares it with the files.
constexpr std::string_view KEY_VERIFY_AFTER_DOWNLOAD = "VerifyAfterDownload";
// The download selection last chosen (0-17), for the next session to start with.
constexpr std::string_view KEY_DOWNLOAD_SELECTION = "DownloadSelection";

// The message map: which handler a control's notification reaches, in the dialog's order.
struct MessageMapEntry {
  Notify code;
  int id;
  void (DownloaderDlg::*handler)();
};

constexpr MessageMapEntry kMessageMap[] = {
    {Notify::Clicked, IDC_APPS, &DownloaderDlg::OnApps},
    {Notify::Clicked, IDC_COMMS, &DownloaderDlg::OnComms},
    {Notify::Clicked, IDC_SYS_IND, &DownloaderDlg::OnSysInd},
    {Notify::Clicked, IDC_SYS_DEP, &DownloaderDlg::OnSysDep},
    {Notify::Clicked, IDC_PATCH, &DownloaderDlg::OnPatch},
    {Notify::Clicked, IDC_SPINNER, &DownloaderDlg::OnSpinner},
    {Notify::Clicked, IDC_TFS, &DownloaderDlg::OnTfs},
    {Notify::Clicked, IDC_UART, &DownloaderDlg::OnUart},
    {Notify::Clicked, IDC_USB, &DownloaderDlg::OnUsb},
    {Notify::Clicked, IDC_NANDPREBOOT, &DownloaderDlg::OnNandpreboot},
    {Notify::Clicked, IDC_BOOT1A, &DownloaderDlg::OnBoot1a},
    {Notify::Clicked, IDC_BOOT2, &DownloaderDlg::OnBoot2},
    {Notify::SelChange, IDC_PORT, &DownloaderDlg::OnSelChangePort},
    {Notify::SelChange, IDC_BAUD, &DownloaderDlg::OnSelChangeBaud},
    {Notify::Clicked, IDC_DISCONNECT, &DownloaderDlg::OnDisconnect},
    {Notify::Clicked, IDC_RSRC, &DownloaderDlg::OnRsrc},
    {Notify::Clicked, IDC_DB2, &DownloaderDlg::OnDb2},
    {Notify::Clicked, IDC_BOOT1B, &DownloaderDlg::OnBoot1b},
    {Notify::Clicked, IDC_VERIFY_AFTER_DOWNLOAD, &DownloaderDlg::OnVerifyAfterDownload},
};

// The controls that start an operation from the connected state, and the browse buttons, in
// the order the states switch them.
constexpr int kBrowseButtons[] = {IDC_APPS,  IDC_COMMS, IDC_SYS_DEP,     IDC_SYS_IND, IDC_SPINNER,
                                  IDC_PATCH, IDC_TFS,   IDC_NANDPREBOOT, IDC_BOOT1A,  IDC_BOOT1B,
                                  IDC_BOOT2, IDC_RSRC,  IDC_DB2};

// The selection controls, in the order they are switched. The hidden radio buttons of the
// single boot stages (1050, 1051, 1052, 1060) are left alone.
constexpr int kSelectionControls[] = {IDC_SEL_APPS,
                                      IDC_SEL_COMMS,
                                      IDC_SEL_SYS_IND,
                                      IDC_SEL_SYS_DEP,
                                      IDC_SEL_PATCH,
                                      IDC_SEL_SPINNER,
                                      IDC_SEL_TFS,
                                      IDC_SEL_ALL_PARAMETERS,
                                      IDC_SEL_ALL_BINARY,
                                      IDC_SEL_ALL_BINARY_FS,
                                      IDC_SEL_BOOTLOADER,
                                      IDC_SEL_RSRC,
                                      IDC_SEL_FS_FILES,
                                      IDC_SEL_DB2,
                                      IDC_SEL_BOOTLOADER_ALL,
                                      IDC_DEFAULT_CAL_DATA,
                                      IDC_AUTO_REBOOT,
                                      IDC_VERIFY_AFTER_DOWNLOAD};

// The radio buttons of the download selection.
bool IsSelectionRadio(int id) {
  for (int control : kSelectionControls) {
    if (control == id)
      return id != IDC_DEFAULT_CAL_DATA && id != IDC_AUTO_REBOOT && id != IDC_VERIFY_AFTER_DOWNLOAD;
  }
  return false;
}

}  // namespace

DownloaderDlg::DownloaderDlg(ui::Host& host, ProcessState& state, const Settings& settings)
    : port(state.link), host_(host), state_(state), settings_(settings), runner_(host, state) {
  port.diagnostics = &portReasons_;
  portReasons_.SetCauseRecorder(causes_);
  runner_.SetCauseSource([this] { return causes_.Last(); });
  // A message box raised by an operation carries the port's reason beside its own text; one
  // raised outside an operation (a browse) has nothing to do with the port.
  host_.SetMessageDetailSource([this] {
    {
      std::lock_guard lock(fileDetailMutex_);
      if (!fileDetail_.empty()) return fileDetail_;
    }
    return inRequest_.load() || runner_.Busy() ? portReasons_.Reason() : std::string();
  });
}

void DownloaderDlg::ShowFileRefusal(std::string_view text, std::string detail) {
  {
    std::lock_guard lock(fileDetailMutex_);
    fileDetail_ = std::move(detail);
  }
  host_.MessageBox(&Wnd(), text);
  std::lock_guard lock(fileDetailMutex_);
  fileDetail_.clear();
}

DownloaderDlg::~DownloaderDlg() {
  host_.SetMessageDetailSource({});
}

bool DownloaderDlg::OnCommand(int id, Notify code) {
  if (code == Notify::Clicked && IsSelectionRadio(id)) {
    std::int32_t chosen = -1;
    ui::DdxRadio(Wnd(), true, IDC_SEL_APPS, chosen);
    if (chosen >= 0) settings_.WriteInt(KEY_DOWNLOAD_SELECTION, chosen);
  }
  // The operations' buttons come from the table of operations.
  if (const std::optional<OperationId> operation = OperationOfButton(id);
      operation && code == Notify::Clicked) {
    RunOperation(*operation);
    return true;
  }
  for (const MessageMapEntry& entry : kMessageMap) {
    if (entry.id == id && entry.code == code) {
      (this->*entry.handler)();
      return true;
    }
  }
  return false;
}

bool DownloaderDlg::OnInitDialog() {
  ui::Window& wnd = Wnd();
  if (wnd.HasSystemMenu() && !kAboutMenuText.empty()) {
    wnd.AppendSystemMenuItem(ui::MENU_SEPARATOR, "");
    wnd.AppendSystemMenuItem(IDM_ABOUTBOX, kAboutMenuText);
    if (openBench_) wnd.AppendSystemMenuItem(IDM_BENCH, kBenchMenuText);
  }
  wnd.SetIcon(appIcon, true);
  wnd.SetIcon(appIcon, false);

  // A stored index that the selector does not hold (a hand-edited or foreign settings file)
  // would later name a port or rate that does not exist: it reads as no choice instead.
  portIndex = settings_.GetInt(KEY_UART_PORT, portIndex);
  SelectPort(portIndex);
  baudIndex = settings_.GetInt(KEY_BAUD_RATE, baudIndex);
  if (!wnd.SetCurSel(IDC_BAUD, baudIndex)) {
    baudIndex = 0;
    wnd.SetCurSel(IDC_BAUD, baudIndex);
  }

  totalElapsed = 0;
  linkType = kUartLinkType;
  verifyAfterDownload = settings_.GetInt(KEY_VERIFY_AFTER_DOWNLOAD, 0) != 0 ? 1 : 0;
  // The last session's selection, when the settings hold one the window has.
  if (const int stored = settings_.GetInt(KEY_DOWNLOAD_SELECTION, -1);
      Selection(stored) != nullptr) {
    selectionIndex = stored;
  }
  UpdateData(false);

  wnd.SetTextLimit(IDC_LOG, kLogTextLimit);
  LoadSettings();
  state_.link.portPaths = settings_.PortOverrides();
  // Seconds a phone may stay silent once connected; 0 leaves only the time-out factors.
  state_.link.replyTimeout = std::chrono::seconds(std::max(
      0,
      settings_.GetInt(KEY_REPLY_TIMEOUT, static_cast<int>(link::DEFAULT_REPLY_TIMEOUT.count()))));
  crc32Table.BuildCrc32Table();
  EnterIdleState();
  return true;
}

void DownloaderDlg::SelectPort(std::int32_t index) {
  portIndex = index;
  if (!Wnd().SetCurSel(IDC_PORT, portIndex)) portIndex = -1;
}

void DownloaderDlg::UpdateData(bool saveAndValidate) {
  ui::Window& wnd = Wnd();
  ui::DdxRadio(wnd, saveAndValidate, IDC_UART, linkType);
  ui::DdxRadio(wnd, saveAndValidate, IDC_SEL_APPS, selectionIndex);
  ui::DdxCheck(wnd, saveAndValidate, IDC_DEFAULT_CAL_DATA, defaultCalData);
  ui::DdxCheck(wnd, saveAndValidate, IDC_AUTO_REBOOT, autoReboot);
  ui::DdxCheck(wnd, saveAndValidate, IDC_VERIFY_AFTER_DOWNLOAD, verifyAfterDownload);
}

void DownloaderDlg::OnSysCommand(unsigned id, long param) {
  (void)param;
  if ((id & ui::SC_MASK) == IDM_ABOUTBOX) {
    AboutDlg about(state_.payloads.Describe() + "\n" +
                   payloads::DescribeFolders(state_.payloads.Folders()));
    host_.RunModal(kAboutDialogTemplate, about, HasWindow() ? &Wnd() : nullptr);
  } else if ((id & ui::SC_MASK) == IDM_BENCH && openBench_) {
    openBench_();
  }
  // Everything else is the system's own (move, minimise, close): the host handles it.
}

// --- control states ---

void DownloaderDlg::EnterIdleState() {
  ui::Window& wnd = Wnd();
  for (int id : {IDC_DOWNLOAD, IDC_BOOTLOADER_ERASE, IDC_TFS_EXPLORER, IDC_NAND_DUMP,
                 IDC_NAND_ERASE, IDC_FORMAT, IDC_DISCONNECT}) {
    wnd.Enable(id, false);
  }
  for (int id : {IDC_DL_BOOTLOADER, IDC_CHECKSUM, IDC_PORT, IDC_BAUD, IDC_START}) {
    wnd.Enable(id, true);
  }
  for (int id : kBrowseButtons) wnd.Enable(id, true);
  wnd.SetText(IDC_FLASH_ID, "Disconnect");
  progressPos = 0;
  wnd.SetRange(IDC_PROGRESS, 0, 100);
  wnd.SetPos(IDC_PROGRESS, progressPos.load());
  wnd.SetText(IDC_LOG, kUsageText);
  wnd.Enable(IDC_UART, true);
  wnd.Enable(IDC_USB, true);
}

void DownloaderDlg::EnterBusyState() {
  ui::Window& wnd = Wnd();
  for (int id : {IDC_DOWNLOAD, IDC_BOOTLOADER_ERASE, IDC_TFS_EXPLORER, IDC_NAND_DUMP,
                 IDC_NAND_ERASE, IDC_FORMAT}) {
    wnd.Enable(id, false);
  }
  wnd.Enable(IDC_DISCONNECT, true);
  for (int id : {IDC_DL_BOOTLOADER, IDC_CHECKSUM, IDC_PORT, IDC_BAUD, IDC_START}) {
    wnd.Enable(id, false);
  }
  for (int id : kBrowseButtons) wnd.Enable(id, false);
}

void DownloaderDlg::EnterConnectedState() {
  ui::Window& wnd = Wnd();
  const bool bootloader = state_.bootloaderMode.load();
  if (!bootloader) wnd.Enable(IDC_DOWNLOAD, true);
  wnd.Enable(IDC_BOOTLOADER_ERASE, true);
  if (!bootloader && state_.link.linkMode.load() == link::LINK_UART) {
    wnd.Enable(IDC_TFS_EXPLORER, true);
  }
  wnd.Enable(IDC_NAND_DUMP, true);
  wnd.Enable(IDC_NAND_ERASE, true);
  wnd.Enable(IDC_FORMAT, false);
  wnd.Enable(IDC_DISCONNECT, true);
  wnd.Enable(IDC_DL_BOOTLOADER, false);
  wnd.Enable(IDC_CHECKSUM, true);
  for (int id : {IDC_PORT, IDC_BAUD, IDC_START}) wnd.Enable(id, false);
  for (int id : kBrowseButtons) wnd.Enable(id, true);
  // The bar shows 0 again; its range and progressCount keep the last operation's values.
  wnd.SetPos(IDC_PROGRESS, 0);
  for (int id : {IDC_FILE_SIZE, IDC_FILE_NAME, IDC_CHECKSUM_FIELD}) wnd.SetText(id, " ");
}

void DownloaderDlg::EnableSelectionControls() {
  for (int id : kSelectionControls) Wnd().Enable(id, true);
}

void DownloaderDlg::DisableSelectionControls() {
  for (int id : kSelectionControls) Wnd().Enable(id, false);
}

bool DownloaderDlg::StartCheck() {
  return !(portIndex == -1 && Wnd().GetCurSel(IDC_BAUD) == 0);
}

bool DownloaderDlg::BeginConnectedOperation(OperationId id) {
  EnterBusyState();
  UpdateData(true);
  if (StartCheck()) return true;
  EnterConnectedState();
  Runner().Report(OperationResult::Ended(id, Outcome::Refused, 0, "no port chosen"));
  return false;
}

bool DownloaderDlg::ConfirmErasing(OperationId id) {
  if (!confirmErasing_) return true;
  const std::string_view text = id == OperationId::NandErase         ? kConfirmNandEraseText
                                : id == OperationId::BootloaderErase ? kConfirmBootloaderEraseText
                                                                     : kConfirmFormatText;
  if (host_.MessageBox(&Wnd(), text, {}, ui::MB_YESNO | ui::MB_ICONWARNING | ui::MB_DEFBUTTON2) ==
      ui::IDYES) {
    return true;
  }
  Runner().Report(OperationResult::Ended(id, Outcome::Refused, 0, "not confirmed"));
  return false;
}

// --- log, fields, progress ---

void DownloaderDlg::AppendLog(std::string_view text) {
  Wnd().AppendText(IDC_LOG, text);
}

void DownloaderDlg::ShowFileName(std::string_view path) {
  Wnd().SetText(IDC_FILE_NAME, FileNamePart(path));
}

void DownloaderDlg::ShowFileSize(std::uint32_t size) {
  Wnd().SetText(IDC_FILE_SIZE, std::to_string(size) + " bytes");
}

void DownloaderDlg::ShowChecksum(std::uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(crc));
  Wnd().SetText(IDC_CHECKSUM_FIELD, text);
}

void DownloaderDlg::SetProgressRange(std::uint32_t upper) {
  Wnd().SetRange(IDC_PROGRESS, 0, upper);
}

void DownloaderDlg::SetProgressPos(std::uint32_t position) {
  Wnd().SetPos(IDC_PROGRESS, position);
}

void DownloaderDlg::AddProgress(std::size_t bytes) {
  progressCount += static_cast<std::uint32_t>(bytes);
  SetProgressPos(progressCount);
}

// --- Disconnect and the operations of the layers above ---

namespace {

// Quitting in the middle of a transfer leaves the phone half-written, so it is never the
// default answer.
constexpr std::string_view kStopAndQuit =
    "An operation is in progress on the phone. Stop it and quit?";

}  // namespace

bool DownloaderDlg::MayQuit() {
  if (!runner_.Busy()) return true;
  const int answer = host_.MessageBox(&Wnd(), kStopAndQuit, {},
                                      ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
  if (answer != ui::IDYES) return false;
  OnDisconnect();
  return true;
}

void DownloaderDlg::OnOK() {
  if (MayQuit()) Dialog::OnOK();
}

void DownloaderDlg::OnCancel() {
  if (MayQuit()) Dialog::OnCancel();
}

void DownloaderDlg::OnDisconnect() {
  Disconnect(true);
}

void DownloaderDlg::Disconnect(bool stopped) {
  state_.bootloaderMode.store(false);
  // A worker may hold the port: closing ends its blocked transfer, and the cancel keeps its
  // later steps from opening the device again. An operation whose outcome was decided already
  // (a download whose every image is written) is not stopped by it.
  const std::string_view cancelled = runner_.Cancel();
  // Before the close: the port's end is what the stopped operation reports next.
  if (stopped && stopObserver_ && !cancelled.empty()) stopObserver_(cancelled);
  if (port.IsPortOpen()) port.Close();
  state_.CloseSharedPort();  // the Explorer's exchanges run on START's copy of the record
  Wnd().Enable(IDC_UART, true);
  Wnd().Enable(IDC_USB, true);
  EnableSelectionControls();
  totalElapsed = 0;
  EnterIdleState();
  if (disconnectObserver_) disconnectObserver_();
}

std::string DownloaderDlg::LostPhoneReason(const OperationResult& result) const {
  if (result.outcome != Outcome::Failed || result.operation == OperationId::Start ||
      !NeedsPhone(result.operation)) {
    return {};
  }
  return portReasons_.Reason();
}

void DownloaderDlg::OnPhoneLost(std::string_view reason) {
  if (runner_.Busy()) return;
  // Not a stop the user asked for: the operation has ended already. The window is idle
  // behind the box.
  Disconnect(false);
  host_.MessageBox(&Wnd(),
                   std::string(kPhoneLostText) + "\n" + std::string(reason) + "\n\n" +
                       std::string(kPhoneLostAdvice),
                   "Failure", ui::MB_OK | ui::MB_ICONERROR);
}

std::string DownloaderDlg::PortName() const {
  if (!portDevice.empty()) return portDevice;
  return link::ComName(portIndex + 1);
}

void DownloaderDlg::Perform(OperationId id) {
  RunOperation(id);
}

void DownloaderDlg::RunOperation(OperationId id) {
  const std::function<void(DownloaderDlg&)>& operation = operations_.For(id);
  if (!operation) {
    runner_.Report(OperationResult::Ended(id, Outcome::Refused, 0, "not available"));
    return;
  }
  if (NeedsPhone(id) && runner_.Busy()) {
    // Only one operation talks to the phone; a second one is refused, never queued behind it.
    static_cast<void>(runner_.RefuseBusy(id, HasWindow() ? &Wnd() : nullptr));
    return;
  }
  // The reasons of an earlier operation explain nothing about this one.
  portReasons_.Clear();
  causes_.Clear();
  inRequest_ = true;
  runner_.BeginRequest(id);
  operation(*this);
  runner_.EndRequest();
  inRequest_ = false;
}

// Only remembered here: the Download press reads the box with the other selection controls.
void DownloaderDlg::OnVerifyAfterDownload() {
  const bool checked = Wnd().GetCheck(IDC_VERIFY_AFTER_DOWNLOAD) == ui::BST_CHECKED;
  settings_.WriteInt(KEY_VERIFY_AFTER_DOWNLOAD, checked ? 1 : 0);
}
}  // namespace veska::app
