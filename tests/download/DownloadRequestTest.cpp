#include <gtest/gtest.h>

#include "download/DownloadFixture.h"

namespace veska::download {
namespace {

using K = ImageKind;

class DownloadRequestTest : public testing::DownloadFixture {
 protected:
  void SetUp() override {
    OpenConnected();
    SetAllImages();
  }
  // The request ended before the worker: one outcome, nothing written, the controls back.
  void ExpectRefused() {
    EXPECT_TRUE(WrittenKinds().empty());
    EXPECT_EQ(Outcomes(), std::vector<bool>{false});
    EXPECT_TRUE(Connected());
    EXPECT_TRUE(SelectionEnabled());
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const Box& box : Boxes()) texts.push_back(box.text);
    return texts;
  }
};

TEST_F(DownloadRequestTest, WithoutASelectionTheOnlyReactionIsTheRequestToChooseOne) {
  PressDownload(-1);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Please select download item"});
  EXPECT_EQ(Log(), "");
  ExpectRefused();
}

TEST_F(DownloadRequestTest, NoPortAndFirstBaudEntryStopsSilently) {
  // As the window was left by a session without a port (the selectors are locked now).
  window_->SetCurSel(app::IDC_BAUD, 0);
  dlg_->portIndex = -1;
  PressDownload(15);
  EXPECT_TRUE(Boxes().empty());
  ExpectRefused();
}

struct SizeCase {
  std::int32_t selection;
  ImageKind kind;
  std::size_t size;
  const char* refusal;  // nullptr: accepted
};

class SizeRuleTest : public DownloadRequestTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SizeRuleTest, FileSizesAreJudgedAtTheEdgesOfTheirRange) {
  const SizeCase& c = GetParam();
  SetImage(c.kind, MakeFile("edge.img", c.size));
  PressDownload(c.selection);
  if (c.refusal == nullptr) {
    EXPECT_EQ(WrittenKinds(), std::vector<ImageKind>{c.kind});
    ASSERT_FALSE(WrittenImages().empty());
    EXPECT_EQ(WrittenImages()[0].size, c.size);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Download Finished"});
  } else {
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.refusal});
    // Under the box's text: which file, and why.
    const std::string path = (folder_ / "edge.img").string();
    EXPECT_EQ(LastBoxDetail(), c.size == 0 ? path + ": it is empty."
                                           : path + ": it holds " + std::to_string(c.size) +
                                                 " bytes; an image of this kind holds at most " +
                                                 std::to_string(c.size - 1) + ".");
    ExpectRefused();
  }
  EXPECT_EQ(dlg_->imageSize[KindIndex(c.kind)], c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, SizeRuleTest,
    ::testing::Values(SizeCase{9, K::Nandpreboot, 4096, nullptr},
                      SizeCase{9, K::Nandpreboot, 4097, "nandpreboot file size error!"},
                      SizeCase{10, K::Boot1a, 12288, nullptr},
                      SizeCase{10, K::Boot1a, 12289, "boot1 file size error!"},
                      SizeCase{11, K::Boot2, 524288, nullptr},
                      SizeCase{11, K::Boot2, 524289, "boot2 file size error!"},
                      SizeCase{11, K::Boot2, 0, "boot2 file size error!"},
                      SizeCase{2, K::SysInd, 65536, nullptr},
                      SizeCase{2, K::SysInd, 65537, "Sys_ind.img file size error!"},
                      // A file of 65,535 bytes is an ordinary file, not an unopenable one.
                      SizeCase{2, K::SysInd, 65535, nullptr},
                      SizeCase{5, K::Spinner, 65537, "spinner file size error!"},
                      SizeCase{4, K::Patch, 65537, "dsp_patch.img file size error!"},
                      SizeCase{6, K::Tfs, 0, "tfs file size error!"},
                      SizeCase{8, K::Db2, 0, "DB2 file size error!"}));

TEST_F(DownloadRequestTest, AMissingFileNamesItsKind) {
  SetImage(K::Comms, (folder_ / "absent.img").string());
  PressDownload(1);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"file open error! Check the COMMS file location"});
  EXPECT_EQ(LastBoxDetail(), (folder_ / "absent.img").string() + ": it does not exist.");
  ExpectRefused();
  // A folder is no image either.
  SetImage(K::Rsrc, folder_.string());
  PressDownload(7);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"file open error! Check the Rsrc file location"});
  EXPECT_EQ(LastBoxDetail(), folder_.string() + ": it is a folder.");
}

TEST_F(DownloadRequestTest, ChecksStopAtTheFirstBadFileInTableOrder) {
  SetImage(K::Boot1b, (folder_ / "absent.img").string());
  dlg_->imageSize[KindIndex(K::Boot2)] = 7777;
  dlg_->imageSize[KindIndex(K::Tfs)] = 7777;
  dlg_->imageSize[KindIndex(K::Rsrc)] = 7777;
  PressDownload(17);
  // Boot1b shares Boot1a's text; the files after it were never measured.
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"file open error! Check the boot1 file location"});
  EXPECT_EQ(dlg_->imageSize[KindIndex(K::Boot2)], 7777u);
  EXPECT_EQ(dlg_->imageSize[KindIndex(K::Tfs)], 7777u);
  EXPECT_EQ(dlg_->imageSize[KindIndex(K::Rsrc)], 7777u);
  EXPECT_EQ(dlg_->imageSize[KindIndex(K::Boot1a)], 100u + 0x2A);
  ExpectRefused();
}

TEST_F(DownloadRequestTest, CalibrationFilesAreExaminedEvenWhenTheyWillNotBeWritten) {
  SetImage(K::Spinner, (folder_ / "absent.bin").string());
  PressDownload(15, /*defaultCal=*/false);
  EXPECT_EQ(BoxTexts(),
            std::vector<std::string>{"file open error! Check the spinner file location"});
  ExpectRefused();
}

TEST_F(DownloadRequestTest, TheCalibrationQuestionComesOnlyForTheGroupsThatWriteIt) {
  for (std::int32_t index : {12, 13, 14, 15, 16, 17}) {
    SCOPED_TRACE(index);
    host_.QueueMessageBoxAnswer(ui::IDYES);
    PressDownload(index, /*defaultCal=*/true);
    const std::vector<Box> boxes = Boxes();
    ASSERT_FALSE(boxes.empty());
    if (index >= 14) {
      EXPECT_EQ(boxes[0].text, kCalDataQuestion);
      EXPECT_EQ(boxes[0].type, ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
    } else {
      // The queued Yes went to the notice, the only box.
      EXPECT_EQ(boxes.size(), 1u);
    }
    EXPECT_EQ(boxes.back().text, "Download Finished");
  }
}

TEST_F(DownloadRequestTest, NoToTheQuestionStartsNothing) {
  PressDownload(16, /*defaultCal=*/true);  // unanswered questions get their default, No
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, kCalDataQuestion);
  ExpectRefused();
  EXPECT_EQ(Log(), "");
}

}  // namespace
}  // namespace veska::download
