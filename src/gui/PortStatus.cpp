#include "gui/PortStatus.h"

#include <QComboBox>
#include <QFont>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/HostNotices.h"
#include "link/AdapterLatency.h"
#include "link/DeviceHints.h"
#include "link/PortNames.h"
#include "link/SerialPort.h"

namespace veska::gui {

PortStatus::PortStatus(QtWindow& window, int selectorId, const link::LinkState& link)
    : QObject(&window), window_(window), selectorId_(selectorId), link_(link) {
  if (auto* combo = qobject_cast<QComboBox*>(window.Control(selectorId))) {
    connect(combo, &QComboBox::currentIndexChanged, this, [this](int) { Refresh(); });
  }
  watcher_.addPath(QStringLiteral("/dev"));
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { Refresh(); });
  Refresh();
}

bool PortStatus::IsPresent(int index, const link::LinkState& link) {
  if (index < 0) return false;
  std::error_code ec;
  return std::filesystem::exists(link::DevicePathFor(link::ComName(index + 1), link), ec);
}

QString PortStatus::Describe(int index, const link::LinkState& link) {
  if (index < 0) return QString::fromStdString(std::string(app::kNoPortChosen));
  const std::string name = link::ComName(index + 1);
  return QString::fromStdString(
      app::PortStatusText(name, link::DevicePathFor(name, link), IsPresent(index, link)));
}

void PortStatus::Refresh() {
  auto* combo = qobject_cast<QComboBox*>(window_.Control(selectorId_));
  if (combo == nullptr) return;
  // The items keep their texts ("COMn"); a port whose device is present shows in bold.
  QFont present = combo->font();
  present.setBold(true);
  for (int i = 0; i < combo->count(); ++i) {
    combo->setItemData(i, Describe(i, link_), Qt::ToolTipRole);
    const bool there = IsPresent(i, link_);
    combo->setItemData(i, there ? QVariant(present) : QVariant(), Qt::FontRole);
  }
  QString text = Describe(combo->currentIndex(), link_);
  combo->setToolTip(text);
  // A phone's USB port that ModemManager may probe during the handshake: say so where the user
  // looks before START.
  if (IsPresent(combo->currentIndex(), link_)) {
    const std::string name = link::ComName(combo->currentIndex() + 1);
    const std::string hint = link::ModemManagerHint(
        name, link::ModemManagerRunning(), link::IsUsbCdcAcm(link::DevicePathFor(name, link_)));
    if (!hint.empty()) text += QStringLiteral(". ") + QString::fromStdString(hint);
    // An adapter whose latency timer an open found slow (its driver would not lower it).
    const std::string device = link::DevicePathFor(name, link_);
    if (link_.latency.Told(device)) {
      const std::string slow = link::SlowLatencyHint(name, device, link_.latency);
      if (!slow.empty()) text += QStringLiteral(". ") + QString::fromStdString(slow);
    }
  }
  window_.ShowStatusLine(text);
}

}  // namespace veska::gui
