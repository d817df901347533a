#include "app/SessionLog.h"

#include <system_error>

#include "link/FilePath.h"

namespace veska::app {

SessionLog::SessionLog(std::filesystem::path path, std::uintmax_t limit)
    : path_(std::move(path)), limit_(limit) {
  Rotate();
}

std::string SessionLog::PathText() const {
  return link::Utf8Of(path_);
}

void SessionLog::Rotate() {
  file_.close();
  file_.clear();
  std::filesystem::path previous = path_;
  previous += ".1";
  std::error_code error;
  std::filesystem::remove(previous, error);
  if (std::filesystem::exists(path_, error)) std::filesystem::rename(path_, previous, error);
  // The settings' folder, where the log lives, is not there yet on a PC's very first start.
  if (path_.has_parent_path()) std::filesystem::create_directories(path_.parent_path(), error);
  // Text mode: the platform's line ends, as a user's editor there expects them.
  file_.open(path_, std::ios::out | std::ios::trunc);
  written_ = 0;
}

void SessionLog::Append(std::string_view text) {
  if (!file_.is_open()) return;
  std::string lines;
  lines.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    // "\r\n" is the Windows window's line end; the stream adds the platform's own.
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines += text[i];
  }
  if (written_ > 0 && written_ + lines.size() > limit_) Rotate();
  if (!file_.is_open()) return;
  file_ << lines;
  written_ += lines.size();
  // Flushed at once: the file is most wanted after a crash or a forced end.
  file_.flush();
}

std::string StoppedByUserText(std::string_view operation) {
  return "\n  * " + std::string(operation) + " stopped by the user\n";
}

std::filesystem::path SessionLogPath(const std::filesystem::path& settingsFile,
                                     std::string_view applicationName) {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::absolute(settingsFile, error).parent_path();
  if (error) folder = settingsFile.parent_path();
  const std::u8string name(applicationName.begin(), applicationName.end());
  return folder / std::filesystem::path(name + u8".log");
}

}  // namespace veska::app
