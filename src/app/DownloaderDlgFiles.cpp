// The main dialog's settings, selectors and image file selection.
#include "app/DownloaderDlg.h"
#include "app/PathRules.h"

namespace veska::app {

const DownloaderDlg::ImageFile DownloaderDlg::kApps{&DownloaderDlg::m_strAPPSFileName, KEY_APPS,
                                                    IDC_APPS_PATH,
                                                    "FUSE_APPS File(*.img)|*.img|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kComms{&DownloaderDlg::m_strCOMMSFileName, KEY_COMMS,
                                                     IDC_COMMS_PATH,
                                                     "COMMS.img File(*.img)|*.img|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kSysInd{
    &DownloaderDlg::m_strSysIndFileName, KEY_SYS_IND, IDC_SYS_IND_PATH,
    "sysparm_ind.img File(*.img)|*.img|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kSysDep{
    &DownloaderDlg::m_strSysDepFileName, KEY_SYS_DEP, IDC_SYS_DEP_PATH,
    "sysparm_dep.img File(*.img)|*.img|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kPatch{&DownloaderDlg::m_strPatchFileName, KEY_PATCH,
                                                     IDC_PATCH_PATH,
                                                     "patch_dsp.img File(*.img)|*.img|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kSpinner{&DownloaderDlg::m_strSpinnerFileName,
                                                       KEY_SPINNER, IDC_SPINNER_PATH,
                                                       "*.bin File(*.bin)|*.bin|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kTfs{&DownloaderDlg::m_strOgmPath, KEY_TFS,
                                                   IDC_TFS_PATH, "TFS File(*.tfs)|*.tfs|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kRsrc{&DownloaderDlg::m_strRsrcFileName, KEY_RSRC,
                                                    IDC_RSRC_PATH,
                                                    "*.enc File(*.rc1)|*.rc1|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kDb2{&DownloaderDlg::m_strOgmPath_DB2, KEY_DB2,
                                                   IDC_DB2_PATH, "TFS File(*.tfs)|*.tfs|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kNandpreboot{
    &DownloaderDlg::m_strNandprebootFileName, KEY_NANDPREBOOT, IDC_NANDPREBOOT_PATH,
    "nandpreboot_le.img File(*.img)|*.img|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kBoot1a{&DownloaderDlg::m_strBoot1FileName,
                                                      KEY_BOOT1A, IDC_BOOT1A_PATH,
                                                      "boot1a.img File(*.img)|*.img|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kBoot1b{&DownloaderDlg::m_strBoot1bFileName,
                                                      KEY_BOOT1B, IDC_BOOT1B_PATH,
                                                      "boot1b.img File(*.img)|*.img|*.*|*.*||"};
const DownloaderDlg::ImageFile DownloaderDlg::kBoot2{&DownloaderDlg::m_strBoot2FileName, KEY_BOOT2,
                                                     IDC_BOOT2_PATH,
                                                     "boot2.img File(*.img)|*.img|*.*|*.*||"};

void DownloaderDlg::LoadSettings() {
  ui::Window& wnd = Wnd();
  m_strAPPSFileName = settings_.GetString(KEY_APPS);
  wnd.SetText(IDC_APPS_PATH, m_strAPPSFileName);

  m_strOgmPath = settings_.GetString(KEY_TFS);
  wnd.SetText(IDC_TFS_PATH, m_strOgmPath);
  tfsPathCopy = m_strOgmPath;
  tfsListingPath = ListingPathFor(tfsPathCopy);

  m_strOgmPath_DB2 = settings_.GetString(KEY_DB2);
  wnd.SetText(IDC_DB2_PATH, m_strOgmPath_DB2);
  db2PathCopy = m_strOgmPath_DB2;
  db2ListingPath = ListingPathFor(db2PathCopy);

  // The COMMS folder's five paths are remembered but not read back: they return when APPS or
  // Nandpreboot derives them again, or when they are browsed.
  for (const ImageFile* kind : {&kNandpreboot, &kBoot1a, &kBoot1b, &kBoot2, &kRsrc}) {
    this->*(kind->path) = settings_.GetString(kind->key);
    wnd.SetText(kind->field, this->*(kind->path));
  }
}

// --- link type and selectors ---

void DownloaderDlg::OnUart() {
  SelectPort(settings_.GetInt(KEY_UART_PORT, portIndex));
  state_.link.linkMode.store(link::LINK_UART);
  UpdateData(true);
}

void DownloaderDlg::OnUsb() {
  SelectPort(settings_.GetInt(KEY_USB_PORT, portIndex));
  state_.link.linkMode.store(link::LINK_USB);
  UpdateData(true);
}

void DownloaderDlg::OnSelChangePort() {
  portIndex = Wnd().GetCurSel(IDC_PORT);
  // linkType is the value of the last transfer from the controls, not a fresh reading.
  if (linkType == 0) settings_.WriteInt(KEY_UART_PORT, portIndex);
  if (linkType == 1) settings_.WriteInt(KEY_USB_PORT, portIndex);
}

void DownloaderDlg::OnSelChangeBaud() {
  baudIndex = Wnd().GetCurSel(IDC_BAUD);
  settings_.WriteInt(KEY_BAUD_RATE, baudIndex);
}

// --- browse handlers ---

std::optional<std::string> DownloaderDlg::RunFileDialog(const ImageFile& kind, unsigned flags,
                                                        std::string_view initialDirectory) {
  ui::FileDialogRequest request;
  request.open = true;
  request.filter = std::string(kind.filter);
  request.initialPath = this->*(kind.path);
  request.initialDirectory = std::string(initialDirectory);
  request.flags = flags;
  return host_.FileDialog(&Wnd(), request);
}

void DownloaderDlg::SetImagePath(const ImageFile& kind, std::string value) {
  this->*(kind.path) = std::move(value);
  Wnd().SetText(kind.field, this->*(kind.path));
  settings_.WriteString(kind.key, this->*(kind.path));
}

void DownloaderDlg::TakeChosenImage(const ImageFile& kind, const std::string& chosen) {
  this->*(kind.path) = chosen;
  if (ImageFileOpens(chosen)) {
    Wnd().SetText(kind.field, chosen);
  } else {
    host_.MessageBox(&Wnd(), "Image File Size Error");
  }
  // Remembered even when it does not open: the user may free the file before downloading.
  settings_.WriteString(kind.key, chosen);
}

void DownloaderDlg::BrowseImage(const ImageFile& kind) {
  const std::optional<std::string> chosen = RunFileDialog(kind, ui::OFN_HIDEREADONLY);
  if (!chosen) return;
  TakeChosenImage(kind, *chosen);
}

void DownloaderDlg::DeriveCommsPaths(const std::string& root) {
  SetImagePath(kComms, ReleasePath(root, "COMMS", "COMMS.img"));
  SetImagePath(kSysDep, ReleasePath(root, "COMMS", "sysparm_dep.img"));
  SetImagePath(kSysInd, ReleasePath(root, "COMMS", "sysparm_ind.img"));
  const std::string pattern = ReleasePath(root, "COMMS", "*.bin");
  SetImagePath(kSpinner, host_.FindFirstFile(pattern).value_or(pattern));
  SetImagePath(kPatch, ReleasePath(root, "COMMS", "patch_dsp.img"));
}

void DownloaderDlg::OnApps() {
  const std::optional<std::string> chosen = RunFileDialog(kApps, ui::OFN_HIDEREADONLY);
  if (!chosen) {
    host_.MessageBox(&Wnd(), "file open error");
    return;
  }
  m_strAPPSFileName = *chosen;
  if (!ImageFileOpens(m_strAPPSFileName)) {
    host_.MessageBox(&Wnd(), "file size error");
    return;
  }
  Wnd().SetText(IDC_APPS_PATH, m_strAPPSFileName);
  settings_.WriteString(KEY_APPS, m_strAPPSFileName);
  ShowFileName(m_strAPPSFileName);
  const std::optional<std::string> root = DeriveSiblingPaths(m_strAPPSFileName);
  if (!root) return;  // not inside a release folder: nothing to derive
  DeriveCommsPaths(*root);
}

void DownloaderDlg::OnNandpreboot() {
  if (const std::optional<std::string> chosen = RunFileDialog(kNandpreboot, ui::OFN_HIDEREADONLY)) {
    TakeChosenImage(kNandpreboot, *chosen);
  }
  // Confirmed or cancelled, the release's paths are rebuilt from the current Nandpreboot path.
  ShowFileName(m_strNandprebootFileName);
  const std::optional<std::string> root = DeriveSiblingPaths(m_strNandprebootFileName);
  if (!root) return;
  DeriveReleasePaths(*root);
}

void DownloaderDlg::DeriveReleasePaths(const std::string& root) {
  SetImagePath(kBoot1a, ReleasePath(root, "APPS", "boot1a.img"));
  SetImagePath(kBoot1b, ReleasePath(root, "APPS", "boot1b.img"));
  SetImagePath(kBoot2, ReleasePath(root, "APPS", "boot2.img"));
  SetImagePath(kApps, ReleasePath(root, "APPS", "FUSE_APPS.img"));
  DeriveCommsPaths(root);
}

bool DownloaderDlg::SetImagePathByKey(std::string_view key, std::string value) {
  for (const ImageFile* kind : {&kApps, &kComms, &kSysInd, &kSysDep, &kPatch, &kSpinner, &kTfs,
                                &kRsrc, &kDb2, &kNandpreboot, &kBoot1a, &kBoot1b, &kBoot2}) {
    if (kind->key != key) continue;
    if (kind == &kTfs) {
      tfsPathCopy = value;
      tfsListingPath = ListingPathFor(value);
    } else if (kind == &kDb2) {
      db2PathCopy = value;
      db2ListingPath = ListingPathFor(value);
    }
    SetImagePath(*kind, std::move(value));
    return true;
  }
  return false;
}

void DownloaderDlg::BrowseFileSystem(const ImageFile& kind, std::string& pathCopy,
                                     std::string& listingPath) {
  const std::optional<std::string> chosen =
      RunFileDialog(kind,
                    ui::OFN_HIDEREADONLY | ui::OFN_PATHMUSTEXIST | ui::OFN_FILEMUSTEXIST |
                        ui::OFN_OVERWRITEPROMPT,
                    pathCopy);
  if (!chosen) return;
  this->*(kind.path) = *chosen;
  pathCopy = *chosen;
  listingPath = ListingPathFor(pathCopy);
  if (!ImageFileOpens(pathCopy)) {
    host_.MessageBox(&Wnd(), "Fail to open OGM file!");
    return;
  }
  Wnd().SetText(kind.field, *chosen);
  settings_.WriteString(kind.key, pathCopy);
}

void DownloaderDlg::OnComms() {
  BrowseImage(kComms);
}
void DownloaderDlg::OnSysInd() {
  BrowseImage(kSysInd);
}
void DownloaderDlg::OnSysDep() {
  BrowseImage(kSysDep);
}
void DownloaderDlg::OnPatch() {
  BrowseImage(kPatch);
}
void DownloaderDlg::OnSpinner() {
  BrowseImage(kSpinner);
}
void DownloaderDlg::OnRsrc() {
  BrowseImage(kRsrc);
}
void DownloaderDlg::OnBoot1a() {
  BrowseImage(kBoot1a);
}
void DownloaderDlg::OnBoot1b() {
  BrowseImage(kBoot1b);
}
void DownloaderDlg::OnBoot2() {
  BrowseImage(kBoot2);
}
void DownloaderDlg::OnTfs() {
  BrowseFileSystem(kTfs, tfsPathCopy, tfsListingPath);
}
void DownloaderDlg::OnDb2() {
  BrowseFileSystem(kDb2, db2PathCopy, db2ListingPath);
}

}  // namespace veska::app
