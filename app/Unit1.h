// The main window: every control of the configuration window, the control
// tables by which code reaches a channel's controls, and the event handlers.
#pragma once

#include "CPort.h"
#include "ChannelFields.h"
#include "Controls.h"
#include "Configuration.h"
#include "DeviceRecords.h"
#include "Dialogs.h"

#include <QWidget>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

class TForm1 : public QWidget {
public:
  explicit TForm1(QWidget* owner = nullptr);
  ~TForm1() override;

  // Controls outside the channel columns, by form name.
  TPanel* Panel1 = nullptr;
  TComboBox* ComboBox_Used_Temp = nullptr;
  TCheckBox* CheckBox1 = nullptr;
  TComboBox* ComboBox_Used_Rpm = nullptr;
  TComboBox* ComboBox_Cnt_Rpm = nullptr;
  TEdit* Edit_Speed_H1 = nullptr;
  TEdit* Edit_Speed_L1 = nullptr;
  TComboBox* ComboBox_EvCnt = nullptr;
  TEdit* Edit_Node1 = nullptr;
  TComboBox* ComboBox_Com_Baud_S1 = nullptr;
  TComboBox* ComboBox_Com_Data_S1 = nullptr;
  TComboBox* ComboBox_Com_Stop_S1 = nullptr;
  TComboBox* ComboBox_Com_Parity_S1 = nullptr;
  TClickLabel* Label6 = nullptr;
  TEdit* Edit_Serial_Nu_Ch1 = nullptr;
  TEdit* Edit_Src_Ip1 = nullptr;
  TEdit* Edit_Src_Ip2 = nullptr;
  TEdit* Edit_Src_Ip3 = nullptr;
  TEdit* Edit_Src_Ip4 = nullptr;
  TSpeedButton* Button_NSetClick = nullptr;
  TSpeedButton* Button_NLoadClick = nullptr;
  TEdit* Edit_Mac1 = nullptr;
  TEdit* Edit_Mac2 = nullptr;
  TEdit* Edit_Mac3 = nullptr;
  TEdit* Edit_Mac4 = nullptr;
  TEdit* Edit_Mac5 = nullptr;
  TEdit* Edit_Mac6 = nullptr;
  TSpeedButton* Button_M_SetClick = nullptr;
  TSpeedButton* Button_M_Load = nullptr;
  TButton* Button1 = nullptr;
  TSpeedButton* Button_All_Send = nullptr;
  TSpeedButton* Button_All_Load = nullptr;
  TSpeedButton* Button_Verify = nullptr;
  TSpeedButton* Button_Connect = nullptr;
  TSpeedButton* Button_DisCon = nullptr;
  TSpeedButton* Button_SetCon = nullptr;
  TSpeedButton* SpeedButton2 = nullptr;
  TSpeedButton* SpeedButton3 = nullptr;
  TSpeedButton* Button_Report = nullptr;
  TTimer* Timer1 = nullptr;
  TTimer* Timer2 = nullptr;
  TFileDialog SaveDialog1;
  TFileDialog OpenDialog1;
  std::unique_ptr<TComPort> ComPort1;

  // Every byte the module sent since the last command.
  std::string RecvBuffer;
  // The answers of the load under way (the bytes it uses), until they
  // confirm one.
  std::vector<std::string> LoadAnswers;
  // The port reported that its device went away; its close says so.
  bool PortLost = false;
  // Set while the program latches Connect or Dis Con to the port's state.
  bool ShowingLinkState = false;
  // The user changed a value since the last load, open, save or send:
  // closing then asks whether to save.
  bool Modified = false;

  // The user's port settings (as chosen in Setup) and the folder of the
  // last .dat file, kept between runs under this registry path; empty (as
  // in the tests) keeps nothing.
  std::string SettingsPath;
  void LoadSettings();
  // Shows a .dat file as Open does (the file given on the command line, as
  // when one is opened from the file manager); throws what Open shows.
  void OpenFile(const QString& fileName);
  void StoreSettings();

  // The control tables: entries 0 to 3 are channels 1 to 4; the send-button
  // table also holds Button_Send5 (AUX) and Button_Send6 (SYSTEM). They are
  // for the handlers that treat one control apart; a channel is gathered and
  // shown field by field through ChannelFields(), so a new field needs no
  // table here.
  template <class T>
  using TControlTable = std::array<T*, 40>;
  TControlTable<TEdit> Edit_Name_Ch{};
  TControlTable<TComboBox> ComboBox_Used_Ch{};
  TControlTable<TCheckBox> CheckBox_Inp_Type{};
  TControlTable<TCheckBox> CheckBox_SS_Ch{};
  TControlTable<TComboBox> ComboBox_Unit_Ch{};
  TControlTable<TComboBox> ComboBox_VChk_Ch{};
  TControlTable<TEdit> Edit_Damger_Ch{};
  TControlTable<TEdit> Edit_Alert_Ch{};
  TControlTable<TComboBox> ComboBox_Relay_Ch{};
  TControlTable<TComboBox> ComboBox_Atype_Ch{};
  TControlTable<TEdit> Edit_Dtyme_Ch{};
  TControlTable<TComboBox> ComboBox_Ttype_Ch{};
  TControlTable<TEdit> Edit_Ttyme_Ch{};
  TControlTable<TEdit> Edit_Max_Ch{};
  TControlTable<TEdit> Edit_Min_Ch{};
  TControlTable<TEdit> Edit_Scale_Ch{};
  TControlTable<TEdit> Edit_Offset_Ch{};
  TControlTable<TEdit> Edit_Curr_Max_Ch{};
  TControlTable<TEdit> Edit_Curr_Min_Ch{};
  TControlTable<TSpeedButton> Button_Send{};

  // The records of the configuration protocol, as last built or loaded.
  TLoadImage LoadImage{};
  TChannelRecord ChannelRecord{};
  TSystemRecord SystemRecord{};
  TAuxRecord AuxRecord{};
  TNetRecord NetRecord{};
  TMacRecord MacRecord{};
  TClockRecord ClockRecord{};

  // Link state: the pending transaction and the All Send sequence.
  // TransCode says what Timer1Timer does with the module's answer.
  enum TTransCode : int {
    tcChannel = 0,  // the module took the command: send the channel record,
    tcSystem = 1,   // ... the system record,
    tcAux = 2,      // ... the auxiliary record,
    tcClock = 4,    // ... the clock record after it
    tcLoad = 3,     // the whole configuration came (Load): show it
    tcVerify = 30,  // it came to be compared with what was sent
    tcNetSent = 20, tcMacSent = 22,  // the IP or MAC address was sent
    tcNetLoad = 21, tcMacLoad = 23,  // the IP or MAC address came: show it
  };
  TTransCode TransCode = tcChannel;
  std::uint8_t SendChannel = 0;
  int AllSendIndex = 0;
  int NotReady = 0;
  std::uint8_t AllSendActive = 0;

  // Event handlers.
  void Button_Send1Click(QObject* Sender);
  void Button_Send5Click(QObject* Sender);
  void Button_Send6Click(QObject* Sender);
  void Button1Click(QObject* Sender);
  void Label6Click(QObject* Sender);
  void ComboBox_Unit_Ch1Change(QObject* Sender);
  void Button_All_LoadClick(QObject* Sender);
  void Button_All_SendClick(QObject* Sender);
  // Loads the module without touching the boxes and says, field by field,
  // where it differs from what the window would send.
  void Button_VerifyClick(QObject* Sender);
  void Button_NSetClickClick(QObject* Sender);
  void Button_NLoadClickClick(QObject* Sender);
  void Button_M_SetClickClick(QObject* Sender);
  void Button_M_LoadClick(QObject* Sender);
  void Button_ConnectClick(QObject* Sender);
  void Button_DisConClick(QObject* Sender);
  void Button_SetConClick(QObject* Sender);
  void SpeedButton_SaveClick(QObject* Sender);
  void SpeedButton1_LoadClick(QObject* Sender);
  void Button_ReportClick(QObject* Sender);
  void Timer1Timer(QObject* Sender);
  void Timer2Timer(QObject* Sender);
  void ComPort1RxChar(TCustomComPort* Sender, int Count);
  void ComPort1Error(TCustomComPort* Sender, TComErrors Errors);
  void ComPort1AfterClose(TCustomComPort* Sender);
  void ShowLinkState();

  // Shows the load image in every control.
  void load_disp();

  // The configuration the controls show, as a .dat file holds it.
  TConfiguration ShownConfiguration() const;
  // The same as the send buttons send it: a float box the user has not
  // edited since the module was loaded sends the loaded value exactly.
  TConfiguration SentConfiguration() const;

  // The float boxes as the last load filled them: the text shown ("9.5")
  // and the value exactly ("9.54"). Editing a box or opening a file lets go.
  struct TLoadedFloat {
    QString Shown;
    std::string Exact;
  };
  std::map<const TEdit*, TLoadedFloat> LoadedFloats;

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  // Builds the controls from the form description and binds their events.
  void CreateForm();
  void BindEvents();
  // Writes a command and arms the judging tick; false when the port is closed.
  bool StartTransaction(const std::string& command, TTransCode code);
  // A load's answer (the bytes it uses) is shown only once others confirm
  // it: true with the confirmed bytes; else the load was asked again, or,
  // after MostAnswers answers, refused with a message.
  bool ConfirmedAnswer(const std::string& answer, std::string& confirmed);
  bool Loading() const;                  // the pending transaction reads the module
  const char* LoadAnswerName() const;    // "load image", "MAC address answer"...
  void ShowChannel(int c, const TChannelControls& values);
  TChannelControls ChannelControls(int c) const;
  // The control of a field in channel c (0 to 3), found once at creation.
  QWidget* ChannelControl(const TChannelField& field, int c) const {
    return ChannelColumns[std::size_t(c)][std::size_t(&field - ChannelFields().data())];
  }
  std::array<std::array<QWidget*, ChannelFieldCount>, 4> ChannelColumns{};
  void ShowNetAddress();
  void ShowMacAddress();
  void SendRecord(const std::uint8_t* bytes, std::size_t size);
  // A float box's text as it is sent: the loaded value while unedited.
  std::string SentNumber(const TEdit* edit) const;
  // What Verify found in the module's load image.
  void ShowVerification(const TLoadImage& module);
};
