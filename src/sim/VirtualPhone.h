#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/EventRecord.h"
#include "sim/FileSystemService.h"
#include "sim/FileSystemServiceTfs.h"
#include "sim/NandModel.h"
#include "sim/PhoneFirmware.h"
#include "sim/PhoneLine.h"
#include "sim/PhoneOptions.h"
#include "sim/UniqueFd.h"

namespace veska::sim {

// A virtual QX7430 phone on its own thread, behind the master side of a pseudo-terminal (or any
// descriptor pair). The PC opens SlavePath() like a serial device.
//
// The phone keeps one descriptor of the slave open for its whole life: the PC opens and closes
// the port for every operation, and without a held slave the master would read hang-ups in
// between.
//
// On the USB link with a link path the device node is the phone's own USB port: when the phone
// goes (switched off, rebooted, unplugged) the line is hung up as a real device node is (the PC's
// open descriptor reads EIO and polls POLLHUP), and it comes back as a new pseudo-terminal, as a
// phone plugged in again is a new device. SlavePath() then names the new one.
//
// Typical use in a test:
//   VirtualPhone phone(options);
//   ASSERT_EQ(phone.Start(), 0);
//   ... the PC opens phone.SlavePath() ...
//   phone.WaitFor([](auto& ev) { return HasEvent(ev, EventKind::ImageDone); }, 5s);
//
// Thread safety: every member may be called from any thread, except that Start() and Stop()
// must not race each other. Errors are errno values (0 for success); nothing throws.
class VirtualPhone {
 public:
  explicit VirtualPhone(PhoneOptions options);
  ~VirtualPhone();
  VirtualPhone(const VirtualPhone&) = delete;
  VirtualPhone& operator=(const VirtualPhone&) = delete;

  // Installs another file-system service in place of the phone's own; call before Start().
  void SetFileSystemService(std::shared_ptr<FileSystemService> service);
  // Keeps the phone's file system in a file of its own instead of the flash; call before
  // Start(). The file is created at the first format.
  void SetFileSystemFile(std::string path);
  // Adds a fault to the phone's own file-system service (any time).
  void InjectFileSystemFault(const FsFault& fault);
  // What the phone's file system holds now: directories, files with their bytes, the version
  // and time records.
  [[nodiscard]] TfsContents FileSystem() const { return tfs_->Snapshot(); }

  // Creates the pseudo-terminal in raw mode, attaches the flash file, marks the bad blocks and
  // starts the phone's thread.
  int Start();
  // The same on a descriptor pair (for example two pipes); SlavePath() stays empty.
  int StartOnDescriptors(UniqueFd readFd, UniqueFd writeFd);
  // Ends the thread, removes the link path, flushes the flash file. Idempotent.
  void Stop();

  [[nodiscard]] std::string SlavePath() const {
    std::lock_guard lock(linkMutex_);
    return slavePath_;
  }
  [[nodiscard]] const std::string& LinkPath() const { return options_.linkPath; }

  // Switches the phone on (a running phone restarts) or off.
  void PowerOn();
  void PowerOff();
  // Adds a fault at run time.
  void InjectFault(const Fault& fault);

  [[nodiscard]] PhoneState State() const;
  [[nodiscard]] NandModel& Nand() { return nand_; }
  [[nodiscard]] std::vector<Event> Events() const { return events_.Snapshot(); }
  void ClearEvents() { events_.Clear(); }
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& predicate,
               std::chrono::milliseconds timeout) const {
    return events_.WaitFor(predicate, timeout);
  }
  // Waits for the phone to reach a state.
  bool WaitForState(PhoneState state, std::chrono::milliseconds timeout) const;

 private:
  int Prepare();
  void Launch(UniqueFd readFd, UniqueFd writeFd);
  void SetDevicePresent(bool present);
  // USB with a link path: the device went; the line is hung up and a new one waits for the
  // phone's return. Phone thread only.
  void HangUp();

  PhoneOptions options_;
  std::shared_ptr<TfsModel> tfs_ = std::make_shared<TfsModel>();
  std::shared_ptr<FileSystemServiceTfs> tfsService_ = std::make_shared<FileSystemServiceTfs>(tfs_);
  std::string tfsFile_;
  std::shared_ptr<FileSystemService> fileSystem_ = tfsService_;
  NandModel nand_;
  EventRecord events_;
  UniqueFd heldSlave_;
  std::string slavePath_;
  std::unique_ptr<PhoneLine> line_;
  std::unique_ptr<PhoneFirmware> firmware_;
  std::jthread thread_;
  mutable std::mutex linkMutex_;
  bool linkPlaced_ = false;
};

}  // namespace veska::sim
