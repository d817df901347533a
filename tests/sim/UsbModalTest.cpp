// The USB dialect is modal: the same first byte means a bare command, a ShortFrame or a
// 16-byte command depending on the phone's state. These cases pin that table down.

#include <gtest/gtest.h>

#include <mutex>

#include "PhonePeer.h"
#include "sim/FileSystemService.h"

namespace veska::sim::test {
namespace {

// Records how each file-system command reached it and answers with the code echoed; TFS_UNMOUNT
// and a lone TFS_FORMAT outside a session end the session.
class EchoService : public FileSystemService {
 public:
  FsOutcome Serve(FsEntry entry, std::uint8_t code, FsContext& context) override {
    {
      std::lock_guard lock(mutex_);
      seen_.emplace_back(entry, code);
    }
    if (context.line.Write(std::span(&code, 1), 500ms) != IoResult::Ok) {
      return FsOutcome::PeerSilent;
    }
    const bool ends = code == 0xE4 || entry == FsEntry::UsbBareFormat || entry == FsEntry::Uart;
    return ends ? FsOutcome::SessionEnded : FsOutcome::Continue;
  }
  std::vector<std::pair<FsEntry, std::uint8_t>> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<FsEntry, std::uint8_t>> seen_;
};

class UsbModalOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    phone_ = std::make_unique<VirtualPhone>(TestOptions(LinkDialect::Usb));
    phone_->SetFileSystemService(service_);
    ASSERT_EQ(phone_->Start(), 0);
    pc_ = std::make_unique<PhonePeer>(phone_->SlavePath());
    ASSERT_TRUE(pc_->Write({USB_START}));
    ASSERT_EQ(pc_->ReadByte(), USB_START);
  }

  std::shared_ptr<EchoService> service_ = std::make_shared<EchoService>();
  std::unique_ptr<VirtualPhone> phone_;
  std::unique_ptr<PhonePeer> pc_;
};

TEST_F(UsbModalOpen, FormatIsBareWithoutTfsOperationAndAFrameAfterIt) {
  // The Format button: a bare 0xE0, nothing before it.
  ASSERT_TRUE(pc_->Write({TFS_FORMAT}));
  EXPECT_EQ(pc_->ReadByte(), TFS_FORMAT);
  // The file-system download: TFS_OPERATION, then every command as a ShortFrame.
  ASSERT_TRUE(pc_->Write(Cat({Padded(TFS_OPERATION), ShortFrame(TFS_FORMAT)})));
  EXPECT_EQ(pc_->ReadByte(), TFS_FORMAT);
  ASSERT_TRUE(pc_->Write(ShortFrame(TFS_MOUNT)));
  EXPECT_EQ(pc_->ReadByte(), TFS_MOUNT);
  ASSERT_TRUE(pc_->Write(ShortFrame(0xE4)));
  EXPECT_EQ(pc_->ReadByte(), 0xE4);
  // Session over: a bare command is understood again.
  ASSERT_TRUE(pc_->Write({FLASH_ID_QUERY}));
  EXPECT_EQ(pc_->Read(2), (Bytes{0xEC, 0xB1}));

  using S = std::pair<FsEntry, std::uint8_t>;
  EXPECT_EQ(service_->Seen(), (std::vector<S>{{FsEntry::UsbBareFormat, TFS_FORMAT},
                                              {FsEntry::UsbDownload, TFS_FORMAT},
                                              {FsEntry::UsbDownload, TFS_MOUNT},
                                              {FsEntry::UsbDownload, 0xE4}}));
  EXPECT_EQ(LastViolation(*phone_), "");
}

TEST_F(UsbModalOpen, ExplorerSessionIsBareAndEndsAtANewTfsOperation) {
  ASSERT_TRUE(pc_->Write(Cat({Padded(TFS_OPERATION), {TFS_MOUNT}})));
  EXPECT_EQ(pc_->ReadByte(), TFS_MOUNT);
  ASSERT_TRUE(pc_->Write({0xE5}));
  EXPECT_EQ(pc_->ReadByte(), 0xE5);
  // A dump after a new TFS_OPERATION: the bare 0xC0 opens it, not the Explorer.
  ASSERT_TRUE(
      pc_->Write(Cat({Padded(TFS_OPERATION), {DUMP_START, DUMP_KIND_DATA}, Le32(0), Le32(4)})));
  auto chunk = pc_->Read(5);
  ASSERT_TRUE(chunk);
  EXPECT_EQ(*chunk, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
  ASSERT_TRUE(pc_->Write(ShortFrame(DUMP_ACK)));
  EXPECT_TRUE(phone_->WaitFor([](auto& ev) { return HasEvent(ev, EventKind::DumpDone); }, 2s));
  EXPECT_EQ(service_->Seen().size(), 2u);
  EXPECT_EQ(LastViolation(*phone_), "");
}

TEST_F(UsbModalOpen, RebootIsAShortFrameAndBringsBackTheBootRom) {
  ASSERT_TRUE(pc_->Write(ShortFrame(REBOOT_REQUEST)));
  ASSERT_TRUE(phone_->WaitFor([](auto& ev) { return HasEvent(ev, EventKind::Reboot); }, 2s));
  ASSERT_TRUE(phone_->WaitForState(PhoneState::BootRom, 2s));
  ASSERT_TRUE(pc_->Write({USB_START}));
  EXPECT_EQ(pc_->ReadByte(), USB_START);
  EXPECT_EQ(LastViolation(*phone_), "");
}

// A byte outside the table hangs the loader, which then answers nothing until it is powered off.
TEST_F(UsbModalOpen, ByteOutsideTheTableHaltsUntilPoweredOff) {
  const std::pair<Bytes, std::string> cases[] = {
      // A bare 0xC0 is a dump only right after TFS_OPERATION.
      {{DUMP_START}, "unexpected byte 0xC0 in state USB command"},
      {Cat({{IMAGE_REQUEST, 0x01, 0, 0, 0, 0, 0, 0}, Le32(0), Le32(16)}),
       "unexpected byte 0x01 in state RequestFrame padding"},
      {Cat({Padded(TFS_OPERATION), {NAND_ERASE}}),
       "unexpected byte 0xB1 in state after TFS_OPERATION"},
  };
  for (const auto& [bytes, violation] : cases) {
    ASSERT_TRUE(pc_->Write(bytes));
    ASSERT_TRUE(phone_->WaitForState(PhoneState::Halted, 2s)) << violation;
    EXPECT_EQ(LastViolation(*phone_), violation);
    ASSERT_TRUE(pc_->Write({FLASH_ID_QUERY}));
    EXPECT_TRUE(pc_->Quiet(200ms));

    phone_->PowerOn();
    ASSERT_TRUE(phone_->WaitForState(PhoneState::BootRom, 2s));
    ASSERT_TRUE(pc_->Write({USB_START}));
    EXPECT_EQ(pc_->ReadByte(), USB_START);
  }
}

}  // namespace
}  // namespace veska::sim::test
