#include <gtest/gtest.h>

#include "download/DownloadFixture.h"

namespace veska::download {
namespace {

using K = ImageKind;

class ChecksumToolTest : public testing::DownloadFixture {
 protected:
  void SetUp() override { OpenConnected(); }
  void PressChecksum(std::int32_t selectionIndex) {
    if (selectionIndex >= 0) window_->Click(Selection(selectionIndex)->button);
    logFrom_ = host_.EventJournal().Events().size();
    ASSERT_TRUE(window_->Click(app::IDC_CHECKSUM));
  }
  std::string Field(int id) const { return window_->GetText(id); }
};

// The selected image's size and CRC-32: the standard check value, an empty file, and a file at
// the top of a 16-bit size, measured like any other.
TEST_F(ChecksumToolTest, ShowsSizeAndCrcOfTheSelectedImage) {
  const struct {
    ImageKind kind;
    std::int32_t selection;
    std::string content;
    const char* crc;  // nullptr: any but zero
  } cases[] = {
      {K::Boot2, 11, "123456789", "0xCBF43926"},
      {K::Tfs, 6, "", "0x00000000"},
      {K::Patch, 4, std::string(65535, '\x5A'), nullptr},
  };
  for (const auto& c : cases) {
    const std::string path = (folder_ / (std::to_string(c.selection) + ".img")).string();
    std::ofstream(path, std::ios::binary) << c.content;
    SetImage(c.kind, path);
    PressChecksum(c.selection);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Field(app::IDC_FILE_SIZE), std::to_string(c.content.size()) + " bytes");
    if (c.crc != nullptr) {
      EXPECT_EQ(Field(app::IDC_CHECKSUM_FIELD), c.crc);
    } else {
      EXPECT_NE(Field(app::IDC_CHECKSUM_FIELD), "0x00000000");
    }
    EXPECT_EQ(dlg_->imageSize[KindIndex(c.kind)], c.content.size());
  }
}

TEST_F(ChecksumToolTest, GroupsAndNoSelectionChooseNothing) {
  for (std::int32_t index : {-1, 12, 16, 17}) {
    PressChecksum(index);
    ASSERT_EQ(Boxes().size(), 1u) << index;
    EXPECT_EQ(Boxes()[0].text, "Please select one item");
  }
  EXPECT_EQ(Field(app::IDC_FILE_SIZE), " ");
}

TEST_F(ChecksumToolTest, AnUnopenableFileLeavesTheFields) {
  SetImage(K::Nandpreboot, (folder_ / "absent.img").string());
  PressChecksum(9);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, "file open error! Check the Nandpreboot file location");
  EXPECT_EQ(Field(app::IDC_FILE_SIZE), " ");
  EXPECT_EQ(Field(app::IDC_CHECKSUM_FIELD), " ");
}

TEST_F(ChecksumToolTest, AFileLargerThan4GiBIsSaidToBeSoAndNotReadForAChecksum) {
  const auto path = folder_ / "huge.img";
  std::ofstream(path).put('x');
  std::filesystem::resize_file(path, std::uint64_t{5} << 30);  // sparse: costs no disk
  SetImage(K::Apps, path.string());
  PressChecksum(0);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, path.string() + " is larger than 4 GiB: no image is that large");
  EXPECT_EQ(Field(app::IDC_FILE_SIZE), "larger than 4 GiB");
  EXPECT_EQ(Field(app::IDC_CHECKSUM_FIELD), " ");
  EXPECT_EQ(dlg_->imageSize[KindIndex(K::Apps)], UINT32_MAX);
}

}  // namespace
}  // namespace veska::download
