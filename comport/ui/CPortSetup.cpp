#include "CPortSetup.h"

#include "PortNames.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>

#include "Forms.h"

TComSetupFrm::TComSetupFrm(QWidget* parent) : QDialog(parent) {
  setObjectName("ComSetupFrm");
  setWindowTitle("Setup");
  // Both dialogs carry the same caption; a screen reader tells them apart.
  setAccessibleName("Port setup");
  setFixedSize(231, 216);
  QFont small = font();  // the layout is drawn for an 8 point dialog font
  small.setPointSize(8);
  setFont(small);
  auto* group = new QGroupBox(" Settings ", this);
  group->setObjectName("GroupBox1");
  group->setGeometry(8, 8, 217, 169);
  const char* labels[] = {"Port", "Baud rate", "Data bits", "Stop bits", "Parity", "Flow control"};
  const TComProperty properties[] = {cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl};
  TComComboBox** combos[] = {&Combo1, &Combo2, &Combo3, &Combo4, &Combo5, &Combo6};
  for (int i = 0; i < 6; ++i) {
    auto* label = new QLabel(labels[i], group);
    label->setObjectName(QString("Label%1").arg(i + 1));
    label->setGeometry(8, 24 + 24 * i - 2, 70, 18);
    auto* combo = new TComComboBox(group);
    combo->setObjectName(QString("Combo%1").arg(i + 1));
    combo->setGeometry(80, 16 + 24 * i, 129, 22);
    combo->setAccessibleName(labels[i]);
    label->setBuddy(combo);
    combo->SetComProperty(properties[i]);
    *combos[i] = combo;
  }
  Button1 = new QPushButton("OK", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(70, 184, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton("Cancel", this);
  Button2->setObjectName("Button2");
  Button2->setGeometry(150, 184, 75, 25);
  // The port's name can be typed: a pseudo-terminal, a link, a port the
  // list does not know.
  Combo1->setEditable(true);
  Combo1->setInsertPolicy(QComboBox::NoInsert);
  Combo1->setToolTip("A port of the list, the path of any other serial device, or a device server's address: " +
                     QString::fromStdString(NetworkPortForms()));
  // Why the list is short, when the system's list could not be read.
  PortListNote = new QLabel(this);
  PortListNote->setObjectName("PortListNote");
  PortListNote->setWordWrap(true);
  PortListNote->setGeometry(8, 216, 217, 44);
  PortListNote->hide();
  ShowPortListNote();
  // Adapters plugged in or pulled while the dialog is open.
  PortWatch.setInterval(1000);
  connect(&PortWatch, &QTimer::timeout, this, Guarded([this] {
            Combo1->RefreshPorts();
            ShowPortListNote();
          }));
  PortWatch.start();
  connect(Combo1, &QComboBox::currentTextChanged, this, Guarded([this] { ShowPortListNote(); }));
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  if (QScreen* screen = QApplication::primaryScreen()) move(screen->geometry().center() - rect().center());
}

// Why the list is short, or that a raw network port's settings are the
// server's.
void TComSetupFrm::ShowPortListNote() {
  const std::string& error = Combo1->Select().PortListError;
  QString note;
  if (!error.empty())
    note = "The list of ports could not be read (" + QString::fromStdString(error) + "); type the port's name.";
  else if (const TPortScheme* scheme = PortSchemeOf(Combo1->currentText().toStdString()); scheme && scheme->Protocol == npRaw)
    note = "A raw network port: its line settings are set at the server; changing them here sends nothing.";
  if (note == PortListNote->text() && note.isEmpty() == PortListNote->isHidden()) return;
  PortListNote->setText(note);
  PortListNote->setVisible(!note.isEmpty());
  setFixedSize(231, note.isEmpty() ? 216 : 266);
}

TComComboBox* TComSetupFrm::Combo(int index) const {
  TComComboBox* const combos[] = {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6};
  return combos[index];
}

bool EditComPort(TCustomComPort& port) {
  TComSetupFrm dialog(QApplication::activeWindow());
  // A port outside the machine's list (a pseudo-terminal, a socat link) is
  // offered too, so that OK keeps it instead of leaving the port nameless.
  for (int i = 0; i < 6; ++i) dialog.Combo(i)->SetComPort(&port);
  for (int i = 0; i < 6; ++i) dialog.Combo(i)->UpdateSettings();
  // A port outside the machine's list (a pseudo-terminal, a socat link) is
  // offered too, so that OK keeps it instead of leaving the port nameless.
  if (dialog.Combo1->currentIndex() < 0 && !port.Port().empty()) {
    dialog.Combo1->addItem(QString::fromStdString(port.Port()));
    dialog.Combo1->UpdateSettings();
  }
  if (dialog.exec() != QDialog::Accepted) return false;
  port.BeginUpdate();
  try {
    for (int i = 0; i < 6; ++i) dialog.Combo(i)->ApplySettings();
  } catch (...) {
    port.EndUpdate();
    throw;
  }
  port.EndUpdate();
  return true;
}

void RegisterComSetupDialog() {
  TCustomComPort::SetupDialog = [](TCustomComPort& port) { EditComPort(port); };
}
