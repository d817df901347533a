// Character set conversions through iconv, with the locale's character set read without
// touching the process's locale.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <vector>

#include "fs/Charset.h"

namespace veska::fs {

namespace {
const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);
}  // namespace

struct CharsetConversion::State {
  iconv_t descriptor = kNoDescriptor;
};

CharsetConversion::CharsetConversion(const std::string& to, const std::string& from)
    : state_(std::make_unique<State>()) {
  state_->descriptor = iconv_open(to.c_str(), from.c_str());
}

CharsetConversion::~CharsetConversion() {
  if (Valid()) iconv_close(state_->descriptor);
}

bool CharsetConversion::Valid() const {
  return state_->descriptor != kNoDescriptor;
}

std::optional<std::string> CharsetConversion::Convert(std::string_view text) {
  if (!Valid()) return std::nullopt;
  iconv_t cd = state_->descriptor;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state

  // Four bytes per character cover UTF-8 and every single- or double-byte character set, and
  // no source set uses fewer than one byte per character; the rest is room for a closing shift.
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

std::string SystemCharset() {
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

}  // namespace veska::fs
