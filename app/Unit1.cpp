#include "Unit1.h"

#include "CPortSetup.h"
#include "CPortTexts.h"
#include "ConfigFile.h"
#include "ConfigRules.h"
#include "ConfirmedAnswer.h"
#include "Forms.h"
#include "Protocol.h"
#include "Registry.h"
#include "Report.h"
#include "SysUtils.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileInfo>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <ctime>

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

// Numbers travel as the digits alone; a conversion message quotes anything
// else as typed, so those texts go as UTF-8, the encoding of messages.
std::string NumberText(const QString& text) { return text.toUtf8().toStdString(); }
QString FromNumberText(const std::string& text) { return QString::fromStdString(text); }

// An index outside the list leaves it with no selection.
void SetIndex(TComboBox* list, int index) { list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1); }

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
  RegisterComSetupDialog();
  ComPort1 = std::make_unique<TComPort>();
  ComPort1->SetName("ComPort1");
  ComPort1->SetPort("COM1");
  ComPort1->SetBaudRate(br115200);
  ComPort1->SetDataBits(dbEight);
  ComPort1->SetStopBits(sbOneStopBit);
  ComPort1->Parity().SetBits(prNone);
  ComPort1->SetEvents(AllComEvents);
  ComPort1->OnRxChar = [this](TCustomComPort* Sender, int Count) { ComPort1RxChar(Sender, Count); };
  ComPort1->OnError = [this](TCustomComPort* Sender, TComErrors Errors) { ComPort1Error(Sender, Errors); };
  ComPort1->OnAfterClose = [this](TCustomComPort* Sender) { ComPort1AfterClose(Sender); };

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
    for (const TChannelField& field : ChannelFields())
      ChannelColumns[std::size_t(n)][std::size_t(&field - ChannelFields().data())] = Lookup<QWidget>(this, field.Control, d);
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

// The port goes first, while the controls its handler fills still exist.
TForm1::~TForm1() { ComPort1.reset(); }

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
  onClick(Button_Verify, &TForm1::Button_VerifyClick);
  auto* verifyKey = new QShortcut(QKeySequence("Ctrl+Shift+V"), this);
  connect(verifyKey, &QShortcut::activated, this, Guarded([this] { Button_VerifyClick(Button_Verify); }));
  onClick(Button_NSetClick, &TForm1::Button_NSetClickClick);
  onClick(Button_NLoadClick, &TForm1::Button_NLoadClickClick);
  onClick(Button_M_SetClick, &TForm1::Button_M_SetClickClick);
  onClick(Button_M_Load, &TForm1::Button_M_LoadClick);
  // Connect and Dis Con latch: whatever presses one down (mouse, Space, an
  // assistive tool's toggle) runs its handler; the program setting the
  // real state does not.
  const auto onLatch = [this](QAbstractButton* button, void (TForm1::*handler)(QObject*)) {
    connect(button, &QAbstractButton::toggled, this, Guarded([this, button, handler](bool down) {
              if (down && !ShowingLinkState) (this->*handler)(button);
            }));
  };
  onLatch(Button_Connect, &TForm1::Button_ConnectClick);
  onLatch(Button_DisCon, &TForm1::Button_DisConClick);
  onClick(Button_SetCon, &TForm1::Button_SetConClick);
  onClick(SpeedButton2, &TForm1::SpeedButton_SaveClick);
  onClick(SpeedButton3, &TForm1::SpeedButton1_LoadClick);
  connect(Label6, &TClickLabel::clicked, this, Guarded([this] { Label6Click(Label6); }));
  onClick(Button_Report, &TForm1::Button_ReportClick);

  // What the user changes (not what the program shows) marks the window
  // as changed.
  const auto changed = [this](auto&&...) { Modified = true; };
  for (TEdit* edit : findChildren<TEdit*>()) {
    connect(edit, &QLineEdit::textEdited, this, changed);
    connect(edit, &QLineEdit::textEdited, this, [this, edit] { LoadedFloats.erase(edit); });
  }
  for (TCheckBox* check : findChildren<TCheckBox*>())
    if (check != CheckBox1) connect(check, &QAbstractButton::clicked, this, changed);
  for (TComboBox* list : findChildren<TComboBox*>()) {
    connect(list, &QComboBox::activated, this, changed);
    if (list->lineEdit()) connect(list->lineEdit(), &QLineEdit::textEdited, this, changed);
  }

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
  TComboBox* list = ComboBox_Unit_Ch[c];
  const QString unit = list->currentText();
  // Typed text that names a unit selects it, so Send Set sends what is shown.
  const int named = list->findText(unit, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (named >= 0 && named != list->currentIndex()) {
    const QSignalBlocker quiet(list);
    const int cursor = list->lineEdit()->cursorPosition();
    list->setCurrentIndex(named);
    list->lineEdit()->setCursorPosition(cursor);
  }
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

// The folder of the last file saved or opened, where both dialogs start.
namespace {
void RememberFolder(TFileDialog& save, TFileDialog& open, const QString& fileName) {
  save.Directory = open.Directory = QFileInfo(fileName).absolutePath();
}
}  // namespace

std::string TForm1::SentNumber(const TEdit* edit) const {
  const auto loaded = LoadedFloats.find(edit);
  if (loaded != LoadedFloats.end() && loaded->second.Shown == edit->text()) return loaded->second.Exact;
  return NumberText(edit->text());
}

TConfiguration TForm1::SentConfiguration() const {
  TConfiguration config = ShownConfiguration();
  for (const auto& [edit, loaded] : LoadedFloats)
    if (loaded.Shown == edit->text()) config.Values[edit->objectName().toStdString()].Text = loaded.Exact;
  return config;
}

TConfiguration TForm1::ShownConfiguration() const {
  TConfiguration config;
  for (const TConfigLine& line : ConfigLayout()) {
    TConfigValue& value = config.Values[line.Control];
    QObject* control = FindComponent(const_cast<TForm1*>(this), QString::fromStdString(line.Control));
    if (auto* edit = qobject_cast<TEdit*>(control))
      value.Text = ToBytes(edit->text());
    else if (auto* list = qobject_cast<TComboBox*>(control))
      value.Number = list->currentIndex();
    else if (auto* check = qobject_cast<TCheckBox*>(control))
      value.Number = check->isChecked() ? 1 : 0;
  }
  return config;
}

void TForm1::SpeedButton_SaveClick(QObject*) {
  if (!SaveDialog1.Execute()) return;
  // A name without an extension gets ".dat", or Open's filter would hide it.
  if (QFileInfo(SaveDialog1.FileName).suffix().isEmpty()) SaveDialog1.FileName += ".dat";
  const TConfiguration config = ShownConfiguration();
  SaveConfigFile(SaveDialog1.FileName.toStdString(),
                 [&](const TConfigLine& line) { return config.Values.at(line.Control); });
  RememberFolder(SaveDialog1, OpenDialog1, SaveDialog1.FileName);
  Modified = false;
  StoreSettings();
}

void TForm1::SpeedButton1_LoadClick(QObject*) {
  if (!OpenDialog1.Execute()) return;
  OpenFile(OpenDialog1.FileName);
}

void TForm1::OpenFile(const QString& fileName) {
  OpenDialog1.FileName = fileName;
  LoadConfigFile(OpenDialog1.FileName.toStdString(), [this](const TConfigLine& line, const TConfigValue& value) {
    QObject* control = FindComponent(this, QString::fromStdString(line.Control));
    if (auto* edit = qobject_cast<TEdit*>(control)) {
      edit->setText(FromBytes(value.Text));
    } else if (auto* list = qobject_cast<TComboBox*>(control)) {
      SetIndex(list, value.Number);
    } else if (auto* check = qobject_cast<TCheckBox*>(control)) {
      check->setChecked(value.Number != 0);
    }
  });
  LoadedFloats.clear();  // the boxes hold the file's values now
  RememberFolder(SaveDialog1, OpenDialog1, OpenDialog1.FileName);
  Modified = false;
  StoreSettings();
}

void TForm1::Button_ReportClick(QObject*) {
  TFileDialog dialog(TFileDialog::dkSave, this);
  dialog.Filter = "PDF files (*.pdf)|*.pdf";
  dialog.Directory = SaveDialog1.Directory;
  const QString serial = Edit_Serial_Nu_Ch1->text().trimmed();
  dialog.FileName = "HRVX3300-" + (serial.isEmpty() ? QString("report") : serial) + ".pdf";
  if (!dialog.Execute()) return;
  if (QFileInfo(dialog.FileName).suffix().isEmpty()) dialog.FileName += ".pdf";
  const TReportSource source{ComPort1->Connected() ? ComPort1->Port() : std::string(), QDateTime::currentDateTime(), {}};
  // Every value as its control shows it.
  const TShownValue shown = [this](const TConfigLine& line) -> QString {
    QObject* control = FindComponent(this, QString::fromStdString(line.Control));
    if (auto* edit = qobject_cast<TEdit*>(control)) return edit->text();
    if (auto* list = qobject_cast<TComboBox*>(control)) return list->currentText().isEmpty() ? "(none)" : list->currentText();
    if (auto* check = qobject_cast<TCheckBox*>(control)) return check->isChecked() ? "checked" : "not checked";
    return {};
  };
  WriteReportPdf(shown, source, dialog.FileName.toStdString());
  if (AskYesNo(this, "The report was saved to " + dialog.FileName + ". Print it too?")) PrintReport(shown, source, this);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (Modified) {
    switch (AskToSave(this, "The configuration was changed since it was last saved, opened, loaded or sent. Save it?")) {
      case saCancel: return event->ignore();
      case saSave:
        SpeedButton_SaveClick(SpeedButton2);
        if (Modified) return event->ignore();  // the save was cancelled
        break;
      case saDiscard: break;
    }
  }
  event->accept();
}

// The settings path's key below its root ("HKEY_CURRENT_USER\\Software\\X"
// gives "Software\\X"), as the port's store reads it.
namespace {
std::string KeyBelowRoot(const std::string& path) { return path.substr(path.find('\\') + 1); }
}  // namespace

void TForm1::LoadSettings() {
  if (SettingsPath.empty()) return;
  {
    TRegistry probe;
    if (probe.OpenKey(KeyBelowRoot(SettingsPath) + "\\" + ComPort1->Name(), false))
      ComPort1->LoadSettings(stRegistry, SettingsPath);
  }
  TRegistry reg;
  if (reg.OpenKey(KeyBelowRoot(SettingsPath) + "\\ConfigurationWindow", false) && reg.ValueExists("Folder"))
    SaveDialog1.Directory = OpenDialog1.Directory = QString::fromStdString(reg.ReadString("Folder"));
}

void TForm1::StoreSettings() {
  if (SettingsPath.empty()) return;
  ComPort1->StoreSettings(stRegistry, SettingsPath);
  TRegistry reg;
  if (reg.OpenKey(KeyBelowRoot(SettingsPath) + "\\ConfigurationWindow", true))
    reg.WriteString("Folder", SaveDialog1.Directory.toStdString());
}

// ------------------------------------------------------------ the link

// The pressed button shows the port's real state, also when opening fails.
void TForm1::ShowLinkState() {
  const bool open = ComPort1->Connected();
  const bool before = std::exchange(ShowingLinkState, true);
  (open ? Button_Connect : Button_DisCon)->setChecked(true);
  ShowingLinkState = before;
}

void TForm1::Button_ConnectClick(QObject*) {
  ShowLinkState();
  if (ComPort1->Connected()) return;
  ComPort1->SetCustomBaudRate(115200);
  try {
    ComPort1->Open();
  } catch (const EComPort& e) {
    throw Exception(ComErrorText(e));  // with the reason and the usual cure
  }
  ShowLinkState();
  if (ComPort1->Connected()) Button_All_LoadClick(Button_All_Load);
}

void TForm1::Button_DisConClick(QObject*) {
  if (ComPort1->Connected()) ComPort1->Close();
  ShowLinkState();
}

void TForm1::ComPort1Error(TCustomComPort*, TComErrors Errors) {
  if (Errors.Contains(ceIO)) PortLost = true;
}

// However the port closed (Dis Con, or a device that went away), the
// window shows it closed and no answer is awaited any more. A lost device
// also ends an All Send sequence: one message says what happened.
void TForm1::ComPort1AfterClose(TCustomComPort*) {
  if (!ComPort1) return;  // the window is closing the port on its way out
  Timer1->stop();
  ShowLinkState();
  QPalette palette = Button_Connect->palette();
  palette.setColor(QPalette::ButtonText, QApplication::palette(Button_Connect).color(QPalette::ButtonText));
  Button_Connect->setPalette(palette);
  if (!std::exchange(PortLost, false)) return;
  Timer2->stop();
  AllSendActive = 0;
  ShowMessage(" Com Port Lost: " + QString::fromStdString(ComPort1->Port()) + " ");
}

void TForm1::ComPort1RxChar(TCustomComPort*, int Count) {
  std::string received;
  ComPort1->ReadStr(received, Count);
  RecvBuffer += received;
}

bool TForm1::StartTransaction(const std::string& command, TTransCode code) {
  if (!ComPort1->Connected()) return false;
  ComPort1->Write(command.data(), int(command.size()));
  if (!Timer1->isActive()) Timer1->start();  // a running judge keeps its interval
  RecvBuffer.clear();
  TransCode = code;
  return true;
}

void TForm1::SendRecord(const std::uint8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) ComPort1->TransmitChar(char(bytes[i]));
}

void TForm1::Timer1Timer(QObject*) {
  Timer1->stop();
  const std::size_t length = RecvBuffer.size();
  if (length == 0) {
    NotReady = 1;
    // A load asked again for a garbled answer: the line is what failed.
    if (Loading() && !LoadAnswers.empty()) {
      ShowMessage(" Load Error: " + QString::fromStdString(UnconfirmedText(int(LoadAnswers.size()), LoadAnswerName(), true)) + " ");
      LoadAnswers.clear();
      return;
    }
    ShowMessage(" Not Ready ");
    return;
  }
  // The record that follows an acknowledged send command, byte by byte.
  const auto sendAndReport = [this](const std::uint8_t* bytes, std::size_t size) {
    SendRecord(bytes, size);
    Modified = false;
    if (AllSendActive == 0) ShowMessage(" Send OK ");
  };
  switch (TransCode) {
    case tcChannel:
      SendRecord(&SendChannel, 1);
      sendAndReport(ChannelRecord.data(), ChannelRecord.size());
      break;
    case tcSystem: sendAndReport(SystemRecord.data(), SystemRecord.size()); break;
    case tcAux: sendAndReport(AuxRecord.data(), AuxRecord.size()); break;
    case tcClock: sendAndReport(ClockRecord.data(), ClockRecord.size()); break;
    case tcLoad:
    case tcVerify: {
      // The image needs all its bytes: a short reply is refused, not read past.
      if (length < LoadImage.size()) {
        LoadAnswers.clear();
        ShowMessage(QString(" Load Error: the module answered %1 of %2 bytes ").arg(length).arg(LoadImage.size()));
        break;
      }
      std::string used;
      if (!ConfirmedAnswer(RecvBuffer.substr(0, LoadImageUsedSize), used)) break;
      TLoadImage module;
      std::copy(used.begin(), used.end(), module.begin());
      std::copy(RecvBuffer.begin() + LoadImageUsedSize, RecvBuffer.begin() + long(module.size()), module.begin() + LoadImageUsedSize);
      if (TransCode == tcVerify) {
        ShowVerification(module);
        break;
      }
      LoadImage = module;
      load_disp();
      Modified = false;
      ShowMessage(" Load OK ");
      break;
    }
    case tcNetLoad:
    case tcMacLoad: {
      const std::uint8_t kind = TransCode == tcNetLoad ? FrameNetAddress : FrameMacAddress;
      if (length < AddressAnswerSize(kind)) {
        LoadAnswers.clear();
        break;
      }
      std::string record;
      if (!ConfirmedAnswer(RecvBuffer.substr(AddressAnswerHeader, AddressAnswerRecord(kind)), record)) break;
      std::copy(record.begin(), record.end(), kind == FrameNetAddress ? NetRecord.begin() : MacRecord.begin());
      kind == FrameNetAddress ? ShowNetAddress() : ShowMacAddress();
      Modified = false;
      ShowMessage(" Load OK ");
      break;
    }
    case tcNetSent:
    case tcMacSent:
      Modified = false;
      ShowMessage(" Send OK ");
      break;
    default:
      break;
  }
}

bool TForm1::Loading() const { return TransCode == tcLoad || TransCode == tcVerify || TransCode == tcNetLoad || TransCode == tcMacLoad; }

const char* TForm1::LoadAnswerName() const {
  return TransCode == tcNetLoad ? "network address answer" : TransCode == tcMacLoad ? "MAC address answer" : "load image";
}

bool TForm1::ConfirmedAnswer(const std::string& answer, std::string& confirmed) {
  LoadAnswers.push_back(answer);
  if (ConfirmAnswers(LoadAnswers, confirmed)) {
    LoadAnswers.clear();
    return true;
  }
  if (int(LoadAnswers.size()) >= MostAnswers) {
    ShowMessage(" Load Error: " + QString::fromStdString(UnconfirmedText(int(LoadAnswers.size()), LoadAnswerName())) + " ");
    LoadAnswers.clear();
    return false;
  }
  // Asked again, and judged as this answer was.
  const std::string command = TransCode == tcNetLoad   ? AddressRequest(FrameNetAddress)
                              : TransCode == tcMacLoad ? AddressRequest(FrameMacAddress)
                                                       : CommandBytes(mcLoad);
  StartTransaction(command, TransCode);
  return false;
}

void TForm1::Button_All_SendClick(QObject*) {
  if (!ComPort1->Connected()) {
    ShowMessage(" Com Port Not Connect ");
    return;
  }
  AllSendIndex = 0;
  NotReady = 0;
  if (!Timer2->isActive()) Timer2->start();
  AllSendActive = 1;
}

void TForm1::Button_VerifyClick(QObject*) {
  if (AllSendActive) {
    ShowMessage("Verify waits until All Send has finished.");
    return;
  }
  LoadAnswers.clear();
  if (!StartTransaction(CommandBytes(mcLoad), tcVerify)) ShowMessage(" Com Port Not Connect ");
}

void TForm1::ShowVerification(const TLoadImage& image) {
  // The window's values as the send buttons send them; the addresses are
  // not part of the load image.
  TConfiguration sent = SentConfiguration();
  const auto& layout = ConfigLayout();
  for (std::size_t i = ConfigOptionalFrom; i < layout.size(); ++i) sent.Values.erase(layout[i].Control);
  QStringList lines;
  const auto latin1 = [](const std::string& text) { return QString::fromLatin1(text.data(), qsizetype(text.size())); };
  TModuleImage module;
  module.Image = image;
  // A value the module cannot hold would be changed on the way: it never
  // agrees, whatever the module holds. The rest is compared field by field.
  const TConfiguration held = TConfiguration::FromModule(module);
  for (const TInvalidValue& v : InvalidValues(sent)) {
    lines << QString::fromStdString(v.Caption) + ": window " + latin1(v.Value) + ", which the module cannot hold (" +
                 QString::fromStdString(v.Reason) + ")";
    const std::string& control = layout[std::size_t(v.Line - 1)].Control;
    sent.Values[control] = held.Values.at(control);
  }
  for (const TDifference& d : Compare(sent, module, csSent))
    lines << QString::fromStdString(d.Caption) + ": window " + latin1(d.File) + ", module " + latin1(d.Module);
  if (lines.isEmpty()) {
    ShowMessage(" Verify OK: the module holds what the window shows ");
    return;
  }
  constexpr int MostShown = 24;
  const qsizetype count = lines.size();
  if (count > MostShown) {
    lines = lines.mid(0, MostShown - 1);
    lines << QString("... and %1 more").arg(count - (MostShown - 1));
  }
  ShowMessage(QString(" Verify: the module differs from the window in %1 %2 \n\n").arg(count).arg(count == 1 ? "field" : "fields") +
              lines.join('\n'));
}

void TForm1::Timer2Timer(QObject*) {
  // The step runs as a click on its button would run it. A step that fails
  // (a text that does not convert) ends the sequence: repeating it every
  // 500 ms would only pile up the same message.
  TSpeedButton* button = Button_Send[AllSendIndex];
  try {
    if (AllSendIndex < 4)
      Button_Send1Click(button);
    else if (AllSendIndex == 4)
      Button_Send5Click(button);
    else
      Button_Send6Click(button);
  } catch (...) {
    Timer2->stop();
    AllSendActive = 0;
    throw;
  }
  if (AllSendIndex >= 5 || NotReady == 1) {
    Timer2->stop();
    AllSendActive = 0;
  }
  ++AllSendIndex;
}

// ------------------------------------------------------------ records

TChannelControls TForm1::ChannelControls(int c) const {
  TChannelControls v;
  for (const TChannelField& f : ChannelFields()) {
    QWidget* control = ChannelControl(f, c);
    switch (f.Kind) {
      case cfText: TextOf(v, f) = ToBytes(static_cast<TEdit*>(control)->text()); break;
      case cfList: IndexOf(v, f) = static_cast<TComboBox*>(control)->currentIndex(); break;
      case cfCheck: FlagOf(v, f) = static_cast<TCheckBox*>(control)->isChecked(); break;
      case cfFloat:
      case cfCurrentMin: TextOf(v, f) = SentNumber(static_cast<TEdit*>(control)); break;
    }
  }
  return v;
}

void TForm1::ShowChannel(int c, const TChannelControls& v) {
  for (const TChannelField& f : ChannelFields()) {
    QWidget* control = ChannelControl(f, c);
    switch (f.Kind) {
      case cfList: SetIndex(static_cast<TComboBox*>(control), IndexOf(v, f)); break;
      case cfCheck: static_cast<TCheckBox*>(control)->setChecked(FlagOf(v, f)); break;
      case cfText:
      case cfFloat:
      case cfCurrentMin: static_cast<TEdit*>(control)->setText(FromBytes(TextOf(v, f))); break;
    }
  }
}

void TForm1::load_disp() {
  // The boxes show "0.0"; what was loaded is kept exactly, to be sent back
  // as it was while its box is not edited.
  LoadedFloats.clear();
  const auto remember = [this](TEdit* edit, const std::string& exact) { LoadedFloats[edit] = {edit->text(), exact}; };
  for (int c = 0; c < 4; ++c) {
    const std::uint8_t* record = LoadImage.data() + LoadChannelOffsetOf(c);
    ShowChannel(c, DecodeChannelRecord(record));
    const TChannelControls exact = DecodeChannelRecord(record, true);
    for (const TChannelField& f : ChannelFields())
      if (f.Kind == cfFloat || f.Kind == cfCurrentMin) remember(static_cast<TEdit*>(ChannelControl(f, c)), TextOf(exact, f));
  }
  const TAuxControls aux = DecodeAuxRecord(LoadImage.data() + LoadAuxOffset);
  SetIndex(ComboBox_Used_Temp, aux.UsedTemp);
  SetIndex(ComboBox_Used_Rpm, aux.UsedRpm);
  SetIndex(ComboBox_Cnt_Rpm, aux.CntRpm);
  Edit_Speed_H1->setText(FromBytes(aux.SpeedH1));
  Edit_Speed_L1->setText(FromBytes(aux.SpeedL1));
  const TAuxControls auxExact = DecodeAuxRecord(LoadImage.data() + LoadAuxOffset, true);
  remember(Edit_Speed_H1, auxExact.SpeedH1);
  remember(Edit_Speed_L1, auxExact.SpeedL1);
  SetIndex(ComboBox_EvCnt, aux.EvCnt);
  const TSystemControls sys = DecodeSystemRecord(LoadImage.data() + LoadSystemOffset);
  Edit_Node1->setText(FromBytes(sys.Node));
  SetIndex(ComboBox_Com_Baud_S1, sys.Baud);
  SetIndex(ComboBox_Com_Data_S1, sys.Data);
  SetIndex(ComboBox_Com_Stop_S1, sys.Stop);
  SetIndex(ComboBox_Com_Parity_S1, sys.Parity);
  Edit_Serial_Nu_Ch1->setText(FromBytes(sys.Serial));
  QPalette palette = Button_Connect->palette();
  palette.setColor(QPalette::ButtonText, QColor(0, 255, 0));
  Button_Connect->setPalette(palette);
}

void TForm1::Button_Send1Click(QObject* Sender) {
  const int c = Tag(Sender) & 0xFF;
  TChannelControls values = ChannelControls(c);
  const std::string currMin = values.CurrMin;
  EncodeChannelRecord(values, ChannelRecord);
  if (values.CurrMin != currMin) Edit_Curr_Min_Ch[c]->setText(FromNumberText(values.CurrMin));  // the range rule corrected it
  if (!ComPort1->Connected()) {
    ShowMessage(" Com Port Not Connect ");
    return;
  }
  SendChannel = std::uint8_t(c + 1);
  StartTransaction(CommandBytes(mcChannel), tcChannel);
}

void TForm1::Button_Send5Click(QObject*) {
  TAuxControls v;
  v.UsedTemp = ComboBox_Used_Temp->currentIndex();
  v.TempMillivolt = CheckBox1->isChecked();
  v.UsedRpm = ComboBox_Used_Rpm->currentIndex();
  v.CntRpm = ComboBox_Cnt_Rpm->currentIndex();
  v.SpeedH1 = SentNumber(Edit_Speed_H1);
  v.SpeedL1 = SentNumber(Edit_Speed_L1);
  v.EvCnt = ComboBox_EvCnt->currentIndex();
  EncodeAuxRecord(v, AuxRecord);
  if (!StartTransaction(CommandBytes(mcAux), tcAux)) ShowMessage(" Com Port Not Connect ");
}

void TForm1::Button_Send6Click(QObject*) {
  TSystemControls v;
  v.SerialEnabled = Edit_Serial_Nu_Ch1->isEnabled();
  v.Serial = ToBytes(Edit_Serial_Nu_Ch1->text());
  v.Node = NumberText(Edit_Node1->text());
  v.Baud = ComboBox_Com_Baud_S1->currentIndex();
  v.Data = ComboBox_Com_Data_S1->currentIndex();
  v.Stop = ComboBox_Com_Stop_S1->currentIndex();
  v.Parity = ComboBox_Com_Parity_S1->currentIndex();
  EncodeSystemRecord(v, SystemRecord);
  if (!StartTransaction(CommandBytes(mcSystem), tcSystem)) ShowMessage(" Com Port Not Connect ");
}

void TForm1::Button1Click(QObject*) {
  EncodeClockRecord(LocalTime(std::time(nullptr)), ClockRecord);
  if (!StartTransaction(CommandBytes(mcClock), tcClock)) ShowMessage(" Com Port Not Connect ");
}

void TForm1::Button_All_LoadClick(QObject*) {
  LoadAnswers.clear();
  if (!StartTransaction(CommandBytes(mcLoad), tcLoad)) ShowMessage(" Com Port Not Connect ");
}

void TForm1::Button_NSetClickClick(QObject*) {
  const std::string ip[4] = {NumberText(Edit_Src_Ip1->text()), NumberText(Edit_Src_Ip2->text()),
                             NumberText(Edit_Src_Ip3->text()), NumberText(Edit_Src_Ip4->text())};
  EncodeNetRecord(ip, NetRecord);
  StartTransaction(AddressFrame(FrameNetAddress, NetRecord.data(), int(NetRecord.size())), tcNetSent);
}

void TForm1::Button_NLoadClickClick(QObject*) {
  LoadAnswers.clear();
  StartTransaction(AddressRequest(FrameNetAddress), tcNetLoad);
}

void TForm1::Button_M_SetClickClick(QObject*) {
  const std::string mac[6] = {NumberText(Edit_Mac1->text()), NumberText(Edit_Mac2->text()), NumberText(Edit_Mac3->text()),
                              NumberText(Edit_Mac4->text()), NumberText(Edit_Mac5->text()), NumberText(Edit_Mac6->text())};
  EncodeMacRecord(mac, MacRecord);
  StartTransaction(AddressFrame(FrameMacAddress, MacRecord.data(), int(MacRecord.size())), tcMacSent);
}

void TForm1::Button_M_LoadClick(QObject*) {
  LoadAnswers.clear();
  StartTransaction(AddressRequest(FrameMacAddress), tcMacLoad);
}

void TForm1::ShowNetAddress() {
  const auto texts = DecodeNetAddress(NetRecord);
  TEdit* boxes[] = {Edit_Src_Ip1, Edit_Src_Ip2, Edit_Src_Ip3, Edit_Src_Ip4};
  for (int k = 0; k < 4; ++k) boxes[k]->setText(QString::fromStdString(texts[k]));
}

void TForm1::ShowMacAddress() {
  const auto texts = DecodeMacAddress(MacRecord);
  TEdit* boxes[] = {Edit_Mac1, Edit_Mac2, Edit_Mac3, Edit_Mac4, Edit_Mac5, Edit_Mac6};
  for (int k = 0; k < 6; ++k) boxes[k]->setText(QString::fromStdString(texts[k]));
}

void TForm1::Button_SetConClick(QObject*) {
  try {
    ComPort1->ShowSetupDialog();  // reopens an open port with the new settings
  } catch (const EComPort& e) {
    ShowLinkState();
    throw Exception(ComErrorText(e));
  }
  ShowLinkState();
  StoreSettings();  // the next start begins on this port
}
