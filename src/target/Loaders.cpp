#include "target/Loaders.h"

#include <chrono>

#include "app/Printf.h"
#include "link/BaudCodes.h"
#include "payloads/PayloadSet.h"

namespace veska::target {

using app::EngineContext;
using app::Printf;
using link::PORT_OK;
using link::PortStatus;
using link::SerialPort;
using payloads::PayloadId;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kFactor = 8;
constexpr std::uint8_t kBadBlockFactor = 1;
// The bootloader driver announces itself with a few bytes before its ready byte; a stream this
// long without it is no driver starting.
constexpr unsigned kMaxDriverPrelude = 4096;

PortStatus ReadByte(SerialPort& port, std::uint8_t& byte) {
  std::uint8_t received = 0;
  const PortStatus status = port.ReadFully(std::span(&received, 1), kFactor);
  if (status == PORT_OK) byte = received;
  return status;
}

PortStatus WriteByte(SerialPort& port, std::uint8_t byte) {
  return port.WriteFully(std::span(&byte, 1), kFactor);
}

// The payload to send; a refused real file (wrong size or header) has no bytes and is never
// sent: the upload fails as if its buffer could not be had.
std::span<const std::uint8_t> Payload(const LoaderInputs& inputs, PayloadId id) {
  return inputs.payloads.Bytes(id);
}

PortStatus Awaited(const EngineContext& engine, PortStatus status, std::string_view awaited) {
  return static_cast<PortStatus>(engine.Awaited(status, awaited));
}

}  // namespace

std::string FlashIdText(std::uint16_t identity) {
  switch (identity) {
    case 0xECB1:
      return "MR7D2P45XT";
    case 0xECBA:
      return "MQ200P11XT";
    default:
      return Printf("%X", static_cast<unsigned>(identity));
  }
}

BadBlockList::Next BadBlockList::Take(std::uint16_t word) {
  if (next_ != Next::More) return next_;
  anyArrived_ = true;
  if (word == BAD_BLOCK_END) {
    next_ = Next::Ended;
  } else if (words_.size() == 2 * kFlashBlocks) {
    next_ = Next::TooLong;  // a pair for every block came, and still no end
  } else {
    words_.push_back(word);
  }
  return next_;
}

std::string BadBlockReport(std::span<const std::uint16_t> words, bool anyArrived) {
  if (!anyArrived) return "FAIL\n";
  const std::size_t pairs = words.size() / 2;
  if (pairs == 0) return "Not found\n";
  const std::string rule = "      ---------------------------------------------------------\n";
  std::string report = Printf("%d Bad block found\n", static_cast<int>(pairs)) + rule;
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::string first = Printf("P.Block[%d]", static_cast<int>(words[2 * i]));
    const std::string second = Printf("S.Block[%d]", static_cast<int>(words[2 * i + 1]));
    report += "        " + first + " ---> " + second + "\n";
  }
  return report + rule;
}

PortStatus SendPreloader(const EngineContext& engine, const LoaderInputs& inputs) {
  SerialPort& port = engine.port;
  if (!link::IsLoaderBaudCode(port.baudCode)) {
    port.Close();
    return link::PORT_BAD_BAUD;
  }
  for (PayloadId id : {PayloadId::PreloaderStage1, PayloadId::PreloaderStage2}) {
    const auto bytes = Payload(inputs, id);
    if (bytes.empty()) {
      port.Close();
      return link::PORT_NO_MEMORY;
    }
    if (PortStatus status = port.WriteFully(bytes, kFactor); status != PORT_OK) {
      port.Close();
      return status;
    }
    engine.clock.Sleep(250ms);
  }
  return PORT_OK;
}

PortStatus SendNandFlashDriver(const EngineContext& engine, const LoaderInputs& inputs) {
  SerialPort& port = engine.port;
  const std::uint8_t code = port.baudCode;
  auto finish = [&](PortStatus status) {
    port.Close();
    return status;
  };
  if (!link::IsLoaderBaudCode(code)) return finish(link::PORT_BAD_BAUD);
  const auto driver = Payload(inputs, PayloadId::NandFlashDriver);
  if (driver.empty()) return finish(link::PORT_NO_MEMORY);

  engine.narrator.SetProgressRange(static_cast<std::uint32_t>(driver.size()));
  engine.narrator.SetProgressPos(0);
  for (std::size_t sent = 0; sent < driver.size();) {
    const std::size_t n = std::min(DRIVER_CHUNK, driver.size() - sent);
    if (PortStatus status = port.WriteFully(driver.subspan(sent, n), kFactor); status != PORT_OK) {
      return finish(status);
    }
    sent += n;
    engine.narrator.SetProgressPos(static_cast<std::uint32_t>(sent));
  }

  std::uint8_t ready = 0;
  if (PortStatus status = port.ReadFully(std::span(&ready, 1), kFactor); status != PORT_OK) {
    return finish(Awaited(engine, status, "the driver's ready byte"));
  }
  if (ready != DRIVER_READY) return finish(link::PORT_BAD_ACK);

  if (PortStatus status = WriteByte(port, code); status != PORT_OK) return finish(status);
  std::uint8_t reply = 0;  // read, not judged
  if (PortStatus status = port.ReadFully(std::span(&reply, 1), kFactor); status != PORT_OK) {
    return finish(Awaited(engine, status, "the driver's answer to the rate"));
  }
  return finish(PORT_OK);
}

PortStatus SendBootloaderDriver(const EngineContext& engine, const LoaderInputs& inputs) {
  SerialPort& port = engine.port;
  const std::uint8_t code = port.baudCode;
  auto finish = [&](PortStatus status) {
    port.Close();
    engine.clock.Sleep(250ms);
    return status;
  };
  if (!link::IsLoaderBaudCode(code)) return finish(link::PORT_BAD_BAUD);
  const auto driver = Payload(inputs, PayloadId::BootloaderDriver);
  if (driver.empty()) return finish(link::PORT_NO_MEMORY);
  if (PortStatus status = port.WriteFully(driver, kFactor); status != PORT_OK) {
    return finish(status);
  }
  engine.clock.Sleep(250ms);

  // The bootloader driver may send other bytes before it is ready.
  std::uint8_t byte = 0;
  for (unsigned count = 0; byte != DRIVER_READY; ++count) {
    if (count == kMaxDriverPrelude) {
      engine.narrator.Log(
          Printf("\r\n%u bytes came, none of them the driver's ready byte\r\n", count));
      return finish(link::PORT_BAD_ACK);
    }
    if (PortStatus status = port.ReadFully(std::span(&byte, 1), kFactor); status != PORT_OK) {
      return finish(Awaited(engine, status, "the driver's ready byte"));
    }
  }
  if (PortStatus status = WriteByte(port, code); status != PORT_OK) return finish(status);
  std::uint8_t reply = 0;
  return finish(Awaited(engine, port.ReadFully(std::span(&reply, 1), kFactor),
                        "the driver's answer to the rate"));
}

PortStatus UploadLoaders(const EngineContext& engine, const LoaderInputs& inputs,
                         FlashChecks& checks) {
  SerialPort& port = engine.port;
  app::Narrator& narrator = engine.narrator;
  checks = {};
  narrator.Log("\n\n  * NAND Flash Driver Download");
  narrator.Log("\n     preloader downloading\t\t\t> > > ");
  if (PortStatus status = SendPreloader(engine, inputs); status != PORT_OK) {
    narrator.Log("FAIL\n");
    narrator.Log("\n  Turn On/Off the target phone!!!\n");
    return status;
  }
  narrator.Log("OK\n");
  engine.clock.Sleep(250ms);
  port.baudCode = inputs.loaderBaudCode;

  PortStatus status = PORT_OK;
  if (inputs.kind == LOADER_NAND_FLASH_DRIVER) {
    narrator.Log("     NAND Flash driver downloading\t\t> > > ");
    status = SendNandFlashDriver(engine, inputs);
  } else {
    narrator.Log("     Bootloader driver downloading\t\t> > > ");
    status = SendBootloaderDriver(engine, inputs);
  }
  if (status != PORT_OK) {
    narrator.Log("FAIL\n");
    narrator.Log("\n  Turn On/Off the target phone!!!\n");
    narrator.Enter(app::WindowState::Connected);
    return status;
  }
  if (inputs.kind != LOADER_NAND_FLASH_DRIVER) {
    port.Close();
    return PORT_OK;
  }
  checks = CheckFlash(engine);
  port.Close();
  return PORT_OK;
}

FlashChecks CheckFlash(const EngineContext& engine) {
  SerialPort& port = engine.port;
  app::Narrator& narrator = engine.narrator;
  // Flash identity: the driver now runs at the user's rate. Problems here never fail the
  // upload; identity bytes that never arrive show "FAIL" rather than an undefined number.
  narrator.Log("OK\n");
  narrator.Log("     Flash Type Checking\t\t\t> > > ");
  engine.clock.Sleep(1000ms);
  if (link::OpenForLinkMode(port) != PORT_OK) {
    // The port was let go for the rate change and another program took it meanwhile (its
    // failure is on record with its reason): the checks were never asked, and START fails.
    narrator.ShowFlashId("FAIL");
    narrator.Log("FAIL\n");
    FlashChecks refused;
    refused.failed = true;
    return refused;
  }
  (void)WriteByte(port, FLASH_ID_QUERY);
  std::uint8_t first = 0, second = 0;
  PortStatus identity = ReadByte(port, first);
  const bool gotFirst = identity == PORT_OK;
  // A phone silent for the reply time-out is not waited for a second time.
  if (identity != link::PORT_NO_REPLY) identity = ReadByte(port, second);
  const bool gotSecond = identity == PORT_OK;
  (void)Awaited(engine, identity, "the flash identity");
  narrator.ShowFlashId(gotFirst && gotSecond
                           ? FlashIdText(static_cast<std::uint16_t>(first << 8 | second))
                           : "FAIL");
  narrator.Log("OK\n");

  // Bad blocks: big-endian words in pairs, ended by 0xFFFF.
  narrator.Log("      NAND Bad block check\t\t\t> > > ");
  (void)WriteByte(port, BAD_BLOCK_QUERY);
  BadBlockList list;
  for (BadBlockList::Next next = BadBlockList::Next::More; next == BadBlockList::Next::More;) {
    std::uint8_t bytes[2] = {};
    if (PortStatus read = port.ReadFully(bytes, kBadBlockFactor); read != PORT_OK) {
      (void)Awaited(engine, read, "the bad-block list");
      break;
    }
    next = list.Take(static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]));
  }
  // The upload itself succeeded and the log tells what arrived; START keeps that the phone did
  // not answer the checks in full, so that it does not count as connected.
  FlashChecks checks;
  checks.failed = !(gotFirst && gotSecond) || !list.Ended();
  checks.report.badBlockListTooLong = list.TooLong();
  const std::span<const std::uint16_t> words = list.Words();
  if (list.Ended()) {
    checks.report.badBlocksKnown = true;
    for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
      checks.report.badBlocks.emplace_back(words[i], words[i + 1]);
    }
  }
  narrator.Log(list.TooLong() ? std::string("FAIL\n") : BadBlockReport(words, list.AnyArrived()));
  return checks;
}

}  // namespace veska::target
