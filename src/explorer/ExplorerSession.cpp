#include "explorer/ExplorerSession.h"

#include <algorithm>
#include <mutex>

#include "app/PathRules.h"
#include "app/Printf.h"
#include "fs/FsCodes.h"
#include "fs/Listing.h"
#include "link/BlockSum.h"
#include "link/FilePath.h"
#include "link/LinkState.h"

namespace veska::explorer {

using app::Printf;
using link::PORT_OK;

namespace {

// A request whose argument is a name record: the code, the length (two bytes, big-endian) and
// the name with its zero.
std::vector<std::uint8_t> NameRequest(std::uint8_t code, std::string_view utf8) {
  std::vector<std::uint8_t> bytes(3 + utf8.size());
  bytes[0] = code;
  bytes[1] = static_cast<std::uint8_t>(utf8.size() >> 8);
  bytes[2] = static_cast<std::uint8_t>(utf8.size());
  std::copy(utf8.begin(), utf8.end(), bytes.begin() + 3);
  return bytes;
}

}  // namespace

ExplorerSession::ExplorerSession(app::ProcessState& session, ExplorerNotices& notices)
    : session_(session), notices_(notices) {}

ExplorerSession::ExplorerSession(app::ProcessState& session, ExplorerNotices& notices,
                                 const std::string& pcCharset)
    : session_(session), notices_(notices), names_(pcCharset) {}

link::SerialPort* ExplorerSession::Port() const {
  std::lock_guard lock(session_.sharedPortMutex);
  return session_.sharedPort.get();
}

// ---------------------------------------------------------------------------------------------
// The actions

void ExplorerSession::Start() {
  if (!session_.mountSent.load()) {
    notices_.Narrate("\r\n** Mounting TFS system... ");
    state_ = ExplorerState::Mount;
    link::SerialPort* port = Port();
    if (port == nullptr || cancelled_ || link::OpenForLinkMode(*port) != PORT_OK) return;
    received_.clear();
    receivedUsed_ = 0;
    if (port->State().linkMode.load() == link::LINK_USB) {
      (void)link::SendPaddedCommand(*port, fs::TFS_OPERATION);
    }
    SendByte(fs::TFS_MOUNT);
    expected_ = fs::TFS_MOUNT;
    session_.mountSent = true;
  }
  Exchange();
}

void ExplorerSession::List(const std::string& path) {
  notices_.NarrateAnew(Printf("\r\nSearching the files (in '%s')... ", ShownName(path).c_str()));
  if (RequestListing(path)) Exchange();
}

void ExplorerSession::Add(const std::string& pcFile, const std::string& dir) {
  dir_ = dir;
  // Only a regular file: a FIFO would block the open, a device would never end.
  std::uint64_t length = 0;
  int error = 0;
  if (pcFile.empty() || fs::RegularFileLength(pcFile, length, error) != fs::FileStatus::Ok) {
    notices_.Message("Fail to open resource file!");
    state_ = ExplorerState::Idle;
    return;
  }
  if (length > kMaxAddBytes) {
    notices_.Message(kAddTooLargeText);
    state_ = ExplorerState::Idle;
    return;
  }
  const std::optional<std::string> full = FullPath(app::FileNamePart(pcFile));
  if (!full) return;
  notices_.Narrate(Printf("\r\nAdding the file '%s'... \r\n", ShownName(*full).c_str()));
  const std::optional<std::string> utf8 = ToUtf8(*full);
  if (!utf8) {
    state_ = ExplorerState::Idle;
    return;
  }
  notices_.EnableBrowsing(false, false);
  const auto refuse = [this](std::string_view text) {
    addFile_.reset();
    notices_.Message(text);
    state_ = ExplorerState::Idle;
    notices_.EnableBrowsing(true, true);
  };
  addFile_.reset(link::OpenFile(pcFile, "rb"));
  if (!addFile_ || std::fseek(addFile_.get(), 0, SEEK_END) != 0) {
    return refuse("Fail to open tfs file!");
  }
  const long end = std::ftell(addFile_.get());
  std::rewind(addFile_.get());
  // What the file holds now, as long as the size record can carry it.
  if (end < 0 || static_cast<std::uint64_t>(end) > kMaxAddBytes) return refuse(kAddTooLargeText);
  addRemaining_ = static_cast<std::uint32_t>(end);
  addLastChunk_ = false;
  notices_.Narrate(Printf("File size is %u", static_cast<unsigned>(addRemaining_)));

  // Code, name record and size in one write: the phone reads nothing in between.
  std::vector<std::uint8_t> bytes = NameRequest(fs::TFS_ADD_FILE, *utf8);
  const auto size = link::EncodeUartNumber(addRemaining_);
  bytes.insert(bytes.end(), size.begin(), size.end());
  expected_ = link::blockSum(std::span(bytes).subspan(1));
  state_ = ExplorerState::AddReady;
  Send(bytes);
  Exchange();
}

void ExplorerSession::Delete(const std::string& dir, const std::string& name) {
  dir_ = dir;
  const std::optional<std::string> full = FullPath(name);
  if (!full) return;
  notices_.Narrate(Printf("\r\nDeleting the file '%s'... ", ShownName(*full).c_str()));
  const std::optional<std::string> utf8 = ToUtf8(*full);
  if (!utf8) {
    state_ = ExplorerState::Idle;
    return;
  }
  notices_.EnableBrowsing(false, false);
  state_ = ExplorerState::Delete;
  Send(NameRequest(TFS_DELETE_FILE, *utf8));
  Exchange();
}

void ExplorerSession::Dump(const std::string& dir, const std::string& name) {
  dir_ = dir;
  const std::optional<std::string> full = FullPath(name);
  if (!full) return;
  notices_.Narrate(Printf("\r\n Reading the file '%s'... ", ShownName(*full).c_str()));
  notices_.EnableBrowsing(false, false);
  const std::optional<std::string> utf8 = ReadingName(*full);
  if (!utf8) return;
  dumpIncomplete_ = false;
  state_ = ExplorerState::FileSize;
  Send(NameRequest(TFS_READ_FILE, *utf8));
  Exchange();
}

void ExplorerSession::Status(const std::string& dir, const std::string& name) {
  dir_ = dir;
  const std::optional<std::string> full = FullPath(name);
  if (!full) return;
  notices_.NarrateAnew(Printf("\r\n Reading the file status '%s'... \n", ShownName(*full).c_str()));
  notices_.Narrate("---------------------------- \n");
  notices_.EnableBrowsing(false, false);
  const std::optional<std::string> utf8 = ReadingName(*full);
  if (!utf8) return;
  Send(NameRequest(TFS_FILE_STATUS, *utf8));
  state_ = ExplorerState::Status;
  Exchange();
}

void ExplorerSession::Unmount(bool interrupted) {
  (void)CloseDumpFile();
  addFile_.reset();
  link::SerialPort* port = Port();
  if (interrupted || port == nullptr || !Connected()) {
    session_.mountSent = false;
    if (port != nullptr) port->Close();
    return;
  }
  // A mount that never succeeded may have left the port closed (or never opened it); the
  // phone still hears the unmount, which it answers without judging.
  if (!session_.mountSucceeded.load() && !port->HoldsDevice() &&
      link::OpenForLinkMode(*port) != PORT_OK) {
    session_.mountSent = false;
    notices_.Narrate("open comport Fail!");
    return;
  }
  session_.mountSent = false;
  SendByte(fs::TFS_UNMOUNT);
  // A phone that left an exchange unanswered is not waited for a second time.
  if (!noReply_) {
    std::uint8_t answer = 0;
    (void)port->ReadFully(std::span(&answer, 1), kSendTimeoutFactor);
  }
  port->Close();
  received_.clear();
  receivedUsed_ = 0;
}

// ---------------------------------------------------------------------------------------------
// The receive engine

void ExplorerSession::Exchange() {
  for (;;) {
    std::uint8_t byte = 0;
    if (!ReadByte(byte)) {
      // The phone went silent or the port was closed under the exchange: a dump's file keeps
      // what was accepted and is closed now, not at the unmount.
      if (dumpFile_) {
        (void)CloseDumpFile();
        dumpIncomplete_ = true;
      }
      return;
    }
    if (Handle(byte) == Step::End) return;
  }
}

ExplorerSession::Step ExplorerSession::Handle(std::uint8_t byte) {
  switch (state_) {
    case ExplorerState::Mount:
      return OnMountByte(byte);
    case ExplorerState::DirEntryLength:
      entryLength_ = std::size_t{byte} + 1;
      entryIndex_ = 0;
      state_ = ExplorerState::DirEntry;
      return Step::Continue;
    case ExplorerState::DirEntry:
      return OnDirEntryByte(byte);
    case ExplorerState::DirNext:
      return OnDirNextByte(byte);
    case ExplorerState::AddReady:
      return OnAddReadyByte(byte);
    case ExplorerState::AddData:
      return OnAddDataByte(byte);
    case ExplorerState::Delete:
      return OnDeleteByte(byte);
    case ExplorerState::FileSize:
      return OnFileSizeByte(byte);
    case ExplorerState::DumpData:
      return OnDumpDataByte(byte);
    case ExplorerState::Status:
      return OnStatusByte(byte);
    case ExplorerState::FileSizeBytes:
    case ExplorerState::StatusBytes:
      return OnRecordByte(byte);
    case ExplorerState::Idle:
      break;
  }
  return Step::Continue;  // a byte nobody waits for is dropped
}

ExplorerSession::Step ExplorerSession::OnMountByte(std::uint8_t byte) {
  if (byte != expected_) {
    state_ = ExplorerState::Idle;
    notices_.Narrate(Printf("Fail! (0x%X)\r\n", byte));
    return Step::End;
  }
  notices_.Narrate("OK!\r\n");
  session_.mountSucceeded = true;
  notices_.Narrate("Searching the files... \r\n");
  RequestRootListing();
  return Step::Continue;
}

ExplorerSession::Step ExplorerSession::OnDirEntryByte(std::uint8_t byte) {
  // A name that does not fit the buffer is still taken off the line, so that the listing can
  // go on with the next entry.
  if (entryIndex_ < entry_.size()) entry_[entryIndex_] = byte;
  ++entryIndex_;
  if (entry_[0] == TFS_DIR_ERROR) {
    notices_.Narrate("Read Dir ERR!!\n");
    state_ = ExplorerState::Idle;
    return Step::End;
  }
  if (entryIndex_ < entryLength_) return Step::Continue;
  if (!CountListingEntry(entryLength_)) return Step::End;

  SendByte(entry_[0]);
  state_ = ExplorerState::DirNext;
  if (entryLength_ > entry_.size()) {
    notices_.Narrate(Printf("**Name too long(%d bytes), entry skipped **\r\n",
                            static_cast<int>(entryLength_ - 1)));
    return Step::Continue;
  }
  const std::string_view name(reinterpret_cast<const char*>(entry_.data() + 1), entryLength_ - 1);
  AddEntry(entry_[0], name);
  return Step::Continue;
}

void ExplorerSession::AddEntry(std::uint8_t type, std::string_view utf8Name) {
  if (type != ENTRY_FILE && type != ENTRY_DIRECTORY) {
    notices_.Narrate("error!\r\n");
    return;
  }
  const std::optional<std::string> name = names_.FromUtf8(utf8Name);
  if (!name) {
    notices_.Narrate(kConversionError);
    return;
  }
  if (type == ENTRY_DIRECTORY) {
    notices_.DirectoryListed(*name);
    return;
  }
  notices_.FileListed(*name);
  notices_.Narrate(Printf("%s\r\n", ShownName(*name).c_str()));
}

ExplorerSession::Step ExplorerSession::OnDirNextByte(std::uint8_t byte) {
  switch (byte) {
    case TFS_DIR_NEXT:
      state_ = ExplorerState::DirEntryLength;
      return Step::Continue;
    case TFS_DIR_ERROR:
      notices_.EnableTree();  // the list stays as it was
      notices_.Narrate("ERROR in reading File name!\r\n");
      return Step::End;
    case TFS_DIR_END:
      notices_.EnableBrowsing(true, true);
      notices_.Narrate("\r\n Read directory OK!\r\n");
      state_ = ExplorerState::Idle;
      notices_.Confirmed();
      return Step::End;
    default:
      notices_.Narrate(Printf("Unknown FILE name receive error!(%x)\r\n", byte));
      state_ = ExplorerState::Idle;
      return Step::End;
  }
}

ExplorerSession::Step ExplorerSession::OnAddReadyByte(std::uint8_t byte) {
  if (byte != expected_) {
    notices_.Narrate(Printf("Add Fail! (0x%X)\r\n", byte));
    notices_.EnableBrowsing(true, true);
    return Step::End;
  }
  notices_.Narrate(Printf("Add READY OK! (0x%X)\r\n", byte));
  SendNextAddChunk();
  return Step::Continue;
}

ExplorerSession::Step ExplorerSession::OnAddDataByte(std::uint8_t byte) {
  // After the file's last chunk only TFS_FILE_WRITTEN counts: a last chunk whose sum happens
  // to be 0xDF must not be taken for "send the next one".
  if (!addLastChunk_ && byte == expected_) {
    notices_.Narrate(Printf("Add continue OK! (0x%X)\r\n", byte));
    SendNextAddChunk();
    return Step::Continue;
  }
  if (byte == fs::TFS_FILE_WRITTEN) {
    addFile_.reset();
    notices_.Confirmed();
    notices_.Narrate("Add complete");
    notices_.Narrate(Printf("\r\nSearching the files (in '%s')...\r\n ", ShownName(dir_).c_str()));
    ListAgain();
    return Step::Continue;
  }
  notices_.Narrate(Printf("Add Fail! (0x%X)\r\n", byte));
  notices_.EnableBrowsing(true, true);
  return Step::End;
}

void ExplorerSession::SendNextAddChunk() {
  expected_ = 0;
  std::size_t length = addRemaining_;
  if (addRemaining_ >= kChunkSize) {
    length = kChunkSize;
    addRemaining_ -= kChunkSize;
  } else {
    addLastChunk_ = true;  // a shorter chunk, an empty one too, ends the file
  }
  std::vector<std::uint8_t> bytes{fs::TFS_ADD_DATA};
  if (length > 0) {
    bytes.resize(1 + length);
    const std::size_t got = std::fread(bytes.data() + 1, 1, length, addFile_.get());
    bytes.resize(1 + got);
    expected_ = link::blockSum(std::span(bytes).subspan(1));
  }
  state_ = ExplorerState::AddData;
  // The code and its chunk in one write: the phone answers only after the whole chunk.
  Send(bytes);
}

ExplorerSession::Step ExplorerSession::OnDeleteByte(std::uint8_t byte) {
  if (byte != TFS_DELETE_FILE) {
    state_ = ExplorerState::Idle;
    notices_.Narrate(Printf("Delete Fail! (0x%X)\r\n", byte));
    notices_.EnableBrowsing(true, true);
    return Step::End;
  }
  notices_.Confirmed();
  notices_.Narrate("OK!\r\n");
  notices_.Narrate(Printf("\r\nSearching the files (in '%s')... \r\n", ShownName(dir_).c_str()));
  ListAgain();
  return Step::Continue;
}

ExplorerSession::Step ExplorerSession::OnFileSizeByte(std::uint8_t byte) {
  if (byte != TFS_FILE_SIZE) {
    notices_.EnableBrowsing(true, true);
    state_ = ExplorerState::Idle;
    notices_.Narrate(Printf("File size read Fail! (0x%X)\r\n", byte));
    return Step::End;
  }
  AwaitRecord(ExplorerState::FileSizeBytes, link::UART_NUMBER_SIZE);
  return Step::Continue;
}

ExplorerSession::Step ExplorerSession::OnStatusByte(std::uint8_t byte) {
  if (byte != TFS_STATUS_DATA) {
    notices_.EnableBrowsing(true, true);
    state_ = ExplorerState::Idle;
    notices_.Narrate(Printf("Fail! (0x%X)\r\n", byte));
    return Step::End;
  }
  AwaitRecord(ExplorerState::StatusBytes, kFileStatusSize);
  return Step::Continue;
}

void ExplorerSession::AwaitRecord(ExplorerState state, std::size_t length) {
  state_ = state;
  recordLength_ = length;
  recordCount_ = 0;
}

ExplorerSession::Step ExplorerSession::OnRecordByte(std::uint8_t byte) {
  record_[recordCount_++] = byte;
  if (recordCount_ < recordLength_) return Step::Continue;
  recordCount_ = 0;
  if (state_ == ExplorerState::FileSizeBytes) {
    return StartDump(link::DecodeUartNumber(std::span(record_).first<link::UART_NUMBER_SIZE>()));
  }
  notices_.Confirmed();
  const FileStatus status = FileStatus::Decode(record_);
  notices_.StatusRead(status);
  for (const std::string& line : FileStatusLines(status)) {
    notices_.Narrate(line);
  }
  state_ = ExplorerState::Idle;
  notices_.EnableBrowsing(true, true);
  return Step::End;
}

ExplorerSession::Step ExplorerSession::StartDump(std::uint32_t size) {
  dumpRemaining_ = size;
  notices_.Narrate(Printf("\r\nSize: %u bytes\r\n", static_cast<unsigned>(size)));
  const auto refuse = [this](std::string_view text) {
    notices_.EnableBrowsing(true, true);
    state_ = ExplorerState::Idle;
    notices_.Message(text);
    return Step::End;
  };
  // Refused before a file is asked for: nothing is created for a size no file can have.
  if (size > limits_.fileBytes) {
    notices_.Narrate(Printf("%s\r\n", std::string(kDumpTooLargeText).c_str()));
    return refuse(kDumpTooLargeText);
  }
  const std::string path = notices_.DumpTarget();
  if (path.empty()) return refuse("No file selected!");
  // A FIFO or a device would hang the dump or take the data nowhere: only a file.
  dumpFile_ = fs::CreateRegularFile(path);
  if (!dumpFile_) return refuse("Internal Error! (file creation)");

  notices_.Narrate("** Dumping TFS File **\r\n");
  lastChunk_ = false;
  dumpReceived_ = 0;
  notices_.ProgressRange(size);
  NextDumpChunk();
  state_ = ExplorerState::DumpData;
  SendByte(TFS_READ_DATA);
  return Step::Continue;
}

void ExplorerSession::NextDumpChunk() {
  if (dumpRemaining_ >= kChunkSize) {
    chunkLength_ = kChunkSize;
    dumpRemaining_ -= kChunkSize;
    lastChunk_ = dumpRemaining_ == 0;
  } else {
    chunkLength_ = dumpRemaining_;
    lastChunk_ = true;
  }
  chunkCount_ = 0;
  expected_ = 0;
}

ExplorerSession::Step ExplorerSession::OnDumpDataByte(std::uint8_t byte) {
  if (chunkLength_ == 0 && byte == TFS_EMPTY_FILE) {
    notices_.Progress(dumpReceived_);
    SendByte(TFS_DATA_ACK);
    return CompleteDump();
  }
  if (chunkCount_ < chunkLength_) {
    chunk_[chunkCount_++] = byte;
    expected_ = static_cast<std::uint8_t>(expected_ + byte);
    return Step::Continue;
  }
  if (byte != expected_) {
    (void)CloseDumpFile();
    dumpIncomplete_ = true;
    SendByte(TFS_DATA_NAK);
    state_ = ExplorerState::Idle;
    notices_.Narrate("Checksum mismatched!\r\n");
    notices_.EnableBrowsing(true, true);
    notices_.Message("Checksum Mismatched!");
    return Step::End;
  }
  // Written through at once, so that a disk that is full or a file-size limit shows here.
  if (std::fwrite(chunk_.data(), 1, chunkLength_, dumpFile_.get()) != chunkLength_ ||
      std::fflush(dumpFile_.get()) != 0) {
    return DumpWriteFailed();
  }
  dumpReceived_ += static_cast<std::uint32_t>(chunkLength_);
  notices_.Progress(dumpReceived_);
  SendByte(TFS_DATA_ACK);
  if (lastChunk_) return CompleteDump();
  NextDumpChunk();
  return Step::Continue;
}

ExplorerSession::Step ExplorerSession::CompleteDump() {
  // The phone has its acknowledgement already; only the copy on the PC can still fail.
  if (!CloseDumpFile()) {
    dumpIncomplete_ = true;
    state_ = ExplorerState::Idle;
    notices_.Narrate(Printf("%s\r\n", std::string(kDumpWriteFailedText).c_str()));
    notices_.EnableBrowsing(true, true);
    notices_.Message(kDumpWriteFailedText);
    return Step::End;
  }
  notices_.EnableBrowsing(true, true);
  notices_.Narrate("** Dump Completed! **\r\n");
  state_ = ExplorerState::Idle;
  notices_.Confirmed();
  notices_.Message("Dump Completed!");
  return Step::End;
}

ExplorerSession::Step ExplorerSession::DumpWriteFailed() {
  (void)CloseDumpFile();
  dumpIncomplete_ = true;
  // As for a bad sum: the phone ends the dump instead of sending what the file cannot take.
  SendByte(TFS_DATA_NAK);
  state_ = ExplorerState::Idle;
  notices_.Narrate(Printf("%s\r\n", std::string(kDumpWriteFailedText).c_str()));
  notices_.EnableBrowsing(true, true);
  notices_.Message(kDumpWriteFailedText);
  return Step::End;
}

bool ExplorerSession::CloseDumpFile() {
  if (!dumpFile_) return true;
  return std::fclose(dumpFile_.release()) == 0;
}

std::size_t ExplorerSession::Expecting() const {
  switch (state_) {
    case ExplorerState::DumpData:
      // The rest of the chunk and its sum; an empty file's single byte.
      return chunkLength_ == 0 ? 1 : chunkLength_ - chunkCount_ + 1;
    case ExplorerState::FileSizeBytes:
    case ExplorerState::StatusBytes:
      return recordLength_ - recordCount_;
    default:
      return 1;
  }
}

bool ExplorerSession::ReadByte(std::uint8_t& byte) {
  if (receivedUsed_ == received_.size()) {
    link::SerialPort* port = Port();
    if (port == nullptr || cancelled_ || !Connected()) return false;
    received_.resize(Expecting());
    receivedUsed_ = 0;
    const link::PortStatus status = port->ReadFully(received_, kReplyTimeoutFactor);
    // A phone that answers again is no longer taken for dead.
    noReply_ = status == link::PORT_NO_REPLY;
    if (status != PORT_OK) {
      received_.clear();
      return false;
    }
  }
  byte = received_[receivedUsed_++];
  return true;
}

void ExplorerSession::Send(std::span<const std::uint8_t> bytes) {
  link::SerialPort* port = Port();
  if (port == nullptr || cancelled_ || !Connected()) return;
  // Not judged: a request that did not arrive shows as a missing or wrong answer.
  (void)port->WriteFully(bytes, kSendTimeoutFactor);
}

// ---------------------------------------------------------------------------------------------
// Listings

void ExplorerSession::RequestRootListing() {
  StartListing(true);
  state_ = ExplorerState::DirEntryLength;
  // The root goes as "/" alone, without the zero every other path carries.
  static constexpr std::uint8_t kRootRequest[] = {TFS_READ_DIR, 0x01, '/'};
  Send(kRootRequest);
}

bool ExplorerSession::RequestListing(const std::string& path) {
  const std::optional<std::string> utf8 = names_.ToUtf8(path);
  // The request carries the length in one byte: a longer path would be cut and misread.
  if (!utf8 || utf8->size() > kMaxDirRequestBytes) {
    if (!utf8) notices_.Narrate(kConversionError);
    state_ = ExplorerState::Idle;
    notices_.Narrate(Printf("**UTF8 length error(%d) **\r\n",
                            static_cast<int>(utf8 ? utf8->size() : path.size())));
    return false;
  }
  state_ = ExplorerState::DirEntryLength;
  notices_.EnableBrowsing(false, false);
  std::vector<std::uint8_t> bytes{TFS_READ_DIR, static_cast<std::uint8_t>(utf8->size())};
  bytes.insert(bytes.end(), utf8->begin(), utf8->end());
  Send(bytes);
  StartListing(false);
  return true;
}

void ExplorerSession::StartListing(bool root) {
  entryIndex_ = 0;
  listingEntries_ = 0;
  listingBytes_ = 0;
  notices_.ListingStarted(root);
}

bool ExplorerSession::CountListingEntry(std::size_t length) {
  ++listingEntries_;
  listingBytes_ += length + 2;  // its length byte before and the continuation after it
  if (listingEntries_ <= limits_.listingEntries && listingBytes_ <= limits_.listingBytes) {
    return true;
  }
  // Not acknowledged: the phone sends nothing more. What was listed stays.
  state_ = ExplorerState::Idle;
  notices_.Narrate(
      Printf("**Listing stopped after %llu entries: more than the flash can hold **\r\n",
             static_cast<unsigned long long>(listingEntries_ - 1)));
  notices_.EnableBrowsing(true, true);
  return false;
}

void ExplorerSession::ListAgain() {
  if (dir_ == "/") {
    RequestRootListing();
    return;
  }
  if (!RequestListing(dir_)) notices_.EnableBrowsing(true, true);
}

// ---------------------------------------------------------------------------------------------
// Pieces

std::optional<std::string> ExplorerSession::FullPath(const std::string& name) {
  std::string full = dir_;
  if (!full.ends_with('/')) full += '/';
  full += name;
  // The path buffer holds the path and its zero; a longer one is refused before anything is
  // sent or disabled.
  if (full.size() + 1 > kPathBufferSize) {
    NameTooLong(full);
    return std::nullopt;
  }
  return full;
}

std::optional<std::string> ExplorerSession::ReadingName(const std::string& full) {
  std::optional<std::string> utf8 = ToUtf8(full);
  if (!utf8) {
    NameTooLong(full);
    notices_.EnableBrowsing(true, true);
  }
  return utf8;
}

void ExplorerSession::NameTooLong(const std::string& full) {
  state_ = ExplorerState::Idle;
  notices_.Narrate(Printf("**File name is too long(%s) **\r\n", ShownName(full).c_str()));
}

std::optional<std::string> ExplorerSession::ToUtf8(std::string_view name) {
  std::optional<std::string> utf8 = names_.ToUtf8(name);
  if (!utf8) notices_.Narrate(kConversionError);
  return utf8;
}

}  // namespace veska::explorer
