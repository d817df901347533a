#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veska::sim {

enum class LinkDialect { Uart, Usb };

// The points in the phone's life where a fault can be injected: each is one thing the phone
// sends (or, for ImageBlock and DumpChunk, one block of an exchange).
enum class FaultStep {
  BootSignal,  // the boot signal (UART) - sent every 100 ms
  StartAck,    // acknowledgement of the start byte (0xC9/0x77, or 0xCC on USB)
  ReadyByte,   // 0x91 after the driver
  RateReply,   // 0x92
  FlashId,     // the two identity bytes
  BadBlocks,   // the bad-block list
  EraseDone,   // 0xAB
  ImageSync,   // UART: 0xA5 after 0x5A
  ImageBlock,  // the request for block N (counted from 0 within one image)
  ImageDone,   // 0x29 / IMAGE_DONE
  DumpChunk,   // dump chunk N (counted from 0 within one dump)
};

enum class FaultKind {
  Silence,        // send nothing at the step and go back to waiting for commands
  WrongByte,      // send `value` in place of the step's (first) byte; at ImageBlock and (USB)
                  // ImageDone the code of the request, after which the transfer is over
  StrayBytes,     // send `bytes` before the step's normal bytes
  WrongBlockSum,  // ImageBlock: report a sum that is off by one for block N-1 (USB), or claim
                  // block N was damaged and ask for it again (UART 0x2A)
  TransferCode,   // ImageBlock/ImageDone: send the code `value` (0x28, 0x41, 0x42, 0x43, 0x2B,
                  // 0x2C or any other) in the link's form instead, then end the transfer
  CorruptChunk,   // DumpChunk: damage one byte of chunk N after its sum was taken;
                  // ImageBlock: store block N with one byte damaged after its sum was checked
  LineDrop,       // close the line (the pty master) at the step, as a pulled cable would
};

struct Fault {
  FaultKind kind = FaultKind::Silence;
  FaultStep step = FaultStep::ReadyByte;
  std::uint32_t block = 0;  // ImageBlock / DumpChunk: which block (0 = the first)
  std::uint8_t value = 0;
  std::vector<std::uint8_t> bytes;
  bool repeat = false;  // fire every time the step is reached, not just once
};

[[nodiscard]] const char* FaultKindName(FaultKind kind);
[[nodiscard]] const char* FaultStepName(FaultStep step);

// The USB device between the phone's UART and the PC, for what the phone sends: a real adapter
// does not pass bytes on as they come. An FTDI-like chip holds them until 62 have gathered (one
// 64-byte USB packet less its two status bytes) or until its latency timer has run since the
// first of them arrived; a CDC-ACM device (the phone's own USB port) sends them in 64-byte
// packets at the next 1 ms frame. None: every byte goes on at once, as a pseudo-terminal does.
struct AdapterModel {
  enum class Kind { None, Ftdi, Cdc } kind = Kind::None;
  std::chrono::milliseconds latency{16};  // Ftdi: the latency timer
};

// Everything the phone can be told, as plain values. The same settings are the flags of vphone.
struct PhoneOptions {
  LinkDialect link = LinkDialect::Uart;

  // Boot ROM.
  bool poweredOnAtStart = true;
  std::uint8_t bootSignal = 0xA5;         // 0xA5, or the 0x77 variant
  std::vector<std::uint8_t> bootPrelude;  // sent once at power-on before the first signal
  std::chrono::milliseconds bootSignalPeriod{100};
  std::chrono::milliseconds usbAppearDelay{0};  // USB: link path appears this long after power-on

  // A symbolic link to the slave side, created when the device "appears" (at start on UART,
  // after usbAppearDelay on USB) and removed on power-off (USB) and shutdown.
  std::string linkPath;

  // Flash.
  std::uint8_t flashId[2] = {0xEC, 0xB1};
  std::vector<std::pair<std::uint16_t, std::uint16_t>> badBlocks;  // (bad block, substitute)
  std::string flashFile;  // backing file, "" for memory only

  // Image writes: the block length the phone asks for (clipped to what remains of the image).
  std::uint32_t blockLength = 0x10000;
  // UART: send 0x26 after the address and size and wait for the PC's 0x2D before the first
  // block request.
  bool uartAckRequest = false;

  // Pace both directions at the current rate: rate / 10 bytes per second.
  bool pace = false;
  // The USB adapter between the phone and the PC, for what the phone sends (see PhoneLine).
  AdapterModel adapter;
  // USB: the rate the paced line runs at. A USB device has no line rate of its own and no rate
  // request comes on that link; 0 keeps the boot ROM's 115200 bit/s.
  std::uint32_t usbRate = 0;

  // How long the phone waits for the next byte in the middle of an exchange before it gives up
  // and goes back to waiting for commands (the PC abandoned the exchange).
  std::chrono::milliseconds peerTimeout{5000};
  // How long an erase (0xB1, 0xB3) takes before the phone answers: 0 at once, a real chip's
  // seconds to play a technician's wait.
  std::chrono::milliseconds eraseDuration{0};

  // On a byte the wire tables do not allow: true stops answering until powered off (as a real
  // loader hangs); false drops the input until the line is quiet and waits for a new command.
  bool haltOnViolation = true;

  bool verbose = false;

  std::vector<Fault> faults;
};

// Parsers for the phone's textual forms in vphone (the common ones are in TextForms.h). Each
// returns nullopt on malformed input.
// "EC:B1" or "ECB1"
[[nodiscard]] std::optional<std::pair<std::uint8_t, std::uint8_t>> ParseFlashId(
    std::string_view text);
// "18:2032,19:2033" (decimal or 0x hex)
[[nodiscard]] std::optional<std::vector<std::pair<std::uint16_t, std::uint16_t>>> ParseBadBlocks(
    std::string_view text);
// "ftdi" (16 ms), "ftdi:MS" (1..255), "cdc" or "none"
[[nodiscard]] std::optional<AdapterModel> ParseAdapter(std::string_view text);
// "KIND@STEP[#N][=VALUE]" e.g. "silence@ready", "code@block#3=0x2B", "stray@ack=00,12",
// "drop@block#2", "sum@block#1", "corrupt@chunk#0", "wrong@ack=0x55". Add "!" at the end to
// make it repeat.
[[nodiscard]] std::optional<Fault> ParseFault(std::string_view text);

}  // namespace veska::sim
