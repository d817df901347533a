// The phone's file-system service driven with raw bytes on its pty, as the PC writes them:
// whole download sessions on both links, the format error report, strictness about chunk
// lengths and order, the Explorer's requests, and the file system outliving a restart.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "PhonePeer.h"
#include "sim/FileSystemServiceCodes.h"

namespace veska::sim::test {
namespace {

Bytes NameRecord(const std::string& name) {
  const std::size_t n = name.size() + 1;
  Bytes record(2 + n, 0);
  record[0] = static_cast<std::uint8_t>(n >> 8);
  record[1] = static_cast<std::uint8_t>(n);
  std::copy(name.begin(), name.end(), record.begin() + 2);
  return record;
}

Bytes TimeRecord() {  // 31 December 2009, 23:59:58
  return Cat({Le32(58), Le32(59), Le32(23), Le32(31), Le32(12), Le32(2009)});
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// The PC's side of a file-system session: commands in the link's form, records raw.
class FsPc {
 public:
  FsPc(PhonePeer& pc, bool usb) : pc_(pc), usb_(usb) {}
  bool Command(std::uint8_t code) { return usb_ ? pc_.Write(ShortFrame(code)) : pc_.Write({code}); }
  bool Send(std::uint8_t code, const Bytes& args) {
    return Command(code) && (args.empty() || pc_.Write(args));
  }
  std::optional<std::uint8_t> Reply() { return pc_.ReadByte(); }

 private:
  PhonePeer& pc_;
  bool usb_;
};

struct Listed {
  std::string name;
  Bytes bytes;
};

// Writes one file as the download does: record, then 8192-byte chunks each echoed by its sum,
// and a last shorter (perhaps empty) chunk answered by TFS_FILE_WRITTEN.
void WriteFile(FsPc& fs, const Listed& file) {
  const Bytes record =
      Cat({NameRecord(file.name), Be32(static_cast<std::uint32_t>(file.bytes.size()))});
  ASSERT_TRUE(fs.Send(TFS_ADD_FILE, record));
  ASSERT_EQ(fs.Reply(), Sum(record)) << file.name;
  std::size_t offset = 0;
  for (;;) {
    const std::size_t n = std::min<std::size_t>(TFS_CHUNK_SIZE, file.bytes.size() - offset);
    const Bytes chunk(file.bytes.begin() + static_cast<long>(offset),
                      file.bytes.begin() + static_cast<long>(offset + n));
    ASSERT_TRUE(fs.Send(TFS_ADD_DATA, chunk));
    offset += n;
    if (n < TFS_CHUNK_SIZE) {
      ASSERT_EQ(fs.Reply(), TFS_FILE_WRITTEN) << file.name;
      return;
    }
    ASSERT_EQ(fs.Reply(), Sum(chunk)) << file.name << " at " << offset;
  }
}

const std::vector<Listed>& Files() {
  static const std::vector<Listed> files{
      {"/sys/empty.txt", {}},
      {"/sys/page.bin", Pattern(8192, 5)},
      {"/long.bin", Pattern(8193, 9)},
  };
  return files;
}
const Bytes kVersion = Text("TFS-1.67-QX7430 ");
const Bytes kRelease = Text("R2009-12-31A");

// The whole download after the format: mount to unmount.
void RunDownload(FsPc& fs) {
  ASSERT_TRUE(fs.Command(TFS_MOUNT));
  ASSERT_EQ(fs.Reply(), TFS_MOUNT);
  ASSERT_TRUE(fs.Command(TFS_WRITE_CHECKSUM));
  ASSERT_EQ(fs.Reply(), TFS_WRITE_CHECKSUM);
  ASSERT_TRUE(fs.Send(TFS_SET_TIME, TimeRecord()));
  ASSERT_EQ(fs.Reply(), Sum(TimeRecord()));
  ASSERT_TRUE(fs.Send(TFS_CREATE_DIR, NameRecord("/sys")));
  ASSERT_EQ(fs.Reply(), Sum(NameRecord("/sys")));
  ASSERT_EQ(fs.Reply(), TFS_DIR_CREATED);
  ASSERT_TRUE(fs.Send(TFS_VERSION, kVersion));
  ASSERT_EQ(fs.Reply(), TFS_VERSION);
  ASSERT_TRUE(fs.Send(TFS_RELEASE_VERSION, kRelease));
  ASSERT_EQ(fs.Reply(), TFS_VERSION);
  for (const Listed& file : Files()) ASSERT_NO_FATAL_FAILURE(WriteFile(fs, file));
  ASSERT_TRUE(fs.Command(WRITE_COMPLETE_NAND));
  ASSERT_EQ(fs.Reply(), WRITE_COMPLETE_NAND);
  ASSERT_TRUE(fs.Command(TFS_UNMOUNT));
  ASSERT_EQ(fs.Reply(), TFS_UNMOUNT);
}

void ExpectDownloaded(const TfsContents& c) {
  EXPECT_TRUE(c.formatted);
  EXPECT_TRUE(c.checksumMarked);
  EXPECT_TRUE(c.complete);
  EXPECT_EQ(c.directories, (std::set<std::string>{"/", "/sys"}));
  ASSERT_EQ(c.files.size(), Files().size());
  for (const Listed& file : Files()) {
    ASSERT_EQ(c.files.count(file.name), 1u) << file.name;
    EXPECT_EQ(c.files.at(file.name).bytes, file.bytes) << file.name;
  }
  ASSERT_TRUE(c.version);
  EXPECT_EQ(Bytes(c.version->begin(), c.version->end()), kVersion);
  ASSERT_TRUE(c.releaseVersion);
  EXPECT_EQ(Bytes(c.releaseVersion->begin(), c.releaseVersion->end()), kRelease);
  EXPECT_EQ(c.time, (TfsTime{58, 59, 23, 31, 12, 2009}));
}

class UsbFs : public ::testing::Test {
 protected:
  void SetUp() override { StartPhone(TestOptions(LinkDialect::Usb)); }
  void StartPhone(PhoneOptions options, const std::string& sideFile = "") {
    pc_.reset();
    phone_ = std::make_unique<VirtualPhone>(std::move(options));
    if (!sideFile.empty()) phone_->SetFileSystemFile(sideFile);
    ASSERT_EQ(phone_->Start(), 0);
    pc_ = std::make_unique<PhonePeer>(phone_->SlavePath());
    ASSERT_TRUE(pc_->Write({USB_START}));
    ASSERT_EQ(pc_->ReadByte(), USB_START);
  }
  // TFS_OPERATION and the format in its frame: the opening of a download session.
  void OpenDownload(FsPc& fs) {
    ASSERT_TRUE(pc_->Write(Padded(TFS_OPERATION)));
    ASSERT_TRUE(fs.Command(TFS_FORMAT));
    ASSERT_EQ(fs.Reply(), TFS_FORMAT_OK);
  }

  std::unique_ptr<VirtualPhone> phone_;
  std::unique_ptr<PhonePeer> pc_;
};

// The same session on each link, opened as that link's PC opens it (USB's TFS_OPERATION frame,
// UART's loaders and rate); afterwards the phone is back in its driver reading bare commands.
TEST(FsDownload, SessionFillsTheModelAndRecordsWhatCameOnBothLinks) {
  for (bool usb : {false, true}) {
    SCOPED_TRACE(usb ? "USB" : "UART");
    VirtualPhone phone(TestOptions(usb ? LinkDialect::Usb : LinkDialect::Uart));
    ASSERT_EQ(phone.Start(), 0);
    PhonePeer pc(phone.SlavePath());
    if (usb) {
      ASSERT_TRUE(pc.Write({USB_START}));
      ASSERT_EQ(pc.ReadByte(), USB_START);
      ASSERT_TRUE(pc.Write(Padded(TFS_OPERATION)));
    } else {
      ASSERT_NO_FATAL_FAILURE(ConnectUart(phone, pc, RATE_921600));
    }
    FsPc fs(pc, usb);
    ASSERT_TRUE(fs.Command(TFS_FORMAT));
    ASSERT_EQ(fs.Reply(), TFS_FORMAT_OK);
    ASSERT_NO_FATAL_FAILURE(RunDownload(fs));
    ExpectDownloaded(phone.FileSystem());
    EXPECT_EQ(LastViolation(phone), "");

    // The record names what the PC sent: the file record with its size and echo sum.
    const auto events = phone.Events();
    auto added = std::find_if(events.begin(), events.end(), [](const Event& e) {
      return e.kind == EventKind::Command && e.detail == "TFS_ADD_FILE /long.bin";
    });
    ASSERT_NE(added, events.end());
    EXPECT_EQ(added->length, 8193u);
    EXPECT_EQ(added->sum, Sum(Cat({NameRecord("/long.bin"), Be32(8193)})));

    EXPECT_EQ(phone.State(), PhoneState::Driver);
    ASSERT_TRUE(pc.Write({FLASH_ID_QUERY}));
    EXPECT_EQ(pc.Read(2), (Bytes{0xEC, 0xB1}));
  }
}

TEST_F(UsbFs, FormatErrorReportLeavesTheFileSystemAlone) {
  FsPc fs(*pc_, true);
  ASSERT_NO_FATAL_FAILURE(OpenDownload(fs));
  ASSERT_NO_FATAL_FAILURE(RunDownload(fs));

  phone_->InjectFileSystemFault(*ParseFsFault("error@format=85:102"));
  ASSERT_TRUE(pc_->Write({TFS_FORMAT}));  // the Format button: bare
  EXPECT_EQ(pc_->Read(6), (Bytes{TFS_FORMAT_FAIL, 0x85, 0x00, 0x00, 0x01, 0x02}));
  ExpectDownloaded(phone_->FileSystem());

  // The next format succeeds and empties it.
  ASSERT_TRUE(pc_->Write({TFS_FORMAT}));
  EXPECT_EQ(pc_->ReadByte(), TFS_FORMAT_OK);
  EXPECT_TRUE(phone_->FileSystem().files.empty());
  EXPECT_EQ(LastViolation(*phone_), "");
}

TEST_F(UsbFs, WrongEchoSumEndsTheSessionAsThePcDoes) {
  phone_->InjectFileSystemFault(*ParseFsFault("sum@chunk"));
  FsPc fs(*pc_, true);
  ASSERT_NO_FATAL_FAILURE(OpenDownload(fs));
  ASSERT_TRUE(fs.Command(TFS_MOUNT));
  ASSERT_EQ(fs.Reply(), TFS_MOUNT);
  phone_->ClearEvents();
  // Straight to a file as the Explorer may: the mounted file system takes it.
  const Bytes record = Cat({NameRecord("/x"), Be32(8192)});
  ASSERT_TRUE(fs.Send(TFS_ADD_FILE, record));
  ASSERT_EQ(fs.Reply(), Sum(record));
  const Bytes chunk = Pattern(8192, 1);
  ASSERT_TRUE(fs.Send(TFS_ADD_DATA, chunk));
  EXPECT_EQ(fs.Reply(), static_cast<std::uint8_t>(Sum(chunk) + 1));
  // The PC gives up on the mismatch; the phone reads its next operation in the idle form.
  ASSERT_TRUE(pc_->Write({FLASH_ID_QUERY}));
  EXPECT_EQ(pc_->Read(2), (Bytes{0xEC, 0xB1}));
  EXPECT_TRUE(HasEvent(phone_->Events(), EventKind::FaultInjected));
}

TEST_F(UsbFs, ChunksOfTheWrongLengthAreRefused) {
  struct Case {
    std::size_t sent;
    const char* says;
  };
  for (const Case& c : {Case{99, "shorter than 100 bytes"}, Case{101, "longer than 100 bytes"}}) {
    SCOPED_TRACE(c.sent);
    StartPhone(TestOptions(LinkDialect::Usb));
    FsPc fs(*pc_, true);
    ASSERT_NO_FATAL_FAILURE(OpenDownload(fs));
    ASSERT_TRUE(fs.Command(TFS_MOUNT));
    ASSERT_EQ(fs.Reply(), TFS_MOUNT);
    const Bytes record = Cat({NameRecord("/f"), Be32(100)});
    ASSERT_TRUE(fs.Send(TFS_ADD_FILE, record));
    ASSERT_EQ(fs.Reply(), Sum(record));
    ASSERT_TRUE(fs.Send(TFS_ADD_DATA, Pattern(c.sent, 3)));
    EXPECT_TRUE(pc_->Quiet(800ms));  // no TFS_FILE_WRITTEN
    EXPECT_TRUE(phone_->WaitForState(PhoneState::Halted, 2s));
    EXPECT_EQ(LastViolation(*phone_), std::string("chunk of /f at 0 ") + c.says);
    EXPECT_EQ(phone_->FileSystem().files.count("/f"), 0u);
  }
}

TEST_F(UsbFs, CommandsOutOfOrderAreRefused) {
  FsPc fs(*pc_, true);
  ASSERT_NO_FATAL_FAILURE(OpenDownload(fs));
  ASSERT_TRUE(fs.Command(TFS_MOUNT));
  ASSERT_EQ(fs.Reply(), TFS_MOUNT);
  // The time record before the checksum command.
  ASSERT_TRUE(fs.Send(TFS_SET_TIME, TimeRecord()));
  EXPECT_TRUE(phone_->WaitForState(PhoneState::Halted, 2s));
  EXPECT_EQ(LastViolation(*phone_), "TFS_SET_TIME out of order (file system mounted)");
}

TEST_F(UsbFs, NameLengthBeyondThePhonesBufferIsRefused) {
  FsPc fs(*pc_, true);
  ASSERT_NO_FATAL_FAILURE(OpenDownload(fs));
  ASSERT_TRUE(fs.Command(TFS_MOUNT));
  ASSERT_EQ(fs.Reply(), TFS_MOUNT);
  ASSERT_TRUE(fs.Send(TFS_ADD_FILE, {0xFF, 0xFF}));
  EXPECT_TRUE(phone_->WaitForState(PhoneState::Halted, 2s));
  EXPECT_EQ(LastViolation(*phone_), "name record of 65535 bytes refused");
}

TEST_F(UsbFs, ExplorerListsReadsAndDeletes) {
  FsPc fs(*pc_, true);
  ASSERT_NO_FATAL_FAILURE(OpenDownload(fs));
  ASSERT_NO_FATAL_FAILURE(RunDownload(fs));

  // Explorer: TFS_OPERATION, then every byte bare.
  ASSERT_TRUE(pc_->Write(Cat({Padded(TFS_OPERATION), {TFS_MOUNT}})));
  ASSERT_EQ(pc_->ReadByte(), TFS_MOUNT);
  ASSERT_TRUE(pc_->Write({TFS_READ_DIR, 1, '/'}));
  std::vector<std::pair<std::uint8_t, std::string>> entries;
  for (;;) {
    auto n = pc_->ReadByte();
    ASSERT_TRUE(n);
    auto body = pc_->Read(std::size_t{*n} + 1);
    ASSERT_TRUE(body);
    ASSERT_EQ(body->back(), 0);
    entries.emplace_back((*body)[0], std::string(body->begin() + 1, body->end() - 1));
    ASSERT_TRUE(pc_->Write({(*body)[0]}));
    auto next = pc_->ReadByte();
    if (next == TFS_DIR_END) break;
    ASSERT_EQ(next, TFS_DIR_NEXT);
  }
  using E = std::pair<std::uint8_t, std::string>;
  EXPECT_EQ(entries, (std::vector<E>{{TFS_ENTRY_DIR, "."},
                                     {TFS_ENTRY_DIR, ".."},
                                     {TFS_ENTRY_DIR, "sys"},
                                     {TFS_ENTRY_FILE, "long.bin"}}));

  // Read a file back: its size, then chunks each followed by its sum.
  ASSERT_TRUE(pc_->Write(Cat({{TFS_READ_FILE}, NameRecord("/long.bin")})));
  EXPECT_EQ(pc_->Read(5), Cat({{TFS_FILE_SIZE}, Be32(8193)}));
  ASSERT_TRUE(pc_->Write({TFS_READ_DATA}));
  Bytes back;
  for (std::size_t n : {8192u, 1u}) {
    auto chunk = pc_->Read(n + 1);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->back(), Sum(std::span(*chunk).first(n)));
    back.insert(back.end(), chunk->begin(), chunk->end() - 1);
    ASSERT_TRUE(pc_->Write({TFS_DATA_ACK}));
  }
  EXPECT_EQ(back, Files()[2].bytes);

  // An empty file is the single TFS_EMPTY_FILE byte.
  ASSERT_TRUE(pc_->Write(Cat({{TFS_READ_FILE}, NameRecord("/sys/empty.txt")})));
  EXPECT_EQ(pc_->Read(5), Cat({{TFS_FILE_SIZE}, Be32(0)}));
  ASSERT_TRUE(pc_->Write({TFS_READ_DATA}));
  EXPECT_EQ(pc_->ReadByte(), TFS_EMPTY_FILE);
  ASSERT_TRUE(pc_->Write({TFS_DATA_ACK}));

  // Status carries the size and the time record's date.
  ASSERT_TRUE(pc_->Write(Cat({{TFS_FILE_STATUS}, NameRecord("/sys/page.bin")})));
  auto status = pc_->Read(1 + TFS_STATUS_SIZE);
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)[0], TFS_STATUS_DATA);
  EXPECT_EQ(GetBe32(*status, 1 + 12), 8192u);
  EXPECT_EQ(GetBe32(*status, 1 + 20) >> 25, 2009u - 1980u);

  // Delete, a second delete is refused, and the unmount ends the session.
  ASSERT_TRUE(pc_->Write(Cat({{TFS_DELETE_FILE}, NameRecord("/long.bin")})));
  EXPECT_EQ(pc_->ReadByte(), TFS_DELETE_FILE);
  ASSERT_TRUE(pc_->Write(Cat({{TFS_DELETE_FILE}, NameRecord("/long.bin")})));
  EXPECT_EQ(pc_->ReadByte(), TFS_REFUSED);
  ASSERT_TRUE(pc_->Write({TFS_UNMOUNT}));
  EXPECT_EQ(pc_->ReadByte(), TFS_UNMOUNT);
  EXPECT_EQ(phone_->FileSystem().files.count("/long.bin"), 0u);
  EXPECT_EQ(LastViolation(*phone_), "");
}

TEST_F(UsbFs, ExplorerOnAFreshPhoneIsRefusedAndItsExitUnderstood) {
  // Nothing formatted yet: the mount is refused, the EXIT's unmount still gets its byte.
  ASSERT_TRUE(pc_->Write(Cat({Padded(TFS_OPERATION), {TFS_MOUNT}})));
  EXPECT_EQ(pc_->ReadByte(), TFS_REFUSED);
  ASSERT_TRUE(pc_->Write({TFS_UNMOUNT}));
  EXPECT_EQ(pc_->ReadByte(), TFS_REFUSED);
  // A later Explorer whose EXIT opens the port and sends the bare unmount alone.
  ASSERT_TRUE(pc_->Write({TFS_UNMOUNT}));
  EXPECT_EQ(pc_->ReadByte(), TFS_REFUSED);
  ASSERT_TRUE(pc_->Write({FLASH_ID_QUERY}));
  EXPECT_EQ(pc_->Read(2), (Bytes{0xEC, 0xB1}));
  EXPECT_EQ(LastViolation(*phone_), "");
}

class FsStore : public UsbFs {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vphone-fs-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    pc_.reset();
    phone_.reset();
    std::filesystem::remove_all(dir_);
  }
  PhoneOptions WithFlashFile() {
    PhoneOptions options = TestOptions(LinkDialect::Usb);
    options.flashFile = (dir_ / "flash.bin").string();
    return options;
  }
  std::filesystem::path dir_;
};

TEST_F(FsStore, FileSystemSurvivesARestartInASideFileOrTheFlashFile) {
  for (const bool inFlash : {false, true}) {
    SCOPED_TRACE(inFlash ? "flash file" : "side file");
    const PhoneOptions options = inFlash ? WithFlashFile() : TestOptions(LinkDialect::Usb);
    const std::string side = inFlash ? "" : (dir_ / "fs.tfs").string();
    ASSERT_NO_FATAL_FAILURE(StartPhone(options, side));
    {
      FsPc fs(*pc_, true);
      ASSERT_NO_FATAL_FAILURE(OpenDownload(fs));
      ASSERT_NO_FATAL_FAILURE(RunDownload(fs));
    }
    const TfsContents before = phone_->FileSystem();
    ASSERT_NO_FATAL_FAILURE(StartPhone(options, side));
    EXPECT_EQ(phone_->FileSystem(), before);
    ExpectDownloaded(phone_->FileSystem());
  }

  // Erasing the flash takes the file system kept in it along: the mount is refused.
  ASSERT_TRUE(pc_->Write(Padded(NAND_ERASE)));
  ASSERT_EQ(pc_->ReadByte(), ERASE_DONE);
  ASSERT_TRUE(pc_->Write(Cat({Padded(TFS_OPERATION), {TFS_MOUNT}})));
  EXPECT_EQ(pc_->ReadByte(), TFS_REFUSED);
  EXPECT_FALSE(phone_->FileSystem().formatted);
}

TEST(TfsStore, DamagedCopiesAreNotTakenForAFileSystem) {
  TfsContents c;
  c.formatted = true;
  c.directories = {"/", "/a"};
  c.files["/a/f"].bytes = Pattern(300, 2);
  const Bytes stored = EncodeTfs(c);
  ASSERT_EQ(DecodeTfs(stored), c);
  EXPECT_EQ(stored.size(), StoredSize(c));
  // Cut anywhere, or one bit flipped: never a file system, never a read past the end.
  for (std::size_t cut : {std::size_t{0}, std::size_t{10}, stored.size() / 2, stored.size() - 1}) {
    EXPECT_FALSE(DecodeTfs(std::span(stored).first(cut))) << cut;
  }
  Bytes flipped = stored;
  flipped[stored.size() - 5] ^= 0x10;
  EXPECT_FALSE(DecodeTfs(flipped));
  EXPECT_FALSE(DecodeTfs(Bytes(4096, 0xFF)));  // erased flash
}

TEST(TfsExport, WritesFilesAndRecordsButNothingOutsideItsFolder) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("vphone-export-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  TfsContents c;
  c.formatted = true;
  c.directories = {"/", "/a", "/a/empty"};
  c.files["/a/f.bin"].bytes = Pattern(9000, 4);
  c.files["/../escaped"].bytes = {1};
  c.files["/a/../../escaped"].bytes = {2};
  c.version.emplace();
  c.version->fill('v');
  c.time = TfsTime{58, 59, 23, 31, 12, 2009};
  std::size_t skipped = 0;
  ASSERT_EQ(ExportTfs(c, (dir / "out").string(), &skipped), 0);
  EXPECT_EQ(skipped, 2u);
  EXPECT_FALSE(std::filesystem::exists(dir / "escaped"));
  EXPECT_FALSE(std::filesystem::exists(dir / "out" / "escaped"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "out" / "files" / "a" / "empty"));
  auto read = [](const std::filesystem::path& p) {
    std::FILE* f = std::fopen(p.c_str(), "rb");
    Bytes bytes;
    if (f == nullptr) return bytes;
    for (int ch; (ch = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<std::uint8_t>(ch));
    std::fclose(f);
    return bytes;
  };
  EXPECT_EQ(read(dir / "out" / "files" / "a" / "f.bin"), c.files["/a/f.bin"].bytes);
  EXPECT_EQ(read(dir / "out" / "version"), Bytes(16, 'v'));
  EXPECT_EQ(read(dir / "out" / "time"), Text("2009-12-31 23:59:58\n"));
  EXPECT_FALSE(std::filesystem::exists(dir / "out" / "release"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace veska::sim::test
