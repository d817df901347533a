// A bench of slots serving virtual phones as they come, as the bench windows drive it.
#include "station/Bench.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "records/Stores.h"
#include "sim/PhoneOptions.h"
#include "sim/VirtualPhone.h"
#include "station/Session.h"
#include "ui/Host.h"

namespace veska::station {
namespace {

namespace fsys = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint32_t kAppsAddress = 0x00C00000;

std::string ReadFile(const fsys::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class StationBenchTest : public ::testing::Test {
 protected:
  StationBenchTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = fsys::temp_directory_path() /
              ("veska-station-" + std::to_string(::getpid()) + "-" + info->name());
    fsys::remove_all(folder_);
    fsys::create_directories(folder_ / "release" / "APPS");
    fsys::create_directories(folder_ / "release" / "COMMS");
  }
  ~StationBenchTest() override {
    for (auto& phone : phones_) phone->Stop();
    fsys::remove_all(folder_);
  }

  void WriteRelease(std::size_t appsSize) {
    const std::pair<std::string, std::size_t> files[] = {
        {"APPS/FUSE_APPS.img", appsSize}, {"COMMS/COMMS.img", 40000},
        {"COMMS/sysparm_ind.img", 65536}, {"COMMS/sysparm_dep.img", 1000},
        {"COMMS/patch_dsp.img", 65535},   {"COMMS/spinner_v2.bin", 3000},
    };
    for (const auto& [name, size] : files) {
      std::string data(size, '\0');
      for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + size);
      std::ofstream(folder_ / "release" / name, std::ios::binary)
          .write(data.data(), static_cast<std::streamsize>(size));
    }
  }

  // A virtual phone plugged into a new slot, whose place is the phone's link path.
  sim::VirtualPhone& AddPhone(sim::PhoneOptions options = {}) {
    const std::string name = "A" + std::to_string(phones_.size() + 1);
    options.linkPath = (folder_ / ("tty" + name)).string();
    phones_.push_back(std::make_unique<sim::VirtualPhone>(options));
    EXPECT_EQ(phones_.back()->Start(), 0);
    plan_.slots.push_back({name, options.linkPath});
    return *phones_.back();
  }

  std::unique_ptr<Bench> MakeBench() {
    plan_.baud = "3M";
    plan_.release = (folder_ / "release").string();
    plan_.settings = (folder_ / "settings.ini").string();
    plan_.records = (folder_ / "records.db").string();
    plan_.station = "bench-test";
    plan_.logFolder = folder_ / "logs";
    auto bench = std::make_unique<Bench>(plan_);
    bench->SetSessionHook([](Session& session, std::size_t) { session.Host().SetSleepScale(0); });
    bench->SetObserver([this](const SlotEvent& event) {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      changed_.notify_all();
    });
    return bench;
  }

  // Waits until `done` holds for the bench's rows; false after a minute.
  bool WaitForRows(const Bench& bench,
                   const std::function<bool(const std::vector<SlotRow>&)>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 60s, [&] { return done(bench.Rows()); });
  }

  bool FlashHolds(std::size_t phone, const std::string& name) {
    const std::string file = ReadFile(folder_ / "release" / name);
    std::vector<std::uint8_t> flash(file.size());
    if (!phones_[phone]->Nand().ReadData(kAppsAddress, flash)) return false;
    return std::equal(flash.begin(), flash.end(), file.begin(), file.end(),
                      [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
  }

  std::vector<records::Record> Records() {
    std::vector<records::Record> all;
    const auto store = records::MakeSqliteStore((folder_ / "records.db").string());
    EXPECT_EQ(store->Open(), records::RECORDS_OK);
    EXPECT_EQ(store->Read({}, all), records::RECORDS_OK);
    return all;
  }

  std::size_t Count(SlotEvent::Kind kind, std::size_t slot) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(events_.begin(), events_.end(),
                      [&](const SlotEvent& e) { return e.kind == kind && e.slot == slot; }));
  }

  fsys::path folder_;
  BenchPlan plan_;
  std::vector<std::unique_ptr<sim::VirtualPhone>> phones_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SlotEvent> events_;
};

// Three USB phones plugged in are each served once (a phone still plugged in after its pass is
// not written again), the calibration question asked once for all; a fourth slot's phone that
// fails every time is replugged after each failure and stops its slot at the third, which Start
// resumes.
TEST_F(StationBenchTest, EachPhoneIsServedOnceAndASlotThatKeepsFailingStops) {
  WriteRelease(70000);
  sim::PhoneOptions usb;
  usb.link = sim::LinkDialect::Usb;
  for (int i = 0; i < 3; ++i) AddPhone(usb);
  sim::PhoneOptions refusing = usb;
  refusing.faults.push_back(*sim::ParseFault("code@block#0=0x41!"));
  sim::VirtualPhone& failing = AddPhone(refusing);
  plan_.link = "usb";
  plan_.defaultCal = true;
  auto bench = MakeBench();
  std::atomic<int> asked{0};
  bench->SetQuestionAsker([&asked](std::string_view, std::string_view) {
    ++asked;
    return std::optional<int>(ui::IDYES);
  });
  ASSERT_EQ(bench->Check(), "");
  bench->StartAll();

  // The operator replugs the failing phone after each of its verdicts.
  for (int failures = 1; failures <= 3; ++failures) {
    ASSERT_TRUE(WaitForRows(*bench, [failures](const std::vector<SlotRow>& rows) {
      return rows[3].failures >= failures;
    })) << failures;
    if (failures < 3) {
      failing.PowerOff();
      failing.PowerOn();
    }
  }
  ASSERT_TRUE(WaitForRows(*bench, [](const std::vector<SlotRow>& rows) {
    return rows[0].passes == 1 && rows[1].passes == 1 && rows[2].passes == 1 &&
           rows[3].state == SlotState::Quarantined;
  }));
  // Still plugged in, the served phones wait for the next: none is started again.
  std::this_thread::sleep_for(1500ms);
  std::vector<SlotRow> rows = bench->Rows();
  for (std::size_t slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(rows[slot].passes, 1) << slot;
    EXPECT_EQ(rows[slot].state, SlotState::Passed) << slot;
    EXPECT_EQ(rows[slot].lastVerdict, "PASS");
    EXPECT_TRUE(FlashHolds(slot, "APPS/FUSE_APPS.img")) << slot;
    // The slot's log is its phone's, between the header and the verdict, in its file too.
    const std::string log = bench->SlotLog(slot);
    EXPECT_TRUE(log.starts_with("== veska-cli: " + rows[slot].name + ", phone 1, started ")) << log;
    EXPECT_NE(log.find("\n  * TOTAL Elapsed Time : "), std::string::npos) << log;
    EXPECT_NE(log.find("== veska-cli: " + rows[slot].name + ", phone 1: passed (exit status 0"),
              std::string::npos);
    EXPECT_EQ(ReadFile(bench->SlotLogFile(slot)), log);
  }
  EXPECT_EQ(asked.load(), 1);
  EXPECT_EQ(rows[3].failuresInRow, 3);
  EXPECT_FALSE(rows[3].serving);
  // The window shows the cause's words; the program's name stays in the logs and records.
  EXPECT_TRUE(rows[3].lastVerdict.starts_with("FAIL: ")) << rows[3].lastVerdict;
  EXPECT_EQ(rows[3].lastVerdict.find("veska-cli"), std::string::npos) << rows[3].lastVerdict;
  EXPECT_EQ(Count(SlotEvent::Kind::Quarantined, 3), 1u);
  EXPECT_EQ(Count(SlotEvent::Kind::PhoneEnded, 3), 3u);
  {
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(std::any_of(events_.begin(), events_.end(), [](const SlotEvent& e) {
      return e.kind == SlotEvent::Kind::Message && e.slot == 3 &&
             e.text.find("check the cable and the port") != std::string::npos;
    }));
  }
  const Totals totals = bench->Sum();
  EXPECT_EQ(totals.passed, 3);
  EXPECT_EQ(totals.failed, 3);
  // The failing phone's retries are no first tries: 3 of 4 first tries passed.
  EXPECT_DOUBLE_EQ(totals.firstPassYield, 0.75);

  // Resumed, the quarantined slot serves its next phone (still refusing) and counts again.
  failing.PowerOff();
  failing.PowerOn();
  bench->Start(3);
  ASSERT_TRUE(WaitForRows(*bench, [](const std::vector<SlotRow>& now) {
    return now[3].failures == 4 && now[3].state == SlotState::Failed;
  }));
  EXPECT_EQ(bench->Rows()[3].failuresInRow, 1);
  bench.reset();
  const std::vector<records::Record> kept = Records();
  ASSERT_EQ(kept.size(), 7u);
  for (const records::Record& record : kept) {
    EXPECT_EQ(record.station, "bench-test");
    EXPECT_EQ(record.result, record.port == "A4" ? "failed" : "passed") << record.port;
  }
}

// StopAll during the transfers cancels them at once, as Disconnect does: every slot stops, and
// no phone gets a pass.
TEST_F(StationBenchTest, StopAllDuringTransfersStopsEverySlotWithoutAPass) {
  WriteRelease(300000);
  sim::PhoneOptions stalling;
  stalling.faults.push_back(*sim::ParseFault("silence@block#2"));
  AddPhone(stalling);
  AddPhone(stalling);
  auto bench = MakeBench();
  ASSERT_EQ(bench->Check(), "");
  bench->StartAll();
  ASSERT_TRUE(WaitForRows(*bench, [](const std::vector<SlotRow>& rows) {
    return std::all_of(rows.begin(), rows.end(), [](const SlotRow& row) {
      return row.state == SlotState::Writing && row.done > 0;
    });
  }));
  // Held after the group's first block: most of the group is still to come.
  for (const SlotRow& row : bench->Rows()) {
    EXPECT_LT(row.done * 2, row.total) << row.name;
    // All binary images but the calibration data, which was not asked for.
    EXPECT_EQ(row.imageCount, 4) << row.name;
  }
  const auto stopped = std::chrono::steady_clock::now();
  bench->StopAll();
  // Disconnect's way: the transfers end at once, not after the phones' time-outs.
  ASSERT_TRUE(WaitForRows(*bench, [](const std::vector<SlotRow>& rows) {
    return std::none_of(rows.begin(), rows.end(), [](const SlotRow& row) { return row.serving; });
  }));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 10s);
  for (const SlotRow& row : bench->Rows()) {
    EXPECT_EQ(row.state, SlotState::Stopped) << row.name;
    EXPECT_FALSE(row.serving);
    EXPECT_EQ(row.passes, 0);
    EXPECT_EQ(row.failures, 0);
  }
  EXPECT_EQ(bench->Sum().passed, 0);
  // Each phone cut short keeps its record, as interrupted (all kept once the bench is gone).
  bench.reset();
  const std::vector<records::Record> kept = Records();
  EXPECT_EQ(kept.size(), 2u);
  for (const records::Record& record : kept) EXPECT_EQ(record.result, "interrupted");
}

// Under RequireSerial a slot starts only with its unit's serial (the scanner's line end trimmed)
// and serves that one phone, whose record carries the serial and the operator; a unit is on one
// slot at a time, until it is served.
TEST_F(StationBenchTest, RequiredSerialsStartOnePhoneEachAndAUnitIsOnOneSlotAtATime) {
  WriteRelease(70000);
  AddPhone();
  AddPhone();
  plan_.requireSerial = true;
  plan_.operatorName = "Ana";
  auto bench = MakeBench();
  ASSERT_EQ(bench->Check(), "");
  EXPECT_EQ(bench->Start(1),
            "A2: scan or type the unit's serial first: this bench serves no phone without one");
  EXPECT_FALSE(bench->Rows()[1].serving);
  EXPECT_EQ(bench->SetUnitSerial(0, "SN-1\r\n"), "");
  EXPECT_EQ(bench->SetUnitSerial(1, " SN-1"), "unit SN-1 is on A1 already");
  EXPECT_EQ(bench->SetUnitSerial(1, "SN\x1b[2J"), "A2: the serial has a control character");
  EXPECT_EQ(bench->SetUnitSerial(1, std::string(65, '7')),
            "A2: the serial is longer than 64 characters");
  EXPECT_EQ(bench->Rows()[0].unitSerial, "SN-1");
  bench->Start(0);
  ASSERT_TRUE(WaitForRows(*bench, [](const std::vector<SlotRow>& rows) {
    return rows[0].passes == 1 && !rows[0].serving;
  }));
  const SlotRow served = bench->Rows()[0];
  EXPECT_EQ(served.state, SlotState::Passed);  // the verdict stays until the next unit
  EXPECT_EQ(served.unitSerial, "");
  // Served, the unit may be scanned at another slot (brought back for a second go).
  EXPECT_EQ(bench->SetUnitSerial(1, "SN-1"), "");
  bench.reset();
  const std::vector<records::Record> kept = Records();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].unitSerial, "SN-1");
  EXPECT_EQ(kept[0].operatorName, "Ana");
}

// What the download would refuse is refused before any slot starts, in the download's words.
TEST_F(StationBenchTest, CheckRefusesAMissingImageBeforeAnySlotStarts) {
  AddPhone();
  const auto bench = MakeBench();
  const std::string refusal = bench->Check();
  EXPECT_NE(refusal.find("FUSE_APPS.img"), std::string::npos) << refusal;
  EXPECT_FALSE(phones_[0]->WaitFor(
      [](const std::vector<sim::Event>& events) {
        return std::any_of(events.begin(), events.end(),
                           [](const sim::Event& e) { return e.kind == sim::EventKind::StartByte; });
      },
      300ms));
}

}  // namespace
}  // namespace veska::station
