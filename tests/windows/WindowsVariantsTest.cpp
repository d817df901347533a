// What differs on Windows: names converted through the ANSI code page, the settings file under
// %APPDATA%, files read in binary mode, and the records' database under such names. Run under
// wine, whose ANSI code page is 1252.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "download/ImageCatalogue.h"
#include "explorer/ExplorerNames.h"
#include "fs/Charset.h"
#include "fs/Listing.h"
#include "fs/NameConverter.h"
#include "link/Crc32.h"
#include "link/FilePath.h"
#include "payloads/PayloadSet.h"
#include "records/Stores.h"
#include "ui/FileSearch.h"

namespace veska {
namespace {

namespace fsys = std::filesystem;

fsys::path ScratchFolder(const std::string& name) {
  const fsys::path folder = fsys::temp_directory_path() / ("veska-win-" + name);
  fsys::remove_all(folder);
  fsys::create_directories(folder);
  return folder;
}

TEST(WindowsNames, ListingNamesComeFromTheAnsiCodePage) {
  EXPECT_EQ(fs::SystemCharset(), "CP1252");
  fs::NameConverter converter;
  ASSERT_TRUE(converter.Valid());
  // "Grüße" in code page 1252, and the euro sign, which Latin-1 lacks.
  EXPECT_EQ(converter.ToUtf8("Gr\xFC\xDF"
                             "e"),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(converter.ToUtf8("\x80"), "\xE2\x82\xAC");
  EXPECT_EQ(converter.ToUtf8(""), "");
}

TEST(WindowsNames, CharactersWithoutAFormAreRefusedNotReplaced) {
  explorer::ExplorerNames names("CP1252");
  // Hangul has no form in 1252; "a" with macron would be "best fit" to a plain "a".
  EXPECT_FALSE(names.FromUtf8("\xED\x95\x9C"));
  EXPECT_FALSE(names.FromUtf8("\xC4\x81"));
  // Bytes that are not UTF-8 at all.
  EXPECT_FALSE(names.FromUtf8("\xC3"));
  EXPECT_FALSE(names.FromUtf8("\xFF\xFE"));
  // A name that has a form goes both ways, the zero included on the way to the phone; only the
  // terminating zero goes, one inside the name is kept (and shown escaped).
  EXPECT_EQ(names.FromUtf8(std::string("M\xC3\xBCller\0rest\0", 13)),
            std::string("M\xFCller\0rest", 11));
  EXPECT_EQ(names.ToUtf8("M\xFCller"), std::string("M\xC3\xBCller\0", 8));
  // Double-byte code pages work the same way: Korean (949) through UTF-16.
  explorer::ExplorerNames korean("CP949");
  EXPECT_EQ(korean.FromUtf8("\xED\x95\x9C"), "\xC7\xD1");
  EXPECT_EQ(korean.ToUtf8("\xC7\xD1"), std::string("\xED\x95\x9C\0", 4));
}

TEST(WindowsNames, UnknownCharacterSetsAreNotValid) {
  EXPECT_FALSE(fs::CharsetConversion("UTF-8", "NO-SUCH-SET").Valid());
  EXPECT_FALSE(fs::CharsetConversion("UTF-8", "CP99999").Valid());
  EXPECT_FALSE(fs::CharsetConversion("UTF-8", "CP12x").Valid());
  EXPECT_FALSE(fs::CharsetConversion("UTF-8", "NO-SUCH-SET").Convert("a"));
  EXPECT_TRUE(fs::CharsetConversion("UTF-8", "ISO-8859-1").Valid());
}

TEST(WindowsSettings, TheSettingsFileLivesUnderAppData) {
  const std::string saved = std::getenv("APPDATA") != nullptr ? std::getenv("APPDATA") : "";
  _putenv_s("APPDATA", "C:\\Users\\tech\\AppData\\Roaming");
  EXPECT_EQ(app::UserSettingsFile("VeskaDownloader"),
            fsys::path("C:\\Users\\tech\\AppData\\Roaming\\VeskaDownloader\\VeskaDownloader.INI"));
  _putenv_s("APPDATA", "");
  EXPECT_TRUE(app::UserSettingsFile("VeskaDownloader").empty());
  _putenv_s("APPDATA", saved.c_str());
}

TEST(WindowsFiles, FilesAreReadByteForByte) {
  // Text mode would drop the CR of CR LF and stop at the first 0x1A.
  const fsys::path folder = ScratchFolder("files");
  const std::string bytes(
      "A\r\nB\x1A"
      "C\r\n\0D",
      10);
  const fsys::path file = folder / "listing.cfg";
  std::ofstream(file, std::ios::binary) << bytes;
  std::string text;
  int error = 0;
  ASSERT_EQ(fs::ReadRegularFile(file.string(), 1024, text, error), fs::FileStatus::Ok);
  EXPECT_EQ(text, bytes);

  // A payload file is read whole too: the stand-in's own bytes, put in a folder, are taken.
  const std::span<const std::uint8_t> standIn =
      payloads::StandIn(payloads::PayloadId::NandFlashDriver);
  std::ofstream(folder / "NandFlashDriver.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(standIn.data()),
             static_cast<std::streamsize>(standIn.size()));
  const payloads::PayloadSet set = payloads::PayloadSet::Load(folder);
  EXPECT_EQ(set.Source(payloads::PayloadId::NandFlashDriver), payloads::PayloadSource::RealFile);
  const std::span<const std::uint8_t> loaded = set.Bytes(payloads::PayloadId::NandFlashDriver);
  EXPECT_TRUE(std::equal(loaded.begin(), loaded.end(), standIn.begin(), standIn.end()));
  fsys::remove_all(folder);
}

// A release in a folder whose name the ANSI code page cannot hold (Korean) or holds otherwise
// than UTF-8 ("Prüfung"): the program holds its names in UTF-8, and every file it opens there
// is found by its UTF-16 name.
TEST(WindowsFiles, FilesInFoldersOfAnyNameOpen) {
  for (const std::string name : {"Pr\xC3\xBC"
                                 "fung",
                                 "\xEC\x8B\x9C\xED\x97\x98 \xED\x8F\xB4\xEB\x8D\x94"}) {
    const std::string folder = link::Utf8Of(ScratchFolder("names")) + "\\" + name;
    ASSERT_TRUE(fsys::create_directories(link::PathOf(folder))) << name;
    const std::string image = folder + "\\FUSE_APPS.img";
    const std::string bytes(5000, '\x5A');
    std::ofstream(link::PathOf(image), std::ios::binary) << bytes;

    EXPECT_EQ(download::FileSizeOf(image), bytes.size()) << name;
    link::Crc32Table table;
    table.BuildCrc32Table();
    EXPECT_TRUE(link::FileCrc32(table, link::PathOf(image)).opened) << name;
    std::uint64_t length = 0;
    int error = 0;
    EXPECT_EQ(fs::RegularFileLength(image, length, error), fs::FileStatus::Ok) << name;
    EXPECT_EQ(length, bytes.size());
    EXPECT_EQ(ui::FindFirstMatchingFile(folder + "\\*.img"), image) << name;
    fs::FileStatus status = fs::FileStatus::Ok;
    {
      const fs::UniqueFile dump = fs::CreateRegularFile(folder + "\\dump.bin", status, error);
      EXPECT_TRUE(dump != nullptr) << name;
    }
    EXPECT_TRUE(fsys::exists(link::PathOf(folder + "\\dump.bin"))) << name;
    {
      app::Settings settings(link::PathOf(folder + "\\VeskaDownloader.INI"));
      settings.WriteString("APPS", image);
    }
    EXPECT_EQ(app::Settings(link::PathOf(folder + "\\VeskaDownloader.INI")).GetString("APPS"),
              image);
    // A loader payload there is taken, and its folder named as it is, not in the ANSI code
    // page's form.
    const std::span<const std::uint8_t> standIn =
        payloads::StandIn(payloads::PayloadId::NandFlashDriver);
    std::ofstream(link::PathOf(folder + "\\NandFlashDriver.bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(standIn.data()),
               static_cast<std::streamsize>(standIn.size()));
    const payloads::PayloadSet set = payloads::PayloadSet::Load(link::PathOf(folder));
    EXPECT_EQ(set.Source(payloads::PayloadId::NandFlashDriver), payloads::PayloadSource::RealFile);
    EXPECT_NE(set.Describe().find(name), std::string::npos) << set.Describe();
    fsys::remove_all(link::PathOf(folder));
  }
}

// Beside the program first, then the machine's ProgramData folder that every user reads.
TEST(WindowsFiles, RealPayloadsAreLookedForBesideTheProgramThenInProgramData) {
  const fsys::path folder = payloads::DefaultPayloadFolder();
  EXPECT_EQ(folder.filename(), "payloads");
  EXPECT_TRUE(fsys::exists(folder.parent_path() / "veska_windows_tests.exe")) << folder;
  const std::vector<fsys::path> folders = payloads::PayloadFolders();
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0], folder);
  const wchar_t* data = _wgetenv(L"ProgramData");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(folders[1], fsys::path(data) / L"VeskaDownloader" / L"payloads");
  EXPECT_TRUE(payloads::DescribeFolders(folders).ends_with(
      ", then C:\\ProgramData\\VeskaDownloader\\payloads"))
      << payloads::DescribeFolders(folders);
}

TEST(WindowsRecords, ARecordIsKeptAndReadUnderAnAnsiFolderName) {
  // "Prüfstand": SQLite takes names in UTF-8, which is what the program's paths give as text
  // here; a file made under another name would be a second, empty database.
  const fsys::path folder = ScratchFolder("records") /
                            "Pr\xFC"
                            "fstand";
  fsys::create_directories(folder);
  const fsys::path path = folder / "veska-records.db";
  const std::string file = path.string();
  records::Record record;
  record.id = "bench-1-0001";
  record.station = "bench-1";
  record.port = "COM7";
  record.started = record.ended = "2026-12-09T10:00:00Z";
  record.result = "passed";
  record.images = {{"APPS", "C:\\rel\\APPS.img", 4096, 0x1234ABCDu, 0x00C00000u, 1.5, true, true}};
  {
    const std::unique_ptr<records::Store> store = records::MakeSqliteStore(file);
    ASSERT_EQ(store->Open(), records::RECORDS_OK) << store->Problem();
    ASSERT_EQ(store->Put(record), records::RECORDS_OK) << store->Problem();
  }
  ASSERT_TRUE(fsys::exists(path));

  // A copy handed round read-only is still read.
  ASSERT_NE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY), 0);
  const std::unique_ptr<records::Store> reader = records::MakeSqliteStore(file);
  std::vector<records::Record> read;
  ASSERT_EQ(reader->Read({}, read), records::RECORDS_OK) << reader->Problem();
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].id, record.id);
  ASSERT_EQ(read[0].images.size(), 1u);
  EXPECT_EQ(read[0].images[0].path, "C:\\rel\\APPS.img");
  EXPECT_EQ(read[0].images[0].crc32, 0x1234ABCDu);
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace veska
