#include "fs/NameConverter.h"

namespace veska::fs {

NameConverter::NameConverter() : NameConverter(LocaleCharset()) {}

NameConverter::NameConverter(const std::string& fromCharset)
    : from_(fromCharset), conversion_("UTF-8", fromCharset) {}

std::optional<std::string> NameConverter::ToUtf8(std::string_view name) {
  return conversion_.Convert(name);
}

}  // namespace veska::fs
