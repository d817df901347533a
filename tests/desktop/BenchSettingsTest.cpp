#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "desktop/BenchSettings.h"

namespace veska::desktop {
namespace {

class BenchSettingsTest : public ::testing::Test {
 protected:
  BenchSettingsTest() {
    folder_ = std::filesystem::temp_directory_path() /
              ("veska_bench_settings_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  ~BenchSettingsTest() override { std::filesystem::remove_all(folder_); }

  void Write(const std::string& text) const { std::ofstream(File(), std::ios::trunc) << text; }
  std::string Content() const {
    std::ifstream in(File());
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  std::filesystem::path File() const { return folder_ / "VeskaDownloader.INI"; }

  std::filesystem::path folder_;
};

std::vector<std::string> Places(const station::BenchPlan& plan) {
  std::vector<std::string> places;
  for (const station::Slot& slot : plan.slots) places.push_back(slot.name + "@" + slot.place);
  return places;
}

TEST_F(BenchSettingsTest, ReadsTheSectionAndNamesEveryValueItCannotTake) {
  struct Case {
    const char* what;
    std::string file;
    std::vector<std::string> slots;  // name@place
    std::string link, baud, selection;
    int failLimit;
    std::vector<std::string> problems;
  };
  const std::vector<Case> cases = {
      {"no section: the defaults, no slot",
       "[Setting]\nRecords=none\n",
       {},
       "uart",
       "",
       "all-bin",
       3,
       {}},
      {"a full bench, keys and words in any case",
       "[bench]\nSlot1=COM5\nslot1name=A1\nSlot2=usb:1-1.4\nSlot3=/dev/ttyUSB3\nSlot3Name=\n"
       "Link=USB\nBaud=921k\nSelection=all-bin-fs\nFailLimit=0\nVerify=1\nAutoStart=1\n",
       {"A1@COM5", "Slot 2@usb:1-1.4", "Slot 3@/dev/ttyUSB3"},
       "usb",
       "921K",
       "all-bin-fs",
       0,
       {}},
      {"slots stop at the first missing one",
       "[Bench]\nSlot1=COM1\nSlot2=\nSlot3=COM3\n",
       {"Slot 1@COM1"},
       "uart",
       "",
       "all-bin",
       3,
       {"[Bench] Slot3=COM3: Slot2 is missing; the slots from there on are left out"}},
      {"invalid values keep their defaults",
       "[Bench]\nSlot1=COM1\nLink=serial\nBaud=9600\nSelection=everything\nFailLimit=-2\n"
       "Verify=yes\nLocked=2\n",
       {"Slot 1@COM1"},
       "uart",
       "",
       "all-bin",
       3,
       {"[Bench] Link=serial: not uart or usb; uart is used",
        "[Bench] Baud=9600: not 115K, 460K, 921K or 3M; the remembered rate is used",
        "[Bench] Selection=everything: not a download selection; all-bin is used",
        "[Bench] Verify=yes: not 0 or 1; 0 is used",
        "[Bench] FailLimit=-2: not a number from 0 to 1000; 3 is used",
        "[Bench] Locked=2: not 0 or 1; 0 is used"}},
      {"control characters in names and places",
       "[Bench]\nSlot1=COM1\nSlot1Name=A\x1b[2J\nSlot2=COM\x01\nSlot3=COM3\nStation=line\x7f\n",
       {"Slot 1@COM1"},
       "uart",
       "",
       "all-bin",
       3,
       {"[Bench] Slot1Name=A\\x1B[2J: holds a control character; Slot 1 is used",
        "[Bench] Slot2=COM\\x01: holds a control character; the slots from here on are left out",
        "[Bench] Station=line\\x7F: holds a control character; the host name is used"}},
      {"a number with trailing text is no number",
       "[Bench]\nFailLimit=5x\n",
       {},
       "uart",
       "",
       "all-bin",
       3,
       {"[Bench] FailLimit=5x: not a number from 0 to 1000; 3 is used"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Write(c.file);
    const BenchSettingsReading reading = ReadBenchSettings(app::Settings(File()));
    const station::BenchPlan& plan = reading.bench.plan;
    EXPECT_EQ(Places(plan), c.slots);
    EXPECT_EQ(plan.link, c.link);
    EXPECT_EQ(plan.baud, c.baud);
    EXPECT_EQ(plan.selection, c.selection);
    EXPECT_EQ(plan.failLimit, c.failLimit);
    EXPECT_EQ(reading.problems, c.problems);
    EXPECT_EQ(plan.settings, File().string());
    EXPECT_EQ(plan.logFolder, folder_ / "bench-logs");
  }

  // More slots than a bench can have: the rest are named, not read.
  std::string many = "[Bench]\n";
  for (int n = 1; n <= kMaxBenchSlots + 2; ++n) {
    many += "Slot" + std::to_string(n) + "=COM" + std::to_string(n) + "\n";
  }
  Write(many);
  const BenchSettingsReading reading = ReadBenchSettings(app::Settings(File()));
  EXPECT_EQ(reading.bench.plan.slots.size(), static_cast<std::size_t>(kMaxBenchSlots));
  ASSERT_EQ(reading.problems.size(), 1u);
  EXPECT_EQ(reading.problems[0],
            "[Bench] Slot65=COM65: more than 64 slots; the slots from here on are left out");
}

TEST_F(BenchSettingsTest, SavingWritesOnlyWhatChangedAndLeavesOtherWritersKeys) {
  Write("[Bench]\nSlot1=COM1\nSlot1Name=A1\nSlot2=COM2\nSlot3=COM3\nLink=usb\n; the line's own\n");
  const app::Settings window(File());
  BenchSettings bench = ReadBenchSettings(window).bench;
  // Another program changes a key meanwhile; the window's save must not take it back.
  ASSERT_TRUE(app::Settings(File()).WriteSectionString(BENCH_SECTION, "Station", "line-7"));

  const std::string before = Content();
  ASSERT_EQ(SaveBenchSettings(window, bench), 0);
  EXPECT_EQ(Content(), before) << "nothing changed, nothing written";

  bench.plan.slots.pop_back();
  bench.plan.slots[1].name = "B2";
  bench.plan.verify = true;
  bench.plan.operatorName = "Ana";
  bench.plan.requireSerial = true;
  bench.locked = true;
  ASSERT_EQ(SaveBenchSettings(window, bench), 0);
  const BenchSettingsReading again = ReadBenchSettings(app::Settings(File()));
  EXPECT_TRUE(again.problems.empty());
  EXPECT_EQ(Places(again.bench.plan), (std::vector<std::string>{"A1@COM1", "B2@COM2"}));
  EXPECT_EQ(again.bench.plan.link, "usb");
  EXPECT_EQ(again.bench.plan.station, "line-7");
  EXPECT_TRUE(again.bench.plan.verify);
  EXPECT_EQ(again.bench.plan.operatorName, "Ana");
  EXPECT_TRUE(again.bench.plan.requireSerial);
  EXPECT_TRUE(again.bench.locked);
  EXPECT_NE(Content().find("; the line's own"), std::string::npos);
  // Defaults nobody chose stay out of the file.
  EXPECT_EQ(Content().find("FailLimit"), std::string::npos);
}

}  // namespace
}  // namespace veska::desktop
