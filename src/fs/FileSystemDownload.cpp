#include "fs/FileSystemDownload.h"

#include <array>
#include <ctime>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

#include "app/Printf.h"
#include "fs/FsCodes.h"
#include "fs/FsCommands.h"
#include "fs/FsRecords.h"
#include "fs/FsStep.h"
#include "fs/NameConverter.h"
#include "link/BaudCodes.h"
#include "link/Crc32.h"
#include "link/FilePath.h"
#include "link/Wire.h"
#include "ui/Host.h"

namespace veska::fs {

using app::EngineContext;
using app::Printf;
using link::PORT_OK;
using link::SerialPort;

namespace {

// The message box for a file that could not be read, or "" when it was.
std::string FileRefusal(FileStatus status, const std::string& path, int error) {
  switch (status) {
    case FileStatus::Ok:
      return {};
    case FileStatus::OpenFailed:
      return Printf("Fail to open %s", path.c_str());
    case FileStatus::NotRegular:
      return Printf("Fail to open %s: not a regular file", path.c_str());
    case FileStatus::TooLarge:
      return Printf("Fail to read %s: larger than the cfg file limit of %llu bytes", path.c_str(),
                    static_cast<unsigned long long>(MAX_LISTING_BYTES));
    case FileStatus::ReadFailed:
      break;
  }
  return Printf("Fail to read %s: %s", path.c_str(),
                std::generic_category().message(error).c_str());
}

// What the phone's next reply at `step` answers, for the line that ends a silent wait.
std::string_view AwaitedReply(FsStep step) {
  switch (step) {
    case FsStep::WaitFormat:
      return "the format reply";
    case FsStep::WaitFormatError:
      return "the format error report";
    case FsStep::WaitMount:
      return "the mount reply";
    case FsStep::WaitChecksum:
      return "the checksum reply";
    case FsStep::WaitTime:
      return "the time echo";
    case FsStep::WaitDirEcho:
      return "the directory name echo";
    case FsStep::WaitDirCreated:
      return "the directory creation";
    case FsStep::WaitVersion:
      return "the version reply";
    case FsStep::WaitReleaseVersion:
      return "the release version reply";
    case FsStep::WaitFileEcho:
      return "the file name echo";
    case FsStep::WaitChunk:
      return "the chunk echo";
    case FsStep::WaitFileWritten:
      return "the file written reply";
    case FsStep::WaitComplete:
      return "the completion reply";
    case FsStep::WaitUnmount:
      return "the unmount reply";
    case FsStep::Ended:
      break;
  }
  return "a reply";
}

// One file-system download: the fields that last for one call and the reply table.
class Session {
 public:
  Session(const EngineContext& engine, const FileSystemInputs& inputs, int& step)
      : engine_(engine), narrator_(engine.narrator), port_(engine.port), in_(inputs), step_(step) {}

  bool Run() {
    SetStep(FsStep::WaitFormat);
    // The whole listing is loaded, checked and converted before the port is opened: a listing
    // that cannot be sent in full must leave the phone as it was, not formatted and empty.
    if (!LoadListing(engine_, in_, listing_)) {
      SetStep(FsStep::Ended);
      return false;
    }
    SerialPort& port = port_;
    if (link::OpenForLinkMode(port) != PORT_OK) {
      SetStep(FsStep::Ended);
      return false;
    }
    if (SendTfsOperation(port) != PORT_OK) {
      End("     Send TFS Operation command fail!\n");
    } else {
      narrator_.Log(Tfs() ? "     TFS Format..." : "     DB2 Format...");
      if (link::SendCommand(port, TFS_FORMAT) != PORT_OK) End("     Send format command fail!\n");
    }
    while (Step() != FsStep::Ended && !unmounted_) {
      std::uint8_t reply = 0;
      if (link::PortStatus status = ReadReply(port, reply); status != PORT_OK) {
        (void)engine_.Awaited(status, AwaitedReply(Step()));
        SetStep(FsStep::Ended);
        break;
      }
      Handle(reply);
    }
    image_.reset();
    listing_.Release();
    port.Close();
    return unmounted_;
  }

 private:
  [[nodiscard]] bool Tfs() const { return in_.kind == FileSystemKind::Tfs; }
  [[nodiscard]] app::ImageKind Image() const {
    return Tfs() ? app::ImageKind::Tfs : app::ImageKind::Db2;
  }
  [[nodiscard]] FsStep Step() const { return static_cast<FsStep>(step_); }
  void SetStep(FsStep step) { step_ = static_cast<int>(step); }

  // Every failure: its one report, then nothing more is sent.
  void End(std::string_view logLine = {}) {
    if (!logLine.empty()) narrator_.Log(logLine);
    SetStep(FsStep::Ended);
  }
  // A failure because the phone answered `reply` where another byte was due.
  void Refuse(std::uint8_t reply, std::string_view logLine) {
    engine_.NoteRefusal(reply);
    End(logLine);
  }

  void Handle(std::uint8_t reply) {
    switch (Step()) {
      case FsStep::WaitFormat:
        return OnFormatReply(reply);
      case FsStep::WaitFormatError:
        return OnErrorByte(reply);
      case FsStep::WaitMount:
        return OnMount(reply);
      case FsStep::WaitChecksum:
        return OnChecksum(reply);
      case FsStep::WaitTime:
        if (reply != expectedReply_) {
          return Refuse(reply, Printf("\n     Write Set TFSTIME Error! (0x%X) (0x%X)\r\n",
                                      unsigned{reply}, unsigned{expectedReply_}));
        }
        narrator_.Log("     TFS time set OK!\r\n");
        listing_.cursor = 0;
        return NextDirectoryOrVersion(/*first=*/true);
      case FsStep::WaitDirEcho:
        if (reply != expectedReply_) return Refuse(reply, "Fail! (in sending name)\r\n");
        return SetStep(FsStep::WaitDirCreated);
      case FsStep::WaitDirCreated:
        if (reply != TFS_DIR_CREATED) {
          return Refuse(reply, Printf("Create DIR Fail! (0x%X)\r\n", unsigned{reply}));
        }
        return NextDirectoryOrVersion(/*first=*/false);
      case FsStep::WaitVersion:
        return OnVersion(reply);
      case FsStep::WaitReleaseVersion:
        return OnReleaseVersion(reply);
      case FsStep::WaitFileEcho:
        if (reply != expectedReply_) {
          return Refuse(reply, Printf("Fail!(%x:%x) (in sending name and size)\r\n",
                                      unsigned{reply}, unsigned{expectedReply_}));
        }
        remaining_ = listing_.currentSize;
        lastChunkSent_ = false;
        return SendChunk();
      case FsStep::WaitChunk:
        if (reply != expectedReply_) {
          return Refuse(reply, Printf("     checksum mismatched!(%x) \r\n", unsigned{reply}));
        }
        return SendChunk();
      case FsStep::WaitFileWritten:
        return OnFileWritten(reply);
      case FsStep::WaitComplete:
        return OnComplete(reply);
      case FsStep::WaitUnmount:
        if (reply != TFS_UNMOUNT) {
          return Refuse(reply, Printf("     Unmounting Error!(0x%0X)\n", unsigned{reply}));
        }
        narrator_.Log("OK!\r\n");
        unmounted_ = true;
        return;
      case FsStep::Ended:
        return;
    }
  }

  void OnFormatReply(std::uint8_t reply) {
    if (reply == TFS_FORMAT_FAIL) {
      narrator_.Log("    FAIL\n");
      errorCount_ = 0;
      return SetStep(FsStep::WaitFormatError);
    }
    if (reply != TFS_FORMAT_OK) return Refuse(reply, "   unknown command has come!\n");
    narrator_.Log("     OK\n");
    narrator_.Log(Tfs() ? "     ** Mounting TFS system... \n"
                        : "     ** Mounting DB2 system... \n");
    narrator_.Log(Tfs() ? "     ** Start Downloading TFS file **\n"
                        : "     ** Start Downloading DB2 file **\n");
    if (link::SendCommand(port_, TFS_MOUNT) != PORT_OK) {
      return End("     Send TFS mount command fail!\n");
    }
    SetStep(FsStep::WaitMount);
  }

  void OnErrorByte(std::uint8_t reply) {
    errorBytes_[errorCount_++] = reply;
    if (errorCount_ < errorBytes_.size()) return;
    const auto report = FormatErrorReport::Decode(errorBytes_);
    engine_.NoteRefusal(static_cast<int>(report.errorCode));
    narrator_.Message(Printf("\n     Format Error!\n Funccode(0x%x)->Errorcode (0x%x)\r\n",
                             unsigned{report.functionCode}, unsigned{report.errorCode}));
    End();
  }

  void OnMount(std::uint8_t reply) {
    if (reply != TFS_MOUNT)
      return Refuse(reply, Printf("     Mount Fail! (0x%X)\n", unsigned{reply}));
    if (link::SendCommand(port_, TFS_WRITE_CHECKSUM) != PORT_OK) {
      return End("     Send write checksum command fail!\n");
    }
    // Only logged: the phone keeps no use for it. Streamed, so a large image costs a chunk.
    const link::FileCrcResult crc =
        link::FileCrc32(link::SharedCrc32Table(), link::PathOf(in_.imagePath));
    if (!crc.opened) {
      engine_.causes.Note(app::Cause::File(Image(), app::FileRule::CannotOpen, in_.imagePath));
      narrator_.Message("Fail to open bin file!");
      return End();
    }
    narrator_.Log(Printf("     Sending NAND CheckSum:%x\n ", unsigned{crc.crc}));
    SetStep(FsStep::WaitChecksum);
  }

  void OnChecksum(std::uint8_t reply) {
    if (reply != TFS_WRITE_CHECKSUM) {
      return Refuse(reply, Printf("     Write nand checksum Error! (0x%X)\n", unsigned{reply}));
    }
    narrator_.Log("OK!\r\n");
    const std::time_t now = std::time(nullptr);
    ui::ToLocalTime(now, timeStamp_);
    switch (SendTimeRecord(port_, timeStamp_, expectedReply_)) {
      case SendResult::Sent:
        return SetStep(FsStep::WaitTime);
      case SendResult::CommandFailed:
        return End("     Send set tfs time command fail!\n");
      default:
        return End("     Send tfs time fail!\n");
    }
  }

  void NextDirectoryOrVersion(bool first) {
    const Entry entry = listing_.NextDirectory();
    if (entry.kind == EntryKind::None) {
      // The load refuses a listing without directories, so the first search always finds one.
      if (first) return End();
      return StartVersionRecords();
    }
    // The load has converted every name and refused those the phone could not take.
    if (entry.kind != EntryKind::Found) return End();
    // The log is UTF-8 throughout; the listing's own bytes are that only where the PC's
    // character set is (a Windows listing is in its code page).
    const std::string shown(entry.utf8);
    narrator_.Log(Printf("     Cr.dir \"%s\"... \n", shown.c_str()));
    if (SendDirRecord(port_, entry.utf8, expectedReply_) != SendResult::Sent) {
      return End("     Send tfs dir name fail!\n");
    }
    SetStep(FsStep::WaitDirEcho);
  }

  void StartVersionRecords() {
    const std::string& path = in_.imagePath;
    image_.emplace(link::PathOf(path), std::ios::binary);
    if (!image_->is_open()) {
      engine_.causes.Note(app::Cause::File(Image(), app::FileRule::CannotOpen, path));
      narrator_.Message(Printf("Fail to open %s", path.c_str()));
      return End();
    }
    narrator_.Log("     Writing a TFS Version...\n ");
    switch (SendVersion(port_, listing_.tfsVersion)) {
      case SendResult::Sent:
        return SetStep(FsStep::WaitVersion);
      case SendResult::CommandFailed:
        return End("     Send tfs release version create command fail!\n");
      default:
        return End("     Send tfs release version fail!\n");
    }
  }

  void OnVersion(std::uint8_t reply) {
    if (reply != TFS_VERSION_OK) {
      return Refuse(reply, Printf("     Release Version Fail! (0x%X)\r\n", unsigned{reply}));
    }
    if (listing_.hasReleaseVersion) {
      switch (SendReleaseVersion(port_, listing_.releaseVersion)) {
        case SendResult::Sent:
          break;
        case SendResult::CommandFailed:
          return End("     Send tfs release version create command fail!\n");
        default:
          return End("     Send tfs release version fail!\n");
      }
    } else if (SendNoReleaseVersion(port_) != SendResult::Sent) {
      return End("     Send tfs release version command fail!\n");
    }
    SetStep(FsStep::WaitReleaseVersion);
  }

  void OnReleaseVersion(std::uint8_t reply) {
    if (reply != TFS_VERSION_OK) {
      return Refuse(reply, Printf("     Project Version Fail! (0x%X)\r\n", unsigned{reply}));
    }
    narrator_.SetProgressRange(in_.imageSize);
    narrator_.SetProgressPos(0);
    narrator_.ResetProgress();
    listing_.cursor = 0;
    NextFileOrComplete(/*first=*/true);
  }

  void NextFileOrComplete(bool first) {
    const Entry entry = listing_.NextFile();
    if (entry.kind == EntryKind::None) {
      // The load refuses a listing without files, so the first search always finds one.
      if (first) return End();
      image_.reset();
      narrator_.Log("     Complete nand!\r\n");
      if (link::SendCommand(port_, WRITE_COMPLETE_NAND) != PORT_OK) {
        return End("     Send complete nand command fail!\n");
      }
      return SetStep(FsStep::WaitComplete);
    }
    if (entry.kind != EntryKind::Found) return End();
    const std::string shown(entry.utf8);
    narrator_.Log(Printf("     Wrt.file \"%s\" (%u bytes)... ", shown.c_str(), entry.size));
    SendFileRecord(port_, entry.utf8, entry.size, expectedReply_);
    SetStep(FsStep::WaitFileEcho);
  }

  void SendChunk() {
    std::size_t written = 0;
    switch (SendFileChunk(port_, *image_, chunk_, remaining_, lastChunkSent_, written,
                          expectedReply_)) {
      case SendResult::Sent:
        break;
      case SendResult::CommandFailed:
        return End("     Send create file cont check command fail!\n");
      default:
        return End("     Send tfs file data fail!\n");
    }
    if (written > 0) narrator_.AddProgress(written);
    SetStep(lastChunkSent_ ? FsStep::WaitFileWritten : FsStep::WaitChunk);
  }

  void OnFileWritten(std::uint8_t reply) {
    if (reply != TFS_FILE_WRITTEN) {
      return Refuse(reply, Printf("Writing error(0x%X)\r\n", unsigned{reply}));
    }
    narrator_.Log("OK!\n");
    NextFileOrComplete(/*first=*/false);
  }

  void OnComplete(std::uint8_t reply) {
    if (reply != WRITE_COMPLETE_NAND) return Refuse(reply, "     Writing NAND Fail! \r\n");
    // Says TFS for DB2 as well.
    narrator_.Log("     Unmounting TFS!");
    if (link::SendCommand(port_, TFS_UNMOUNT) != PORT_OK) {
      return End("     Send unmount tfs command fail!\n");
    }
    listing_.Release();
    SetStep(FsStep::WaitUnmount);
  }

  const EngineContext& engine_;
  app::Narrator& narrator_;
  SerialPort& port_;
  const FileSystemInputs& in_;
  int& step_;
  std::uint8_t expectedReply_ = 0;
  Listing listing_;
  std::optional<std::ifstream> image_;
  std::uint32_t remaining_ = 0;
  bool lastChunkSent_ = false;
  std::tm timeStamp_{};
  std::array<std::uint8_t, ERROR_REPORT_SIZE> errorBytes_{};
  std::size_t errorCount_ = 0;
  std::vector<std::uint8_t> chunk_;
  bool unmounted_ = false;
};

}  // namespace

bool LoadListing(const EngineContext& engine, const FileSystemInputs& inputs, Listing& listing) {
  const std::optional<app::ImageKind> image =
      inputs.kind == FileSystemKind::Tfs ? app::ImageKind::Tfs : app::ImageKind::Db2;
  const auto refuse = [&engine, &image](const std::string& text, app::FileRule rule,
                                        const std::string& path) {
    app::Cause cause = app::Cause::File(image, rule, path);
    cause.detail = text;
    engine.causes.Note(std::move(cause));
    engine.narrator.Message(text);
    return false;
  };
  const auto ruleOf = [](FileStatus status) {
    return status == FileStatus::ReadFailed ? app::FileRule::ReadFailed : app::FileRule::CannotOpen;
  };
  std::uint64_t imageLength = 0;
  int error = 0;
  FileStatus status = RegularFileLength(inputs.imagePath, imageLength, error);
  std::string refusal = FileRefusal(status, inputs.imagePath, error);
  if (!refusal.empty()) return refuse(refusal, ruleOf(status), inputs.imagePath);

  std::string text;
  status = ReadRegularFile(inputs.listingPath, MAX_LISTING_BYTES, text, error);
  refusal = FileRefusal(status, inputs.listingPath, error);
  if (!refusal.empty()) return refuse(refusal, ruleOf(status), inputs.listingPath);

  NameConverter converter;
  refusal = listing.Load(std::move(text), imageLength, converter);
  if (!refusal.empty()) {
    listing.Release();
    return refuse(refusal, app::FileRule::Contents, inputs.listingPath);
  }
  return true;
}

bool DownloadFileSystem(const EngineContext& engine, const FileSystemInputs& inputs, int& step) {
  Session session(engine, inputs, step);
  return session.Run();
}

FormatResult FormatFileSystem(const EngineContext& engine) {
  SerialPort& port = engine.port;
  app::Narrator& narrator = engine.narrator;
  if (!link::IsLoaderBaudCode(port.baudCode)) return FORMAT_STOPPED;
  if (link::OpenForLinkMode(port) != PORT_OK) {
    narrator.Message("Comport Open error!");
    return FORMAT_OPEN_FAILED;
  }
  narrator.Log("\n\n  * TFS format");
  narrator.Log("\n     Formatting TFS system..\t\t\t> > > ");
  // A bare byte on both links: the phone takes the stand-alone format outside any session.
  FormatResult result = FORMAT_NO_REPLY;
  const std::uint8_t code = TFS_FORMAT;
  if (port.WriteFully(std::span(&code, 1), ARGUMENT_TIMEOUT) == PORT_OK) {
    std::uint8_t reply = 0;
    const link::PortStatus status = port.ReadFully(std::span(&reply, 1), FORMAT_BUTTON_TIMEOUT);
    if (status == PORT_OK) {
      narrator.Log(reply == TFS_FORMAT_OK ? "OK!\n" : "Fail!\n");
      result = reply == TFS_FORMAT_OK ? FORMAT_OK : FORMAT_REFUSED;
      if (result == FORMAT_REFUSED) engine.NoteRefusal(reply);
    } else {
      (void)engine.Awaited(status, "the format reply");
    }
  }
  port.Close();
  return result;
}

}  // namespace veska::fs
