#include "sim/PhoneOptions.h"

#include <charconv>
#include <cstring>

namespace veska::sim {

namespace {

struct StepName {
  FaultStep step;
  const char* name;
};
constexpr StepName kStepNames[] = {
    {FaultStep::BootSignal, "boot"},  {FaultStep::StartAck, "ack"},
    {FaultStep::ReadyByte, "ready"},  {FaultStep::RateReply, "rate"},
    {FaultStep::FlashId, "flash-id"}, {FaultStep::BadBlocks, "bad-blocks"},
    {FaultStep::EraseDone, "erase"},  {FaultStep::ImageSync, "sync"},
    {FaultStep::ImageBlock, "block"}, {FaultStep::ImageDone, "done"},
    {FaultStep::DumpChunk, "chunk"},
};

struct KindName {
  FaultKind kind;
  const char* name;
};
constexpr KindName kKindNames[] = {
    {FaultKind::Silence, "silence"},   {FaultKind::WrongByte, "wrong"},
    {FaultKind::StrayBytes, "stray"},  {FaultKind::WrongBlockSum, "sum"},
    {FaultKind::TransferCode, "code"}, {FaultKind::CorruptChunk, "corrupt"},
    {FaultKind::LineDrop, "drop"},
};

// Unsigned number, decimal or with a 0x prefix, filling the whole text.
template <typename T>
std::optional<T> ParseNumber(std::string_view text, int base = 0) {
  if (base == 0) {
    base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      text.remove_prefix(2);
      base = 16;
    }
  }
  if (text.empty()) return std::nullopt;
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  for (const auto& k : kKindNames) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

const char* FaultStepName(FaultStep step) {
  for (const auto& s : kStepNames) {
    if (s.step == step) return s.name;
  }
  return "?";
}

std::optional<std::pair<std::uint8_t, std::uint8_t>> ParseFlashId(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c != ':') digits += c;
  }
  if (digits.size() != 4) return std::nullopt;
  auto first = ParseNumber<std::uint8_t>(std::string_view(digits).substr(0, 2), 16);
  auto second = ParseNumber<std::uint8_t>(std::string_view(digits).substr(2, 2), 16);
  if (!first || !second) return std::nullopt;
  return std::pair{*first, *second};
}

std::optional<std::vector<std::pair<std::uint16_t, std::uint16_t>>> ParseBadBlocks(
    std::string_view text) {
  std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs;
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    std::size_t colon = item.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto bad = ParseNumber<std::uint16_t>(item.substr(0, colon));
    auto spare = ParseNumber<std::uint16_t>(item.substr(colon + 1));
    // 0xFFFF closes the list on the wire, so it cannot stand for a block.
    if (!bad || !spare || *bad == 0xFFFF || *spare == 0xFFFF) return std::nullopt;
    pairs.emplace_back(*bad, *spare);
  }
  return pairs;
}

std::optional<std::vector<std::uint8_t>> ParseBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X')) {
      item.remove_prefix(2);
    }
    auto value = ParseNumber<std::uint8_t>(item, 16);
    if (!value) return std::nullopt;
    bytes.push_back(*value);
  }
  return bytes;
}

std::optional<Fault> ParseFault(std::string_view text) {
  Fault fault;
  if (!text.empty() && text.back() == '!') {
    fault.repeat = true;
    text.remove_suffix(1);
  }
  std::size_t at = text.find('@');
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view kind = text.substr(0, at);
  std::string_view rest = text.substr(at + 1);
  std::string_view value;
  if (std::size_t eq = rest.find('='); eq != std::string_view::npos) {
    value = rest.substr(eq + 1);
    rest = rest.substr(0, eq);
  }
  std::string_view step = rest;
  if (std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    auto block = ParseNumber<std::uint32_t>(rest.substr(hash + 1));
    if (!block) return std::nullopt;
    fault.block = *block;
    step = rest.substr(0, hash);
  }

  bool kindFound = false;
  for (const auto& k : kKindNames) {
    if (kind == k.name) {
      fault.kind = k.kind;
      kindFound = true;
    }
  }
  bool stepFound = false;
  for (const auto& s : kStepNames) {
    if (step == s.name) {
      fault.step = s.step;
      stepFound = true;
    }
  }
  if (!kindFound || !stepFound) return std::nullopt;
  // A fault that would be recorded as fired but change nothing is refused: a test written
  // with it would test nothing.
  const bool imageStep = fault.step == FaultStep::ImageBlock || fault.step == FaultStep::ImageDone;
  if ((fault.kind == FaultKind::WrongBlockSum || fault.kind == FaultKind::TransferCode) &&
      !imageStep) {
    return std::nullopt;
  }
  if (fault.kind == FaultKind::CorruptChunk && fault.step != FaultStep::DumpChunk &&
      fault.step != FaultStep::ImageBlock) {
    return std::nullopt;
  }

  switch (fault.kind) {
    case FaultKind::WrongByte:
    case FaultKind::TransferCode: {
      auto byte = ParseNumber<std::uint8_t>(value);
      if (!byte) return std::nullopt;
      fault.value = *byte;
      break;
    }
    case FaultKind::StrayBytes: {
      auto bytes = ParseBytes(value);
      if (!bytes || bytes->empty()) return std::nullopt;
      fault.bytes = std::move(*bytes);
      break;
    }
    default:
      if (!value.empty()) return std::nullopt;
      break;
  }
  return fault;
}

}  // namespace veska::sim
