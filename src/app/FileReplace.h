#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string_view>
#include <system_error>

namespace veska::app {

// Files this program writes as whole new versions (the settings file, a bench report): only a
// regular file or a new one is ever replaced. Renaming a temporary file over a FIFO, a device
// or a folder would turn it into a regular file (or fail and leave the temporary behind), so
// such a path is refused before anything is written.

// What stands at a path, a link followed, found without opening it (opening a FIFO or a
// device could block or disturb it).
enum class TargetKind { Absent, Regular, Other };
[[nodiscard]] TargetKind KindOfTarget(const std::filesystem::path& file);

// The file a write to `file` replaces: the file a link names, so that the link stays a link;
// `file` itself otherwise. Empty for a link to nothing.
[[nodiscard]] std::filesystem::path ReplacementTarget(const std::filesystem::path& file);

// Writes `content` to `file` + `suffix` beside it and renames that over `file`, so that a
// reader or a crash never finds half a file; an old regular file's permissions are kept. The
// caller has made sure that `file` is a regular file or absent. False, with the temporary
// removed again, when anything fails.
bool ReplaceFileWith(const std::filesystem::path& file, std::string_view content,
                     std::string_view suffix);
// The same for a version `write` streams into the temporary file (a large one need not be
// held in memory whole); `write` returns false when what it had to write failed. `error` is
// the system's reason when a write, the close or the rename failed, and stays clear when
// `write` gave up on its own.
bool ReplaceFileBy(const std::filesystem::path& file, std::string_view suffix,
                   const std::function<bool(std::ostream&)>& write, std::error_code& error);

}  // namespace veska::app
