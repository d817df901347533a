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

TEST_F(ChecksumToolTest, ShowsSizeAndCrcOfTheSelectedImage) {
  const std::string path = (folder_ / "check.img").string();
  std::ofstream(path, std::ios::binary) << "123456789";
  SetImage(K::Boot2, path);
  PressChecksum(11);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Field(app::IDC_FILE_SIZE), "9 bytes");
  EXPECT_EQ(Field(app::IDC_CHECKSUM_FIELD), "0xCBF43926");
  EXPECT_EQ(dlg_->imageSize[KindIndex(K::Boot2)], 9u);
}

TEST_F(ChecksumToolTest, AnEmptyFileHasCrcZero) {
  SetImage(K::Tfs, MakeFile("empty.tfs", 0));
  PressChecksum(6);
  EXPECT_EQ(Field(app::IDC_FILE_SIZE), "0 bytes");
  EXPECT_EQ(Field(app::IDC_CHECKSUM_FIELD), "0x00000000");
}

TEST_F(ChecksumToolTest, AFileOf65535BytesIsMeasuredLikeAnyOther) {
  SetImage(K::Patch, MakeFile("patch.img", 65535));
  PressChecksum(4);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Field(app::IDC_FILE_SIZE), "65535 bytes");
  EXPECT_NE(Field(app::IDC_CHECKSUM_FIELD), "0x00000000");
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
