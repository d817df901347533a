// The Qt bench window serving phones, offscreen, as bench/bench-window runs it: each phone's
// images' bytes and seconds from the records, the process's and the user-interface thread's CPU
// time over the run, and how long a queued no-op (a click) waits for the user-interface thread
// while every slot transfers. Reports, never judges.
//
//   veska_bench_window --release DIR --baud 921K --selection all-bin --work DIR PLACE...
#include <sys/resource.h>

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gui/BenchWindow.h"
#include "records/Stores.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double CpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Posts a no-op to the window's thread ten times a second and keeps how long each waited.
class ClickProbe {
 public:
  explicit ClickProbe(QObject& target)
      : thread_([this, &target](std::stop_token stop) {
          while (!stop.stop_requested()) {
            const auto posted = Clock::now();
            bool answered = false;
            QMetaObject::invokeMethod(
                &target,
                [this, &answered] {
                  std::lock_guard lock(mutex_);
                  answered = true;
                  done_.notify_all();
                },
                Qt::QueuedConnection);
            std::unique_lock lock(mutex_);
            // Bounded, so that a window that is gone cannot hold the probe.
            done_.wait_for(lock, 10s, [&answered] { return answered; });
            if (answered)
              waits_.push_back(std::chrono::duration<double>(Clock::now() - posted).count());
            lock.unlock();
            std::this_thread::sleep_for(100ms);
          }
        }) {}

  [[nodiscard]] std::vector<double> Stop() {
    thread_.request_stop();
    thread_.join();
    std::lock_guard lock(mutex_);
    std::vector<double> waits = waits_;
    std::sort(waits.begin(), waits.end());
    return waits;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<double> waits_;
  std::jthread thread_;
};

}  // namespace

int main(int argc, char* argv[]) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  veska::station::BenchPlan plan;
  std::filesystem::path work;
  plan.link = "uart";
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    const bool hasValue = i + 1 < argc;
    if (word == "--release" && hasValue) {
      plan.release = argv[++i];
    } else if (word == "--baud" && hasValue) {
      plan.baud = argv[++i];
    } else if (word == "--selection" && hasValue) {
      plan.selection = argv[++i];
    } else if (word == "--link" && hasValue) {
      plan.link = argv[++i];
    } else if (word == "--work" && hasValue) {
      work = argv[++i];
    } else if (word.starts_with("--")) {
      std::fprintf(stderr, "veska_bench_window: unknown option %s\n", argv[i]);
      return 2;
    } else {
      plan.slots.push_back({"S" + std::to_string(plan.slots.size() + 1), std::string(word)});
    }
  }
  if (work.empty() || plan.slots.empty() || plan.release.empty()) {
    std::fprintf(stderr,
                 "usage: veska_bench_window --release DIR --work DIR [--baud RATE] [--selection "
                 "WORDS] [--link uart|usb] PLACE...\n");
    return 2;
  }
  plan.defaultCal = true;
  plan.records = (work / "window-records.db").string();
  plan.settings = (work / "settings.ini").string();
  plan.logFolder = work / "window-logs";
  plan.station = "bench-window";

  veska::gui::BenchWindowOptions options;
  options.plan = plan;
  double wall = 0;
  double processCpu = 0;
  double uiCpu = 0;
  std::vector<double> waits;
  std::size_t served = 0;
  {
    veska::gui::BenchWindow window(options);
    window.show();
    // The calibration-data question is answered Yes as the command line's --yes does.
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box != nullptr && box->button(QMessageBox::Yes) != nullptr) {
        box->button(QMessageBox::Yes)->click();
      }
    });
    answerer.start(50);
    const auto started = Clock::now();
    const double processStart = CpuSeconds(RUSAGE_SELF);
    const double uiStart = CpuSeconds(RUSAGE_THREAD);
    if (!window.StartAll()) return 1;
    ClickProbe probe(window);
    // Until every slot has served its phone, or an hour has passed.
    while (Clock::now() - started < 3600s) {
      const auto& rows = window.Model().Rows();
      served =
          static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [](const auto& row) {
            return row.passes + row.failures >= 1 &&
                   row.state != veska::station::SlotState::Writing &&
                   row.state != veska::station::SlotState::Verifying &&
                   row.state != veska::station::SlotState::Connecting;
          }));
      if (served == rows.size()) break;
      QEventLoop loop;
      QTimer::singleShot(200, &loop, &QEventLoop::quit);
      loop.exec();
    }
    waits = probe.Stop();
    wall = std::chrono::duration<double>(Clock::now() - started).count();
    processCpu = CpuSeconds(RUSAGE_SELF) - processStart;
    uiCpu = CpuSeconds(RUSAGE_THREAD) - uiStart;
    window.StopAll();
  }

  std::vector<veska::records::Record> kept;
  const auto store = veska::records::MakeSqliteStore(plan.records);
  if (store->Read({}, kept) != veska::records::RECORDS_OK) kept.clear();
  for (const veska::records::Record& record : kept) {
    std::uint64_t bytes = 0;
    double seconds = 0;
    for (const auto& image : record.images) {
      if (!image.written) continue;
      bytes += image.size;
      seconds += image.seconds;
    }
    std::printf("phone %s %s %llu %.3f\n", record.port.c_str(), record.result.c_str(),
                static_cast<unsigned long long>(bytes), seconds);
  }
  std::printf("served %zu of %zu in %.1f s\n", served, plan.slots.size(), wall);
  std::printf("cpu process %.2f s (%.1f %% of a core), user-interface thread %.2f s (%.2f %%)\n",
              processCpu, 100 * processCpu / wall, uiCpu, 100 * uiCpu / wall);
  if (!waits.empty()) {
    const auto at = [&waits](double share) {
      return 1000 *
             waits[std::min(waits.size() - 1, static_cast<std::size_t>(share * waits.size()))];
    };
    std::printf("click %zu samples: median %.2f ms, 99th %.2f ms, longest %.2f ms\n", waits.size(),
                at(0.5), at(0.99), 1000 * waits.back());
  }
  return 0;
}
