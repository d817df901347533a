#include "dump/DumpButton.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "app/FlashMap.h"
#include "app/Printf.h"
#include "dump/NandDumpDlg.h"
#include "dump/ReadBackVerify.h"
#include "link/BlockSum.h"
#include "link/PtyPair.h"
#include "target/TargetFixture.h"

namespace veska::dump {
namespace {

using app::OperationId;
using app::OperationResult;
using app::Outcome;
using sim::EventKind;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 + seed + i / 251);
  return data;
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class NandDumpTest : public target::testing::TargetFixture {
 protected:
  // The dialog on `device`, with START and NAND Dump wired.
  void Open(const std::string& device, bool usb) {
    OpenDialog(device, usb);
    app::DlgOperations operations;
    target::AddOperations(operations);
    AddOperations(operations);
    dlg_->SetOperations(operations);
  }
  // As START leaves the record on a raw line: the chosen port, a loader at the user's rate.
  void AsIfConnected(bool usb) {
    dlg_->port.portName = "COM1";
    dlg_->port.baudCode = 0x8B;
    state_.link.linkMode = usb ? link::LINK_USB : link::LINK_UART;
    dlg_->EnterConnectedState();
  }
  void ConnectToPhone(sim::PhoneOptions options, bool usb = false) {
    options.link = usb ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    options.usbAppearDelay = 0ms;
    StartPhone(options);
    Open(phone_->SlavePath(), usb);
    PressStart();
    ASSERT_TRUE(Connected()) << Log();
    WaitForConnectionRecorded(usb);
    phone_->ClearEvents();
  }
  // The user's answers to the next dump: the area button, then the save dialog.
  void Answer(int button, std::optional<std::filesystem::path> file) {
    host_.QueueModalScript([button](ui::HeadlessWindow& w) {
      w.Click(button);
      w.Click(ui::IDOK);
      return w.Ended() ? w.Result() : ui::IDCANCEL;
    });
    host_.QueueFileDialogAnswer(file ? std::optional(file->string()) : std::nullopt);
  }
  // Presses NAND Dump; `phone` plays the phone on a raw line while the worker runs.
  OperationResult PressDump(const std::function<void()>& phone = {}) {
    logFrom_ = host_.EventJournal().Events().size();
    EXPECT_TRUE(window_->Click(app::IDC_NAND_DUMP));
    if (phone) phone();
    dlg_->Runner().Join();
    return *dlg_->Runner().LastResult();
  }
  static OperationResult Failed(int status, app::Cause cause = {}) {
    return OperationResult::Ended(OperationId::NandDump, Outcome::Failed, status, {}, cause);
  }
  // The phone fell silent before the first chunk had come whole.
  static OperationResult SilentChunk() {
    return Failed(link::PORT_TIMEOUT, app::Cause::NoReplyTo("a chunk of the dump", 0ms));
  }
  std::vector<sim::Event> PhoneEvents(EventKind kind) const {
    std::vector<sim::Event> found;
    for (const sim::Event& e : phone_->Events()) {
      if (e.kind == kind) found.push_back(e);
    }
    return found;
  }
  std::size_t FileDialogsShown() const {
    std::size_t count = 0;
    for (const ui::Event& e : host_.EventJournal().Events()) {
      if (e.kind == ui::EventKind::FileDialog) ++count;
    }
    return count;
  }
  ui::ProgressState Progress() const { return window_->GetProgress(app::IDC_PROGRESS); }
  // The furthest the progress bar got in this dump (the connected state sets it back to 0).
  std::int64_t FurthestProgress() const {
    std::int64_t furthest = 0;
    const auto events = host_.EventJournal().Events();
    for (std::size_t i = logFrom_; i < events.size(); ++i) {
      if (events[i].kind == ui::EventKind::SetPos && events[i].id == app::IDC_PROGRESS) {
        furthest = std::max(furthest, events[i].a);
      }
    }
    return furthest;
  }
  // The phone records a chunk's answer just after the PC sent it, so the PC may be done first.
  void WaitForDumpRecorded(EventKind last) {
    ASSERT_TRUE(phone_->WaitFor(
        [last](const std::vector<sim::Event>& events) { return sim::HasEvent(events, last); }, 5s));
  }

  static constexpr std::string_view kHeading =
      "\n\n  * NAND dump\n     Dumping Nand Flash area..\t\t\t> > > ";
  PtyPair pty_;
};

TEST_F(NandDumpTest, TheRequestOfAppsCarriesEachLinksByteOrder) {
  const auto file = folder_ / "apps.hex";
  Open(pty_.SlavePath(), false);
  AsIfConnected(false);
  dlg_->port.readTotalTimeout = 0ms;  // the line stays silent: no need to wait for it
  Answer(app::IDC_DUMP_APPS, file);
  Bytes uart;
  EXPECT_EQ(PressDump([&] { uart = pty_.Receive(11, 300ms); }), SilentChunk());
  EXPECT_EQ(uart, (Bytes{0xC0, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x03, 0xC0, 0x00, 0x00}));
  EXPECT_EQ(Log(), std::string(kHeading) + "Receive Dump data fail!\n");
  EXPECT_EQ(Progress().upper, 0x3C00000);
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
  EXPECT_TRUE(Connected());
  EXPECT_FALSE(state_.link.portOpen);

  // The save dialog: ".hex" files, with the overwrite question.
  bool asked = false;
  for (const ui::Event& e : host_.EventJournal().Events()) {
    if (e.kind != ui::EventKind::FileDialog) continue;
    asked = true;
    EXPECT_EQ(e.text, "Save File (*.hex)|*.hex|All Files (*.*)|*.*||");
    EXPECT_EQ(e.a, ui::OFN_HIDEREADONLY | ui::OFN_OVERWRITEPROMPT);
  }
  EXPECT_TRUE(asked);

  // USB: the file-system session opener first, then the same request little-endian.
  Open(pty_.SlavePath(), true);
  AsIfConnected(true);
  dlg_->port.readTotalTimeout = 0ms;
  Answer(app::IDC_DUMP_APPS, file);
  Bytes usb;
  EXPECT_EQ(PressDump([&] { usb = pty_.Receive(27, 300ms); }), SilentChunk());
  Bytes expected(16, 0x00);
  expected[0] = 0xCE;
  expected.insert(expected.end(), {0xC0, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0xC0, 0x03});
  EXPECT_EQ(usb, expected);
}

// A whole area on each link lands in the file as the flash holds it, asked for once and
// received in 2048-byte chunks each acknowledged, with the success line and the notice.
TEST_F(NandDumpTest, AWholeAreaLandsInTheFileOnEachLink) {
  const app::DumpArea& boot1b = *NandDumpDlg::AreaOfButton(app::IDC_DUMP_BOOT1B);
  const struct {
    bool usb;
    int button;
    std::uint32_t from;
    std::uint32_t length;
    std::uint8_t kind;
  } cases[] = {
      {false, app::IDC_DUMP_NANDPREBOOT, 0, 4096, 0},  // two chunks
      {true, app::IDC_DUMP_BOOT1B, boot1b.from, boot1b.to - boot1b.from, boot1b.kind},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.usb ? "USB" : "UART");
    ConnectToPhone({}, c.usb);
    const Bytes flash = Pattern(c.length, c.usb ? 11 : 3);
    ASSERT_TRUE(phone_->Nand().WriteData(c.from, flash));
    const auto file = folder_ / (c.usb ? "boot1b.hex" : "preboot.hex");
    Answer(c.button, file);
    EXPECT_EQ(PressDump(), OperationResult::Ended(OperationId::NandDump, Outcome::Written))
        << Log();

    EXPECT_EQ(ReadFile(file), flash);
    WaitForDumpRecorded(EventKind::DumpDone);
    const auto request = PhoneEvents(EventKind::DumpRequest);
    ASSERT_EQ(request.size(), 1u);
    EXPECT_EQ(request[0].code, c.kind);
    EXPECT_EQ(request[0].address, c.from);
    EXPECT_EQ(request[0].length, c.length);
    const auto chunks = PhoneEvents(EventKind::DumpChunk);
    EXPECT_EQ(chunks.size(), c.length / 2048);
    for (const sim::Event& chunk : chunks) {
      EXPECT_EQ(chunk.length, 2048u);
      EXPECT_EQ(chunk.code, DUMP_ACK);
    }
    EXPECT_TRUE(PhoneEvents(EventKind::Violation).empty());
    EXPECT_TRUE(Log().starts_with(std::string(kHeading) + "Dump Success!!\n     ( Elapsed Time : "))
        << Log();
    EXPECT_TRUE(Log().ends_with("s)\n")) << Log();
    EXPECT_EQ(FurthestProgress(), c.length);
    EXPECT_EQ(MessageBoxes().back(), "Dump Finished");
    EXPECT_TRUE(Connected());
  }
  EXPECT_EQ(MessageBoxes().size(), 2u);
  for (const ui::Event& e : host_.EventJournal().Events()) {
    if (e.kind == ui::EventKind::MessageBox) {
      EXPECT_EQ(e.caption, "  NOTICE  ");
    }
  }
}

TEST_F(NandDumpTest, CodeAreaAsksForPagesWithSpareBytes) {
  ConnectToPhone({});
  for (std::uint32_t page = 0; page < 3; ++page) {
    ASSERT_TRUE(phone_->Nand().WriteData(page * 2048, Pattern(2048, page)));
  }
  // The phone spoils the fourth page's sum, so the dump ends there: no test waits for 132 MiB.
  // An erased page with its spare bytes (2112 x 0xFF) sums to 0xC0.
  sim::Fault spoil;
  spoil.kind = sim::FaultKind::WrongByte;
  spoil.step = sim::FaultStep::DumpChunk;
  spoil.block = 3;
  spoil.value = 0x00;
  phone_->InjectFault(spoil);
  const auto file = folder_ / "code.hex";
  Answer(app::IDC_DUMP_CODE_NAND1G, file);
  EXPECT_EQ(PressDump(), Failed(DUMP_SUM_MISMATCH));

  const auto request = PhoneEvents(EventKind::DumpRequest);
  ASSERT_EQ(request.size(), 1u);
  EXPECT_EQ(request[0].code, app::DUMP_PAGES_NAND1G);
  EXPECT_EQ(request[0].length, 138'412'032u);
  EXPECT_EQ(Progress().upper, 138'412'032);
  EXPECT_EQ(FurthestProgress(), 3 * 2112);
  // Each chunk is a whole page: its data and then its spare bytes.
  Bytes expected;
  for (std::uint32_t page = 0; page < 3; ++page) {
    std::array<std::uint8_t, 2112> bytes{};
    ASSERT_TRUE(phone_->Nand().ReadPage(page, bytes));
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(ReadFile(file), expected);
  EXPECT_TRUE(Log().starts_with(std::string(kHeading) + "checksum is c0, ch is 0 Dump fail!\n"))
      << Log();
  EXPECT_TRUE(Connected());
}

TEST_F(NandDumpTest, ASumMismatchEndsTheDumpWithTheEarlierChunksKept) {
  Open(pty_.SlavePath(), false);
  AsIfConnected(false);
  const auto file = folder_ / "mismatch.hex";
  const Bytes first = Pattern(2048, 5);
  Bytes answers;
  Answer(app::IDC_DUMP_NANDPREBOOT, file);
  const OperationResult result = PressDump([&] {
    ASSERT_EQ(pty_.Receive(10, 300ms).size(), 10u);
    Bytes chunk = first;
    chunk.push_back(link::blockSum(first));
    pty_.Send(chunk);
    answers = pty_.Receive(1, 300ms);
    Bytes zeros(2048, 0x00);
    zeros.push_back(0x5A);  // the sum of 2048 zeros is 0
    pty_.Send(zeros);
    const Bytes last = pty_.Receive(1, 300ms);
    answers.insert(answers.end(), last.begin(), last.end());
  });
  EXPECT_EQ(result, Failed(DUMP_SUM_MISMATCH));
  EXPECT_EQ(answers, (Bytes{DUMP_ACK, DUMP_NAK}));
  // The computed sum first, then the one the phone sent.
  EXPECT_TRUE(Log().starts_with(std::string(kHeading) +
                                "checksum is 0, ch is 5a Dump fail!\n     ( Elapsed Time : "))
      << Log();
  EXPECT_EQ(ReadFile(file), first);
  EXPECT_TRUE(MessageBoxes().empty());
  EXPECT_TRUE(Connected());
}

TEST_F(NandDumpTest, ARequestThatCannotBeWrittenIsLoggedAndLeavesTheFileEmpty) {
  Open(pty_.SlavePath(), false);
  AsIfConnected(false);
  // Nobody reads the line and its buffer is full: the request cannot leave until Disconnect
  // closes the port under the waiting worker.
  const int filler = ::open(pty_.SlavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(filler, 0);
  // The kernel moves bytes between its buffers for a while: full means no room appears for a
  // while after the last refused write.
  const Bytes block(4096, 0x55);
  for (int quiet = 0; quiet < 3;) {
    while (::write(filler, block.data(), block.size()) > 0) {
    }
    pollfd room{filler, POLLOUT, 0};
    quiet = ::poll(&room, 1, 20) == 0 ? quiet + 1 : 0;
  }
  const auto file = folder_ / "apps.hex";
  Answer(app::IDC_DUMP_APPS, file);
  logFrom_ = host_.EventJournal().Events().size();
  ASSERT_TRUE(window_->Click(app::IDC_NAND_DUMP));
  ASSERT_TRUE(WaitForLog(kHeading, 5s));
  window_->Click(app::IDC_DISCONNECT);
  dlg_->Runner().Join();
  ::close(filler);
  EXPECT_EQ(Log(), std::string(kHeading) + "Send dump request fail!\n");
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
  EXPECT_EQ(dlg_->Runner().LastResult()->outcome, Outcome::Cancelled);
}

TEST_F(NandDumpTest, CancelledDialogsAndAFileThatCannotBeMadeSendNothing) {
  Open(pty_.SlavePath(), false);
  AsIfConnected(false);
  // The area dialog cancelled: no save dialog either.
  host_.QueueModalScript([](ui::HeadlessWindow&) { return ui::IDCANCEL; });
  EXPECT_EQ(PressDump(), OperationResult::Ended(OperationId::NandDump, Outcome::Refused, 0,
                                                "area dialog cancelled"));
  EXPECT_EQ(FileDialogsShown(), 0u);
  EXPECT_TRUE(Connected());

  // The very first dump without an area: OK is not offered, and even a dialog ended with OK
  // asks the phone for nothing.
  host_.QueueModalScript([](ui::HeadlessWindow& w) {
    EXPECT_FALSE(w.Click(ui::IDOK));
    return ui::IDOK;
  });
  EXPECT_EQ(PressDump().outcome, Outcome::Refused);
  EXPECT_EQ(FileDialogsShown(), 0u);

  Answer(app::IDC_DUMP_APPS, std::nullopt);
  EXPECT_EQ(PressDump(),
            OperationResult::Ended(OperationId::NandDump, Outcome::Refused, 0, "No file selected"));
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{"No file selected"});
  EXPECT_TRUE(Connected());

  // Only a regular file or a new one takes a dump: a FIFO (with or without a reader) would
  // hang the dump or send the data elsewhere, a device or a folder is no file.
  const auto fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto readFifo = folder_ / "read-fifo";
  ASSERT_EQ(::mkfifo(readFifo.c_str(), 0600), 0);
  const int reader = ::open(readFifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  for (const std::filesystem::path& path : {folder_ / "no-such-folder" / "apps.hex", fifo, readFifo,
                                            std::filesystem::path("/dev/full"), folder_}) {
    Answer(app::IDC_DUMP_APPS, path);
    const OperationResult result = PressDump();
    EXPECT_EQ(result.outcome, Outcome::Failed) << path;
    EXPECT_EQ(result.status, DUMP_FILE_NOT_CREATED) << path;
    EXPECT_EQ(MessageBoxes().back(), "Internal Error! (file creation)");
    EXPECT_TRUE(Connected());
  }
  ::close(reader);

  EXPECT_TRUE(pty_.Receive(1, 50ms).empty());
  EXPECT_EQ(Log(), "");
}

}  // namespace
}  // namespace veska::dump

namespace veska::dump {
namespace {

// The read-back on the USB link: the request in its little-endian form after TFS_OPERATION, the
// image's length in whole pages, the bytes past the file's end not compared, the file systems
// not read back, and the first differing byte named by its flash address, in the log and a box.
class ReadBackTest : public NandDumpTest {};

TEST_F(ReadBackTest, ComparesTheFileWithTheFlashUpToItsLastByte) {
  ConnectToPhone({}, /*usb=*/true);
  const Bytes image = Pattern(5000, 3);
  const std::filesystem::path file = folder_ / "apps.img";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
  ASSERT_TRUE(phone_->Nand().WriteData(0x00C00000, image));
  const std::uint8_t tail = 0x11;  // past the file's end: the page's rest is not the file's
  ASSERT_TRUE(phone_->Nand().WriteData(0x00C00000 + 5000, std::span(&tail, 1)));
  const ImageToVerify written[] = {{app::ImageKind::Apps, file.string(), 5000},
                                   {app::ImageKind::Tfs, file.string(), 5000}};

  logFrom_ = host_.EventJournal().Events().size();
  EXPECT_EQ(VerifyWritten(dlg_->Engine(), written), VERIFY_OK);
  EXPECT_EQ(Log(), "\n      Verify APPS\t\t\t\t> > > OK\n");
  EXPECT_TRUE(MessageBoxes().empty());
  const auto requests = PhoneEvents(EventKind::DumpRequest);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].code, 0);
  EXPECT_EQ(requests[0].address, 0x00C00000u);
  EXPECT_EQ(requests[0].length, 3u * 2048);

  const std::uint8_t damaged = image[4999] ^ 0x01;
  ASSERT_TRUE(phone_->Nand().WriteData(0x00C00000 + 4999, std::span(&damaged, 1)));
  logFrom_ = host_.EventJournal().Events().size();
  EXPECT_EQ(VerifyWritten(dlg_->Engine(), written), VERIFY_MISMATCH);
  EXPECT_EQ(Log(), app::Printf("\n      Verify APPS\t\t\t\t> > > Failed at 0x00C01387: file "
                               "0x%02X, flash 0x%02X\n",
                               image[4999], damaged));
  // The line scrolls away; the box stays until the user has seen it.
  EXPECT_EQ(MessageBoxes(), std::vector<std::string>{app::Printf(
                                "Verify APPS Failed at 0x00C01387: file 0x%02X, flash 0x%02X",
                                image[4999], damaged)});
  for (const sim::Event& e : phone_->Events()) EXPECT_NE(e.kind, EventKind::Violation) << e.detail;
}

}  // namespace
}  // namespace veska::dump
