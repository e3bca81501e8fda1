// The terminal setup dialog: echo and line ends, caret, emulation, grid size
// and arrow keys.
#pragma once

#include "CPortTerm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

class TComTrmSetForm : public QDialog {
public:
  explicit TComTrmSetForm(QWidget* parent = nullptr);
  void FormCreate() {}

  QGroupBox* GroupBox1;
  QCheckBox* CheckBox1;  // LocalEcho
  QCheckBox* CheckBox2;  // SendLF
  QCheckBox* CheckBox3;  // WrapLines
  QCheckBox* CheckBox4;  // Force7Bit
  QCheckBox* CheckBox5;  // AppendLF
  QGroupBox* GroupBox2;
  QLabel* Label1;
  QComboBox* ComboBox1;  // Caret
  QLabel* Label2;
  QComboBox* ComboBox2;  // Emulation
  QLabel* Label3;
  QLineEdit* Edit1;      // Columns
  QLabel* Label4;
  QLineEdit* Edit2;      // Rows
  QLabel* Label5;
  QComboBox* ComboBox3;  // ArrowKeys
  QPushButton* Button1;  // OK
  QPushButton* Button2;  // Cancel
};

// Shows the dialog for terminal and applies the choices on OK.
void EditComTerminal(TCustomComTerminal& terminal);
