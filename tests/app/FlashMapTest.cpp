#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <set>
#include <vector>

#include "app/FlashMap.h"

namespace veska::app {
namespace {

using K = ImageKind;

std::uint32_t Hex(std::string_view text) {
  EXPECT_TRUE(text.starts_with("0x")) << text;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), value, 16);
  EXPECT_TRUE(error == std::errc{} && end == text.data() + text.size()) << text;
  return value;
}

const DumpArea& Area(std::string_view caption) {
  for (const DumpArea& area : DumpAreas()) {
    if (area.caption == caption) return area;
  }
  ADD_FAILURE() << "no area " << caption;
  return DumpAreas().front();
}

TEST(FlashMapTest, ImageAreasFollowEachOtherWithoutOverlapInsideTheCodeArea) {
  std::vector<const ImageInfo*> placed;
  for (const ImageInfo& image : Catalogue()) {
    EXPECT_EQ(&Catalogue(image.kind), &image) << image.logName;  // rows in code order
    if (image.address) placed.push_back(&image);
  }
  std::sort(placed.begin(), placed.end(),
            [](const ImageInfo* a, const ImageInfo* b) { return *a->address < *b->address; });
  for (std::size_t i = 0; i + 1 < placed.size(); ++i) {
    const std::uint64_t end = *placed[i]->address + placed[i]->maxSize;
    EXPECT_LE(end, *placed[i + 1]->address) << placed[i]->logName << " reaches into the next";
  }
  // The bootloader images and the two large binaries fill their areas up to the next image.
  for (K kind : {K::Nandpreboot, K::Boot1a, K::Boot1b, K::Boot2, K::Comms, K::Apps}) {
    const auto at = std::find(placed.begin(), placed.end(), &Catalogue(kind));
    ASSERT_NE(at + 1, placed.end());
    EXPECT_EQ(*(*at)->address + (*at)->maxSize, *(*(at + 1))->address) << (*at)->logName;
  }
  EXPECT_LE(*placed.back()->address + placed.back()->maxSize, Area("Code(Nand1G)").to);
}

TEST(FlashMapTest, DumpAreasShowTheRangeTheyRead) {
  std::set<std::string_view> captions;
  for (const DumpArea& area : DumpAreas()) {
    EXPECT_TRUE(captions.insert(area.caption).second) << area.caption;
    EXPECT_LT(area.from, area.to) << area.caption;
    EXPECT_EQ(Hex(area.fromText), area.from) << area.caption;
    // The TO field shows the end, or (for Nandpreboot) the last address.
    const std::uint32_t shown = Hex(area.toText);
    EXPECT_TRUE(shown == area.to || (area.caption == "Nandpreboot" && shown == area.to - 1))
        << area.caption << " shows " << area.toText;
  }
  EXPECT_EQ(Area("LFS").from, *Catalogue(K::Rsrc).address);
  EXPECT_EQ(Area("APPS").to, *Catalogue(K::Rsrc).address);

  // Pages with their spare bytes: 528 bytes for every 512 of flash, in chunks of 2112.
  const DumpArea& code = Area("Code(Nand1G)");
  EXPECT_EQ(DumpByteCount(code.from, code.to, code.kind), 138'412'032u);
  EXPECT_EQ(DumpChunkSize(code.kind), 2112u);
  const DumpArea& tfs = Area("TFS(Nand2G)");
  EXPECT_EQ(DumpByteCount(tfs.from, tfs.to, tfs.kind), 276'824'064u);
  const DumpArea& apps = Area("APPS");
  EXPECT_EQ(DumpByteCount(apps.from, apps.to, apps.kind), 0x3C00000u);
  EXPECT_EQ(DumpChunkSize(apps.kind), 2048u);
  EXPECT_EQ(DumpByteCount(0, 0, DUMP_DATA), 0u);  // the request before any area was chosen
}

TEST(FlashMapTest, SelectionsWriteOnlyWhatTheyExamineAndAreFoundByTheirNames) {
  std::set<std::uint8_t> codes;
  for (int i = 0; i < SELECTION_COUNT; ++i) {
    const SelectionInfo& selection = *Selection(i);
    EXPECT_TRUE(codes.insert(selection.code).second) << selection.cliName;
    EXPECT_EQ(SelectionByName(selection.cliName), i) << selection.cliName;
    // A size is measured only while examining: an image written unexamined would go out with a
    // stale size.
    std::vector<K> examined(selection.files.begin(), selection.files.end());
    std::vector<K> written(selection.written.begin(), selection.written.end());
    std::sort(examined.begin(), examined.end());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, examined) << selection.cliName;
    if (IsImageCode(selection.code)) {
      ASSERT_EQ(selection.files.size(), 1u);
      EXPECT_EQ(static_cast<std::uint8_t>(selection.files.front()), selection.code);
      EXPECT_EQ(GroupByCode(selection.code), nullptr);
    } else {
      EXPECT_EQ(GroupByCode(selection.code), &selection) << selection.cliName;
    }
  }
  EXPECT_EQ(Selection(-1), nullptr);
  EXPECT_EQ(Selection(SELECTION_COUNT), nullptr);
  EXPECT_EQ(SelectionByName("boot1b"), -1);  // written only with the bootloader
}

}  // namespace
}  // namespace veska::app
