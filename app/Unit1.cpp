#include "Unit1.h"

#include "ConfigFile.h"
#include "Forms.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

namespace {

// Looks up the control called prefix + number; the form description makes
// every name the tables ask for.
template <class T>
T* Lookup(const QObject* owner, const char* prefix, int number) {
  T* control = FindComponent<T>(owner, prefix + QString::number(number));
  Q_ASSERT(control);
  return control;
}

// Files and records carry 8-bit characters, one byte a character.
std::string ToBytes(const QString& text) { return text.toLatin1().toStdString(); }
QString FromBytes(const std::string& bytes) { return QString::fromLatin1(bytes.data(), qsizetype(bytes.size())); }

void SetLocked(TEdit* edit, bool locked, const QString& text = QString()) {
  if (locked) edit->setText(text);
  edit->setEnabled(!locked);
  QPalette palette = edit->palette();
  const QPalette standard = QApplication::palette(edit);
  const QColor background = standard.color(locked ? QPalette::Button : QPalette::Base);
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) palette.setColor(group, QPalette::Base, background);
  edit->setPalette(palette);
}

}  // namespace

TForm1::TForm1(QWidget* owner)
    : QWidget(owner), SaveDialog1(TFileDialog::dkSave, this), OpenDialog1(TFileDialog::dkOpen, this) {
  CreateForm();

  RecvBuffer.clear();
  for (int n = 0; n < 4; ++n) {
    const int d = n + 1;
    Edit_Name_Ch[n] = Lookup<TEdit>(this, "Edit_Name_Ch", d);
    ComboBox_Used_Ch[n] = Lookup<TComboBox>(this, "ComboBox_Used_Ch", d);
    CheckBox_Inp_Type[n] = Lookup<TCheckBox>(this, "CheckBox_Inp_Type", d);
    CheckBox_SS_Ch[n] = Lookup<TCheckBox>(this, "CheckBox_SS_Ch", d);
    ComboBox_Unit_Ch[n] = Lookup<TComboBox>(this, "ComboBox_Unit_Ch", d);
    ComboBox_VChk_Ch[n] = Lookup<TComboBox>(this, "ComboBox_VChk_Ch", d);
    Edit_Damger_Ch[n] = Lookup<TEdit>(this, "Edit_Damger_Ch", d);
    Edit_Alert_Ch[n] = Lookup<TEdit>(this, "Edit_Alert_Ch", d);
    ComboBox_Relay_Ch[n] = Lookup<TComboBox>(this, "ComboBox_Relay_Ch", d);
    ComboBox_Atype_Ch[n] = Lookup<TComboBox>(this, "ComboBox_Atype_Ch", d);
    Edit_Dtyme_Ch[n] = Lookup<TEdit>(this, "Edit_Dtyme_Ch", d);
    ComboBox_Ttype_Ch[n] = Lookup<TComboBox>(this, "ComboBox_Ttype_Ch", d);
    Edit_Ttyme_Ch[n] = Lookup<TEdit>(this, "Edit_Ttyme_Ch", d);
    Edit_Max_Ch[n] = Lookup<TEdit>(this, "Edit_Max_Ch", d);
    Edit_Min_Ch[n] = Lookup<TEdit>(this, "Edit_Min_Ch", d);
    Edit_Scale_Ch[n] = Lookup<TEdit>(this, "Edit_Scale_Ch", d);
    Edit_Offset_Ch[n] = Lookup<TEdit>(this, "Edit_Offset_Ch", d);
    Edit_Curr_Max_Ch[n] = Lookup<TEdit>(this, "Edit_Curr_Max_Ch", d);
    Edit_Curr_Min_Ch[n] = Lookup<TEdit>(this, "Edit_Curr_Min_Ch", d);
    ComboBox_Used_Ch[n]->setCurrentIndex(0);
    ComboBox_VChk_Ch[n]->setCurrentIndex(0);
    ComboBox_Relay_Ch[n]->setCurrentIndex(0);
    ComboBox_Atype_Ch[n]->setCurrentIndex(0);
    ComboBox_Ttype_Ch[n]->setCurrentIndex(0);
  }
  for (TComboBox* list : {ComboBox_Used_Temp, ComboBox_Used_Rpm, ComboBox_EvCnt, ComboBox_Com_Baud_S1,
                          ComboBox_Com_Data_S1, ComboBox_Com_Stop_S1, ComboBox_Com_Parity_S1})
    list->setCurrentIndex(0);
  for (int k = 0; k < 6; ++k) Button_Send[k] = Lookup<TSpeedButton>(this, "Button_Send", k + 1);

  BindEvents();
}

TForm1::~TForm1() = default;

void TForm1::BindEvents() {
  // Every handler runs guarded: an exception stops it and is shown, and the
  // event loop carries on.
  const auto onClick = [this](QAbstractButton* button, void (TForm1::*handler)(QObject*)) {
    connect(button, &QAbstractButton::clicked, this, Guarded([this, button, handler](bool) { (this->*handler)(button); }));
  };
  for (int n = 0; n < 4; ++n) onClick(Button_Send[n], &TForm1::Button_Send1Click);
  onClick(Button_Send[4], &TForm1::Button_Send5Click);
  onClick(Button_Send[5], &TForm1::Button_Send6Click);
  onClick(Button1, &TForm1::Button1Click);
  onClick(Button_All_Load, &TForm1::Button_All_LoadClick);
  onClick(Button_All_Send, &TForm1::Button_All_SendClick);
  onClick(Button_NSetClick, &TForm1::Button_NSetClickClick);
  onClick(Button_NLoadClick, &TForm1::Button_NLoadClickClick);
  onClick(Button_M_SetClick, &TForm1::Button_M_SetClickClick);
  onClick(Button_M_Load, &TForm1::Button_M_LoadClick);
  onClick(Button_Connect, &TForm1::Button_ConnectClick);
  onClick(Button_DisCon, &TForm1::Button_DisConClick);
  onClick(Button_SetCon, &TForm1::Button_SetConClick);
  onClick(SpeedButton2, &TForm1::SpeedButton_SaveClick);
  onClick(SpeedButton3, &TForm1::SpeedButton1_LoadClick);
  connect(Label6, &TClickLabel::clicked, this, Guarded([this] { Label6Click(Label6); }));

  // The unit rule follows the user only: a pick from the list or typing in
  // its edit field. Indices set by the program raise neither signal.
  for (int n = 0; n < 4; ++n) {
    TComboBox* list = ComboBox_Unit_Ch[n];
    const auto change = Guarded([this, list](auto&&...) { ComboBox_Unit_Ch1Change(list); });
    connect(list, &QComboBox::activated, this, change);
    connect(list->lineEdit(), &QLineEdit::textEdited, this, change);
  }

  connect(Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(Timer1); }));
  connect(Timer2, &QTimer::timeout, this, Guarded([this] { Timer2Timer(Timer2); }));
}

void TForm1::ComboBox_Unit_Ch1Change(QObject* Sender) {
  const int c = Tag(Sender) & 0xFF;
  if (c > 3) return;
  const QString unit = ComboBox_Unit_Ch[c]->currentText();
  if (unit == "C(PT100)") {
    SetLocked(Edit_Max_Ch[c], true, "127");
    SetLocked(Edit_Min_Ch[c], true, "-41");
    SetLocked(Edit_Scale_Ch[c], true, "120");
    SetLocked(Edit_Offset_Ch[c], true, "-20");
    SetLocked(Edit_Curr_Max_Ch[c], true, "20.8");
    SetLocked(Edit_Curr_Min_Ch[c], true, "1.5");
  } else if (unit == "C(10mV)") {
    SetLocked(Edit_Max_Ch[c], true, "500");
    SetLocked(Edit_Min_Ch[c], true, "0");
    SetLocked(Edit_Scale_Ch[c], true, "100");
    SetLocked(Edit_Offset_Ch[c], true, "0");
  } else {
    for (TEdit* edit : {Edit_Max_Ch[c], Edit_Min_Ch[c], Edit_Scale_Ch[c], Edit_Offset_Ch[c], Edit_Curr_Max_Ch[c],
                        Edit_Curr_Min_Ch[c]})
      SetLocked(edit, false);
  }
}

void TForm1::Label6Click(QObject*) { Edit_Serial_Nu_Ch1->setEnabled(true); }

void TForm1::SpeedButton_SaveClick(QObject*) {
  if (!SaveDialog1.Execute()) return;
  SaveConfigFile(SaveDialog1.FileName.toStdString(), [this](const TConfigLine& line) {
    TConfigValue value;
    QObject* control = FindComponent(this, QString::fromStdString(line.Control));
    if (auto* edit = qobject_cast<TEdit*>(control))
      value.Text = ToBytes(edit->text());
    else if (auto* list = qobject_cast<TComboBox*>(control))
      value.Number = list->currentIndex();
    else if (auto* check = qobject_cast<TCheckBox*>(control))
      value.Number = check->isChecked() ? 1 : 0;
    return value;
  });
}

void TForm1::SpeedButton1_LoadClick(QObject*) {
  if (!OpenDialog1.Execute()) return;
  LoadConfigFile(OpenDialog1.FileName.toStdString(), [this](const TConfigLine& line, const TConfigValue& value) {
    QObject* control = FindComponent(this, QString::fromStdString(line.Control));
    if (auto* edit = qobject_cast<TEdit*>(control)) {
      edit->setText(FromBytes(value.Text));
    } else if (auto* list = qobject_cast<TComboBox*>(control)) {
      // An index outside the list leaves it with no selection.
      list->setCurrentIndex(value.Number >= 0 && value.Number < list->count() ? value.Number : -1);
    } else if (auto* check = qobject_cast<TCheckBox*>(control)) {
      check->setChecked(value.Number != 0);
    }
  });
}

// The commands below need the serial link; until the port component is in
// place the port is never open, so each reports exactly that.
void TForm1::ReportNotConnected() { ShowMessage(" Com Port Not Connect "); }

void TForm1::Button_Send1Click(QObject*) { ReportNotConnected(); }
void TForm1::Button_Send5Click(QObject*) { ReportNotConnected(); }
void TForm1::Button_Send6Click(QObject*) { ReportNotConnected(); }
void TForm1::Button1Click(QObject*) { ReportNotConnected(); }
void TForm1::Button_All_LoadClick(QObject*) { ReportNotConnected(); }
void TForm1::Button_All_SendClick(QObject*) { ReportNotConnected(); }
void TForm1::Button_NSetClickClick(QObject*) { ReportNotConnected(); }
void TForm1::Button_NLoadClickClick(QObject*) { ReportNotConnected(); }
void TForm1::Button_M_SetClickClick(QObject*) { ReportNotConnected(); }
void TForm1::Button_M_LoadClick(QObject*) { ReportNotConnected(); }

void TForm1::Button_ConnectClick(QObject*) {
  Button_DisCon->setChecked(true);
  ReportNotConnected();
}

void TForm1::Button_DisConClick(QObject*) {}
void TForm1::Button_SetConClick(QObject*) { ReportNotConnected(); }
void TForm1::Timer1Timer(QObject*) { Timer1->stop(); }
void TForm1::Timer2Timer(QObject*) { Timer2->stop(); }
