#include "explorer/ExplorerNames.h"

#include <iconv.h>

#include <vector>

#include "fs/NameConverter.h"

namespace veska::explorer {

namespace {

const auto kNoHandle = reinterpret_cast<void*>(-1);

}  // namespace

ExplorerNames::ExplorerNames() : ExplorerNames(fs::NameConverter::LocaleCharset()) {}

ExplorerNames::ExplorerNames(const std::string& pcCharset)
    : toUtf8_(static_cast<Handle>(iconv_open("UTF-8", pcCharset.c_str()))),
      fromUtf8_(static_cast<Handle>(iconv_open(pcCharset.c_str(), "UTF-8"))) {}

ExplorerNames::~ExplorerNames() {
  if (toUtf8_ != kNoHandle) iconv_close(static_cast<iconv_t>(toUtf8_));
  if (fromUtf8_ != kNoHandle) iconv_close(static_cast<iconv_t>(fromUtf8_));
}

std::optional<std::string> ExplorerNames::Convert(Handle handle, std::string_view text) {
  if (handle == kNoHandle || text.size() > kMaxNameBytes) return std::nullopt;
  auto* cd = static_cast<iconv_t>(handle);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  // Four bytes per character cover UTF-8 and every single- or double-byte PC character set.
  std::vector<char> out(text.size() * 4 + 16);
  std::vector<char> in(text.begin(), text.end());
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
      iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
    return std::nullopt;
  }
  return std::string(out.data(), out.size() - outLeft);
}

std::optional<std::string> ExplorerNames::ToUtf8(std::string_view name) {
  std::optional<std::string> utf8 = Convert(toUtf8_, name);
  if (!utf8 || utf8->size() + 1 > kMaxNameBytes) return std::nullopt;
  utf8->push_back('\0');
  return utf8;
}

std::optional<std::string> ExplorerNames::FromUtf8(std::string_view utf8) {
  const std::size_t end = utf8.find('\0');
  if (end != std::string_view::npos) utf8 = utf8.substr(0, end);
  std::optional<std::string> name = Convert(fromUtf8_, utf8);
  if (!name || name->size() + 1 > kMaxNameBytes) return std::nullopt;
  return name;
}

}  // namespace veska::explorer
