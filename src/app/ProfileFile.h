#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veska::app {

// How a settings file may be used: ReadWrite writes every change through to the file;
// ReadOnly (the command line) keeps changes in memory for this run and never touches the file.
enum class SettingsAccess { ReadWrite, ReadOnly };

// The line end a settings file is written with where it has none of its own to keep.
enum class LineEnd { Lf, CrLf };
// Windows' own profile files have CR LF, and older editors there show LF lines as one line.
#if defined(_WIN32)
inline constexpr LineEnd kPlatformLineEnd = LineEnd::CrLf;
#else
inline constexpr LineEnd kPlatformLineEnd = LineEnd::Lf;
#endif

// An INI file read and written the way the classic private-profile functions do:
// - the file is read once, when the object is made, and reads are served from memory;
// - every write changes memory and then (ReadWrite) goes to the file at once: under a lock on a
//   sibling "<file>.lock" (other processes) and a mutex (other objects and threads of this
//   process) the file is read again, only the written key is changed in it and the result
//   replaces the file, so two windows or a window and a bench never lose each other's writes;
// - only a regular file is ever written, and only when it could be read whole: a device, a FIFO,
//   a folder, an unreadable file or one larger than kMaxFileSize is read as far as it can be
//   (without blocking) but never replaced, and a write to it fails; a link is followed;
// - a rewritten file keeps its permissions and its line breaks (CR LF or LF, lines added follow
//   the first break); a new file gets `lineEnd`, and with CrLf (Windows) every line of a file
//   written with LF before gets CR LF too; reading accepts both;
// - section and key names compare without regard to ASCII case, surrounding blanks ignored;
// - a missing file, section or key gives the caller's default;
// - an integer is read from the value's leading decimal digits (an optional sign first), so
//   "12abc" is 12 and "abc" is 0; an empty value gives the default.
//
// Thread safety: any call from any thread.
class ProfileFile {
 public:
  explicit ProfileFile(std::filesystem::path file,
                       SettingsAccess access = SettingsAccess::ReadWrite,
                       LineEnd lineEnd = kPlatformLineEnd);

  [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                      std::string_view fallback) const;
  [[nodiscard]] int GetInt(std::string_view section, std::string_view key, int fallback) const;
  // Every key of a section with its value, in file order.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> GetSection(
      std::string_view section) const;

  // Replaces or adds the key (and the section when needed) in memory and, in ReadWrite mode, in
  // the file, which is rewritten through a temporary file so that a crash never leaves half a
  // settings file. False when the value holds a line break, which the format cannot carry
  // (nothing changes then), or when the file cannot be written (memory keeps the value).
  bool WriteString(std::string_view section, std::string_view key, std::string_view value) const;
  bool WriteInt(std::string_view section, std::string_view key, int value) const;

  [[nodiscard]] const std::filesystem::path& File() const { return file_; }

  // Settings files larger than this are read only up to it and never written: they are not ours.
  static constexpr std::size_t kMaxFileSize = 1 << 20;

 private:
  std::filesystem::path file_;
  SettingsAccess access_;
  LineEnd lineEnd_;
  mutable std::mutex mutex_;
  mutable std::vector<std::string> lines_;  // the file as read, with this object's writes
};

}  // namespace veska::app
