#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/ControlIds.h"
#include "app/Templates.h"
#include "explorer/ExplorerTesting.h"
#include "explorer/TfsExplorerDlg.h"
#include "gui/QtWindow.h"
#include "gui/TestApp.h"
#include "ui/HeadlessHost.h"

namespace veska::explorer {
namespace {

using namespace testing;
using gui::App;

// The Explorer in a Qt window: its worker reaches the widgets through the window's blocking
// calls, which only an event loop that keeps running can answer.
class ExplorerQtTest : public PtyPhoneTest {
 protected:
  ExplorerQtTest() {
    App();
    state_.link.replyTimeout = 30s;
    window_ = std::make_unique<gui::QtWindow>(app::kTfsExplorerTemplate, explorer_);
    explorer_.Attach(window_.get());
    explorer_.OnInitDialog();
    window_->show();
  }
  ~ExplorerQtTest() override {
    if (phone_.joinable()) phone_.join();
    explorer_.Attach(nullptr);
  }

  // Runs the event loop until `done` or two seconds have passed.
  template <typename Done>
  bool Pump(Done done) {
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (!done() && std::chrono::steady_clock::now() < until) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
  }

  ui::HeadlessHost host_;
  TfsExplorerDlg explorer_{host_, state_, "UTF-8"};
  std::unique_ptr<gui::QtWindow> window_;
  std::thread phone_;
};

TEST_F(ExplorerQtTest, TheWindowRepaintsWhileThePhoneAnswersAndEscapeUnmounts) {
  phone_ = std::thread([this] {
    EXPECT_EQ(pty_.Receive(1, 2s), Bytes{0xDA});
    pty_.Send({0xDA});
    EXPECT_EQ(pty_.Receive(3, 2s), (Bytes{0xE5, 0x01, '/'}));
    pty_.Send({4, 2, 's', 'y', 's', 0});
    EXPECT_EQ(pty_.Receive(1, 2s), Bytes{2});
    pty_.Send({0xCB, 3, 1, 'a', 'b', 0});
    EXPECT_EQ(pty_.Receive(1, 2s), Bytes{1});
    pty_.Send({0xE7, 0xE4});  // the end, and already the unmount's answer
  });
  explorer_.Command(app::IDC_EXPLORER_START, ui::Notify::Clicked);
  ASSERT_TRUE(Pump([this] { return !explorer_.Busy(); }));
  phone_.join();
  auto* list = qobject_cast<QListWidget*>(window_->Control(app::IDC_EXPLORER_FILES));
  auto* tree = qobject_cast<QTreeWidget*>(window_->Control(app::IDC_EXPLORER_TREE));
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->item(0)->text(), "ab");
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  ASSERT_EQ(tree->topLevelItem(0)->childCount(), 1);
  EXPECT_EQ(tree->topLevelItem(0)->child(0)->text(0), "sys");

  static_cast<QDialog*>(window_.get())->reject();  // Escape
  EXPECT_EQ(pty_.Receive(1, 2s), Bytes{0xE4});
  EXPECT_EQ(window_->result(), ui::IDOK);
  EXPECT_FALSE(state_.mountSent);
}

TEST_F(ExplorerQtTest, ExitEndsAnExchangeThePhoneNeverAnswers) {
  std::atomic<bool> mountSeen{false};
  phone_ = std::thread([this, &mountSeen] {
    EXPECT_EQ(pty_.Receive(1, 2s), Bytes{0xDA});  // and then silence
    mountSeen = true;
  });
  explorer_.Command(app::IDC_EXPLORER_START, ui::Notify::Clicked);
  ASSERT_TRUE(Pump([&mountSeen] { return mountSeen.load(); }));
  const auto before = std::chrono::steady_clock::now();
  explorer_.Command(ui::IDOK, ui::Notify::Clicked);
  ASSERT_TRUE(Pump([this] { return !explorer_.Busy(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_EQ(window_->result(), ui::IDOK);
  EXPECT_EQ(pty_.Receive(1, 200ms), Bytes{});
}

}  // namespace
}  // namespace veska::explorer
