#include "cli/ConsolePresenter.h"

#include "app/ControlIds.h"
#include "ui/Dialog.h"
#include "ui/Host.h"

namespace veska::cli {

namespace {

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// What a control's changes mean on the console. Control ids repeat across dialogs, so a
// control is known by its dialog and its id together.
// A narrative pane starts a new narration by replacing its text; on a console that simply
// follows the earlier text. The main log's text is only ever replaced by the usage text, which
// is not narration.
enum class Output { None, Log, Narrative, Field, Progress };

Output OutputOf(int dialog, int id) {
  switch (dialog) {
    case app::IDD_DOWNLOADER_DIALOG:
      if (id == app::IDC_LOG) return Output::Log;
      if (id == app::IDC_PROGRESS) return Output::Progress;
      if (id == app::IDC_FLASH_ID || id == app::IDC_FILE_NAME || id == app::IDC_FILE_SIZE ||
          id == app::IDC_CHECKSUM_FIELD) {
        return Output::Field;
      }
      return Output::None;
    case app::IDD_TFS_EXPLORER:
      if (id == app::IDC_EXPLORER_TEXT) return Output::Narrative;
      if (id == app::IDC_EXPLORER_PROGRESS) return Output::Progress;
      return Output::None;
    default:
      return Output::None;
  }
}

// Labels of the main dialog's fields (Output::Field).
const char* FieldLabel(int id) {
  switch (id) {
    case app::IDC_FLASH_ID:
      return "Flash ID";
    case app::IDC_FILE_NAME:
      return "File Name";
    case app::IDC_FILE_SIZE:
      return "File Size";
    case app::IDC_CHECKSUM_FIELD:
      return "Checksum";
    default:
      return "";
  }
}

std::string Duration(double seconds) {
  const auto s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

ConsolePresenter::ConsolePresenter(std::FILE* out, std::FILE* err, std::string applicationName,
                                   bool drawProgress)
    : out_(out),
      err_(err),
      applicationName_(std::move(applicationName)),
      drawProgress_(drawProgress) {}

void ConsolePresenter::Present(const ui::Event& event) {
  switch (event.kind) {
    case ui::EventKind::AppendText:
      if (const Output output = OutputOf(event.dialog, event.id);
          output == Output::Log || output == Output::Narrative) {
        WriteLog(event.text);
      }
      return;
    case ui::EventKind::MessageBox: {
      if (skipNextBox_) {
        skipNextBox_ = false;
        return;
      }
      ClearProgressLine();
      std::fflush(out_);
      std::fprintf(err_, "[%s] %s\n",
                   event.caption.empty() ? applicationName_.c_str() : event.caption.c_str(),
                   event.text.c_str());
      const auto buttons = static_cast<unsigned>(event.a) & ui::MB_BUTTON_MASK;
      const bool question = buttons == ui::MB_YESNO || buttons == ui::MB_OKCANCEL;
      if (hintAtYes_ && question && (event.b == ui::IDNO || event.b == ui::IDCANCEL)) {
        std::fprintf(err_, "veska-cli: answered No; add --yes to answer Yes\n");
      }
      std::fflush(err_);
      return;
    }
    case ui::EventKind::SetText: {
      const Output output = OutputOf(event.dialog, event.id);
      if (output == Output::Narrative) {
        WriteLog(event.text);
      } else if (output == Output::Field && showFields_ && !IsBlank(event.text) &&
                 shownFields_[event.id] != event.text) {
        // The same value again (the idle state sets "Disconnect" more than once) is no news.
        shownFields_[event.id] = event.text;
        ClearProgressLine();
        std::fflush(out_);
        std::fprintf(err_, "%s: %s\n", FieldLabel(event.id), event.text.c_str());
        std::fflush(err_);
      }
      return;
    }
    case ui::EventKind::SetRange:
      if (OutputOf(event.dialog, event.id) != Output::Progress) return;
      upper_ = event.b;
      started_ = std::chrono::steady_clock::now();
      return;
    case ui::EventKind::SetPos:
      if (OutputOf(event.dialog, event.id) == Output::Progress) Progress(event.a);
      return;
    default:
      return;
  }
}

void ConsolePresenter::WriteLog(const std::string& text) {
  ClearProgressLine();
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void ConsolePresenter::Progress(std::int64_t position) {
  if (!drawProgress_ || upper_ <= 0 || position <= 0) return;
  const auto now = std::chrono::steady_clock::now();
  const bool done = position >= upper_;
  // A redraw ten times a second is plenty; the last one always shows.
  if (!done && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
  lastDrawn_ = now;
  const double elapsed = std::chrono::duration<double>(now - started_).count();
  const double rate = elapsed > 0 ? static_cast<double>(position) / elapsed : 0.0;
  const double left = rate > 0 ? static_cast<double>(upper_ - position) / rate : 0.0;
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(kWidth * std::min<std::int64_t>(position, upper_) / upper_);
  std::fprintf(err_, "\r[%-*s] %lld / %lld bytes  %.1f KiB/s  %s left ", kWidth,
               std::string(static_cast<std::size_t>(filled), '#').c_str(),
               static_cast<long long>(position), static_cast<long long>(upper_), rate / 1024.0,
               Duration(left).c_str());
  std::fflush(err_);
  lineShown_ = true;
  if (done) ClearProgressLine();
}

void ConsolePresenter::ClearProgressLine() {
  if (!lineShown_) return;
  std::fprintf(err_, "\r\033[K");
  std::fflush(err_);
  lineShown_ = false;
}

}  // namespace veska::cli
