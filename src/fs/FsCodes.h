#pragma once

#include <cstddef>
#include <cstdint>

namespace veska::fs {

// Command codes of the phone's file-system service, as the PC sends them.
inline constexpr std::uint8_t TFS_OPERATION = 0xCE;  // USB only: opens a file-system session
inline constexpr std::uint8_t TFS_FORMAT = 0xE0;
inline constexpr std::uint8_t TFS_MOUNT = 0xDA;
inline constexpr std::uint8_t TFS_WRITE_CHECKSUM = 0xC9;
inline constexpr std::uint8_t TFS_SET_TIME = 0xC4;
inline constexpr std::uint8_t TFS_CREATE_DIR = 0xDB;
inline constexpr std::uint8_t TFS_VERSION = 0xE3;
inline constexpr std::uint8_t TFS_RELEASE_VERSION = 0xF5;
inline constexpr std::uint8_t TFS_NO_RELEASE_VERSION = 0xF6;
inline constexpr std::uint8_t TFS_ADD_FILE = 0xDD;
inline constexpr std::uint8_t TFS_ADD_DATA = 0xFE;
inline constexpr std::uint8_t WRITE_COMPLETE_NAND = 0xC5;
inline constexpr std::uint8_t TFS_UNMOUNT = 0xE4;

// Replies that are not echoes of the command.
inline constexpr std::uint8_t TFS_FORMAT_OK = 0xE1;
inline constexpr std::uint8_t TFS_FORMAT_FAIL = 0xF2;
inline constexpr std::uint8_t TFS_DIR_CREATED = 0xDC;
inline constexpr std::uint8_t TFS_FILE_WRITTEN = 0xDF;
// The phone answers both version commands with the code of the first one.
inline constexpr std::uint8_t TFS_VERSION_OK = TFS_VERSION;

// Record sizes and limits.
inline constexpr std::size_t TIME_RECORD_SIZE = 24;
inline constexpr std::size_t VERSION_FIELD_SIZE = 16;
inline constexpr std::size_t RELEASE_FIELD_SIZE = 12;
inline constexpr std::size_t ERROR_REPORT_SIZE = 5;
inline constexpr std::size_t FS_CHUNK_SIZE = 8192;
// Longest UTF-8 name the phone takes, terminating zero included.
inline constexpr std::size_t MAX_DIR_NAME_BYTES = 486;
inline constexpr std::size_t MAX_FILE_NAME_BYTES = 500;
// The buffer that holds the name of the entry being processed, terminating zero included.
inline constexpr std::size_t CURRENT_NAME_SIZE = 500;

// Time-out factors of the exchange.
inline constexpr std::uint8_t ARGUMENT_TIMEOUT = 8;        // argument bytes after a command code
inline constexpr std::uint8_t FS_REPLY_TIMEOUT = 255;      // every reply byte of the download
inline constexpr std::uint8_t FORMAT_BUTTON_TIMEOUT = 30;  // the one reply to the Format button

}  // namespace veska::fs
