#pragma once

#include <cstddef>
#include <cstdint>

// Every byte value the phone sends or accepts, named as the wire tables name them, seen from the
// phone. Kept apart from the PC's own constants on purpose: the phone is written independently
// so that a misreading on one side shows up as a disagreement with the other.
namespace veska::sim {

// Boot ROM, UART link.
inline constexpr std::uint8_t BOOT_SIGNAL = 0xA5;
inline constexpr std::uint8_t BOOT_SIGNAL_RETRY = 0x77;  // variant that lets the PC retry once
inline constexpr std::uint8_t START_AFTER_BOOT = 0xC9;   // PC's start byte after 0xA5, echoed
inline constexpr std::uint8_t START_AFTER_RETRY = 0x77;  // PC's start byte after 0x77, echoed
// Boot ROM, USB link: the PC's start byte and the phone's acknowledgement are the same byte.
inline constexpr std::uint8_t USB_START = 0xCC;

// Loader reception.
inline constexpr std::uint8_t DRIVER_READY = 0x91;
inline constexpr std::uint8_t RATE_REPLY = 0x92;

// One-byte rate codes (the same byte the PC opens its port with).
inline constexpr std::uint8_t RATE_115200 = 0x88;
inline constexpr std::uint8_t RATE_460800 = 0x8A;
inline constexpr std::uint8_t RATE_921600 = 0x8B;
inline constexpr std::uint8_t RATE_3000000 = 0x8D;
inline constexpr std::uint8_t RATE_812000 = 0x93;

// Bits per second for a rate code, 0 when the driver knows no such code.
[[nodiscard]] constexpr std::uint32_t RateForCode(std::uint8_t code) {
  switch (code) {
    case RATE_115200:
      return 115200;
    case RATE_460800:
      return 460800;
    case RATE_921600:
      return 921600;
    case RATE_3000000:
      return 3000000;
    case RATE_812000:
      return 812000;
    default:
      return 0;
  }
}

// Driver commands.
inline constexpr std::uint8_t FLASH_ID_QUERY = 0xB0;
inline constexpr std::uint8_t NAND_ERASE = 0xB1;
inline constexpr std::uint8_t BAD_BLOCK_QUERY = 0xB2;
inline constexpr std::uint8_t BOOTLOADER_ERASE = 0xB3;
inline constexpr std::uint8_t ERASE_DONE = 0xAB;
inline constexpr std::uint16_t BAD_BLOCK_END = 0xFFFF;
inline constexpr std::uint8_t REBOOT_REQUEST = 0x37;

// Image transfer, both links.
inline constexpr std::uint8_t IMAGE_REQUEST = 0x5A;
// USB: the PC's ShortFrames and the phone's ReplyFrame codes.
inline constexpr std::uint8_t BLOCK_ACK = 0x30;
inline constexpr std::uint8_t IMAGE_ACK = 0x31;
inline constexpr std::uint8_t BLOCK_REQUEST = 0x26;
inline constexpr std::uint8_t IMAGE_DONE = 0x29;
inline constexpr std::uint8_t PHONE_ERROR = 0x28;
inline constexpr std::uint8_t SEND_ACK_ERROR = 0x41;
inline constexpr std::uint8_t READ_FLASH_ERROR = 0x42;
inline constexpr std::uint8_t WRITE_FLASH_ERROR = 0x43;
inline constexpr std::uint8_t PHONE_ABORT = 0x2B;
inline constexpr std::uint8_t PHONE_ABORT_ALT = 0x2C;
// UART: single bytes.
inline constexpr std::uint8_t UART_SYNC = 0xA5;
inline constexpr std::uint8_t UART_ACK_REQUEST = 0x26;
inline constexpr std::uint8_t UART_BLOCK_REQUEST = 0x2E;
inline constexpr std::uint8_t UART_BLOCK_OK = 0x27;
inline constexpr std::uint8_t UART_BLOCK_AGAIN = 0x2A;
inline constexpr std::uint8_t UART_DONE = 0x29;
inline constexpr std::uint8_t UART_ERROR = 0x28;
inline constexpr std::uint8_t UART_ACK = 0x2D;  // from the PC, after 0x26 and 0x27

// NAND dump.
inline constexpr std::uint8_t DUMP_START = 0xC0;
inline constexpr std::uint8_t DUMP_ACK = 0xC1;
inline constexpr std::uint8_t DUMP_NAK = 0xC2;
inline constexpr std::uint8_t DUMP_KIND_DATA = 0;
inline constexpr std::uint8_t DUMP_KIND_CODE = 1;  // pages with their spare bytes
inline constexpr std::uint8_t DUMP_KIND_TFS = 2;   // pages with their spare bytes

// File-system service: the codes the driver hands on to it, and the session opener on USB.
inline constexpr std::uint8_t TFS_OPERATION = 0xCE;
inline constexpr std::uint8_t TFS_FORMAT = 0xE0;
inline constexpr std::uint8_t TFS_MOUNT = 0xDA;

// USB wire forms.
inline constexpr std::size_t SHORT_FRAME_SIZE = 8;
inline constexpr std::size_t PADDED_COMMAND_SIZE = 16;
inline constexpr std::size_t REQUEST_FRAME_SIZE = 16;  // 8 + 4 x 2 words
inline constexpr std::size_t REPLY_FRAME_SIZE = 16;
inline constexpr std::size_t UART_NUMBER_SIZE = 4;

// Loader payloads: total size, first header word as it arrives, and the big-endian count that
// follows it.
struct LoaderShape {
  const char* name;
  std::size_t size;
  std::uint8_t word1[4];
  std::uint32_t count;
};
inline constexpr LoaderShape PRELOADER_STAGE1{"preloader stage 1", 2656, {0x28, 0, 0, 0}, 0xA30};
inline constexpr LoaderShape PRELOADER_STAGE2{"preloader stage 2", 2780, {0x08, 0x40, 0, 0}, 0xAD4};
inline constexpr LoaderShape NAND_FLASH_DRIVER{
    "NAND flash driver", 188112, {0x80, 0, 0, 0}, 0x2DEC8};
inline constexpr LoaderShape BOOTLOADER_DRIVER{"bootloader driver", 41052, {0x80, 0, 0, 0}, 0xA054};
inline constexpr std::size_t LOADER_HEADER_SIZE = 8;

// NAND geometry.
inline constexpr std::uint32_t PAGE_DATA_SIZE = 2048;
inline constexpr std::uint32_t PAGE_SPARE_SIZE = 64;
inline constexpr std::uint32_t PAGE_SIZE = PAGE_DATA_SIZE + PAGE_SPARE_SIZE;
inline constexpr std::uint32_t PAGES_PER_BLOCK = 64;
inline constexpr std::uint32_t BLOCK_DATA_SIZE = PAGE_DATA_SIZE * PAGES_PER_BLOCK;  // 128 KiB
inline constexpr std::uint64_t NAND_DATA_SIZE = 256ull * 1024 * 1024;
inline constexpr std::uint32_t PAGE_COUNT =
    static_cast<std::uint32_t>(NAND_DATA_SIZE / PAGE_DATA_SIZE);
inline constexpr std::uint32_t BLOCK_COUNT = PAGE_COUNT / PAGES_PER_BLOCK;
// The boot area that NAND Erase spares and Bootloader Erase clears: 0 ... 0xA0000.
inline constexpr std::uint32_t BOOT_AREA_END = 0xA0000;

}  // namespace veska::sim
