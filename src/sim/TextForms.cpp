#include "sim/TextForms.h"

namespace veska::sim {

std::optional<std::vector<std::uint8_t>> ParseBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    auto value = ParseNumber<std::uint8_t>(text.substr(0, comma), 16);
    if (!value) return std::nullopt;
    bytes.push_back(*value);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  }
  return bytes;
}

std::optional<FaultText<std::string_view, std::string_view>> SplitFault(std::string_view text) {
  FaultText<std::string_view, std::string_view> parts;
  if (!text.empty() && text.back() == '!') {
    parts.repeat = true;
    text.remove_suffix(1);
  }
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) return std::nullopt;
  parts.kind = text.substr(0, at);
  std::string_view rest = text.substr(at + 1);
  if (const std::size_t eq = rest.find('='); eq != std::string_view::npos) {
    parts.value = rest.substr(eq + 1);
    rest = rest.substr(0, eq);
  }
  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    parts.index = ParseNumber<std::uint32_t>(rest.substr(hash + 1));
    if (!parts.index) return std::nullopt;
    rest = rest.substr(0, hash);
  }
  parts.step = rest;
  return parts;
}

}  // namespace veska::sim
