#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace veska::app {

// The current session's log in a file, written as the log pane receives it, so that a failure's
// lines survive the usage text that replaces the pane afterwards. The file starts empty with
// each session, the previous session's moves to "<file>.1", and once the file passes its limit
// it moves there too and a new one begins: never more than about twice the limit on disk.
//
// Texts are UTF-8 with "\n" line ends (a "\r\n" counts as one); the file gets the platform's
// line ends. A file that cannot be written costs the session nothing but the file.
class SessionLog {
 public:
  static constexpr std::uintmax_t kDefaultLimit = 2 * 1024 * 1024;

  explicit SessionLog(std::filesystem::path path, std::uintmax_t limit = kDefaultLimit);
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  void Append(std::string_view text);
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  // The path as UTF-8, for the texts that name the file.
  [[nodiscard]] std::string PathText() const;

 private:
  void Rotate();

  std::filesystem::path path_;
  std::uintmax_t limit_;
  std::ofstream file_;
  // Bytes of the texts in the current file (its line ends counted as the texts have them).
  std::uintmax_t written_ = 0;
};

// The line the file gets where the user stopped `operation`: the pane loses the narration to
// the usage text at once, the file keeps it and says where it ended and why.
[[nodiscard]] std::string StoppedByUserText(std::string_view operation);

// The file beside the settings file that keeps the session's log ("VeskaDownloader.log").
[[nodiscard]] std::filesystem::path SessionLogPath(const std::filesystem::path& settingsFile,
                                                   std::string_view applicationName);

}  // namespace veska::app
