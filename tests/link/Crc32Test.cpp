#include "link/Crc32.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace veska::link {
namespace {

class Crc32Test : public ::testing::Test {
 protected:
  Crc32Test() { table.BuildCrc32Table(); }

  std::filesystem::path TempFile(const std::string& name, const std::vector<std::uint8_t>& data) {
    auto path = std::filesystem::temp_directory_path() /
                ("veska-crc-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    files.push_back(path);
    return path;
  }
  ~Crc32Test() override {
    for (const auto& f : files) std::filesystem::remove(f);
  }

  Crc32Table table;
  std::vector<std::filesystem::path> files;
};

TEST_F(Crc32Test, TableAndCheckValueAreTheStandardOnes) {
  EXPECT_EQ(table.Entries()[1], 0x77073096u);
  EXPECT_EQ(table.Entries()[255], 0x2D02EF8Du);
  const std::string digits = "123456789";
  EXPECT_EQ(Crc32(table, std::span(reinterpret_cast<const std::uint8_t*>(digits.data()), 9)),
            0xCBF43926u);
  EXPECT_EQ(Crc32(table, {}), 0u);
  EXPECT_EQ(Reflect(0x01, 8), 0x80u);
  EXPECT_EQ(Reflect(0xFFFF0001, 4), 0x8u);
}

TEST_F(Crc32Test, LanesAndSlicesAgreeWithTheByteWiseLoopAtEveryLength) {
  std::mt19937 gen(3);
  std::vector<std::uint8_t> data(100003);
  for (auto& b : data) b = static_cast<std::uint8_t>(gen());
  for (std::size_t len : {1u, 7u, 8u, 9u, 1023u, 1024u, 1025u, 1031u, 2055u, 100003u}) {
    std::uint32_t c = 0xFFFFFFFF;
    for (std::size_t i = 0; i < len; ++i) c = (c >> 8) ^ table.Entries()[(c ^ data[i]) & 0xFF];
    EXPECT_EQ(Crc32(table, std::span(data).first(len)), ~c) << len;
  }
}

TEST_F(Crc32Test, FileChecksumIsStreamedAndTellsAnOpenFailureFromAnEmptyFile) {
  std::vector<std::uint8_t> data(300000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ (i >> 9));
  const FileCrcResult big = FileCrc32(table, TempFile("big", data));
  EXPECT_TRUE(big.opened);
  EXPECT_EQ(big.length, data.size());
  EXPECT_EQ(big.crc, Crc32(table, data));

  const FileCrcResult empty = FileCrc32(table, TempFile("empty", {}));
  EXPECT_TRUE(empty.opened);
  EXPECT_EQ(empty.length, 0u);
  EXPECT_EQ(empty.crc, 0u);

  const FileCrcResult missing = FileCrc32(table, "/nonexistent/veska.bin");
  EXPECT_FALSE(missing.opened);
  EXPECT_EQ(missing.crc, 0u);
  EXPECT_FALSE(FileCrc32(table, std::filesystem::temp_directory_path()).opened);
}

}  // namespace
}  // namespace veska::link
