// Character set conversions through the system's code pages: the source text goes to UTF-16
// and from there to the target set. mingw has no iconv, and the code pages are what Windows
// itself uses for the ANSI file names the user's listings hold.
#include <windows.h>

#include <cctype>
#include <charconv>
#include <climits>
#include <string>

#include "fs/Charset.h"

namespace veska::fs {

namespace {

constexpr UINT kNoCodePage = 0;

std::string Upper(std::string_view name) {
  std::string upper;
  for (const char c : name) {
    if (c == '_' || c == ' ') continue;
    upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return upper;
}

// The code page an iconv-style name stands for, or kNoCodePage.
UINT CodePageFor(std::string_view name) {
  const std::string upper = Upper(name);
  if (upper == "UTF-8" || upper == "UTF8") return CP_UTF8;
  if (upper == "ASCII" || upper == "US-ASCII" || upper == "ANSIX3.4-1968") return 20127;
  if (upper == "ISO-8859-1" || upper == "LATIN1" || upper == "ISO8859-1") return 28591;
  if (upper == "ISO-8859-15" || upper == "LATIN9" || upper == "ISO8859-15") return 28605;
  std::string_view digits;
  if (upper.starts_with("CP")) {
    digits = std::string_view(upper).substr(2);
  } else if (upper.starts_with("WINDOWS-")) {
    digits = std::string_view(upper).substr(8);
  } else {
    return kNoCodePage;
  }
  unsigned number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc{} || end != digits.data() + digits.size() || number == 0 ||
      number > 65535 || !IsValidCodePage(number)) {
    return kNoCodePage;
  }
  return number;
}

}  // namespace

struct CharsetConversion::State {
  UINT to = kNoCodePage;
  UINT from = kNoCodePage;
};

CharsetConversion::CharsetConversion(const std::string& to, const std::string& from)
    : state_(std::make_unique<State>()) {
  state_->to = CodePageFor(to);
  state_->from = CodePageFor(from);
}

CharsetConversion::~CharsetConversion() = default;

bool CharsetConversion::Valid() const {
  return state_->to != kNoCodePage && state_->from != kNoCodePage;
}

std::optional<std::string> CharsetConversion::Convert(std::string_view text) {
  if (!Valid()) return std::nullopt;
  if (text.empty()) return std::string();
  if (text.size() > static_cast<std::size_t>(INT_MAX / 4)) return std::nullopt;
  const int inLength = static_cast<int>(text.size());

  // Invalid source bytes fail the conversion rather than becoming U+FFFD.
  const int wideLength =
      MultiByteToWideChar(state_->from, MB_ERR_INVALID_CHARS, text.data(), inLength, nullptr, 0);
  if (wideLength <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  if (MultiByteToWideChar(state_->from, MB_ERR_INVALID_CHARS, text.data(), inLength, wide.data(),
                          wideLength) != wideLength) {
    return std::nullopt;
  }

  // To UTF-8 an unpaired surrogate fails; to a code page, a character it lacks would become '?'
  // or a look-alike ("best fit"): both are refused.
  const bool toUtf8 = state_->to == CP_UTF8;
  const DWORD flags = toUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = toUtf8 ? nullptr : &usedDefault;
  const int outLength = WideCharToMultiByte(state_->to, flags, wide.data(), wideLength, nullptr, 0,
                                            nullptr, usedDefaultOut);
  if (outLength <= 0 || usedDefault) return std::nullopt;
  std::string out(static_cast<std::size_t>(outLength), '\0');
  if (WideCharToMultiByte(state_->to, flags, wide.data(), wideLength, out.data(), outLength,
                          nullptr, usedDefaultOut) != outLength ||
      usedDefault) {
    return std::nullopt;
  }
  return out;
}

std::string SystemCharset() {
  return "CP" + std::to_string(GetACP());
}

}  // namespace veska::fs
