#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "download/DownloadFixture.h"

namespace veska::download {
namespace {

using K = ImageKind;

// Whole requests through the real transfer into the virtual phone's flash.
class FlashContentsTest : public testing::DownloadFixture,
                          public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    const bool usb = GetParam();
    sim::PhoneOptions options;
    options.link = usb ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    options.blockLength = 0x8000;
    StartPhone(options);
    OpenDialog(phone_->SlavePath(), usb, 3);
    WireOperations(/*fakeWriters=*/false);
    PressStart();
    ASSERT_TRUE(Connected()) << Log();
    // Sizes near the top of the small kinds' ranges and several blocks for the large ones.
    const std::pair<K, std::size_t> sizes[] = {
        {K::Apps, 300000},  {K::Comms, 150001},  {K::SysInd, 65536}, {K::SysDep, 40000},
        {K::Patch, 65535},  {K::Spinner, 12345}, {K::Rsrc, 70000},   {K::Nandpreboot, 4096},
        {K::Boot1a, 12288}, {K::Boot2, 100000},
    };
    for (const auto& [kind, size] : sizes) {
      SetImage(kind, MakeFile(std::string(Catalogue(kind).logName) + ".img", size,
                              static_cast<unsigned>(kind)));
    }
  }

  // The flash at the kind's address holds the file byte for byte.
  void ExpectInFlash(ImageKind kind) {
    const ImageInfo& info = Catalogue(kind);
    std::ifstream file(dlg_.get()->*info.path, std::ios::binary);
    const std::vector<std::uint8_t> expected((std::istreambuf_iterator<char>(file)),
                                             std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> flash(expected.size());
    ASSERT_TRUE(phone_->Nand().ReadData(*info.address, flash));
    EXPECT_TRUE(flash == expected) << info.logName;
  }
  bool Erased(ImageKind kind) {
    std::vector<std::uint8_t> flash(16);
    EXPECT_TRUE(phone_->Nand().ReadData(*Catalogue(kind).address, flash));
    return flash == std::vector<std::uint8_t>(16, 0xFF);
  }
};

// One connection per link carries every request in turn: the calibration pair must stay erased
// until a download is asked to write it, and each single image must land at its own address.
TEST_P(FlashContentsTest, AllBinaryFilesAndEverySingleImageLandAtTheirAddresses) {
  PressDownload(15, /*defaultCal=*/false);
  ExpectInFlash(K::Patch);
  EXPECT_TRUE(Erased(K::SysDep));
  EXPECT_TRUE(Erased(K::Spinner));

  host_.QueueMessageBoxAnswer(ui::IDYES);
  PressDownload(15, /*defaultCal=*/true);
  for (K kind : {K::Apps, K::Comms, K::SysInd, K::Patch, K::SysDep, K::Spinner}) {
    ExpectInFlash(kind);
  }
  EXPECT_EQ(Count("Download Finished"), 1);
  EXPECT_NE(Log().find("\n  * TOTAL Elapsed Time : "), std::string::npos);
  std::uint32_t written = 0;
  for (K kind : {K::Apps, K::Comms, K::SysInd, K::Patch, K::SysDep, K::Spinner}) {
    written += dlg_->imageSize[KindIndex(kind)];
  }
  EXPECT_EQ(dlg_->progressCount, written);

  for (std::int32_t index : {0, 1, 2, 3, 4, 5, 7, 9, 10, 11}) {
    PressDownload(index);
    ExpectInFlash(Selection(index)->files.front());
  }
  EXPECT_EQ(Outcomes(), std::vector<bool>(12, true)) << Log();
  EXPECT_EQ(Count("Download Finished"), 1);  // Boxes() counts since the last press
}

INSTANTIATE_TEST_SUITE_P(Uart, FlashContentsTest, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Usb, FlashContentsTest, ::testing::Values(true));

}  // namespace
}  // namespace veska::download
