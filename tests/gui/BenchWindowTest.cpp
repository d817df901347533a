// The production bench window over virtual phones: phones plugged in while it serves, a slot
// that keeps failing, Stop all in the middle of the transfers, and a locked bench.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "TestApp.h"
#include "app/FlashMap.h"
#include "gui/BenchWindow.h"
#include "records/Stores.h"
#include "sim/VirtualPhone.h"

namespace veska::gui {
namespace {

namespace fsys = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using station::SlotState;

std::string ReadFile(const fsys::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The images "all-bin" writes with the default calibration data, as the release names them.
struct ReleaseFile {
  const char* name;
  app::ImageKind kind;
  std::size_t size;
};
constexpr ReleaseFile kRelease[] = {
    {"APPS/FUSE_APPS.img", app::ImageKind::Apps, 600000},
    {"COMMS/COMMS.img", app::ImageKind::Comms, 40000},
    {"COMMS/sysparm_ind.img", app::ImageKind::SysInd, 65536},
    {"COMMS/sysparm_dep.img", app::ImageKind::SysDep, 1000},
    {"COMMS/patch_dsp.img", app::ImageKind::Patch, 65535},
    {"COMMS/spinner_v2.bin", app::ImageKind::Spinner, 3000},
};

class BenchWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    folder_ = fsys::temp_directory_path() /
              ("veska-bench-window-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fsys::remove_all(folder_);
    for (const ReleaseFile& file : kRelease) {
      const fsys::path path = folder_ / "release" / file.name;
      fsys::create_directories(path.parent_path());
      std::string data(file.size, '\0');
      for (std::size_t i = 0; i < file.size; ++i) data[i] = static_cast<char>(i * 13 + file.size);
      std::ofstream(path, std::ios::binary)
          .write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    // Every message box is answered Yes (or OK) as it comes, and remembered.
    answerer_ = std::make_unique<QTimer>();
    QObject::connect(answerer_.get(), &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      boxes_.push_back(box->text().toStdString());
      QAbstractButton* yes = box->button(QMessageBox::Yes);
      (yes != nullptr ? yes : box->button(QMessageBox::Ok))->click();
    });
    answerer_->start(20);
  }
  void TearDown() override {
    for (auto& phone : phones_) phone->Stop();
    fsys::remove_all(folder_);
  }

  station::BenchPlan Plan(std::size_t slots, std::string link) {
    station::BenchPlan plan;
    for (std::size_t i = 1; i <= slots; ++i) {
      plan.slots.push_back(
          {"A" + std::to_string(i), (folder_ / ("phone" + std::to_string(i))).string()});
    }
    plan.link = std::move(link);
    plan.baud = "3M";
    plan.release = (folder_ / "release").string();
    plan.selection = "all-bin";
    plan.defaultCal = true;
    plan.station = "line-7";
    plan.records = (folder_ / "veska-records.db").string();
    plan.settings = (folder_ / "VeskaDownloader.INI").string();
    plan.logFolder = folder_ / "logs";
    return plan;
  }

  sim::VirtualPhone& PlugIn(const std::string& place, sim::PhoneOptions options) {
    options.linkPath = place;
    phones_.push_back(std::make_unique<sim::VirtualPhone>(std::move(options)));
    EXPECT_EQ(phones_.back()->Start(), 0);
    return *phones_.back();
  }

  // Runs the window's events until `done` holds; false when `bound` passed first.
  static bool Until(const std::function<bool()>& done, std::chrono::seconds bound = 60s) {
    const auto deadline = Clock::now() + bound;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      QEventLoop loop;
      QTimer::singleShot(50, &loop, &QEventLoop::quit);
      loop.exec();
    }
    return true;
  }

  static bool All(const BenchWindow& window, const std::function<bool(const station::SlotRow&)>& is,
                  std::size_t count) {
    const auto& rows = window.Model().Rows();
    return rows.size() >= count &&
           std::all_of(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(count), is);
  }

  bool FlashHoldsRelease(sim::VirtualPhone& phone) {
    for (const ReleaseFile& file : kRelease) {
      const std::string data = ReadFile(folder_ / "release" / file.name);
      std::vector<std::uint8_t> flash(data.size());
      if (!phone.Nand().ReadData(*app::Catalogue(file.kind).address, flash)) return false;
      if (!std::equal(flash.begin(), flash.end(), data.begin(), data.end(),
                      [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); })) {
        return false;
      }
    }
    return true;
  }

  std::vector<records::Record> Records() {
    std::vector<records::Record> kept;
    const auto store = records::MakeSqliteStore((folder_ / "veska-records.db").string());
    if (store->Read({}, kept) != records::RECORDS_OK) kept.clear();
    return kept;
  }

  template <typename Widget>
  static Widget& Find(BenchWindow& window, const char* name) {
    auto* widget = window.findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return *widget;
  }

  fsys::path folder_;
  std::vector<std::unique_ptr<sim::VirtualPhone>> phones_;
  std::unique_ptr<QTimer> answerer_;
  std::vector<std::string> boxes_;
};

// Eight USB phones plugged in once the window serves, each served once; a ninth slot's phone
// fails three times and the slot stops until it is started again from its row.
TEST_F(BenchWindowTest, PhonesPluggedInWhileServingAreEachServedOnceAndAFailingSlotStops) {
  constexpr std::size_t kGood = 8;
  BenchWindowOptions options;
  options.plan = Plan(kGood + 1, "usb");
  options.plan.release = (folder_ / "no-release").string();
  options.autoStart = true;
  {
    BenchWindow window(options);
    window.show();
    // The window starts at once, but the release is not there: the check refuses and nothing
    // serves.
    ASSERT_TRUE(Until([&] { return !boxes_.empty(); }));
    window.Refresh();
    EXPECT_TRUE(All(
        window, [](const auto& row) { return !row.serving; }, kGood + 1));

    Find<QLineEdit>(window, "release")
        .setText(QString::fromStdString((folder_ / "release").string()));
    Find<QPushButton>(window, "startAll").click();
    ASSERT_TRUE(Until([&] {
      return All(
          window, [](const auto& row) { return row.state == SlotState::Waiting; }, kGood + 1);
    }));
    EXPECT_FALSE(Find<QLineEdit>(window, "release").isEnabled());  // served as it stands

    const std::vector<station::Slot> slots = window.Plan().slots;
    sim::PhoneOptions usb;
    usb.link = sim::LinkDialect::Usb;
    for (std::size_t i = 0; i < kGood; ++i) PlugIn(slots[i].place, usb);
    sim::PhoneOptions failing = usb;
    failing.faults.push_back(*sim::ParseFault("code@block#1=0x2B!"));
    sim::VirtualPhone& bad = PlugIn(slots[kGood].place, failing);

    // Each failure waits for the phone to go and the next to come: the same phone, replugged.
    int replugged = 0;
    ASSERT_TRUE(Until(
        [&] {
          const station::SlotRow& last = window.Model().Rows()[kGood];
          if (last.state == SlotState::Failed && last.failures > replugged && last.failures < 3) {
            replugged = last.failures;
            bad.PowerOff();
            bad.PowerOn();
          }
          return last.state == SlotState::Quarantined &&
                 All(
                     window, [](const auto& row) { return row.passes == 1; }, kGood);
        },
        120s))
        << window.TotalsText().toStdString();
    // A phone still plugged in after its pass is not served again.
    Until([] { return false; }, 1s);
    window.Refresh();
    for (std::size_t i = 0; i < kGood; ++i) {
      const station::SlotRow& row = window.Model().Rows()[i];
      EXPECT_EQ(row.passes, 1) << row.name;
      EXPECT_EQ(row.failures, 0) << row.name;
      EXPECT_EQ(row.state, SlotState::Passed) << row.name;
      EXPECT_EQ(row.lastVerdict, "PASS") << row.name;
      EXPECT_TRUE(FlashHoldsRelease(*phones_[i])) << row.name;
    }
    const QModelIndex quarantined =
        window.Model().index(static_cast<int>(kGood), BenchTableModel::kStateColumn);
    EXPECT_EQ(window.Model().Rows()[kGood].failures, 3);
    EXPECT_FALSE(window.Model().Rows()[kGood].serving);
    EXPECT_TRUE(quarantined.data(Qt::DisplayRole)
                    .toString()
                    .contains(QStringLiteral("check the cable and the port")));
    const QModelIndex passed = window.Model().index(0, BenchTableModel::kStateColumn);
    EXPECT_EQ(passed.data(Qt::DisplayRole).toString(), QStringLiteral("PASS"));
    // Failures stand out from passes.
    const QColor red = quarantined.data(Qt::BackgroundRole).value<QColor>();
    const QColor green = passed.data(Qt::BackgroundRole).value<QColor>();
    EXPECT_GT(red.red(), red.green());
    EXPECT_GT(green.green(), green.red());
    EXPECT_EQ(window.Model()
                  .index(0, BenchTableModel::kProgressColumn)
                  .data(BenchTableModel::kPerMilleRole)
                  .toInt(),
              1000);
    EXPECT_NE(window.TotalsText().indexOf(QStringLiteral("Passed: 8 ")), -1)
        << window.TotalsText().toStdString();
    EXPECT_NE(window.TotalsText().indexOf(QStringLiteral("Failed: 3 ")), -1);
    // The calibration-data question came once for the whole bench.
    ASSERT_EQ(boxes_.size(), 2u);

    // The slot's log, read-only in the log pane's font.
    window.ShowLog(0);
    auto* log = window.findChild<QPlainTextEdit*>();
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_FALSE(log->toPlainText().isEmpty());

    // The quarantined slot starts again from its row's menu, its failures in a row forgotten.
    const std::unique_ptr<QMenu> menu = window.BuildSlotMenu(kGood);
    const QList<QAction*> actions = menu->actions();
    const auto start = std::find_if(actions.begin(), actions.end(), [](QAction* a) {
      return a->text() == QStringLiteral("Start");
    });
    ASSERT_NE(start, actions.end());
    (*start)->trigger();
    EXPECT_TRUE(window.Model().Rows()[kGood].serving);
    EXPECT_EQ(window.Model().Rows()[kGood].failuresInRow, 0);
    window.StopAll();
  }
  const std::vector<records::Record> kept = Records();
  EXPECT_EQ(
      std::count_if(kept.begin(), kept.end(), [](const auto& r) { return r.result == "passed"; }),
      static_cast<std::ptrdiff_t>(kGood));
  // One pass for each slot, under the slot's name.
  for (std::size_t i = 1; i <= kGood; ++i) {
    const std::string slot = "A" + std::to_string(i);
    EXPECT_EQ(std::count_if(kept.begin(), kept.end(),
                            [&](const auto& r) {
                              return r.port == slot && r.result == "passed" &&
                                     r.station == "line-7";
                            }),
              1)
        << slot;
  }
}

// A locked bench shows its settings but takes no change; Stop all in the middle of the
// transfers stops every slot and leaves no pass.
TEST_F(BenchWindowTest, ALockedBenchStillStartsAndStopsAndAStopMidTransferRecordsNoPass) {
  constexpr std::size_t kSlots = 3;
  BenchWindowOptions options;
  options.plan = Plan(kSlots, "uart");
  options.plan.baud = "921K";
  options.plan.defaultCal = false;
  options.locked = true;
  sim::PhoneOptions paced;
  paced.pace = true;
  for (const station::Slot& slot : options.plan.slots) PlugIn(slot.place, paced);
  {
    BenchWindow window(options);
    window.show();
    for (const char* name : {"release", "station"}) {
      EXPECT_FALSE(Find<QLineEdit>(window, name).isEnabled()) << name;
    }
    for (const char* name : {"defaultCal", "verify", "reboot"}) {
      EXPECT_FALSE(Find<QCheckBox>(window, name).isEnabled()) << name;
    }
    EXPECT_FALSE(Find<QComboBox>(window, "selection").isEnabled());
    EXPECT_FALSE(Find<QPushButton>(window, "browse").isEnabled());
    EXPECT_TRUE(Find<QPushButton>(window, "startAll").isEnabled());
    EXPECT_TRUE(Find<QPushButton>(window, "stopAll").isEnabled());

    Find<QPushButton>(window, "startAll").click();
    // Every slot in its first image, its bar and rate moving.
    ASSERT_TRUE(Until([&] {
      return All(
          window,
          [](const auto& row) { return row.state == SlotState::Writing && row.bytesPerSecond > 0; },
          kSlots);
    })) << window.TotalsText().toStdString();
    for (int row = 0; row < static_cast<int>(kSlots); ++row) {
      const int share = window.Model()
                            .index(row, BenchTableModel::kProgressColumn)
                            .data(BenchTableModel::kPerMilleRole)
                            .toInt();
      EXPECT_GT(share, 0);
      EXPECT_LT(share, 600);  // the group's share, not the image's
      EXPECT_NE(window.Model().index(row, BenchTableModel::kRateColumn).data().toString(), "");
    }
    Find<QPushButton>(window, "stopAll").click();
    ASSERT_TRUE(Until(
        [&] {
          window.Refresh();
          return All(
              window,
              [](const auto& row) { return !row.serving && row.state == SlotState::Stopped; },
              kSlots);
        },
        20s));
    EXPECT_TRUE(All(
        window, [](const auto& row) { return row.passes == 0; }, kSlots));
    EXPECT_FALSE(Find<QLineEdit>(window, "release").isEnabled());  // still locked once stopped
  }
  const std::vector<records::Record> kept = Records();
  EXPECT_EQ(
      std::count_if(kept.begin(), kept.end(), [](const auto& r) { return r.result == "passed"; }),
      0);
  EXPECT_TRUE(boxes_.empty());
}

// A bench that requires serials: a slot's start without one is refused in a box; a serial
// typed as a scanner does (its characters, then Enter) into the field of the selected slot
// starts that slot, the field moves on to the next slot, and the record carries the serial and
// the operator typed into the settings.
TEST_F(BenchWindowTest, AScannedSerialAndEnterStartTheSelectedSlotAndTheRecordCarriesIt) {
  BenchWindowOptions options;
  options.plan = Plan(2, "uart");
  options.plan.defaultCal = false;
  options.plan.requireSerial = true;
  for (const station::Slot& slot : options.plan.slots) PlugIn(slot.place, {});
  {
    BenchWindow window(options);
    window.show();
    EXPECT_FALSE(window.StartSlot(1));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0],
              "A2: scan or type the unit's serial first: this bench serves no phone without one");
    Find<QLineEdit>(window, "operator").setText(QStringLiteral("Ana"));
    auto& serial = Find<QLineEdit>(window, "serial");
    serial.setFocus();
    for (const QChar c : QStringLiteral("SN-100")) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(&serial, &press);
    }
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QApplication::sendEvent(&serial, &enter);
    EXPECT_EQ(serial.text(), QString());
    EXPECT_EQ(window.Table().currentIndex().row(), 1);
    ASSERT_TRUE(Until([&] {
      window.Refresh();
      return window.Model().Rows()[0].passes == 1 && !window.Model().Rows()[0].serving;
    })) << window.TotalsText().toStdString();
    EXPECT_FALSE(window.Model().Rows()[1].serving);  // the other slot waits for its own unit
    EXPECT_EQ(boxes_.size(), 1u);
  }
  const std::vector<records::Record> kept = Records();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].port, "A1");
  EXPECT_EQ(kept[0].unitSerial, "SN-100");
  EXPECT_EQ(kept[0].operatorName, "Ana");
}

}  // namespace
}  // namespace veska::gui
