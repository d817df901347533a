#include "link/DeviceWatch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <thread>

#include "sim/VirtualPhone.h"

namespace veska::link {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A phone on the USB link: its port is there only while it is switched on.
class DeviceWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("veska-watch-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    sim::PhoneOptions options;
    options.link = sim::LinkDialect::Usb;
    options.poweredOnAtStart = false;
    options.linkPath = (folder_ / "phone").string();
    phone_ = std::make_unique<sim::VirtualPhone>(options);
    ASSERT_EQ(phone_->Start(), 0);
  }
  void TearDown() override {
    phone_.reset();
    fs::remove_all(folder_);
  }

  std::string Place() const { return (folder_ / "phone").string(); }

  fs::path folder_;
  std::unique_ptr<sim::VirtualPhone> phone_;
};

TEST_F(DeviceWatchTest, AWaitEndsWhenThePortAppearsWithoutSpinning) {
  DeviceWatch watch;
  EXPECT_EQ(DeviceAtPlace(Place()), "");
  const auto began = std::chrono::steady_clock::now();
  auto found = std::async(std::launch::async, [&] { return WaitForDevice(Place(), watch, 60s); });
  std::this_thread::sleep_for(700ms);
  phone_->PowerOn();
  ASSERT_EQ(found.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(found.get(), Place());
  EXPECT_LT(std::chrono::steady_clock::now() - began, 20s);
  // A handful of wakes for the phone's arrival, not one per millisecond of the wait.
  EXPECT_LT(watch.Wakes(), 50u);

  phone_->PowerOff();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!DeviceAtPlace(Place()).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(DeviceAtPlace(Place()), "");
  // What happened before a wait begins still wakes it: the watch lost nothing.
  phone_->PowerOn();
  EXPECT_EQ(WaitForDevice(Place(), watch, 20s), Place());
}

TEST_F(DeviceWatchTest, CancelEndsAWaitFromAnotherThreadAndTimeOutsEndIt) {
  DeviceWatch timed;
  EXPECT_EQ(WaitForDevice(Place(), timed, 300ms), "");
  EXPECT_LT(timed.Wakes(), 20u);

  DeviceWatch watch;
  auto found = std::async(std::launch::async, [&] { return WaitForDevice(Place(), watch, 60s); });
  std::this_thread::sleep_for(300ms);
  watch.Cancel();
  ASSERT_EQ(found.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(found.get(), "");
  EXPECT_TRUE(watch.Cancelled());
  // A cancelled watch stays cancelled: the next wait returns at once, even with a device there.
  EXPECT_EQ(watch.Wait(60s), DeviceWatch::Wake::Cancelled);
  EXPECT_EQ(DeviceAtPlace("usb:not-a-place"), "");
}

}  // namespace
}  // namespace veska::link
