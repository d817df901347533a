// How a session's operations end in the desktop program: quitting in the middle of one, a
// Disconnect, and a phone whose line drops.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "TestApp.h"
#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"
#include "gui/Program.h"
#include "gui/QtHost.h"
#include "records/Stores.h"
#include "sim/VirtualPhone.h"

namespace veska::gui {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Ends the test binary when a run does not return in time: a hang fails instead of holding
// the suite.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds bound)
      : thread_([this, bound] {
          std::unique_lock lock(mutex_);
          if (!ended_.wait_for(lock, bound, [this] { return done_; })) {
            std::fprintf(stderr, "The program did not end within %lld s\n",
                         static_cast<long long>(bound.count()));
            std::_Exit(1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ended_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  std::jthread thread_;
};

// Steps run in turn every 20 ms on the user-interface thread, each until it returns true.
using Step = std::function<bool(QtWindow&)>;

void RunSteps(QtWindow& window, std::vector<Step> steps) {
  auto* timer = new QTimer(&window);
  auto next = std::make_shared<std::size_t>(0);
  const auto deadline = Clock::now() + 40s;
  QObject::connect(
      timer, &QTimer::timeout, [&window, timer, next, deadline, steps = std::move(steps)] {
        if (*next >= steps.size()) return timer->stop();
        if (Clock::now() > deadline) {
          QWidget* top = QApplication::activeModalWidget();
          ADD_FAILURE() << "step " << *next << " did not come; on top: "
                        << (top != nullptr ? top->metaObject()->className() : "nothing") << " "
                        << (qobject_cast<QMessageBox*>(top) != nullptr
                                ? qobject_cast<QMessageBox*>(top)->text().toStdString()
                                : std::string())
                        << "\n"
                        << window.GetText(app::IDC_LOG);
          timer->stop();
          window.EndDialog(ui::IDCANCEL);
          return;
        }
        if (steps[*next](window)) ++*next;
      });
  timer->start(20);
}

void Click(QtWindow& window, int id) {
  qobject_cast<QAbstractButton*>(window.Control(id))->click();
}

// From the event loop: a press that opens a modal window runs that window's loop, and a step
// must return for the next one to run.
void ClickLater(QtWindow& window, int id) {
  QTimer::singleShot(0, &window, [&window, id] { Click(window, id); });
}

// The box on top, if it says `text` (from its start).
QMessageBox* BoxSaying(std::string_view text) {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !box->text().toStdString().starts_with(text)) return nullptr;
  return box;
}

enum class Stage { BootWait, Download, NandDump, Explorer };

class SessionEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    folder_ = std::filesystem::temp_directory_path() / ("veska_gui_end_" + name);
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    std::ofstream(folder_ / "apps.bin", std::ios::binary) << std::string(0x30000, '\x5A');
  }
  void TearDown() override {
    if (phone_) phone_->Stop();
    std::filesystem::remove_all(folder_);
  }

  // A phone on COM5 with the expert buttons shown, an APPS image chosen, and waits for the
  // phone that only the user ends.
  void StartPhone(sim::PhoneOptions options) {
    phone_ = std::make_unique<sim::VirtualPhone>(std::move(options));
    ASSERT_EQ(phone_->Start(), 0);
    std::ofstream(folder_ / "VeskaDownloader.INI")
        << "[Setting]\nUartPort=4\nm_nBaudRate=2\nExpertButtons=1\nReplyTimeout=600\n"
        << app::KEY_APPS << "=" << (folder_ / "apps.bin").string()
        << "\n[Ports]\nCOM5=" << phone_->SlavePath() << "\n";
  }

  std::vector<Step> ConnectSteps() {
    return {[](QtWindow& w) {
              Click(w, app::IDC_START);
              return true;
            },
            [this](QtWindow& w) {
              return w.IsEnabled(app::IDC_DOWNLOAD) && !host_.HasRunningWorkers();
            }};
  }
  std::vector<Step> DownloadSteps() {
    std::vector<Step> steps = ConnectSteps();
    steps.push_back([](QtWindow& w) {
      Click(w, app::IDC_SEL_APPS);
      Click(w, app::IDC_DOWNLOAD);
      return true;
    });
    return steps;
  }
  // Until the operation's worker is running and has moved bytes.
  Step Underway() {
    return [this](QtWindow& w) {
      return host_.HasRunningWorkers() && w.GetProgress(app::IDC_PROGRESS).position > 0;
    };
  }

  std::filesystem::path folder_;
  std::unique_ptr<sim::VirtualPhone> phone_;
  QtHost host_;
};

// Disconnect in the middle of an image: the pane goes back to its usage text, the session's
// file keeps the narration and says that the user stopped it.
TEST_F(SessionEndTest, ADisconnectedDownloadIsRecordedInTheSessionFile) {
  sim::PhoneOptions options;
  options.faults.push_back(*sim::ParseFault("silence@block#1"));
  StartPhone(options);
  std::vector<Step> steps = DownloadSteps();
  steps.push_back(Underway());
  steps.push_back([](QtWindow& w) {
    Click(w, app::IDC_DISCONNECT);
    return true;
  });
  std::string pane;
  steps.push_back([this, &pane](QtWindow& w) {
    if (host_.HasRunningWorkers()) return false;
    pane = w.GetText(app::IDC_LOG);
    w.EndDialog(ui::IDOK);
    return true;
  });
  {
    const Watchdog watchdog(60s);
    RunProgram(host_, folder_ / "VeskaDownloader.INI",
               [steps](QtWindow& window) { RunSteps(window, steps); });
  }
  EXPECT_TRUE(pane.starts_with("\n * How to use Download Mode\n")) << pane;
  EXPECT_EQ(pane.find("stopped"), std::string::npos) << pane;
  const std::string file = ReadFile(folder_ / (host_.ApplicationName() + ".log"));
  const std::size_t start = file.find("APPS Download start");
  ASSERT_NE(start, std::string::npos) << file;
  EXPECT_NE(file.find("\n  * Download stopped by the user\n", start), std::string::npos) << file;
}

// The notice of a finished download answered and Disconnect pressed at once, while the worker
// still ends: every image was written, so the file claims no stop and the phone has passed.
TEST_F(SessionEndTest, ADisconnectRightAfterAFinishedDownloadLeavesItWritten) {
  StartPhone({});
  std::vector<Step> steps = DownloadSteps();
  steps.push_back([](QtWindow& w) {
    QMessageBox* notice = BoxSaying("Download Finished");
    if (notice == nullptr) return false;
    notice->button(QMessageBox::Ok)->click();
    // Before the box's loop has even returned to the worker.
    Click(w, app::IDC_DISCONNECT);
    return true;
  });
  steps.push_back([this](QtWindow& w) {
    if (host_.HasRunningWorkers()) return false;
    w.EndDialog(ui::IDOK);
    return true;
  });
  {
    const Watchdog watchdog(60s);
    RunProgram(host_, folder_ / "VeskaDownloader.INI",
               [steps](QtWindow& window) { RunSteps(window, steps); });
  }
  const std::string file = ReadFile(folder_ / (host_.ApplicationName() + ".log"));
  EXPECT_NE(file.find("Download  Completed"), std::string::npos) << file;
  EXPECT_EQ(file.find("stopped by the user"), std::string::npos) << file;
  const auto store = records::MakeSqliteStore((folder_ / "veska-records.db").string());
  std::vector<records::Record> kept;
  ASSERT_EQ(store->Read({}, kept), records::RECORDS_OK) << store->Problem();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].result, "passed");
  ASSERT_EQ(kept[0].steps.size(), 2u);
  EXPECT_EQ(kept[0].steps[1].outcome, "written");
}

std::vector<records::Record> RecordsIn(const std::filesystem::path& file) {
  std::vector<records::Record> kept;
  if (!std::filesystem::exists(file)) return kept;
  const auto store = records::MakeSqliteStore(file.string());
  if (store->Read({}, kept) != records::RECORDS_OK) kept.clear();
  return kept;
}

// A records server whose address in the settings holds a password: the program points it out
// at start, and the password reaches none of the files it writes, though the record waits for
// the server (here a port nobody listens on) in this PC's database.
TEST_F(SessionEndTest, APasswordInTheSettingsReachesNoFileTheProgramWrites) {
  StartPhone({});
  const std::string password = "Pw-k7Zq2vR9x";
  std::string settings = ReadFile(folder_ / "VeskaDownloader.INI");
  settings.replace(settings.find("[Setting]\n"), 10,
                   "[Setting]\n" + std::string(app::KEY_RECORDS) +
                       "=postgresql://clerk:" + password + "@127.0.0.1:1/line\n");
  std::ofstream(folder_ / "VeskaDownloader.INI") << settings;
  std::vector<Step> steps = DownloadSteps();
  steps.push_back([](QtWindow&) {
    QMessageBox* notice = BoxSaying("Download Finished");
    if (notice == nullptr) return false;
    notice->button(QMessageBox::Ok)->click();
    return true;
  });
  steps.push_back([this](QtWindow& w) {
    if (host_.HasRunningWorkers() || !w.IsEnabled(app::IDC_DOWNLOAD)) return false;
    Click(w, app::IDC_DISCONNECT);
    w.EndDialog(ui::IDOK);
    return true;
  });
  ::testing::internal::CaptureStdout();
  {
    const Watchdog watchdog(60s);
    RunProgram(host_, folder_ / "VeskaDownloader.INI",
               [steps](QtWindow& window) { RunSteps(window, steps); });
  }
  const std::string said = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(said.find("the password in the settings' Records address is kept in plain text"),
            std::string::npos)
      << said;
  EXPECT_EQ(said.find(password), std::string::npos) << said;
  ASSERT_EQ(RecordsIn(folder_ / "veska-records.db").size(), 1u);
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_)) {
    if (!entry.is_regular_file() || entry.path().filename() == "VeskaDownloader.INI") continue;
    ++files;
    EXPECT_EQ(ReadFile(entry.path()).find(password), std::string::npos) << entry.path();
  }
  EXPECT_GE(files, 3);  // the image, the session's log, this PC's database
}

// A finished download, then the window idle for a while, then Disconnect: the phone is recorded
// at the Disconnect, with its time ending at the download. Until then its journal holds it, and
// a program killed before the Disconnect leaves it to the next run.
TEST_F(SessionEndTest, APhoneIsRecordedWhenLetGoAndSurvivesAKilledProgram) {
  StartPhone({});
  const std::filesystem::path database = folder_ / "veska-records.db";
  const std::filesystem::path journal =
      folder_ / ("veska-under-way-" + std::to_string(::getpid()) + ".db");
  const std::filesystem::path killed = folder_ / "left-by-a-killed-program.db";
  std::vector<Step> steps = DownloadSteps();
  steps.push_back([](QtWindow&) {
    QMessageBox* notice = BoxSaying("Download Finished");
    if (notice == nullptr) return false;
    notice->button(QMessageBox::Ok)->click();
    return true;
  });
  Clock::time_point idle{};
  steps.push_back([&](QtWindow& w) {
    if (host_.HasRunningWorkers() || !w.IsEnabled(app::IDC_DOWNLOAD)) return false;
    // What a program killed now would leave.
    std::error_code error;
    std::filesystem::copy_file(journal, killed, error);
    idle = Clock::now();
    return true;
  });
  steps.push_back([&](QtWindow& w) {
    if (Clock::now() - idle < 3s) return false;
    Click(w, app::IDC_DISCONNECT);
    idle = Clock::now();
    return true;
  });
  std::vector<records::Record> beforeExit;
  steps.push_back([&](QtWindow& w) {
    beforeExit = RecordsIn(database);
    if (beforeExit.empty() && Clock::now() - idle < 10s) return false;
    w.EndDialog(ui::IDOK);
    return true;
  });
  {
    const Watchdog watchdog(60s);
    RunProgram(host_, folder_ / "VeskaDownloader.INI",
               [steps](QtWindow& window) { RunSteps(window, steps); });
  }
  ASSERT_EQ(beforeExit.size(), 1u);
  const records::Record& phone = beforeExit[0];
  EXPECT_EQ(phone.result, "passed");
  ASSERT_EQ(phone.steps.size(), 2u);
  EXPECT_EQ(phone.steps[1].outcome, "written");
  // The three idle seconds are not the phone's.
  EXPECT_LT(phone.seconds, phone.steps[1].seconds + 2.0);
  EXPECT_FALSE(std::filesystem::exists(journal));

  // The run again as if it had been killed before the Disconnect: the next one keeps the phone.
  ASSERT_TRUE(std::filesystem::exists(killed));
  for (const char* side : {"", "-wal", "-shm"}) {
    std::filesystem::remove(database.string() + side);
  }
  std::filesystem::rename(killed, journal);
  {
    const Watchdog watchdog(60s);
    RunProgram(host_, folder_ / "VeskaDownloader.INI",
               [](QtWindow& window) { window.EndDialog(ui::IDOK); });
  }
  const std::vector<records::Record> recovered = RecordsIn(database);
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0].id, phone.id);
  EXPECT_EQ(recovered[0].result, "passed");
  EXPECT_EQ(recovered[0].steps.size(), 2u);
  EXPECT_EQ(recovered[0].images.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(journal));
}

// The phone's line drops in the middle of an image: a box says so with the port's reason, the
// status line keeps it, and the window is idle again, as before START.
TEST_F(SessionEndTest, ALineThatDropsMidImageIsSaidAndTheWindowGoesIdle) {
  sim::PhoneOptions options;
  options.faults.push_back(*sim::ParseFault("drop@block#1"));
  StartPhone(options);
  std::vector<Step> steps = DownloadSteps();
  std::string box;
  steps.push_back([&box](QtWindow&) {
    QMessageBox* shown = BoxSaying(app::kPhoneLostText);
    if (shown == nullptr) return false;
    box = shown->text().toStdString();
    shown->button(QMessageBox::Ok)->click();
    return true;
  });
  std::string status;
  std::string flashId;
  bool downloadEnabled = true;
  bool startEnabled = false;
  steps.push_back([&](QtWindow& w) {
    if (QApplication::activeModalWidget() != &w) return false;
    status = w.StatusLine().toStdString();
    flashId = w.GetText(app::IDC_FLASH_ID);
    downloadEnabled = w.IsEnabled(app::IDC_DOWNLOAD);
    startEnabled = w.IsEnabled(app::IDC_START);
    w.EndDialog(ui::IDOK);
    return true;
  });
  {
    const Watchdog watchdog(60s);
    RunProgram(host_, folder_ / "VeskaDownloader.INI",
               [steps](QtWindow& window) { RunSteps(window, steps); });
  }
  const std::string reason = "COM5 (" + phone_->SlavePath() + "): the line failed (";
  EXPECT_TRUE(box.starts_with(std::string(app::kPhoneLostText) + "\n" + reason)) << box;
  EXPECT_TRUE(box.ends_with("\n\n" + std::string(app::kPhoneLostAdvice))) << box;
  EXPECT_TRUE(status.starts_with(reason)) << status;
  EXPECT_EQ(flashId, "Disconnect");
  EXPECT_FALSE(downloadEnabled);
  EXPECT_TRUE(startEnabled);
  host_.JoinWorkers();
}

class QuitTest : public SessionEndTest, public ::testing::WithParamInterface<Stage> {};

// The close box in the middle of each kind of exchange, answered Yes: the operation stops as
// Disconnect stops it, the program ends within moments, and the session's file says who
// stopped what.
TEST_P(QuitTest, StopsTheOperationAndEndsTheProgram) {
  sim::PhoneOptions options;
  std::vector<Step> steps;
  std::string stopped;
  switch (GetParam()) {
    case Stage::BootWait:
      options.poweredOnAtStart = false;
      steps = {[](QtWindow& w) {
                 Click(w, app::IDC_START);
                 return true;
               },
               [](QtWindow& w) { return w.StatusLine().startsWith("Waiting for"); }};
      stopped = "START";
      break;
    case Stage::Download:
      options.faults.push_back(*sim::ParseFault("silence@block#1"));
      steps = DownloadSteps();
      steps.push_back(Underway());
      stopped = "Download";
      break;
    case Stage::NandDump:
      options.faults.push_back(*sim::ParseFault("silence@chunk#1"));
      steps = ConnectSteps();
      steps.push_back([](QtWindow& w) {
        Click(w, app::IDC_NAND_DUMP);
        return true;
      });
      steps.push_back([](QtWindow& main) {
        auto* area = dynamic_cast<QtWindow*>(QApplication::activeModalWidget());
        if (area == nullptr || area == &main) return false;
        Click(*area, app::IDC_DUMP_NANDPREBOOT);
        Click(*area, ui::IDOK);
        return true;
      });
      steps.push_back([this](QtWindow&) {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return false;
        // Typed, as the user would: past the dialog's own checks, which wait for its view of
        // the folder.
        dialog->setDirectory(QString::fromStdString(folder_.string()));
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) return false;
        name->setText(QStringLiteral("dump.hex"));
        if (!dialog->selectedFiles().value(0).endsWith(QStringLiteral("/dump.hex"))) return false;
        static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
        return true;
      });
      steps.push_back(Underway());
      stopped = "NAND Dump";
      break;
    case Stage::Explorer:
      steps = ConnectSteps();
      steps.push_back([](QtWindow& w) {
        ClickLater(w, app::IDC_TFS_EXPLORER);
        return true;
      });
      steps.push_back([this](QtWindow& main) {
        auto* explorer = dynamic_cast<QtWindow*>(QApplication::activeModalWidget());
        if (explorer == nullptr || explorer == &main) return false;
        // A phone that no longer answers: the mount waits on the Explorer's own port.
        phone_->PowerOff();
        Click(*explorer, app::IDC_EXPLORER_START);
        return true;
      });
      steps.push_back([](QtWindow& main) {
        auto* explorer = dynamic_cast<QtWindow*>(QApplication::activeModalWidget());
        return explorer != nullptr && explorer != &main &&
               explorer->GetText(app::IDC_EXPLORER_TEXT).find("Mounting") != std::string::npos;
      });
      stopped = "TFS Explorer";
      break;
  }
  StartPhone(options);
  Clock::time_point asked{};
  steps.push_back([](QtWindow& w) {
    QTimer::singleShot(0, &w, [&w] { w.close(); });  // the close box
    return true;
  });
  steps.push_back([&asked](QtWindow&) {
    QMessageBox* box = BoxSaying("An operation is in progress on the phone. Stop it and quit?");
    if (box == nullptr) return false;
    asked = Clock::now();
    box->button(QMessageBox::Yes)->click();
    return true;
  });
  {
    const Watchdog watchdog(60s);
    RunProgram(host_, folder_ / "VeskaDownloader.INI",
               [steps](QtWindow& window) { RunSteps(window, steps); });
  }
  ASSERT_NE(asked, Clock::time_point{});
  EXPECT_LT(Clock::now() - asked, 5s);
  {
    const Watchdog watchdog(10s);
    host_.JoinWorkers();
  }
  const std::string file = ReadFile(folder_ / (host_.ApplicationName() + ".log"));
  EXPECT_NE(file.find("\n  * " + stopped + " stopped by the user\n"), std::string::npos) << file;
}

INSTANTIATE_TEST_SUITE_P(EveryStage, QuitTest,
                         ::testing::Values(Stage::BootWait, Stage::Download, Stage::NandDump,
                                           Stage::Explorer));

}  // namespace
}  // namespace veska::gui
