#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "fs/Charset.h"

namespace veska::explorer {

// Longest name either conversion takes or gives, terminating zero included.
inline constexpr std::size_t kMaxNameBytes = 510;
// The text both conversions report when a name does not fit or has no form in the other
// character set.
inline constexpr std::string_view kConversionError = "MultibyteToUTF8 ERROR";

// A name of the phone as the window and the terminal show it: control bytes (C0, DEL and the
// C1 controls in their UTF-8 form) written as escapes ("\r", "\n", "\t", "\0", "\x1B"), so
// that a name cannot clear the screen, colour it, split a line or hide its end; an empty name
// as "". A name without control bytes is shown as it is.
[[nodiscard]] std::string ShownName(std::string_view name);

// Converts the Explorer's names between the PC's character set (the user's locale, as the rest
// of the program) and the UTF-8 the phone stores.
//
// One converter per dialog: the conversions carry shift state and are used by one thread
// at a time (the dialog runs one exchange at a time).
class ExplorerNames {
 public:
  ExplorerNames();
  // For a named PC character set ("ISO-8859-1", "CP1252", ...).
  explicit ExplorerNames(const std::string& pcCharset);
  ExplorerNames(const ExplorerNames&) = delete;
  ExplorerNames& operator=(const ExplorerNames&) = delete;

  // The UTF-8 form of `name` with its terminating zero (the zero is part of the result and of
  // its size); nothing when `name` is longer than kMaxNameBytes, when the result would be, or
  // when it has no UTF-8 form.
  [[nodiscard]] std::optional<std::string> ToUtf8(std::string_view name);
  // The PC form of `utf8` without its terminating zero (a zero inside is part of the name);
  // nothing under the same conditions.
  [[nodiscard]] std::optional<std::string> FromUtf8(std::string_view utf8);

 private:
  fs::CharsetConversion toUtf8_;
  fs::CharsetConversion fromUtf8_;
};

}  // namespace veska::explorer
