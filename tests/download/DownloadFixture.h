#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "download/DownloadButtons.h"
#include "download/ImageCatalogue.h"
#include "target/TargetFixture.h"

namespace veska::download::testing {

// The main dialog with the Download and Checksum buttons wired, image files made to measure, and
// image writers that record what they were asked to write instead of talking to a phone.
class DownloadFixture : public target::testing::TargetFixture {
 protected:
  // One call of an image writer.
  struct Written {
    ImageKind kind;
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    bool downloadEnabled = false;  // whether the Download button could be pressed meanwhile
  };

  // Opens the dialog on `device` and puts it into the connected state without a phone.
  void OpenConnected(const std::string& device = "/dev/null", bool usb = false) {
    OpenDialog(device, usb);
    WireOperations();
    dlg_->EnterConnectedState();
  }

  // With `fakeWriters` clear, the images go to the phone through the real transfer.
  void WireOperations(bool fakeWriters = true) {
    app::DlgOperations operations;
    target::AddOperations(operations);
    DownloadHooks hooks;
    dlg_->Runner().SetObserver([this](const app::OperationResult& result) {
      if (result.operation != app::OperationId::Download) return;
      std::lock_guard lock(mutex_);
      results_.push_back(result);
    });
    if (!fakeWriters) {
      download::AddOperations(operations, hooks);
      dlg_->SetOperations(operations);
      return;
    }
    hooks.writers.uart = [this](const app::EngineContext&, const std::string& path,
                                std::uint32_t address,
                                std::uint32_t size) { return Record(path, address, size); };
    hooks.writers.usb = hooks.writers.uart;
    hooks.writers.fileSystem = [this](const app::EngineContext&, const DownloadInputs& inputs,
                                      ImageKind kind) {
      return Record(inputs.Image(kind).path, 0, inputs.Image(kind).size) == 0;
    };
    hooks.writers.verify = [this](const app::EngineContext& engine, const DownloadInputs&,
                                  std::span<const ImageKind> kinds) {
      engine.narrator.Log("<read-back>");
      std::lock_guard lock(mutex_);
      verified_.emplace_back(kinds.begin(), kinds.end());
      return verifyStatus_;
    };
    download::AddOperations(operations, hooks);
    dlg_->SetOperations(operations);
  }

  // The kinds each read-back was given, and what the next ones answer (0: all matched).
  std::vector<std::vector<ImageKind>> VerifiedGroups() const {
    std::lock_guard lock(mutex_);
    return verified_;
  }
  void AnswerVerify(int status) {
    std::lock_guard lock(mutex_);
    verifyStatus_ = status;
  }

  // A file of `size` bytes whose content depends on `seed`.
  std::string MakeFile(const std::string& name, std::size_t size, unsigned seed = 1) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 31 + seed * 7) >> 1);
    const auto path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
    return path;
  }

  void SetImage(ImageKind kind, const std::string& path) {
    ASSERT_TRUE(dlg_->SetImagePathByKey(Catalogue(kind).settingsKey, path));
  }
  // Gives every kind a file of a small accepted size, named after the kind.
  void SetAllImages() {
    for (std::uint8_t code = IMAGE_APPS; code <= IMAGE_BOOT2; ++code) {
      const auto kind = static_cast<ImageKind>(code);
      SetImage(kind, MakeFile(std::string(Catalogue(kind).logName) + ".img", 100u + code, code));
    }
  }

  // Runs inside the writer of `kind`, before it returns (on the worker thread).
  void DuringImage(ImageKind kind, std::function<void()> action) {
    duringKind_ = kind;
    during_ = std::move(action);
  }

  // The images a test makes fail, by path.
  void FailImage(ImageKind kind) { failing_.push_back((*dlg_).*Catalogue(kind).path); }

  // Chooses the selection radio button, sets the two options as asked and presses Download;
  // waits for the worker when one starts.
  void PressDownload(std::int32_t selectionIndex, bool defaultCal = false, bool reboot = false) {
    if (selectionIndex >= 0) window_->Click(Selection(selectionIndex)->button);
    window_->SetCheck(app::IDC_DEFAULT_CAL_DATA, defaultCal ? 1 : 0);
    window_->SetCheck(app::IDC_AUTO_REBOOT, reboot ? 1 : 0);
    logFrom_ = host_.EventJournal().Events().size();
    ASSERT_TRUE(window_->Click(app::IDC_DOWNLOAD));
    host_.JoinWorkers();
  }

  std::vector<ImageKind> WrittenKinds() const {
    std::lock_guard lock(mutex_);
    std::vector<ImageKind> kinds;
    for (const Written& w : written_) kinds.push_back(w.kind);
    return kinds;
  }
  std::vector<Written> WrittenImages() const {
    std::lock_guard lock(mutex_);
    return written_;
  }
  // Whether each Download request so far ended with everything written.
  std::vector<bool> Outcomes() const {
    std::lock_guard lock(mutex_);
    std::vector<bool> outcomes;
    for (const app::OperationResult& result : results_) outcomes.push_back(result.Succeeded());
    return outcomes;
  }
  std::vector<app::OperationResult> Results() const {
    std::lock_guard lock(mutex_);
    return results_;
  }
  // The message boxes of the journal since the last press, as (text, caption, type).
  struct Box {
    std::string text;
    std::string caption;
    std::int64_t type;
  };
  // What the last message box showed under its text.
  std::string LastBoxDetail() const {
    std::string detail;
    for (const auto& event : host_.EventJournal().Events()) {
      if (event.kind == ui::EventKind::MessageBox) detail = event.detail;
    }
    return detail;
  }
  std::vector<Box> Boxes() const {
    std::vector<Box> boxes;
    const auto events = host_.EventJournal().Events();
    for (std::size_t i = logFrom_; i < events.size(); ++i) {
      if (events[i].kind == ui::EventKind::MessageBox) {
        boxes.push_back({events[i].text, events[i].caption, events[i].a});
      }
    }
    return boxes;
  }
  int Count(std::string_view text) const {
    int n = 0;
    for (const Box& box : Boxes()) n += box.text == text ? 1 : 0;
    return n;
  }
  bool SelectionEnabled() const { return window_->IsEnabled(app::IDC_SEL_ALL_BINARY); }

 private:
  int Record(const std::string& path, std::uint32_t address, std::uint32_t size) {
    ImageKind kind = ImageKind::Apps;
    for (std::uint8_t code = IMAGE_APPS; code <= IMAGE_BOOT2; ++code) {
      if ((*dlg_).*Catalogue(static_cast<ImageKind>(code)).path == path) {
        kind = static_cast<ImageKind>(code);
      }
    }
    const bool enabled = window_->IsEnabled(app::IDC_DOWNLOAD);
    if (during_ && kind == duringKind_) during_();
    std::lock_guard lock(mutex_);
    written_.push_back({kind, address, size, enabled});
    for (const std::string& failing : failing_) {
      if (failing == path) return 113;
    }
    return 0;
  }

  mutable std::mutex mutex_;
  std::vector<Written> written_;
  std::vector<app::OperationResult> results_;
  std::vector<std::string> failing_;
  std::vector<std::vector<ImageKind>> verified_;
  int verifyStatus_ = 0;
  ImageKind duringKind_ = ImageKind::Apps;
  std::function<void()> during_;
};

}  // namespace veska::download::testing
