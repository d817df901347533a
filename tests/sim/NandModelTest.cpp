#include "sim/NandModel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <vector>

namespace veska::sim {
namespace {

std::filesystem::path TempFile(const char* name) {
  return std::filesystem::temp_directory_path() /
         (std::string(name) + "-" + std::to_string(::getpid()));
}

TEST(NandModel, FreshFlashReadsErasedAndCostsNothing) {
  NandModel nand;
  std::vector<std::uint8_t> data(5000, 0);
  ASSERT_TRUE(nand.ReadData(NAND_DATA_SIZE - data.size(), data));
  EXPECT_EQ(std::count(data.begin(), data.end(), 0xFF), static_cast<long>(data.size()));
  std::array<std::uint8_t, PAGE_SIZE> page{};
  ASSERT_TRUE(nand.ReadPage(PAGE_COUNT - 1, page));
  EXPECT_EQ(std::count(page.begin(), page.end(), 0xFF), static_cast<long>(PAGE_SIZE));
  EXPECT_EQ(nand.WrittenPages(), 0u);
}

TEST(NandModel, WriteAcrossPagesKeepsSpareAndNeighbours) {
  NandModel nand;
  std::vector<std::uint8_t> data(3000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(nand.WriteData(PAGE_DATA_SIZE - 100, data));
  EXPECT_EQ(nand.WrittenPages(), 3u);  // 100 + 2048 + 852 bytes

  std::vector<std::uint8_t> back(data.size() + 2);
  ASSERT_TRUE(nand.ReadData(PAGE_DATA_SIZE - 101, back));
  EXPECT_EQ(back.front(), 0xFF);
  EXPECT_EQ(back.back(), 0xFF);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 1));

  // The data of page 1 starts with byte 100 of the write; its spare bytes stay erased.
  std::array<std::uint8_t, PAGE_SIZE> page{};
  ASSERT_TRUE(nand.ReadPage(1, page));
  EXPECT_EQ(page[0], 100);
  EXPECT_EQ(page[PAGE_DATA_SIZE], 0xFF);
}

TEST(NandModel, RefusesRangesOutsideTheFlash) {
  NandModel nand;
  std::vector<std::uint8_t> data(16, 0);
  EXPECT_FALSE(nand.WriteData(NAND_DATA_SIZE - 8, data));
  EXPECT_FALSE(nand.ReadData(NAND_DATA_SIZE + 1, std::span(data).first(0)));
  EXPECT_FALSE(nand.WriteData(~std::uint64_t{0} - 4, data));  // would wrap around
  std::array<std::uint8_t, PAGE_SIZE> page{};
  EXPECT_FALSE(nand.ReadPage(PAGE_COUNT, page));
  EXPECT_EQ(nand.WrittenPages(), 0u);
}

TEST(NandModel, EraseSparesBadBlocks) {
  NandModel nand;
  std::vector<std::uint8_t> data(BLOCK_DATA_SIZE * 3, 0x11);
  ASSERT_TRUE(nand.WriteData(0, data));
  nand.MarkBad(1);
  EXPECT_EQ(nand.EraseBlocks(0, 2), 2u);
  std::uint8_t byte = 0;
  ASSERT_TRUE(nand.ReadData(0, std::span(&byte, 1)));
  EXPECT_EQ(byte, 0xFF);
  ASSERT_TRUE(nand.ReadData(BLOCK_DATA_SIZE, std::span(&byte, 1)));
  EXPECT_EQ(byte, 0x11);  // the bad block kept its content
  ASSERT_TRUE(nand.ReadData(2 * BLOCK_DATA_SIZE, std::span(&byte, 1)));
  EXPECT_EQ(byte, 0xFF);
}

TEST(NandModel, BackingFileSurvivesARestart) {
  const auto path = TempFile("vphone-nand");
  std::filesystem::remove(path);
  const std::vector<std::uint8_t> data = {1, 2, 3, 4, 5};
  std::array<std::uint8_t, PAGE_SPARE_SIZE> spare{};
  spare.fill(0x42);
  {
    NandModel nand;
    ASSERT_EQ(nand.AttachFile(path), 0);
    ASSERT_TRUE(nand.WriteData(0x200000 + 2046, data));  // straddles two pages
    ASSERT_TRUE(nand.WriteData(7 * BLOCK_DATA_SIZE, data));
    ASSERT_TRUE(nand.WriteSpare(3, spare));
    EXPECT_EQ(nand.EraseBlocks(7, 7), 1u);
    EXPECT_EQ(nand.Flush(), 0);
  }
  NandModel again;
  ASSERT_EQ(again.AttachFile(path), 0);
  std::vector<std::uint8_t> back(5);
  ASSERT_TRUE(again.ReadData(0x200000 + 2046, back));
  EXPECT_EQ(back, data);
  ASSERT_TRUE(again.ReadData(7 * BLOCK_DATA_SIZE, back));
  EXPECT_EQ(back, std::vector<std::uint8_t>(5, 0xFF));  // the erase was kept too
  std::array<std::uint8_t, PAGE_SIZE> page{};
  ASSERT_TRUE(again.ReadPage(3, page));
  EXPECT_EQ(page[0], 0xFF);
  EXPECT_EQ(page[PAGE_DATA_SIZE + 63], 0x42);
  EXPECT_EQ(again.WrittenPages(), 3u);
  std::filesystem::remove(path);
}

TEST(NandModel, RefusesAFileThatIsNotAFlashFile) {
  const auto path = TempFile("vphone-notnand");
  { std::ofstream(path) << "some text that is not a flash image"; }
  NandModel nand;
  EXPECT_NE(nand.AttachFile(path), 0);
  EXPECT_EQ(std::filesystem::file_size(path), 35u);  // left untouched
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace veska::sim
