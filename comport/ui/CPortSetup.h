// The port setup dialog: name, speed, character format and flow control.
#pragma once

#include "CPort.h"
#include "CPortCtl.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

class TComSetupFrm : public QDialog {
public:
  explicit TComSetupFrm(QWidget* parent = nullptr);
  TComComboBox* Combo1;  // port
  TComComboBox* Combo2;  // baud rate
  TComComboBox* Combo3;  // data bits
  TComComboBox* Combo4;  // stop bits
  TComComboBox* Combo5;  // parity
  TComComboBox* Combo6;  // flow control
  QPushButton* Button1;  // OK
  QPushButton* Button2;  // Cancel
  QLabel* PortListNote;  // why the port list is short, when it is
  TComComboBox* Combo(int index) const;

private:
  void ShowPortListNote();
  QTimer PortWatch;
};

// Shows the dialog for port and applies the choice on OK, inside one
// BeginUpdate/EndUpdate. True when the user chose OK.
bool EditComPort(TCustomComPort& port);

// Makes TCustomComPort::ShowSetupDialog show this dialog.
void RegisterComSetupDialog();
