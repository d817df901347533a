// Takes the README's screenshots: the desktop program against a paced virtual phone, connected,
// in the middle of a transfer, the TFS Explorer browsing the phone's file system, and the
// production bench window serving eight paced phones, one of which fails. Run it
// under an X server with a window manager (scripts/screenshots does), so that the pictures show
// the window as a technician sees it, frame and title bar included. Not a test: it judges
// nothing, and ends with status 1 only when it could not get as far as a picture.
//
//   screenshot_tour OUTPUT_FOLDER
#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ControlIds.h"
#include "app/Settings.h"
#include "gui/BenchWindow.h"
#include "gui/Program.h"
#include "gui/QtHost.h"
#include "gui/QtWindow.h"
#include "sim/TfsModel.h"
#include "sim/VirtualPhone.h"

namespace {

using namespace veska;
using namespace std::chrono_literals;

// Runs the event loop until `done` or `limit` has passed.
bool Pump(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < until) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return done();
}

// The window with its frame, as the screen shows it.
bool Shoot(QWidget& window, const std::filesystem::path& file) {
  Pump([] { return false; }, 300ms);  // let the window manager and the last repaint settle
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return false;
  const QPixmap shot = screen->grabWindow(0).copy(window.frameGeometry());
  const bool saved = shot.save(QString::fromStdString(file.string()));
  std::printf("%s %s\n", saved ? "wrote" : "could not write", file.c_str());
  return saved;
}

void WriteBytes(const std::filesystem::path& file, std::size_t size, unsigned seed) {
  std::filesystem::create_directories(file.parent_path());
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1664525u + 1013904223u;
    data[i] = static_cast<char>(seed >> 24);
  }
  std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
}

// A file system as a phone in service would hold it.
sim::TfsContents SampleFileSystem() {
  sim::TfsContents fs;
  fs.formatted = true;
  fs.directories = {"/", "/audio", "/sys", "/sys/data", "/user"};
  auto add = [&fs](const std::string& path, std::size_t size) {
    sim::TfsFile file;
    file.bytes.assign(size, static_cast<std::uint8_t>(size));
    file.inode = fs.nextInode++;
    file.modified = 0x3A4C5AEE;  // 2009-02-12 11:23:28
    fs.files[path] = file;
  };
  add("/readme.txt", 1200);
  add("/sys/config.bin", 4096);
  add("/sys/calibration.dat", 2048);
  add("/sys/data/network.cfg", 512);
  add("/audio/ring01.mid", 18000);
  add("/user/phonebook.db", 65536);
  return fs;
}

// The bench window in the middle of a run: eight paced phones plugged in one after the other,
// the fourth failing early. True when the picture was written.
bool ShootBench(const std::filesystem::path& work, const std::filesystem::path& file) {
  const std::filesystem::path release = work / "release";
  WriteBytes(release / "APPS" / "FUSE_APPS.img", 600 * 1024, 11);
  WriteBytes(release / "COMMS" / "COMMS.img", 300 * 1024, 12);
  WriteBytes(release / "COMMS" / "sysparm_ind.img", 40 * 1024, 13);
  WriteBytes(release / "COMMS" / "sysparm_dep.img", 16 * 1024, 14);
  WriteBytes(release / "COMMS" / "patch_dsp.img", 48 * 1024, 15);
  WriteBytes(release / "COMMS" / "spinner_fw.bin", 24 * 1024, 16);
  gui::BenchWindowOptions options;
  options.plan.release = release.string();
  options.plan.baud = "921K";
  options.plan.station = "line-2";
  options.plan.records = (work / "bench-records.db").string();
  options.plan.settings = (work / "VeskaDownloader.INI").string();
  options.plan.logFolder = work / "bench-logs";
  for (int i = 1; i <= 8; ++i) {
    options.plan.slots.push_back(
        {"A" + std::to_string(i), (work / ("hub-port" + std::to_string(i))).string()});
  }
  gui::BenchWindow window(options);
  window.resize(1000, 520);
  window.show();
  if (!window.StartAll()) return false;
  std::vector<std::unique_ptr<sim::VirtualPhone>> phones;
  for (const station::Slot& slot : options.plan.slots) {
    sim::PhoneOptions phone;
    phone.pace = true;
    phone.linkPath = slot.place;
    if (phones.size() == 3) phone.faults.push_back(*sim::ParseFault("code@block#2=0x2B"));
    phones.push_back(std::make_unique<sim::VirtualPhone>(phone));
    if (phones.back()->Start() != 0) return false;
    Pump([] { return false; }, 1500ms);
  }
  const auto& rows = window.Model().Rows();
  Pump(
      [&rows] {
        return rows.size() == 8 && rows[3].state == station::SlotState::Failed &&
               rows[0].total > 0 && rows[0].done * 5 > rows[0].total * 3;
      },
      120s);
  const bool shot = Shoot(window, file);
  window.StopAll();
  for (auto& phone : phones) phone->Stop();
  return shot;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: screenshot_tour OUTPUT_FOLDER\n");
    return 2;
  }
  const std::filesystem::path out = std::filesystem::absolute(argv[1]);
  std::filesystem::create_directories(out);
  QApplication application(argc, argv);

  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("veska-tour-" + std::to_string(::getpid()));
  std::filesystem::create_directories(work);
  WriteBytes(work / "boot" / "nandpreboot_le.img", 4096, 1);
  WriteBytes(work / "boot" / "boot1a.img", 12 * 1024, 2);
  WriteBytes(work / "boot" / "boot1b.img", 100 * 1024, 3);
  WriteBytes(work / "boot" / "boot2.img", 480 * 1024, 4);
  {
    const std::vector<std::uint8_t> stored = sim::EncodeTfs(SampleFileSystem());
    std::ofstream(work / "phone.tfs", std::ios::binary)
        .write(reinterpret_cast<const char*>(stored.data()),
               static_cast<std::streamsize>(stored.size()));
  }

  sim::PhoneOptions options;
  options.link = sim::LinkDialect::Uart;
  options.pace = true;
  options.linkPath = (work / "phone").string();
  sim::VirtualPhone phone(options);
  phone.SetFileSystemFile((work / "phone.tfs").string());
  if (phone.Start() != 0) {
    std::fprintf(stderr, "the virtual phone did not start\n");
    return 1;
  }

  const std::filesystem::path settings = work / "VeskaDownloader.INI";
  std::ofstream(settings) << "[Setting]\nExpertButtons=1\nUartPort=4\nm_nBaudRate=2\n"
                          << app::KEY_NANDPREBOOT << "="
                          << (work / "boot/nandpreboot_le.img").string() << "\n"
                          << app::KEY_BOOT1A << "=" << (work / "boot/boot1a.img").string() << "\n"
                          << app::KEY_BOOT1B << "=" << (work / "boot/boot1b.img").string() << "\n"
                          << app::KEY_BOOT2 << "=" << (work / "boot/boot2.img").string() << "\n"
                          << "[Ports]\nCOM5=" << options.linkPath << "\n";

  // The notices ("Download Finished") are answered as a user would, so the tour goes on.
  QTimer notices;
  QObject::connect(&notices, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
  });
  notices.start(200);

  int pictures = 0;
  gui::QtHost host;
  gui::RunProgram(host, settings, [&](gui::QtWindow& window) {
    auto click = [&window](int id) {
      if (auto* button = qobject_cast<QAbstractButton*>(window.Control(id))) button->click();
    };
    auto flashId = [&window] {
      return qobject_cast<QLineEdit*>(window.Control(app::IDC_FLASH_ID))->text().toStdString();
    };
    click(app::IDC_START);
    if (Pump([&] { return flashId() != "Disconnect" && flashId() != "Connect"; }, 90s) &&
        Shoot(window, out / "screenshot-connected.png")) {
      ++pictures;
    }

    click(app::IDC_SEL_BOOTLOADER);
    click(app::IDC_DOWNLOAD);
    auto* progress = qobject_cast<QProgressBar*>(window.Control(app::IDC_PROGRESS));
    if (Pump([&] { return progress->value() > progress->maximum() * 2 / 5; }, 60s) &&
        Shoot(window, out / "screenshot-transfer.png")) {
      ++pictures;
    }
    if (!Pump([&] { return window.Control(app::IDC_TFS_EXPLORER)->isEnabled(); }, 120s)) {
      std::fprintf(stderr, "the download did not end: no TFS Explorer\n");
    }
    // The download's notice comes after the buttons are back; the phone is free once it is gone.
    Pump([] { return false; }, 1500ms);
    Pump([] { return QApplication::activeModalWidget() == nullptr; }, 10s);
    Pump([] { return false; }, 500ms);

    // The Explorer runs modally: the rest happens inside its own event loop, once it is shown.
    QTimer explorerShown;
    bool toured = false;
    QObject::connect(&explorerShown, &QTimer::timeout, [&] {
      gui::QtWindow* explorer = nullptr;
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* candidate = dynamic_cast<gui::QtWindow*>(widget);
        if (candidate != nullptr && candidate->isVisible() &&
            candidate->Template().resourceId == app::IDD_TFS_EXPLORER) {
          explorer = candidate;
        }
      }
      if (explorer == nullptr || toured) return;
      toured = true;
      explorerShown.stop();
      if (auto* start =
              qobject_cast<QAbstractButton*>(explorer->Control(app::IDC_EXPLORER_START))) {
        start->click();
      }
      auto* narrative = explorer->Control(app::IDC_EXPLORER_TEXT);
      // A listing is over when the narrative says so (the tree stays enabled during the first).
      auto listed = [narrative] {
        const QVariant text = narrative->property("plainText");
        return text.toString().contains("Read directory OK!");
      };
      auto* tree = qobject_cast<QTreeWidget*>(explorer->Control(app::IDC_EXPLORER_TREE));
      auto* files = qobject_cast<QListWidget*>(explorer->Control(app::IDC_EXPLORER_FILES));
      if (tree != nullptr && files != nullptr && Pump(listed, 60s)) {
        // Into /sys, as a technician looking for the configuration would.
        QTreeWidgetItem* root = tree->topLevelItem(0);
        for (int i = 0; root != nullptr && i < root->childCount(); ++i) {
          if (root->child(i)->text(0) == "sys") tree->setCurrentItem(root->child(i));
        }
        Pump(
            [&] {
              return tree->isEnabled() && !files->findItems("config.bin", Qt::MatchExactly).empty();
            },
            60s);
        files->setCurrentRow(0);
        if (Shoot(*explorer, out / "screenshot-explorer.png")) ++pictures;
      } else {
        std::fprintf(stderr, "the TFS Explorer listed nothing\n");
      }
      if (auto* exit = qobject_cast<QAbstractButton*>(explorer->Control(1))) exit->click();
    });
    explorerShown.start(100);
    click(app::IDC_TFS_EXPLORER);
    if (!toured) std::fprintf(stderr, "the TFS Explorer did not open\n");
    click(app::IDC_EXIT);
  });
  phone.Stop();
  if (ShootBench(work, out / "screenshot-bench.png")) ++pictures;
  notices.stop();
  std::filesystem::remove_all(work);
  return pictures == 4 ? 0 : 1;
}
