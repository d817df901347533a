#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/Bench.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableView;
class QTimer;

namespace veska::gui {

class QtHost;

// What the bench window opens with.
struct BenchWindowOptions {
  station::BenchPlan plan;
  bool autoStart = false;  // every slot serves as soon as the window is up
  bool locked = false;     // the settings are shown but cannot be changed
  std::vector<std::string>
      problems;     // what the settings file got wrong, shown once the window is up
  QString caption;  // the message boxes' caption (the program's name)
  // Told the plan a start serves with when the operator has changed the settings (the program
  // keeps it in the settings file).
  std::function<void(const station::BenchPlan&)> planChanged;
};

// The slots' rows as the table shows them: one row per slot, the bench's own SlotRow kept as
// read, so that the view asks for nothing the bench would have to lock for.
class BenchTableModel final : public QAbstractTableModel {
 public:
  enum Column {
    kSlotColumn,
    kPlaceColumn,
    kDeviceColumn,
    kStateColumn,
    kProgressColumn,
    kRateColumn,
    kPassesColumn,
    kFailuresColumn,
    kUnitColumn,  // the unit's serial for the slot's next phone, or the one being served
    kColumnCount
  };
  // The progress column's share done, 0..1000, or -1 when the group's size is not known.
  static constexpr int kPerMilleRole = Qt::UserRole + 1;

  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;

  // Takes the bench's rows as they are now; only the rows that differ are redrawn.
  void Update(std::vector<station::SlotRow> rows);
  [[nodiscard]] const std::vector<station::SlotRow>& Rows() const { return rows_; }

 private:
  std::vector<station::SlotRow> rows_;
};

// The production bench: a hub of phones served from one window. A view over station::Bench: a
// timer reads the bench's rows and totals four times a second when something changed; the
// slots' threads only mark the view dirty through a queued call and never touch a widget.
//
// The settings at the top are the plan's. They can be changed while no slot serves (never in
// locked mode); a start with changed settings serves with a new bench, whose counters start
// from nothing.
class BenchWindow final : public QDialog {
 public:
  explicit BenchWindow(BenchWindowOptions options, QWidget* parent = nullptr);
  ~BenchWindow() override;
  BenchWindow(const BenchWindow&) = delete;
  BenchWindow& operator=(const BenchWindow&) = delete;

  // What the buttons and the rows' menu do. A start runs the bench's check first and shows a
  // refusal instead of starting; false then.
  bool StartAll();
  void StopAll();
  bool StartSlot(std::size_t slot);
  // The serial field's Enter: the serial for the slot's next phone, then the slot started (a
  // scanner types the serial and Enter); the selection moves on to the next slot. A refusal is
  // shown in a box and the field keeps the text; false then.
  bool StartSlotWithSerial(std::size_t slot, const QString& serial);
  void StopSlot(std::size_t slot);
  // The slot's log as the bench keeps it, in a read-only window of its own.
  void ShowLog(std::size_t slot);
  // The row's context menu (the caller owns it).
  [[nodiscard]] std::unique_ptr<QMenu> BuildSlotMenu(std::size_t slot);

  // Reads the bench's rows and totals now (the timer does it when something changed).
  void Refresh();
  [[nodiscard]] const BenchTableModel& Model() const { return model_; }
  [[nodiscard]] QString TotalsText() const;
  [[nodiscard]] station::Bench& Bench() { return *bench_; }
  [[nodiscard]] station::BenchPlan Plan() const;  // as the settings at the top stand
  [[nodiscard]] QTableView& Table() const { return *table_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  struct QuestionGate;

  void BuildControls();
  void NewBench(station::BenchPlan plan);
  // Before a start: a bench for the settings as they stand, and its check. False when refused.
  bool ReadyToStart();
  [[nodiscard]] bool AnyServing() const;
  void ShowControlStates();
  // The selected slot (the first when none is).
  [[nodiscard]] std::size_t SelectedSlot() const;
  void ShowRefusal(const std::string& refusal);
  // The question's box; IDYES or IDNO.
  int Ask(const QString& text, const QString& caption);
  // Answers every question still waiting with No (a slot's thread may be waiting for the box
  // while this thread waits for the slot to stop).
  void DropQuestions();

  BenchWindowOptions options_;
  BenchTableModel model_;
  std::shared_ptr<QuestionGate> questions_;
  std::unique_ptr<station::Bench> bench_;
  std::atomic<bool> posted_{false};  // a slot's mark is on its way or not yet read
  bool dirty_ = true;

  QLineEdit* release_ = nullptr;
  QPushButton* browse_ = nullptr;
  QComboBox* selection_ = nullptr;
  QCheckBox* defaultCal_ = nullptr;
  QCheckBox* verify_ = nullptr;
  QCheckBox* reboot_ = nullptr;
  QLineEdit* station_ = nullptr;
  QLineEdit* operator_ = nullptr;
  QLabel* serialLabel_ = nullptr;  // names the slot the serial field is for
  QLineEdit* serial_ = nullptr;
  QPushButton* startAll_ = nullptr;
  QPushButton* stopAll_ = nullptr;
  QTableView* table_ = nullptr;
  QLabel* totals_ = nullptr;
  QTimer* timer_ = nullptr;
  QPointer<QMessageBox> questionBox_;  // the calibration-data question while it is shown
};

// `VeskaDownloader --bench` and the main window's menu entry: the bench the settings file's
// [Bench] section describes (the user's settings file when `settingsFile` is empty), run until
// its window is closed. Returns the window's result.
int RunBenchWindow(QtHost& host, const std::filesystem::path& settingsFile = {});

}  // namespace veska::gui
