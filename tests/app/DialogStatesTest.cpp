#include <map>
#include <optional>
#include <vector>

#include "DialogFixture.h"
#include "app/ControlIds.h"

namespace veska::app::testing {
namespace {

using ui::EventKind;

// Every control Table-driven: expected enabled state after each routine; nullopt = untouched.
struct StateRow {
  int id;
  std::optional<bool> idle, busy, connected;
};
constexpr std::optional<bool> kOn = true, kOff = false, kKeep = std::nullopt;
const std::vector<StateRow> kStateTable = {
    {IDC_DOWNLOAD, kOff, kOff, kOn},     {IDC_BOOTLOADER_ERASE, kOff, kOff, kOn},
    {IDC_TFS_EXPLORER, kOff, kOff, kOn}, {IDC_NAND_DUMP, kOff, kOff, kOn},
    {IDC_NAND_ERASE, kOff, kOff, kOn},   {IDC_FORMAT, kOff, kOff, kOff},
    {IDC_DISCONNECT, kOff, kOn, kOn},    {IDC_DL_BOOTLOADER, kOn, kOff, kOff},
    {IDC_CHECKSUM, kOn, kOff, kOn},      {IDC_PORT, kOn, kOff, kOff},
    {IDC_BAUD, kOn, kOff, kOff},         {IDC_START, kOn, kOff, kOff},
    {IDC_APPS, kOn, kOff, kOn},          {IDC_COMMS, kOn, kOff, kOn},
    {IDC_SYS_DEP, kOn, kOff, kOn},       {IDC_SYS_IND, kOn, kOff, kOn},
    {IDC_SPINNER, kOn, kOff, kOn},       {IDC_PATCH, kOn, kOff, kOn},
    {IDC_TFS, kOn, kOff, kOn},           {IDC_NANDPREBOOT, kOn, kOff, kOn},
    {IDC_BOOT1A, kOn, kOff, kOn},        {IDC_BOOT1B, kOn, kOff, kOn},
    {IDC_BOOT2, kOn, kOff, kOn},         {IDC_RSRC, kOn, kOff, kOn},
    {IDC_DB2, kOn, kOff, kOn},           {IDC_UART, kOn, kKeep, kKeep},
    {IDC_USB, kOn, kKeep, kKeep},
};

class DialogStates : public DialogFixture {
 protected:
  void SetUp() override {
    Open();
    state_->link.linkMode.store(link::LINK_UART);
  }
  // Puts every control of the table into `value` so that untouched ones show.
  void SetAll(bool value) {
    for (const StateRow& row : kStateTable) window_->Enable(row.id, value);
  }
  void Expect(std::optional<bool> StateRow::*column, bool untouched, const char* what) {
    for (const StateRow& row : kStateTable) {
      const bool expected = (row.*column).value_or(untouched);
      EXPECT_EQ(window_->IsEnabled(row.id), expected) << what << ": control " << row.id;
    }
  }
};

TEST_F(DialogStates, FirstStartWithoutSettingsIsTheIdleStateWithNothingChosen) {
  EXPECT_FALSE(std::filesystem::exists(settingsFile_));  // reading writes nothing
  EXPECT_EQ(window_->GetCheck(IDC_UART), ui::BST_CHECKED);
  EXPECT_EQ(window_->GetCheck(IDC_USB), ui::BST_UNCHECKED);
  for (const auto& control : kMainDialogTemplate.controls) {
    if (control.kind == ui::ControlKind::RadioButton && control.id != IDC_UART) {
      EXPECT_EQ(window_->GetCheck(control.id), ui::BST_UNCHECKED) << control.id;
    }
    if (control.kind == ui::ControlKind::Edit) {
      EXPECT_EQ(window_->GetText(control.id), "") << control.id;
    }
  }
  EXPECT_EQ(window_->GetCheck(IDC_DEFAULT_CAL_DATA), ui::BST_UNCHECKED);
  EXPECT_EQ(window_->GetCheck(IDC_AUTO_REBOOT), ui::BST_UNCHECKED);
  EXPECT_EQ(dlg_->linkType, 0);
  EXPECT_EQ(dlg_->selectionIndex, -1);
  EXPECT_EQ(dlg_->portIndex, -1);
  EXPECT_EQ(window_->GetCurSel(IDC_PORT), ui::LB_NONE);
  EXPECT_EQ(window_->GetCurSel(IDC_BAUD), 0);
  EXPECT_EQ(window_->GetText(IDC_LOG), kUsageText);
  EXPECT_EQ(window_->GetText(IDC_FLASH_ID), "Disconnect");
  const ui::ProgressState bar = window_->GetProgress(IDC_PROGRESS);
  EXPECT_EQ(bar.lower, 0);
  EXPECT_EQ(bar.upper, 100);
  EXPECT_EQ(bar.position, 0);
  Expect(&StateRow::idle, false, "idle");
  EXPECT_TRUE(dlg_->crc32Table.Built());
  const auto menu = window_->SystemMenu();
  ASSERT_EQ(menu.size(), 2u);
  EXPECT_EQ(menu[0].first, ui::MENU_SEPARATOR);
  EXPECT_EQ(menu[1], std::make_pair(IDM_ABOUTBOX, std::string(kAboutMenuText)));
}

TEST_F(DialogStates, EachRoutineSwitchesExactlyItsControls) {
  for (bool before : {false, true}) {
    SetAll(before);
    dlg_->EnterIdleState();
    Expect(&StateRow::idle, before, "idle");
    SetAll(before);
    dlg_->EnterBusyState();
    Expect(&StateRow::busy, before, "busy");
    SetAll(before);
    dlg_->EnterConnectedState();
    Expect(&StateRow::connected, before, "connected");
  }
}

TEST_F(DialogStates, ConnectedStateBlanksTheFieldsAndZeroesOnlyThePosition) {
  dlg_->SetProgressRange(5000);
  dlg_->AddProgress(3000);
  dlg_->ShowFileName("/img/APPS.img");
  dlg_->ShowFileSize(1234);
  dlg_->ShowChecksum(0xCBF43926);
  EXPECT_EQ(window_->GetText(IDC_FILE_SIZE), "1234 bytes");
  EXPECT_EQ(window_->GetText(IDC_CHECKSUM_FIELD), "0xCBF43926");
  dlg_->EnterConnectedState();
  const ui::ProgressState bar = window_->GetProgress(IDC_PROGRESS);
  EXPECT_EQ(bar.upper, 5000);
  EXPECT_EQ(bar.position, 0);
  EXPECT_EQ(dlg_->progressCount, 3000u);
  for (int id : {IDC_FILE_NAME, IDC_FILE_SIZE, IDC_CHECKSUM_FIELD}) {
    EXPECT_EQ(window_->GetText(id), " ") << id;
  }
  EXPECT_EQ(window_->GetText(IDC_LOG), kUsageText);  // the log stays
}

TEST_F(DialogStates, StartCheckFailsOnlyWithoutPortAndTheFirstBaudEntry) {
  struct Case {
    int port;
    int baud;
    bool passes;
  };
  for (const Case c : {Case{-1, 0, false}, Case{-1, 1, true}, Case{3, 0, true}, Case{3, 2, true}}) {
    dlg_->portIndex = c.port;
    window_->SetCurSel(IDC_BAUD, c.baud);
    EXPECT_EQ(dlg_->StartCheck(), c.passes) << c.port << "/" << c.baud;
  }
}

TEST_F(DialogStates, BootloaderModeKeepsDownloadAndExplorerOffUntilDisconnect) {
  dlg_->EnterBusyState();
  state_->bootloaderMode = true;
  dlg_->EnterConnectedState();
  EXPECT_FALSE(window_->IsEnabled(IDC_DOWNLOAD));
  EXPECT_FALSE(window_->IsEnabled(IDC_TFS_EXPLORER));
  EXPECT_TRUE(window_->IsEnabled(IDC_NAND_ERASE));

  ASSERT_TRUE(window_->Click(IDC_DISCONNECT));
  EXPECT_FALSE(state_->bootloaderMode);
  dlg_->EnterBusyState();
  dlg_->EnterConnectedState();
  EXPECT_TRUE(window_->IsEnabled(IDC_DOWNLOAD));
  EXPECT_TRUE(window_->IsEnabled(IDC_TFS_EXPLORER));
}

TEST_F(DialogStates, ExplorerStaysOffOverTheUsbLink) {
  state_->link.linkMode.store(link::LINK_USB);
  dlg_->EnterBusyState();
  dlg_->EnterConnectedState();
  EXPECT_TRUE(window_->IsEnabled(IDC_DOWNLOAD));
  EXPECT_FALSE(window_->IsEnabled(IDC_TFS_EXPLORER));
}

TEST_F(DialogStates, DisconnectReturnsToIdleAndResetsTheSession) {
  dlg_->DisableSelectionControls();
  window_->Enable(IDC_UART, false);
  window_->Enable(IDC_USB, false);
  dlg_->totalElapsed = 12.5;
  dlg_->EnterBusyState();
  dlg_->AppendLog("busy\n");
  ASSERT_TRUE(window_->Click(IDC_DISCONNECT));
  EXPECT_EQ(dlg_->totalElapsed, 0.0);
  EXPECT_EQ(window_->GetText(IDC_LOG), kUsageText);
  Expect(&StateRow::idle, false, "after Disconnect");
  for (int id : {IDC_SEL_APPS, IDC_SEL_BOOTLOADER, IDC_SEL_BOOTLOADER_ALL, IDC_DEFAULT_CAL_DATA,
                 IDC_AUTO_REBOOT}) {
    EXPECT_TRUE(window_->IsEnabled(id)) << id;
  }
}

TEST_F(DialogStates, SelectionControlsLeaveTheSingleBootStageRadiosAlone) {
  for (int id : {IDC_SEL_NANDPREBOOT, IDC_SEL_BOOT1A, IDC_SEL_BOOT2, IDC_SEL_BOOT1B}) {
    window_->Enable(id, true);
  }
  dlg_->DisableSelectionControls();
  EXPECT_FALSE(window_->IsEnabled(IDC_SEL_ALL_BINARY_FS));
  EXPECT_FALSE(window_->IsEnabled(IDC_AUTO_REBOOT));
  for (int id : {IDC_SEL_NANDPREBOOT, IDC_SEL_BOOT1A, IDC_SEL_BOOT2, IDC_SEL_BOOT1B}) {
    EXPECT_TRUE(window_->IsEnabled(id)) << id;
  }
}

TEST_F(DialogStates, SelectionIndexFollowsTheTemplateOrder) {
  const std::map<int, int> indexes = {{IDC_SEL_BOOTLOADER, 12},
                                      {IDC_SEL_ALL_BINARY_FS, 16},
                                      {IDC_SEL_BOOTLOADER_ALL, 17},
                                      {IDC_SEL_DB2, 8},
                                      {IDC_SEL_NANDPREBOOT, 9}};
  for (const auto& [id, index] : indexes) {
    window_->Click(id);
    dlg_->UpdateData(true);
    EXPECT_EQ(dlg_->selectionIndex, index) << id;
  }
  // The Boot1b radio sits in no group that is read.
  window_->Click(IDC_SEL_BOOT1B);
  dlg_->UpdateData(true);
  EXPECT_EQ(dlg_->selectionIndex, 17);  // the last one checked (1070) stays
  window_->Click(IDC_USB);
  window_->Click(IDC_AUTO_REBOOT);
  dlg_->UpdateData(true);
  EXPECT_EQ(dlg_->linkType, 1);
  EXPECT_EQ(dlg_->autoReboot, 1);
  EXPECT_EQ(dlg_->defaultCalData, 0);
}

TEST_F(DialogStates, AboutBoxOpensForItsCommandWhateverTheLowBits) {
  auto aboutBoxes = [this] {
    int count = 0;
    for (const ui::Event& e : host_.EventJournal().Events()) {
      if (e.kind == EventKind::ModalBegin && e.dialog == IDD_ABOUTBOX) ++count;
    }
    return count;
  };
  dlg_->OnSysCommand(0x0011, 0);
  EXPECT_EQ(aboutBoxes(), 1);
  dlg_->OnSysCommand(0x0010, 0);
  EXPECT_EQ(aboutBoxes(), 2);
  dlg_->OnSysCommand(0x0020, 0);
  EXPECT_EQ(aboutBoxes(), 2);
}

TEST_F(DialogStates, ButtonsReachTheirRegisteredOperations) {
  std::vector<std::string> calls;
  DlgOperations ops;
  ops.Set(OperationId::Start, [&](DownloaderDlg&) { calls.push_back("start"); });
  ops.Set(OperationId::Checksum, [&](DownloaderDlg& d) {
    calls.push_back("checksum");
    d.EnterBusyState();
  });
  dlg_->SetOperations(ops);
  window_->Click(IDC_START);
  window_->Click(IDC_DL_BOOTLOADER);  // not registered: nothing happens
  window_->Click(IDC_CHECKSUM);
  window_->Click(IDC_START);  // disabled by the busy state now
  EXPECT_EQ(calls, (std::vector<std::string>{"start", "checksum"}));
  EXPECT_FALSE(window_->Ended());
  window_->Click(IDC_EXIT);
  EXPECT_TRUE(window_->Ended());
  EXPECT_EQ(window_->Result(), ui::IDOK);
}

TEST_F(DialogStates, AppendsLandAtTheEndWithNothingBetween) {
  window_->SetText(IDC_LOG, "");
  dlg_->AppendLog("A");
  dlg_->AppendLog("B\n");
  EXPECT_EQ(window_->GetText(IDC_LOG), "AB\n");
  window_->SelectText(IDC_LOG, 0, 2);
  window_->SetFocus(IDC_START);
  dlg_->AppendLog("");
  EXPECT_EQ(window_->GetText(IDC_LOG), "AB\n");
  EXPECT_EQ(window_->FocusedControl(), IDC_LOG);
  EXPECT_EQ(window_->Selection(IDC_LOG), std::make_pair(std::size_t{3}, std::size_t{3}));
}

TEST_F(DialogStates, FileNameIsThePartAfterTheLastSeparator) {
  dlg_->ShowFileName("/img/APPS.img");
  EXPECT_EQ(window_->GetText(IDC_FILE_NAME), "APPS.img");
  dlg_->ShowFileName("APPS.img");
  EXPECT_EQ(window_->GetText(IDC_FILE_NAME), "APPS.img");
}

TEST_F(DialogStates, WorkerReportsArriveInOrder) {
  window_->SetText(IDC_LOG, "");
  dlg_->EnterBusyState();
  host_.StartWorker(ui::ThreadPriority::Highest, [this](std::stop_token) {
    dlg_->SetProgressRange(100);
    for (int i = 0; i < 100; ++i) {
      dlg_->AppendLog(std::to_string(i) + ",");
      dlg_->AddProgress(1);
    }
    dlg_->EnterConnectedState();
  });
  host_.JoinWorkers();
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += std::to_string(i) + ",";
  EXPECT_EQ(window_->GetText(IDC_LOG), expected);
  EXPECT_EQ(dlg_->progressCount, 100u);
  EXPECT_TRUE(window_->IsEnabled(IDC_DOWNLOAD));
}

}  // namespace
}  // namespace veska::app::testing
