#include "sim/VirtualPhone.h"

#include <sys/prctl.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace veska::sim {

VirtualPhone::VirtualPhone(PhoneOptions options) : options_(std::move(options)) {
  events_.SetVerbose(options_.verbose);
}

VirtualPhone::~VirtualPhone() {
  Stop();
}

void VirtualPhone::SetFileSystemService(std::shared_ptr<FileSystemService> service) {
  fileSystem_ = std::move(service);
}

void VirtualPhone::SetFileSystemFile(std::string path) {
  tfsFile_ = std::move(path);
}

void VirtualPhone::InjectFileSystemFault(const FsFault& fault) {
  tfsService_->InjectFault(fault);
}

int VirtualPhone::Prepare() {
  if (!options_.linkPath.empty()) {
    // The link replaces a stale link of an earlier run, never anything else.
    struct stat st {};
    if (::lstat(options_.linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) return EEXIST;
  }
  if (!options_.flashFile.empty()) {
    if (int error = nand_.AttachFile(options_.flashFile); error != 0) return error;
  }
  for (auto [bad, spare] : options_.badBlocks) {
    (void)spare;
    nand_.MarkBad(bad);
  }
  // The file system lives in the flash (and so in its file) unless it has a file of its own.
  if (tfsFile_.empty()) {
    tfs_->AttachFlash(nand_);
  } else if (int error = tfs_->AttachSideFile(tfsFile_); error != 0) {
    return error;
  }
  return 0;
}

namespace {

// A new pseudo-terminal in raw mode: its master, a descriptor of its slave held open, and the
// slave's name.
int OpenPty(UniqueFd& master, UniqueFd& slave, std::string& name) {
  UniqueFd m(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!m.Valid()) return errno;
  if (::grantpt(m.Get()) != 0 || ::unlockpt(m.Get()) != 0) return errno;
  char path[128];
  if (::ptsname_r(m.Get(), path, sizeof path) != 0) return errno;
  UniqueFd s(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!s.Valid()) return errno;
  // Raw before the first byte: the default line discipline would echo the boot signal back.
  termios tio{};
  if (::tcgetattr(s.Get(), &tio) != 0) return errno;
  ::cfmakeraw(&tio);
  if (::tcsetattr(s.Get(), TCSANOW, &tio) != 0) return errno;
  master = std::move(m);
  slave = std::move(s);
  name = path;
  return 0;
}

}  // namespace

int VirtualPhone::Start() {
  if (thread_.joinable()) return EBUSY;
  if (int error = Prepare(); error != 0) return error;

  UniqueFd master;
  UniqueFd slave;
  std::string name;
  if (int error = OpenPty(master, slave, name); error != 0) return error;
  {
    std::lock_guard lock(linkMutex_);
    slavePath_ = name;
  }
  heldSlave_ = std::move(slave);
  Launch(std::move(master), UniqueFd());
  return 0;
}

int VirtualPhone::StartOnDescriptors(UniqueFd readFd, UniqueFd writeFd) {
  if (thread_.joinable()) return EBUSY;
  if (int error = Prepare(); error != 0) return error;
  Launch(std::move(readFd), std::move(writeFd));
  return 0;
}

void VirtualPhone::Launch(UniqueFd readFd, UniqueFd writeFd) {
  line_ = std::make_unique<PhoneLine>(std::move(readFd), std::move(writeFd));
  firmware_ = std::make_unique<PhoneFirmware>(options_, *line_, nand_, events_, fileSystem_,
                                              [this](bool present) {
                                                if (!present) HangUp();
                                                SetDevicePresent(present);
                                              });
  // A UART is there as soon as the cable is; a USB device appears only once the phone is on.
  if (options_.link == LinkDialect::Uart) SetDevicePresent(true);
  thread_ = std::jthread([this](std::stop_token stop) {
    // A paced phone sleeps until each byte's wire time has passed; the kernel's default slack
    // of 50 us on every such sleep would be line time a real UART does not lose.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    firmware_->Run(stop);
  });
}

void VirtualPhone::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    line_->Interrupt();
    thread_.join();
  }
  SetDevicePresent(false);
  (void)nand_.Flush();
}

void VirtualPhone::PowerOn() {
  if (firmware_) firmware_->RequestPower(true);
}

void VirtualPhone::PowerOff() {
  if (firmware_) firmware_->RequestPower(false);
}

void VirtualPhone::InjectFault(const Fault& fault) {
  if (firmware_) firmware_->InjectFault(fault);
}

PhoneState VirtualPhone::State() const {
  return firmware_ ? firmware_->State() : PhoneState::PoweredOff;
}

bool VirtualPhone::WaitForState(PhoneState state, std::chrono::milliseconds timeout) const {
  return firmware_ && firmware_->WaitForState(state, timeout);
}

void VirtualPhone::SetDevicePresent(bool present) {
  std::lock_guard lock(linkMutex_);
  if (options_.linkPath.empty() || slavePath_.empty()) return;
  if (present && !linkPlaced_) {
    // Replace a stale link from an earlier run, but never anything that is not a link.
    struct stat st {};
    if (::lstat(options_.linkPath.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) return;
      ::unlink(options_.linkPath.c_str());
    }
    linkPlaced_ = ::symlink(slavePath_.c_str(), options_.linkPath.c_str()) == 0;
  } else if (!present && linkPlaced_) {
    ::unlink(options_.linkPath.c_str());
    linkPlaced_ = false;
  }
}

void VirtualPhone::HangUp() {
  if (options_.link != LinkDialect::Usb || options_.linkPath.empty() || !heldSlave_.Valid()) {
    return;
  }
  // The new terminal is made before the old one closes, so it never takes the old one's number:
  // the PC can tell the phone that comes back from the one that went.
  UniqueFd master;
  UniqueFd slave;
  std::string name;
  if (OpenPty(master, slave, name) != 0) return;
  {
    std::lock_guard lock(linkMutex_);
    // The link goes first: a PC that sees the hang-up and looks for the device finds none yet.
    if (linkPlaced_) {
      ::unlink(options_.linkPath.c_str());
      linkPlaced_ = false;
    }
    slavePath_ = name;
  }
  line_->Replace(std::move(master));  // closes the old master: the PC's descriptor hangs up
  heldSlave_ = std::move(slave);
}

}  // namespace veska::sim
