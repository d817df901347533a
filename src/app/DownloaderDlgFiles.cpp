// The main dialog's settings, selectors and image file selection.
#include <filesystem>
#include <system_error>

#include "app/DownloaderDlg.h"
#include "app/PathRules.h"
#include "link/FilePath.h"

namespace veska::app {

namespace {

using K = ImageKind;

// The folder part of an image's path (a path may also end in a pattern, as the spinner's
// "*.bin" does) when that folder exists; empty otherwise. The path is UTF-8 on every platform.
std::string ExistingFolderOf(std::string_view path) {
  const std::size_t cut = path.find_last_of(ui::kPathSeparators);
  if (cut == std::string_view::npos) return {};
  // A root ("/", "C:\\") keeps its separator.
  const bool root = cut == 0 || path[cut - 1] == ':';
  const std::string folder(path.substr(0, root ? cut + 1 : cut));
  std::error_code error;
  return std::filesystem::is_directory(link::PathOf(folder), error) ? folder : std::string();
}

}  // namespace

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

  // Every other remembered path comes back too: a restart that forgot the COMMS folder's five
  // would let "All Binary + FS" fail only after the phone had been connected.
  for (ImageKind kind : {K::Comms, K::SysInd, K::SysDep, K::Patch, K::Spinner, K::Nandpreboot,
                         K::Boot1a, K::Boot1b, K::Boot2, K::Rsrc}) {
    const ImageInfo& image = Catalogue(kind);
    this->*(image.path) = settings_.GetString(image.settingsKey);
    wnd.SetText(image.pathEdit, this->*(image.path));
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
  if (linkType == kUartLinkType) settings_.WriteInt(KEY_UART_PORT, portIndex);
  if (linkType == kUsbLinkType) settings_.WriteInt(KEY_USB_PORT, portIndex);
}

void DownloaderDlg::OnSelChangeBaud() {
  baudIndex = Wnd().GetCurSel(IDC_BAUD);
  settings_.WriteInt(KEY_BAUD_RATE, baudIndex);
}

// --- browse handlers ---

std::optional<std::string> DownloaderDlg::RunFileDialog(const ImageInfo& kind, unsigned flags) {
  ui::FileDialogRequest request;
  request.open = true;
  request.filter = std::string(kind.browseFilter);
  request.initialPath = this->*(kind.path);
  // A kind without a file of its own (or whose folder has gone) most likely sits beside the one
  // just chosen for another.
  request.initialDirectory = ExistingFolderOf(request.initialPath);
  if (request.initialDirectory.empty())
    request.initialDirectory = ExistingFolderOf(lastChosenImage_);
  request.flags = flags;
  std::optional<std::string> chosen = host_.FileDialog(&Wnd(), request);
  if (chosen) lastChosenImage_ = *chosen;
  return chosen;
}

void DownloaderDlg::SetImagePath(const ImageInfo& kind, std::string value) {
  this->*(kind.path) = std::move(value);
  Wnd().SetText(kind.pathEdit, this->*(kind.path));
  settings_.WriteString(kind.settingsKey, this->*(kind.path));
}

void DownloaderDlg::TakeChosenImage(const ImageInfo& kind, const std::string& chosen) {
  this->*(kind.path) = chosen;
  if (ImageFileOpens(chosen)) {
    Wnd().SetText(kind.pathEdit, chosen);
  } else {
    host_.MessageBox(&Wnd(), "Image File Size Error");
  }
  // Remembered even when it does not open: the user may free the file before downloading.
  settings_.WriteString(kind.settingsKey, chosen);
}

void DownloaderDlg::BrowseImage(const ImageInfo& kind) {
  const std::optional<std::string> chosen = RunFileDialog(kind, ui::OFN_HIDEREADONLY);
  if (!chosen) return;
  TakeChosenImage(kind, *chosen);
}

void DownloaderDlg::DeriveCommsPaths(const std::string& root) {
  SetImagePath(Catalogue(K::Comms), ReleasePath(root, "COMMS", "COMMS.img"));
  SetImagePath(Catalogue(K::SysDep), ReleasePath(root, "COMMS", "sysparm_dep.img"));
  SetImagePath(Catalogue(K::SysInd), ReleasePath(root, "COMMS", "sysparm_ind.img"));
  const std::string pattern = ReleasePath(root, "COMMS", "*.bin");
  SetImagePath(Catalogue(K::Spinner), host_.FindFirstFile(pattern).value_or(pattern));
  SetImagePath(Catalogue(K::Patch), ReleasePath(root, "COMMS", "patch_dsp.img"));
}

void DownloaderDlg::OnApps() {
  const std::optional<std::string> chosen = RunFileDialog(Catalogue(K::Apps), ui::OFN_HIDEREADONLY);
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
  if (const std::optional<std::string> chosen =
          RunFileDialog(Catalogue(K::Nandpreboot), ui::OFN_HIDEREADONLY)) {
    TakeChosenImage(Catalogue(K::Nandpreboot), *chosen);
  }
  // Confirmed or cancelled, the release's paths are rebuilt from the current Nandpreboot path.
  ShowFileName(m_strNandprebootFileName);
  const std::optional<std::string> root = DeriveSiblingPaths(m_strNandprebootFileName);
  if (!root) return;
  DeriveReleasePaths(*root);
}

void DownloaderDlg::DeriveReleasePaths(const std::string& root) {
  SetImagePath(Catalogue(K::Boot1a), ReleasePath(root, "APPS", "boot1a.img"));
  SetImagePath(Catalogue(K::Boot1b), ReleasePath(root, "APPS", "boot1b.img"));
  SetImagePath(Catalogue(K::Boot2), ReleasePath(root, "APPS", "boot2.img"));
  SetImagePath(Catalogue(K::Apps), ReleasePath(root, "APPS", "FUSE_APPS.img"));
  DeriveCommsPaths(root);
}

bool DownloaderDlg::SetImagePathByKey(std::string_view key, std::string value) {
  for (const ImageInfo& kind : Catalogue()) {
    if (kind.settingsKey != key) continue;
    if (kind.kind == K::Tfs) {
      tfsPathCopy = value;
      tfsListingPath = ListingPathFor(value);
    } else if (kind.kind == K::Db2) {
      db2PathCopy = value;
      db2ListingPath = ListingPathFor(value);
    }
    SetImagePath(kind, std::move(value));
    return true;
  }
  return false;
}

void DownloaderDlg::BrowseFileSystem(const ImageInfo& kind, std::string& pathCopy,
                                     std::string& listingPath) {
  const std::optional<std::string> chosen =
      RunFileDialog(kind, ui::OFN_HIDEREADONLY | ui::OFN_PATHMUSTEXIST | ui::OFN_FILEMUSTEXIST |
                              ui::OFN_OVERWRITEPROMPT);
  if (!chosen) return;
  this->*(kind.path) = *chosen;
  pathCopy = *chosen;
  listingPath = ListingPathFor(pathCopy);
  if (!ImageFileOpens(pathCopy)) {
    host_.MessageBox(&Wnd(), "Fail to open OGM file!");
    return;
  }
  Wnd().SetText(kind.pathEdit, *chosen);
  settings_.WriteString(kind.settingsKey, pathCopy);
}

void DownloaderDlg::OnComms() {
  BrowseImage(Catalogue(K::Comms));
}
void DownloaderDlg::OnSysInd() {
  BrowseImage(Catalogue(K::SysInd));
}
void DownloaderDlg::OnSysDep() {
  BrowseImage(Catalogue(K::SysDep));
}
void DownloaderDlg::OnPatch() {
  BrowseImage(Catalogue(K::Patch));
}
void DownloaderDlg::OnSpinner() {
  BrowseImage(Catalogue(K::Spinner));
}
void DownloaderDlg::OnRsrc() {
  BrowseImage(Catalogue(K::Rsrc));
}
void DownloaderDlg::OnBoot1a() {
  BrowseImage(Catalogue(K::Boot1a));
}
void DownloaderDlg::OnBoot1b() {
  BrowseImage(Catalogue(K::Boot1b));
}
void DownloaderDlg::OnBoot2() {
  BrowseImage(Catalogue(K::Boot2));
}
void DownloaderDlg::OnTfs() {
  BrowseFileSystem(Catalogue(K::Tfs), tfsPathCopy, tfsListingPath);
}
void DownloaderDlg::OnDb2() {
  BrowseFileSystem(Catalogue(K::Db2), db2PathCopy, db2ListingPath);
}

}  // namespace veska::app
