#include "explorer/ExplorerNames.h"

namespace veska::explorer {

ExplorerNames::ExplorerNames() : ExplorerNames(fs::SystemCharset()) {}

ExplorerNames::ExplorerNames(const std::string& pcCharset)
    : toUtf8_("UTF-8", pcCharset), fromUtf8_(pcCharset, "UTF-8") {}

std::optional<std::string> ExplorerNames::ToUtf8(std::string_view name) {
  if (name.size() > kMaxNameBytes) return std::nullopt;
  std::optional<std::string> utf8 = toUtf8_.Convert(name);
  if (!utf8 || utf8->size() + 1 > kMaxNameBytes) return std::nullopt;
  utf8->push_back('\0');
  return utf8;
}

std::optional<std::string> ExplorerNames::FromUtf8(std::string_view utf8) {
  const std::size_t end = utf8.find('\0');
  if (end != std::string_view::npos) utf8 = utf8.substr(0, end);
  if (utf8.size() > kMaxNameBytes) return std::nullopt;
  std::optional<std::string> name = fromUtf8_.Convert(utf8);
  if (!name || name->size() + 1 > kMaxNameBytes) return std::nullopt;
  return name;
}

}  // namespace veska::explorer
