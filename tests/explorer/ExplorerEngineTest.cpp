#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Printf.h"
#include "explorer/ExplorerTesting.h"

namespace veska::explorer {
namespace {

using namespace testing;
using Names = std::vector<std::string>;

// The Explorer's exchanges without a window: the test plays the phone on the session's shared
// port and records what the session tells.
class ExplorerEngineTest : public PtyPhoneTest, public ExplorerNotices {
 protected:
  ~ExplorerEngineTest() override {
    if (worker_.joinable()) worker_.join();
  }

  // Runs `action` on a thread of its own, as the dialog's worker does; Wait collects it.
  template <typename Action>
  void Run(Action action) {
    confirmed_ = false;
    worker_ = std::thread([this, action] { action(session_); });
  }
  void Wait() { worker_.join(); }

  void Mount(const std::vector<Entry>& entries = {{2, "."}}) {
    Run([](ExplorerSession& s) { s.Start(); });
    ServeMount(entries);
    Wait();
    ASSERT_TRUE(confirmed_) << narrative_;
  }
  // Adds `data` as "f.bin" to the root; the phone answers the request with `answer` (by
  // default its sum: ready). Returns that answer.
  std::uint8_t Add(const Bytes& data, std::optional<std::uint8_t> answer = std::nullopt) {
    const auto file = WriteFile(folder_ / "f.bin", data);
    Run([file](ExplorerSession& s) { s.Add(file.string(), "/"); });
    const Bytes request =
        Concat({NameRequest(0xDD, "/f.bin"), Be32(static_cast<std::uint32_t>(data.size()))});
    Expect(request);
    const std::uint8_t reply = answer.value_or(link::blockSum(std::span(request).subspan(1)));
    Phone({reply});
    return reply;
  }
  // Asks for the dump of "/f" into `out` and serves its size, up to the first data request.
  void StartDump(std::uint32_t size, const std::filesystem::path& out) {
    target_ = out.string();
    Run([](ExplorerSession& s) { s.Dump("/", "f"); });
    Expect(NameRequest(0xE8, "/f"));
    Phone(Concat({{0xE9}, Be32(size)}));
    Expect({0xEA});
  }

  // --- ExplorerNotices ---
  void Narrate(std::string_view text) override { narrative_ += text; }
  void NarrateAnew(std::string_view text) override { narrative_ = text; }
  void ListingStarted(bool) override { files_.clear(); }
  void FileListed(std::string_view name) override { files_.emplace_back(name); }
  void DirectoryListed(std::string_view) override {}
  void EnableBrowsing(bool tree, bool list) override {
    tree_ = tree;
    list_ = list;
  }
  void EnableTree() override { tree_ = true; }
  void ProgressRange(std::uint32_t upper) override { upper_ = upper; }
  void Progress(std::uint32_t position) override { position_ = position; }
  void Message(std::string_view text) override { messages_.emplace_back(text); }
  std::string DumpTarget() override { return target_; }
  void Confirmed() override { confirmed_ = true; }

  ExplorerSession session_{state_, *this, "UTF-8"};
  std::thread worker_;
  std::string narrative_;
  Names files_;
  bool tree_ = true;
  bool list_ = true;
  std::uint32_t upper_ = 0;
  std::uint32_t position_ = 0;
  Names messages_;
  std::string target_;
  bool confirmed_ = false;
};

// --- mount, unmount and listings -------------------------------------------------------------

TEST_F(ExplorerEngineTest, TheUnmountFollowsARefusedMountButWaitsNoMoreForASilentPhone) {
  for (const bool silent : {false, true}) {
    Run([](ExplorerSession& s) { s.Start(); });
    Expect({0xDA});
    if (!silent) Phone({0xEF, 0xEF});  // the refusal, and the unmount's answer
    Wait();
    EXPECT_FALSE(confirmed_ || state_.mountSucceeded);
    EXPECT_EQ(session_.NoReply(), silent);
    const auto before = std::chrono::steady_clock::now();
    session_.Unmount(false);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 300ms);  // the reply time-out is 400 ms
    Expect({0xE4});
    EXPECT_FALSE(state_.mountSent || state_.sharedPort->HoldsDevice());
  }
  EXPECT_EQ(narrative_,
            "\r\n** Mounting TFS system... Fail! (0xEF)\r\n\r\n** Mounting TFS system... ");
}

TEST_F(ExplorerEngineTest, ListingErrorsEndTheListing) {
  Mount();
  const Bytes entryA = Concat({{2, 1}, Text("a"), {0}});
  struct Case {
    Bytes phone;
    Bytes acknowledged;
    const char* end;
    bool tree;  // the list stays disabled: what it shows is not the directory's
  };
  const Case cases[] = {
      // 0xE6 as an entry's type: the entry is not acknowledged.
      {{0x00, 0xE6}, {}, "Read Dir ERR!!\n", false},
      // An error in place of the continuation gives the tree back.
      {Concat({entryA, {0xE6}}), {1}, "a\r\nERROR in reading File name!\r\n", true},
      {Concat({entryA, {0x42}}), {1}, "a\r\nUnknown FILE name receive error!(42)\r\n", false},
  };
  for (const Case& c : cases) {
    Run([](ExplorerSession& s) { s.List("/"); });
    Expect({0xE5, 0x02, '/', 0x00});
    Phone(c.phone);
    Expect(c.acknowledged);
    Wait();
    ExpectNothing();
    EXPECT_EQ(narrative_, std::string("\r\nSearching the files (in '/')... ") + c.end);
    EXPECT_EQ(tree_, c.tree);
    EXPECT_FALSE(list_ || confirmed_);
  }
}

TEST_F(ExplorerEngineTest, AListingLongerThanTheFlashCanHoldIsStopped) {
  Mount();
  // Entries of 12 bytes on the line: "name" + 4 digits, its type, zero, length and continuation.
  ExplorerLimits byEntries;
  byEntries.listingEntries = 2;
  ExplorerLimits byBytes;
  byBytes.listingBytes = 30;
  for (const ExplorerLimits& limits : {byEntries, byBytes}) {
    session_.SetLimits(limits);
    Run([](ExplorerSession& s) { s.List("/"); });
    Expect({0xE5, 0x02, '/', 0x00});
    for (const char* name : {"name0001", "name0002"}) {
      Phone(Concat({{9, 1}, Text(name), {0}}));
      Expect({1});
      Phone({TFS_DIR_NEXT});
    }
    // The third is taken off the line but not acknowledged: the phone sends nothing more.
    Phone(Concat({{9, 1}, Text("name0003"), {0}}));
    Wait();
    ExpectNothing();
    EXPECT_EQ(files_, (Names{"name0001", "name0002"}));
    EXPECT_TRUE(narrative_.ends_with(
        "**Listing stopped after 2 entries: more than the flash can hold **\r\n"))
        << narrative_;
    EXPECT_FALSE(confirmed_);
    EXPECT_TRUE(tree_ && list_);
  }
  // Each listing counts afresh.
  Run([](ExplorerSession& s) { s.List("/"); });
  Expect({0xE5, 0x02, '/', 0x00});
  ServeListing({{1, "name0001"}, {1, "name0002"}});
  Wait();
  EXPECT_TRUE(confirmed_);
}

TEST_F(ExplorerEngineTest, OverLongNamesAndPathsAreRefusedWithoutSendingAWrappedLength) {
  // An entry whose name does not fit the 100-byte buffer is taken off the line, acknowledged
  // and skipped; the listing goes on.
  Mount({{1, std::string(150, 'x')}, {1, "after"}});
  EXPECT_EQ(files_, Names{"after"});
  EXPECT_NE(narrative_.find("**Name too long(151 bytes), entry skipped **\r\nafter\r\n"),
            std::string::npos)
      << narrative_;

  // A directory path of more than 255 UTF-8 bytes would not fit the request's length byte.
  const std::string dir = "/" + std::string(200, 'a') + "/" + std::string(200, 'b');
  Run([&dir](ExplorerSession& s) { s.List(dir); });
  Wait();
  ExpectNothing();
  EXPECT_EQ(narrative_,
            "\r\nSearching the files (in '" + dir + "')... **UTF8 length error(403) **\r\n");

  // A full path beyond the 504-byte path buffer, or a name without a UTF-8 form: nothing is
  // sent, and the browsing is offered after it as before.
  const struct {
    std::string dir;
    std::string name;
    std::string_view said;
  } files[] = {
      {dir, std::string(120, 'c'), "**File name is too long(/"},
      {"/", "\xFF", kConversionError},
  };
  for (const auto& file : files) {
    for (const auto action :
         {&ExplorerSession::Dump, &ExplorerSession::Status, &ExplorerSession::Delete}) {
      narrative_.clear();
      Run([&file, action](ExplorerSession& s) { (s.*action)(file.dir, file.name); });
      Wait();
      ExpectNothing();
      EXPECT_NE(narrative_.find(file.said), std::string::npos) << narrative_;
      EXPECT_TRUE(tree_ && list_ && !confirmed_);
    }
  }
}

// --- Add -------------------------------------------------------------------------------------

// A file goes in chunks of 8192 bytes, each acknowledged with its sum, and ends with a shorter
// one: an empty TFS_ADD_DATA after whole chunks. The file of one byte is 0xDF: a last chunk
// whose sum is TFS_FILE_WRITTEN is not taken for "send the next one".
class ExplorerAddSizesTest : public ExplorerEngineTest,
                             public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ExplorerAddSizesTest, AFileGoesInChunksAndTheDirectoryIsListedAgain) {
  const Bytes data = Pattern(GetParam(), 0xDF);
  Mount();
  narrative_.clear();
  std::string expected =
      app::Printf("\r\nAdding the file '/f.bin'... \r\nFile size is %zuAdd READY OK! (0x%X)\r\n",
                  data.size(), Add(data));
  for (std::size_t from = 0;; from += kChunkSize) {
    const Bytes chunk = Slice(data, from, kChunkSize);
    Expect(Concat({{0xFE}, chunk}));
    if (chunk.size() < kChunkSize) break;
    Phone({link::blockSum(chunk)});
    expected += app::Printf("Add continue OK! (0x%X)\r\n", link::blockSum(chunk));
  }
  Phone({0xDF});
  Expect({0xE5, 0x01, '/'});
  ServeListing({{1, "f.bin"}});
  Wait();
  EXPECT_EQ(files_, Names{"f.bin"});
  EXPECT_TRUE(confirmed_ && tree_ && list_);
  EXPECT_EQ(narrative_, expected +
                            "Add complete\r\nSearching the files (in '/')...\r\n f.bin\r\n\r\n "
                            "Read directory OK!\r\n");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExplorerAddSizesTest, ::testing::Values(0, 1, 10000, 16384));

TEST_F(ExplorerEngineTest, AddRefusalsSayWhatTheyGot) {
  Mount();
  Add(Pattern(10, 1), 0xEF);
  Wait();
  EXPECT_TRUE(narrative_.ends_with("File size is 10Add Fail! (0xEF)\r\n")) << narrative_;
  EXPECT_TRUE(tree_ && list_);

  // No file chosen: nothing to open. A FIFO is not opened (that would wait for a writer) and
  // a folder is no file either.
  const auto fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A size the request's 32 bits cannot carry (4 GiB and 100 bytes, sparse) is not announced
  // as what remains of it.
  const auto huge = folder_ / "huge.bin";
  std::ofstream(huge).close();
  std::filesystem::resize_file(huge, (std::uint64_t{1} << 32) + 100);
  const std::pair<std::string, std::string_view> cases[] = {
      {"", "Fail to open resource file!"},
      {fifo.string(), "Fail to open resource file!"},
      {folder_.Path().string(), "Fail to open resource file!"},
      {huge.string(), kAddTooLargeText},
  };
  for (const auto& [file, message] : cases) {
    Run([&file](ExplorerSession& s) { s.Add(file, "/"); });
    Wait();
    ExpectNothing();
    EXPECT_EQ(messages_.back(), message) << file;
    EXPECT_FALSE(confirmed_);
  }
}

// --- Delete and Dump -------------------------------------------------------------------------

TEST_F(ExplorerEngineTest, DeleteListsAgainOrSaysItFailed) {
  Mount({{1, "a.txt"}});
  Run([](ExplorerSession& s) { s.Delete("/", "a.txt"); });
  Expect(NameRequest(0xEE, "/a.txt"));
  Phone({0xEE});
  Expect({0xE5, 0x01, '/'});
  ServeListing({{2, "."}});
  Wait();
  EXPECT_TRUE(confirmed_);
  EXPECT_EQ(files_, Names{});
  EXPECT_TRUE(
      narrative_.ends_with("\r\nDeleting the file '/a.txt'... OK!\r\n\r\nSearching the "
                           "files (in '/')... \r\n\r\n Read directory OK!\r\n"))
      << narrative_;

  Run([](ExplorerSession& s) { s.Delete("/d", "gone"); });
  Expect(NameRequest(0xEE, "/d/gone"));
  Phone({0xEF});
  Wait();
  EXPECT_TRUE(narrative_.ends_with("Delete Fail! (0xEF)\r\n")) << narrative_;
  EXPECT_FALSE(confirmed_);
  EXPECT_TRUE(tree_ && list_);
}

TEST_F(ExplorerEngineTest, DumpedFilesOfZeroOneChunkAndSeveralChunksArriveWhole) {
  Mount();
  const auto out = folder_ / "out.hex";
  StartDump(0, out);
  Phone({0x16});
  Expect({0x01});
  Wait();
  EXPECT_TRUE(confirmed_);
  EXPECT_TRUE(std::filesystem::exists(out));
  EXPECT_EQ(ReadFile(out), Bytes{});

  for (std::size_t size : {std::size_t{8192}, std::size_t{20000}}) {
    const Bytes data = Pattern(size, static_cast<unsigned>(size));
    StartDump(static_cast<std::uint32_t>(size), out);
    for (std::size_t from = 0; from < size; from += kChunkSize) {
      const Bytes chunk = Slice(data, from, kChunkSize);
      Phone(Concat({chunk, {link::blockSum(chunk)}}));
      Expect({0x01});
    }
    Wait();
    EXPECT_TRUE(confirmed_);
    EXPECT_FALSE(session_.DumpIncomplete());
    EXPECT_EQ(ReadFile(out), data);
    EXPECT_EQ(position_, size);
    EXPECT_EQ(upper_, size);
  }
  EXPECT_TRUE(
      narrative_.ends_with("\r\n Reading the file '/f'... \r\nSize: 20000 bytes\r\n** "
                           "Dumping TFS File **\r\n** Dump Completed! **\r\n"))
      << narrative_;
  EXPECT_EQ(messages_.back(), "Dump Completed!");
  EXPECT_TRUE(tree_ && list_);
}

// A second chunk the PC refuses (its sum is wrong, or the disk takes only part of it) is
// answered No, and the file is closed at once with what it took.
class ExplorerDumpRefusalTest : public ExplorerEngineTest,
                                public ::testing::WithParamInterface<bool> {};

TEST_P(ExplorerDumpRefusalTest, ARefusedChunkIsAnsweredNoAndTheFileClosedAtOnce) {
  const bool badSum = GetParam();
  Mount();
  const auto out = folder_ / "out.hex";
  const Bytes data = Pattern(20000, 5);
  StartDump(20000, out);
  const Bytes first = Slice(data, 0, kChunkSize);
  Phone(Concat({first, {link::blockSum(first)}}));
  Expect({0x01});
  {
    std::optional<FileSizeLimit> limit;
    if (!badSum) limit.emplace(10240);
    const Bytes second = Slice(data, kChunkSize, kChunkSize);
    Phone(Concat({second, {static_cast<std::uint8_t>(link::blockSum(second) + (badSum ? 1 : 0))}}));
    Expect({0x00});
    Wait();
  }
  EXPECT_TRUE(
      narrative_.ends_with(badSum ? "Checksum mismatched!\r\n" : "Write dump file fail!\r\n"))
      << narrative_;
  EXPECT_EQ(messages_.back(), badSum ? "Checksum Mismatched!" : kDumpWriteFailedText);
  EXPECT_TRUE(session_.DumpIncomplete() && tree_ && list_ && !confirmed_);
  // Closed before the unmount: everything accepted is on disk now.
  EXPECT_EQ(ReadFile(out).size(), badSum ? first.size() : 10240u);
}

INSTANTIATE_TEST_SUITE_P(Causes, ExplorerDumpRefusalTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& badSum) {
                           return badSum.param ? "BadSum" : "DiskFull";
                         });

TEST_F(ExplorerEngineTest, ASilentPhoneOrARefusedReadEndsTheDump) {
  Mount();
  const auto out = folder_ / "out.hex";
  // A phone that stops mid-chunk: the file is closed when the wait ends, and the list stays
  // disabled as the exchange left it.
  StartDump(20000, out);
  Phone(Pattern(100, 1));
  Wait();
  EXPECT_TRUE(session_.DumpIncomplete() && session_.NoReply());
  EXPECT_FALSE(confirmed_ || list_);
  EXPECT_EQ(ReadFile(out), Bytes{});

  Run([](ExplorerSession& s) { s.Dump("/", "f"); });
  Expect(NameRequest(0xE8, "/f"));
  Phone({0xEF});
  Wait();
  EXPECT_TRUE(narrative_.ends_with("File size read Fail! (0xEF)\r\n")) << narrative_;
  EXPECT_TRUE(tree_ && list_ && !confirmed_);
}

// A size beyond the flash is refused before a file is asked for, and only a regular or a new
// file takes the copy: nothing is asked of the phone then.
TEST_F(ExplorerEngineTest, ADumpWithoutAFileToTakeItEndsBeforeItsData) {
  Mount();
  const auto out = folder_ / "out.hex";
  const auto fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  constexpr std::string_view kNotCreated = "Internal Error! (file creation)";
  const struct {
    std::uint32_t size;
    std::filesystem::path target;
    std::string_view message;
  } cases[] = {
      {0x10000001u, out, kDumpTooLargeText}, {0xFFFFFFFFu, out, kDumpTooLargeText},
      {1, "", "No file selected!"},          {10, fifo, kNotCreated},
      {10, "/dev/full", kNotCreated},        {10, folder_.Path(), kNotCreated},
  };
  for (const auto& c : cases) {
    target_ = c.target.string();
    Run([](ExplorerSession& s) { s.Dump("/", "f"); });
    Expect(NameRequest(0xE8, "/f"));
    Phone(Concat({{0xE9}, Be32(c.size)}));
    Wait();
    ExpectNothing();
    EXPECT_EQ(messages_.back(), c.message) << c.target;
    const bool tooLarge = c.message == kDumpTooLargeText;
    EXPECT_TRUE(narrative_.ends_with(app::Printf(
        "Size: %u bytes\r\n%s", c.size, tooLarge ? "File size is larger than the flash!\r\n" : "")))
        << narrative_;
    EXPECT_TRUE(tree_ && list_ && !confirmed_ && !session_.DumpIncomplete());
  }
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(std::filesystem::status(fifo).type(), std::filesystem::file_type::fifo);
  // As much as the flash holds is asked for.
  StartDump(0x10000000u, out);
  EXPECT_TRUE(std::filesystem::exists(out));
}

}  // namespace
}  // namespace veska::explorer
