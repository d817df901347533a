#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/Listing.h"

namespace veska::fs {
namespace {

const std::string kVersion = "TFSVERSION : V1.67-QX7430-0001\r\n";  // 16 bytes after the key

std::string Names(Listing& listing, bool files) {
  std::string out;
  listing.cursor = 0;
  for (Entry e = files ? listing.NextFile() : listing.NextDirectory(); e.kind != EntryKind::None;
       e = files ? listing.NextFile() : listing.NextDirectory()) {
    out += listing.currentName + (files ? ":" + std::to_string(listing.currentSize) : "") + ";";
  }
  return out;
}

TEST(Listing, VersionKeyAtTheFirstByteAndNoReleaseVersion) {
  Listing listing;
  const std::string text = kVersion + "DIR_NAME : /a\r\nFILE_NAME : /a/f\r\nFILE_SIZE : 0\r\n";
  ASSERT_EQ(listing.Load(text, 0), "");
  EXPECT_EQ(std::string(listing.tfsVersion.begin(), listing.tfsVersion.end()), "V1.67-QX7430-000");
  EXPECT_FALSE(listing.hasReleaseVersion);
  EXPECT_EQ(Names(listing, true), "/a/f:0;");
}

TEST(Listing, ShortVersionsCarryTheLineEndAndFieldsNeverReadPastTheText) {
  Listing listing;
  const std::string body = "DIR_NAME : d\r\nFILE_NAME : f\r\nFILE_SIZE : 3\r\n";
  ASSERT_EQ(listing.Load(body + "TFSRELEASEVERSION : R1\r\nX\r\nTFSVERSION : v2\r\nABCDEFGHIJK", 3),
            "");
  ASSERT_TRUE(listing.hasReleaseVersion);
  EXPECT_EQ(std::string(listing.releaseVersion.begin(), listing.releaseVersion.end()),
            std::string("R1\r\nX\r\nTFSVE"));
  // The text ends 13 bytes after the key: the rest of the field is zero, not whatever follows.
  const std::string expected = std::string("v2\r\nABCDEFGHIJK") + '\0';
  EXPECT_EQ(std::string(listing.tfsVersion.begin(), listing.tfsVersion.end()), expected);
}

TEST(Listing, SizesMustAddUpToTheImageExactly) {
  const std::string text = kVersion +
                           "DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 8192\r\n"
                           "FILE_NAME : /d/b\r\nFILE_SIZE : 8193\r\n";
  Listing listing;
  EXPECT_EQ(listing.Load(text, 16385), "");
  EXPECT_EQ(listing.Load(text, 16384), "TFS file size mismatched!!!");
  EXPECT_EQ(listing.Load(text, 16386), "TFS file size mismatched!!!");
  // A sum beyond 32 bits is a mismatch, not a wrapped value that happens to match.
  const std::string huge = kVersion +
                           "DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 4294967295\r\n"
                           "FILE_NAME : /d/b\r\nFILE_SIZE : 1\r\n";
  EXPECT_EQ(listing.Load(huge, 0), "TFS file size mismatched!!!");
  const std::string oneHuge =
      kVersion + "DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 99999999999\r\n";
  EXPECT_EQ(listing.Load(oneHuge, 99999999999ull), "TFS file size mismatched!!!");
}

TEST(Listing, DirectoriesComeFirstThenFilesEachInListingOrder) {
  const std::string text = kVersion +
                           "FILE_NAME : /one/x\r\nFILE_SIZE : 5\r\n"
                           "DIR_NAME : /one\r\n"
                           "FILE_NAME : /two/y\r\nFILE_SIZE : 0\r\n"
                           "DIR_NAME : /two\r\n"
                           "FILE_NAME : /two/z\r\nFILE_SIZE : 7\r\n";
  Listing listing;
  ASSERT_EQ(listing.Load(text, 12), "");
  EXPECT_EQ(listing.cursor, 0u);
  EXPECT_EQ(Names(listing, false), "/one;/two;");
  EXPECT_EQ(Names(listing, true), "/one/x:5;/two/y:0;/two/z:7;");
  // After the last entry the walk starts over.
  EXPECT_EQ(listing.NextDirectory().kind, EntryKind::Found);
  EXPECT_EQ(listing.currentName, "/one");
}

TEST(Listing, ListingsTheWalkCouldNotFinishAreRefusedWhenLoaded) {
  struct Case {
    std::string body;
    std::uint64_t image;
    std::string refusal;
  };
  const std::vector<Case> cases = {
      {"DIR_NAME : /d\r\nFILE_NAME : /d/a\r\n", 0,
       "No FILE_SIZE after FILE_NAME \"/d/a\" in cfg file"},
      {"DIR_NAME : /d\nFILE_NAME : /d/a\nFILE_SIZE : 1\n", 1,
       "No line end after DIR_NAME \"/d\nFILE_NAME : /d/a\nFILE_SIZE : 1\n\" in cfg file"},
      {"DIR_NAME : /d\r\nFILE_SIZE : 1\r\nFILE_NAME : /d/a", 1,
       "No line end after FILE_NAME \"/d/a\" in cfg file"},
      {"DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 1", 1,
       "No line end after the FILE_SIZE of \"/d/a\" in cfg file"},
      {"FILE_NAME : /a\r\nFILE_SIZE : 1\r\n", 1, "No DIR_NAME entry in cfg file"},
      {"DIR_NAME : /d\r\n", 0, "No FILE_NAME entry in cfg file"},
      // Read leniently, "-5" would be a size of about four billion bytes.
      {"DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : -5\r\n", 0,
       "The FILE_SIZE of \"/d/a\" is not a size in cfg file"},
      {"DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE :  7\r\n", 0,
       "The FILE_SIZE of \"/d/a\" is not a size in cfg file"},
      // The first name would take the second's size and the second file would never be sent.
      {"DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_NAME : /d/b\r\nFILE_SIZE : 4\r\n", 4,
       "No FILE_SIZE after FILE_NAME \"/d/a\" in cfg file"},
      // A size outside any file entry would be counted but never written.
      {"DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 1\r\nFILE_SIZE : 2\r\n", 3,
       "TFS file size mismatched!!!"},
  };
  for (const Case& c : cases) {
    Listing listing;
    EXPECT_EQ(listing.Load(kVersion + c.body, c.image), c.refusal) << c.body;
  }
  Listing listing;
  EXPECT_EQ(listing.Load("DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 0\r\n", 0),
            "TFSVERSION not found in cfg file");
  EXPECT_TRUE(listing.text.empty());
}

TEST(Listing, NamesLongerThanTheNameBufferAreNeverCopied) {
  const std::string fits(499, 'a');
  const std::string tooLong(500, 'b');
  const std::string text = kVersion + "DIR_NAME : " + fits + "\r\nDIR_NAME : " + tooLong +
                           "\r\nFILE_NAME : " + tooLong + "\r\nFILE_SIZE : 2\r\n";
  Listing listing;
  ASSERT_EQ(listing.Load(text, 2), "");
  Entry first = listing.NextDirectory();
  EXPECT_EQ(first.kind, EntryKind::Found);
  EXPECT_EQ(listing.currentName, fits);
  Entry second = listing.NextDirectory();
  EXPECT_EQ(second.kind, EntryKind::TooLong);
  EXPECT_EQ(second.name, tooLong);
  EXPECT_EQ(listing.currentName, fits);
  listing.cursor = 0;
  Entry file = listing.NextFile();
  EXPECT_EQ(file.kind, EntryKind::TooLong);
  EXPECT_EQ(file.size, 2u);
  EXPECT_EQ(listing.currentName, fits);
}

}  // namespace
}  // namespace veska::fs
