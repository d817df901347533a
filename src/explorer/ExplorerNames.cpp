#include "explorer/ExplorerNames.h"

#include "fs/Listing.h"

namespace veska::explorer {

std::string ShownName(std::string_view name) {
  if (name.empty()) return "\"\"";
  std::string shown;
  shown.reserve(name.size());
  for (std::size_t at = 0; at < name.size(); ++at) {
    const auto c = static_cast<unsigned char>(name[at]);
    if (c < 0x20 || c == 0x7F) {
      shown += fs::EscapedByte(c);
    } else if (const auto next =
                   at + 1 < name.size() ? static_cast<unsigned char>(name[at + 1]) : 0;
               c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      shown += fs::EscapedByte(c) + fs::EscapedByte(next);
      ++at;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

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
  if (utf8.ends_with('\0')) utf8.remove_suffix(1);
  if (utf8.size() > kMaxNameBytes) return std::nullopt;
  std::optional<std::string> name = fromUtf8_.Convert(utf8);
  if (!name || name->size() + 1 > kMaxNameBytes) return std::nullopt;
  return name;
}

}  // namespace veska::explorer
