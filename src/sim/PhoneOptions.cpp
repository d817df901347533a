#include "sim/PhoneOptions.h"

#include "sim/TextForms.h"

namespace veska::sim {

namespace {

constexpr Named<FaultStep> kStepNames[] = {
    {FaultStep::BootSignal, "boot"},  {FaultStep::StartAck, "ack"},
    {FaultStep::ReadyByte, "ready"},  {FaultStep::RateReply, "rate"},
    {FaultStep::FlashId, "flash-id"}, {FaultStep::BadBlocks, "bad-blocks"},
    {FaultStep::EraseDone, "erase"},  {FaultStep::ImageSync, "sync"},
    {FaultStep::ImageBlock, "block"}, {FaultStep::ImageDone, "done"},
    {FaultStep::DumpChunk, "chunk"},
};

constexpr Named<FaultKind> kKindNames[] = {
    {FaultKind::Silence, "silence"},   {FaultKind::WrongByte, "wrong"},
    {FaultKind::StrayBytes, "stray"},  {FaultKind::WrongBlockSum, "sum"},
    {FaultKind::TransferCode, "code"}, {FaultKind::CorruptChunk, "corrupt"},
    {FaultKind::LineDrop, "drop"},
};

}  // namespace

const char* FaultKindName(FaultKind kind) {
  return NameOf(kKindNames, kind);
}

const char* FaultStepName(FaultStep step) {
  return NameOf(kStepNames, step);
}

std::optional<AdapterModel> ParseAdapter(std::string_view text) {
  AdapterModel adapter;
  if (text == "none") return adapter;
  if (text == "cdc") {
    adapter.kind = AdapterModel::Kind::Cdc;
    return adapter;
  }
  if (!text.starts_with("ftdi")) return std::nullopt;
  adapter.kind = AdapterModel::Kind::Ftdi;
  text.remove_prefix(4);
  if (text.empty()) return adapter;
  if (!text.starts_with(':') || text.size() < 2 || text.size() > 4) return std::nullopt;
  int ms = 0;
  for (const char c : text.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    ms = ms * 10 + (c - '0');
  }
  // The chip's timer takes 1 to 255 ms.
  if (ms < 1 || ms > 255) return std::nullopt;
  adapter.latency = std::chrono::milliseconds(ms);
  return adapter;
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

std::optional<Fault> ParseFault(std::string_view text) {
  const auto written = ParseFaultText(text, kKindNames, kStepNames);
  if (!written) return std::nullopt;
  Fault fault;
  fault.kind = written->kind;
  fault.step = written->step;
  fault.block = written->index.value_or(0);
  fault.repeat = written->repeat;
  const std::string_view value = written->value;
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
