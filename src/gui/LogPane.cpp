#include "gui/LogPane.h"

#include "app/HostNotices.h"

#include <QAction>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSaveFile>

namespace veska::gui {

namespace {

bool ResolvesFixedPitch(const QFont& font) {
  return QFontInfo(font).fixedPitch();
}

}  // namespace

QFont FixedPitchFont(const QFont& proposed) {
  if (ResolvesFixedPitch(proposed)) return proposed;
  auto sized = [&proposed](QFont font) {
    if (proposed.pointSizeF() > 0) font.setPointSizeF(proposed.pointSizeF());
    font.setFixedPitch(true);
    return font;
  };
  QFont hinted = sized(proposed);
  hinted.setStyleHint(QFont::Monospace);
  if (ResolvesFixedPitch(hinted)) return hinted;
  QStringList candidates = {QStringLiteral("monospace"),       QStringLiteral("DejaVu Sans Mono"),
                            QStringLiteral("Liberation Mono"), QStringLiteral("Noto Sans Mono"),
                            QStringLiteral("Courier New"),     QStringLiteral("Courier")};
  for (const QString& family : QFontDatabase::families()) {
    if (QFontDatabase::isFixedPitch(family)) candidates << family;
  }
  for (const QString& family : candidates) {
    QFont font = sized(QFont(family));
    font.setStyleHint(QFont::Monospace);
    if (ResolvesFixedPitch(font)) return font;
  }
  return proposed;
}

void ShowAsLog(QPlainTextEdit& edit) {
  // The log's texts line their "> > >" up with tabs and spaces, which only a fixed-width font
  // keeps in columns; its tab stops are every eight characters.
  QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  system.setPointSize(edit.font().pointSize());
  const QFont fixed = FixedPitchFont(system);
  edit.setFont(fixed);
  edit.setTabStopDistance(QFontMetricsF(fixed).horizontalAdvance(QLatin1Char(' ')) * 8);
}

LogPane::LogPane(QtWindow& window, int id, ui::Host& host)
    : QObject(&window),
      window_(window),
      host_(host),
      edit_(qobject_cast<QPlainTextEdit*>(window.Control(id))) {
  if (edit_ == nullptr) return;
  ShowAsLog(*edit_);
  edit_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(edit_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    const std::unique_ptr<QMenu> menu = BuildMenu();
    menu->exec(edit_->viewport()->mapToGlobal(pos));
  });
}

std::unique_ptr<QMenu> LogPane::BuildMenu() {
  std::unique_ptr<QMenu> menu(edit_->createStandardContextMenu());
  menu->addSeparator();
  QAction* copyAll = menu->addAction(QStringLiteral("Copy all"));
  connect(copyAll, &QAction::triggered, this, [this] { CopyAll(); });
  QAction* save = menu->addAction(QStringLiteral("Save log..."));
  connect(save, &QAction::triggered, this, [this] { Save(); });
  return menu;
}

void LogPane::CopyAll() const {
  QGuiApplication::clipboard()->setText(edit_->toPlainText());
}

bool LogPane::SaveTo(const QString& path) const {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
  file.write(edit_->toPlainText().toUtf8());
  return file.commit();
}

void LogPane::Save() {
  const std::optional<std::string> chosen = host_.FileDialog(&window_, app::LogSaveRequest());
  if (!chosen) return;
  if (!SaveTo(QString::fromStdString(*chosen))) {
    host_.MessageBox(&window_, app::LogNotSavedText(*chosen), {}, ui::MB_OK | ui::MB_ICONERROR);
  }
}

}  // namespace veska::gui
