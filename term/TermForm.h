// The serial terminal program's window: one terminal on one port, with a
// toolbar, a row of signal lamps and a status bar.
#pragma once

#include "CPortCtl.h"
#include "CPortDataPacket.h"
#include "CPortTerm.h"
#include "CPortTermVT102.h"

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>
#include <memory>

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
  TComLed* Leds[7] = {};  // Conn, CTS, DSR, CD, Ring, Rx, Tx
  QAction* ConnectAction = nullptr;
  QAction* LogAction = nullptr;
  QAction* ExtendedAction = nullptr;
  QAction* PlainAction = nullptr;
  QAction* Utf8Action = nullptr;
  QAction* ControlHAction = nullptr;
  QAction* DarkAction = nullptr;
  QAction* LightAction = nullptr;
  QLabel* PortLabel = nullptr;
  QLabel* CountLabel = nullptr;

  // The toolbar's commands.
  void ConnectClick();
  void PortSetupClick();
  void TerminalSetupClick();
  void FontClick();
  void ClearClick();
  void SaveScreenClick();
  void LogClick();
  void CopyClick();
  void PasteClick();

  // Starts or stops logging every received line to fileName (appended).
  void StartLog(const QString& fileName);
  void StopLog();
  bool Logging() const { return LogFile != nullptr; }

  std::uint64_t ReceivedBytes = 0;
  std::uint64_t SentBytes = 0;

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  void CreateForm();
  void ShowPortState();
  void ShowCounts();
  void LogLine(const std::string& text, bool discarded);
  void PortAfterClose();
  void CreateMenus();
  void ShowTerminalChoice();
  void ShowTitle();

  TComLink Counter;  // counts what goes both ways
  TComDataPacket LogLines;
  std::FILE* LogFile = nullptr;
  QString LogName;
  bool PortLost = false;
  bool Utf8 = false;
  TVtColorScheme Scheme = csDark;
  TBackspaceKey Backspace = bkDelete;
  QString HostTitle;  // the name the host gave the window
  QTimer CountTimer;
};
