#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veska::app {

// An INI file read and written the way the classic private-profile functions do:
// - every call reads the file afresh and every write goes to the file at once;
// - section and key names compare without regard to ASCII case, surrounding blanks ignored;
// - a missing file, section or key gives the caller's default;
// - an integer is read from the value's leading decimal digits (an optional sign first), so
//   "12abc" is 12 and "abc" is 0; an empty value gives the default.
//
// Thread safety: calls from several threads on one object are serialised by the file system
// only; the dialog calls it from the user-interface thread.
class ProfileFile {
 public:
  explicit ProfileFile(std::filesystem::path file) : file_(std::move(file)) {}

  [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                      std::string_view fallback) const;
  [[nodiscard]] int GetInt(std::string_view section, std::string_view key, int fallback) const;
  // Every key of a section with its value, in file order.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> GetSection(
      std::string_view section) const;

  // Replaces or adds the key (and the section when needed) and rewrites the file through a
  // temporary file, so that a crash never leaves half a settings file. False when the file
  // cannot be written, or when the value holds a line break, which the format cannot carry.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value) const;
  bool WriteInt(std::string_view section, std::string_view key, int value) const;

  [[nodiscard]] const std::filesystem::path& File() const { return file_; }

  // Settings files larger than this are read only up to it: they are not ours.
  static constexpr std::size_t kMaxFileSize = 1 << 20;

 private:
  std::filesystem::path file_;
};

}  // namespace veska::app
