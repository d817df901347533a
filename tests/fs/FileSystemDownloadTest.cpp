#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fs/FileSystemDownload.h"
#include "fs/FsPeer.h"
#include "fs/FsStep.h"
#include "fs/NameConverter.h"
#include "link/Crc32.h"
#include "target/PhoneHarness.h"

namespace veska::fs {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using testing::FsPeer;

struct ListedFile {
  std::string name;
  std::uint32_t size;
};

constexpr char kVersion[] = "V1.67-QX7430-000";  // exactly the 16-byte field
constexpr char kRelease[] = "REL-20091231";      // exactly the 12-byte field

// The file-system download on a port of its own, against a scripted peer on a pseudo-terminal
// (or the virtual phone).
class FileSystemDownloadTest : public ::testing::Test {
 protected:
  void Open(bool usb, const std::string& device = {}) {
    harness_ = std::make_unique<veska::testing::EngineHarness>(
        device.empty() ? pty_.SlavePath() : device, usb);
    peer_ = std::make_unique<FsPeer>(pty_, usb);
  }

  // Writes an image of the files back to back and its listing, and sets them as the kind's.
  void WriteImage(FileSystemKind kind, const std::vector<std::string>& dirs,
                  const std::vector<ListedFile>& files, bool release = true,
                  std::int64_t sizeSkew = 0, const std::string& stem = "phone.rel") {
    const bool tfs = kind == FileSystemKind::Tfs;
    const auto image = folder_ / (stem + (tfs ? ".tfs" : ".db2"));
    std::string listing = std::string("TFSVERSION : ") + kVersion + "\r\n";
    if (release) listing += std::string("TFSRELEASEVERSION : ") + kRelease + "\r\n";
    for (const auto& d : dirs) listing += "DIR_NAME : " + d + "\r\n";
    imageBytes_.clear();
    for (std::size_t i = 0; i < files.size(); ++i) {
      listing += "FILE_NAME : " + files[i].name +
                 "\r\nFILE_SIZE : " + std::to_string(files[i].size) + "\r\n";
      for (std::uint32_t b = 0; b < files[i].size; ++b) {
        imageBytes_.push_back(static_cast<std::uint8_t>(b * 7 + i * 31 + (b >> 8)));
      }
    }
    if (sizeSkew > 0) imageBytes_.resize(imageBytes_.size() + static_cast<std::size_t>(sizeSkew));
    if (sizeSkew < 0) imageBytes_.resize(imageBytes_.size() - static_cast<std::size_t>(-sizeSkew));
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(imageBytes_.data()),
               static_cast<std::streamsize>(imageBytes_.size()));
    std::ofstream(folder_ / (stem + ".cfg"), std::ios::binary) << listing;
    inputs_.kind = kind;
    inputs_.imagePath = image.string();
    inputs_.listingPath = (folder_ / (stem + ".cfg")).string();
    inputs_.imageSize = static_cast<std::uint32_t>(imageBytes_.size());
  }

  bool Run() {
    harness_->narrator.Clear();
    peer_->Start();
    const bool ok = Download();
    peer_->Stop();
    return ok;
  }
  bool Download() { return DownloadFileSystem(harness_->Context(), inputs_, step_); }
  FormatResult Format() { return FormatFileSystem(harness_->Context()); }

  std::string Log() const { return harness_->narrator.Text(); }
  std::vector<std::string> MessageBoxes() const { return harness_->narrator.Messages(); }
  link::SerialPort& Port() { return harness_->port; }

  std::string Crc() const {
    link::Crc32Table table;
    table.BuildCrc32Table();
    char text[16];
    std::snprintf(text, sizeof text, "%x", link::Crc32(table, imageBytes_));
    return text;
  }

  // Every chunk the phone received, joined, and their lengths.
  std::pair<Bytes, std::vector<std::size_t>> Chunks() const {
    Bytes data;
    std::vector<std::size_t> lengths;
    for (const auto& c : peer_->Commands()) {
      if (c.code != 0xFE) continue;
      data.insert(data.end(), c.args.begin(), c.args.end());
      lengths.push_back(c.args.size());
    }
    return {data, lengths};
  }

  // The last position the progress bar was given.
  std::uint32_t ProgressPos() const { return harness_->narrator.Position(); }

  veska::testing::ScratchFolder scratch_{"veska_fs_"};
  const std::filesystem::path& folder_ = scratch_.Path();
  PtyPair pty_;
  std::unique_ptr<veska::testing::EngineHarness> harness_;
  std::unique_ptr<FsPeer> peer_;
  veska::testing::PhoneHarness connected_;
  FileSystemInputs inputs_;
  int step_ = 0;
  Bytes imageBytes_;
};

// Every byte the PC puts on the line, built from the wire tables alone: on UART each code a
// bare byte, on USB the padded session opener and a ShortFrame per code (its tag masked), the
// records and chunks raw after their code. However the sender groups its writes, the line must
// carry exactly this.
class LineBytesTest : public FileSystemDownloadTest, public ::testing::WithParamInterface<bool> {
 protected:
  // The line as sent, with the frame tags zeroed on USB; `expected` grows in step.
  void Code(Bytes& expected, std::uint8_t code) {
    if (!GetParam()) return expected.push_back(code);
    tagAt_.push_back(expected.size() + 2);
    expected.insert(expected.end(), {code, 0, 0, 0, 0, 0, 0, 0});
  }
  static void Name(Bytes& expected, const std::string& name) {
    const std::size_t n = name.size() + 1;
    expected.push_back(static_cast<std::uint8_t>(n >> 8));
    expected.push_back(static_cast<std::uint8_t>(n));
    expected.insert(expected.end(), name.begin(), name.end());
    expected.push_back(0);
  }
  Bytes Masked(Bytes raw) const {
    for (std::size_t at : tagAt_) {
      if (at + 1 < raw.size()) raw[at] = raw[at + 1] = 0;
    }
    return raw;
  }
  std::vector<std::size_t> tagAt_;
};

// A whole session: every byte on the line, the log line by line, the bar at the image's end
// and the port closed afterwards.
TEST_P(LineBytesTest, RecordsAndChunksFollowTheirCodesByteForByte) {
  const bool usb = GetParam();
  const std::vector<std::string> dirs = {"/sys", "/sys/deeper/and/longer/name"};
  const std::vector<ListedFile> files = {{"/sys/empty", 0},
                                         {"/sys/a", 8192},
                                         {"/sys/deeper/and/longer/name/b", 8193},
                                         {"/c", 3},
                                         {"/sys/d", 16384}};
  Open(usb);
  WriteImage(FileSystemKind::Tfs, dirs, files, /*release=*/!usb);
  ASSERT_TRUE(Run()) << Log();

  std::string log =
      "     TFS Format...     OK\n"
      "     ** Mounting TFS system... \n     ** Start Downloading TFS file **\n"
      "     Sending NAND CheckSum:" +
      Crc() + "\n OK!\r\n     TFS time set OK!\r\n";
  for (const std::string& d : dirs) log += "     Cr.dir \"" + d + "\"... \n";
  log += "     Writing a TFS Version...\n ";
  for (const ListedFile& f : files) {
    log += "     Wrt.file \"" + f.name + "\" (" + std::to_string(f.size) + " bytes)... OK!\n";
  }
  log += "     Complete nand!\r\n     Unmounting TFS!OK!\r\n";
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(ProgressPos(), imageBytes_.size());
  EXPECT_FALSE(Port().IsPortOpen());

  Bytes expected;
  if (usb) expected = {0xCE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (std::uint8_t code : {0xE0, 0xDA, 0xC9, 0xC4}) Code(expected, code);
  const auto commands = peer_->Commands();
  ASSERT_GT(commands.size(), 4u);
  // The time record carries the PC's local time: plausible fields, little-endian.
  const Bytes& time = commands[usb ? 4 : 3].args;
  ASSERT_EQ(time.size(), 24u);
  EXPECT_TRUE(time[16] >= 1 && time[16] <= 12);
  EXPECT_GE(time[20] | (time[21] << 8), 2020);
  expected.insert(expected.end(), time.begin(), time.end());
  for (const std::string& d : dirs) {
    Code(expected, 0xDB);
    Name(expected, d);
  }
  Code(expected, 0xE3);
  expected.insert(expected.end(), kVersion, kVersion + 16);
  Code(expected, usb ? 0xF6 : 0xF5);
  if (!usb) expected.insert(expected.end(), kRelease, kRelease + 12);
  auto data = imageBytes_.begin();
  for (const ListedFile& f : files) {
    Code(expected, 0xDD);
    Name(expected, f.name);
    for (int shift = 24; shift >= 0; shift -= 8) {
      expected.push_back(static_cast<std::uint8_t>(f.size >> shift));
    }
    std::uint32_t left = f.size;
    for (;;) {
      const std::uint32_t chunk = std::min<std::uint32_t>(left, 8192);
      Code(expected, 0xFE);
      expected.insert(expected.end(), data, data + chunk);
      data += chunk;
      left -= chunk;
      if (chunk < 8192) break;
    }
  }
  Code(expected, 0xC5);
  Code(expected, 0xE4);
  EXPECT_EQ(Masked(peer_->Raw()), expected);
}

// An image that shrank after the listing was loaded: the chunk's code goes out alone and the
// download ends with its line.
TEST_P(LineBytesTest, AnImageThatShrankSendsTheChunkCodeAlone) {
  const bool usb = GetParam();
  Open(usb);
  WriteImage(FileSystemKind::Tfs, {"/d"}, {{"/d/f", 100}});
  const std::string image = inputs_.imagePath;
  peer_->beforeReply = [&image](std::uint8_t code) {
    if (code == 0xDD) std::filesystem::resize_file(image, 10);
  };
  EXPECT_FALSE(Run());
  EXPECT_TRUE(
      Log().ends_with("     Wrt.file \"/d/f\" (100 bytes)...      Send tfs file data fail!\n"))
      << Log();
  // The file record, then the chunk's code and nothing after it (tags counted from here).
  Bytes tail;
  Code(tail, 0xDD);
  Name(tail, "/d/f");
  tail.insert(tail.end(), {0, 0, 0, 100});
  Code(tail, 0xFE);
  const Bytes raw = peer_->Raw();
  ASSERT_GE(raw.size(), tail.size());
  EXPECT_EQ(Masked(Bytes(raw.end() - static_cast<std::ptrdiff_t>(tail.size()), raw.end())),
            Masked(tail));
}

INSTANTIATE_TEST_SUITE_P(Links, LineBytesTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Usb" : "Uart";
                         });

TEST_F(FileSystemDownloadTest, Db2SaysDb2ExceptInTheSharedLines) {
  Open(false);
  WriteImage(FileSystemKind::Db2, {"/db"}, {{"/db/x", 10}});
  ASSERT_TRUE(Run());
  const std::string log = Log();
  EXPECT_EQ(log.rfind("     DB2 Format...     OK\n"
                      "     ** Mounting DB2 system... \n     ** Start Downloading DB2 file **\n",
                      0),
            0u);
  EXPECT_NE(log.find("     TFS time set OK!\r\n"), std::string::npos);
  EXPECT_NE(log.find("     Writing a TFS Version...\n "), std::string::npos);
  EXPECT_NE(log.find("     Unmounting TFS!OK!\r\n"), std::string::npos);
  EXPECT_EQ(Chunks().first, imageBytes_);
}

TEST_F(FileSystemDownloadTest, AMissingListingOrImageIsNamed) {
  Open(false);
  WriteImage(FileSystemKind::Db2, {"/db"}, {{"/db/x", 10}});
  const std::string listing = inputs_.listingPath;
  std::filesystem::remove(listing);
  Listing loaded;
  EXPECT_FALSE(LoadListing(harness_->Context(), inputs_, loaded));
  EXPECT_EQ(MessageBoxes().back(), "Fail to open " + listing);

  inputs_.imagePath = (folder_ / "absent.db2").string();
  EXPECT_FALSE(LoadListing(harness_->Context(), inputs_, loaded));
  EXPECT_EQ(MessageBoxes().back(), "Fail to open " + inputs_.imagePath);
}

TEST_F(FileSystemDownloadTest, FormatErrorReportIsShownAndNothingFollows) {
  const struct {
    FileSystemKind kind;
    Bytes report;
    std::string log;
    std::string shown;
  } reports[] = {
      {FileSystemKind::Tfs,
       {0x03, 0x00, 0x00, 0x00, 0x11},
       "     TFS Format...    FAIL\n",
       "Funccode(0x3)->Errorcode (0x11)"},
      {FileSystemKind::Db2,
       {0x85, 0x00, 0x00, 0x01, 0x02},
       "     DB2 Format...    FAIL\n",
       "Funccode(0x85)->Errorcode (0x102)"},
  };
  Open(false);
  for (const auto& r : reports) {
    WriteImage(r.kind, {"/d"}, {{"/d/f", 1}});
    peer_ = std::make_unique<FsPeer>(pty_, false);
    Bytes reply = {0xF2};
    reply.insert(reply.end(), r.report.begin(), r.report.end());
    peer_->replies[0xE0] = reply;
    EXPECT_FALSE(Run());
    EXPECT_EQ(Log(), r.log);
    EXPECT_EQ(MessageBoxes().back(), "\n     Format Error!\n " + r.shown + "\r\n");
    EXPECT_EQ(peer_->Codes(), Bytes{0xE0});
    EXPECT_EQ(step_, static_cast<int>(FsStep::Ended));
  }
}

// Listings refused at load, whatever the reason: the port is never opened, so the phone keeps
// the file system the last good download left it, and the box names the first bad entry.
TEST_F(FileSystemDownloadTest, RefusedListingsSendNothing) {
  struct Refused {
    std::vector<std::string> dirs;
    std::vector<ListedFile> files;
    std::int64_t sizeSkew;
    std::string listing;  // written over the made one when not empty
    std::string message;
  };
  const std::string version = std::string("TFSVERSION : ") + kVersion + "\r\n";
  std::vector<Refused> cases = {
      {{"/d"}, {{"/d/f", 8193}}, -1, "", "TFS file size mismatched!!!"},
      {{"/d"}, {{"/d/f", 8193}}, 1, "", "TFS file size mismatched!!!"},
      {{}, {{"/f", 3}}, 0, "", "No DIR_NAME entry in cfg file"},
      {{"/d"},
       {{"/d/short", 4}, {"/" + std::string(499, 'n'), 2}},  // 500 bytes, 501 with the zero
       0,
       "",
       "The FILE_NAME \"/" + std::string(59, 'n') +
           "...\" is too long in cfg file (500 bytes, at most 499)"},
      {{"/sys"},
       {{"/sys/a", 10}},
       0,
       version + "\nDIR_NAME : /sys\nFILE_NAME : /sys/a\nFILE_SIZE : 10\n",
       "Line feed without carriage return after DIR_NAME \"/sys\" in cfg file (lines end in CR "
       "LF)"},
      {{"/sys"},
       {{"/sys/a", 10}},
       0,
       version + "DIR_NAME : /sys\r\nFILE_NAME : /sys/a" + std::string(1, '\0') +
           "\r\nFILE_SIZE : 10\r\n",
       "The FILE_NAME \"/sys/a\\0\" holds a NUL byte in cfg file"},
  };
  if (!NameConverter().ToUtf8("\xFF")) {
    cases.push_back({{"/bad\xFF"},
                     {{"/f", 1}},
                     0,
                     "",
                     "The DIR_NAME \"/bad\\xFF\" cannot be converted from " +
                         NameConverter::LocaleCharset() + " to UTF-8 in cfg file"});
  }
  if (NameConverter::LocaleCharset() == "UTF-8") {
    // 240 two-byte letters and six ASCII ones: 486 bytes, one more than a directory name holds.
    std::string tooLong;
    for (int i = 0; i < 240; ++i) tooLong += "\xC3\xA9";
    std::string shown;
    for (int i = 0; i < 30; ++i) shown += "\xC3\xA9";
    cases.push_back(
        {{"/ok", tooLong + "/abcde"},
         {{"/f", 1}},
         0,
         "",
         "The DIR_NAME \"" + shown + "...\" is too long in cfg file (486 bytes, at most 485)"});
  }
  Open(false);
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.message);
    WriteImage(FileSystemKind::Tfs, c.dirs, c.files, true, c.sizeSkew);
    if (!c.listing.empty()) std::ofstream(inputs_.listingPath, std::ios::binary) << c.listing;
    peer_ = std::make_unique<FsPeer>(pty_, false);
    EXPECT_FALSE(Run());
    EXPECT_EQ(MessageBoxes().back(), c.message);
    EXPECT_TRUE(peer_->Raw().empty());
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(step_, static_cast<int>(FsStep::Ended));
  }
}

// Files that are no listing: each is refused at once, without reading it or waiting on it.
TEST_F(FileSystemDownloadTest, ListingsAndImagesThatAreNoRegularFilesAreRefused) {
  Open(false);
  const auto cfg = folder_ / "phone.rel.cfg";
  const auto image = folder_ / "phone.rel.tfs";
  const auto prepare = [&] {
    std::filesystem::remove_all(cfg);  // never write into a FIFO left by the case before
    WriteImage(FileSystemKind::Tfs, {"/d"}, {{"/d/f", 1}});
    peer_ = std::make_unique<FsPeer>(pty_, false);
  };
  const auto expectRefused = [&](const std::string& message) {
    EXPECT_FALSE(Run());
    EXPECT_EQ(MessageBoxes().back(), message);
    EXPECT_TRUE(peer_->Raw().empty());
    EXPECT_EQ(Log(), "");
  };

  prepare();
  std::filesystem::remove(cfg);
  std::filesystem::create_directory(cfg);
  expectRefused("Fail to open " + cfg.string() + ": not a regular file");

  prepare();
  std::filesystem::remove_all(cfg);
  ASSERT_EQ(mkfifo(cfg.c_str(), 0600), 0);
  expectRefused("Fail to open " + cfg.string() + ": not a regular file");

  prepare();
  inputs_.listingPath = "/dev/zero";
  expectRefused("Fail to open /dev/zero: not a regular file");

  // A sparse file just over the limit: refused by its size, not read.
  prepare();
  std::filesystem::resize_file(cfg, MAX_LISTING_BYTES + 1);
  expectRefused("Fail to read " + cfg.string() + ": larger than the cfg file limit of " +
                std::to_string(MAX_LISTING_BYTES) + " bytes");

  prepare();
  std::filesystem::remove(image);
  ASSERT_EQ(mkfifo(image.c_str(), 0600), 0);
  expectRefused("Fail to open " + image.string() + ": not a regular file");
}

struct Fault {
  std::uint8_t code;         // the command whose answer goes wrong
  Bytes reply;               // what the phone answers instead
  std::string logTail;       // the one report
  std::size_t commandsSent;  // commands the phone received in all
};

class ReplyFaultTest : public FileSystemDownloadTest,
                       public ::testing::WithParamInterface<Fault> {};

TEST_P(ReplyFaultTest, AWrongReplyEndsWithItsLineAndSendsNothingMore) {
  const Fault& fault = GetParam();
  Open(false);
  WriteImage(FileSystemKind::Tfs, {"/d"}, {{"/d/f", 8192}});
  peer_->replies[fault.code] = fault.reply;
  EXPECT_FALSE(Run());
  const std::string log = Log();
  ASSERT_GE(log.size(), fault.logTail.size());
  EXPECT_EQ(log.substr(log.size() - fault.logTail.size()), fault.logTail) << log;
  EXPECT_EQ(peer_->Codes().size(), fault.commandsSent);
  EXPECT_EQ(step_, static_cast<int>(FsStep::Ended));
  EXPECT_FALSE(Port().IsPortOpen());
}

// Commands of a healthy session here: E0 DA C9 C4 DB E3 F5 DD FE FE C5 E4.
INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyFaultTest,
    ::testing::Values(
        Fault{0xE0, {0x00}, "     TFS Format...   unknown command has come!\n", 1},
        Fault{0xDA, {0x12}, "     Mount Fail! (0x12)\n", 2},
        Fault{0xC9, {0xC8}, "     Write nand checksum Error! (0xC8)\n", 3},
        Fault{0xDB, {0x00}, "     Cr.dir \"/d\"... \nFail! (in sending name)\r\n", 5},
        Fault{0xE3, {0xE4}, "     Release Version Fail! (0xE4)\r\n", 6},
        Fault{0xF5, {0x01}, "     Project Version Fail! (0x1)\r\n", 7},
        Fault{0xC5, {0xC6}, "     Complete nand!\r\n     Writing NAND Fail! \r\n", 11},
        Fault{0xE4, {0xE5}, "     Unmounting TFS!     Unmounting Error!(0xE5)\n", 12}),
    [](const ::testing::TestParamInfo<Fault>& param) {
      return "WrongReplyTo" + std::to_string(param.param.code);
    });

TEST_F(FileSystemDownloadTest, DirectoryCreationAndChunkFaults) {
  Open(false);
  WriteImage(FileSystemKind::Tfs, {"/d"}, {{"/d/f", 8192}});
  // The echo sum is right but the creation fails.
  const Bytes record = {0x00, 0x03, '/', 'd', 0x00};
  const auto sum = static_cast<std::uint8_t>(0x03 + '/' + 'd');
  ASSERT_EQ(record.size(), 5u);
  peer_->replies[0xDB] = {sum, 0x77};
  EXPECT_FALSE(Run());
  EXPECT_TRUE(Log().ends_with("Create DIR Fail! (0x77)\r\n"));

  peer_ = std::make_unique<FsPeer>(pty_, false);
  peer_->chunkReplies[0] = {0x5A};
  EXPECT_FALSE(Run());
  EXPECT_TRUE(
      Log().ends_with("     Wrt.file \"/d/f\" (8192 bytes)... "
                      "     checksum mismatched!(5a) \r\n"));
  EXPECT_EQ(peer_->Codes().back(), 0xFE);

  peer_ = std::make_unique<FsPeer>(pty_, false);
  peer_->chunkReplies[1] = {0xDE};
  EXPECT_FALSE(Run());
  EXPECT_TRUE(Log().ends_with("Writing error(0xDE)\r\n"));

  peer_ = std::make_unique<FsPeer>(pty_, false);
  peer_->replies[0xDD] = {0x00};
  EXPECT_FALSE(Run());
  EXPECT_NE(Log().find("Fail!(0:"), std::string::npos);
  EXPECT_TRUE(Log().ends_with(") (in sending name and size)\r\n"));
}

// A phone that stops reading just after it has answered one command: the line fills up and
// every later write stalls. The line that ends the download tells which of the next command's
// pieces were judged: the code of a time record or a chunk is, the code and length bytes of a
// directory record are not (its name is), and nothing of a file record is, so that download
// goes on to wait for the echo.
struct Stall {
  std::uint8_t code;  // the last command the phone reads
  Bytes reply;        // its healthy answer
  std::string logTail;
};

class StalledLineTest : public FileSystemDownloadTest, public ::testing::WithParamInterface<Stall> {
 protected:
  // Fills the line from a second descriptor of the port's device until it takes no more, even
  // after the kernel has had time to move what it holds along, nor a single byte more.
  void FillLine() const {
    const int fd = open(pty_.SlavePath().c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const Bytes junk(4096, 0x00);
    std::size_t total = 0;
    for (std::size_t piece : {std::size_t{4096}, std::size_t{1}}) {
      for (int idle = 0; idle < 3 && total < (1u << 22);) {
        const ssize_t n = write(fd, junk.data(), piece);
        if (n > 0) {
          total += static_cast<std::size_t>(n);
          idle = 0;
        } else {
          ++idle;
          std::this_thread::sleep_for(5ms);
        }
      }
    }
    close(fd);
    ASSERT_LT(total, 1u << 22);
  }
  void DrainLine() const {
    std::uint8_t sink[4096];
    pollfd p{pty_.Master(), POLLIN, 0};
    while (poll(&p, 1, 50) > 0 && read(pty_.Master(), sink, sizeof sink) > 0) {
    }
  }
};

TEST_P(StalledLineTest, TheFirstJudgedPieceThatStallsNamesTheFailure) {
  const Stall& stall = GetParam();
  Open(false);
  Port().writeTimeout = 5ms;
  Port().writeStallTimeout = 20ms;
  harness_->link.replyTimeout = 300ms;  // covers the filling too
  WriteImage(FileSystemKind::Tfs, {"/d", "/d/e"}, {{"/d/f", 10}});
  peer_->replies[stall.code] = {};  // answered below, once the line is full
  peer_->beforeReply = [this, &stall](std::uint8_t code) {
    if (code != stall.code) return;
    FillLine();
    pty_.Send(stall.reply);
    // The PC gives up within a few stall time-outs; the line is emptied only then, so that
    // nothing it sends after a failure can arrive.
    std::this_thread::sleep_for(900ms);
    DrainLine();
  };
  EXPECT_FALSE(Run());
  EXPECT_TRUE(Log().ends_with(stall.logTail)) << Log();
  EXPECT_FALSE(Port().IsPortOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, StalledLineTest,
    ::testing::Values(
        Stall{0xC9, {0xC9}, "OK!\r\n     Send set tfs time command fail!\n"},
        Stall{0xDB,
              {static_cast<std::uint8_t>(0x03 + '/' + 'd'), 0xDC},
              "     Cr.dir \"/d/e\"... \n     Send tfs dir name fail!\n"},
        Stall{0xF5,
              {0xE3},
              "     Wrt.file \"/d/f\" (10 bytes)... \r\nNo answer from the phone for 300 ms "
              "(waiting for the file name echo)\r\n"},
        Stall{0xDD,
              {static_cast<std::uint8_t>(0x05 + '/' + 'd' + '/' + 'f' + 10)},
              "     Wrt.file \"/d/f\" (10 bytes)...      Send create file cont check command "
              "fail!\n"}),
    [](const ::testing::TestParamInfo<Stall>& param) {
      return "After" + std::to_string(param.param.code);
    });

TEST_F(FileSystemDownloadTest, DirectoryNamesUpTo486Utf8BytesWithTheirZero) {
  if (NameConverter::LocaleCharset() != "UTF-8") GTEST_SKIP() << "needs a UTF-8 locale";
  // 240 two-byte letters and five ASCII ones: 485 bytes and the zero.
  std::string fits;
  for (int i = 0; i < 240; ++i) fits += "\xC3\xA9";
  fits += "/abcd";
  ASSERT_EQ(fits.size(), 485u);

  Open(false);
  WriteImage(FileSystemKind::Tfs, {fits}, {{"/f", 1}});
  ASSERT_TRUE(Run());
  const auto commands = peer_->Commands();
  ASSERT_GE(commands.size(), 5u);
  EXPECT_EQ(commands[4].args.size(), 2u + 486u);
}

// A withheld reply ends the download without waiting out the read time-out's 255-factor
// allowance (hours for a slow rate): with no read time at all the run stops at the step line,
// and with the reply time-out it ends in moments and names the reply that never came.
TEST_F(FileSystemDownloadTest, SilentPhoneEndsAtTheReadOrReplyTimeOut) {
  struct Silence {
    std::uint8_t withheld;
    std::chrono::milliseconds readTotal;
    std::chrono::milliseconds replyTimeout;  // zero: none
    std::string log;
  };
  const std::vector<Silence> cases = {
      {0xE0, 0ms, 0ms, "     TFS Format..."},
      {0xDA, 1ms, 100ms,  // the factor alone: 51 s
       "     ** Start Downloading TFS file **\n"
       "\r\nNo answer from the phone for 100 ms (waiting for the mount reply)\r\n"},
  };
  for (const Silence& silence : cases) {
    Open(false);
    Port().readTotalTimeout = silence.readTotal;
    if (silence.replyTimeout.count() > 0) harness_->link.replyTimeout = silence.replyTimeout;
    WriteImage(FileSystemKind::Tfs, {"/d"}, {{"/d/f", 1}});
    peer_->replies[silence.withheld] = {};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(Run());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_TRUE(Log().ends_with(silence.log)) << Log();
    if (silence.replyTimeout.count() == 0) {
      EXPECT_EQ(Log(), silence.log);
      EXPECT_TRUE(MessageBoxes().empty());
    }
    EXPECT_FALSE(Port().IsPortOpen());
  }
}

// The Format button: one bare byte on both links, one reply byte.
class FormatButtonTest : public FileSystemDownloadTest {
 protected:
  std::string Press(bool usb, Bytes reply) {
    Open(usb);
    std::jthread phone([&] {
      received_ = pty_.Receive(1, 2000ms);
      pty_.Send(reply);
      // Anything more than the one byte would be a fault.
      const Bytes more = pty_.Receive(1, 100ms);
      received_.insert(received_.end(), more.begin(), more.end());
    });
    result_ = Format();
    phone.join();
    return Log();
  }
  Bytes received_;
  FormatResult result_ = FORMAT_STOPPED;
};

TEST_F(FormatButtonTest, SendsABareFormatOnBothLinks) {
  for (bool usb : {false, true}) {
    EXPECT_EQ(Press(usb, {0xE1}),
              "\n\n  * TFS format\n     Formatting TFS system..\t\t\t> > > OK!\n");
    EXPECT_EQ(received_, Bytes{0xE0});
    EXPECT_EQ(result_, FORMAT_OK);
    EXPECT_FALSE(Port().IsPortOpen());
  }
  EXPECT_TRUE(Press(false, {0xF2}).ends_with("> > > Fail!\n"));
  EXPECT_EQ(result_, FORMAT_REFUSED);
}

// Without a read time the step line stays last; with the reply time-out (the factor alone would
// wait 12 s) the line that follows names the format reply.
TEST_F(FormatButtonTest, SilentPhoneEndsAtTheReadOrReplyTimeOut) {
  const std::string step = "\n\n  * TFS format\n     Formatting TFS system..\t\t\t> > > ";
  Open(false);
  Port().readTotalTimeout = 0ms;
  EXPECT_EQ(Format(), FORMAT_NO_REPLY);
  EXPECT_EQ(Log(), step);
  EXPECT_EQ(pty_.Receive(2, 100ms), Bytes{0xE0});
  EXPECT_FALSE(Port().IsPortOpen());

  Open(false);
  Port().readTotalTimeout = 2ms;
  harness_->link.replyTimeout = 100ms;
  EXPECT_EQ(Format(), FORMAT_NO_REPLY);
  EXPECT_EQ(Log(),
            step + "\r\nNo answer from the phone for 100 ms (waiting for the format reply)\r\n");
}

TEST_F(FormatButtonTest, StopsBeforeThePortWithoutARateOrADevice) {
  Open(false);
  Port().baudCode = 0x42;
  EXPECT_EQ(Format(), FORMAT_STOPPED);
  EXPECT_EQ(Log(), "");
  EXPECT_TRUE(pty_.Receive(1, 50ms).empty());

  Port().baudCode = 0x88;
  Port().portName = (folder_ / "no-such-device").string();
  EXPECT_EQ(Format(), FORMAT_OPEN_FAILED);
  EXPECT_EQ(MessageBoxes().back(), "Comport Open error!");
  EXPECT_EQ(Log(), "");
}

}  // namespace
}  // namespace veska::fs

namespace veska::fs {
namespace {

// The whole road against the virtual phone: START, then the file-system download, and what
// the phone's file system holds afterwards.
class VirtualPhoneLinkTest : public FileSystemDownloadTest,
                             public ::testing::WithParamInterface<bool> {
 protected:
  void Connect(bool usb) {
    sim::PhoneOptions options;
    if (usb) options.linkPath = (folder_ / "ttyACM-phone").string();
    connected_.Connect(options, usb, usb ? 3 : 2);
    harness_ = std::move(connected_.harness);
    phone_ = connected_.phone.get();
  }
  sim::VirtualPhone* phone_ = nullptr;

  void ExpectWritten(const std::vector<ListedFile>& files) {
    const sim::TfsContents fs = phone_->FileSystem();
    EXPECT_TRUE(fs.complete);
    EXPECT_TRUE(fs.directories.contains("/sys"));
    ASSERT_TRUE(fs.version.has_value());
    EXPECT_EQ(Bytes(fs.version->begin(), fs.version->end()), Bytes(kVersion, kVersion + 16));
    std::size_t offset = 0;
    for (const ListedFile& f : files) {
      ASSERT_TRUE(fs.files.contains(f.name)) << f.name;
      EXPECT_EQ(fs.files.at(f.name).bytes,
                Bytes(imageBytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                      imageBytes_.begin() + static_cast<std::ptrdiff_t>(offset + f.size)));
      offset += f.size;
    }
  }
};

TEST_P(VirtualPhoneLinkTest, EveryFileReachesThePhone) {
  const bool usb = GetParam();
  const std::vector<ListedFile> files = {
      {"/sys/empty", 0}, {"/sys/a", 8192}, {"/sys/b", 8193}, {"/sys/c", 16384}};
  Connect(usb);
  WriteImage(FileSystemKind::Tfs, {"/sys"}, files, /*release=*/usb);
  EXPECT_TRUE(Download()) << Log();
  EXPECT_TRUE(Log().ends_with("     Complete nand!\r\n     Unmounting TFS!OK!\r\n")) << Log();
  ExpectWritten(files);
  EXPECT_EQ(phone_->FileSystem().releaseVersion.has_value(), usb);
  EXPECT_FALSE(sim::HasEvent(phone_->Events(), sim::EventKind::Violation));
}

INSTANTIATE_TEST_SUITE_P(Links, VirtualPhoneLinkTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Usb" : "Uart";
                         });

}  // namespace
}  // namespace veska::fs
