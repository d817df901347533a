#include "download/ChecksumTool.h"

#include <optional>

#include "download/ImageCatalogue.h"
#include "link/Crc32.h"
#include "link/FilePath.h"

namespace veska::download {

using app::DownloaderDlg;

namespace {

// The kinds the tool examines, by selectionIndex: the single-image buttons 0 to 11.
constexpr std::int32_t kLastSingleImage = 11;

}  // namespace

bool ShowFileChecksum(DownloaderDlg& dlg, const std::string& path, std::string_view openFailureText,
                      std::uint32_t* measured) {
  const std::optional<std::uint64_t> size = FileSizeOf(path);
  if (!size) {
    if (measured != nullptr) *measured = 0;
    dlg.Host().MessageBox(&dlg.Wnd(), openFailureText);
    return false;
  }
  if (*size > UINT32_MAX) {
    // The size field holds 32 bits, and no image comes near that: say so rather than show a
    // clipped size, and spare the user reading gigabytes for a checksum of no use.
    if (measured != nullptr) *measured = UINT32_MAX;
    dlg.Wnd().SetText(app::IDC_FILE_SIZE, "larger than 4 GiB");
    dlg.Host().MessageBox(&dlg.Wnd(), path + " is larger than 4 GiB: no image is that large");
    return false;
  }
  const auto shown = static_cast<std::uint32_t>(*size);
  if (measured != nullptr) *measured = shown;
  dlg.ShowFileSize(shown);

  if (!dlg.crc32Table.Built()) dlg.crc32Table.BuildCrc32Table();
  const link::FileCrcResult crc = link::FileCrc32(dlg.crc32Table, link::PathOf(path));
  if (!crc.opened) {
    // Removed or locked since it was measured.
    dlg.Host().MessageBox(&dlg.Wnd(), "Fail to open bin file!");
    dlg.ShowChecksum(0);
    return false;
  }
  dlg.ShowChecksum(crc.crc);
  return true;
}

bool OnChecksum(DownloaderDlg& dlg) {
  dlg.UpdateData(true);
  const SelectionInfo* selection = Selection(dlg.selectionIndex);
  if (selection == nullptr || dlg.selectionIndex > kLastSingleImage) {
    dlg.Host().MessageBox(&dlg.Wnd(), "Please select one item");
    return false;
  }
  const ImageInfo& info = Catalogue(selection->files.front());
  std::uint32_t size = 0;
  const bool shown = ShowFileChecksum(dlg, dlg.*info.path, info.openFailureText, &size);
  dlg.imageSize[KindIndex(info.kind)] = size;
  return shown;
}

}  // namespace veska::download
