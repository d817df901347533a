#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/PhoneCodes.h"

// The file-system service's codes as the phone sees them (TFS_OPERATION, TFS_FORMAT and
// TFS_MOUNT sit with the driver's codes in PhoneCodes.h, since the driver reads them itself).
namespace veska::sim {

// Commands of the file-system download.
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

// Replies that are not echoes.
inline constexpr std::uint8_t TFS_FORMAT_OK = 0xE1;
inline constexpr std::uint8_t TFS_FORMAT_FAIL = 0xF2;
inline constexpr std::uint8_t TFS_DIR_CREATED = 0xDC;
inline constexpr std::uint8_t TFS_FILE_WRITTEN = 0xDF;
inline constexpr std::uint8_t TFS_VERSION_OK = TFS_VERSION;  // both version records answer it

// Explorer requests and their replies.
inline constexpr std::uint8_t TFS_READ_DIR = 0xE5;
inline constexpr std::uint8_t TFS_DIR_NEXT = 0xCB;
inline constexpr std::uint8_t TFS_DIR_END = 0xE7;
inline constexpr std::uint8_t TFS_DIR_ERROR = 0xE6;
inline constexpr std::uint8_t TFS_DELETE_FILE = 0xEE;
inline constexpr std::uint8_t TFS_READ_FILE = 0xE8;
inline constexpr std::uint8_t TFS_FILE_SIZE = 0xE9;
inline constexpr std::uint8_t TFS_READ_DATA = 0xEA;
inline constexpr std::uint8_t TFS_FILE_STATUS = 0xF0;
inline constexpr std::uint8_t TFS_STATUS_DATA = 0xF1;
inline constexpr std::uint8_t TFS_DATA_ACK = 0x01;
inline constexpr std::uint8_t TFS_DATA_NAK = 0x00;
inline constexpr std::uint8_t TFS_EMPTY_FILE = 0x16;
inline constexpr std::uint8_t TFS_ENTRY_FILE = 1;
inline constexpr std::uint8_t TFS_ENTRY_DIR = 2;

// This phone's answer where it refuses a request (a mount of an unformatted file system, a
// file that is not there or does not fit): the PC reads any unexpected byte as a failure.
inline constexpr std::uint8_t TFS_REFUSED = 0xEF;

// Sizes.
inline constexpr std::size_t TFS_CHUNK_SIZE = 8192;
inline constexpr std::size_t TFS_TIME_RECORD_SIZE = 24;
inline constexpr std::size_t TFS_VERSION_SIZE = 16;
inline constexpr std::size_t TFS_RELEASE_VERSION_SIZE = 12;
inline constexpr std::size_t TFS_FORMAT_REPORT_SIZE = 5;
inline constexpr std::size_t TFS_STATUS_SIZE = 28;
// The longest name record the phone's buffer takes, terminating zero included.
inline constexpr std::size_t TFS_MAX_NAME = 510;

}  // namespace veska::sim
