#include "operations/PlannedInputs.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/Printf.h"
#include "download/ChecksumTool.h"
#include "download/DownloadButtons.h"
#include "explorer/TfsExplorerDlg.h"
#include "fs/FileSystemDownload.h"
#include "fs/FsButtons.h"
#include "fs/Listing.h"
#include "link/FilePath.h"

namespace veska::operations {

namespace {

// What is wrong with the image file at `path`, after its path.
std::string ImageFileReason(app::FileRule rule, const std::string& path) {
  switch (rule) {
    case app::FileRule::CannotOpen: {
      if (std::string reason = UnreadableReason(path); !reason.empty()) return reason;
      std::error_code error;
      return std::filesystem::is_regular_file(path, error) ? "it cannot be read"
                                                           : "it is not a regular file";
    }
    case app::FileRule::SizeOutOfRange:
      return "its size is out of range for the image";
    default:
      return "it cannot be read";
  }
}

}  // namespace

std::string UnreadableReason(const std::string& path) {
  if (path.empty()) return "no path given";
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(link::PathOf(path), error);
  if (error) return error.message();
  if (std::filesystem::is_directory(status)) return "it is a folder";
  errno = 0;
  std::FILE* file = link::OpenFile(path, "rb");
  if (file == nullptr) return errno != 0 ? std::strerror(errno) : "it cannot be opened";
  std::fclose(file);
  return {};
}

std::optional<InputRefusal> RefusedDownloadFile(app::DownloaderDlg& dlg, int selectionIndex) {
  const app::SelectionInfo* selection = app::Selection(selectionIndex);
  if (selection == nullptr) return std::nullopt;
  for (const app::ImageKind kind : selection->files) {
    std::optional<download::ImageRefusal> refusal = download::RefusedImageFile(dlg, kind);
    if (!refusal) continue;
    const app::ImageInfo& info = app::Catalogue(kind);
    const std::string& path = dlg.*info.path;
    // Which option gives the file, so that the refusal says how to mend it.
    const std::string what = path.empty()
                                 ? std::string("no path given")
                                 : path + ": " + ImageFileReason(refusal->cause.rule, path);
    return InputRefusal{std::string(refusal->text),
                        app::Printf("%s file refused before connecting: %s (--%s FILE gives it)",
                                    std::string(info.logName).c_str(), what.c_str(),
                                    std::string(info.cliName).c_str()),
                        std::move(refusal->cause)};
  }
  return std::nullopt;
}

std::optional<InputRefusal> RefusedListing(app::DownloaderDlg& dlg, int selectionIndex) {
  for (const app::ImageKind kind : app::Selection(selectionIndex)->files) {
    if (kind != app::ImageKind::Tfs && kind != app::ImageKind::Db2) continue;
    const fs::FileSystemInputs inputs = fs::FileSystemInputsOf(
        dlg, kind == app::ImageKind::Tfs ? fs::FileSystemKind::Tfs : fs::FileSystemKind::Db2);
    fs::Listing listing;
    if (!fs::LoadListing(dlg.Engine(), inputs, listing)) {
      return InputRefusal{
          {},
          app::Printf("%s listing refused before connecting: %s (beside the image, named as it "
                      "is with .cfg)",
                      std::string(app::Catalogue(kind).logName).c_str(),
                      inputs.listingPath.c_str()),
          {}};
    }
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
