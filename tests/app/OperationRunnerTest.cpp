#include <condition_variable>
#include <mutex>
#include <vector>

#include "DialogFixture.h"
#include "app/ControlIds.h"

namespace veska::app::testing {
namespace {

// A worker body that waits until the test lets it go, and tells when it has begun.
class Gate {
 public:
  void Enter() {
    std::unique_lock lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  void WaitEntered() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return entered_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool open_ = false;
};

class OperationRunnerTest : public DialogFixture {
 protected:
  void SetUp() override {
    Open();
    dlg_->Runner().SetObserver([this](const OperationResult& result) {
      std::lock_guard lock(mutex_);
      results_.push_back(result);
    });
  }
  std::vector<OperationResult> Results() {
    std::lock_guard lock(mutex_);
    return results_;
  }

  std::mutex mutex_;
  std::vector<OperationResult> results_;
};

TEST_F(OperationRunnerTest, ASecondOperationWhileOneHoldsThePhoneIsRefusedNotQueued) {
  Gate gate;
  int formats = 0;
  DlgOperations ops;
  ops.Set(OperationId::Start, [&gate](DownloaderDlg& dlg) {
    dlg.Runner().StartWorker(OperationId::Start, [&gate] {
      gate.Enter();
      return OperationResult::Ended(OperationId::Start, Outcome::Connected);
    });
  });
  ops.Set(OperationId::Format, [&formats](DownloaderDlg& dlg) {
    dlg.Runner().RunHere(OperationId::Format, [&formats] {
      ++formats;
      return OperationResult::Ended(OperationId::Format, Outcome::Done);
    });
  });
  ops.Set(OperationId::Checksum, [](DownloaderDlg& dlg) {
    dlg.Runner().RunHere(OperationId::Checksum, [] {
      return OperationResult::Ended(OperationId::Checksum, Outcome::Done);
    });
  });
  dlg_->SetOperations(ops);

  dlg_->Perform(OperationId::Start);
  gate.WaitEntered();
  EXPECT_TRUE(dlg_->Runner().Busy());
  dlg_->Perform(OperationId::Format);    // needs the phone: refused at once
  dlg_->Perform(OperationId::Checksum);  // talks to no phone: runs
  EXPECT_EQ(formats, 0);
  ASSERT_EQ(host_.MessageBoxTexts().size(), 1u);
  EXPECT_EQ(host_.MessageBoxTexts()[0],
            "The phone is busy with START.\nWait until it has ended, or press Disconnect.");

  gate.Open();
  dlg_->Runner().Join();
  EXPECT_FALSE(dlg_->Runner().Busy());
  EXPECT_EQ(Results(), (std::vector<OperationResult>{
                           OperationResult::Ended(OperationId::Format, Outcome::Busy, 0, "START"),
                           OperationResult::Ended(OperationId::Checksum, Outcome::Done),
                           OperationResult::Ended(OperationId::Start, Outcome::Connected),
                       }));
}

TEST_F(OperationRunnerTest, DisconnectCancelsTheHolderAndTheNextOperationWaitsForItToLetGo) {
  Gate first;
  std::vector<std::string> order;
  std::mutex orderMutex;
  auto note = [&](const char* what) {
    std::lock_guard lock(orderMutex);
    order.push_back(what);
  };
  DlgOperations ops;
  ops.Set(OperationId::Start, [&](DownloaderDlg& dlg) {
    dlg.Runner().StartWorker(OperationId::Start, [&] {
      first.Enter();
      note("first ends");
      // Reports success, but Disconnect came: the user asked for the end.
      return OperationResult::Ended(OperationId::Start, Outcome::Connected);
    });
  });
  ops.Set(OperationId::Download, [&](DownloaderDlg& dlg) {
    dlg.Runner().StartWorker(OperationId::Download, [&] {
      note("second runs");
      return OperationResult::Ended(OperationId::Download, Outcome::Written);
    });
  });
  dlg_->SetOperations(ops);

  dlg_->Perform(OperationId::Start);
  first.WaitEntered();
  dlg_->OnDisconnect();
  EXPECT_FALSE(dlg_->Runner().Busy());  // a cancelled holder no longer refuses others
  dlg_->Perform(OperationId::Download);
  first.Open();
  dlg_->Runner().Join();

  EXPECT_EQ(order, (std::vector<std::string>{"first ends", "second runs"}));
  const auto results = Results();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], OperationResult::Ended(OperationId::Start, Outcome::Cancelled));
  EXPECT_EQ(results[1], OperationResult::Ended(OperationId::Download, Outcome::Written));
}

TEST_F(OperationRunnerTest, AnOperationOnTheWindowsThreadNeverWaitsForACancelledWorker) {
  Gate worker;
  bool formatted = false;
  DlgOperations ops;
  ops.Set(OperationId::Start, [&](DownloaderDlg& dlg) {
    dlg.Runner().StartWorker(OperationId::Start, [&] {
      worker.Enter();
      return OperationResult::Ended(OperationId::Start, Outcome::Failed, -1);
    });
  });
  ops.Set(OperationId::Format, [&](DownloaderDlg& dlg) {
    dlg.Runner().RunHere(OperationId::Format, [&] {
      formatted = true;
      return OperationResult::Ended(OperationId::Format, Outcome::Done);
    });
  });
  dlg_->SetOperations(ops);
  dlg_->Perform(OperationId::Start);
  worker.WaitEntered();
  dlg_->OnDisconnect();
  dlg_->Perform(OperationId::Format);  // returns at once: the cancelled worker still holds on
  EXPECT_FALSE(formatted);
  worker.Open();
  dlg_->Runner().Join();
  dlg_->Perform(OperationId::Format);
  EXPECT_TRUE(formatted);
  const auto results = Results();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].outcome, Outcome::Busy);
  EXPECT_EQ(results[1], OperationResult::Ended(OperationId::Start, Outcome::Cancelled));
  EXPECT_EQ(results[2], OperationResult::Ended(OperationId::Format, Outcome::Done));
}

TEST_F(OperationRunnerTest, EveryPressHasExactlyOneResult) {
  DlgOperations ops;
  ops.Set(OperationId::Start, [](DownloaderDlg&) {});  // ends without a word
  ops.Set(OperationId::Download, [](DownloaderDlg& dlg) {
    dlg.Runner().Report(OperationResult::Ended(OperationId::Download, Outcome::Refused, 0, "why"));
  });
  dlg_->SetOperations(ops);
  dlg_->Perform(OperationId::Start);
  dlg_->Perform(OperationId::Download);
  dlg_->Perform(OperationId::NandDump);  // nothing registered
  EXPECT_EQ(Results(),
            (std::vector<OperationResult>{
                OperationResult::Ended(OperationId::Start, Outcome::Refused),
                OperationResult::Ended(OperationId::Download, Outcome::Refused, 0, "why"),
                OperationResult::Ended(OperationId::NandDump, Outcome::Refused, 0, "not available"),
            }));
}

}  // namespace
}  // namespace veska::app::testing
