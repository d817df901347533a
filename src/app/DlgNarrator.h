#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "app/Engine.h"

namespace veska::app {

class DownloaderDlg;

// The main dialog's narrator and clock: every call lands on the dialog's window (and through
// it on the user-interface thread) exactly as the operations narrated before they became
// engines, and the dialog's observers hear the waits and the images.
class DlgNarrator final : public Narrator, public Clock {
 public:
  explicit DlgNarrator(DownloaderDlg& dlg) : dlg_(dlg) {}

  // --- Narrator ---
  void Log(std::string_view text) override;
  void ReplaceLog(std::string_view text) override;
  void ShowFlashId(std::string_view text) override;
  void PhoneAnswered() override;
  void ShowFileName(std::string_view path) override;
  void ShowFileSize(std::uint32_t size) override;
  void ShowChecksum(std::uint32_t crc) override;
  void ClearImageFields() override;
  void SetProgressRange(std::uint32_t upper) override;
  void SetProgressPos(std::uint32_t position) override;
  void ResetProgress() override;
  void AddProgress(std::size_t bytes) override;
  int Message(std::string_view text, std::string_view caption, unsigned style) override;
  void ReportWait(const PhoneWait& wait) override;
  void Enter(WindowState state) override;
  void EnableSelection() override;
  void StartImage(const ImageBegan& image) override;
  void ImageEnded(const WrittenImage& image) override;
  void ReadBack(const ImagesReadBack& readBack) override;
  void OutcomeDecided() override;

  // --- Clock ---
  void Sleep(std::chrono::milliseconds duration) override;
  [[nodiscard]] std::uint64_t TickCount() const override;

 private:
  DownloaderDlg& dlg_;
  std::uint32_t upper_ = 0;  // the progress bar's range, for its positions' events
};

}  // namespace veska::app
