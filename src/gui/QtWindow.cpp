#include "gui/QtWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QTextCursor>
#include <QTextDocument>
#include <QTreeWidget>
#include <algorithm>

#include "gui/Hangul.h"
#include "gui/QtHost.h"
#include "ui/TextLimit.h"
#include "ui/TreeOrder.h"

namespace veska::gui {

namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The rich edit treats "\r\n", "\r" and "\n" each as one line break; a plain-text widget knows
// only "\n".
QString LineBreaks(std::string_view text) {
  QString converted = ToQString(text);
  converted.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  converted.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return converted;
}

// Where a static text may wrap besides its spaces: after the separators of a long path, which
// has no spaces to wrap at. The marks are invisible and never read back.
constexpr QChar kBreakHint(0x200B);

QString WithBreakHints(QString text) {
  for (qsizetype i = text.size(); i-- > 0;) {
    if (text[i] == QLatin1Char('/') || text[i] == QLatin1Char('\\')) text.insert(i + 1, kBreakHint);
  }
  return text;
}

QString WithoutBreakHints(QString text) {
  text.remove(kBreakHint);
  return text;
}

// What the dialog set with Enable on a control that only looks read-only when disabled.
constexpr const char* kLogicallyEnabled = "veskaEnabled";

// A tree item that knows its handle and sorts as every tree of the program does.
class TreeWidgetItem final : public QTreeWidgetItem {
 public:
  TreeWidgetItem(ui::TreeItem handle, const QString& text) : QTreeWidgetItem(QStringList{text}) {
    setData(0, Qt::UserRole, QVariant::fromValue(handle));
  }
  bool operator<(const QTreeWidgetItem& other) const override {
    return ui::TreeTextLess(text(0).toStdString(), other.text(0).toStdString());
  }
};

// The controls that only show: nothing the user does with them reaches the dialog.
QWidget* MakeGroupBox(const ui::ControlTemplate& tmpl, const QString& caption, QWidget* parent) {
  auto* box = new QGroupBox(caption, parent);
  if (tmpl.Has(ui::STYLE_CENTRED)) box->setAlignment(Qt::AlignHCenter);
  box->setAttribute(Qt::WA_TransparentForMouseEvents);
  return box;
}

QWidget* MakeStaticText(const QString& caption, QWidget* parent) {
  // A static text wraps at its width, as a dialog's left-aligned text does.
  auto* label = new QLabel(caption, parent);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QWidget* MakeIcon(const QSize& size, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setPixmap(QtHost::AppIcon().pixmap(size));
  return label;
}

// An edit and a rich edit alike: the program reads and sets their text, and hears nothing.
QWidget* MakeEdit(const ui::ControlTemplate& tmpl, QWidget* parent) {
  if (tmpl.Has(ui::STYLE_MULTILINE)) {
    auto* text = new QPlainTextEdit(parent);
    text->setReadOnly(tmpl.Has(ui::STYLE_READ_ONLY));
    text->setVerticalScrollBarPolicy(tmpl.Has(ui::STYLE_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                 : Qt::ScrollBarAsNeeded);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    return text;
  }
  auto* edit = new QLineEdit(parent);
  edit->setReadOnly(tmpl.Has(ui::STYLE_READ_ONLY));
  if (tmpl.Has(ui::STYLE_CENTRED)) edit->setAlignment(Qt::AlignHCenter);
  return edit;
}

}  // namespace

template <typename Work>
void QtWindow::OnUiThread(Work&& work) const {
  if (QThread::currentThread() == thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(const_cast<QtWindow*>(this), std::forward<Work>(work),
                            Qt::BlockingQueuedConnection);
}

QtWindow::QtWindow(const ui::DialogTemplate& dialog, ui::Dialog& handler, QWidget* parent)
    : QtWindow(dialog, handler, parent, std::nullopt) {}

QtWindow::QtWindow(const ui::DialogTemplate& dialog, ui::Dialog& handler, QWidget* parent,
                   std::optional<DialogUnits> units)
    : QDialog(parent),
      template_(dialog),
      handler_(handler),
      font_(DialogFont(dialog)),
      units_(units.value_or(DialogUnits(font_))) {
  Qt::WindowFlags flags =
      Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
  if ((dialog.style & ui::DIALOG_SYSTEM_MENU) != 0) flags |= Qt::WindowSystemMenuHint;
  if ((dialog.style & ui::DIALOG_MINIMIZE_BOX) != 0) flags |= Qt::WindowMinimizeButtonHint;
  if ((dialog.style & ui::DIALOG_RESIZABLE) != 0) flags |= Qt::WindowMaximizeButtonHint;
  // A top-level window of its own shows in the task bar.
  if ((dialog.style & ui::DIALOG_APP_WINDOW) != 0) flags = (flags & ~Qt::Dialog) | Qt::Window;
  setWindowFlags(flags);
  setWindowTitle(ReadableText(ToQString(dialog.title)));
  setFont(font_);
  Build();
}

QtWindow::~QtWindow() = default;

void QtWindow::Build() {
  for (const ui::ControlTemplate& tmpl : template_.controls) {
    QWidget* widget = MakeControl(tmpl);
    PlaceControl(*widget, tmpl);
    placed_.push_back(widget);
    placedRects_.push_back(widget->geometry());
    if (tmpl.id != ui::ID_STATIC) controls_[tmpl.id] = widget;
  }
  clientHeight_ = units_.Y(template_.height);
  if (Resizable()) {
    setMinimumSize(units_.X(template_.width), clientHeight_);
    resize(minimumSize());
  } else {
    setFixedSize(units_.X(template_.width), clientHeight_);
  }
}

bool QtWindow::Resizable() const {
  return (template_.style & ui::DIALOG_RESIZABLE) != 0;
}

void QtWindow::GrowTemplateArea(int pixels) {
  if (Resizable()) {
    // Taken first: a larger smallest size alone would already stretch the window.
    const QSize grown(width(), height() + pixels);
    setMinimumSize(minimumWidth(), minimumHeight() + pixels);
    resize(grown);
  } else {
    setFixedSize(width(), height() + pixels);
  }
}

void QtWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (Resizable()) FollowSize();
}

void QtWindow::FollowSize() {
  const int dx = width() - units_.X(template_.width);
  const int dy = height() - clientHeight_ - statusLineHeight_;
  for (std::size_t index = 0; index < placed_.size(); ++index) {
    const QRect& base = placedRects_[index];
    const ui::PixelRect grown = ui::GrownRect(
        template_, index, ui::PixelRect{base.x(), base.y(), base.width(), base.height()}, dx, dy);
    placed_[index]->setGeometry(grown.x, grown.y, grown.width, grown.height);
  }
  if (statusLine_ != nullptr) {
    statusLine_->setGeometry(units_.X(6), clientHeight_ + std::max(dy, 0), width() - units_.X(12),
                             statusLineHeight_);
    ShowStatusText();
  }
}

QWidget* QtWindow::MakeControl(const ui::ControlTemplate& tmpl) {
  const QString caption = ReadableText(ToQString(tmpl.caption));
  switch (tmpl.kind) {
    case ui::ControlKind::GroupBox:
      return MakeGroupBox(tmpl, caption, this);
    case ui::ControlKind::Static:
      return MakeStaticText(caption, this);
    case ui::ControlKind::Icon:
      return MakeIcon(units_.Map(tmpl.rect).size(), this);
    case ui::ControlKind::PushButton:
      return MakePushButton(tmpl, caption);
    case ui::ControlKind::RadioButton:
      return MakeRadioButton(tmpl, caption);
    case ui::ControlKind::CheckBox:
      return MakeCheckBox(tmpl, caption);
    case ui::ControlKind::Edit:
    case ui::ControlKind::RichEdit:
      return MakeEdit(tmpl, this);
    case ui::ControlKind::DropDownList:
      return MakeDropDownList(tmpl);
    case ui::ControlKind::ProgressBar:
      return MakeProgressBar(tmpl);
    case ui::ControlKind::ListBox:
      return MakeListBox();
    case ui::ControlKind::TreeView:
      return MakeTreeView(tmpl);
  }
  return nullptr;
}

void QtWindow::PlaceControl(QWidget& widget, const ui::ControlTemplate& tmpl) {
  QRect placed = units_.Map(tmpl.rect);
  // The height of a drop-down list in the template is that of its open list; the closed box
  // takes the height its style needs.
  if (tmpl.kind == ui::ControlKind::DropDownList) placed.setHeight(widget.sizeHint().height());
  widget.setGeometry(placed);
  widget.setFont(font_);
  if (tmpl.Has(ui::STYLE_DISABLED)) widget.setEnabled(false);
  if (tmpl.Has(ui::STYLE_HIDDEN)) widget.hide();
  if (tmpl.kind == ui::ControlKind::GroupBox) widget.lower();
}

QWidget* QtWindow::MakePushButton(const ui::ControlTemplate& tmpl, const QString& caption) {
  auto* button = new QPushButton(caption, this);
  // Enter presses a button only where the template asks for it.
  button->setAutoDefault(false);
  button->setDefault(tmpl.Has(ui::STYLE_DEFAULT_BUTTON));
  NotifyClicks(*button, tmpl.id);
  return button;
}

QWidget* QtWindow::MakeRadioButton(const ui::ControlTemplate& tmpl, const QString& caption) {
  auto* radio = new QRadioButton(caption, this);
  // Groups follow the template, not the widget tree, so the exclusivity is ours.
  radio->setAutoExclusive(false);
  connect(radio, &QRadioButton::clicked, this, [this, id = tmpl.id] { ClickRadio(id); });
  return radio;
}

QWidget* QtWindow::MakeCheckBox(const ui::ControlTemplate& tmpl, const QString& caption) {
  auto* check = new QCheckBox(caption, this);
  NotifyClicks(*check, tmpl.id);
  return check;
}

void QtWindow::NotifyClicks(QAbstractButton& button, int id) {
  connect(&button, &QAbstractButton::clicked, this,
          [this, id] { handler_.Command(id, ui::Notify::Clicked); });
}

QWidget* QtWindow::MakeDropDownList(const ui::ControlTemplate& tmpl) {
  auto* combo = new QComboBox(this);
  for (std::string_view item : tmpl.items) combo->addItem(ToQString(item));
  combo->setCurrentIndex(-1);
  combo->setMaxVisibleItems(std::max(1, tmpl.rect.height / 10));
  // The user's choice only, as the list's selection-change notification.
  connect(combo, &QComboBox::activated, this,
          [this, id = tmpl.id](int) { handler_.Command(id, ui::Notify::SelChange); });
  return combo;
}

QWidget* QtWindow::MakeProgressBar(const ui::ControlTemplate& tmpl) {
  auto* bar = new QProgressBar(this);
  bar->setTextVisible(false);
  bar->setRange(0, 100);
  bar->setValue(0);
  progress_[tmpl.id] = ui::ProgressState{};
  return bar;
}

QWidget* QtWindow::MakeListBox() {
  auto* list = new QListWidget(this);
  // The right button leaves the selection alone: a context menu acts on what the user selected
  // before.
  list->viewport()->installEventFilter(this);
  return list;
}

QWidget* QtWindow::MakeTreeView(const ui::ControlTemplate& tmpl) {
  auto* tree = new QTreeWidget(this);
  tree->setHeaderHidden(true);
  // The selection, not the current item: giving the tree the focus makes its first item
  // current without the user choosing anything.
  connect(tree, &QTreeWidget::itemSelectionChanged, this, [this, id = tmpl.id, tree] {
    if (treeChangeOwn_) return;
    const QList<QTreeWidgetItem*> selected = tree->selectedItems();
    if (!selected.isEmpty()) handler_.OnTreeSelChanged(id, HandleOf(selected.front()));
  });
  return tree;
}

QWidget* QtWindow::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void QtWindow::ClickRadio(int id) {
  // Automatic radio buttons: the clicked one is checked (a second click leaves it checked) and
  // the others of its template group are cleared.
  for (int member : ui::RadioGroupOf(template_, id)) {
    if (auto* radio = qobject_cast<QRadioButton*>(Control(member))) radio->setChecked(member == id);
  }
  handler_.Command(id, ui::Notify::Clicked);
}

void QtWindow::SetText(int id, std::string_view text) {
  const std::string copy(text);
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
      plain->setPlainText(LineBreaks(copy));
    } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
      line->setText(ToQString(copy));
      if (textEnd_.contains(id)) {
        line->setCursorPosition(static_cast<int>(line->text().size()));
        line->setToolTip(line->text().trimmed().isEmpty() ? QString() : line->text());
      } else {
        line->setCursorPosition(0);
      }
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(WithBreakHints(ToQString(copy)));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(ToQString(copy));
    } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
      box->setTitle(ToQString(copy));
    }
  });
}

std::string QtWindow::GetText(int id) const {
  QString text;
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* plain = qobject_cast<QPlainTextEdit*>(widget))
      text = plain->toPlainText();
    else if (auto* line = qobject_cast<QLineEdit*>(widget))
      text = line->text();
    else if (auto* label = qobject_cast<QLabel*>(widget))
      text = WithoutBreakHints(label->text());
    else if (auto* button = qobject_cast<QAbstractButton*>(widget))
      text = button->text();
    else if (auto* box = qobject_cast<QGroupBox*>(widget))
      text = box->title();
    else if (auto* combo = qobject_cast<QComboBox*>(widget))
      text = combo->currentText();
  });
  return text.toStdString();
}

void QtWindow::Enable(int id, bool enabled) {
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (widget == nullptr) return;
    if (auto* line = qobject_cast<QLineEdit*>(widget);
        line != nullptr && readOnlyLook_.contains(id)) {
      line->setProperty(kLogicallyEnabled, enabled);
      line->setReadOnly(!enabled || TemplateReadOnly(id));
      line->setFocusPolicy(enabled ? Qt::StrongFocus : Qt::NoFocus);
      return;
    }
    widget->setEnabled(enabled);
  });
}

bool QtWindow::IsEnabled(int id) const {
  bool enabled = false;
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (widget == nullptr) return;
    enabled = readOnlyLook_.contains(id) ? widget->property(kLogicallyEnabled).toBool()
                                         : widget->isEnabled();
  });
  return enabled;
}

bool QtWindow::TemplateReadOnly(int id) const {
  const ui::ControlTemplate* tmpl = template_.Find(id);
  return tmpl != nullptr && tmpl->Has(ui::STYLE_READ_ONLY);
}

void QtWindow::ShowDisabledAsReadOnly(int id) {
  auto* line = qobject_cast<QLineEdit*>(Control(id));
  if (line == nullptr) return;
  readOnlyLook_.insert(id);
  const bool enabled = line->isEnabled();
  line->setEnabled(true);
  Enable(id, enabled);
}

void QtWindow::ShowTextEnd(int id) {
  auto* line = qobject_cast<QLineEdit*>(Control(id));
  if (line == nullptr) return;
  textEnd_.insert(id);
  line->setCursorPosition(static_cast<int>(line->text().size()));
  line->setToolTip(line->text().trimmed().isEmpty() ? QString() : line->text());
}

void QtWindow::FitStaticText(int id) {
  auto* label = qobject_cast<QLabel*>(Control(id));
  if (label == nullptr) return;
  const int needed = label->heightForWidth(label->width());
  const int grow = needed - label->height();
  if (grow <= 0) return;
  label->resize(label->width(), needed);
  for (std::size_t index = 0; index < placed_.size(); ++index) {
    if (placed_[index] == label) placedRects_[index].setHeight(needed);
  }
  clientHeight_ += grow;
  if (statusLine_ != nullptr) statusLine_->move(statusLine_->x(), statusLine_->y() + grow);
  GrowTemplateArea(grow);
}

bool QtWindow::IsVisible(int id) const {
  bool visible = false;
  OnUiThread([&] {
    if (QWidget* widget = Control(id)) visible = !widget->isHidden();
  });
  return visible;
}

void QtWindow::SetFocus(int id) {
  OnUiThread([&] {
    if (QWidget* widget = Control(id)) widget->setFocus(Qt::OtherFocusReason);
  });
}

int QtWindow::FocusedControl() const {
  int id = ui::ID_STATIC;
  OnUiThread([&] {
    const QWidget* focus = focusWidget();
    for (const auto& [controlId, widget] : controls_) {
      if (widget == focus) id = controlId;
    }
  });
  return id;
}

void QtWindow::SetCheck(int id, int state) {
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* check = qobject_cast<QCheckBox*>(widget)) {
      if (state == ui::BST_INDETERMINATE) check->setTristate(true);
      check->setCheckState(state == ui::BST_CHECKED         ? Qt::Checked
                           : state == ui::BST_INDETERMINATE ? Qt::PartiallyChecked
                                                            : Qt::Unchecked);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setChecked(state == ui::BST_CHECKED);
    }
  });
}

int QtWindow::GetCheck(int id) const {
  int state = ui::BST_UNCHECKED;
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* check = qobject_cast<QCheckBox*>(widget)) {
      state = check->checkState() == Qt::Checked            ? ui::BST_CHECKED
              : check->checkState() == Qt::PartiallyChecked ? ui::BST_INDETERMINATE
                                                            : ui::BST_UNCHECKED;
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      state = button->isChecked() ? ui::BST_CHECKED : ui::BST_UNCHECKED;
    }
  });
  return state;
}

void QtWindow::AddString(int id, std::string_view item) {
  const QString text = ToQString(item);
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* combo = qobject_cast<QComboBox*>(widget))
      combo->addItem(text);
    else if (auto* list = qobject_cast<QListWidget*>(widget))
      list->addItem(text);
  });
}

void QtWindow::ResetContent(int id) {
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* combo = qobject_cast<QComboBox*>(widget))
      combo->clear();
    else if (auto* list = qobject_cast<QListWidget*>(widget))
      list->clear();
  });
}

int QtWindow::GetCount(int id) const {
  int count = 0;
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* combo = qobject_cast<QComboBox*>(widget))
      count = combo->count();
    else if (auto* list = qobject_cast<QListWidget*>(widget))
      count = list->count();
  });
  return count;
}

std::string QtWindow::GetItemText(int id, int index) const {
  QString text;
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      if (index >= 0 && index < combo->count()) text = combo->itemText(index);
    } else if (auto* list = qobject_cast<QListWidget*>(widget)) {
      if (index >= 0 && index < list->count()) text = list->item(index)->text();
    }
  });
  return text.toStdString();
}

bool QtWindow::SetCurSel(int id, int index) {
  bool inRange = false;
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      inRange = index >= 0 && index < combo->count();
      combo->setCurrentIndex(inRange ? index : -1);
    } else if (auto* list = qobject_cast<QListWidget*>(widget)) {
      inRange = index >= 0 && index < list->count();
      list->setCurrentRow(inRange ? index : -1);
    }
  });
  return inRange;
}

int QtWindow::GetCurSel(int id) const {
  int index = ui::LB_NONE;
  OnUiThread([&] {
    QWidget* widget = Control(id);
    if (auto* combo = qobject_cast<QComboBox*>(widget))
      index = combo->currentIndex();
    else if (auto* list = qobject_cast<QListWidget*>(widget))
      index = list->currentRow();
  });
  return index < 0 ? ui::LB_NONE : index;
}

void QtWindow::SetHorizontalExtent(int, int) {}

int QtWindow::TextWidth(int id, std::string_view text) const {
  const QString converted = ToQString(text);
  int width = 0;
  OnUiThread([&] {
    if (QWidget* widget = Control(id)) width = widget->fontMetrics().horizontalAdvance(converted);
  });
  return width;
}

ui::TreeItem QtWindow::HandleOf(const QTreeWidgetItem* item) {
  return item == nullptr ? ui::TREE_NONE : item->data(0, Qt::UserRole).value<ui::TreeItem>();
}

QTreeWidgetItem* QtWindow::TreeItemOf(int id, ui::TreeItem item) const {
  auto* tree = qobject_cast<QTreeWidget*>(Control(id));
  if (tree == nullptr) return nullptr;
  if (item == ui::TREE_NONE) return tree->invisibleRootItem();
  auto it = treeItems_.find(item);
  if (it == treeItems_.end() || it->second->treeWidget() != tree) return nullptr;
  return it->second;
}

ui::TreeItem QtWindow::InsertTreeItem(int id, ui::TreeItem parent, std::string_view text) {
  const QString label = ToQString(text);
  ui::TreeItem handle = ui::TREE_NONE;
  OnUiThread([&] {
    QTreeWidgetItem* above = TreeItemOf(id, parent);
    if (above == nullptr) return;
    handle = nextTreeItem_++;
    auto* item = new TreeWidgetItem(handle, label);
    above->addChild(item);
    treeItems_[handle] = item;
  });
  return handle;
}

std::string QtWindow::GetTreeItemText(int id, ui::TreeItem item) const {
  QString text;
  OnUiThread([&] {
    if (item == ui::TREE_NONE) return;
    if (QTreeWidgetItem* found = TreeItemOf(id, item)) text = found->text(0);
  });
  return text.toStdString();
}

ui::TreeItem QtWindow::GetParentTreeItem(int id, ui::TreeItem item) const {
  ui::TreeItem parent = ui::TREE_NONE;
  OnUiThread([&] {
    if (item == ui::TREE_NONE) return;
    if (QTreeWidgetItem* found = TreeItemOf(id, item)) parent = HandleOf(found->parent());
  });
  return parent;
}

std::vector<ui::TreeItem> QtWindow::GetChildTreeItems(int id, ui::TreeItem parent) const {
  std::vector<ui::TreeItem> children;
  OnUiThread([&] {
    QTreeWidgetItem* above = TreeItemOf(id, parent);
    if (above == nullptr) return;
    for (int i = 0; i < above->childCount(); ++i) children.push_back(HandleOf(above->child(i)));
  });
  return children;
}

void QtWindow::SortTreeChildren(int id, ui::TreeItem parent) {
  OnUiThread([&] {
    if (QTreeWidgetItem* above = TreeItemOf(id, parent)) above->sortChildren(0, Qt::AscendingOrder);
  });
}

void QtWindow::ExpandTreeItem(int id, ui::TreeItem item) {
  OnUiThread([&] {
    if (item == ui::TREE_NONE) return;
    if (QTreeWidgetItem* found = TreeItemOf(id, item)) found->setExpanded(true);
  });
}

bool QtWindow::SelectTreeItem(int id, ui::TreeItem item) {
  bool known = false;
  OnUiThread([&] {
    auto* tree = qobject_cast<QTreeWidget*>(Control(id));
    QTreeWidgetItem* found = TreeItemOf(id, item);
    if (tree == nullptr || found == nullptr) return;
    known = true;
    treeChangeOwn_ = true;
    if (item == ui::TREE_NONE) {
      tree->clearSelection();
    } else {
      tree->setCurrentItem(found);
    }
    treeChangeOwn_ = false;
  });
  return known;
}

ui::TreeItem QtWindow::GetSelectedTreeItem(int id) const {
  ui::TreeItem selected = ui::TREE_NONE;
  OnUiThread([&] {
    auto* tree = qobject_cast<QTreeWidget*>(Control(id));
    if (tree != nullptr && !tree->selectedItems().isEmpty()) {
      selected = HandleOf(tree->selectedItems().front());
    }
  });
  return selected;
}

void QtWindow::DeleteAllTreeItems(int id) {
  OnUiThread([&] {
    auto* tree = qobject_cast<QTreeWidget*>(Control(id));
    if (tree == nullptr) return;
    std::erase_if(treeItems_,
                  [tree](const auto& entry) { return entry.second->treeWidget() == tree; });
    treeChangeOwn_ = true;
    tree->clear();
    treeChangeOwn_ = false;
  });
}

void QtWindow::ApplyProgress(int id) {
  auto* bar = qobject_cast<QProgressBar*>(Control(id));
  if (bar == nullptr) return;
  const ui::IntBarSteps steps = ui::ToIntBarSteps(progress_[id]);
  bar->setRange(0, steps.upper);
  bar->setValue(steps.position);
}

void QtWindow::SetRange(int id, std::int64_t lower, std::int64_t upper) {
  OnUiThread([&] {
    if (!progress_.contains(id)) return;
    progress_[id].lower = lower;
    progress_[id].upper = upper;
    ApplyProgress(id);
  });
}

void QtWindow::SetPos(int id, std::int64_t position) {
  OnUiThread([&] {
    if (!progress_.contains(id)) return;
    progress_[id].position = position;
    ApplyProgress(id);
  });
}

ui::ProgressState QtWindow::GetProgress(int id) const {
  ui::ProgressState state;
  OnUiThread([&] {
    if (auto it = progress_.find(id); it != progress_.end()) state = it->second;
  });
  return state;
}

void QtWindow::AppendText(int id, std::string_view text) {
  const QString converted = LineBreaks(text);
  OnUiThread([&] {
    auto* edit = qobject_cast<QPlainTextEdit*>(Control(id));
    if (edit == nullptr) return;
    // The user's selection goes; the caret moves to the end and the text lands there.
    QTextCursor cursor = edit->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(converted);
    if (appendHook_) appendHook_(id, converted);
    const std::size_t limit = textLimits_.contains(id) ? textLimits_.at(id) : 0;
    if (limit != 0 && static_cast<std::size_t>(edit->document()->characterCount()) > limit) {
      const QString all = edit->toPlainText();
      const std::size_t drop = ui::OldestTextToDrop(all, limit);
      QTextCursor head(edit->document());
      head.setPosition(static_cast<int>(drop), QTextCursor::KeepAnchor);
      head.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    edit->setTextCursor(cursor);
    const ui::ControlTemplate* tmpl = template_.Find(id);
    if (tmpl != nullptr && tmpl->kind == ui::ControlKind::RichEdit) {
      edit->setFocus(Qt::OtherFocusReason);
    }
    edit->ensureCursorVisible();
  });
}

void QtWindow::SetTextLimit(int id, std::size_t characters) {
  OnUiThread([&] { textLimits_[id] = characters; });
}

bool QtWindow::HasSystemMenu() const {
  return (template_.style & ui::DIALOG_SYSTEM_MENU) != 0;
}

void QtWindow::AppendSystemMenuItem(unsigned commandId, std::string_view text) {
  const QString label = ReadableText(ToQString(text));
  OnUiThread([&] { systemMenu_.emplace_back(commandId, label); });
}

int QtWindow::ControlAt(const QPoint& pos) const {
  for (const QWidget* widget = childAt(pos); widget != nullptr && widget != this;
       widget = widget->parentWidget()) {
    for (const auto& [id, control] : controls_) {
      if (control == widget) return control->isEnabled() ? id : ui::ID_STATIC;
    }
  }
  return ui::ID_STATIC;
}

bool QtWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
    if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) return true;
  }
  return QDialog::eventFilter(watched, event);
}

unsigned QtWindow::TrackPopupMenu(const ui::PopupMenu& menu, ui::Point point) {
  unsigned chosen = ui::MENU_SEPARATOR;
  OnUiThread([&] {
    QMenu popup(this);
    for (const ui::MenuItem& item : menu) {
      if (item.command == ui::MENU_SEPARATOR && item.text.empty()) {
        popup.addSeparator();
        continue;
      }
      QAction* action = popup.addAction(ToQString(item.text));
      action->setEnabled(item.enabled);
      action->setData(item.command);
    }
    if (const QAction* action = popup.exec(mapToGlobal(QPoint(point.x, point.y)))) {
      chosen = action->data().toUInt();
    }
  });
  return chosen;
}

void QtWindow::contextMenuEvent(QContextMenuEvent* event) {
  const QPoint pos = event->pos();
  if (handler_.OnContextMenu(ControlAt(pos), ui::Point{pos.x(), pos.y()})) return;
  // A desktop window has no system menu of its own to extend: its additions live here.
  QMenu menu(this);
  for (const auto& [commandId, label] : systemMenu_) {
    if (commandId == ui::MENU_SEPARATOR) {
      if (!menu.isEmpty()) menu.addSeparator();
      continue;
    }
    QAction* action = menu.addAction(label);
    const unsigned command = commandId;
    connect(action, &QAction::triggered, this,
            [this, command] { handler_.OnSysCommand(command, 0); });
  }
  if (!menu.isEmpty()) menu.exec(event->globalPos());
}

void QtWindow::SetIcon(int iconId, bool big) {
  (void)iconId;
  (void)big;  // one icon serves every size
  OnUiThread([&] { setWindowIcon(QtHost::AppIcon()); });
}

void QtWindow::EndDialog(int result) {
  OnUiThread([&] { done(result); });
}

void QtWindow::reject() {
  // Esc and the close box: the dialog's own cancel.
  handler_.Command(ui::IDCANCEL, ui::Notify::Clicked);
}

void QtWindow::done(int result) {
  QDialog::done(result);
  // The innermost first: a box raised over a sub-dialog goes before the sub-dialog.
  const QList<QDialog*> owned = findChildren<QDialog*>();
  for (auto it = owned.rbegin(); it != owned.rend(); ++it) {
    const QPointer<QDialog> window(*it);
    if (window && window->isVisible()) window->reject();
  }
}

void QtWindow::ShowStatusLine(const QString& text) {
  if (statusLine_ == nullptr) {
    statusLine_ = new QLabel(this);
    statusLine_->setFont(font_);
    const int line = statusLine_->sizeHint().height() + units_.Y(2);
    // Under the template's area as the window stands, however far it has been enlarged.
    statusLine_->setGeometry(units_.X(6), height() - minimumHeight() + clientHeight_,
                             width() - units_.X(12), line);
    statusLine_->show();
    statusLineHeight_ = line;
    GrowTemplateArea(line);
  }
  statusText_ = text;
  ShowStatusText();
}

void QtWindow::ShowStatusText() {
  const QString& text = statusText_;
  const QString shown =
      statusLine_->fontMetrics().elidedText(text, Qt::ElideMiddle, statusLine_->width());
  statusLine_->setText(shown);
  statusLine_->setToolTip(shown == text ? QString() : text);
}

QString QtWindow::StatusLine() const {
  return statusText_;
}

}  // namespace veska::gui
