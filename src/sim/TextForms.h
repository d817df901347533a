#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace veska::sim {

// The textual forms shared by vphone's flags and by both kinds of fault (the phone's and the
// file-system service's). Each parser returns nullopt unless the whole text is well formed.

// An unsigned number filling the whole text. Base 0: decimal, or hexadecimal after "0x";
// base 16: hexadecimal, with or without "0x".
template <typename T>
[[nodiscard]] std::optional<T> ParseNumber(std::string_view text, int base = 0) {
  const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (base == 0) base = prefixed ? 16 : 10;
  if (prefixed && base == 16) text.remove_prefix(2);
  if (text.empty()) return std::nullopt;
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "00,12,0x7E": hexadecimal bytes separated by commas ("" is no bytes).
[[nodiscard]] std::optional<std::vector<std::uint8_t>> ParseBytes(std::string_view text);

// One name of a fault kind or step as it is written; each part keeps a table of them.
template <typename E>
struct Named {
  E value;
  const char* name;
};

template <typename E, std::size_t N>
[[nodiscard]] const char* NameOf(const Named<E> (&table)[N], E value) {
  for (const auto& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return "?";
}

template <typename E, std::size_t N>
[[nodiscard]] std::optional<E> FindNamed(const Named<E> (&table)[N], std::string_view name) {
  for (const auto& entry : table) {
    if (name == entry.name) return entry.value;
  }
  return std::nullopt;
}

// A fault as written, "KIND@STEP[#N][=VALUE][!]", with its kind and step found in the tables
// of the part it belongs to. What the value must be, and which kinds make sense at which
// steps, is for that part to judge.
template <typename Kind, typename Step>
struct FaultText {
  Kind kind{};
  Step step{};
  std::optional<std::uint32_t> index;  // "#N"
  std::string_view value;              // after "=", "" without one; a view into the text
  bool repeat = false;                 // a trailing "!"
};

// Splits the text at its marks, the kind and the step still as written; nullopt without an "@"
// or with an "#N" that is no number.
[[nodiscard]] std::optional<FaultText<std::string_view, std::string_view>> SplitFault(
    std::string_view text);

template <typename Kind, typename Step, std::size_t K, std::size_t S>
[[nodiscard]] std::optional<FaultText<Kind, Step>> ParseFaultText(std::string_view text,
                                                                  const Named<Kind> (&kinds)[K],
                                                                  const Named<Step> (&steps)[S]) {
  const auto parts = SplitFault(text);
  if (!parts) return std::nullopt;
  const auto kind = FindNamed(kinds, parts->kind);
  const auto step = FindNamed(steps, parts->step);
  if (!kind || !step) return std::nullopt;
  return FaultText<Kind, Step>{*kind, *step, parts->index, parts->value, parts->repeat};
}

}  // namespace veska::sim
