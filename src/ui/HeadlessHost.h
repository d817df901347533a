#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ui/HeadlessWindow.h"
#include "ui/Host.h"
#include "ui/Journal.h"

namespace veska::ui {

// The host without a screen. Message boxes and file dialogs are recorded in the journal and
// answered from scripts queued beforehand; when a script runs dry a message box gets its
// default answer (OK, or No to a question unless questions are answered Yes) and a file dialog
// is cancelled. Sleeps can be scaled down so that tests do not wait out real delays.
class HeadlessHost final : public Host {
 public:
  explicit HeadlessHost(std::string applicationName = "VeskaDownloader");
  ~HeadlessHost() override;

  // --- Host ---
  [[nodiscard]] std::string ApplicationName() const override { return applicationName_; }
  int MessageBox(Window* owner, std::string_view text, std::string_view caption = {},
                 unsigned type = MB_OK) override;
  std::optional<std::string> FileDialog(Window* owner, const FileDialogRequest& request) override;
  int RunModal(const DialogTemplate& dialog, Dialog& handler, Window* owner) override;
  void Sleep(std::chrono::milliseconds duration) override;

  // Builds a modeless headless window for `handler` and runs its OnInitDialog: how a test or
  // the command line opens the main dialog and then acts on it.
  [[nodiscard]] std::unique_ptr<HeadlessWindow> Create(const DialogTemplate& dialog,
                                                       Dialog& handler);

  // --- scripts ---
  void QueueMessageBoxAnswer(int answer);
  void QueueFileDialogAnswer(std::optional<std::string> path);
  // Runs inside the next RunModal once the sub-dialog is initialised; returns the result.
  void QueueModalScript(std::function<int(HeadlessWindow&)> script);
  void SetAnswerYes(bool yes);
  // Asked for a question (Yes/No, OK/Cancel) that no script answers while questions are not
  // answered Yes: returns the answer, or nothing for the default (No, Cancel). The command line
  // asks the user here when it runs on a terminal.
  using QuestionHook =
      std::function<std::optional<int>(std::string_view text, std::string_view caption)>;
  void SetQuestionHook(QuestionHook hook);
  // Drops the answers queued for message boxes and file dialogs that never came (a step that
  // stopped before its dialog must not answer a later one).
  void ClearDialogAnswers();
  // Real sleep = requested x numerator / denominator; 0 makes sleeps instant (still recorded).
  void SetSleepScale(unsigned numerator, unsigned denominator = 1);

  [[nodiscard]] Journal& EventJournal() { return journal_; }
  // The texts of the message boxes shown so far, in order.
  [[nodiscard]] std::vector<std::string> MessageBoxTexts() const;

 private:
  std::string applicationName_;
  Journal journal_;
  mutable std::mutex mutex_;
  std::deque<int> messageBoxAnswers_;
  std::deque<std::optional<std::string>> fileDialogAnswers_;
  std::deque<std::function<int(HeadlessWindow&)>> modalScripts_;
  bool answerYes_ = false;
  QuestionHook questionHook_;
  unsigned sleepNumerator_ = 1;
  unsigned sleepDenominator_ = 1;
};

}  // namespace veska::ui
