#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/ControlIds.h"
#include "app/Printf.h"
#include "app/ProcessState.h"
#include "app/Templates.h"
#include "explorer/TfsExplorerDlg.h"
#include "link/PtyPair.h"
#include "ui/HeadlessHost.h"

namespace veska::explorer {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Outcome = TfsExplorerDlg::ActionOutcome;

constexpr int kTree = app::IDC_EXPLORER_TREE;
constexpr int kText = app::IDC_EXPLORER_TEXT;
constexpr int kList = app::IDC_EXPLORER_FILES;
constexpr int kProgress = app::IDC_EXPLORER_PROGRESS;

std::uint8_t Sum(const Bytes& bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(sum);
}

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 13 + seed);
  return data;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Text(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// A name request as the phone reads it: code, length (big-endian, counting the zero), name, 0.
Bytes NameRequest(std::uint8_t code, std::string_view path) {
  const std::size_t n = path.size() + 1;
  return Concat(
      {{code, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)}, Text(path), {0}});
}

// The Explorer on a pseudo-terminal whose master side the test plays as the phone. The
// exchanges run on the dialog's worker, so the test thread answers them byte for byte.
class ExplorerEngineTest : public ::testing::Test {
 protected:
  ExplorerEngineTest() {
    folder_ = std::filesystem::temp_directory_path() /
              ("veska-explorer-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
    state_.sharedPort = std::make_unique<link::SerialPort>(state_.link);
    link::SerialPort& port = *state_.sharedPort;
    port.portName = pty_.SlavePath();
    port.baudCode = 0x8B;
    port.readTotalTimeout = 50ms;
    port.openRetryDelay = 1ms;
    state_.link.replyTimeout = 400ms;
    state_.link.linkMode = link::LINK_UART;
  }
  ~ExplorerEngineTest() override {
    explorer_.reset();
    window_.reset();
    std::filesystem::remove_all(folder_);
  }

  void Open() {
    explorer_ = std::make_unique<TfsExplorerDlg>(host_, state_, "UTF-8");
    window_ = host_.Create(app::kTfsExplorerTemplate, *explorer_);
  }

  void Expect(const Bytes& bytes) { EXPECT_EQ(pty_.Receive(bytes.size(), 2s), bytes); }
  void ExpectNothing() { EXPECT_EQ(pty_.Receive(1, 150ms), Bytes{}); }
  void Phone(const Bytes& bytes) { pty_.Send(bytes); }

  struct Entry {
    std::uint8_t type;
    std::string name;
  };
  // The phone's side of a listing: each entry, its echo awaited, then next or end.
  void ServeListing(const std::vector<Entry>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      Phone(Concat({{static_cast<std::uint8_t>(e.name.size() + 1), e.type}, Text(e.name), {0}}));
      Expect({e.type});
      Phone({i + 1 < entries.size() ? TFS_DIR_NEXT : TFS_DIR_END});
    }
  }

  // Start, the mount and the root listing with `entries`.
  void Mount(const std::vector<Entry>& entries = {{2, "."}, {2, ".."}}) {
    ASSERT_TRUE(window_->Click(app::IDC_EXPLORER_START));
    Expect({0xDA});
    Phone({0xDA});
    Expect({0xE5, 0x01, '/'});
    ServeListing(entries);
    explorer_->WaitIdle();
    ASSERT_EQ(explorer_->LastOutcome(), Outcome::Confirmed) << Narrative();
  }

  std::string Narrative() const { return window_->GetText(kText); }
  std::vector<std::string> ListItems() const {
    std::vector<std::string> items;
    for (int i = 0; i < window_->GetCount(kList); ++i)
      items.push_back(window_->GetItemText(kList, i));
    return items;
  }
  std::vector<std::string> Children(ui::TreeItem parent) const {
    std::vector<std::string> names;
    for (ui::TreeItem item : window_->GetChildTreeItems(kTree, parent)) {
      names.push_back(window_->GetTreeItemText(kTree, item));
    }
    return names;
  }
  ui::TreeItem Child(ui::TreeItem parent, const std::string& name) const {
    for (ui::TreeItem item : window_->GetChildTreeItems(kTree, parent)) {
      if (window_->GetTreeItemText(kTree, item) == name) return item;
    }
    return ui::TREE_NONE;
  }
  // The user's right-click on the file list and their choice in the menu.
  void Choose(unsigned command) {
    window_->QueueMenuAnswer(command);
    window_->ContextMenu(kList);
  }
  void SelectFile(const std::string& name) {
    for (int i = 0; i < window_->GetCount(kList); ++i) {
      if (window_->GetItemText(kList, i) == name) {
        ASSERT_TRUE(window_->SelectItem(kList, i));
        return;
      }
    }
    FAIL() << "no " << name << " in the list";
  }
  std::filesystem::path WriteFile(const std::string& name, const Bytes& bytes) {
    const auto path = folder_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  PtyPair pty_;
  ui::HeadlessHost host_;
  app::ProcessState state_;
  std::filesystem::path folder_;
  std::unique_ptr<ui::HeadlessWindow> window_;
  std::unique_ptr<TfsExplorerDlg> explorer_;
};

// --- mount, listing and EXIT ---------------------------------------------------------------

TEST_F(ExplorerEngineTest, MountListsTheRootAndExitUnmountsOnUart) {
  Open();
  Mount({{2, "."}, {2, ".."}, {2, "sys"}, {1, "long name.txt"}, {2, "data"}, {1, "a"}, {7, "odd"}});
  EXPECT_EQ(Narrative(),
            "\r\n** Mounting TFS system... OK!\r\nSearching the files... \r\n"
            "long name.txt\r\na\r\nerror!\r\n\r\n Read directory OK!\r\n");
  // Files in arrival order, directories sorted under the root and never the dot names.
  EXPECT_EQ(ListItems(), (std::vector<std::string>{"long name.txt", "a"}));
  EXPECT_EQ(Children(explorer_->RootItem()), (std::vector<std::string>{"data", "sys"}));
  EXPECT_TRUE(window_->IsTreeItemExpanded(kTree, explorer_->RootItem()));
  EXPECT_EQ(window_->HorizontalExtent(kList), 13 * ui::HeadlessWindow::kCharWidth);
  EXPECT_TRUE(state_.mountSent && state_.mountSucceeded);

  Phone({0xE4});  // the unmount's answer, read with its own short wait
  window_->Click(ui::IDOK);
  Expect({0xE4});
  EXPECT_TRUE(window_->Ended());
  EXPECT_FALSE(state_.mountSent);
  EXPECT_TRUE(state_.mountSucceeded);
  EXPECT_FALSE(state_.sharedPort->HoldsDevice());
}

TEST_F(ExplorerEngineTest, OnUsbTheMountFollowsTheSessionOpenerAndEscapeUnmountsAsExit) {
  state_.link.linkMode = link::LINK_USB;
  Open();
  ASSERT_TRUE(window_->Click(app::IDC_EXPLORER_START));
  Bytes opener(16, 0);
  opener[0] = 0xCE;
  Expect(opener);
  Expect({0xDA});
  Phone({0xDA});
  Expect({0xE5, 0x01, '/'});
  ServeListing({{2, "."}});
  explorer_->WaitIdle();
  EXPECT_FALSE(window_->IsEnabled(app::IDC_EXPLORER_START));

  Phone({0xE4});
  window_->Click(ui::IDCANCEL);  // Escape: the hidden Cancel
  Expect({0xE4});
  EXPECT_TRUE(window_->Ended());
  EXPECT_FALSE(state_.mountSent);
}

TEST_F(ExplorerEngineTest, ARefusedMountSaysSoAndExitStillUnmounts) {
  Open();
  ASSERT_TRUE(window_->Click(app::IDC_EXPLORER_START));
  Expect({0xDA});
  Phone({0xEF});
  explorer_->WaitIdle();
  EXPECT_EQ(Narrative(), "\r\n** Mounting TFS system... Fail! (0xEF)\r\n");
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
  EXPECT_FALSE(state_.mountSucceeded);
  Phone({0xEF});
  window_->Click(ui::IDOK);
  Expect({0xE4});
  EXPECT_FALSE(state_.mountSent);
}

TEST_F(ExplorerEngineTest, SelectingDirectoriesUsesTheUtf8RequestAndAddsChildrenOnce) {
  Open();
  Mount({{2, "."}, {2, "sys"}});
  const ui::TreeItem sys = Child(explorer_->RootItem(), "sys");
  ASSERT_NE(sys, ui::TREE_NONE);
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(window_->ClickTreeItem(kTree, sys));
    Expect(Concat({{0xE5, 5}, Text("/sys"), {0}}));
    EXPECT_FALSE(window_->IsEnabled(kTree));
    ServeListing({{2, "."}, {2, ".."}, {2, "data"}, {1, "f.bin"}});
    explorer_->WaitIdle();
    EXPECT_EQ(Children(sys), std::vector<std::string>{"data"});
    EXPECT_EQ(ListItems(), std::vector<std::string>{"f.bin"});
    EXPECT_EQ(Narrative(),
              "\r\nSearching the files (in '/sys')... f.bin\r\n\r\n Read directory OK!\r\n");
    EXPECT_TRUE(window_->IsEnabled(kTree) && window_->IsEnabled(kList));
    ASSERT_TRUE(window_->ClickTreeItem(kTree, explorer_->RootItem()));
    // "/" chosen in the tree goes in the UTF-8 form, with its zero.
    Expect({0xE5, 0x02, '/', 0x00});
    ServeListing({{2, "sys"}});
    explorer_->WaitIdle();
  }
  const ui::TreeItem data = Child(sys, "data");
  ASSERT_TRUE(window_->ClickTreeItem(kTree, data));
  Expect(Concat({{0xE5, 10}, Text("/sys/data"), {0}}));
  ServeListing({{2, "."}});
  explorer_->WaitIdle();
  EXPECT_EQ(explorer_->SelectedPath(), "/sys/data");
}

TEST_F(ExplorerEngineTest, ListingErrorsEndTheListing) {
  Open();
  Mount();
  // 0xE6 as an entry's type: the entry is not acknowledged.
  ASSERT_TRUE(window_->ClickTreeItem(kTree, explorer_->RootItem()));
  Expect({0xE5, 0x02, '/', 0x00});
  Phone({0x00, 0xE6});
  explorer_->WaitIdle();
  ExpectNothing();
  EXPECT_TRUE(Narrative().ends_with("Read Dir ERR!!\n")) << Narrative();
  EXPECT_EQ(explorer_->State(), ExplorerState::Idle);
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);

  // An error in place of the continuation gives the tree back, not the list.
  window_->SelectTreeItem(kTree, ui::TREE_NONE);
  window_->Enable(kTree, true);
  ASSERT_TRUE(window_->ClickTreeItem(kTree, explorer_->RootItem()));
  Expect({0xE5, 0x02, '/', 0x00});
  Phone(Concat({{2, 1}, Text("a"), {0}}));
  Expect({1});
  Phone({0xE6});
  explorer_->WaitIdle();
  EXPECT_TRUE(Narrative().ends_with("a\r\nERROR in reading File name!\r\n")) << Narrative();
  EXPECT_TRUE(window_->IsEnabled(kTree));
  EXPECT_FALSE(window_->IsEnabled(kList));

  window_->SelectTreeItem(kTree, ui::TREE_NONE);
  ASSERT_TRUE(window_->ClickTreeItem(kTree, explorer_->RootItem()));
  Expect({0xE5, 0x02, '/', 0x00});
  Phone(Concat({{2, 1}, Text("a"), {0}}));
  Expect({1});
  Phone({0x42});
  explorer_->WaitIdle();
  EXPECT_TRUE(Narrative().ends_with("Unknown FILE name receive error!(42)\r\n")) << Narrative();
}

TEST_F(ExplorerEngineTest, NamesWithControlBytesAreShownEscapedAndSentAsTheyCame) {
  Open();
  Mount({{1, "\x1b[2J\x1b[31mred"},
         {1, "a\r\nb"},
         {1, std::string("a\0hidden", 8)},
         {1, ""},
         {2, "d\x07"},
         {1, "plain"}});
  EXPECT_EQ(ListItems(), (std::vector<std::string>{"\\x1B[2J\\x1B[31mred", "a\\r\\nb", "a\\0hidden",
                                                   "\"\"", "plain"}));
  EXPECT_EQ(Narrative(),
            "\r\n** Mounting TFS system... OK!\r\nSearching the files... \r\n"
            "\\x1B[2J\\x1B[31mred\r\na\\r\\nb\r\na\\0hidden\r\n\"\"\r\nplain\r\n"
            "\r\n Read directory OK!\r\n");
  EXPECT_EQ(Children(explorer_->RootItem()), std::vector<std::string>{"d\\x07"});

  // The requests carry the names as the phone gave them.
  SelectFile("a\\r\\nb");
  Choose(app::ID_EXPLORER_STATUS);
  Expect(NameRequest(0xF0, "/a\r\nb"));
  Phone({0xEF});
  explorer_->WaitIdle();
  EXPECT_NE(Narrative().find("Reading the file status '/a\\r\\nb'"), std::string::npos)
      << Narrative();
  ASSERT_TRUE(window_->ClickTreeItem(kTree, Child(explorer_->RootItem(), "d\\x07")));
  Expect(Concat({{0xE5, 4}, Text("/d\x07"), {0}}));
  ServeListing({{2, "."}});
  explorer_->WaitIdle();
  EXPECT_EQ(Narrative(), "\r\nSearching the files (in '/d\\x07')... \r\n Read directory OK!\r\n");
}

TEST_F(ExplorerEngineTest, AListingLongerThanTheFlashCanHoldIsStopped) {
  Open();
  Mount();
  // Entries of 12 bytes on the line: "name" + 4 digits, its type, zero, length and continuation.
  ExplorerLimits byEntries;
  byEntries.listingEntries = 2;
  ExplorerLimits byBytes;
  byBytes.listingBytes = 30;
  for (const ExplorerLimits& limits : {byEntries, byBytes}) {
    explorer_->SetLimits(limits);
    window_->SelectTreeItem(kTree, ui::TREE_NONE);
    ASSERT_TRUE(window_->ClickTreeItem(kTree, explorer_->RootItem()));
    Expect({0xE5, 0x02, '/', 0x00});
    for (const char* name : {"name0001", "name0002"}) {
      Phone(Concat({{9, 1}, Text(name), {0}}));
      Expect({1});
      Phone({TFS_DIR_NEXT});
    }
    // The third is taken off the line but not acknowledged: the phone sends nothing more.
    Phone(Concat({{9, 1}, Text("name0003"), {0}}));
    explorer_->WaitIdle();
    ExpectNothing();
    EXPECT_EQ(ListItems(), (std::vector<std::string>{"name0001", "name0002"}));
    EXPECT_TRUE(Narrative().ends_with(
        "**Listing stopped after 2 entries: more than the flash can hold **\r\n"))
        << Narrative();
    EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
    EXPECT_TRUE(window_->IsEnabled(kTree) && window_->IsEnabled(kList));
  }
  // Each listing counts afresh.
  window_->SelectTreeItem(kTree, ui::TREE_NONE);
  ASSERT_TRUE(window_->ClickTreeItem(kTree, explorer_->RootItem()));
  Expect({0xE5, 0x02, '/', 0x00});
  ServeListing({{1, "name0001"}, {1, "name0002"}});
  explorer_->WaitIdle();
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Confirmed);
}

// --- names and paths that do not fit -------------------------------------------------------

TEST_F(ExplorerEngineTest, OverLongNamesAndPathsAreRefusedWithoutSendingAWrappedLength) {
  Open();
  // An entry whose name does not fit the 100-byte buffer is taken off the line, acknowledged
  // and skipped; the listing goes on.
  ASSERT_TRUE(window_->Click(app::IDC_EXPLORER_START));
  Expect({0xDA});
  Phone({0xDA});
  Expect({0xE5, 0x01, '/'});
  const std::string longName(150, 'x');
  ServeListing({{1, longName}, {1, "after"}});
  explorer_->WaitIdle();
  EXPECT_EQ(ListItems(), std::vector<std::string>{"after"});
  EXPECT_NE(Narrative().find("**Name too long(151 bytes), entry skipped **\r\nafter\r\n"),
            std::string::npos)
      << Narrative();

  // A directory path of more than 255 UTF-8 bytes would not fit the request's length byte.
  const ui::TreeItem a =
      window_->InsertTreeItem(kTree, explorer_->RootItem(), std::string(200, 'a'));
  const ui::TreeItem b = window_->InsertTreeItem(kTree, a, std::string(200, 'b'));
  ASSERT_TRUE(window_->ClickTreeItem(kTree, b));
  explorer_->WaitIdle();
  ExpectNothing();
  EXPECT_EQ(Narrative(), "\r\nSearching the files (in '/" + std::string(200, 'a') + "/" +
                             std::string(200, 'b') + "')... **UTF8 length error(403) **\r\n");

  // A full path beyond the 504-byte path buffer: nothing is sent, the dialog stays usable.
  window_->AddString(kList, std::string(120, 'c'));
  SelectFile(std::string(120, 'c'));
  for (unsigned command : {app::ID_EXPLORER_DUMP, app::ID_EXPLORER_STATUS}) {
    window_->SetText(kText, "");
    Choose(command);
    explorer_->WaitIdle();
    ExpectNothing();
    EXPECT_NE(Narrative().find("**File name is too long(/"), std::string::npos) << Narrative();
    EXPECT_TRUE(window_->IsEnabled(kTree) && window_->IsEnabled(kList));
  }
  host_.SetAnswerYes(true);
  Choose(app::ID_EXPLORER_DELETE);
  explorer_->WaitIdle();
  ExpectNothing();
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
}

// --- Add ------------------------------------------------------------------------------------

class ExplorerAddTest : public ExplorerEngineTest {
 protected:
  // Adds `data` as "f.bin" to the root; the phone answers each chunk with `answers` (by index,
  // default: the sum for a full chunk, TFS_FILE_WRITTEN for the last).
  void Add(const Bytes& data) {
    const auto file = WriteFile("f.bin", data);
    host_.QueueFileDialogAnswer(file.string());
    window_->SetCurSel(kList, ui::LB_NONE);
    Choose(app::ID_EXPLORER_ADD);
    Bytes request = NameRequest(0xDD, "/f.bin");
    for (int shift = 24; shift >= 0; shift -= 8) {
      request.push_back(static_cast<std::uint8_t>(data.size() >> shift));
    }
    Expect(request);
    Phone({Sum(Bytes(request.begin() + 1, request.end()))});
  }
  // One TFS_ADD_DATA as the phone sees it.
  void ExpectChunk(const Bytes& data, std::size_t from, std::size_t length) {
    const Bytes chunk(data.begin() + static_cast<std::ptrdiff_t>(from),
                      data.begin() + static_cast<std::ptrdiff_t>(from + length));
    Expect(Concat({{0xFE}, chunk}));
  }
  void ExpectRootListedAgain() {
    Expect({0xE5, 0x01, '/'});
    ServeListing({{1, "f.bin"}});
    explorer_->WaitIdle();
    EXPECT_EQ(ListItems(), std::vector<std::string>{"f.bin"});
    EXPECT_EQ(explorer_->LastOutcome(), Outcome::Confirmed);
  }
};

TEST_F(ExplorerAddTest, TenThousandBytesGoAsAFullChunkAndTheRest) {
  Open();
  Mount();
  const Bytes data = Pattern(10000, 3);
  Add(data);
  ExpectChunk(data, 0, 8192);
  const std::uint8_t firstSum = Sum(Bytes(data.begin(), data.begin() + 8192));
  Phone({firstSum});
  ExpectChunk(data, 8192, 1808);
  Phone({0xDF});
  ExpectRootListedAgain();
  EXPECT_NE(Narrative().find(
                app::Printf("File size is 10000Add READY OK! (0x%X)\r\nAdd continue "
                            "OK! (0x%X)\r\nAdd complete\r\nSearching the files (in "
                            "'/')...\r\n f.bin\r\n",
                            Sum(Concat({NameRequest(0, "/f.bin"), {0, 0, 0x27, 0x10}})), firstSum)),
            std::string::npos)
      << Narrative();
}

TEST_F(ExplorerAddTest, EmptyAndWholeChunkFilesEndWithAnEmptyAddData) {
  Open();
  Mount();
  Add({});
  Expect({0xFE});
  Phone({0xDF});
  ExpectRootListedAgain();

  const Bytes data = Pattern(16384, 9);
  Add(data);
  ExpectChunk(data, 0, 8192);
  Phone({Sum(Bytes(data.begin(), data.begin() + 8192))});
  ExpectChunk(data, 8192, 8192);
  Phone({Sum(Bytes(data.begin() + 8192, data.end()))});
  Expect({0xFE});
  Phone({0xDF});
  ExpectRootListedAgain();
}

TEST_F(ExplorerAddTest, ALastChunkSummingToWrittenIsNotSentAgain) {
  Open();
  Mount();
  Add({0xDF});
  Expect({0xFE, 0xDF});
  Phone({0xDF});
  ExpectRootListedAgain();
  EXPECT_EQ(Narrative().find("Add continue"), std::string::npos) << Narrative();
}

TEST_F(ExplorerAddTest, RefusalsSayWhatTheyGot) {
  Open();
  Mount();
  const auto file = WriteFile("f.bin", Pattern(10, 1));
  host_.QueueFileDialogAnswer(file.string());
  Choose(app::ID_EXPLORER_ADD);
  Expect(Concat({NameRequest(0xDD, "/f.bin"), {0, 0, 0, 10}}));
  Phone({0xEF});
  explorer_->WaitIdle();
  EXPECT_TRUE(Narrative().ends_with("File size is 10Add Fail! (0xEF)\r\n")) << Narrative();
  EXPECT_TRUE(window_->IsEnabled(kTree) && window_->IsEnabled(kList));

  // A cancelled file dialog: nothing to open. A FIFO is not opened (that would wait for a
  // writer) and a folder is no file either.
  const auto fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::optional<std::string>& answer :
       {std::optional<std::string>(), std::optional(fifo.string()),
        std::optional(folder_.string())}) {
    host_.QueueFileDialogAnswer(answer);
    Choose(app::ID_EXPLORER_ADD);
    explorer_->WaitIdle();
    ExpectNothing();
    EXPECT_EQ(host_.MessageBoxTexts().back(), "Fail to open resource file!");
  }

  // A size the request's 32 bits cannot carry (4 GiB and 100 bytes, sparse) is not announced
  // as what remains of it.
  const auto huge = folder_ / "huge.bin";
  std::ofstream(huge).close();
  std::filesystem::resize_file(huge, (std::uint64_t{1} << 32) + 100);
  host_.QueueFileDialogAnswer(huge.string());
  Choose(app::ID_EXPLORER_ADD);
  explorer_->WaitIdle();
  ExpectNothing();
  EXPECT_EQ(host_.MessageBoxTexts().back(), kAddTooLargeText);
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
}

// --- Delete, Dump, Status --------------------------------------------------------------------

TEST_F(ExplorerEngineTest, DeleteAsksFirstAndListsAgain) {
  Open();
  Mount({{1, "a.txt"}});
  SelectFile("a.txt");
  Choose(app::ID_EXPLORER_DELETE);  // answered No
  explorer_->WaitIdle();
  ExpectNothing();
  EXPECT_EQ(host_.MessageBoxTexts().back(), "Sure to Delete?");

  host_.QueueMessageBoxAnswer(ui::IDYES);
  Choose(app::ID_EXPLORER_DELETE);
  Expect(NameRequest(0xEE, "/a.txt"));
  Phone({0xEE});
  Expect({0xE5, 0x01, '/'});
  ServeListing({{2, "."}});
  explorer_->WaitIdle();
  EXPECT_EQ(ListItems(), std::vector<std::string>{});
  EXPECT_NE(Narrative().find("\r\nDeleting the file '/a.txt'... OK!\r\n\r\nSearching the files "
                             "(in '/')... \r\n\r\n Read directory OK!\r\n"),
            std::string::npos)
      << Narrative();

  window_->AddString(kList, "gone");
  SelectFile("gone");
  host_.QueueMessageBoxAnswer(ui::IDYES);
  Choose(app::ID_EXPLORER_DELETE);
  Expect(NameRequest(0xEE, "/gone"));
  Phone({0xEF});
  explorer_->WaitIdle();
  EXPECT_TRUE(Narrative().ends_with("Delete Fail! (0xEF)\r\n")) << Narrative();
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
}

class ExplorerDumpTest : public ExplorerEngineTest {
 protected:
  // Selects `name`, asks for its dump into `out` and serves the size; returns the request seen.
  void StartDump(const std::string& name, std::uint32_t size, const std::filesystem::path& out) {
    SelectFile(name);
    host_.QueueFileDialogAnswer(out.string());
    Choose(app::ID_EXPLORER_DUMP);
    Expect(NameRequest(0xE8, "/" + name));
    Phone({0xE9, static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
           static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
    Expect({0xEA});
  }
  // Serves `data` in chunks, each answered by the PC.
  void ServeData(const Bytes& data) {
    for (std::size_t from = 0; from < data.size(); from += 8192) {
      const Bytes chunk(
          data.begin() + static_cast<std::ptrdiff_t>(from),
          data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), from + 8192)));
      Phone(Concat({chunk, {Sum(chunk)}}));
      Expect({0x01});
    }
  }
};

TEST_F(ExplorerDumpTest, FilesOfZeroOneChunkAndSeveralChunksArriveWhole) {
  Open();
  Mount({{1, "e"}, {1, "one"}, {1, "big"}});
  const auto out = folder_ / "out.hex";
  StartDump("e", 0, out);
  Phone({0x16});
  Expect({0x01});
  explorer_->WaitIdle();
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Confirmed);
  EXPECT_TRUE(std::filesystem::exists(out));
  EXPECT_EQ(ReadFile(out), Bytes{});

  for (std::size_t size : {std::size_t{8192}, std::size_t{20000}}) {
    const Bytes data = Pattern(size, static_cast<unsigned>(size));
    StartDump(size == 8192 ? "one" : "big", static_cast<std::uint32_t>(size), out);
    ServeData(data);
    explorer_->WaitIdle();
    EXPECT_EQ(explorer_->LastOutcome(), Outcome::Confirmed);
    EXPECT_EQ(ReadFile(out), data);
    EXPECT_EQ(window_->GetProgress(kProgress).position, static_cast<std::int64_t>(size));
    EXPECT_EQ(window_->GetProgress(kProgress).upper, static_cast<std::int64_t>(size));
  }
  EXPECT_TRUE(
      Narrative().ends_with("\r\n Reading the file '/big'... \r\nSize: 20000 bytes\r\n** "
                            "Dumping TFS File **\r\n** Dump Completed! **\r\n"))
      << Narrative();
  EXPECT_EQ(host_.MessageBoxTexts().back(), "Dump Completed!");
}

TEST_F(ExplorerDumpTest, ABadSumIsAnsweredNoAndTheFileClosedAtOnce) {
  Open();
  Mount({{1, "big"}});
  const auto out = folder_ / "out.hex";
  const Bytes data = Pattern(20000, 5);
  StartDump("big", 20000, out);
  const Bytes first(data.begin(), data.begin() + 8192);
  Phone(Concat({first, {Sum(first)}}));
  Expect({0x01});
  const Bytes second(data.begin() + 8192, data.begin() + 16384);
  Phone(Concat({second, {static_cast<std::uint8_t>(Sum(second) + 1)}}));
  Expect({0x00});
  explorer_->WaitIdle();
  EXPECT_TRUE(Narrative().ends_with("Checksum mismatched!\r\n")) << Narrative();
  EXPECT_EQ(host_.MessageBoxTexts().back(), "Checksum Mismatched!");
  EXPECT_TRUE(explorer_->DumpIncomplete());
  // Closed before EXIT: everything accepted is on disk now.
  EXPECT_EQ(ReadFile(out), first);

  // A phone that stops mid-chunk: the file is closed when the wait ends.
  StartDump("big", 20000, out);
  Phone(Bytes(first.begin(), first.begin() + 100));
  explorer_->WaitIdle();
  EXPECT_TRUE(explorer_->DumpIncomplete());
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
  // A silent phone leaves the list disabled, as the exchange left it; EXIT is the way out.
  EXPECT_FALSE(window_->IsEnabled(kList));
  window_->Enable(kList, true);

  // A refused read and a cancelled save dialog.
  SelectFile("big");
  Choose(app::ID_EXPLORER_DUMP);
  Expect(NameRequest(0xE8, "/big"));
  Phone({0xEF});
  explorer_->WaitIdle();
  EXPECT_TRUE(Narrative().ends_with("File size read Fail! (0xEF)\r\n")) << Narrative();
  host_.QueueFileDialogAnswer(std::nullopt);
  Choose(app::ID_EXPLORER_DUMP);
  Expect(NameRequest(0xE8, "/big"));
  Phone({0xE9, 0, 0, 0, 1});
  explorer_->WaitIdle();
  ExpectNothing();
  EXPECT_EQ(host_.MessageBoxTexts().back(), "No file selected!");
}

TEST_F(ExplorerDumpTest, ASizeBeyondTheFlashIsRefusedBeforeAFileIsMade) {
  Open();
  Mount({{1, "liar"}});
  const auto out = folder_ / "out.hex";
  for (const std::uint32_t size : {0x10000001u, 0xFFFFFFFFu}) {
    SelectFile("liar");
    host_.QueueFileDialogAnswer(out.string());
    Choose(app::ID_EXPLORER_DUMP);
    Expect(NameRequest(0xE8, "/liar"));
    Phone({0xE9, static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
           static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
    explorer_->WaitIdle();
    ExpectNothing();
    host_.ClearDialogAnswers();
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(host_.MessageBoxTexts().back(), kDumpTooLargeText);
    EXPECT_TRUE(Narrative().ends_with(
        app::Printf("Size: %u bytes\r\nFile size is larger than the flash!\r\n", size)))
        << Narrative();
    EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
    EXPECT_TRUE(window_->IsEnabled(kList));
  }
  // As much as the flash holds is asked for.
  StartDump("liar", 0x10000000u, out);
  EXPECT_TRUE(std::filesystem::exists(out));
}

TEST_F(ExplorerDumpTest, OnlyARegularOrNewFileTakesTheCopy) {
  Open();
  Mount({{1, "f"}});
  const auto fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::filesystem::path& path : {fifo, std::filesystem::path("/dev/full"), folder_}) {
    SelectFile("f");
    host_.QueueFileDialogAnswer(path.string());
    Choose(app::ID_EXPLORER_DUMP);
    Expect(NameRequest(0xE8, "/f"));
    Phone({0xE9, 0, 0, 0, 10});
    explorer_->WaitIdle();
    ExpectNothing();
    EXPECT_EQ(host_.MessageBoxTexts().back(), "Internal Error! (file creation)") << path;
    EXPECT_FALSE(explorer_->DumpIncomplete());
  }
  EXPECT_EQ(std::filesystem::status(fifo).type(), std::filesystem::file_type::fifo);
}

TEST_F(ExplorerDumpTest, ACopyTheDiskDidNotTakeIsNotCompleted) {
  Open();
  Mount({{1, "big"}});
  const auto out = folder_ / "out.hex";
  const Bytes data = Pattern(20000, 5);
  StartDump("big", 20000, out);
  const Bytes first(data.begin(), data.begin() + 8192);
  Phone(Concat({first, {Sum(first)}}));
  Expect({0x01});
  // A file-size limit of 10240 bytes takes only part of the second chunk.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limit = saved;
  limit.rlim_cur = 10240;
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const Bytes second(data.begin() + 8192, data.begin() + 16384);
  Phone(Concat({second, {Sum(second)}}));
  Expect({0x00});  // the phone ends the dump rather than sending what the file cannot take
  explorer_->WaitIdle();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);
  EXPECT_TRUE(explorer_->DumpIncomplete());
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Failed);
  EXPECT_EQ(host_.MessageBoxTexts().back(), kDumpWriteFailedText);
  EXPECT_TRUE(Narrative().ends_with("Write dump file fail!\r\n")) << Narrative();
  EXPECT_EQ(std::filesystem::file_size(out), 10240u);
  EXPECT_TRUE(window_->IsEnabled(kList));
}

TEST_F(ExplorerEngineTest, StatusPrintsTheRecordWithItsDosDates) {
  Open();
  Mount({{1, "s.bin"}});
  SelectFile("s.bin");
  Choose(app::ID_EXPLORER_STATUS);
  Expect(NameRequest(0xF0, "/s.bin"));
  const std::uint32_t date = (29u << 9) | (2u << 5) | 12u;
  const std::uint32_t time = (date << 16) | (11u << 11) | (33u << 5) | 14u;
  Bytes record{0xF1, 0, 0, 0x81, 0xA4, 0, 0, 0, 7, 0xFF, 0xFE, 0x80, 0x00, 0, 0, 0x04, 0xD2};
  for (std::uint32_t v : {date, time, time}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      record.push_back(static_cast<std::uint8_t>(v >> shift));
  }
  Phone(record);
  explorer_->WaitIdle();
  EXPECT_EQ(explorer_->LastOutcome(), Outcome::Confirmed);
  EXPECT_EQ(Narrative(),
            "\r\n Reading the file status '/s.bin'... \n---------------------------- \n"
            "\n*File mode : 0x81a4 \r\n*File i node : 0x7 \r\n*File dev ID: 0xfffffffe \r\n"
            "*File dummy entry : 0xffff8000 \r\n*File size : 1234 byte\r\n"
            "*File last access time : 0x3a4c \r\n2009:02:12 \r\n"
            "*File last modification time : 0x3a4c5c2e \r\n2009:02:12 11:33:28 \r\n"
            "*File last status change time : 0x3a4c5c2e \r\n2009:02:12 11:33:28 \r\n");

  Choose(app::ID_EXPLORER_STATUS);
  Expect(NameRequest(0xF0, "/s.bin"));
  Phone({0xEF});
  explorer_->WaitIdle();
  EXPECT_TRUE(Narrative().ends_with("---------------------------- \nFail! (0xEF)\r\n"));
}

// --- the menu and a phone that hangs ---------------------------------------------------------

TEST_F(ExplorerEngineTest, TheMenuOffersOnlyAddWithoutASelection) {
  Open();
  Mount({{1, "a.txt"}});
  window_->ContextMenu(kList);
  SelectFile("a.txt");
  window_->ContextMenu(kList);
  const auto menus = window_->PopupMenus();
  ASSERT_EQ(menus.size(), 2u);
  for (const ui::MenuItem& item : menus[0]) {
    EXPECT_EQ(item.enabled, item.command == app::ID_EXPLORER_ADD) << item.text;
  }
  ASSERT_EQ(menus[1].size(), 6u);
  EXPECT_EQ(menus[1][0].text, "< a.txt >");
  EXPECT_EQ(menus[1][0].command, ui::MENU_SEPARATOR);
  EXPECT_EQ(menus[1][1].text, "");
  EXPECT_EQ(menus[1][2].command, app::ID_EXPLORER_DUMP);
  ExpectNothing();
}

TEST_F(ExplorerEngineTest, ExitEndsAStuckExchangeAtOnce) {
  state_.link.replyTimeout = 60s;
  Open();
  ASSERT_TRUE(window_->Click(app::IDC_EXPLORER_START));
  Expect({0xDA});  // and the phone says nothing more
  const auto before = std::chrono::steady_clock::now();
  window_->Click(ui::IDOK);
  explorer_->WaitIdle();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_TRUE(window_->Ended());
  EXPECT_FALSE(state_.mountSent);
  EXPECT_FALSE(state_.sharedPort->HoldsDevice());
  ExpectNothing();  // mid-exchange the phone would take an unmount for an answer
}

TEST_F(ExplorerEngineTest, ExitAfterASilentExchangeDoesNotWaitForTheUnmountsAnswer) {
  Open();
  Mount({{1, "s.bin"}});
  SelectFile("s.bin");
  Choose(app::ID_EXPLORER_STATUS);
  Expect(NameRequest(0xF0, "/s.bin"));  // and the phone says nothing more
  explorer_->WaitIdle();
  EXPECT_TRUE(explorer_->NoReply());
  const auto before = std::chrono::steady_clock::now();
  window_->Click(ui::IDOK);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 300ms);  // the reply time-out is 400 ms
  Expect({0xE4});
  EXPECT_TRUE(window_->Ended());
  EXPECT_FALSE(state_.sharedPort->HoldsDevice());
}

}  // namespace
}  // namespace veska::explorer
