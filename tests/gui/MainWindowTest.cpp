#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "TestApp.h"
#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"
#include "app/Templates.h"
#include "desktop/DesktopSession.h"
#include "dump/NandDumpDlg.h"
#include "gui/DialogUnits.h"
#include "gui/Program.h"
#include "gui/QtHost.h"
#include "sim/VirtualPhone.h"

#include <QTimer>
#include <fstream>

namespace veska::gui {
namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    folder_ = std::filesystem::temp_directory_path() /
              ("veska_gui_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::filesystem::path folder_;
  QtHost host_;
};

TEST_F(MainWindowTest, ProgramStartsIdleWithTheTemplatesControls) {
  bool looked = false;
  const int result = RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    looked = true;
    EXPECT_EQ(window.windowTitle().toStdString(), "Veska Downloader Lite v1.67 for QX7430(Nand3G)");
    EXPECT_EQ(window.size(), window.minimumSize());  // opens at its smallest
    EXPECT_EQ(window.width(), window.Units().X(390));
    EXPECT_FALSE(window.windowIcon().isNull());

    // Hidden controls exist but are never shown; the rest are on screen.
    for (const auto& control : app::kMainDialogTemplate.controls) {
      if (control.id == ui::ID_STATIC) continue;
      QWidget* widget = window.Control(control.id);
      ASSERT_NE(widget, nullptr) << control.id;
      EXPECT_EQ(widget->isVisible(), !control.Has(ui::STYLE_HIDDEN)) << control.id;
      EXPECT_EQ(widget->geometry().topLeft(), window.Units().Map(control.rect).topLeft())
          << control.id;
    }
    auto* start = qobject_cast<QPushButton*>(window.Control(app::IDC_START));
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->text(), "START");
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(window.Control(app::IDC_DOWNLOAD)->isEnabled());
    EXPECT_FALSE(window.Control(app::IDC_DISCONNECT)->isEnabled());
    EXPECT_TRUE(window.Control(app::IDC_CHECKSUM)->isEnabled());
    EXPECT_TRUE(qobject_cast<QRadioButton*>(window.Control(app::IDC_UART))->isChecked());
    EXPECT_EQ(qobject_cast<QLineEdit*>(window.Control(app::IDC_FLASH_ID))->text(), "Disconnect");
    auto* log = qobject_cast<QPlainTextEdit*>(window.Control(app::IDC_LOG));
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(log->toPlainText().startsWith("\n * How to use Download Mode\n\n    1. Turn off"));
    auto* port = qobject_cast<QComboBox*>(window.Control(app::IDC_PORT));
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->count(), 50);
    EXPECT_EQ(port->currentIndex(), -1);
    EXPECT_EQ(window.StatusLine(),
              "No COM port chosen: choose one in the Serial Port box before START");

    // Choosing a port shows the device it stands for.
    port->setCurrentIndex(16);
    EXPECT_TRUE(port->toolTip().startsWith("COM17 = /dev/ttyUSB0"))
        << port->toolTip().toStdString();
    EXPECT_EQ(window.StatusLine(), port->toolTip());
    const char* shot = std::getenv("VESKA_SCREENSHOT");
    if (shot != nullptr && shot[0] != '\0') {
      port->setCurrentIndex(-1);
      window.grab().save(QString::fromLocal8Bit(shot));
    }
    window.Control(app::IDC_EXIT)->setFocus();
    qobject_cast<QPushButton*>(window.Control(app::IDC_EXIT))->click();
  });
  EXPECT_TRUE(looked);
  EXPECT_EQ(result, ui::IDOK);
}

// The window may be enlarged, never made smaller than its template and the status line: the
// log takes the extra width and height (the progress bar above it the width), the status line
// goes down with the bottom edge, and every other control keeps its place.
TEST_F(MainWindowTest, AnEnlargedWindowGivesTheLogTheExtraRoom) {
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    const QSize smallest = window.minimumSize();
    EXPECT_EQ(window.size(), smallest);
    EXPECT_EQ(smallest.width(), window.Units().X(390));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QLabel* status = nullptr;
    std::vector<QRect> before;
    for (std::size_t i = 0; window.PlacedControl(i) != nullptr; ++i) {
      before.push_back(window.PlacedControl(i)->geometry());
    }
    for (QLabel* label : window.findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
      if (std::find(before.begin(), before.end(), label->geometry()) == before.end()) {
        status = label;
      }
    }
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->geometry().top(), window.Units().Y(449));
    EXPECT_EQ(smallest.height(), window.Units().Y(449) + status->height());
    const QRect statusBefore = status->geometry();

    const auto expectPlaces = [&](int dx, int dy) {
      for (std::size_t i = 0; i < before.size(); ++i) {
        const int id = app::kMainDialogTemplate.controls[i].id;
        const QRect expected = id == app::IDC_LOG        ? before[i].adjusted(0, 0, dx, dy)
                               : id == app::IDC_PROGRESS ? before[i].adjusted(0, 0, dx, 0)
                                                         : before[i];
        EXPECT_EQ(window.PlacedControl(i)->geometry(), expected) << "entry " << i;
      }
      EXPECT_EQ(status->geometry(), statusBefore.translated(0, dy).adjusted(0, 0, dx, 0));
    };
    window.resize(smallest + QSize(120, 200));
    QApplication::processEvents();
    ASSERT_EQ(window.size(), smallest + QSize(120, 200));
    expectPlaces(120, 200);
    // Smaller than the template is refused: the window stops at its smallest size.
    window.resize(100, 100);
    QApplication::processEvents();
    EXPECT_EQ(window.size(), smallest);
    expectPlaces(0, 0);
    window.EndDialog(ui::IDOK);
  });
}

// The selector's texts stay "COMn"; a port whose device is there shows in bold, so that a
// technician sees at a glance which one the cable is on.
TEST_F(MainWindowTest, ThePortSelectorMarksThePortsThatArePresent) {
  std::ofstream(folder_ / "phone") << "";
  std::ofstream(folder_ / "VeskaDownloader.INI")
      << "[Ports]\nCOM3=" << (folder_ / "phone").string()
      << "\nCOM4=" << (folder_ / "absent").string() << "\n";
  bool looked = false;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    looked = true;
    auto* port = qobject_cast<QComboBox*>(window.Control(app::IDC_PORT));
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->itemText(2), "COM3");
    EXPECT_TRUE(port->itemData(2, Qt::FontRole).value<QFont>().bold());
    EXPECT_FALSE(port->itemData(3, Qt::FontRole).isValid());
    EXPECT_TRUE(port->itemData(3, Qt::ToolTipRole).toString().endsWith("(not present)"));
    qobject_cast<QPushButton*>(window.Control(app::IDC_EXIT))->click();
  });
  EXPECT_TRUE(looked);
}

TEST_F(MainWindowTest,
       TheExpertSwitchShowsTheExpertControlsOnlyAndVerifyAndSelectionAreRemembered) {
  std::ofstream(folder_ / "VeskaDownloader.INI") << "[Setting]\n"
                                                 << desktop::KEY_EXPERT_BUTTONS << "=1\n";
  bool looked = false;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    looked = true;
    for (const auto& control : app::kMainDialogTemplate.controls) {
      if (control.id == ui::ID_STATIC) continue;
      const bool expert = control.id == app::IDC_NAND_DUMP || control.id == app::IDC_TFS_EXPLORER ||
                          control.id == app::IDC_VERIFY_AFTER_DOWNLOAD;
      EXPECT_EQ(window.Control(control.id)->isVisible(), expert || !control.Has(ui::STYLE_HIDDEN))
          << control.id;
    }
    // Shown, but still off until a phone is connected.
    EXPECT_FALSE(window.Control(app::IDC_NAND_DUMP)->isEnabled());
    auto* verify = qobject_cast<QCheckBox*>(window.Control(app::IDC_VERIFY_AFTER_DOWNLOAD));
    ASSERT_NE(verify, nullptr);
    EXPECT_FALSE(verify->isChecked());
    verify->click();
    qobject_cast<QAbstractButton*>(window.Control(app::IDC_SEL_ALL_BINARY_FS))->click();
    qobject_cast<QPushButton*>(window.Control(app::IDC_EXIT))->click();
  });
  EXPECT_TRUE(looked);

  // The next start finds the box and the selection as they were left.
  looked = false;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    looked = true;
    EXPECT_TRUE(
        qobject_cast<QCheckBox*>(window.Control(app::IDC_VERIFY_AFTER_DOWNLOAD))->isChecked());
    EXPECT_TRUE(
        qobject_cast<QAbstractButton*>(window.Control(app::IDC_SEL_ALL_BINARY_FS))->isChecked());
    qobject_cast<QPushButton*>(window.Control(app::IDC_EXIT))->click();
  });
  EXPECT_TRUE(looked);
}

TEST_F(MainWindowTest, TheDumpAreaDialogOffersOkOnceAnAreaIsClicked) {
  app::ProcessState state;
  dump::NandDumpDlg dialog(state);
  bool looked = false;
  host_.SetShownHook([&](QtWindow& window) {
    looked = true;
    EXPECT_EQ(window.windowTitle().toStdString(), "Nand Flash Dump");
    EXPECT_FALSE(window.Control(ui::IDOK)->isEnabled());
    qobject_cast<QRadioButton*>(window.Control(app::IDC_DUMP_NANDPREBOOT))->click();
    EXPECT_EQ(qobject_cast<QLineEdit*>(window.Control(app::IDC_DUMP_TO))->text(), "0x0FFF");
    ASSERT_TRUE(window.Control(ui::IDOK)->isEnabled());
    qobject_cast<QPushButton*>(window.Control(ui::IDOK))->click();
  });
  EXPECT_EQ(host_.RunModal(app::kDumpAreaDialogTemplate, dialog, nullptr), ui::IDOK);
  host_.SetShownHook({});
  EXPECT_TRUE(looked);
  EXPECT_EQ(state.dumpTo, 0x1000u);
}

TEST_F(MainWindowTest, WorkerCallsWaitUntilTheWidgetHasChanged) {
  std::jthread worker;
  std::vector<std::string> seen;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    worker = std::jthread([&window, &seen] {
      window.SetText(app::IDC_LOG, "");
      for (int i = 0; i < 50; ++i) {
        window.AppendText(app::IDC_LOG, "line\r\n");
        window.SetText(app::IDC_FILE_NAME, std::to_string(i));
        seen.push_back(window.GetText(app::IDC_FILE_NAME));
      }
      window.SetRange(app::IDC_PROGRESS, 0, 6'000'000'000LL);  // beyond the widget's int
      window.SetPos(app::IDC_PROGRESS, 3'000'000'000LL);
      seen.push_back(window.GetText(app::IDC_LOG));
      window.EndDialog(ui::IDCANCEL);
    });
  });
  worker.join();
  ASSERT_EQ(seen.size(), 51u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], std::to_string(i));
  std::string fifty;
  for (int i = 0; i < 50; ++i) fifty += "line\n";
  EXPECT_EQ(seen.back(), fifty);
}

TEST_F(MainWindowTest, RadioClicksFollowTheTemplateGroups) {
  app::ProcessState state;
  app::Settings settings(folder_ / "s.INI");
  app::DownloaderDlg dialog(host_, state, settings);
  QtWindow window(app::kMainDialogTemplate, dialog);
  dialog.Attach(&window);
  dialog.OnInitDialog();
  qobject_cast<QRadioButton*>(window.Control(app::IDC_USB))->click();
  EXPECT_EQ(state.link.linkMode.load(), link::LINK_USB);
  EXPECT_EQ(dialog.linkType, 1);
  qobject_cast<QRadioButton*>(window.Control(app::IDC_SEL_ALL_BINARY_FS))->click();
  qobject_cast<QRadioButton*>(window.Control(app::IDC_SEL_ALL_BINARY_FS))->click();  // stays
  dialog.UpdateData(true);
  EXPECT_EQ(dialog.selectionIndex, 16);
  EXPECT_EQ(dialog.linkType, 1);  // another group
  dialog.Attach(nullptr);
}

// START in the real program against the virtual phone: the worker's narration, the Flash ID
// box and the connected state all cross to the user-interface thread.
TEST_F(MainWindowTest, StartConnectsToTheVirtualPhone) {
  sim::VirtualPhone phone(sim::PhoneOptions{});
  ASSERT_EQ(phone.Start(), 0);
  std::ofstream(folder_ / "VeskaDownloader.INI")
      << "[Setting]\nUartPort=4\nm_nBaudRate=2\n[Ports]\nCOM5=" << phone.SlavePath() << "\n";
  std::string log;
  std::string flashId;
  bool downloadEnabled = false;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    qobject_cast<QPushButton*>(window.Control(app::IDC_START))->click();
    auto* poll = new QTimer(&window);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    QObject::connect(poll, &QTimer::timeout,
                     [this, &window, &log, &flashId, &downloadEnabled, poll, deadline] {
                       log = window.GetText(app::IDC_LOG);
                       // The worker switches to the connected state after its last log text: wait
                       // for its end.
                       const bool done =
                           log.find("Available") != std::string::npos && !host_.HasRunningWorkers();
                       if (!done && std::chrono::steady_clock::now() < deadline) return;
                       poll->stop();
                       flashId = window.GetText(app::IDC_FLASH_ID);
                       downloadEnabled = window.IsEnabled(app::IDC_DOWNLOAD);
                       window.EndDialog(ui::IDOK);
                     });
    poll->start(50);
  });
  host_.JoinWorkers();
  phone.Stop();
  EXPECT_NE(log.find("Try to open COM5\t>Success!!"), std::string::npos) << log;
  EXPECT_NE(log.find("NAND Bad block check\t\t\t> > > Not found\nOK\n\n     UART Download "
                     "Mode\t> > > Available"),
            std::string::npos)
      << log;
  EXPECT_EQ(flashId, "MR7D2P45XT");
  EXPECT_TRUE(downloadEnabled);
}

TEST(QtFileFilter, KeepsDescriptionsAndTakesPatternsFromThePairsThenAddsAllFiles) {
  EXPECT_EQ(QtFileFilter("TFS File(*.tfs)|*.tfs|*.*|*.*||").toStdString(),
            "TFS File(*.tfs) (*.tfs);;*.* (*.*);;All files (*)");
  // Rsrc.img passes only the added entry.
  EXPECT_EQ(QtFileFilter("*.enc File(*.rc1)|*.rc1||").toStdString(),
            "*.enc File(*.rc1) (*.rc1);;All files (*)");
  // A list that offers every file already gets no second such entry.
  EXPECT_EQ(QtFileFilter("Any(*)|*||").toStdString(), "Any(*) (*)");
}

TEST(DialogUnits, ScaleByTheFontsBaseUnitsAndRound) {
  const DialogUnits units(6, 13);  // Tahoma 8 at 96 dots per inch
  EXPECT_EQ(units.Map(ui::DialogRect{390, 449, 7, 1}),
            QRect(585, 730, 11, 2));  // 449 * 13 / 8 = 729.6, 7 * 6 / 4 = 10.5 -> 11
}

}  // namespace
}  // namespace veska::gui
