#include "gui/QtHost.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QSpacerItem>
#include <QThread>
#include <QTimer>

namespace veska::gui {

namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QWidget* OwnerWidget(ui::Window* owner) {
  return dynamic_cast<QtWindow*>(owner);
}

QPixmap DrawIconPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  // A phone body with a screen and a download arrow on it.
  p.setPen(QPen(QColor(20, 40, 90), s / 32));
  p.setBrush(QColor(40, 80, 160));
  p.drawRoundedRect(QRectF(s * 0.22, s * 0.04, s * 0.56, s * 0.92), s * 0.08, s * 0.08);
  p.setBrush(QColor(225, 238, 255));
  p.setPen(Qt::NoPen);
  p.drawRect(QRectF(s * 0.29, s * 0.14, s * 0.42, s * 0.62));
  p.setBrush(QColor(230, 120, 20));
  QPainterPath arrow;
  arrow.moveTo(s * 0.44, s * 0.20);
  arrow.lineTo(s * 0.56, s * 0.20);
  arrow.lineTo(s * 0.56, s * 0.44);
  arrow.lineTo(s * 0.66, s * 0.44);
  arrow.lineTo(s * 0.50, s * 0.66);
  arrow.lineTo(s * 0.34, s * 0.44);
  arrow.lineTo(s * 0.44, s * 0.44);
  arrow.closeSubpath();
  p.drawPath(arrow);
  p.setBrush(QColor(200, 210, 230));
  p.drawEllipse(QPointF(s * 0.5, s * 0.86), s * 0.05, s * 0.05);
  return pixmap;
}

// The answer of a box closed without a button.
int EscapeAnswer(unsigned type) {
  switch (type & ui::MB_BUTTON_MASK) {
    case ui::MB_YESNO:
      return ui::IDNO;
    case ui::MB_OKCANCEL:
      return ui::IDCANCEL;
    default:
      return ui::IDOK;
  }
}

QMessageBox::Icon IconOf(unsigned type) {
  switch (type & ui::MB_ICON_MASK) {
    case ui::MB_ICONERROR:
      return QMessageBox::Critical;
    case ui::MB_ICONQUESTION:
      return QMessageBox::Question;
    case ui::MB_ICONWARNING:
      return QMessageBox::Warning;
    case ui::MB_ICONINFORMATION:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

// The type's buttons, the one it names the default.
void AddButtons(QMessageBox& box, unsigned type) {
  QPushButton* first = nullptr;
  QPushButton* second = nullptr;
  switch (type & ui::MB_BUTTON_MASK) {
    case ui::MB_YESNO:
      first = box.addButton(QMessageBox::Yes);
      second = box.addButton(QMessageBox::No);
      break;
    case ui::MB_OKCANCEL:
      first = box.addButton(QMessageBox::Ok);
      second = box.addButton(QMessageBox::Cancel);
      break;
    default:
      first = box.addButton(QMessageBox::Ok);
      break;
  }
  const bool secondDefault = (type & ui::MB_DEFAULT_MASK) == ui::MB_DEFBUTTON2 && second;
  box.setDefaultButton(secondDefault ? second : first);
}

int AnswerOf(QMessageBox::StandardButton pressed, unsigned type) {
  switch (pressed) {
    case QMessageBox::Yes:
      return ui::IDYES;
    case QMessageBox::No:
      return ui::IDNO;
    case QMessageBox::Cancel:
      return ui::IDCANCEL;
    case QMessageBox::Ok:
      return ui::IDOK;
    default:  // closed without a button: the box's escape answer
      return EscapeAnswer(type);
  }
}

}  // namespace

int MessageBoxMinimumWidth(const QString& caption) {
  // The title bar's font is the window manager's; Qt's own title-bar font (the application's
  // font unless a style says otherwise), in bold, is a fair stand-in. Room is added for the
  // window manager's icon and buttons.
  QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
  titleFont.setBold(true);
  return QFontMetrics(titleFont).horizontalAdvance(caption) + 160;
}

void KeepCaptionWhole(QMessageBox& box, const QString& caption) {
  // A message box allows for its caption's letters but not for the window manager's icon and
  // buttons beside them, so a short text under a spaced caption ("  NOTICE  ") gets a title bar
  // that cuts it. A spacer in the box's own grid keeps the box wide enough.
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (grid == nullptr) return;
  grid->addItem(new QSpacerItem(MessageBoxMinimumWidth(caption), 0, QSizePolicy::Minimum,
                                QSizePolicy::Minimum),
                grid->rowCount(), 0, 1, grid->columnCount());
}

QString QtFileFilter(std::string_view filter) {
  QStringList entries;
  bool anyFile = false;
  for (const ui::FileFilter& entry : ui::ParseFileFilter(filter)) {
    QString patterns = ToQString(entry.pattern);
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    // Qt reads the patterns from the last parentheses, so a description that already names
    // them in parentheses stays as it is.
    entries << ToQString(entry.description) + QStringLiteral(" (") + patterns + QLatin1Char(')');
    if (patterns == QStringLiteral("*")) anyFile = true;
  }
  // "*.*" passes over a name without a dot (Rsrc.img is found, an extensionless dump is not),
  // and a narrow filter hides a file named otherwise: every list ends with all files.
  if (!anyFile) entries << QStringLiteral("All files (*)");
  return entries.join(QStringLiteral(";;"));
}

QtHost::QtHost() : context_(std::make_unique<QObject>()) {}

QtHost::~QtHost() {
  // Before the context goes: each worker's last act is a call to it.
  JoinWorkers();
}

void QtHost::StartWorker(ui::ThreadPriority priority, std::function<void(std::stop_token)> work) {
  ++runningWorkers_;
  ui::Host::StartWorker(priority, [this, work = std::move(work)](std::stop_token stop) {
    work(stop);
    --runningWorkers_;
    QMetaObject::invokeMethod(
        context_.get(), [this] { WorkerEnded(); }, Qt::QueuedConnection);
  });
}

void QtHost::WorkerEnded() {
  if (serving_ != nullptr && runningWorkers_.load() == 0) serving_->quit();
}

bool QtHost::ServeWorkersFor(std::chrono::milliseconds bound) {
  if (runningWorkers_.load() == 0) return true;
  // A worker that ends from here on posts its WorkerEnded after this look: the loop hears it.
  QEventLoop loop;
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  deadline.start(bound);
  serving_ = &loop;
  loop.exec();
  serving_ = nullptr;
  return runningWorkers_.load() == 0;
}

template <typename Work>
void QtHost::OnUiThread(Work&& work) {
  if (QThread::currentThread() == context_->thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(context_.get(), std::forward<Work>(work), Qt::BlockingQueuedConnection);
}

std::string QtHost::ApplicationName() const {
  // The executable's base name, as the settings file and message box captions use it.
  QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  if (name.isEmpty()) name = QCoreApplication::applicationName();
  return name.toStdString();
}

int QtHost::MessageBox(ui::Window* owner, std::string_view text, std::string_view caption,
                       unsigned type) {
  const QString body = ToQString(text);
  const QString title =
      caption.empty() ? QString::fromStdString(ApplicationName()) : ToQString(caption);
  // Asked here, on the caller's thread: the source may ask the operation's runner.
  const QString detail = QString::fromStdString(MessageDetail());
  int answer = EscapeAnswer(type);
  OnUiThread([&] {
    // The session is ending: nobody is there to answer.
    if (closing_) return;
    QMessageBox box(IconOf(type), title, body, QMessageBox::NoButton, OwnerWidget(owner));
    if (!detail.isEmpty()) {
      // The cause goes beside the box's own text and under the window, where it stays after
      // the box has gone.
      box.setInformativeText(detail);
      if (auto* window = dynamic_cast<QtWindow*>(owner)) {
        window->ShowStatusLine(QString(detail).replace(QLatin1Char('\n'), QStringLiteral("; ")));
      }
    }
    KeepCaptionWhole(box, title);
    AddButtons(box, type);
    box.exec();
    answer = AnswerOf(box.standardButton(box.clickedButton()), type);
  });
  return answer;
}

std::optional<std::string> QtHost::FileDialog(ui::Window* owner,
                                              const ui::FileDialogRequest& request) {
  std::optional<std::string> chosen;
  OnUiThread([&] {
    if (closing_) return;
    QFileDialog dialog(OwnerWidget(owner));
    dialog.setNameFilter(QtFileFilter(request.filter));
    dialog.setAcceptMode(request.open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    // An open dialog only offers files that exist: a typed name that does not would end in
    // the caller's error box anyway.
    dialog.setFileMode(request.open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    if (!request.open && (request.flags & ui::OFN_OVERWRITEPROMPT) == 0) {
      dialog.setOption(QFileDialog::DontConfirmOverwrite);
    }
    if (!request.defaultExtension.empty()) {
      dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
    }
    // The folder to start in: the request's, else the proposed file's (a file names its own
    // folder), the first that exists; none leaves the dialog's own choice.
    for (const std::string& candidate : {request.initialDirectory, request.initialPath}) {
      if (candidate.empty()) continue;
      const QFileInfo start(QString::fromStdString(candidate));
      const QString folder = start.isDir() ? start.absoluteFilePath() : start.absolutePath();
      if (!QFileInfo(folder).isDir()) continue;
      dialog.setDirectory(folder);
      break;
    }
    if (!request.initialPath.empty()) {
      const QFileInfo initial(QString::fromStdString(request.initialPath));
      if (!initial.isDir()) dialog.selectFile(initial.fileName());
    }
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
      chosen = dialog.selectedFiles().front().toStdString();
    }
  });
  return chosen;
}

int QtHost::RunModal(const ui::DialogTemplate& dialog, ui::Dialog& handler, ui::Window* owner) {
  int result = ui::IDCANCEL;
  OnUiThread([&] {
    // A worker's sub-dialog asked for while the session ends is cancelled unseen.
    if (closing_) return;
    QtWindow window(dialog, handler, OwnerWidget(owner));
    handler.Attach(&window);
    // Either way the first control that takes the focus gets it when the window shows.
    (void)handler.OnInitDialog();
    if (shownHook_) {
      QTimer::singleShot(0, &window, [this, &window] { shownHook_(window); });
    }
    result = window.exec();
    if (owner == nullptr && runningWorkers_.load() > 0) {
      // The session ends with this window. Its workers were told to stop (EXIT and the close
      // box stop them as Disconnect does) but may still be showing their last texts here.
      closing_ = true;
      while (!ServeWorkersFor(kQuitWait)) {
        if (abandonHook_) abandonHook_();
      }
      closing_ = false;
    }
    handler.Attach(nullptr);
  });
  return result;
}

QIcon QtHost::AppIcon() {
  static const QIcon icon = [] {
    QIcon drawn;
    for (int size : {16, 32, 48, 64}) drawn.addPixmap(DrawIconPixmap(size));
    return drawn;
  }();
  return icon;
}

}  // namespace veska::gui
