#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/DownloaderDlg.h"
#include "app/Templates.h"
#include "ui/HeadlessHost.h"

namespace veska::app::testing {

// A fresh main dialog on a headless window, with its settings file in a private folder.
class DialogFixture : public ::testing::Test {
 protected:
  DialogFixture() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::temp_directory_path() /
              (std::string("veska_app_") + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    settingsFile_ = folder_ / "VeskaDownloader.INI";
    host_.SetSleepScale(0);
  }
  ~DialogFixture() override {
    window_.reset();
    std::filesystem::remove_all(folder_);
  }

  // Opens the dialog as the program does at start (OnInitDialog included).
  void Open() {
    window_.reset();
    dlg_.reset();
    state_ = std::make_unique<ProcessState>();
    settings_ = std::make_unique<Settings>(settingsFile_);
    dlg_ = std::make_unique<DownloaderDlg>(host_, *state_, *settings_);
    window_ = host_.Create(kMainDialogTemplate, *dlg_);
  }

  void WriteSettings(const std::string& text) { std::ofstream(settingsFile_) << text; }
  std::string Key(std::string_view key, std::string_view fallback = "<missing>") const {
    return ProfileFile(settingsFile_).GetString(SETTINGS_SECTION, key, fallback);
  }
  std::string MakeFile(const std::filesystem::path& relative, const std::string& content = "x") {
    const std::filesystem::path path = folder_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << content;
    return path.string();
  }

  std::filesystem::path folder_;
  std::filesystem::path settingsFile_;
  ui::HeadlessHost host_;
  std::unique_ptr<ProcessState> state_;
  std::unique_ptr<Settings> settings_;
  std::unique_ptr<DownloaderDlg> dlg_;
  std::unique_ptr<ui::HeadlessWindow> window_;
};

}  // namespace veska::app::testing
