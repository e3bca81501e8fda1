#include "CPortTrmSet.h"

#include "SysUtils.h"

#include <QApplication>
#include <QScreen>

TComTrmSetForm::TComTrmSetForm(QWidget* parent) : QDialog(parent) {
  setObjectName("ComTrmSetForm");
  setWindowTitle("Setup");
  // Both dialogs carry the same caption; a screen reader tells them apart.
  setAccessibleName("Terminal setup");
  setFixedSize(295, 287);
  QFont small = font();  // the layout is drawn for an 8 point dialog font
  small.setPointSize(8);
  setFont(small);

  GroupBox1 = new QGroupBox(" ASCII Settings ", this);
  GroupBox1->setGeometry(8, 8, 281, 113);
  const auto check = [this](const char* name, const char* text, int top, int width) {
    auto* box = new QCheckBox(text, GroupBox1);
    box->setObjectName(name);
    // Wider than drawn for the classic font, so that no caption is clipped.
    box->setGeometry(8, top, std::max(width, 265), 17);
    return box;
  };
  CheckBox1 = check("CheckBox1", "Echo typed characters locally", 24, 177);
  CheckBox2 = check("CheckBox2", "Send line feeds with carriage return", 40, 193);
  CheckBox3 = check("CheckBox3", "Wrap lines that exceed terminal width", 56, 217);
  CheckBox4 = check("CheckBox4", "Force incoming data to 7 bit ASCII", 72, 193);
  CheckBox5 = check("CheckBox5", "Append line feeds to incoming carriage return", 88, 241);

  GroupBox2 = new QGroupBox(" Terminal Settings ", this);
  GroupBox2->setGeometry(8, 128, 281, 121);
  const auto label = [this](const char* name, const char* text, int left, int top) {
    auto* l = new QLabel(text, GroupBox2);
    l->setObjectName(name);
    l->move(left, top - 3);
    l->adjustSize();
    return l;
  };
  const auto combo = [this](const char* name, QStringList items, int left, int top, int width) {
    auto* c = new QComboBox(GroupBox2);
    c->setObjectName(name);
    c->addItems(items);
    c->setGeometry(left, top, width, 22);
    return c;
  };
  Label1 = label("Label1", "Caret", 8, 24);
  ComboBox1 = combo("ComboBox1", {"Block", "Underline"}, 72, 16, 97);
  Label2 = label("Label2", "Emulation", 8, 48);
  ComboBox2 = combo("ComboBox2", {"ANSI/VT100", "VT52", "None"}, 72, 40, 97);
  Label3 = label("Label3", "Columns", 8, 72);
  Edit1 = new QLineEdit(GroupBox2);
  Edit1->setObjectName("Edit1");
  Edit1->setGeometry(72, 64, 49, 21);
  Label4 = label("Label4", "Rows", 144, 72);
  Edit2 = new QLineEdit(GroupBox2);
  Edit2->setObjectName("Edit2");
  Edit2->setGeometry(184, 64, 49, 21);
  Label5 = label("Label5", "Cursor keys", 8, 96);
  ComboBox3 = combo("ComboBox3", {"Act as terminal keys", "Act as windows keys"}, 72, 88, 161);
  Label1->setBuddy(ComboBox1);
  Label2->setBuddy(ComboBox2);
  Label3->setBuddy(Edit1);
  Label4->setBuddy(Edit2);
  Label5->setBuddy(ComboBox3);
  for (auto [widget, name] : {std::pair<QWidget*, const char*>{ComboBox1, "Caret"}, {ComboBox2, "Emulation"},
                              {Edit1, "Columns"}, {Edit2, "Rows"}, {ComboBox3, "Cursor keys"}})
    widget->setAccessibleName(name);

  Button1 = new QPushButton("OK", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(134, 256, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton("Cancel", this);
  Button2->setObjectName("Button2");
  Button2->setGeometry(214, 256, 75, 25);
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

  // The layout is drawn for the classic 8 point font; where the system's
  // font needs more room for a caption, the dialog grows by that much.
  int widest = 0;
  for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3, CheckBox4, CheckBox5})
    widest = std::max(widest, box->sizeHint().width());
  if (const int extra = std::max(0, widest - 265)) {
    for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3, CheckBox4, CheckBox5}) box->resize(widest, box->height());
    for (QGroupBox* group : {GroupBox1, GroupBox2}) group->resize(group->width() + extra, group->height());
    for (QPushButton* button : {Button1, Button2}) button->move(button->x() + extra, button->y());
    setFixedSize(width() + extra, height());
  }

  // Tab order: the first group's boxes, the second group's lists and then
  // its edit boxes, OK, Cancel.
  QWidget* order[] = {CheckBox1, CheckBox2, CheckBox3, CheckBox4, CheckBox5, ComboBox1,
                      ComboBox2, ComboBox3, Edit1,     Edit2,     Button1,   Button2};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  FormCreate();
  if (QScreen* screen = QApplication::primaryScreen()) move(screen->geometry().center() - rect().center());
}

void EditComTerminal(TCustomComTerminal& terminal) {
  TComTrmSetForm dialog(QApplication::activeWindow());
  dialog.CheckBox1->setChecked(terminal.LocalEcho);
  dialog.CheckBox2->setChecked(terminal.SendLF);
  dialog.CheckBox3->setChecked(terminal.WrapLines);
  dialog.CheckBox4->setChecked(terminal.Force7Bit);
  dialog.CheckBox5->setChecked(terminal.AppendLF);
  dialog.ComboBox1->setCurrentIndex(terminal.Caret() == tcNone ? -1 : int(terminal.Caret()));
  dialog.ComboBox2->setCurrentIndex(int(terminal.Emulation()));
  dialog.Edit1->setText(QString::number(terminal.Columns()));
  dialog.Edit2->setText(QString::number(terminal.Rows()));
  dialog.ComboBox3->setCurrentIndex(int(terminal.ArrowKeys));
  if (dialog.exec() != QDialog::Accepted) return;
  terminal.LocalEcho = dialog.CheckBox1->isChecked();
  terminal.SendLF = dialog.CheckBox2->isChecked();
  terminal.WrapLines = dialog.CheckBox3->isChecked();
  terminal.Force7Bit = dialog.CheckBox4->isChecked();
  terminal.AppendLF = dialog.CheckBox5->isChecked();
  if (dialog.ComboBox1->currentIndex() >= 0) terminal.SetCaret(TTermCaret(dialog.ComboBox1->currentIndex()));
  if (dialog.ComboBox2->currentIndex() >= 0) terminal.SetEmulation(TTermEmulation(dialog.ComboBox2->currentIndex()));
  int value = 0;
  terminal.SetColumns(TryStrToInt(dialog.Edit1->text().toStdString(), value) ? value : 80);
  terminal.SetRows(TryStrToInt(dialog.Edit2->text().toStdString(), value) ? value : 24);
  if (dialog.ComboBox3->currentIndex() >= 0) terminal.ArrowKeys = TArrowKeys(dialog.ComboBox3->currentIndex());
}
