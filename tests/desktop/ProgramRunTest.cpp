#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/ControlIds.h"
#include "app/Templates.h"
#include "desktop/ProgramRun.h"
#include "ui/HeadlessHost.h"

namespace veska::desktop {
namespace {

// The toolkit's side of a run on the headless host: no status line, nothing to dress.
class HeadlessWindows final : public ProgramWindows {
 public:
  void Post(std::function<void()> work) override { work(); }
  bool MainWindowOpen() const override { return false; }
  bool MainWindowVisible() const override { return false; }
  void ShowStatusLine(const std::string&) override {}
  void RefreshPortStatus() override {}
  void Hook(const ProgramParts&) override {}
  void Unhook() override {}
};

class ProgramRunTest : public ::testing::Test {
 protected:
  ProgramRunTest() {
    folder_ = std::filesystem::temp_directory_path() /
              ("veska_program_run_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    settingsFile_ = folder_ / "VeskaDownloader.INI";
    std::ofstream(settingsFile_) << "[Setting]\nRecords=none\n";
    host_.SetSleepScale(0);
  }
  ~ProgramRunTest() override {
    SetBenchOpener({});
    std::filesystem::remove_all(folder_);
  }

  // Runs the program with `act` on its main window; returns the system menu it showed.
  std::vector<std::pair<unsigned, std::string>> Run(std::function<void(ui::HeadlessWindow&)> act) {
    std::vector<std::pair<unsigned, std::string>> menu;
    host_.QueueModalScript([&](ui::HeadlessWindow& window) {
      menu = window.SystemMenu();
      act(window);
      return ui::IDOK;
    });
    HeadlessWindows windows;
    (void)RunProgram(host_, settingsFile_, windows);
    return menu;
  }

  std::filesystem::path folder_;
  std::filesystem::path settingsFile_;
  ui::HeadlessHost host_;
};

TEST_F(ProgramRunTest, TheBenchItemFollowsTheAboutItemOnlyWhenThereIsABench) {
  const std::pair<unsigned, std::string> item{app::IDM_BENCH, std::string(app::kBenchMenuText)};
  auto menu = Run([](ui::HeadlessWindow& window) {
    EXPECT_FALSE(window.ChooseSystemMenuItem(app::IDM_BENCH));
  });
  EXPECT_EQ(std::find(menu.begin(), menu.end(), item), menu.end());

  std::vector<std::filesystem::path> opened;
  SetBenchOpener([&opened](const std::filesystem::path& file) {
    opened.push_back(file);
    return 0;
  });
  menu = Run(
      [](ui::HeadlessWindow& window) { EXPECT_TRUE(window.ChooseSystemMenuItem(app::IDM_BENCH)); });
  ASSERT_EQ(menu.size(), 3u);
  EXPECT_EQ(menu[1].first, app::IDM_ABOUTBOX);
  EXPECT_EQ(menu[2], item);
  EXPECT_EQ(opened, std::vector<std::filesystem::path>{settingsFile_});

  // --bench opens the same window for the file the program reads.
  EXPECT_EQ(RunBench("VeskaDownloader", settingsFile_), 0);
  EXPECT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened.back(), settingsFile_);
  SetBenchOpener({});
  EXPECT_EQ(RunBench("VeskaDownloader", settingsFile_), 2);
}

}  // namespace
}  // namespace veska::desktop
