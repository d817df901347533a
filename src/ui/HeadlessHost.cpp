#include "ui/HeadlessHost.h"

namespace veska::ui {

HeadlessHost::HeadlessHost(std::string applicationName)
    : applicationName_(std::move(applicationName)) {}

HeadlessHost::~HeadlessHost() {
  // Workers may still report to the journal: let them end before it goes.
  JoinWorkers();
}

int HeadlessHost::MessageBox(Window* owner, std::string_view text, std::string_view caption,
                             unsigned type) {
  int answer = IDOK;
  QuestionHook ask;
  const bool question =
      (type & MB_BUTTON_MASK) == MB_YESNO || (type & MB_BUTTON_MASK) == MB_OKCANCEL;
  {
    std::lock_guard lock(mutex_);
    if (!messageBoxAnswers_.empty()) {
      answer = messageBoxAnswers_.front();
      messageBoxAnswers_.pop_front();
    } else if ((type & MB_BUTTON_MASK) == MB_YESNO) {
      answer = answerYes_ ? IDYES : IDNO;
      if (!answerYes_) ask = questionHook_;
    } else if ((type & MB_BUTTON_MASK) == MB_OKCANCEL) {
      answer = answerYes_ ? IDOK : IDCANCEL;
      if (!answerYes_) ask = questionHook_;
    }
  }
  // Asked outside the lock: the user may take their time.
  if (question && ask) {
    const std::string shownCaption = caption.empty() ? applicationName_ : std::string(caption);
    if (const std::optional<int> given = ask(text, shownCaption)) answer = *given;
  }
  Event event;
  event.kind = EventKind::MessageBox;
  event.dialog = owner != nullptr ? owner->Template().resourceId : 0;
  event.text = std::string(text);
  event.caption = caption.empty() ? applicationName_ : std::string(caption);
  event.a = type;
  event.b = answer;
  event.detail = MessageDetail();
  journal_.Record(std::move(event));
  return answer;
}

std::optional<std::string> HeadlessHost::FileDialog(Window* owner,
                                                    const FileDialogRequest& request) {
  std::optional<std::string> answer;
  {
    std::lock_guard lock(mutex_);
    if (!fileDialogAnswers_.empty()) {
      answer = std::move(fileDialogAnswers_.front());
      fileDialogAnswers_.pop_front();
    }
  }
  Event event;
  event.kind = EventKind::FileDialog;
  event.dialog = owner != nullptr ? owner->Template().resourceId : 0;
  event.text = request.filter;
  event.caption = request.initialPath;
  event.detail = request.initialDirectory;
  event.a = request.flags;
  event.b = answer.has_value() ? 1 : 0;
  journal_.Record(std::move(event));
  return answer;
}

int HeadlessHost::RunModal(const DialogTemplate& dialog, Dialog& handler, Window* owner) {
  (void)owner;
  std::function<int(HeadlessWindow&)> script;
  {
    std::lock_guard lock(mutex_);
    if (!modalScripts_.empty()) {
      script = std::move(modalScripts_.front());
      modalScripts_.pop_front();
    }
  }
  journal_.Record(Event{EventKind::ModalBegin, dialog.resourceId, 0, {}, {}, 0, 0});
  HeadlessWindow window(dialog, handler, journal_);
  handler.Attach(&window);
  handler.OnInitDialog();
  int result = IDOK;
  if (script) {
    result = script(window);
  } else if (!window.Ended()) {
    handler.OnOK();
  }
  if (window.Ended()) result = window.Result();
  handler.Attach(nullptr);
  journal_.Record(Event{EventKind::ModalEnd, dialog.resourceId, 0, {}, {}, result, 0});
  return result;
}

void HeadlessHost::Sleep(std::chrono::milliseconds duration) {
  unsigned numerator = 1;
  unsigned denominator = 1;
  {
    std::lock_guard lock(mutex_);
    numerator = sleepNumerator_;
    denominator = sleepDenominator_;
  }
  journal_.Record(Event{EventKind::Sleep, 0, 0, {}, {}, duration.count(), 0});
  if (numerator == 0) return;
  Host::Sleep(duration * numerator / denominator);
}

std::unique_ptr<HeadlessWindow> HeadlessHost::Create(const DialogTemplate& dialog,
                                                     Dialog& handler) {
  auto window = std::make_unique<HeadlessWindow>(dialog, handler, journal_);
  handler.Attach(window.get());
  handler.OnInitDialog();
  return window;
}

void HeadlessHost::QueueMessageBoxAnswer(int answer) {
  std::lock_guard lock(mutex_);
  messageBoxAnswers_.push_back(answer);
}

void HeadlessHost::QueueFileDialogAnswer(std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  fileDialogAnswers_.push_back(std::move(path));
}

void HeadlessHost::QueueModalScript(std::function<int(HeadlessWindow&)> script) {
  std::lock_guard lock(mutex_);
  modalScripts_.push_back(std::move(script));
}

void HeadlessHost::SetAnswerYes(bool yes) {
  std::lock_guard lock(mutex_);
  answerYes_ = yes;
}

void HeadlessHost::SetQuestionHook(QuestionHook hook) {
  std::lock_guard lock(mutex_);
  questionHook_ = std::move(hook);
}

void HeadlessHost::ClearDialogAnswers() {
  std::lock_guard lock(mutex_);
  messageBoxAnswers_.clear();
  fileDialogAnswers_.clear();
}

void HeadlessHost::SetSleepScale(unsigned numerator, unsigned denominator) {
  std::lock_guard lock(mutex_);
  sleepNumerator_ = numerator;
  sleepDenominator_ = denominator == 0 ? 1 : denominator;
}

std::vector<std::string> HeadlessHost::MessageBoxTexts() const {
  std::vector<std::string> texts;
  for (const Event& event : journal_.Events()) {
    if (event.kind == EventKind::MessageBox) texts.push_back(event.text);
  }
  return texts;
}

}  // namespace veska::ui
