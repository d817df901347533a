#include "gui/BenchWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "app/FlashMap.h"
#include "app/Settings.h"
#include "app/TransferRate.h"
#include "desktop/BenchSettings.h"
#include "gui/LogPane.h"
#include "gui/QtHost.h"
#include "link/FilePath.h"
#include "records/Record.h"
#include "ui/Host.h"

namespace veska::gui {

namespace {

using station::SlotRow;
using station::SlotState;

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A phone's words may run over several lines; a row shows the first.
QString FirstLine(std::string_view text) {
  return ToQString(text.substr(0, text.find_first_of("\r\n")));
}

QString StateShown(const SlotRow& row) {
  return FirstLine(row.stateText.empty() ? station::StateWord(row.state) : row.stateText);
}

bool Active(SlotState state) {
  return state == SlotState::Connecting || state == SlotState::Writing ||
         state == SlotState::Verifying;
}

// Whether `column` shows something else for `b` than for `a`. A new state may change the row's
// tint, so it changes every column.
bool CellChanged(const SlotRow& a, const SlotRow& b, int column) {
  if (a.state != b.state || a.serving != b.serving) return true;
  switch (column) {
    case BenchTableModel::kSlotColumn:
      return a.name != b.name;
    case BenchTableModel::kPlaceColumn:
      return a.place != b.place;
    case BenchTableModel::kDeviceColumn:
      return a.device != b.device;
    case BenchTableModel::kStateColumn:
      return a.stateText != b.stateText;
    case BenchTableModel::kProgressColumn:
      return a.done != b.done || a.total != b.total;
    case BenchTableModel::kRateColumn:
      return a.bytesPerSecond != b.bytesPerSecond || a.secondsLeft != b.secondsLeft;
    case BenchTableModel::kPassesColumn:
      return a.passes != b.passes;
    case BenchTableModel::kFailuresColumn:
      return a.failures != b.failures;
    default:
      return false;
  }
}

int PerMille(const SlotRow& row) {
  if (row.total <= 0) return -1;
  const std::int64_t done = std::clamp<std::int64_t>(row.done, 0, row.total);
  return static_cast<int>(done * 1000 / row.total);
}

// The row's tint: a failure must stand out on a bench of thirty phones.
std::optional<QColor> Tint(SlotState state) {
  switch (state) {
    case SlotState::Failed:
    case SlotState::Quarantined:
      return QColor(255, 205, 205);
    case SlotState::Passed:
      return QColor(205, 240, 205);
    default:
      return std::nullopt;
  }
}

// The progress column: a bar of the phone's whole group over the cell's own background.
class ProgressDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem cell(option);
    initStyleOption(&cell, index);
    cell.text.clear();
    QStyle* style = cell.widget != nullptr ? cell.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, cell.widget);
    const QVariant share = index.data(BenchTableModel::kPerMilleRole);
    if (!share.isValid() || share.toInt() < 0) return;
    QStyleOptionProgressBar bar;
    bar.initFrom(cell.widget);
    bar.rect = option.rect.adjusted(2, 2, -2, -2);
    bar.state = option.state | QStyle::State_Horizontal;
    bar.minimum = 0;
    bar.maximum = 1000;
    bar.progress = share.toInt();
    bar.text = QStringLiteral("%1 %").arg(share.toInt() / 10);
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, cell.widget);
  }
};

}  // namespace

// --- the model ---

int BenchTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int BenchTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant BenchTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
  const SlotRow& row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case kSlotColumn:
          return ToQString(row.name);
        case kPlaceColumn:
          return ToQString(row.place);
        case kDeviceColumn:
          return ToQString(row.device);
        case kStateColumn:
          return StateShown(row);
        case kProgressColumn:
          return PerMille(row) < 0 ? QString() : QStringLiteral("%1 %").arg(PerMille(row) / 10);
        case kRateColumn: {
          if (!Active(row.state) || row.bytesPerSecond <= 0) return QString();
          QString text = ToQString(app::RateText(row.bytesPerSecond));
          if (row.secondsLeft >= 0) {
            text += QStringLiteral(", ") + ToQString(app::DurationText(row.secondsLeft)) +
                    QStringLiteral(" left");
          }
          return text;
        }
        case kPassesColumn:
          return row.passes;
        case kFailuresColumn:
          return row.failures;
        case kUnitColumn:
          return ToQString(row.unitSerial);
        default:
          return {};
      }
    case kPerMilleRole:
      return index.column() == kProgressColumn ? QVariant(PerMille(row)) : QVariant();
    case Qt::ToolTipRole:
      if (index.column() == kStateColumn) return ToQString(row.stateText);
      if (index.column() == kDeviceColumn || index.column() == kPlaceColumn) {
        return index.data(Qt::DisplayRole);
      }
      return {};
    case Qt::BackgroundRole:
      if (const auto tint = Tint(row.state)) return *tint;
      return {};
    case Qt::ForegroundRole:
      // Dark text on the light tints, whatever the palette's text colour.
      if (Tint(row.state)) return QColor(Qt::black);
      return {};
    case Qt::TextAlignmentRole:
      if (index.column() == kPassesColumn || index.column() == kFailuresColumn) {
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      }
      return {};
    default:
      return {};
  }
}

QVariant BenchTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kSlotColumn:
      return QStringLiteral("Slot");
    case kPlaceColumn:
      return QStringLiteral("Place");
    case kDeviceColumn:
      return QStringLiteral("Device");
    case kStateColumn:
      return QStringLiteral("State");
    case kProgressColumn:
      return QStringLiteral("Progress");
    case kRateColumn:
      return QStringLiteral("Rate, time left");
    case kPassesColumn:
      return QStringLiteral("Passes");
    case kFailuresColumn:
      return QStringLiteral("Failures");
    case kUnitColumn:
      return QStringLiteral("Unit");
    default:
      return {};
  }
}

void BenchTableModel::Update(std::vector<SlotRow> rows) {
  if (rows.size() != rows_.size()) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    return;
  }
  // Cell by cell: a view repaints a single changed cell alone but the whole table for a range,
  // and while every slot transfers only their bars and rates change.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<int> changed;
    for (int column = 0; column < kColumnCount; ++column) {
      if (CellChanged(rows_[i], rows[i], column)) changed.push_back(column);
    }
    rows_[i] = std::move(rows[i]);
    for (int column : changed) {
      const QModelIndex cell = index(static_cast<int>(i), column);
      Q_EMIT dataChanged(cell, cell);
    }
  }
}

// --- the window ---

// Questions from the slots' threads wait for the box on this thread, but never for longer than
// the bench is wanted: a stop waits for the slots, so it first answers every waiting question.
struct BenchWindow::QuestionGate {
  std::mutex mutex;
  std::condition_variable answered;
  std::uint64_t generation = 0;  // a new one drops every question asked in an older one
  bool closed = false;
  struct Question {
    bool done = false;
    std::optional<int> answer;
  };
};

BenchWindow::BenchWindow(BenchWindowOptions options, QWidget* parent)
    : QDialog(parent), options_(std::move(options)), questions_(std::make_shared<QuestionGate>()) {
  setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("Production bench"));
  if (options_.caption.isEmpty()) options_.caption = QCoreApplication::applicationName();
  BuildControls();
  NewBench(options_.plan);
  Refresh();
  serialLabel_->setText(QStringLiteral("Serial:"));
  if (!model_.Rows().empty()) table_->selectRow(0);

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, [this] {
    // Rates and times left move between the slots' events too while a phone is written.
    const bool anyActive = std::any_of(model_.Rows().begin(), model_.Rows().end(),
                                       [](const SlotRow& row) { return Active(row.state); });
    if (dirty_ || anyActive) Refresh();
  });
  timer_->start(250);

  QTimer::singleShot(0, this, [this] {
    if (!options_.problems.empty()) {
      std::string text;
      for (const std::string& problem : options_.problems) text += problem + "\n";
      text.pop_back();
      QMessageBox box(QMessageBox::Warning, options_.caption, ToQString(text), QMessageBox::Ok,
                      this);
      KeepCaptionWhole(box, options_.caption);
      box.exec();
    }
    if (options_.autoStart) StartAll();
  });
}

BenchWindow::~BenchWindow() {
  {
    std::lock_guard lock(questions_->mutex);
    questions_->closed = true;
    ++questions_->generation;
  }
  questions_->answered.notify_all();
  // Stops every slot and waits for them before the window's members go.
  bench_.reset();
  // The table outlives the model, a member, by the base's destructor.
  table_->setModel(nullptr);
}

void BenchWindow::BuildControls() {
  auto* settings = new QFormLayout;
  release_ = new QLineEdit(ToQString(options_.plan.release));
  browse_ = new QPushButton(QStringLiteral("Browse..."));
  connect(browse_, &QPushButton::clicked, this, [this] {
    const QString folder =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Release folder"), release_->text());
    if (!folder.isEmpty()) release_->setText(folder);
  });
  auto* releaseRow = new QHBoxLayout;
  releaseRow->addWidget(release_, 1);
  releaseRow->addWidget(browse_);
  settings->addRow(QStringLiteral("Release folder:"), releaseRow);

  selection_ = new QComboBox;
  for (int i = 0; i < app::SELECTION_COUNT; ++i) {
    const app::SelectionInfo* info = app::Selection(i);
    selection_->addItem(ToQString(info->cliName) + QStringLiteral("  (") +
                            ToQString(info->caption) + QLatin1Char(')'),
                        ToQString(info->cliName));
  }
  // A selection the list does not know (one image's word given by hand) is kept as it is.
  const QString chosen = ToQString(options_.plan.selection);
  if (selection_->findData(chosen) < 0) selection_->addItem(chosen, chosen);
  selection_->setCurrentIndex(selection_->findData(chosen));
  settings->addRow(QStringLiteral("Selection:"), selection_);

  defaultCal_ = new QCheckBox(QStringLiteral("Default calibration data"));
  defaultCal_->setChecked(options_.plan.defaultCal);
  verify_ = new QCheckBox(QStringLiteral("Verify"));
  verify_->setChecked(options_.plan.verify);
  reboot_ = new QCheckBox(QStringLiteral("Reboot"));
  reboot_->setChecked(options_.plan.reboot);
  auto* checks = new QHBoxLayout;
  checks->addWidget(defaultCal_);
  checks->addWidget(verify_);
  checks->addWidget(reboot_);
  checks->addStretch(1);
  settings->addRow(QString(), checks);

  station_ = new QLineEdit(ToQString(options_.plan.station));
  station_->setPlaceholderText(QStringLiteral("this computer's name"));
  settings->addRow(QStringLiteral("Station:"), station_);
  operator_ = new QLineEdit(ToQString(options_.plan.operatorName));
  operator_->setPlaceholderText(QStringLiteral("who serves the phones"));
  operator_->setMaxLength(static_cast<int>(records::kMaxUnitText));
  settings->addRow(QStringLiteral("Operator:"), operator_);

  startAll_ = new QPushButton(QStringLiteral("Start all"));
  stopAll_ = new QPushButton(QStringLiteral("Stop all"));
  // Enter in a settings field must not start thirty phones.
  for (QPushButton* button : {browse_, startAll_, stopAll_}) button->setAutoDefault(false);
  connect(startAll_, &QPushButton::clicked, this, [this] { (void)StartAll(); });
  connect(stopAll_, &QPushButton::clicked, this, [this] { StopAll(); });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(startAll_);
  buttons->addWidget(stopAll_);
  buttons->addStretch(1);
  // A barcode scanner types the unit's serial and Enter into the focused field: the field
  // follows the selected slot, and Enter starts that slot with it.
  serialLabel_ = new QLabel;
  serial_ = new QLineEdit;
  serial_->setPlaceholderText(QStringLiteral("scan the unit's label"));
  connect(serial_, &QLineEdit::returnPressed, this,
          [this] { (void)StartSlotWithSerial(SelectedSlot(), serial_->text()); });
  buttons->addWidget(serialLabel_);
  buttons->addWidget(serial_, 1);

  table_ = new QTableView;
  table_->setModel(&model_);
  table_->setItemDelegateForColumn(BenchTableModel::kProgressColumn, new ProgressDelegate(table_));
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  // Rows of one line each, so that a hub of thirty phones fits on a screen.
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 8);
  QHeaderView* header = table_->horizontalHeader();
  for (int column : {BenchTableModel::kSlotColumn, BenchTableModel::kPassesColumn,
                     BenchTableModel::kFailuresColumn}) {
    header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
  }
  header->setSectionResizeMode(BenchTableModel::kStateColumn, QHeaderView::Stretch);
  header->resizeSection(BenchTableModel::kProgressColumn, 160);
  header->resizeSection(BenchTableModel::kRateColumn, 150);
  table_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(table_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    const QModelIndex index = table_->indexAt(pos);
    if (!index.isValid()) return;
    const std::unique_ptr<QMenu> menu = BuildSlotMenu(static_cast<std::size_t>(index.row()));
    menu->exec(table_->viewport()->mapToGlobal(pos));
  });
  connect(table_, &QAbstractItemView::doubleClicked, this,
          [this](const QModelIndex& index) { ShowLog(static_cast<std::size_t>(index.row())); });

  connect(
      table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
      [this](const QModelIndex& current) {
        const auto& rows = model_.Rows();
        const auto row = static_cast<std::size_t>(std::max(0, current.row()));
        if (row < rows.size()) {
          serialLabel_->setText(QStringLiteral("Serial for %1:").arg(ToQString(rows[row].name)));
        }
      });

  totals_ = new QLabel;
  totals_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  // Named for the tests and for style sheets a line may give the program.
  const std::pair<QWidget*, const char*> names[] = {
      {release_, "release"},       {browse_, "browse"},     {selection_, "selection"},
      {defaultCal_, "defaultCal"}, {verify_, "verify"},     {reboot_, "reboot"},
      {station_, "station"},       {startAll_, "startAll"}, {stopAll_, "stopAll"},
      {operator_, "operator"},     {serial_, "serial"},     {table_, "slots"},
      {totals_, "totals"}};
  for (const auto& [widget, name] : names) widget->setObjectName(QString::fromLatin1(name));

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(settings);
  layout->addLayout(buttons);
  layout->addWidget(table_, 1);
  layout->addWidget(totals_);
  resize(900, 260 + 24 * static_cast<int>(std::min<std::size_t>(options_.plan.slots.size(), 16)));
}

station::BenchPlan BenchWindow::Plan() const {
  station::BenchPlan plan = options_.plan;
  plan.release = release_->text().toStdString();
  plan.selection = selection_->currentData().toString().toStdString();
  plan.defaultCal = defaultCal_->isChecked();
  plan.verify = verify_->isChecked();
  plan.reboot = reboot_->isChecked();
  plan.station = station_->text().trimmed().toStdString();
  plan.operatorName = operator_->text().trimmed().toStdString();
  return plan;
}

void BenchWindow::NewBench(station::BenchPlan plan) {
  // The old bench stops its slots and waits for them; none is serving when a new one is made.
  bench_.reset();
  options_.plan = plan;
  bench_ = std::make_unique<station::Bench>(std::move(plan));
  bench_->SetObserver([this](const station::SlotEvent& event) {
    // A line said changes no row; everything else is drawn at the next tick. One mark until
    // that tick has read the rows is enough however many events come meanwhile: thirty slots
    // report their progress far more often than anyone can read it.
    if (event.kind == station::SlotEvent::Kind::Message) return;
    if (posted_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this] { dirty_ = true; }, Qt::QueuedConnection);
  });
  // The calibration-data question: one box on this thread, the slot's thread waiting for it.
  bench_->SetQuestionAsker(
      [this, gate = questions_](std::string_view text, std::string_view caption) {
        const QString body = ToQString(text);
        const QString title = caption.empty() ? options_.caption : ToQString(caption);
        // Asked while the bench checks, before any slot runs.
        if (QThread::currentThread() == thread()) return std::optional<int>(Ask(body, title));
        auto question = std::make_shared<QuestionGate::Question>();
        std::uint64_t asked = 0;
        {
          std::lock_guard lock(gate->mutex);
          if (gate->closed) return std::optional<int>();
          asked = gate->generation;
        }
        QMetaObject::invokeMethod(
            this,
            [this, gate, question, asked, body, title] {
              {
                std::lock_guard lock(gate->mutex);
                if (gate->generation != asked) return;  // stopped before the box came up
              }
              const int answer = Ask(body, title);
              {
                std::lock_guard lock(gate->mutex);
                question->done = true;
                question->answer = answer;
              }
              gate->answered.notify_all();
            },
            Qt::QueuedConnection);
        std::unique_lock lock(gate->mutex);
        gate->answered.wait(lock, [&] { return question->done || gate->generation != asked; });
        return question->answer;
      });
  dirty_ = true;
}

int BenchWindow::Ask(const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  KeepCaptionWhole(box, caption);
  questionBox_ = &box;
  box.exec();
  return box.clickedButton() == box.button(QMessageBox::Yes) ? ui::IDYES : ui::IDNO;
}

void BenchWindow::DropQuestions() {
  {
    std::lock_guard lock(questions_->mutex);
    ++questions_->generation;
  }
  questions_->answered.notify_all();
  // Nobody waits for its answer any more.
  if (questionBox_) questionBox_->reject();
}

bool BenchWindow::AnyServing() const {
  const std::vector<SlotRow> rows = bench_->Rows();
  return std::any_of(rows.begin(), rows.end(), [](const SlotRow& row) { return row.serving; });
}

bool BenchWindow::ReadyToStart() {
  if (!options_.locked && !AnyServing()) {
    const station::BenchPlan plan = Plan();
    const station::BenchPlan& now = options_.plan;
    if (plan.release != now.release || plan.selection != now.selection ||
        plan.defaultCal != now.defaultCal || plan.verify != now.verify ||
        plan.reboot != now.reboot || plan.station != now.station ||
        plan.operatorName != now.operatorName) {
      NewBench(plan);
      if (options_.planChanged) options_.planChanged(options_.plan);
    }
  }
  const std::string refusal = bench_->Check();
  if (refusal.empty()) return true;
  ShowRefusal(refusal);
  return false;
}

void BenchWindow::ShowRefusal(const std::string& refusal) {
  QMessageBox box(QMessageBox::Warning, options_.caption, ToQString(refusal), QMessageBox::Ok,
                  this);
  KeepCaptionWhole(box, options_.caption);
  box.exec();
}

bool BenchWindow::StartAll() {
  if (!ReadyToStart()) return false;
  const std::string refused = bench_->StartAll();
  Refresh();
  if (!refused.empty()) ShowRefusal(refused);
  return true;
}

void BenchWindow::StopAll() {
  DropQuestions();
  bench_->StopAll();
  Refresh();
}

bool BenchWindow::StartSlot(std::size_t slot) {
  if (slot >= bench_->SlotCount() || !ReadyToStart()) return false;
  const std::string refused = bench_->Start(slot);
  Refresh();
  if (!refused.empty()) ShowRefusal(refused);
  return refused.empty();
}

bool BenchWindow::StartSlotWithSerial(std::size_t slot, const QString& serial) {
  // The bench for the settings as they stand first: a new one would not know the serial.
  if (slot >= bench_->SlotCount() || !ReadyToStart()) return false;
  if (const std::string refused = bench_->SetUnitSerial(slot, serial.toStdString());
      !refused.empty()) {
    ShowRefusal(refused);
    return false;
  }
  serial_->clear();
  const std::string refused = bench_->Start(slot);
  // The next scan is most likely for the next slot of the hub.
  if (slot + 1 < bench_->SlotCount()) table_->selectRow(static_cast<int>(slot + 1));
  Refresh();
  if (!refused.empty()) ShowRefusal(refused);
  return refused.empty();
}

std::size_t BenchWindow::SelectedSlot() const {
  const QModelIndex current = table_->currentIndex();
  return current.isValid() ? static_cast<std::size_t>(current.row()) : 0;
}

void BenchWindow::StopSlot(std::size_t slot) {
  if (slot >= bench_->SlotCount()) return;
  DropQuestions();
  bench_->Stop(slot);
  Refresh();
}

std::unique_ptr<QMenu> BenchWindow::BuildSlotMenu(std::size_t slot) {
  auto menu = std::make_unique<QMenu>(this);
  const bool serving = slot < model_.Rows().size() && model_.Rows()[slot].serving;
  QAction* start = menu->addAction(QStringLiteral("Start"));
  start->setEnabled(!serving);
  connect(start, &QAction::triggered, this, [this, slot] { (void)StartSlot(slot); });
  QAction* stop = menu->addAction(QStringLiteral("Stop"));
  stop->setEnabled(serving);
  connect(stop, &QAction::triggered, this, [this, slot] { StopSlot(slot); });
  menu->addSeparator();
  QAction* log = menu->addAction(QStringLiteral("Show log"));
  connect(log, &QAction::triggered, this, [this, slot] { ShowLog(slot); });
  return menu;
}

void BenchWindow::ShowLog(std::size_t slot) {
  if (slot >= bench_->SlotCount()) return;
  auto* dialog = new QDialog(this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  const QString name =
      slot < model_.Rows().size() ? ToQString(model_.Rows()[slot].name) : QString::number(slot + 1);
  dialog->setWindowTitle(name + QStringLiteral(": log"));
  auto* text = new QPlainTextEdit(dialog);
  text->setReadOnly(true);
  text->setLineWrapMode(QPlainTextEdit::NoWrap);
  ShowAsLog(*text);
  text->setPlainText(ToQString(bench_->SlotLog(slot)));
  text->moveCursor(QTextCursor::End);
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(text);
  dialog->resize(760, 480);
  dialog->show();
}

void BenchWindow::Refresh() {
  dirty_ = false;
  // Before the rows are read: an event after this point marks the next tick again.
  posted_ = false;
  model_.Update(bench_->Rows());
  const station::Totals sum = bench_->Sum();
  totals_->setText(QStringLiteral("Passed: %1    Failed: %2    First-pass yield: %3 %    Phones "
                                  "per hour: %4    Mean cycle: %5")
                       .arg(sum.passed)
                       .arg(sum.failed)
                       .arg(sum.firstPassYield * 100, 0, 'f', 1)
                       .arg(sum.phonesPerHour, 0, 'f', 1)
                       .arg(sum.passed + sum.failed > 0
                                ? ToQString(app::DurationText(sum.meanCycleSeconds))
                                : QStringLiteral("-")));
  ShowControlStates();
}

QString BenchWindow::TotalsText() const {
  return totals_->text();
}

void BenchWindow::ShowControlStates() {
  // The settings reach a bench only when it starts: while a slot serves they are shown as
  // they are being served.
  const bool changeable =
      !options_.locked && std::none_of(model_.Rows().begin(), model_.Rows().end(),
                                       [](const SlotRow& row) { return row.serving; });
  for (QWidget* field : std::initializer_list<QWidget*>{release_, browse_, selection_, defaultCal_,
                                                        verify_, reboot_, station_, operator_}) {
    field->setEnabled(changeable);
  }
}

void BenchWindow::keyPressEvent(QKeyEvent* event) {
  // Esc would close the window of a whole bench at a touch.
  if (event->key() == Qt::Key_Escape) {
    event->ignore();
    return;
  }
  QDialog::keyPressEvent(event);
}

void BenchWindow::closeEvent(QCloseEvent* event) {
  if (AnyServing()) {
    QMessageBox box(QMessageBox::Question, options_.caption,
                    QStringLiteral("Stop every slot and close the bench?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    KeepCaptionWhole(box, options_.caption);
    box.exec();
    if (box.clickedButton() != box.button(QMessageBox::Yes)) {
      event->ignore();
      return;
    }
    StopAll();
  }
  QDialog::closeEvent(event);
}

int RunBenchWindow(QtHost& host, const std::filesystem::path& settingsFile) {
  const std::filesystem::path file = app::DesktopSettingsFile(host.ApplicationName(), settingsFile);
  const app::Settings settings(file);
  desktop::BenchSettingsReading reading = desktop::ReadBenchSettings(settings);
  if (reading.bench.plan.slots.empty()) {
    reading.problems.push_back(
        "[Bench] Slot1 is missing; the bench has no slots to serve (veska-cli slots learn --write "
        "binds them to a hub's ports)");
  }
  BenchWindowOptions options;
  options.plan = reading.bench.plan;
  options.autoStart = reading.bench.autoStart;
  options.locked = reading.bench.locked;
  options.problems = std::move(reading.problems);
  options.caption = ToQString(host.ApplicationName());
  // What the operator changed is kept for the next time the bench opens.
  desktop::BenchSettings kept = reading.bench;
  BenchWindow* shown = nullptr;
  options.planChanged = [&settings, &kept, &shown, &file](const station::BenchPlan& plan) {
    kept.plan = plan;
    if (desktop::SaveBenchSettings(settings, kept) == 0 || shown == nullptr) return;
    QMessageBox box(QMessageBox::Warning, shown->windowTitle(),
                    ToQString("The bench's settings could not be saved to " + link::Utf8Of(file) +
                              "; the next bench opens with the settings it had."),
                    QMessageBox::Ok, shown);
    box.exec();
  };
  BenchWindow window(std::move(options));
  shown = &window;
  window.setWindowIcon(QtHost::AppIcon());
  window.exec();
  return 0;
}

}  // namespace veska::gui
