#include "payloads/PayloadSet.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace veska::payloads {
namespace {

TEST(PayloadSet, StandInsHaveTheSizesAndHeadersOfTheTable) {
  const PayloadSet set;
  for (const auto& spec : kPayloadTable) {
    const auto bytes = set.Bytes(spec.id);
    EXPECT_EQ(bytes.size(), spec.size) << spec.name;
    EXPECT_EQ(PayloadSet::Check(spec, bytes), "") << spec.name;
    EXPECT_EQ(set.Source(spec.id), PayloadSource::StandIn);
  }
  // Stage 1's count is 40 bytes short of what follows its header; the others count the rest.
  EXPECT_EQ(SpecOf(PayloadId::PreloaderStage1).headerCount, 2656u - 8u - 40u);
  EXPECT_NE(set.Describe().find("stand-in"), std::string::npos);
}

class PayloadFolder : public ::testing::Test {
 protected:
  PayloadFolder() { std::filesystem::create_directories(dir); }
  ~PayloadFolder() override { std::filesystem::remove_all(dir); }
  void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<std::uint8_t> Valid(PayloadId id) {
    const auto standIn = StandIn(id);
    std::vector<std::uint8_t> bytes(standIn.begin(), standIn.end());
    for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
    return bytes;
  }

  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("veska-payloads-" + std::to_string(::getpid()));
};

TEST_F(PayloadFolder, AValidFileReplacesItsStandInAndAWrongOneIsNeverSent) {
  const auto driver = Valid(PayloadId::NandFlashDriver);
  Write("NandFlashDriver.bin", driver);
  auto shortStage2 = Valid(PayloadId::PreloaderStage2);
  shortStage2.pop_back();
  Write("PreloaderStage2.bin", shortStage2);
  auto badHeader = Valid(PayloadId::BootloaderDriver);
  badHeader[7] ^= 1;
  Write("BootloaderDriver.bin", badHeader);

  const PayloadSet set = PayloadSet::Load(dir);
  EXPECT_EQ(set.Source(PayloadId::PreloaderStage1), PayloadSource::StandIn);
  EXPECT_EQ(set.Source(PayloadId::NandFlashDriver), PayloadSource::RealFile);
  EXPECT_TRUE(
      std::equal(driver.begin(), driver.end(), set.Bytes(PayloadId::NandFlashDriver).begin()));
  EXPECT_EQ(set.Source(PayloadId::PreloaderStage2), PayloadSource::Refused);
  EXPECT_TRUE(set.Bytes(PayloadId::PreloaderStage2).empty());
  EXPECT_TRUE(set.Bytes(PayloadId::BootloaderDriver).empty());
  ASSERT_EQ(set.Problems().size(), 2u);
  EXPECT_NE(set.Problems()[0].find("2779 bytes where 2780"), std::string::npos);
  EXPECT_NE(set.Problems()[1].find("header of BootloaderDriver"), std::string::npos);
  EXPECT_NE(set.Describe().find("NandFlashDriver=file"), std::string::npos);
}

// The folder beside the executable comes before the system's, payload by payload: a file there
// that does not fit is refused rather than passed over for the system's copy.
TEST_F(PayloadFolder, TheFirstFolderHoldingAPayloadDecidesIt) {
  const std::filesystem::path system = dir / "system";
  std::filesystem::create_directories(system);
  auto shortStage1 = Valid(PayloadId::PreloaderStage1);
  shortStage1.pop_back();
  Write("PreloaderStage1.bin", shortStage1);
  for (PayloadId id : {PayloadId::PreloaderStage1, PayloadId::PreloaderStage2}) {
    const auto bytes = Valid(id);
    const char* name =
        id == PayloadId::PreloaderStage1 ? "PreloaderStage1.bin" : "PreloaderStage2.bin";
    std::ofstream(system / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  const std::vector<std::filesystem::path> folders{dir, system};
  const PayloadSet set = PayloadSet::Load(folders);
  EXPECT_EQ(set.Source(PayloadId::PreloaderStage1), PayloadSource::Refused);
  EXPECT_EQ(set.Source(PayloadId::PreloaderStage2), PayloadSource::RealFile);
  EXPECT_EQ(set.Source(PayloadId::NandFlashDriver), PayloadSource::StandIn);
  // Where each file came from is part of the description.
  EXPECT_NE(set.Describe().find("PreloaderStage2=file (" + system.string() + ")"),
            std::string::npos)
      << set.Describe();
  EXPECT_NE(set.Describe().find("PreloaderStage1=refused (" + dir.string() + ")"),
            std::string::npos);
}

// A whole set only in the system's folder is sent, and both lines name where it came from and
// where else the program looked, in the order it looked there.
TEST_F(PayloadFolder, ASetInTheSecondFolderIsUsedAndTheFoldersAreNamedInOrder) {
  const std::filesystem::path beside = dir / "bin" / "payloads";
  const std::filesystem::path system = dir / "share, then more" / "payloads";
  std::filesystem::create_directories(beside);
  std::filesystem::create_directories(system);
  for (const auto& spec : kPayloadTable) {
    const auto bytes = Valid(spec.id);
    std::ofstream(system / (std::string(spec.name) + ".bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  const std::vector<std::filesystem::path> folders{beside, system};
  const PayloadSet set = PayloadSet::Load(folders);
  for (const auto& spec : kPayloadTable) {
    EXPECT_EQ(set.Source(spec.id), PayloadSource::RealFile) << spec.name;
    EXPECT_EQ(set.Bytes(spec.id).size(), spec.size) << spec.name;
  }
  EXPECT_EQ(set.Describe(), "Loader payloads: real target programs from " + system.string());
  EXPECT_EQ(DescribeFolders(set.Folders()),
            "Loader folders: " + beside.string() + ", then " + system.string());
  // A build that names no system folder searches beside the executable alone.
  EXPECT_EQ(DescribeFolders(std::vector<std::filesystem::path>{beside, {}}),
            "Loader folders: " + beside.string());
  EXPECT_EQ(DescribeFolders(PayloadSet().Folders()), "Loader folders: none");
}

// Nothing in the folder may block the start or be passed over in silence: a FIFO, a folder, a
// link to nothing and a name in the wrong case each refuse their payload and say why.
TEST_F(PayloadFolder, FilesThatAreNotWhatTheySeemAreRefusedWithoutBeingOpened) {
  ASSERT_EQ(::mkfifo((dir / "PreloaderStage1.bin").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "PreloaderStage2.bin");
  std::filesystem::create_symlink(dir / "gone.bin", dir / "NandFlashDriver.bin");
  Write("bootloaderdriver.BIN", Valid(PayloadId::BootloaderDriver));

  const PayloadSet set = PayloadSet::Load(dir);
  for (const auto& spec : kPayloadTable) {
    EXPECT_EQ(set.Source(spec.id), PayloadSource::Refused) << spec.name;
    EXPECT_TRUE(set.Bytes(spec.id).empty()) << spec.name;
  }
  ASSERT_EQ(set.Problems().size(), 4u);
  EXPECT_EQ(set.Problems()[0], "Loader file " + (dir / "PreloaderStage1.bin").string() +
                                   " is not a regular file; it will not be sent.");
  EXPECT_NE(set.Problems()[1].find("PreloaderStage2.bin is not a regular file"), std::string::npos);
  EXPECT_NE(set.Problems()[2].find("NandFlashDriver.bin is a link to a missing file"),
            std::string::npos);
  EXPECT_EQ(set.Problems()[3], "Loader file " + (dir / "bootloaderdriver.BIN").string() +
                                   " is not named BootloaderDriver.bin (the case of its letters "
                                   "differs); it will not be sent.");
}

TEST_F(PayloadFolder, AHugeFileIsReportedWithItsRealSize) {
  const auto path = dir / "NandFlashDriver.bin";
  std::ofstream(path).put('x');
  std::filesystem::resize_file(path, std::uint64_t{4} << 30);  // sparse: costs no disk
  const PayloadSet set = PayloadSet::Load(dir);
  EXPECT_EQ(set.Source(PayloadId::NandFlashDriver), PayloadSource::Refused);
  ASSERT_EQ(set.Problems().size(), 1u);
  EXPECT_NE(set.Problems()[0].find("holds 4294967296 bytes where 188112 are expected"),
            std::string::npos)
      << set.Problems()[0];
}

}  // namespace
}  // namespace veska::payloads
