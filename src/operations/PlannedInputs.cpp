#include "operations/PlannedInputs.h"

#include <cstdint>

#include "app/Printf.h"
#include "download/ChecksumTool.h"
#include "download/DownloadButtons.h"
#include "explorer/TfsExplorerDlg.h"
#include "fs/Listing.h"

namespace veska::operations {

std::optional<InputRefusal> RefusedDownloadFile(app::DownloaderDlg& dlg, int selectionIndex) {
  const app::SelectionInfo* selection = app::Selection(selectionIndex);
  if (selection == nullptr) return std::nullopt;
  for (const app::ImageKind kind : selection->files) {
    std::optional<download::ImageRefusal> refusal = download::RefusedImageFile(dlg, kind);
    if (!refusal) continue;
    const app::ImageInfo& info = app::Catalogue(kind);
    const std::string& path = dlg.*info.path;
    // Which option gives the file, so that the refusal says how to mend it.
    return InputRefusal{std::string(refusal->text),
                        app::Printf("%s file refused before connecting: %s (--%s FILE gives it)",
                                    std::string(info.logName).c_str(),
                                    path.empty() ? "no path given" : path.c_str(),
                                    std::string(info.cliName).c_str()),
                        std::move(refusal->cause)};
  }
  return std::nullopt;
}

std::optional<InputRefusal> RefusedExplorerFile(const std::string& file) {
  std::uint64_t length = 0;
  int error = 0;
  const fs::FileStatus status = fs::RegularFileLength(file, length, error);
  if (status == fs::FileStatus::Ok && length <= explorer::kMaxAddBytes) return std::nullopt;
  if (status == fs::FileStatus::Ok) {
    return InputRefusal{
        std::string(explorer::kAddTooLargeText),
        app::Printf("%s refused before connecting: it holds %llu bytes, more than a file's size "
                    "record carries (%llu)",
                    file.c_str(), static_cast<unsigned long long>(length),
                    static_cast<unsigned long long>(explorer::kMaxAddBytes)),
        app::Cause::File(std::nullopt, app::FileRule::SizeOutOfRange, file)};
  }
  return InputRefusal{"Fail to open resource file!",
                      app::Printf("%s refused before connecting: %s", file.c_str(),
                                  status == fs::FileStatus::NotRegular ? "it is not a regular file"
                                                                       : "it cannot be read"),
                      app::Cause::File(std::nullopt, app::FileRule::CannotOpen, file)};
}

bool ShowChecksumOf(app::DownloaderDlg& dlg, const std::string& path) {
  return download::ShowFileChecksum(dlg, path, "Fail to open bin file!");
}

}  // namespace veska::operations
