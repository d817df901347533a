#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/Engine.h"
#include "link/SerialPort.h"
#include "payloads/PayloadSet.h"

namespace veska::target {

// Which driver follows the preloader.
inline constexpr std::uint8_t LOADER_NAND_FLASH_DRIVER = 0x40;  // after START
inline constexpr std::uint8_t LOADER_BOOTLOADER_DRIVER = 0x39;  // before a bootloader download

// Bytes of a running driver.
inline constexpr std::uint8_t DRIVER_READY = 0x91;
inline constexpr std::uint8_t RATE_REPLY = 0x92;
inline constexpr std::uint8_t FLASH_ID_QUERY = 0xB0;
inline constexpr std::uint8_t BAD_BLOCK_QUERY = 0xB2;
inline constexpr std::uint16_t BAD_BLOCK_END = 0xFFFF;

inline constexpr std::size_t DRIVER_CHUNK = 8192;

// Blocks of the phone's NAND flash: the bad-block list has at most one pair per block.
inline constexpr std::size_t kFlashBlocks = 2048;

// What the loader upload sends: the payload set in use, which driver follows the preloader,
// and the rate the driver switches the line to (the user's choice).
struct LoaderInputs {
  const payloads::PayloadSet& payloads;
  std::uint8_t kind = LOADER_NAND_FLASH_DRIVER;
  std::uint8_t loaderBaudCode = 0;
};

// What the NAND flash driver answered to the flash checks: `failed` when the identity or the
// bad-block list did not arrive in full (the phone went away), the list when it did.
struct FlashChecks {
  bool failed = false;
  app::FlashReport report;
};

// Pushes the preloader and the chosen driver, switches the line to the user's rate and, for the
// NAND flash driver, shows the flash identity and the bad blocks. The engine's port is open at
// 115200 bit/s; it is closed on return, whatever the outcome. The flash checks never fail the
// upload (their answers only inform); what they found is left in `checks`.
[[nodiscard]] link::PortStatus UploadLoaders(const app::EngineContext& engine,
                                             const LoaderInputs& inputs, FlashChecks& checks);
[[nodiscard]] link::PortStatus SendPreloader(const app::EngineContext& engine,
                                             const LoaderInputs& inputs);
[[nodiscard]] link::PortStatus SendNandFlashDriver(const app::EngineContext& engine,
                                                   const LoaderInputs& inputs);
[[nodiscard]] link::PortStatus SendBootloaderDriver(const app::EngineContext& engine,
                                                    const LoaderInputs& inputs);
// The flash identity and the bad-block list, once the NAND flash driver runs at the user's rate.
[[nodiscard]] FlashChecks CheckFlash(const app::EngineContext& engine);

// The Flash ID box's text for an identity: a known part's name, else "%X".
[[nodiscard]] std::string FlashIdText(std::uint16_t identity);

// The bad-block list as its words arrive: pairs of block numbers ended by BAD_BLOCK_END. The
// flash has kFlashBlocks blocks, so a list with more pairs is no list (a phone back in its boot
// ROM repeating its boot signal, or one that babbles): it ends the reading rather than grow for
// ever. Pure, for the loader upload and the fuzz target.
class BadBlockList {
 public:
  enum class Next { More, Ended, TooLong };

  // Takes the next word as it came (big-endian on the line); whether another is awaited.
  Next Take(std::uint16_t word);

  // The words taken before the end, at most two per block of the flash.
  [[nodiscard]] std::span<const std::uint16_t> Words() const { return words_; }
  [[nodiscard]] bool AnyArrived() const { return anyArrived_; }
  [[nodiscard]] bool Ended() const { return next_ == Next::Ended; }
  [[nodiscard]] bool TooLong() const { return next_ == Next::TooLong; }

 private:
  std::vector<std::uint16_t> words_;
  bool anyArrived_ = false;
  Next next_ = Next::More;
};

// The bad-block report from the words the phone sent (without the 0xFFFF end), and whether any
// word arrived at all: "FAIL\n", "Not found\n", or the count line, the pairs and the rule.
// A first number whose partner never came is left out.
[[nodiscard]] std::string BadBlockReport(std::span<const std::uint16_t> words, bool anyArrived);

}  // namespace veska::target
