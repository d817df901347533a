#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>

#include "DialogFixture.h"
#include "app/ControlIds.h"

namespace veska::app::testing {
namespace {

class FileSelection : public DialogFixture {
 protected:
  void SetUp() override { Open(); }
  std::vector<std::string> Boxes() const { return host_.MessageBoxTexts(); }
  std::string Root() const { return (folder_ / "fw").string(); }
};

TEST_F(FileSelection, AppsFillsTheCommsFolderOfItsRelease) {
  const std::string apps = MakeFile("fw/APPS/FUSE_APPS.img");
  MakeFile("fw/COMMS/zz_spinner.bin");
  MakeFile("fw/COMMS/spinner_a.bin");
  host_.QueueFileDialogAnswer(apps);
  ASSERT_TRUE(window_->Click(IDC_APPS));

  const std::string comms = Root() + "/COMMS/";
  EXPECT_EQ(dlg_->m_strAPPSFileName, apps);
  EXPECT_EQ(window_->GetText(IDC_APPS_PATH), apps);
  EXPECT_EQ(window_->GetText(IDC_FILE_NAME), "FUSE_APPS.img");
  struct Expected {
    std::string DownloaderDlg::*member;
    int field;
    std::string_view key;
    std::string path;
  };
  const Expected expected[] = {
      {&DownloaderDlg::m_strCOMMSFileName, IDC_COMMS_PATH, KEY_COMMS, comms + "COMMS.img"},
      {&DownloaderDlg::m_strSysDepFileName, IDC_SYS_DEP_PATH, KEY_SYS_DEP,
       comms + "sysparm_dep.img"},
      {&DownloaderDlg::m_strSysIndFileName, IDC_SYS_IND_PATH, KEY_SYS_IND,
       comms + "sysparm_ind.img"},
      {&DownloaderDlg::m_strSpinnerFileName, IDC_SPINNER_PATH, KEY_SPINNER,
       comms + "spinner_a.bin"},
      {&DownloaderDlg::m_strPatchFileName, IDC_PATCH_PATH, KEY_PATCH, comms + "patch_dsp.img"},
  };
  for (const Expected& e : expected) {
    EXPECT_EQ((*dlg_).*(e.member), e.path);
    EXPECT_EQ(window_->GetText(e.field), e.path);
    EXPECT_EQ(Key(e.key), e.path);
  }
  EXPECT_EQ(Key(KEY_APPS), apps);
  EXPECT_TRUE(Boxes().empty());
  // The file dialog got the kind's filter and the usual flag.
  for (const ui::Event& e : host_.EventJournal().Events()) {
    if (e.kind != ui::EventKind::FileDialog) continue;
    EXPECT_EQ(e.text, "FUSE_APPS File(*.img)|*.img|*.*|*.*||");
    EXPECT_EQ(e.a, ui::OFN_HIDEREADONLY);
  }
}

TEST_F(FileSelection, SpinnerFallsBackToThePatternWhenNoBinExists) {
  host_.QueueFileDialogAnswer(MakeFile("fw/APPS/FUSE_APPS.img"));
  window_->Click(IDC_APPS);
  EXPECT_EQ(dlg_->m_strSpinnerFileName, Root() + "/COMMS/*.bin");
}

TEST_F(FileSelection, AppsCancelledOrUnreadableChangesNothingElse) {
  window_->Click(IDC_APPS);  // nothing queued: cancelled
  host_.QueueFileDialogAnswer(Root() + "/APPS/missing.img");
  window_->Click(IDC_APPS);
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"file open error", "file size error"}));
  EXPECT_EQ(dlg_->m_strAPPSFileName, Root() + "/APPS/missing.img");
  EXPECT_EQ(window_->GetText(IDC_APPS_PATH), "");
  EXPECT_EQ(dlg_->m_strCOMMSFileName, "");
  EXPECT_FALSE(std::filesystem::exists(settingsFile_));
}

TEST_F(FileSelection, CancelledNandprebootRebuildsTheNineReleasePaths) {
  WriteSettings(
      "[Setting]\nm_strNandprebootFileName=/e/r1/APPS/nandpreboot_le.img\n"
      "m_strOgmPath=/keep/tfs.tfs\nm_strRsrcFileName=/keep/r.rc1\n");
  Open();
  window_->Click(IDC_NANDPREBOOT);  // cancelled
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(window_->GetText(IDC_FILE_NAME), "nandpreboot_le.img");
  const std::pair<std::string_view, std::string> expected[] = {
      {KEY_BOOT1A, "/e/r1/APPS/boot1a.img"},        {KEY_BOOT1B, "/e/r1/APPS/boot1b.img"},
      {KEY_BOOT2, "/e/r1/APPS/boot2.img"},          {KEY_APPS, "/e/r1/APPS/FUSE_APPS.img"},
      {KEY_COMMS, "/e/r1/COMMS/COMMS.img"},         {KEY_SYS_DEP, "/e/r1/COMMS/sysparm_dep.img"},
      {KEY_SYS_IND, "/e/r1/COMMS/sysparm_ind.img"}, {KEY_SPINNER, "/e/r1/COMMS/*.bin"},
      {KEY_PATCH, "/e/r1/COMMS/patch_dsp.img"},
  };
  for (const auto& [key, path] : expected) EXPECT_EQ(Key(key), path) << key;
  EXPECT_EQ(window_->GetText(IDC_BOOT1B_PATH), "/e/r1/APPS/boot1b.img");
  EXPECT_EQ(window_->GetText(IDC_APPS_PATH), "/e/r1/APPS/FUSE_APPS.img");
  EXPECT_EQ(dlg_->m_strPatchFileName, "/e/r1/COMMS/patch_dsp.img");
  // TFS, Rsrc and DB2 are not part of the release layout.
  EXPECT_EQ(Key(KEY_TFS), "/keep/tfs.tfs");
  EXPECT_EQ(Key(KEY_RSRC), "/keep/r.rc1");
  EXPECT_EQ(Key(KEY_DB2), "<missing>");
}

TEST_F(FileSelection, APathOutsideAReleaseFolderDerivesNothing) {
  // First start: no Nandpreboot path at all.
  window_->Click(IDC_NANDPREBOOT);
  EXPECT_FALSE(std::filesystem::exists(settingsFile_));
  EXPECT_EQ(dlg_->m_strAPPSFileName, "");
  // A chosen file with a single separator in its path.
  WriteSettings("[Setting]\nm_strNandprebootFileName=/nandpreboot_le.img\n");
  Open();
  window_->Click(IDC_NANDPREBOOT);
  EXPECT_EQ(Key(KEY_BOOT1A), "<missing>");
  EXPECT_EQ(window_->GetText(IDC_FILE_NAME), "nandpreboot_le.img");
}

TEST_F(FileSelection, ChosenNandprebootThatDoesNotOpenIsStillStoredAndDerived) {
  host_.QueueFileDialogAnswer(Root() + "/APPS/gone.img");
  window_->Click(IDC_NANDPREBOOT);
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Image File Size Error"});
  EXPECT_EQ(Key(KEY_NANDPREBOOT), Root() + "/APPS/gone.img");
  EXPECT_EQ(window_->GetText(IDC_NANDPREBOOT_PATH), "");
  EXPECT_EQ(Key(KEY_BOOT2), Root() + "/APPS/boot2.img");
}

TEST_F(FileSelection, LockedImageShowsTheErrorKeepsTheFieldAndStillWritesItsKey) {
  host_.QueueFileDialogAnswer(MakeFile("old/sysparm_ind.img"));
  window_->Click(IDC_SYS_IND);
  const std::string before = window_->GetText(IDC_SYS_IND_PATH);
  ASSERT_FALSE(before.empty());

  const std::string locked = MakeFile("new/sysparm_ind.img");
  const int holder = ::open(locked.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  host_.QueueFileDialogAnswer(locked);
  window_->Click(IDC_SYS_IND);
  ::close(holder);

  EXPECT_EQ(Boxes(), std::vector<std::string>{"Image File Size Error"});
  EXPECT_EQ(window_->GetText(IDC_SYS_IND_PATH), before);
  EXPECT_EQ(dlg_->m_strSysIndFileName, locked);
  EXPECT_EQ(Key(KEY_SYS_IND), locked);
}

TEST_F(FileSelection, CommonPatternKeepsEverythingOnCancelAndFoldersDoNotOpen) {
  window_->Click(IDC_RSRC);
  EXPECT_FALSE(std::filesystem::exists(settingsFile_));
  std::filesystem::create_directories(folder_ / "dir.rc1");
  host_.QueueFileDialogAnswer((folder_ / "dir.rc1").string());
  window_->Click(IDC_RSRC);
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Image File Size Error"});
}

TEST_F(FileSelection, FileSystemImageDerivesItsListingByTheLastDot) {
  const std::string image = MakeFile("x/a.b/tfs");
  host_.QueueFileDialogAnswer(image);
  window_->Click(IDC_TFS);
  EXPECT_EQ(dlg_->tfsListingPath, (folder_ / "x/a").string() + ".cfg");
  EXPECT_EQ(dlg_->tfsPathCopy, image);
  EXPECT_EQ(window_->GetText(IDC_TFS_PATH), image);
  EXPECT_EQ(Key(KEY_TFS), image);

  // The next dialog starts from the previous choice, with the must-exist flags.
  window_->Click(IDC_TFS);
  std::vector<ui::Event> dialogs;
  for (const ui::Event& e : host_.EventJournal().Events()) {
    if (e.kind == ui::EventKind::FileDialog) dialogs.push_back(e);
  }
  ASSERT_EQ(dialogs.size(), 2u);
  EXPECT_EQ(dialogs[1].caption, image);
  EXPECT_EQ(dialogs[1].a, ui::OFN_HIDEREADONLY | ui::OFN_PATHMUSTEXIST | ui::OFN_FILEMUSTEXIST |
                              ui::OFN_OVERWRITEPROMPT);
}

// Each image's dialog starts in the folder of that kind's file; a kind without one (or whose
// folder has gone) starts beside the last file chosen for any kind; with neither folder there,
// the host chooses as before.
TEST_F(FileSelection, FileDialogsStartInTheChosenFilesFolder) {
  const auto startFolders = [this] {
    std::vector<std::string> folders;
    for (const ui::Event& e : host_.EventJournal().Events()) {
      if (e.kind == ui::EventKind::FileDialog) folders.push_back(e.detail);
    }
    host_.EventJournal().Clear();
    return folders;
  };
  window_->Click(IDC_TFS);  // nothing known yet
  EXPECT_EQ(startFolders(), std::vector<std::string>{""});

  const std::string apps = Root() + "/APPS";
  host_.QueueFileDialogAnswer(MakeFile("fw/APPS/FUSE_APPS.img"));
  window_->Click(IDC_APPS);
  // COMMS now names fw/COMMS/COMMS.img, a folder that does not exist.
  window_->Click(IDC_COMMS);
  window_->Click(IDC_TFS);
  window_->Click(IDC_APPS);
  EXPECT_EQ(startFolders(), (std::vector<std::string>{"", apps, apps, apps}));

  const std::string other = (folder_ / "other").string();
  host_.QueueFileDialogAnswer(MakeFile("other/r.rc1"));
  window_->Click(IDC_RSRC);
  window_->Click(IDC_RSRC);
  window_->Click(IDC_BOOT2);  // no file of its own: beside the last choice
  window_->Click(IDC_APPS);
  EXPECT_EQ(startFolders(), (std::vector<std::string>{apps, other, other, apps}));

  std::filesystem::remove_all(folder_ / "fw");
  window_->Click(IDC_APPS);
  std::filesystem::remove_all(folder_ / "other");
  window_->Click(IDC_APPS);
  EXPECT_EQ(startFolders(), (std::vector<std::string>{other, ""}));
  // A file the phone's file system comes from starts by the same rule.
  const std::string tfs = MakeFile("fs/phone.tfs");
  host_.QueueFileDialogAnswer(tfs);
  window_->Click(IDC_TFS);
  window_->Click(IDC_TFS);
  window_->Click(IDC_DB2);
  const std::string fs = (folder_ / "fs").string();
  EXPECT_EQ(startFolders(), (std::vector<std::string>{"", fs, fs}));
}

TEST_F(FileSelection, FileSystemImageThatDoesNotOpenWritesNothing) {
  host_.QueueFileDialogAnswer((folder_ / "none.tfs").string());
  window_->Click(IDC_DB2);
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Fail to open OGM file!"});
  EXPECT_EQ(dlg_->m_strOgmPath_DB2, (folder_ / "none.tfs").string());
  EXPECT_EQ(dlg_->db2ListingPath, (folder_ / "none").string() + ".cfg");
  EXPECT_EQ(window_->GetText(IDC_DB2_PATH), "");
  EXPECT_FALSE(std::filesystem::exists(settingsFile_));
}

TEST_F(FileSelection, RestartRestoresEveryRememberedPath) {
  host_.QueueFileDialogAnswer(MakeFile("fw/APPS/FUSE_APPS.img"));
  window_->Click(IDC_APPS);
  host_.QueueFileDialogAnswer(MakeFile("fw/APPS/boot1b.img"));
  window_->Click(IDC_BOOT1B);
  const std::string tfs = MakeFile("fw/tfs.tfs");
  host_.QueueFileDialogAnswer(tfs);
  window_->Click(IDC_TFS);
  std::map<int, std::string> before;
  for (int id :
       {IDC_COMMS_PATH, IDC_SYS_IND_PATH, IDC_SYS_DEP_PATH, IDC_PATCH_PATH, IDC_SPINNER_PATH}) {
    before[id] = window_->GetText(id);
    EXPECT_NE(before[id], "") << id;  // derived from the APPS choice
  }
  Open();
  for (const auto& [id, path] : before) EXPECT_EQ(window_->GetText(id), path) << id;
  EXPECT_EQ(dlg_->m_strCOMMSFileName, before[IDC_COMMS_PATH]);
  EXPECT_EQ(window_->GetText(IDC_APPS_PATH), Root() + "/APPS/FUSE_APPS.img");
  EXPECT_EQ(window_->GetText(IDC_BOOT1B_PATH), Root() + "/APPS/boot1b.img");
  EXPECT_EQ(dlg_->tfsListingPath, Root() + "/tfs.cfg");
  EXPECT_EQ(dlg_->m_strOgmPath, tfs);
}

TEST_F(FileSelection, EachLinkRemembersItsOwnPort) {
  EXPECT_EQ(state_->link.linkMode.load(), 0u);
  ASSERT_TRUE(window_->SelectItem(IDC_PORT, 2));
  EXPECT_EQ(Key(KEY_UART_PORT), "2");
  window_->Click(IDC_USB);
  EXPECT_EQ(state_->link.linkMode.load(), link::LINK_USB);
  EXPECT_EQ(dlg_->linkType, 1);
  EXPECT_EQ(dlg_->portIndex, 2);  // no USB port stored yet: the current one stays
  window_->SelectItem(IDC_PORT, 5);
  EXPECT_EQ(Key(KEY_USB_PORT), "5");
  EXPECT_EQ(Key(KEY_UART_PORT), "2");
  window_->Click(IDC_UART);
  EXPECT_EQ(state_->link.linkMode.load(), link::LINK_UART);
  EXPECT_EQ(window_->GetCurSel(IDC_PORT), 2);
  EXPECT_EQ(dlg_->portIndex, 2);
  window_->SelectItem(IDC_PORT, 7);
  EXPECT_EQ(Key(KEY_UART_PORT), "7");
  EXPECT_EQ(Key(KEY_USB_PORT), "5");
  window_->SelectItem(IDC_BAUD, 3);
  EXPECT_EQ(Key(KEY_BAUD_RATE), "3");

  Open();  // every start begins with UART and its port
  EXPECT_EQ(window_->GetCurSel(IDC_PORT), 7);
  EXPECT_EQ(window_->GetCurSel(IDC_BAUD), 3);
  EXPECT_EQ(dlg_->baudIndex, 3);
  EXPECT_EQ(window_->GetCheck(IDC_UART), ui::BST_CHECKED);
}

TEST_F(FileSelection, TheReplyTimeOutIsReadFromTheSettingsAtStart) {
  Open();
  EXPECT_EQ(state_->link.replyTimeout, std::chrono::seconds(120));
  WriteSettings("[Setting]\nReplyTimeout=45\n");
  Open();
  EXPECT_EQ(state_->link.replyTimeout, std::chrono::seconds(45));
  WriteSettings("[Setting]\nReplyTimeout=-3\n");  // no time-out of less than nothing
  Open();
  EXPECT_EQ(state_->link.replyTimeout, std::chrono::seconds(0));
}

TEST_F(FileSelection, StoredIndexesOutsideTheSelectorsReadAsNoChoice) {
  WriteSettings("[Setting]\nUartPort=77\nm_nBaudRate=9\n[Ports]\nCOM3=/dev/ttyFAKE\nX=1\n");
  Open();
  EXPECT_EQ(dlg_->portIndex, -1);
  EXPECT_EQ(window_->GetCurSel(IDC_PORT), ui::LB_NONE);
  EXPECT_EQ(dlg_->baudIndex, 0);
  EXPECT_EQ(window_->GetCurSel(IDC_BAUD), 0);
  EXPECT_FALSE(dlg_->StartCheck());
  EXPECT_EQ(state_->link.portPaths, (std::map<std::string, std::string>{{"COM3", "/dev/ttyFAKE"}}));
}

}  // namespace
}  // namespace veska::app::testing
