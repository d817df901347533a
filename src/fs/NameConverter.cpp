#include "fs/NameConverter.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <vector>

namespace veska::fs {

NameConverter::NameConverter() : NameConverter(LocaleCharset()) {}

NameConverter::NameConverter(const std::string& fromCharset) : from_(fromCharset) {
  handle_ = static_cast<Handle>(iconv_open("UTF-8", from_.c_str()));
}

NameConverter::~NameConverter() {
  if (Valid()) iconv_close(static_cast<iconv_t>(handle_));
}

std::string NameConverter::LocaleCharset() {
  // A private locale object: setlocale() would change the whole process under other threads.
  locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) {
    locale = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  }
  if (locale == static_cast<locale_t>(nullptr)) return "ANSI_X3.4-1968";
  std::string charset = nl_langinfo_l(CODESET, locale);
  freelocale(locale);
  return charset;
}

std::optional<std::string> NameConverter::ToUtf8(std::string_view name) {
  if (!Valid()) return std::nullopt;
  auto* cd = static_cast<iconv_t>(handle_);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state

  // UTF-8 needs at most four bytes per character and no source character set uses fewer than
  // one byte per character, so four times the input (plus room for a closing shift) suffices.
  std::vector<char> out(name.size() * 4 + 16);
  std::vector<char> in(name.begin(), name.end());
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
    return std::nullopt;
  }
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
    return std::nullopt;
  }
  return std::string(out.data(), out.size() - outLeft);
}

}  // namespace veska::fs
