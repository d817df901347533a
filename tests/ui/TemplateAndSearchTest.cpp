#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ui/DialogTemplate.h"
#include "ui/FileSearch.h"
#include "ui/Host.h"
#include "ui/TextLimit.h"

namespace veska::ui {
namespace {

using enum ControlKind;

// Two radio groups with a check box and a label in between, as dialogs interleave them.
constexpr ControlTemplate kControls[] = {
    {10, RadioButton, "a", {}, STYLE_GROUP_START},
    {11, CheckBox, "not a radio", {}, STYLE_NONE},
    {12, RadioButton, "b", {}, STYLE_NONE},
    {ID_STATIC, Static, "label", {}, STYLE_NONE},
    {13, RadioButton, "c", {}, STYLE_NONE},
    {20, RadioButton, "d", {}, STYLE_GROUP_START},
    {21, RadioButton, "e", {}, STYLE_NONE},
    {ID_STATIC, Static, "ends the group", {}, STYLE_GROUP_START},
    {22, RadioButton, "f", {}, STYLE_NONE},
};
constexpr DialogTemplate kDialog{1, "t", 100, 100, "Tahoma", 8, DIALOG_NONE, kControls};

TEST(DialogTemplate, RadioGroupsRunBetweenGroupStartsAndCountOnlyRadios) {
  EXPECT_EQ(RadioGroupIds(kDialog, 10), (std::vector<int>{10, 12, 13}));
  EXPECT_EQ(RadioGroupIds(kDialog, 20), (std::vector<int>{20, 21}));
  // A group may also be read from a button in the middle: it runs to the next group start.
  EXPECT_EQ(RadioGroupIds(kDialog, 12), (std::vector<int>{12, 13}));
  EXPECT_TRUE(RadioGroupIds(kDialog, 99).empty());
  // The group a click clears: the whole group around the button, also when a label starts it.
  EXPECT_EQ(RadioGroupOf(kDialog, 12), (std::vector<int>{10, 12, 13}));
  EXPECT_EQ(RadioGroupOf(kDialog, 21), (std::vector<int>{20, 21}));
  EXPECT_EQ(RadioGroupOf(kDialog, 22), (std::vector<int>{22}));
  EXPECT_TRUE(RadioGroupOf(kDialog, 99).empty());
  EXPECT_EQ(kDialog.Find(ID_STATIC), nullptr);
  ASSERT_NE(kDialog.Find(21), nullptr);
  EXPECT_EQ(kDialog.Find(21)->caption, "e");
}

TEST(FileFilter, SplitsPairsAndStopsAtTheClosingBars) {
  const auto entries = ParseFileFilter("TFS File(*.tfs)|*.tfs|*.*|*.*||");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].description, "TFS File(*.tfs)");
  EXPECT_EQ(entries[0].pattern, "*.tfs");
  EXPECT_EQ(entries[1].description, "*.*");
  EXPECT_EQ(entries[1].pattern, "*.*");
  EXPECT_TRUE(ParseFileFilter("").empty());
  EXPECT_EQ(ParseFileFilter("only a description").size(), 0u);
}

TEST(Wildcard, MatchesStarsAndQuestionMarks) {
  EXPECT_TRUE(WildcardMatch("*.bin", "spinner.bin"));
  EXPECT_TRUE(WildcardMatch("*.bin", ".bin"));
  EXPECT_FALSE(WildcardMatch("*.bin", "spinner.bin.bak"));
  EXPECT_TRUE(WildcardMatch("a?c*", "abcdef"));
  EXPECT_FALSE(WildcardMatch("a?c", "ac"));
  EXPECT_TRUE(WildcardMatch("*a*a*a*b", "aaaaaaaaaaaaaaaaab"));
  EXPECT_FALSE(WildcardMatch("*a*a*a*b", "aaaaaaaaaaaaaaaaaa"));
  EXPECT_TRUE(WildcardMatch("*", ""));
}

class FileSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("veska_search_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Touch(const std::string& name) { std::ofstream(dir_ / name) << "x"; }
  std::filesystem::path dir_;
};

TEST_F(FileSearchTest, FirstMatchIsTheSmallestNameAndSkipsFolders) {
  std::filesystem::create_directory(dir_ / "a_folder.bin");
  Touch("zeta.bin");
  Touch("beta.bin");
  Touch("alpha.img");
  const std::string pattern = dir_.string() + "/*.bin";
  const auto found = FindFirstMatchingFile(pattern);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, dir_.string() + "/beta.bin");
  EXPECT_FALSE(FindFirstMatchingFile(dir_.string() + "/*.tfs").has_value());
  EXPECT_FALSE(FindFirstMatchingFile(dir_.string() + "/missing/*.bin").has_value());
}

TEST(TextLimit, DropsToThreeQuartersAndCutsAfterALineEnd) {
  EXPECT_EQ(OldestTextToDrop(std::string(100, 'x'), 0), 0u);
  EXPECT_EQ(OldestTextToDrop(std::string(100, 'x'), 100), 0u);
  // 200 characters over a limit of 160: keep 120, so drop 80 (no line end near).
  EXPECT_EQ(OldestTextToDrop(std::string(200, 'x'), 160), 80u);
  std::string lines(200, 'x');
  lines[85] = '\n';
  EXPECT_EQ(OldestTextToDrop(lines, 160), 86u);
}

}  // namespace
}  // namespace veska::ui
