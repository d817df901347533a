#include "app/FileReplace.h"

#include <fstream>
#include <string>
#include <system_error>

namespace veska::app {

TargetKind KindOfTarget(const std::filesystem::path& file) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(file, ec);
  if (status.type() == std::filesystem::file_type::not_found) return TargetKind::Absent;
  if (ec) return TargetKind::Other;
  return std::filesystem::is_regular_file(status) ? TargetKind::Regular : TargetKind::Other;
}

std::filesystem::path ReplacementTarget(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(file, ec))) return file;
  std::filesystem::path target = std::filesystem::canonical(file, ec);
  if (ec) return {};
  return target;
}

bool ReplaceFileWith(const std::filesystem::path& file, std::string_view content,
                     std::string_view suffix) {
  std::error_code error;
  return ReplaceFileBy(
      file, suffix,
      [content](std::ostream& out) {
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return static_cast<bool>(out);
      },
      error);
}

bool ReplaceFileBy(const std::filesystem::path& file, std::string_view suffix,
                   const std::function<bool(std::ostream&)>& write, std::error_code& error) {
  error.clear();
  std::error_code ignored;
  std::filesystem::path temporary = file;
  temporary += std::string(suffix);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      error.assign(errno, std::generic_category());
      return false;
    }
    bool written = write(out);
    if (written) out.close();
    if (!written || !out) {
      if (out.fail() || out.bad()) error.assign(errno, std::generic_category());
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  const std::filesystem::file_status old = std::filesystem::status(file, ignored);
  if (!ignored && std::filesystem::is_regular_file(old)) {
    std::filesystem::permissions(temporary, old.permissions(), ignored);
  }
  std::filesystem::rename(temporary, file, error);
  if (error) {
    std::filesystem::remove(temporary, ignored);
    return false;
  }
  return true;
}

}  // namespace veska::app
