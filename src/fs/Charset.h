#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veska::fs {

// A conversion of text from one character set to another, UTF-8 being one of the two. Bytes
// that have no form in the target set, or are not valid in the source set, make the whole
// conversion fail: a name is never stored with a replacement character in it.
//
// Character sets are named as iconv names them ("UTF-8", "ISO-8859-1", "CP1252", ...). On Linux
// iconv converts; on Windows the system's code pages do ("CPnnnn" names a code page by number).
//
// A conversion may keep state between calls and is used by one thread at a time.
class CharsetConversion {
 public:
  CharsetConversion(const std::string& to, const std::string& from);
  ~CharsetConversion();
  CharsetConversion(const CharsetConversion&) = delete;
  CharsetConversion& operator=(const CharsetConversion&) = delete;

  // False when the system knows no conversion between the two sets.
  [[nodiscard]] bool Valid() const;
  [[nodiscard]] std::optional<std::string> Convert(std::string_view text);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The character set the user's file names are in: on Linux the one of the user's locale
// (LC_CTYPE, "ANSI_X3.4-1968" for the C locale), on Windows the ANSI code page ("CP1252").
[[nodiscard]] std::string SystemCharset();

}  // namespace veska::fs
