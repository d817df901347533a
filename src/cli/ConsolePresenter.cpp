#include "cli/ConsolePresenter.h"

#include <utility>

#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"
#include "app/HostNotices.h"
#include "app/Printf.h"
#include "cli/YesNoPrompt.h"
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
// follows the earlier text. The main log's text is replaced by the idle state's usage text,
// which is not narration, and by an operation starting its narration afresh, which is.
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

}  // namespace

ConsolePresenter::ConsolePresenter(std::FILE* out, ErrorStream& errors, std::string applicationName,
                                   bool drawProgress)
    : out_(out),
      errors_(errors),
      err_(errors.File()),
      applicationName_(std::move(applicationName)),
      mode_(drawProgress ? ProgressMode::Bar : ProgressMode::None),
      // A window of a few seconds: the bar's rate follows the line, not the transfer's start.
      rate_(std::chrono::seconds(5), std::chrono::seconds(1)) {}

void ConsolePresenter::PhoneWaiting(const app::PhoneWait& wait) {
  if (!countWaits_) return;
  // Ctrl-C is the terminal's way of stopping; there is no Disconnect button here.
  if (wait.ended) {
    EndTransient();
  } else {
    ShowTransient(app::PhoneWaitText(wait, "Ctrl-C stops the wait"));
  }
}

std::optional<int> ConsolePresenter::Ask(std::string_view text, std::string_view caption) {
  if (!CanAskOnTerminal(err_)) return std::nullopt;
  EndProgressLine();
  std::fflush(out_);
  ShowQuestion(err_, "", caption, text);
  const int answer = ReadAnswer(err_);
  SkipNextBox();
  return answer;
}

void ConsolePresenter::ShowTransient(const std::string& text) {
  std::lock_guard lock(mutex_);
  DrawLine(text + "\033[K");
}

void ConsolePresenter::EndTransient() {
  std::lock_guard lock(mutex_);
  ClearProgressLine();
}

void ConsolePresenter::DrawLine(const std::string& line) {
  if (!lineShown_ && sameTerminal_ && !partialLine_.empty()) {
    // Below the half-written line, never over it.
    std::fflush(out_);
    std::fputc('\n', err_);
    barBelowPartial_ = true;
  }
  std::fprintf(err_, "\r%s", line.c_str());
  std::fflush(err_);
  lineShown_ = true;
}

void ConsolePresenter::Present(const ui::Event& event) {
  std::lock_guard lock(mutex_);
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
      errors_.Box(event.caption, event.text, static_cast<unsigned>(event.a),
                  static_cast<int>(event.b), applicationName_);
      const auto buttons = static_cast<unsigned>(event.a) & ui::MB_BUTTON_MASK;
      const bool question = buttons == ui::MB_YESNO || buttons == ui::MB_OKCANCEL;
      if (hintAtYes_ && question && (event.b == ui::IDNO || event.b == ui::IDCANCEL)) {
        errors_.Explain("veska-cli: answered No; add --yes to answer Yes\n");
      }
      return;
    }
    case ui::EventKind::SetText: {
      const Output output = OutputOf(event.dialog, event.id);
      if (output == Output::Narrative || (output == Output::Log && event.text != app::kUsageText)) {
        WriteLog(event.text);
      } else if (output == Output::Field && showFields_ && !IsBlank(event.text) &&
                 shownFields_[event.id] != event.text &&
                 // The box's idle word, which the bootloader's start sets too: no identity.
                 !(event.id == app::IDC_FLASH_ID && event.text == "Disconnect")) {
        // The same value again (the idle state sets "Disconnect" more than once) is no news.
        shownFields_[event.id] = event.text;
        Note(app::Printf("%s: %s\n", FieldLabel(event.id), event.text.c_str()));
      }
      return;
    }
    case ui::EventKind::SetRange:
      if (OutputOf(event.dialog, event.id) != Output::Progress) return;
      upper_ = event.b;
      started_ = std::chrono::steady_clock::now();
      plainTenths_ = 0;
      rate_.Clear();
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
  if (pendingNotes_.empty()) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  } else {
    // The fields that came while the line was half written follow the line's end.
    const std::size_t end = text.find('\n');
    std::fwrite(text.data(), 1, end == std::string::npos ? text.size() : end + 1, out_);
    std::fflush(out_);
    if (end != std::string::npos) {
      errors_.Note(std::exchange(pendingNotes_, {}));
      std::fwrite(text.data() + end + 1, 1, text.size() - end - 1, out_);
      std::fflush(out_);
    }
  }
  if (sameTerminal_ || sameFile_) {
    const std::size_t lineBreak = text.rfind('\n');
    partialLine_ =
        lineBreak == std::string::npos ? partialLine_ + text : text.substr(lineBreak + 1);
  }
}

void ConsolePresenter::FlushPendingNotes() {
  if (pendingNotes_.empty()) return;
  std::fflush(out_);
  // The log stopped in the middle of a line: the fields start on one of their own.
  errors_.Note("\n" + std::exchange(pendingNotes_, {}));
}

void ConsolePresenter::Progress(std::int64_t position) {
  if (upper_ <= 0 || position <= 0) return;
  if (mode_ == ProgressMode::Bar) {
    DrawBar(position);
    return;
  }
  if (mode_ != ProgressMode::Plain) return;
  const auto tenths = static_cast<int>(10 * std::min(position, upper_) / upper_);
  if (tenths <= plainTenths_) return;
  plainTenths_ = tenths;
  Note(app::Printf("progress: %d%% (%lld / %lld bytes)\n", tenths * 10,
                   static_cast<long long>(std::min(position, upper_)),
                   static_cast<long long>(upper_)));
}

void ConsolePresenter::Note(const std::string& note) {
  if (MidLine()) {
    // Not into the middle of a log line: once the line is whole.
    pendingNotes_ += note;
    return;
  }
  ClearProgressLine();
  std::fflush(out_);
  errors_.Note(note);
}

void ConsolePresenter::DrawBar(std::int64_t position) {
  const auto now = std::chrono::steady_clock::now();
  const bool done = position >= upper_;
  if (rate_.Empty()) rate_.Add(started_, 0);
  // A redraw ten times a second is plenty; the last one always shows.
  if (!done && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
  lastDrawn_ = now;
  rate_.Add(now, position);
  const double rate = rate_.Rate();
  std::string rateText = "-- KiB/s";
  std::string leftText = "--:--";
  if (rate > 0) {
    rateText = app::RateText(rate);
    leftText = app::DurationText(static_cast<double>(upper_ - position) / rate);
  }
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(kWidth * std::min<std::int64_t>(position, upper_) / upper_);
  char text[160];
  std::snprintf(text, sizeof text, "[%-*s] %lld / %lld bytes  %s  %s left ", kWidth,
                std::string(static_cast<std::size_t>(filled), '#').c_str(),
                static_cast<long long>(position), static_cast<long long>(upper_), rateText.c_str(),
                leftText.c_str());
  DrawLine(text);
  if (done) ClearProgressLine();
}

void ConsolePresenter::ClearProgressLine() {
  if (!lineShown_) return;
  std::fprintf(err_, "\r\033[K");
  if (barBelowPartial_) {
    // Back up to the half-written line and write it again, so the log goes on after it.
    std::fprintf(err_, "\033[A\r");
    std::fflush(err_);
    std::fwrite(partialLine_.data(), 1, partialLine_.size(), out_);
    std::fflush(out_);
    barBelowPartial_ = false;
  }
  std::fflush(err_);
  lineShown_ = false;
}

}  // namespace veska::cli
