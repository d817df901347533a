#pragma once

namespace veska::link {

// Statuses of the serial link. Every operation that talks to the phone shares this one integer
// space; 0 is success and later layers add values of their own (the image transfer, for
// example), so callers pass a status up unchanged and only tell zero from non-zero.
enum PortStatus : int {
  PORT_OK = 0,
  PORT_SETUP_FAILED = 1,  // the device's time-outs could not be read or set at open
  PORT_NO_MEMORY = 108,
  PORT_BAD_BAUD = 112,  // the baud code is not in the table
  PORT_IO_ERROR = 113,  // the device could not be opened, or a read or write failed
  PORT_BAD_ACK = 114,
  PORT_TIMEOUT = 115,   // a whole-buffer operation ran out of empty transfers
  PORT_NO_REPLY = 120,  // a read stayed silent for the reply time-out; above the transfer's codes
};

}  // namespace veska::link
