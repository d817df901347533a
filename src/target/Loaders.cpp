#include "target/Loaders.h"

#include <chrono>

#include "app/ControlIds.h"
#include "app/Printf.h"
#include "link/BaudCodes.h"
#include "payloads/PayloadSet.h"
#include "target/Connection.h"

namespace veska::target {

using app::DownloaderDlg;
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

// A read's status, with the line that says what was awaited when the phone fell silent.
PortStatus Awaited(DownloaderDlg& dlg, PortStatus status, std::string_view awaited) {
  if (status == link::PORT_NO_REPLY) dlg.AppendLog(link::NoReplyText(dlg.State().link, awaited));
  return status;
}

PortStatus WriteByte(SerialPort& port, std::uint8_t byte) {
  return port.WriteFully(std::span(&byte, 1), kFactor);
}

// The payload to send; a refused real file (wrong size or header) has no bytes and is never
// sent: the upload fails as if its buffer could not be had.
std::span<const std::uint8_t> Payload(DownloaderDlg& dlg, PayloadId id) {
  return dlg.State().payloads.Bytes(id);
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

PortStatus SendPreloader(DownloaderDlg& dlg, SerialPort& port) {
  if (!link::IsLoaderBaudCode(port.baudCode)) {
    port.Close();
    return link::PORT_BAD_BAUD;
  }
  for (PayloadId id : {PayloadId::PreloaderStage1, PayloadId::PreloaderStage2}) {
    const auto bytes = Payload(dlg, id);
    if (bytes.empty()) {
      port.Close();
      return link::PORT_NO_MEMORY;
    }
    if (PortStatus status = port.WriteFully(bytes, kFactor); status != PORT_OK) {
      port.Close();
      return status;
    }
    dlg.Host().Sleep(250ms);
  }
  return PORT_OK;
}

PortStatus SendNandFlashDriver(DownloaderDlg& dlg, SerialPort& port) {
  const std::uint8_t code = port.baudCode;
  auto finish = [&](PortStatus status) {
    port.Close();
    return status;
  };
  if (!link::IsLoaderBaudCode(code)) return finish(link::PORT_BAD_BAUD);
  const auto driver = Payload(dlg, PayloadId::NandFlashDriver);
  if (driver.empty()) return finish(link::PORT_NO_MEMORY);

  dlg.SetProgressRange(static_cast<std::uint32_t>(driver.size()));
  dlg.SetProgressPos(0);
  for (std::size_t sent = 0; sent < driver.size();) {
    const std::size_t n = std::min(DRIVER_CHUNK, driver.size() - sent);
    if (PortStatus status = port.WriteFully(driver.subspan(sent, n), kFactor); status != PORT_OK) {
      return finish(status);
    }
    sent += n;
    dlg.SetProgressPos(static_cast<std::uint32_t>(sent));
  }

  std::uint8_t ready = 0;
  if (PortStatus status = port.ReadFully(std::span(&ready, 1), kFactor); status != PORT_OK) {
    return finish(Awaited(dlg, status, "the driver's ready byte"));
  }
  if (ready != DRIVER_READY) return finish(link::PORT_BAD_ACK);

  if (PortStatus status = WriteByte(port, code); status != PORT_OK) return finish(status);
  std::uint8_t reply = 0;  // read, not judged
  if (PortStatus status = port.ReadFully(std::span(&reply, 1), kFactor); status != PORT_OK) {
    return finish(Awaited(dlg, status, "the driver's answer to the rate"));
  }
  return finish(PORT_OK);
}

PortStatus SendBootloaderDriver(DownloaderDlg& dlg, SerialPort& port) {
  const std::uint8_t code = port.baudCode;
  auto finish = [&](PortStatus status) {
    port.Close();
    dlg.Host().Sleep(250ms);
    return status;
  };
  if (!link::IsLoaderBaudCode(code)) return finish(link::PORT_BAD_BAUD);
  const auto driver = Payload(dlg, PayloadId::BootloaderDriver);
  if (driver.empty()) return finish(link::PORT_NO_MEMORY);
  if (PortStatus status = port.WriteFully(driver, kFactor); status != PORT_OK) {
    return finish(status);
  }
  dlg.Host().Sleep(250ms);

  // The bootloader driver may send other bytes before it is ready.
  std::uint8_t byte = 0;
  for (unsigned count = 0; byte != DRIVER_READY; ++count) {
    if (count == kMaxDriverPrelude) {
      dlg.AppendLog(Printf("\r\n%u bytes came, none of them the driver's ready byte\r\n", count));
      return finish(link::PORT_BAD_ACK);
    }
    if (PortStatus status = port.ReadFully(std::span(&byte, 1), kFactor); status != PORT_OK) {
      return finish(Awaited(dlg, status, "the driver's ready byte"));
    }
  }
  if (PortStatus status = WriteByte(port, code); status != PORT_OK) return finish(status);
  std::uint8_t reply = 0;
  return finish(Awaited(dlg, port.ReadFully(std::span(&reply, 1), kFactor),
                        "the driver's answer to the rate"));
}

PortStatus UploadLoaders(DownloaderDlg& dlg, SerialPort& port, std::uint8_t kind) {
  dlg.flashChecksFailed = false;
  dlg.AppendLog("\n\n  * NAND Flash Driver Download");
  dlg.AppendLog("\n     preloader downloading\t\t\t> > > ");
  if (PortStatus status = SendPreloader(dlg, port); status != PORT_OK) {
    dlg.AppendLog("FAIL\n");
    dlg.AppendLog("\n  Turn On/Off the target phone!!!\n");
    return status;
  }
  dlg.AppendLog("OK\n");
  dlg.Host().Sleep(250ms);
  port.baudCode = SelectedBaudCode(dlg);

  PortStatus status = PORT_OK;
  if (kind == LOADER_NAND_FLASH_DRIVER) {
    dlg.AppendLog("     NAND Flash driver downloading\t\t> > > ");
    status = SendNandFlashDriver(dlg, port);
  } else {
    dlg.AppendLog("     Bootloader driver downloading\t\t> > > ");
    status = SendBootloaderDriver(dlg, port);
  }
  if (status != PORT_OK) {
    dlg.AppendLog("FAIL\n");
    dlg.AppendLog("\n  Turn On/Off the target phone!!!\n");
    dlg.EnterConnectedState();
    return status;
  }
  if (kind != LOADER_NAND_FLASH_DRIVER) {
    port.Close();
    return PORT_OK;
  }

  // Flash identity: the driver now runs at the user's rate. Problems here never fail the
  // upload; identity bytes that never arrive show "FAIL" rather than an undefined number.
  dlg.AppendLog("OK\n");
  dlg.AppendLog("     Flash Type Checking\t\t\t> > > ");
  dlg.Host().Sleep(1000ms);
  (void)link::OpenForLinkMode(port);
  (void)WriteByte(port, FLASH_ID_QUERY);
  std::uint8_t first = 0, second = 0;
  PortStatus identity = ReadByte(port, first);
  const bool gotFirst = identity == PORT_OK;
  // A phone silent for the reply time-out is not waited for a second time.
  if (identity != link::PORT_NO_REPLY) identity = ReadByte(port, second);
  const bool gotSecond = identity == PORT_OK;
  (void)Awaited(dlg, identity, "the flash identity");
  dlg.Wnd().SetText(app::IDC_FLASH_ID,
                    gotFirst && gotSecond
                        ? FlashIdText(static_cast<std::uint16_t>(first << 8 | second))
                        : "FAIL");
  dlg.AppendLog("OK\n");

  // Bad blocks: big-endian words in pairs, ended by 0xFFFF.
  dlg.AppendLog("      NAND Bad block check\t\t\t> > > ");
  (void)WriteByte(port, BAD_BLOCK_QUERY);
  BadBlockList list;
  for (BadBlockList::Next next = BadBlockList::Next::More; next == BadBlockList::Next::More;) {
    std::uint8_t bytes[2] = {};
    if (PortStatus read = port.ReadFully(bytes, kBadBlockFactor); read != PORT_OK) {
      (void)Awaited(dlg, read, "the bad-block list");
      break;
    }
    next = list.Take(static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]));
  }
  // The upload itself succeeded and the log tells what arrived; the dialog keeps that the phone
  // did not answer the checks in full, so that START does not count as connected.
  dlg.flashChecksFailed = !(gotFirst && gotSecond) || !list.Ended();
  dlg.flashReport = {};
  dlg.flashReport.badBlockListTooLong = list.TooLong();
  const std::span<const std::uint16_t> words = list.Words();
  if (list.Ended()) {
    dlg.flashReport.badBlocksKnown = true;
    for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
      dlg.flashReport.badBlocks.emplace_back(words[i], words[i + 1]);
    }
  }
  if (list.TooLong()) {
    dlg.AppendLog("FAIL\n");
    port.Close();
    return PORT_OK;
  }
  dlg.AppendLog(BadBlockReport(words, list.AnyArrived()));
  port.Close();
  return PORT_OK;
}

}  // namespace veska::target
