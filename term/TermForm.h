// The serial terminal program's window: one terminal on one port, with a
// toolbar, menus, a row of signal lamps, a find bar, a hex monitor and a
// status bar.
#pragma once

#include "CPortCtl.h"
#include "CPortTerm.h"
#include "CPortTermVT102.h"
#include "HexMonitor.h"
#include "ModemTransfer.h"
#include "Zmodem.h"
#include "SendLine.h"
#include "SessionLog.h"

#include <QAction>
#include <QCheckBox>
#include <QDockWidget>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressDialog>
#include <QTimer>

#include <memory>

class TNetServerProbe;

class TTermForm : public QMainWindow {
public:
  explicit TTermForm(QWidget* parent = nullptr);
  ~TTermForm() override;

  // Where the port's and the terminal's settings are kept between runs.
  static const char* const SettingsPath;
  // Reads the settings of the last run; false when there are none.
  bool LoadSettings();
  void StoreSettings();

  TComPort ComPort;
  TCustomComTerminal* Terminal = nullptr;
  // The terminal in use: the extended VT102 with colours (the default), or
  // the component set's VT100 as it is specified.
  bool Extended() const { return dynamic_cast<TComTerminalVT102*>(Terminal) != nullptr; }
  void UseTerminal(bool extended);
  // The extended terminal's options (kept for the next one as well).
  void SetUtf8(bool value);
  void SetColorScheme(TVtColorScheme value);
  void SetBackspaceKey(TBackspaceKey value);
  void SetAltSendsEscape(bool value);
  // The grid follows the window (the default), or keeps the size set in
  // Terminal setup.
  void SetFitToWindow(bool value);
  void SetScrollbackLines(int lines);
  TComLed* Leds[7] = {};  // Conn, CTS, DSR, CD, Ring, Rx, Tx
  QAction* ConnectAction = nullptr;
  QAction* LogAction = nullptr;
  QAction* ExtendedAction = nullptr;
  QAction* PlainAction = nullptr;
  QAction* Utf8Action = nullptr;
  QAction* ControlHAction = nullptr;
  QAction* AltEscapeAction = nullptr;
  QAction* DarkAction = nullptr;
  QAction* LightAction = nullptr;
  QAction* FitAction = nullptr;
  QAction* DtrAction = nullptr;
  QAction* RtsAction = nullptr;
  QAction* ReconnectAction = nullptr;
  QAction* ZmodemAutoAction = nullptr;
  QAction* MonitorAction = nullptr;
  QAction* SendLineAction = nullptr;
  QAction* PauseMonitorAction = nullptr;
  QAction* LogTimeAction = nullptr;
  QAction* LogRawAction = nullptr;
  QLabel* PortLabel = nullptr;
  QLabel* CountLabel = nullptr;
  QWidget* FindBar = nullptr;
  QLineEdit* FindEdit = nullptr;
  QCheckBox* FindCase = nullptr;
  QLabel* FindState = nullptr;
  QDockWidget* MonitorDock = nullptr;
  THexMonitor* Monitor = nullptr;
  TSendLine* SendBox = nullptr;

  // The commands.
  void ConnectClick();
  void PortSetupClick();
  void TerminalSetupClick();
  void FontClick();
  void ClearClick();
  void SaveScreenClick();
  void LogClick();
  void CopyClick();
  void PasteClick();
  void FindClick();
  void FindNext(bool backward);
  void Zoom(int steps);  // 0: the chosen size again
  void SendBreak();
  void SetDtr(bool on);
  void SetRts(bool on);
  void ShowMonitor(bool on);
  void ShowSendLine(bool on);
  void SaveMonitorClick();
  void SendFileClick();
  void ReceiveFileClick();

  // Starts or stops logging what is received to fileName (appended).
  void StartLog(const QString& fileName);
  void StopLog();
  bool Logging() const { return Log.IsOpen(); }

  // File transfer: the protocol, the files to send or where received ones
  // go (a file for XMODEM, a folder for YMODEM); raw sending may pause after
  // each character and each line.
  void StartSending(TModemProtocol protocol, const std::vector<std::string>& files);
  void StartReceiving(TModemProtocol protocol, const std::string& target);
  void StartRawSending(const std::string& file, int charDelayMs, int lineDelayMs);
  bool Transferring() const { return Transfer != nullptr || RawFile != nullptr; }
  void CancelTransfer();
  // The pauses of raw sending, kept between runs; pastes go with them too.
  int RawCharDelay = 0, RawLineDelay = 0;
  // A paste of more lines than this asks first.
  static constexpr int PasteAskLines = 4;
  // The terminal's paste: asked first when long, paced when raw sends are.
  bool TakePaste(const QString& text);
  // How the last transfer ended.
  QString TransferResult;
  // A far end that starts ZMODEM (sz, rz) starts it here: received files go
  // into the folder used last; the files to send are asked for (by
  // ChooseFilesToSend when set).
  bool ZmodemAuto = true;
  std::function<QStringList()> ChooseFilesToSend;
  QString ReceiveInto;  // where received files went last

  int BreakMs = 250;           // the length of a break
  bool AutoReconnect = true;   // reopen a port whose device came back
  std::uint64_t ReceivedBytes = 0;
  std::uint64_t SentBytes = 0;

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  void CreateForm();
  void CreateActions();
  void CreateFindBar();
  void CreateSendLine();
  void CreateMonitor();
  void ShowPortState();
  void ShowCounts();
  void ShowTitle();
  void ShowLineState();
  void SetModemLine(void (TComPort::*set)(bool), bool& state, bool on);
  void PortAfterOpen();
  void PortAfterClose();
  void TryReconnect();
  void ShowTerminalChoice();
  void BeginTransfer(std::unique_ptr<TModemTransfer> transfer, const QString& title, const QString& label);
  void ShowProgress(const QString& title, const QString& label);
  void TransferEnded(bool ok, const QString& message);
  void RawStep();
  void BeginRawSend(int charDelayMs, int lineDelayMs, bool typed, const QString& title, const QString& label);
  void ShowTransferProgress();
  void ZmodemStarts(TZmodemStart start);
  // A streaming sender is given its turn again from the event loop, so
  // that the far end's answers are read between its pieces.
  void PumpTransfer();
  // The far end's text, in a transfer's end: on the screen, in the log,
  // and watched for the next transfer.
  void ShowFarText(const std::string& text);
  // The far end's bytes outside a transfer: the log, the watch for a
  // transfer it starts, and the screen when draw (else the screen's link
  // draws them).
  void FarBytes(const std::uint8_t* bytes, std::size_t count, bool draw);
  // The ended transfer has no more of its protocol's bytes to sort out.
  void ReleaseEndedTransfer();

  TComLink Counter;  // counts what goes both ways, for the status bar and the monitor
  TComLink Receiver;  // the received bytes for the log and transfers
  TSessionLog Log;
  bool PortLost = false;
  bool Utf8 = true;
  bool Dtr = false, Rts = false;  // as last set
  TVtColorScheme Scheme = csDark;
  TBackspaceKey Backspace = bkDelete;
  bool AltSendsEscape = true;
  bool FitToWindow = true;
  int ScrollbackLines = 10000;
  QFont ChosenFont;  // the size Ctrl+0 goes back to
  QString HostTitle;  // the name the host gave the window
  QTimer CountTimer;
  QTimer ReconnectTimer;
  // Whether a lost port's device server takes connections again, asked
  // without holding up the window.
  std::unique_ptr<TNetServerProbe> ServerProbe;
  QTimer TransferTimer;
  std::unique_ptr<TModemTransfer> Transfer;
  // A transfer that has ended while bytes of its protocol may still come
  // (a sender's "OO", data in flight after a cancel): it sorts them from
  // the far end's text a moment longer.
  std::unique_ptr<TModemTransfer> EndedTransfer;
  bool PumpQueued = false;
  TZmodemWatch ZmodemWatch;
  // The far end's start header came: its bytes from there on are kept for
  // the transfer that begins.
  bool StartPending = false;
  std::string StartBytes;
  // While a transfer begins, what it sends is held (HeldSends).
  bool HoldSends = false;
  std::string HeldSends;
  QProgressDialog* Progress = nullptr;
  std::FILE* RawFile = nullptr;  // a raw send under way
  std::uint64_t RawSize = 0, RawDone = 0;
  int RawPauseChar = 0, RawPauseLine = 0;  // the send under way's
  bool RawThroughTerminal = false;  // a paste: typed, with local echo and line ends
  std::string RawEndMark;           // what a paste ends with, however it ends
};
