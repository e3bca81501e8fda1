// The form description of the main window: every control with its form name,
// caption or default text, list items, colours and place.
#include "ChannelFields.h"
#include "Unit1.h"
#include "Unit1Items.h"
#include "Version.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QToolButton>

namespace {

// Rows of the channel columns; the captions sit in GroupBox8 at the same height.
constexpr int RowTop = 20;
constexpr int RowStep = 26;
constexpr int RowHeight = 21;
int RowY(int row) { return RowTop + row * RowStep; }

// Text colours, darker than the pure ones so they read well on white and grey.
const QColor Blue(0, 0, 192);
const QColor Red(192, 0, 0);
const QColor Lime(0, 128, 0);
const QColor Fuchsia(160, 0, 160);

QColor ColorOf(const TChannelField& field) {
  switch (field.Color) {
    case rcPlain: break;
    case rcBlue: return Blue;
    case rcRed: return Red;
    case rcLime: return Lime;
    case rcFuchsia: return Fuchsia;
  }
  return {};
}

// "Ver " and the major and minor numbers of the program's one version.
QString VersionCaption() {
  const QString version = HRVX3300_VERSION;
  return "Ver " + version.section('.', 0, 1);
}

// The items of a list, by its form name.
QStringList Items(const QString& control) {
  QStringList items;
  for (const std::string& item : ListItems(control.toStdString())) items << QString::fromStdString(item);
  return items;
}

QFont VerdanaFont(int pixels, bool bold = false) {
  QFont font("Verdana");
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

void SetTextColor(QWidget* control, const QColor& color) {
  if (!color.isValid()) return;
  QPalette palette = control->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::Text, color);
  palette.setColor(QPalette::ButtonText, color);
  control->setPalette(palette);
}

// Accessible names read single-spaced: "Signal Full Scale  Max" is spoken
// as "Signal Full Scale Max".
void SetAccessible(QWidget* control, const QString& name) { control->setAccessibleName(name.simplified()); }

TGroupBox* NewGroup(QWidget* parent, const char* name, const QString& caption, QRect place) {
  auto* group = new TGroupBox(caption, parent);
  group->setObjectName(name);
  group->setGeometry(place);
  return group;
}

TLabel* NewLabel(QWidget* parent, const QString& caption, QRect place, const QColor& color = {}) {
  auto* label = new TLabel(caption, parent);
  label->setGeometry(place);
  SetTextColor(label, color);
  return label;
}

TEdit* NewEdit(QWidget* parent, const QString& name, const QString& text, QRect place, const QString& accessible,
               const QColor& color = {}) {
  auto* edit = new TEdit(text, parent);
  edit->setObjectName(name);
  edit->setGeometry(place);
  edit->setFont(VerdanaFont(11));
  SetTextColor(edit, color);
  SetAccessible(edit, accessible);
  return edit;
}

// A drop-down list: an editable combo box whose items are fixed; typed text
// is never added to them, and no completion alters what the user types.
TComboBox* NewList(QWidget* parent, const QString& name, const QStringList& items, const QString& text, QRect place,
                   const QString& accessible, const QColor& color = {}) {
  auto* list = new TComboBox(parent);
  list->setObjectName(name);
  list->setGeometry(place);
  list->setFont(VerdanaFont(11));
  list->setEditable(true);
  list->setInsertPolicy(QComboBox::NoInsert);
  list->setCompleter(nullptr);
  list->addItems(items);
  list->setCurrentIndex(-1);
  list->setEditText(text);
  SetTextColor(list, color);
  SetAccessible(list, accessible);
  return list;
}

TCheckBox* NewCheck(QWidget* parent, const QString& name, const QString& caption, QRect place,
                    const QString& accessible, const QColor& color = {}) {
  auto* check = new TCheckBox(caption, parent);
  check->setObjectName(name);
  check->setGeometry(place);
  check->setFont(VerdanaFont(11));
  SetTextColor(check, color);
  SetAccessible(check, accessible);
  return check;
}

TSpeedButton* NewSpeedButton(QWidget* parent, const QString& name, const QString& caption, QRect place,
                             const QString& accessible, const QFont& font, const QColor& color = {}) {
  auto* button = new TSpeedButton(parent);
  button->setObjectName(name);
  button->setText(caption);
  button->setGeometry(place);
  button->setFont(font);
  button->setFocusPolicy(Qt::StrongFocus);
  SetTextColor(button, color);
  SetAccessible(button, accessible);
  return button;
}

// Point names and the serial number fill a 10-byte record field: typing
// stops at 10 characters. A longer text from a file stays as it is.
void LimitTyping(TEdit* edit) {
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression("^.{0,10}$"), edit));
}

// One channel column: the controls of channel n (1 to 4) in row order.
void NewChannelColumn(QWidget* panel, int n, int left) {
  const QString d = QString::number(n);
  auto* group = NewGroup(panel, qPrintable("GroupBox" + d), " CH" + d, QRect(left, 12, 105, 581));
  int row = 0;
  for (const TChannelField& field : ChannelFields()) {
    const QString name = field.Control + d;
    const QString accessible = "CH" + d + " " + field.Caption;
    const QColor color = ColorOf(field);
    QRect place(6, RowY(row), 93, RowHeight);
    switch (field.Kind) {
      case cfText: LimitTyping(NewEdit(group, name, field.Default + d, place, accessible, color)); break;
      case cfList: {
        auto* list = NewList(group, name, Items(name), field.Default, place, accessible, color);
        if (name.startsWith("ComboBox_Unit_Ch")) SetTag(list, n - 1);  // its handler finds the channel by it
        break;
      }
      case cfCheck: NewCheck(group, name, field.Default, place, accessible, color); break;
      case cfFloat:
      case cfCurrentMin:
        // The alarm levels carry a mark in their colour.
        if (field.Color == rcRed || field.Color == rcLime) {
          NewLabel(group, "T1", QRect(4, RowY(row) + 3, 18, RowHeight - 4), color);
          place = QRect(24, RowY(row), 75, RowHeight);
        }
        NewEdit(group, name, field.Default, place, accessible, color);
        break;
    }
    ++row;
  }
  const QString send = "Send Set Ch" + d;
  auto* button = NewSpeedButton(group, "Button_Send" + d, "Send Set Ch&" + d, QRect(6, 520, 93, 48), send, VerdanaFont(11, true));
  SetTag(button, n - 1);
}

}  // namespace

void TForm1::CreateForm() {
  setObjectName("Form1");
  setWindowTitle("HRVX3300 Configuration Program");
  setFont(VerdanaFont(11));

  Panel1 = new TPanel(this);
  Panel1->setObjectName("Panel1");
  Panel1->setGeometry(0, 0, 1001, 601);
  Panel1->setAutoFillBackground(true);
  Panel1->setBackgroundRole(QPalette::Button);

  // Row captions and the version.
  auto* captions = NewGroup(Panel1, "GroupBox8", QString(), QRect(8, 12, 161, 581));
  int row = 0;
  for (const TChannelField& field : ChannelFields())
    NewLabel(captions, field.Caption, QRect(8, RowY(row++) + 2, 150, RowHeight - 2), ColorOf(field));
  auto* version = new TPanel(captions);
  version->setObjectName("Panel2");
  version->setFrameShape(QFrame::Panel);
  version->setFrameShadow(QFrame::Sunken);
  version->setGeometry(8, 520, 145, 48);
  auto* versionText = NewLabel(version, VersionCaption(), QRect(0, 0, 145, 48));
  versionText->setAlignment(Qt::AlignCenter);
  versionText->setFont(VerdanaFont(13, true));

  for (int n = 1; n <= 4; ++n) NewChannelColumn(Panel1, n, 176 + (n - 1) * 112);

  // AUX
  const QFont big = VerdanaFont(15, true);
  auto* aux = NewGroup(Panel1, "GroupBox13", " AUX", QRect(624, 12, 145, 293));
  auto* temperature = NewGroup(aux, "GroupBox9", "Temperature", QRect(8, 18, 129, 74));
  ComboBox_Used_Temp =
      NewList(temperature, "ComboBox_Used_Temp", Items("ComboBox_Used_Temp"), "Used", QRect(8, 20, 113, RowHeight), "AUX Temperature Used/Not Used");
  CheckBox1 = NewCheck(temperature, "CheckBox1", QString::fromUtf8("10mV/℃"), QRect(8, 46, 113, RowHeight),
                       QString::fromUtf8("AUX Temperature 10mV/℃"));
  auto* speed = NewGroup(aux, "GroupBox10", "Speed", QRect(8, 96, 129, 128));
  ComboBox_Used_Rpm = NewList(speed, "ComboBox_Used_Rpm", Items("ComboBox_Used_Rpm"), "Used", QRect(8, 20, 113, RowHeight), "AUX Speed Used/Not Used");
  ComboBox_Cnt_Rpm = NewList(speed, "ComboBox_Cnt_Rpm", Items("ComboBox_Cnt_Rpm"), "1",
                             QRect(8, 46, 113, RowHeight), "AUX Speed Pulses per Turn");
  NewLabel(speed, "H1", QRect(8, 75, 22, RowHeight - 4), Red);
  Edit_Speed_H1 = NewEdit(speed, "Edit_Speed_H1", "10.0", QRect(32, 72, 89, RowHeight), "AUX Speed H1", Red);
  NewLabel(speed, "L1", QRect(8, 101, 22, RowHeight - 4), Lime);
  Edit_Speed_L1 = NewEdit(speed, "Edit_Speed_L1", "5.0", QRect(32, 98, 89, RowHeight), "AUX Speed L1", Lime);
  NewLabel(aux, "Ev.Cnt", QRect(12, 233, 48, RowHeight - 4));
  ComboBox_EvCnt = NewList(aux, "ComboBox_EvCnt", Items("ComboBox_EvCnt"), QString(), QRect(64, 230, 73, RowHeight), "AUX Ev.Cnt");
  Button_Send.at(4) = NewSpeedButton(aux, "Button_Send5", "Send Set A&ux", QRect(8, 258, 129, 28), "Send Set Aux", VerdanaFont(11, true));
  SetTag(Button_Send[4], 5);

  // SYSTEM
  auto* sys = NewGroup(Panel1, "GroupBox14", " SYSTEM", QRect(624, 328, 145, 265));
  auto* modbus = NewGroup(sys, "GroupBox5", "ModBus", QRect(8, 18, 129, 154));
  const auto modbusRow = [](int row) { return QRect(58, 20 + row * 26, 65, RowHeight); };
  const auto modbusLabel = [&](int row, const char* caption) { NewLabel(modbus, caption, QRect(6, 23 + row * 26, 52, RowHeight - 4)); };
  modbusLabel(0, "Slave No.");
  Edit_Node1 = NewEdit(modbus, "Edit_Node1", "1", modbusRow(0), "SYSTEM Slave No.");
  modbusLabel(1, "Baud");
  ComboBox_Com_Baud_S1 = NewList(modbus, "ComboBox_Com_Baud_S1", Items("ComboBox_Com_Baud_S1"), QString(), modbusRow(1), "SYSTEM Baud");
  modbusLabel(2, "Data");
  ComboBox_Com_Data_S1 = NewList(modbus, "ComboBox_Com_Data_S1", Items("ComboBox_Com_Data_S1"), QString(), modbusRow(2), "SYSTEM Data");
  modbusLabel(3, "Stop");
  ComboBox_Com_Stop_S1 = NewList(modbus, "ComboBox_Com_Stop_S1", Items("ComboBox_Com_Stop_S1"), QString(), modbusRow(3), "SYSTEM Stop");
  modbusLabel(4, "Parity");
  ComboBox_Com_Parity_S1 = NewList(modbus, "ComboBox_Com_Parity_S1", Items("ComboBox_Com_Parity_S1"), QString(), modbusRow(4), "SYSTEM Parity");
  Label6 = new TClickLabel("SN:", sys);
  Label6->setObjectName("Label6");
  Label6->setGeometry(10, 185, 28, RowHeight - 4);
  Label6->setAccessibleName("SYSTEM SN: (click to edit the serial number)");
  Edit_Serial_Nu_Ch1 = NewEdit(sys, "Edit_Serial_Nu_Ch1", "20220405", QRect(40, 182, 97, RowHeight), "SYSTEM SN:");
  LimitTyping(Edit_Serial_Nu_Ch1);
  Edit_Serial_Nu_Ch1->setEnabled(false);
  Button_Send.at(5) = NewSpeedButton(sys, "Button_Send6", "Send Set &Data", QRect(8, 220, 129, 34), "Send Set Data", VerdanaFont(11, true));

  // Net Config
  auto* net = NewGroup(Panel1, "GroupBox15", " Net Config", QRect(776, 10, 217, 103));
  NewLabel(net, "IP :", QRect(8, 29, 26, RowHeight - 4));
  TEdit** ip[] = {&Edit_Src_Ip1, &Edit_Src_Ip2, &Edit_Src_Ip3, &Edit_Src_Ip4};
  const char* ipDefaults[] = {"192", "168", "0", "40"};
  for (int i = 0; i < 4; ++i)
    *ip[i] = NewEdit(net, QString("Edit_Src_Ip%1").arg(i + 1), ipDefaults[i], QRect(36 + i * 44, 26, 38, RowHeight),
                     QString("IP %1").arg(i + 1));
  Button_NSetClick = NewSpeedButton(net, "Button_NSetClick", "S&et", QRect(8, 58, 97, 34), "Net Config Set", big);
  Button_NLoadClick = NewSpeedButton(net, "Button_NLoadClick", "L&oad", QRect(112, 58, 97, 34), "Net Config Load", big);

  // MAC Address
  auto* mac = NewGroup(Panel1, "GroupBox16", " MAC Address  (HEX) ", QRect(776, 120, 217, 121));
  TEdit** macs[] = {&Edit_Mac1, &Edit_Mac2, &Edit_Mac3, &Edit_Mac4, &Edit_Mac5, &Edit_Mac6};
  for (int i = 0; i < 6; ++i) {
    const QString a = QString("A%1").arg(i + 1);
    NewLabel(mac, a, QRect(10 + i * 34, 22, 30, 16))->setAlignment(Qt::AlignCenter);
    *macs[i] = NewEdit(mac, QString("Edit_Mac%1").arg(i + 1), i == 5 ? "EE" : "00", QRect(10 + i * 34, 40, 30, RowHeight),
                       "MAC " + a);
  }
  Button_M_SetClick = NewSpeedButton(mac, "Button_M_SetClick", "Se&t", QRect(8, 76, 97, 34), "MAC Set", big);
  Button_M_Load = NewSpeedButton(mac, "Button_M_Load", "Lo&ad", QRect(112, 76, 97, 34), "MAC Load", big);

  // Time
  auto* time = NewGroup(Panel1, "GroupBox7", "Time", QRect(776, 257, 105, 104));
  Button1 = new TButton("Ti&me Syn", time);
  Button1->setObjectName("Button1");
  Button1->setGeometry(8, 28, 89, 56);
  Button1->setFont(big);
  SetTextColor(Button1, Red);
  SetAccessible(Button1, "Time Syn");

  // All
  auto* all = NewGroup(Panel1, "GroupBox11", "All", QRect(888, 257, 105, 104));
  Button_All_Send = NewSpeedButton(all, "Button_All_Send", "&Send", QRect(8, 18, 89, 26), "All Send", big, Red);
  Button_All_Load = NewSpeedButton(all, "Button_All_Load", "&Load", QRect(8, 46, 89, 26), "All Load", big, Red);
  Button_Verify = NewSpeedButton(all, "Button_Verify", "Verif&y", QRect(8, 74, 89, 26),
                                 "Verify: compare the module with the window (Ctrl+Shift+V)", big, Red);
  Button_Verify->setToolTip("Load the module without changing the window and list where they differ (Ctrl+Shift+V)");

  // Com Port: Connect and Dis Con are one exclusive group, Dis Con down at start.
  auto* com = NewGroup(Panel1, "GroupBox6", "Com Port", QRect(776, 376, 217, 113));
  Button_Connect = NewSpeedButton(com, "Button_Connect", "&Connect", QRect(8, 22, 100, 40), "Connect", big);
  Button_DisCon = NewSpeedButton(com, "Button_DisCon", "D&is Con", QRect(8, 66, 100, 40), "Dis Con", big);
  Button_SetCon = NewSpeedButton(com, "Button_SetCon", "Setu&p", QRect(112, 22, 97, 84), "Setup", big);
  for (TSpeedButton* b : {Button_Connect, Button_DisCon}) {
    b->setCheckable(true);
    b->setAutoExclusive(true);
  }
  Button_DisCon->setChecked(true);

  // File
  auto* file = NewGroup(Panel1, "GroupBox12", "File", QRect(776, 512, 217, 81));
  SpeedButton2 = NewSpeedButton(file, "SpeedButton2", "Sa&ve", QRect(8, 24, 64, 44), "Save", big, Blue);
  SpeedButton3 = NewSpeedButton(file, "SpeedButton3", "Ope&n", QRect(77, 24, 64, 44), "Open", big, Blue);
  Button_Report = NewSpeedButton(file, "Button_Report", "&Report", QRect(146, 24, 64, 44),
                                 "Report: the configuration as a PDF, to save or print", big, Blue);

  // Non-visual components
  Timer1 = new TTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(200);
  Timer2 = new TTimer(this);
  Timer2->setObjectName("Timer2");
  Timer2->setInterval(500);
  SaveDialog1.FileName = OpenDialog1.FileName = "*.dat";
  SaveDialog1.Filter = OpenDialog1.Filter = "*.dat|*.dat";

  setFixedSize(1001, 601);
}
