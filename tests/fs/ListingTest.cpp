#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/Listing.h"
#include "fs/NameConverter.h"

namespace veska::fs {
namespace {

using namespace std::string_literals;

const std::string kVersion = "TFSVERSION : V1.67-QX7430-0001\r\n";  // 16 bytes after the key

// Loads with names read as UTF-8 (or `charset`), whatever the test's locale.
std::string Load(Listing& listing, const std::string& text, std::uint64_t image,
                 const std::string& charset = "UTF-8") {
  NameConverter converter(charset);
  return listing.Load(text, image, converter);
}

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
  ASSERT_EQ(Load(listing, text, 0), "");
  EXPECT_EQ(std::string(listing.tfsVersion.begin(), listing.tfsVersion.end()), "V1.67-QX7430-000");
  EXPECT_FALSE(listing.hasReleaseVersion);
  EXPECT_EQ(Names(listing, true), "/a/f:0;");
}

TEST(Listing, ShortVersionsCarryTheLineEndAndFieldsNeverReadPastTheText) {
  Listing listing;
  const std::string body = "DIR_NAME : d\r\nFILE_NAME : f\r\nFILE_SIZE : 3\r\n";
  ASSERT_EQ(
      Load(listing, body + "TFSRELEASEVERSION : R1\r\nX\r\nTFSVERSION : v2\r\nABCDEFGHIJK", 3), "");
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
  EXPECT_EQ(Load(listing, text, 16385), "");
  EXPECT_EQ(Load(listing, text, 16384), "TFS file size mismatched!!!");
  EXPECT_EQ(Load(listing, text, 16386), "TFS file size mismatched!!!");
  // A sum beyond 32 bits is a mismatch, not a wrapped value that happens to match.
  const std::string huge = kVersion +
                           "DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 4294967295\r\n"
                           "FILE_NAME : /d/b\r\nFILE_SIZE : 1\r\n";
  EXPECT_EQ(Load(listing, huge, 0), "TFS file size mismatched!!!");
  const std::string oneHuge =
      kVersion + "DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 99999999999\r\n";
  EXPECT_EQ(Load(listing, oneHuge, 99999999999ull), "TFS file size mismatched!!!");
}

TEST(Listing, DirectoriesComeFirstThenFilesEachInListingOrder) {
  const std::string text = kVersion +
                           "FILE_NAME : /one/x\r\nFILE_SIZE : 5\r\n"
                           "DIR_NAME : /one\r\n"
                           "FILE_NAME : /two/y\r\nFILE_SIZE : 0\r\n"
                           "DIR_NAME : /two\r\n"
                           "FILE_NAME : /two/z\r\nFILE_SIZE : 7\r\n";
  Listing listing;
  ASSERT_EQ(Load(listing, text, 12), "");
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
       "Line feed without carriage return after DIR_NAME \"/d\" in cfg file (lines end in CR LF)"},
      {"DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 1\nFILE_NAME : /d/b\r\nFILE_SIZE : 0\r\n",
       1,
       "Line feed without carriage return after the FILE_SIZE of \"/d/a\" in cfg file (lines end "
       "in CR LF)"},
      {"DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 1", 1,
       "No line end after the FILE_SIZE of \"/d/a\" in cfg file"},
      {"DIR_NAME : /d\r\nFILE_SIZE : 1\r\nFILE_NAME : /d/a", 1,
       "No line end after FILE_NAME \"/d/a\" in cfg file"},
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
    EXPECT_EQ(Load(listing, kVersion + c.body, c.image), c.refusal) << c.body;
  }
  Listing listing;
  EXPECT_EQ(Load(listing, "DIR_NAME : /d\r\nFILE_NAME : /d/a\r\nFILE_SIZE : 0\r\n", 0),
            "TFSVERSION not found in cfg file");
  EXPECT_TRUE(listing.text.empty());
}

TEST(Listing, NamesLongerThanTheNameBufferAreNeverCopied) {
  const std::string fits(499, 'a');
  const std::string tooLong(500, 'b');
  Listing listing;
  listing.text = "DIR_NAME : " + fits + "\r\nDIR_NAME : " + tooLong + "\r\nFILE_NAME : " + tooLong +
                 "\r\nFILE_SIZE : 2\r\n";
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

TEST(Listing, EveryNameIsConvertedAtLoadAndTheWalkHandsOutTheUtf8Form) {
  const std::string text = kVersion +
                           "DIR_NAME : /caf\xE9\r\n"
                           "FILE_NAME : /caf\xE9/cr\xE8me\r\nFILE_SIZE : 2\r\n"
                           "FILE_NAME : /plain\r\nFILE_SIZE : 1\r\n";
  Listing listing;
  ASSERT_EQ(Load(listing, text, 3, "ISO-8859-1"), "");
  EXPECT_EQ(listing.NextDirectory().utf8, "/caf\xC3\xA9");
  listing.cursor = 0;
  const Entry first = listing.NextFile();
  EXPECT_EQ(first.name, "/caf\xE9/cr\xE8me");
  EXPECT_EQ(first.utf8, "/caf\xC3\xA9/cr\xC3\xA8me");
  EXPECT_EQ(listing.NextFile().utf8, "/plain");
}

// Every fault the walk would meet with the phone already written to is found at load; the
// message names the first bad entry, shown short and with its control bytes escaped.
TEST(Listing, NamesThePhoneCouldNotTakeAreRefusedWhenLoaded) {
  struct Case {
    std::string body;
    std::string charset;
    std::string refusal;
  };
  const std::string dir485 = "/" + std::string(484, 'd');
  const std::string file499 = "/" + std::string(498, 'f');
  const std::vector<Case> cases = {
      {"DIR_NAME : /a\0b\r\nFILE_NAME : /f\r\nFILE_SIZE : 0\r\n"s, "UTF-8",
       "The DIR_NAME \"/a\\0b\" holds a NUL byte in cfg file"},
      {"DIR_NAME : /d\r\nFILE_NAME : /f\0\x01\r\nFILE_SIZE : 0\r\n"s, "UTF-8",
       "The FILE_NAME \"/f\\0\\x01\" holds a NUL byte in cfg file"},
      // A line with a bare line feed would swallow the next line into the name.
      {"DIR_NAME : /a\nDIR_NAME : /b\r\nFILE_NAME : /f\r\nFILE_SIZE : 0\r\n", "UTF-8",
       "Line feed without carriage return after DIR_NAME \"/a\" in cfg file (lines end in CR LF)"},
      {"DIR_NAME : /d\r\nFILE_NAME : /d/caf\xC3\xA9\r\nFILE_SIZE : 0\r\n", "ANSI_X3.4-1968",
       "The FILE_NAME \"/d/caf\xC3\xA9\" cannot be converted from ANSI_X3.4-1968 to UTF-8 in "
       "cfg file"},
      {"DIR_NAME : /bad\xFF\r\nFILE_NAME : /f\r\nFILE_SIZE : 0\r\n", "UTF-8",
       "The DIR_NAME \"/bad\\xFF\" cannot be converted from UTF-8 to UTF-8 in cfg file"},
      {"DIR_NAME : " + dir485 + "\r\nDIR_NAME : " + dir485 +
           "x\r\nFILE_NAME : /f\r\nFILE_SIZE : 0\r\n",
       "UTF-8",
       "The DIR_NAME \"/" + std::string(59, 'd') +
           "...\" is too long in cfg file (486 bytes, at most 485)"},
      {"DIR_NAME : /d\r\nFILE_NAME : " + file499 + "\r\nFILE_NAME : " + file499 +
           "x\r\nFILE_SIZE : 0\r\n",
       "UTF-8", "No FILE_SIZE after FILE_NAME \"/" + std::string(59, 'f') + "...\" in cfg file"},
      {"DIR_NAME : /d\r\nFILE_NAME : " + file499 + "\r\nFILE_SIZE : 0\r\nFILE_NAME : " + file499 +
           "x\r\nFILE_SIZE : 0\r\n",
       "UTF-8",
       "The FILE_NAME \"/" + std::string(59, 'f') +
           "...\" is too long in cfg file (500 bytes, at most 499)"},
  };
  for (const Case& c : cases) {
    Listing listing;
    EXPECT_EQ(Load(listing, kVersion + c.body, 0, c.charset), c.refusal) << c.body;
  }
}

TEST(Listing, RefusalsOfHugeListingsStayShort) {
  // 20,000 files with bare line feeds: the first name runs to the end of the text.
  std::string lfOnly = "TFSVERSION : V1.67-QX7430-0001\nDIR_NAME : /d\n";
  for (int i = 0; i < 20000; ++i) {
    lfOnly += "FILE_NAME : /d/file" + std::to_string(i) + "\nFILE_SIZE : 0\n";
  }
  Listing listing;
  const std::string refusal = Load(listing, lfOnly + "\r\n", 0);
  EXPECT_EQ(refusal,
            "Line feed without carriage return after DIR_NAME \"/d\" in cfg file (lines end in CR "
            "LF)");
  EXPECT_EQ(Load(listing, lfOnly, 0),
            "Line feed without carriage return after DIR_NAME \"/d\" in cfg file (lines end in CR "
            "LF)");
  std::string noLineEnd = kVersion + "DIR_NAME : /d\r\nFILE_SIZE : 0\r\nFILE_NAME : ";
  noLineEnd += std::string(1 << 20, '\x01');
  const std::string shown = Load(listing, noLineEnd, 0);
  EXPECT_LT(shown.size(), 300u);
  EXPECT_TRUE(shown.starts_with("No line end after FILE_NAME \"\\x01\\x01")) << shown;
}

TEST(Listing, Utf16ListingsAreNamedAsSuch) {
  std::string utf16 = "\xFF\xFE";
  for (char c : kVersion + "DIR_NAME : /d\r\nFILE_NAME : /d/f\r\nFILE_SIZE : 0\r\n") {
    utf16 += c;
    utf16 += '\0';
  }
  Listing listing;
  const std::string refusal = "The cfg file is UTF-16 text, not text in the locale's character set";
  EXPECT_EQ(Load(listing, utf16, 0), refusal);
  EXPECT_EQ(Load(listing, utf16.substr(2), 0), refusal);
  EXPECT_EQ(Load(listing, utf16.substr(3), 7), refusal);
}

TEST(Listing, ShownValuesKeepUtf8AndEscapeTheRest) {
  EXPECT_EQ(ShownValue("/caf\xC3\xA9\t\r\n\x7F\xC3"), "/caf\xC3\xA9\\t\\r\\n\\x7F\\xC3");
  EXPECT_EQ(ShownValue(std::string(60, 'a')), std::string(60, 'a'));
  EXPECT_EQ(ShownValue(std::string(61, 'a')), std::string(60, 'a') + "...");
  // An escape is never cut in two.
  EXPECT_EQ(ShownValue(std::string(58, 'a') + "\x01"), std::string(58, 'a') + "...");
}

}  // namespace
}  // namespace veska::fs
