#include "app/DlgNarrator.h"

#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"

namespace veska::app {

void DlgNarrator::Log(std::string_view text) {
  dlg_.AppendLog(text);
}

void DlgNarrator::ReplaceLog(std::string_view text) {
  dlg_.Wnd().SetText(IDC_LOG, text);
}

void DlgNarrator::ShowFlashId(std::string_view text) {
  dlg_.Wnd().SetText(IDC_FLASH_ID, text);
  dlg_.Publish(FlashIdShown{std::string(text)});
}

void DlgNarrator::PhoneAnswered() {
  dlg_.Wnd().SetText(IDC_FLASH_ID, "Connect");
  dlg_.Publish(app::PhoneAnswered{});
}

void DlgNarrator::ShowFileName(std::string_view path) {
  dlg_.ShowFileName(path);
}

void DlgNarrator::ShowFileSize(std::uint32_t size) {
  dlg_.ShowFileSize(size);
}

void DlgNarrator::ShowChecksum(std::uint32_t crc) {
  dlg_.ShowChecksum(crc);
}

void DlgNarrator::ClearImageFields() {
  for (int id : {IDC_FILE_SIZE, IDC_FILE_NAME, IDC_CHECKSUM_FIELD}) dlg_.Wnd().SetText(id, " ");
}

void DlgNarrator::SetProgressRange(std::uint32_t upper) {
  dlg_.SetProgressRange(upper);
  upper_ = upper;
  dlg_.Publish(Progress{0, upper, true});
}

void DlgNarrator::SetProgressPos(std::uint32_t position) {
  dlg_.SetProgressPos(position);
  dlg_.Publish(Progress{position, upper_, false});
}

void DlgNarrator::ResetProgress() {
  dlg_.progressCount = 0;
}

void DlgNarrator::AddProgress(std::size_t bytes) {
  dlg_.AddProgress(bytes);
  dlg_.Publish(Progress{dlg_.progressCount, upper_, false});
}

int DlgNarrator::Message(std::string_view text, std::string_view caption, unsigned style) {
  return dlg_.Host().MessageBox(&dlg_.Wnd(), text, caption, style);
}

void DlgNarrator::ReportWait(const PhoneWait& wait) {
  dlg_.Publish(wait);
}

void DlgNarrator::Enter(WindowState state) {
  switch (state) {
    case WindowState::Idle:
      return dlg_.EnterIdleState();
    case WindowState::Busy:
      return dlg_.EnterBusyState();
    case WindowState::Connected:
      return dlg_.EnterConnectedState();
  }
}

void DlgNarrator::EnableSelection() {
  dlg_.EnableSelectionControls();
}

void DlgNarrator::StartImage(const ImageBegan& image) {
  dlg_.Publish(image);
}

void DlgNarrator::ImageEnded(const WrittenImage& image) {
  dlg_.Publish(image);
}

void DlgNarrator::ReadBack(const ImagesReadBack& readBack) {
  dlg_.Publish(readBack);
}

void DlgNarrator::OutcomeDecided() {
  dlg_.Runner().Decide();
}

void DlgNarrator::Sleep(std::chrono::milliseconds duration) {
  dlg_.Host().Sleep(duration);
}

std::uint64_t DlgNarrator::TickCount() const {
  return dlg_.Host().TickCount();
}

}  // namespace veska::app
