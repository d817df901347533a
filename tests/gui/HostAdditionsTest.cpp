// What the desktop program adds around the dialog: the status line's wait and failure texts,
// the message boxes' causes and widths, the log pane's menu and session file, and the looks the
// template cannot state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "TestApp.h"
#include "app/AboutDlg.h"
#include "app/ControlIds.h"
#include "app/SessionLog.h"
#include "app/Templates.h"
#include "gui/Hangul.h"
#include "gui/LogPane.h"
#include "gui/Program.h"
#include "gui/QtHost.h"
#include "records/Stores.h"
#include "sim/VirtualPhone.h"

namespace veska::gui {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `step` every 20 ms on the user-interface thread until it returns true or 30 s pass.
void Poll(QObject& owner, std::function<bool()> step) {
  auto* timer = new QTimer(&owner);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  QObject::connect(timer, &QTimer::timeout, [timer, step = std::move(step), deadline] {
    if (step() || std::chrono::steady_clock::now() > deadline) timer->stop();
  });
  timer->start(20);
}

class HostAdditionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    folder_ = std::filesystem::temp_directory_path() /
              ("veska_gui_add_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  void WriteSettings(const std::string& comPath) {
    std::ofstream(folder_ / "VeskaDownloader.INI")
        << "[Setting]\nUartPort=4\nm_nBaudRate=2\n[Ports]\nCOM5=" << comPath << "\n";
  }
  std::filesystem::path folder_;
  QtHost host_;
};

// START with the phone still off: the status line counts the wait and says what to do; once
// the phone is on and connected it shows the port again. The session's file holds what the log
// pane was given, and the phone served left its record beside the settings.
TEST_F(HostAdditionsTest, TheBootWaitIsCountedInTheStatusLineAndTheSessionFileKeepsTheLog) {
  sim::PhoneOptions options;
  options.poweredOnAtStart = false;
  sim::VirtualPhone phone(options);
  ASSERT_EQ(phone.Start(), 0);
  WriteSettings(phone.SlavePath());
  QString waiting;
  QString after;
  std::string pane;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    qobject_cast<QPushButton*>(window.Control(app::IDC_START))->click();
    Poll(window, [&] {
      if (waiting.isEmpty()) {
        if (!window.StatusLine().startsWith(QStringLiteral("Waiting for"))) return false;
        waiting = window.StatusLine();
        phone.PowerOn();
        return false;
      }
      pane = window.GetText(app::IDC_LOG);
      if (pane.find("Available") == std::string::npos || host_.HasRunningWorkers()) return false;
      QApplication::processEvents();  // the wait's last report
      after = window.StatusLine();
      window.EndDialog(ui::IDOK);
      return true;
    });
  });
  host_.JoinWorkers();
  phone.Stop();
  EXPECT_TRUE(waiting.startsWith(QStringLiteral("Waiting for the BOOT signal: ")))
      << waiting.toStdString();
  EXPECT_TRUE(
      waiting.endsWith(QStringLiteral(" s. Switch the phone on now; Disconnect stops the wait")))
      << waiting.toStdString();
  EXPECT_TRUE(after.startsWith(QStringLiteral("COM5 = "))) << after.toStdString();
  // The log pane read as always; the file holds the same narration.
  EXPECT_NE(pane.find("Listen for the BOOT signal\t\t\t> > > OK\n"), std::string::npos) << pane;
  // Named after the program, beside its settings file.
  const std::string file = ReadFile(folder_ / (host_.ApplicationName() + ".log"));
  EXPECT_NE(file.find("\n  * Connecting to target phone\n     Try to open COM5\t>Success!!\n"),
            std::string::npos)
      << file;
  EXPECT_TRUE(pane.ends_with(file.substr(file.find("\n  * Connecting")))) << file;

  const auto store = records::MakeSqliteStore((folder_ / "veska-records.db").string());
  std::vector<records::Record> kept;
  ASSERT_EQ(store->Read({}, kept), records::RECORDS_OK) << store->Problem();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].port, "COM5");
  EXPECT_EQ(kept[0].device, phone.SlavePath());
  EXPECT_EQ(kept[0].result, "passed");
  EXPECT_FALSE(kept[0].flashId.empty());
  ASSERT_EQ(kept[0].steps.size(), 1u);
  EXPECT_EQ(kept[0].steps[0].outcome, "connected");
  // Timed from the press, the wait for the phone included.
  EXPECT_GT(kept[0].steps[0].seconds, 0.0);
}

// A port that cannot be opened: the box says "Comm Error" as always, the reason comes as its
// informative text and stays in the status line after the box has gone.
TEST_F(HostAdditionsTest, APortFailureBoxShowsTheReasonBesideItsOwnText) {
  const std::string missing = (folder_ / "no-such-tty").string();
  WriteSettings(missing);
  QString text;
  QString informative;
  QString title;
  QString status;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    qobject_cast<QPushButton*>(window.Control(app::IDC_START))->click();
    Poll(window, [&] {
      if (text.isEmpty()) {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return false;
        text = box->text();
        informative = box->informativeText();
        title = box->windowTitle();
        box->button(QMessageBox::Ok)->click();
        return false;
      }
      if (host_.HasRunningWorkers()) return false;
      QApplication::processEvents();
      status = window.StatusLine();
      window.EndDialog(ui::IDOK);
      return true;
    });
  });
  host_.JoinWorkers();
  EXPECT_EQ(text, "Comm Error");
  EXPECT_EQ(title, "Failure");
  const QString reason = QString::fromStdString("COM5 (" + missing + ") does not exist.");
  EXPECT_EQ(informative, reason);
  EXPECT_EQ(status, reason);
}

// "Download Finished" under "  NOTICE  ": the box leaves room for the whole caption beside the
// window manager's icon and buttons, which the box's own sizing knows nothing of.
TEST_F(HostAdditionsTest, AMessageBoxIsWideEnoughForItsWholeCaption) {
  int width = 0;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    width = box->width();
    box->button(QMessageBox::Ok)->click();
  });
  host_.MessageBox(nullptr, "Download Finished", "  NOTICE  ", ui::MB_OK);
  QFont bold = QApplication::font();
  bold.setBold(true);
  EXPECT_GE(width, QFontMetrics(bold).horizontalAdvance(QStringLiteral("  NOTICE  ")) + 100);
}

// The log pane: a fixed-width font with eight-character tab stops, and "Copy all" and
// "Save log..." in its menu, which copy and save the whole pane.
TEST_F(HostAdditionsTest, TheLogPaneCopiesAndSavesItsWholeTextInAFixedWidthFont) {
  bool looked = false;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    looked = true;
    auto* edit = qobject_cast<QPlainTextEdit*>(window.Control(app::IDC_LOG));
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(QFontInfo(edit->font()).fixedPitch());
    EXPECT_DOUBLE_EQ(edit->tabStopDistance(),
                     QFontMetricsF(edit->font()).horizontalAdvance(QLatin1Char(' ')) * 8);
    LogPane* pane = nullptr;
    for (QObject* child : window.children()) {
      if (auto* found = dynamic_cast<LogPane*>(child)) pane = found;
    }
    ASSERT_NE(pane, nullptr);
    const std::unique_ptr<QMenu> menu = pane->BuildMenu();
    QStringList entries;
    for (const QAction* action : menu->actions()) entries << action->text();
    EXPECT_TRUE(entries.contains(QStringLiteral("Copy all"))) << entries.join('|').toStdString();
    EXPECT_TRUE(entries.contains(QStringLiteral("Save log...")));

    window.AppendText(app::IDC_LOG, "Listen\t> > > OK\r\n");
    pane->CopyAll();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), edit->toPlainText());
    const auto saved = folder_ / "saved.log";
    EXPECT_TRUE(pane->SaveTo(QString::fromStdString(saved.string())));
    EXPECT_EQ(QString::fromStdString(ReadFile(saved)), edit->toPlainText());
    EXPECT_FALSE(pane->SaveTo(QString::fromStdString((folder_ / "no/such/folder.log").string())));
    window.EndDialog(ui::IDOK);
  });
  EXPECT_TRUE(looked);

  // Whatever the platform offers as its fixed font: a proportional proposal gives way to a
  // fixed-pitch family of its size, a fixed-pitch one stays.
  QFont proportional(QStringLiteral("DejaVu Sans"), 9);
  proportional.setStyleHint(QFont::SansSerif);
  ASSERT_FALSE(QFontInfo(proportional).fixedPitch())
      << QFontInfo(proportional).family().toStdString();
  const QFont chosen = FixedPitchFont(proportional);
  EXPECT_TRUE(QFontInfo(chosen).fixedPitch()) << QFontInfo(chosen).family().toStdString();
  EXPECT_EQ(chosen.pointSize(), 9);
  EXPECT_EQ(FixedPitchFont(chosen), chosen);
}

// Each session starts its file afresh and keeps the previous one as ".1"; a file that outgrows
// its limit moves there as well, so two files at most are on disk. The Windows window's "\r\n"
// reaches the file as the platform's line end.
TEST_F(HostAdditionsTest, TheSessionLogRotatesAtStartAndAtItsLimit) {
  const std::filesystem::path path = folder_ / "VeskaDownloader.log";
  std::ofstream(folder_ / "VeskaDownloader.log") << "last session";
  std::ofstream(folder_ / "VeskaDownloader.log.1") << "the one before";
  {
    app::SessionLog log(path, 10);
    EXPECT_EQ(ReadFile(folder_ / "VeskaDownloader.log.1"), "last session");
    log.Append("123456");
    log.Append("7890");  // just fits
    EXPECT_EQ(ReadFile(folder_ / "VeskaDownloader.log"), "1234567890");
    log.Append("abc");
    EXPECT_EQ(ReadFile(folder_ / "VeskaDownloader.log"), "abc");
    EXPECT_EQ(ReadFile(folder_ / "VeskaDownloader.log.1"), "1234567890");
    log.Append("d\r\ne\n");
    EXPECT_EQ(ReadFile(folder_ / "VeskaDownloader.log"), "abcd\ne\n");
  }
  EXPECT_EQ(app::SessionLogPath("/home/u/.config/VeskaDownloader.INI", "VeskaDownloader"),
            std::filesystem::path("/home/u/.config/VeskaDownloader.log"));
  // The very first start: the settings' folder, the log's, is not there yet.
  const std::filesystem::path first = folder_ / "config" / "Veska" / "VeskaDownloader.log";
  {
    app::SessionLog log(first);
    log.Append("first\n");
  }
  EXPECT_EQ(ReadFile(first), "first\n");
}

// The Flash ID box reads as text, not greyed, while the dialog still treats it as disabled;
// path fields show the file name end of a long path and the whole path as the tool tip.
TEST_F(HostAdditionsTest, FlashIdReadsAsTextAndPathFieldsShowTheirEnd) {
  bool looked = false;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& window) {
    looked = true;
    auto* flashId = qobject_cast<QLineEdit*>(window.Control(app::IDC_FLASH_ID));
    ASSERT_NE(flashId, nullptr);
    EXPECT_TRUE(flashId->isEnabled());
    EXPECT_TRUE(flashId->isReadOnly());
    EXPECT_FALSE(window.IsEnabled(app::IDC_FLASH_ID));
    window.Enable(app::IDC_FLASH_ID, true);
    EXPECT_TRUE(window.IsEnabled(app::IDC_FLASH_ID));
    EXPECT_TRUE(flashId->isReadOnly());  // the template's read-only stays
    window.Enable(app::IDC_FLASH_ID, false);

    const std::string path =
        "/home/technician/releases/QX7430/2026-12-01/build-4711/APPS/apps_release_signed.bin";
    window.SetText(app::IDC_APPS_PATH, path);
    auto* field = qobject_cast<QLineEdit*>(window.Control(app::IDC_APPS_PATH));
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->toolTip().toStdString(), path);
    EXPECT_EQ(field->cursorPosition(), static_cast<int>(path.size()));
    EXPECT_EQ(window.GetText(app::IDC_APPS_PATH), path);
    // Static texts wrap at their width: none of the window's needs more lines than it has room.
    for (QObject* child : window.children()) {
      if (auto* text = qobject_cast<QLabel*>(child); text != nullptr && text->wordWrap()) {
        EXPECT_LE(text->heightForWidth(text->width()), text->height())
            << text->text().toStdString();
      }
    }
    window.EndDialog(ui::IDOK);
  });
  EXPECT_TRUE(looked);
}

// The about box: the payload line and the folders line under it, naming long folders, wrap
// inside their box, which grows to hold them, and read back unchanged; the session file is
// named under them.
TEST_F(HostAdditionsTest, TheAboutBoxShowsItsPayloadLinesWholeAndNamesTheSessionLog) {
  const std::string payloads =
      "Loader payloads: real target programs from "
      "/opt/veska/share/veska-downloader/payloads/QX7430-Nand3G/release-2026-12\n"
      "Loader folders: /opt/veska/lib/veska-downloader/bin/payloads, then "
      "/opt/veska/share/veska-downloader/payloads/QX7430-Nand3G/release-2026-12";
  app::AboutDlg about(payloads);
  QtWindow window(app::kAboutDialogTemplate, about);
  about.Attach(&window);
  about.OnInitDialog();
  window.FitStaticText(app::IDC_ABOUT_PAYLOADS);
  auto* label = qobject_cast<QLabel*>(window.Control(app::IDC_ABOUT_PAYLOADS));
  ASSERT_NE(label, nullptr);
  EXPECT_LE(label->heightForWidth(label->width()), label->height());
  EXPECT_LE(label->geometry().bottom(), window.height());
  EXPECT_EQ(window.GetText(app::IDC_ABOUT_PAYLOADS), payloads);
  EXPECT_EQ(window.minimumSize(), window.maximumSize());  // unlike the main window, fixed
  // The other texts (the version line, in English without a Korean font) fit as they are.
  for (QObject* child : window.children()) {
    if (auto* text = qobject_cast<QLabel*>(child); text != nullptr && !text->text().isEmpty()) {
      EXPECT_LE(text->heightForWidth(text->width()), text->height()) << text->text().toStdString();
    }
  }
  about.Attach(nullptr);

  // Through the program's menu, as the user opens it.
  QString named;
  std::string shown;
  RunProgram(host_, folder_ / "VeskaDownloader.INI", [&](QtWindow& main) {
    QTimer::singleShot(0, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      ASSERT_NE(menu, nullptr);
      QAction* aboutItem = menu->actions().back();
      menu->close();
      Poll(main, [&] {
        auto* box = dynamic_cast<QtWindow*>(QApplication::activeModalWidget());
        if (box == nullptr || box == &main || box->StatusLine().isEmpty()) return false;
        named = box->StatusLine();
        shown = box->GetText(app::IDC_ABOUT_PAYLOADS);
        auto* lines = qobject_cast<QLabel*>(box->Control(app::IDC_ABOUT_PAYLOADS));
        EXPECT_TRUE(lines != nullptr && lines->heightForWidth(lines->width()) <= lines->height());
        box->EndDialog(ui::IDOK);
        main.EndDialog(ui::IDOK);
        return true;
      });
      aboutItem->trigger();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2), main.mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(&main, &event);
  });
  EXPECT_EQ(named.toStdString(),
            "Session log: " + (folder_ / (host_.ApplicationName() + ".log")).string());
  // The program's own set: where its loaders come from, then the folders it looked in.
  const std::string beside =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "payloads").string();
  EXPECT_TRUE(shown.starts_with("Loader payloads: ")) << shown;
  EXPECT_NE(shown.find("\nLoader folders: " + beside + ", then /"), std::string::npos) << shown;
}

// Without a font for Hangul the Korean captions read in English; with one they stay.
TEST(ReadableText, GivesTheKoreanCaptionsInEnglishOnlyWithoutAFontForThem) {
  const QString menu = QString::fromUtf8(app::kAboutMenuText.data(),
                                         static_cast<qsizetype>(app::kAboutMenuText.size()));
  EXPECT_EQ(ReadableText(menu, false), "&About VeskaDownloader...");
  EXPECT_EQ(ReadableText(menu, true), menu);
  EXPECT_EQ(ReadableText(QString::fromUtf8("확인"), false), "OK");
  EXPECT_EQ(ReadableText(
                QString::fromUtf8(app::kAboutDialogTemplate.title.data(),
                                  static_cast<qsizetype>(app::kAboutDialogTemplate.title.size())),
                false),
            "About VeskaDownloader");
  EXPECT_EQ(ReadableText(QStringLiteral("START"), false), "START");
}

}  // namespace
}  // namespace veska::gui
