#include "app/qt/PortsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace kelvane {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

const char* StateText(PortState s) {
  switch (s) {
    case PortState::Open: return "open";
    case PortState::Lost: return "line lost";
    case PortState::Closed: break;
  }
  return "closed";
}

void SetRow(QTableWidget* table, int row, const QStringList& cells, const QString& tip = {}) {
  for (int col = 0; col < cells.size(); ++col) {
    auto* item = new QTableWidgetItem(cells[col]);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    if (!tip.isEmpty()) item->setToolTip(tip);
    table->setItem(row, col, item);
  }
}

QTableWidget* MakeTable(QWidget* parent, const QStringList& headers, const char* name) {
  auto* t = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  t->setObjectName(name);
  t->setHorizontalHeaderLabels(headers);
  t->setSelectionBehavior(QAbstractItemView::SelectRows);
  t->setSelectionMode(QAbstractItemView::SingleSelection);
  t->verticalHeader()->hide();
  t->setWordWrap(false);
  t->setTextElideMode(Qt::ElideMiddle);
  t->horizontalHeader()->setStretchLastSection(true);
  return t;
}

}  // namespace

PortsDialog::PortsDialog(SettingsStore& settings, const DeviceList& devices, StateOf state,
                         QWidget* parent)
    : QDialog(parent), settings_(settings), system_(devices), state_(std::move(state)) {
  setWindowTitle("Ports");
  setObjectName("Ports");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Serial devices of this machine:", this));
  devicesTable_ = MakeTable(this,
                            {"Device", "Description", "Manufacturer", "VID:PID", "Serial number",
                             "Access", "Latency timer", "Stable path"},
                            "Devices");
  layout->addWidget(devicesTable_);

  auto* assignRow = new QHBoxLayout;
  portChoice_ = new QComboBox(this);
  portChoice_->setObjectName("PortChoice");
  for (int n = 1; n <= kPortCount; ++n) portChoice_->addItem(QStringLiteral("Com %1").arg(n), n);
  auto* assign = new QPushButton("&Assign to", this);
  assign->setObjectName("Assign");
  auto* clear = new QPushButton("&Clear", this);
  clear->setObjectName("Clear");
  clear->setToolTip("Com n takes the n-th device found again");
  assignRow->addWidget(new QLabel("Selected device:", this));
  assignRow->addWidget(assign);
  assignRow->addWidget(portChoice_);
  assignRow->addStretch();
  assignRow->addWidget(clear);
  layout->addLayout(assignRow);

  layout->addWidget(new QLabel("Ports:", this));
  portsTable_ = MakeTable(this, {"Port", "Device", "State"}, "PortsTable");
  layout->addWidget(portsTable_);
  advice_ = new QLabel(this);
  advice_->setWordWrap(true);
  advice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(advice_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  layout->addWidget(buttons);
  resize(860, 520);

  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(assign, &QPushButton::clicked, this,
          [this] { Assign(portChoice_->currentData().toInt(), devicesTable_->currentRow()); });
  connect(clear, &QPushButton::clicked, this,
          [this] { Assign(portChoice_->currentData().toInt(), -1); });
  connect(portsTable_, &QTableWidget::currentCellChanged, this, [this](int row) {
    if (row >= 0) portChoice_->setCurrentIndex(row);
  });
  connect(&relist_, &QTimer::timeout, this, [this] {
    // Plugged in or out: list again, keeping the selection on the same device.
    const auto now = system_.Devices();
    const auto key = [](const std::vector<SerialDevice>& list) {
      std::string k;
      for (const auto& d : list)
        k += d.path + (d.accessible ? "+" : "-") + std::to_string(d.latencyTimerMs) + ";";
      return k;
    };
    if (key(now) != key(devices_))
      Refresh();
    else
      Fill();  // the ports' states may have changed
  });
  relist_.start(kRelist);
  Refresh();
}

void PortsDialog::Refresh() {
  const int row = devicesTable_->currentRow();
  const std::string selected = row >= 0 && static_cast<std::size_t>(row) < devices_.size()
                                   ? devices_[static_cast<std::size_t>(row)].path
                                   : "";
  devices_ = system_.Devices();
  devicesTable_->setRowCount(static_cast<int>(devices_.size()));
  std::string advice;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const SerialDevice& d = devices_[i];
    const QString latency =
        d.latencyTimerMs < 0 ? "" : QStringLiteral("%1 ms").arg(d.latencyTimerMs);
    const QString access = d.accessible ? "yes"
                           : d.group == "root"
                               ? "no: root only"
                               : Q("no: join " + (d.group.empty() ? "its group" : d.group));
    SetRow(devicesTable_, static_cast<int>(i),
           {Q(d.path), Q(d.description), Q(d.manufacturer), Q(d.UsbId()), Q(d.serialNumber), access,
            latency, Q(d.byId)});
    if (d.path == selected) devicesTable_->selectRow(static_cast<int>(i));
    if (!d.accessible && advice.find("To open") == std::string::npos)
      advice += "To open " + d.Name() + ": " + AccessFix(d.group) + ".\n";
    if (const std::string a = LatencyAdvice(d); !a.empty()) advice += a + "\n";
  }
  devicesTable_->resizeColumnsToContents();
  if (devices_.empty())
    advice = "No serial device is present. Plug in the adapter: it appears here.\n";
  advice_->setText(Q(advice).trimmed());
  Fill();
}

void PortsDialog::Fill() {
  portsTable_->setRowCount(kPortCount);
  for (int n = 1; n <= kPortCount; ++n) {
    const PortMapping m = MapPort(settings_, n, devices_, system_);
    const PortState state = state_ ? state_(n) : PortState::Closed;
    QString device = Q(m.device.empty() ? "(none)" : m.device);
    if (!m.assigned && !m.device.empty())
      device += QStringLiteral("  (device %1 in the order found)").arg(n);
    const bool present =
        m.info.has_value() || (!m.device.empty() && system_.Probe(m.device).exists);
    const QString stateText = m.device.empty()                         ? ""
                              : state == PortState::Closed && !present ? "not present"
                                                                       : StateText(state);
    SetRow(portsTable_, n - 1, {QStringLiteral("Com %1").arg(n), device, stateText},
           Q(PortToolTip(m, state, system_)));
  }
  portsTable_->resizeColumnToContents(0);
  portsTable_->resizeColumnToContents(1);
}

void PortsDialog::Assign(int port, int row) {
  if (port < 1 || port > kPortCount) return;
  std::string path;
  if (row >= 0) {
    if (static_cast<std::size_t>(row) >= devices_.size()) return;
    path = devices_[static_cast<std::size_t>(row)].path;
  }
  AssignPort(settings_, port, path, devices_, system_);
  Fill();
}

void InstallPortsMenu(QWidget* portFrame, const std::vector<QWidget*>& portButtons,
                      SettingsStore& settings, const DeviceList& devices,
                      PortsDialog::StateOf state) {
  portFrame->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(
      portFrame, &QWidget::customContextMenuRequested, portFrame,
      [=, &settings, &devices](QPoint at) {
        QMenu menu(portFrame);
        menu.setObjectName("PortsMenu");
        QAction* dialog = menu.addAction("&Ports...");
        dialog->setObjectName("OpenPortsDialog");
        // Over a port button: its device can be chosen here too.
        int port = 0;
        for (std::size_t i = 0; i < portButtons.size(); ++i)
          if (portButtons[i]->geometry().contains(at)) port = static_cast<int>(i) + 1;
        if (port != 0) {
          QMenu* choose = menu.addMenu(QStringLiteral("Com %1 &device").arg(port));
          const auto list = devices.Devices();
          const PortMapping current = MapPort(settings, port, list, devices);
          QAction* byOrder =
              choose->addAction(QStringLiteral("Device %1 in the order found").arg(port));
          byOrder->setCheckable(true);
          byOrder->setChecked(!current.assigned);
          QObject::connect(
              byOrder, &QAction::triggered, portFrame,
              [&settings, &devices, port, list] { AssignPort(settings, port, "", list, devices); });
          choose->addSeparator();
          for (const auto& d : list) {
            const std::string facts = DeviceFacts(d);
            QAction* a =
                choose->addAction(Q(d.StablePath() + (facts.empty() ? "" : "  (" + facts + ")")));
            a->setCheckable(true);
            a->setChecked(current.assigned && current.info && current.info->path == d.path);
            QObject::connect(a, &QAction::triggered, portFrame,
                             [&settings, &devices, port, list, path = d.path] {
                               AssignPort(settings, port, path, list, devices);
                             });
          }
        }
        QObject::connect(dialog, &QAction::triggered, portFrame, [&] {
          PortsDialog d(settings, devices, state, portFrame->window());
          d.exec();
        });
        menu.exec(portFrame->mapToGlobal(at));
      });
}

}  // namespace kelvane
