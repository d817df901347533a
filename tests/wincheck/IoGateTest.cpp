#include "link/win32/IoGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace veska::link::win32 {
namespace {

// A one-shot signal between the test's threads.
class Signal {
 public:
  void Raise() {
    std::lock_guard lock(mutex_);
    raised_ = true;
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return raised_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;
};

TEST(IoGate, ClosedGateAdmitsNobodyAndClosesToNothing) {
  IoGate gate;
  EXPECT_FALSE(gate.IsOpen());
  EXPECT_FALSE(IoPass(gate).Admitted());
  int calls = 0;
  EXPECT_FALSE(gate.Close([&] { ++calls; }, [&](bool) { ++calls; }));
  EXPECT_EQ(calls, 0);
}

TEST(IoGate, IdleCloseReleasesOnceWithoutCancelling) {
  IoGate gate;
  gate.Open();
  EXPECT_TRUE(gate.IsOpen());
  { EXPECT_TRUE(IoPass(gate).Admitted()); }
  int cancels = 0;
  int releases = 0;
  bool interruptedSeen = true;
  EXPECT_TRUE(gate.Close([&] { ++cancels; },
                         [&](bool interrupted) {
                           ++releases;
                           interruptedSeen = interrupted;
                         }));
  EXPECT_EQ(cancels, 0);
  EXPECT_EQ(releases, 1);
  EXPECT_FALSE(interruptedSeen);
  EXPECT_FALSE(gate.IsOpen());
  EXPECT_FALSE(IoPass(gate).Admitted());
  // Closing twice is harmless.
  EXPECT_FALSE(gate.Close([&] { ++cancels; }, [&](bool) { ++releases; }));
  EXPECT_EQ(releases, 1);

  gate.Open();
  EXPECT_TRUE(IoPass(gate).Admitted());
}

TEST(IoGate, CloseCancelsABlockedCallAndReleasesOnlyAfterItLeft) {
  IoGate gate;
  gate.Open();
  Signal entered;
  Signal cancelled;
  std::atomic<bool> inside{false};
  std::jthread caller([&] {
    IoPass pass(gate);
    ASSERT_TRUE(pass.Admitted());
    inside = true;
    entered.Raise();
    cancelled.Wait();  // the blocked device call
    inside = false;
  });
  entered.Wait();

  bool leftBeforeRelease = false;
  bool interruptedSeen = false;
  EXPECT_TRUE(gate.Close([&] { cancelled.Raise(); },
                         [&](bool interrupted) {
                           leftBeforeRelease = !inside;
                           interruptedSeen = interrupted;
                         }));
  EXPECT_TRUE(leftBeforeRelease);
  EXPECT_TRUE(interruptedSeen);
  caller.join();
}

TEST(IoGate, CallIssuedAfterTheCancelSeesClosingAndCancelsItself) {
  IoGate gate;
  gate.Open();
  Signal entered;
  Signal cancelRan;
  std::atomic<bool> sawClosing{false};
  std::jthread caller([&] {
    IoPass pass(gate);
    ASSERT_TRUE(pass.Admitted());
    entered.Raise();
    // The cancel has already run, so it missed the I/O issued now; only the check after
    // issuing keeps this call from waiting out a full time-out.
    cancelRan.Wait();
    sawClosing = gate.Closing();
  });
  entered.Wait();
  EXPECT_TRUE(gate.Close([&] { cancelRan.Raise(); }, [](bool) {}));
  caller.join();
  EXPECT_TRUE(sawClosing);
  EXPECT_FALSE(gate.Closing());
}

TEST(IoGate, SecondCloseWaitsForTheFirstAndReleasesNothing) {
  IoGate gate;
  gate.Open();
  Signal entered;
  Signal finish;
  std::jthread caller([&] {
    IoPass pass(gate);
    entered.Raise();
    finish.Wait();
  });
  entered.Wait();

  std::atomic<int> releases{0};
  std::atomic<bool> releasedWhenSecondReturned{false};
  Signal firstClosing;
  std::jthread first(
      [&] { EXPECT_TRUE(gate.Close([&] { firstClosing.Raise(); }, [&](bool) { ++releases; })); });
  // The first close is now waiting for the caller to leave.
  firstClosing.Wait();
  std::jthread second([&] {
    EXPECT_FALSE(gate.Close([] {}, [&](bool) { ++releases; }));
    releasedWhenSecondReturned = releases.load() == 1;
  });
  EXPECT_FALSE(IoPass(gate).Admitted());
  finish.Raise();
  first.join();
  second.join();
  caller.join();
  EXPECT_EQ(releases.load(), 1);
  EXPECT_TRUE(releasedWhenSecondReturned);
}

}  // namespace
}  // namespace veska::link::win32
