#pragma once

#include <cstdint>

#include "sim/EventRecord.h"
#include "sim/PhoneLine.h"
#include "sim/PhoneOptions.h"

namespace veska::sim {

// How a file-system session reached the driver; it fixes the wire form of every later command
// in the session (see src/sim/README.md, "The USB dialect is modal").
enum class FsEntry {
  Uart,           // UART link: commands and arguments are bare bytes
  UsbBareFormat,  // USB, no TFS_OPERATION before: a bare TFS_FORMAT (the Format button)
  UsbDownload,    // USB, after TFS_OPERATION: TFS_FORMAT came as a ShortFrame; every command of
                  // the session is a ShortFrame, arguments are raw bytes
  UsbExplorer,    // USB, after TFS_OPERATION: TFS_MOUNT came as a bare byte; every byte of the
                  // session is bare
};

enum class FsOutcome {
  Continue,      // the command was served; on USB the session's next command follows
  SessionEnded,  // the session ended as the protocol says (unmount, a lone format, an error
                 // the PC ends on); the driver waits for commands in its idle form again
  PeerSilent,    // the PC stopped in the middle; the driver waits for commands again
  Violation,     // a byte the tables do not allow (already recorded with its reason)
  Interrupted,   // a power change or shutdown is pending: return at once
  LineDropped,
};

// What the driver needs from the phone to serve a session.
struct FsContext {
  PhoneLine& line;
  EventRecord& events;
  const PhoneOptions& options;
};

// The phone-side file-system service of the loader. The driver reads every command code in the
// form the session requires (on USB a ShortFrame in a download session, a bare byte otherwise),
// then calls Serve() with the code consumed; the service reads the command's arguments and
// sends its replies itself. Without a service installed the driver refuses file-system
// commands as unknown.
//
// Serve() runs on the phone's thread and must return promptly on IoResult::Interrupted.
class FileSystemService {
 public:
  virtual ~FileSystemService() = default;
  virtual FsOutcome Serve(FsEntry entry, std::uint8_t code, FsContext& context) = 0;
  // The phone was switched on (or restarted): whatever was mounted or half written is gone;
  // what the file system committed stays.
  virtual void Reset() {}
};

}  // namespace veska::sim
