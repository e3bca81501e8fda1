#include "TermForm.h"

#include "CPortTexts.h"
#include "Dialogs.h"
#include "Forms.h"
#include "Registry.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QMenuBar>
#include <QDateTime>
#include <QHBoxLayout>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>
#include <fstream>

const char* const TTermForm::SettingsPath = "HKEY_CURRENT_USER\\Software\\HRVX3300";

namespace {

// The terminal's own settings, beside the port's.
const char* const TerminalKey = "Software\\HRVX3300\\TerminalWindow";

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

TTermForm::TTermForm(QWidget* parent) : QMainWindow(parent) {
  ComPort.SetName("Terminal");
  ComPort.SetBaudRate(br115200);
  ComPort.SetStoreGroups({spBasic, spOthers, spParity, spFlowControl});
  ComPort.OnAfterOpen = [this](TCustomComPort*) { ShowPortState(); };
  ComPort.OnAfterClose = [this](TCustomComPort*) { PortAfterClose(); };
  ComPort.OnError = [this](TCustomComPort*, TComErrors errors) {
    if (errors.Contains(ceIO)) PortLost = true;
  };
  Counter.OnRxBuf = [this](TCustomComPort*, const std::uint8_t*, int count) { ReceivedBytes += std::uint64_t(count); };
  Counter.OnTxData = [this](TCustomComPort*, const std::uint8_t*, int count) { SentBytes += std::uint64_t(count); };
  ComPort.RegisterLink(&Counter);
  LogLines.SetStopString("\r\n");
  LogLines.OnPacket = [this](TComDataPacket*, const std::string& line) { LogLine(line, false); };
  LogLines.OnDiscard = [this](TComDataPacket*, const std::string& data) { LogLine(data, true); };
  CreateForm();
  CountTimer.setInterval(250);
  connect(&CountTimer, &QTimer::timeout, this, [this] { ShowCounts(); });
  CountTimer.start();
  ShowPortState();
}

TTermForm::~TTermForm() {
  StopLog();
  LogLines.SetComPort(nullptr);
  for (TComLed* led : Leds) led->SetComPort(nullptr);
  Terminal->SetComPort(nullptr);
  ComPort.OnAfterClose = nullptr;
  ComPort.OnAfterOpen = nullptr;
  ComPort.Close();
  ComPort.UnRegisterLink(&Counter);
}

void TTermForm::CreateForm() {
  setWindowTitle("HRVX3300 Terminal");
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(4, 4, 4, 4);

  // The signal lamps, each with its caption.
  auto* lamps = new QHBoxLayout;
  const char* const captions[] = {"Conn", "CTS", "DSR", "CD", "Ring", "Rx", "Tx"};
  const char* const names[] = {"Connection", "Clear to send (CTS)", "Data set ready (DSR)", "Carrier detect (CD)",
                               "Ring", "Receiving (Rx)", "Sending (Tx)"};
  const TComLedSignal lampSignals[] = {lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx};
  const TLedKind kinds[] = {lkGreenLight, lkYellowLight, lkYellowLight, lkYellowLight, lkPurpleLight, lkGreenLight,
                            lkRedLight};
  for (int i = 0; i < 7; ++i) {
    auto* led = new TComLed(central);
    led->setFixedSize(25, 25);
    led->SetKind(kinds[i]);
    led->SetLedSignal(lampSignals[i]);
    led->SetComPort(&ComPort);
    led->setAccessibleName(names[i]);
    led->setObjectName(QString("Led") + captions[i]);
    auto* caption = new QLabel(captions[i], central);
    caption->setBuddy(led);
    lamps->addWidget(led);
    lamps->addWidget(caption);
    lamps->addSpacing(8);
    Leds[i] = led;
  }
  lamps->addStretch();
  layout->addLayout(lamps);

  setCentralWidget(central);
  UseTerminal(true);

  auto* tools = addToolBar("Commands");
  tools->setObjectName("Commands");
  tools->setMovable(false);
  const auto action = [&](const char* text, const char* tip, const QKeySequence& key, void (TTermForm::*handler)()) {
    QAction* a = tools->addAction(text);
    a->setToolTip(tip);
    a->setShortcut(key);
    a->setShortcutContext(Qt::WindowShortcut);
    connect(a, &QAction::triggered, this, Guarded([this, handler] { (this->*handler)(); }));
    // Reachable with Tab, as every control of the window.
    tools->widgetForAction(a)->setFocusPolicy(Qt::TabFocus);
    tools->widgetForAction(a)->setAccessibleName(tip);
    return a;
  };
  ConnectAction = action("Connect", "Connect to the port or disconnect", QKeySequence("Ctrl+Shift+O"),
                         &TTermForm::ConnectClick);
  ConnectAction->setCheckable(true);
  action("Port setup", "Port setup: name, speed, character format, flow control", QKeySequence("Ctrl+Shift+P"),
         &TTermForm::PortSetupClick);
  action("Terminal setup", "Terminal setup: echo, line ends, emulation, size", QKeySequence("Ctrl+Shift+T"),
         &TTermForm::TerminalSetupClick);
  action("Font", "Choose the terminal's font", QKeySequence("Ctrl+Shift+F"), &TTermForm::FontClick);
  action("Clear", "Clear the screen", QKeySequence("Ctrl+Shift+L"), &TTermForm::ClearClick);
  action("Save screen", "Save the screen as a text file", QKeySequence("Ctrl+Shift+S"), &TTermForm::SaveScreenClick);
  action("Copy", "Copy the selected text", QKeySequence("Ctrl+Shift+C"), &TTermForm::CopyClick);
  action("Paste", "Paste the clipboard's text to the host", QKeySequence("Ctrl+Shift+V"), &TTermForm::PasteClick);
  LogAction = action("Log to file", "Log every received line to a file, with the time", QKeySequence("Ctrl+Shift+G"),
                     &TTermForm::LogClick);
  LogAction->setCheckable(true);

  CreateMenus();

  PortLabel = new QLabel(this);
  PortLabel->setAccessibleName("Port and settings");
  CountLabel = new QLabel(this);
  CountLabel->setAccessibleName("Bytes received and sent");
  statusBar()->addWidget(PortLabel, 1);
  statusBar()->addPermanentWidget(CountLabel);
  Terminal->setFocus();
  resize(Terminal->sizeHint() + QSize(40, 120));
}

// --------------------------------------------------------------- commands

void TTermForm::ConnectClick() {
  // The button always shows the port's real state, also when opening fails.
  struct TShow {
    TTermForm* Form;
    ~TShow() { Form->ShowPortState(); }
  } show{this};
  if (ComPort.Connected()) {
    ComPort.Close();
    return;
  }
  try {
    ComPort.Open();
  } catch (const EComPort& e) {
    throw Exception(ComErrorText(e));
  }
}

void TTermForm::PortSetupClick() {
  try {
    ComPort.ShowSetupDialog();  // reopens an open port with the new settings
  } catch (const EComPort& e) {
    ShowPortState();
    throw Exception(ComErrorText(e));
  }
  ShowPortState();
  StoreSettings();
}

void TTermForm::TerminalSetupClick() {
  Terminal->ShowSetupDialog();
  StoreSettings();
}

void TTermForm::FontClick() {
  Terminal->SelectFont();
  StoreSettings();
}

void TTermForm::ClearClick() { Terminal->ClearScreen(); }

void TTermForm::CopyClick() { Terminal->CopySelection(); }

void TTermForm::PasteClick() { Terminal->PasteText(QApplication::clipboard()->text()); }

// ------------------------------------------------------- the terminal kind

void TTermForm::CreateMenus() {
  QMenu* menu = menuBar()->addMenu("&Terminal");
  auto* kinds = new QActionGroup(this);
  ExtendedAction = menu->addAction("&VT102 with colours");
  PlainAction = menu->addAction("ANSI/VT&100 (plain)");
  menu->addSeparator();
  Utf8Action = menu->addAction("&UTF-8 text");
  ControlHAction = menu->addAction("&Backspace sends Ctrl+H");
  menu->addSeparator();
  auto* schemes = new QActionGroup(this);
  DarkAction = menu->addAction("&Dark colours");
  LightAction = menu->addAction("&Light colours");
  for (QAction* a : {ExtendedAction, PlainAction, Utf8Action, ControlHAction, DarkAction, LightAction})
    a->setCheckable(true);
  kinds->addAction(ExtendedAction);
  kinds->addAction(PlainAction);
  schemes->addAction(DarkAction);
  schemes->addAction(LightAction);
  connect(ExtendedAction, &QAction::triggered, this, Guarded([this] { UseTerminal(true); }));
  connect(PlainAction, &QAction::triggered, this, Guarded([this] { UseTerminal(false); }));
  connect(Utf8Action, &QAction::triggered, this, Guarded([this](bool on) { SetUtf8(on); }));
  connect(ControlHAction, &QAction::triggered, this,
          Guarded([this](bool on) { SetBackspaceKey(on ? bkControlH : bkDelete); }));
  connect(DarkAction, &QAction::triggered, this, Guarded([this] { SetColorScheme(csDark); }));
  connect(LightAction, &QAction::triggered, this, Guarded([this] { SetColorScheme(csLight); }));
  ShowTerminalChoice();
}

void TTermForm::ShowTerminalChoice() {
  if (!ExtendedAction) return;
  ExtendedAction->setChecked(Extended());
  PlainAction->setChecked(!Extended());
  Utf8Action->setChecked(Utf8);
  ControlHAction->setChecked(Backspace == bkControlH);
  DarkAction->setChecked(Scheme == csDark);
  LightAction->setChecked(Scheme == csLight);
  for (QAction* a : {Utf8Action, ControlHAction, DarkAction, LightAction}) a->setEnabled(Extended());
}

// A new terminal of the kind asked for takes the old one's place and
// settings; the screen starts empty.
void TTermForm::UseTerminal(bool extended) {
  if (Terminal && Extended() == extended) return;
  TCustomComTerminal* old = Terminal;
  TCustomComTerminal* terminal = extended ? static_cast<TCustomComTerminal*>(new TComTerminalVT102(centralWidget()))
                                         : new TComTerminal(centralWidget());
  terminal->setObjectName("Terminal");
  terminal->setAccessibleName("Terminal screen");
  if (old) {
    terminal->LocalEcho = old->LocalEcho;
    terminal->SendLF = old->SendLF;
    terminal->AppendLF = old->AppendLF;
    terminal->Force7Bit = old->Force7Bit;
    terminal->WrapLines = old->WrapLines;
    terminal->ArrowKeys = old->ArrowKeys;
    terminal->SetCaret(old->Caret());
    terminal->SetEmulation(old->Emulation());
    terminal->SetColumns(old->Columns());
    terminal->SetRows(old->Rows());
    terminal->SetFont(old->Font());
    old->SetComPort(nullptr);
  }
  Terminal = terminal;
  HostTitle.clear();
  if (auto* vt = dynamic_cast<TComTerminalVT102*>(terminal)) {
    vt->SetColorScheme(Scheme);
    vt->SetUtf8(Utf8);
    vt->BackspaceKey = Backspace;
    vt->OnTitle = [this](TComTerminalVT102*, const QString& title) {
      HostTitle = title;
      ShowTitle();
    };
  }
  terminal->SetComPort(&ComPort);
  static_cast<QVBoxLayout*>(centralWidget()->layout())->addWidget(terminal, 1);
  delete old;
  terminal->setFocus();
  ShowTerminalChoice();
  ShowTitle();
}

void TTermForm::SetUtf8(bool value) {
  Utf8 = value;
  if (auto* vt = dynamic_cast<TComTerminalVT102*>(Terminal)) vt->SetUtf8(value);
  ShowTerminalChoice();
}

void TTermForm::SetBackspaceKey(TBackspaceKey value) {
  Backspace = value;
  if (auto* vt = dynamic_cast<TComTerminalVT102*>(Terminal)) vt->BackspaceKey = value;
  ShowTerminalChoice();
}

void TTermForm::SetColorScheme(TVtColorScheme value) {
  Scheme = value;
  if (auto* vt = dynamic_cast<TComTerminalVT102*>(Terminal)) vt->SetColorScheme(value);
  ShowTerminalChoice();
}

void TTermForm::SaveScreenClick() {
  TFileDialog dialog(TFileDialog::dkSave, this);
  dialog.Filter = "Text files (*.txt)|*.txt|All files|*";
  dialog.FileName = "screen.txt";
  if (!dialog.Execute()) return;
  std::ofstream out(dialog.FileName.toStdString(), std::ios::binary | std::ios::trunc);
  if (out) Terminal->SaveToStream(out);
  out.close();
  if (!out) throw Exception("Cannot save \"" + dialog.FileName.toStdString() + "\": " + std::strerror(errno));
}

void TTermForm::LogClick() {
  if (Logging()) {
    StopLog();
    return;
  }
  TFileDialog dialog(TFileDialog::dkSave, this);
  dialog.Filter = "Log files (*.log)|*.log|All files|*";
  dialog.FileName = "terminal.log";
  if (dialog.Execute()) StartLog(dialog.FileName);
  LogAction->setChecked(Logging());
}

// ---------------------------------------------------------------- logging

void TTermForm::StartLog(const QString& fileName) {
  StopLog();
  LogFile = std::fopen(fileName.toLocal8Bit().constData(), "ab");
  if (!LogFile) {
    LogAction->setChecked(false);
    throw Exception("Cannot log to \"" + fileName.toStdString() + "\": " + std::strerror(errno));
  }
  LogName = fileName;
  LogLines.SetComPort(&ComPort);
  LogAction->setChecked(true);
}

void TTermForm::StopLog() {
  if (!LogFile) return;
  LogLines.SetComPort(nullptr);
  std::FILE* file = LogFile;
  LogFile = nullptr;
  std::fclose(file);
  LogAction->setChecked(false);
}

// One line with its time; a failed write ends the logging, not the session.
void TTermForm::LogLine(const std::string& text, bool discarded) {
  if (!LogFile) return;
  const std::string stamp =
      QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toStdString() + (discarded ? " (cut) " : " ");
  const std::string line = stamp + text + "\n";
  if (std::fwrite(line.data(), 1, line.size(), LogFile) != line.size() || std::fflush(LogFile) != 0) {
    const std::string reason = std::strerror(errno);
    StopLog();
    // Shown after the port's handler has returned.
    QTimer::singleShot(0, this, [name = LogName, reason] {
      ShowMessage("Logging stopped: cannot write \"" + name + "\": " + Q(reason));
    });
  }
}

// ------------------------------------------------------------------ state

void TTermForm::ShowPortState() {
  ConnectAction->setChecked(ComPort.Connected());
  ConnectAction->setText(ComPort.Connected() ? "Disconnect" : "Connect");
  const char parity = "NOEMS"[ComPort.Parity().Bits()];
  const std::string stop = ComPort.StopBits() == sbOneStopBit ? "1" : ComPort.StopBits() == sbTwoStopBits ? "2" : "1.5";
  const int rate = ComPort.BaudRate() == brCustom ? ComPort.CustomBaudRate() : BaudRateToInt(ComPort.BaudRate());
  PortLabel->setText(QString("%1 %2 %3%4%5%6")
                         .arg(Q(ComDevicePath(ComPort.Port())))
                         .arg(rate)
                         .arg(5 + int(ComPort.DataBits()))
                         .arg(parity)
                         .arg(Q(stop))
                         .arg(ComPort.Connected() ? "" : "  (not connected)"));
  ShowTitle();
}

// The host may name the window (a shell shows user, host and folder); the
// program's name and the port stay in it.
void TTermForm::ShowTitle() {
  const QString port = "HRVX3300 Terminal - " + Q(ComDevicePath(ComPort.Port()));
  setWindowTitle(HostTitle.isEmpty() ? port : HostTitle + " - " + port);
}

void TTermForm::ShowCounts() {
  CountLabel->setText(QString("Rx %1  Tx %2").arg(ReceivedBytes).arg(SentBytes));
}

void TTermForm::PortAfterClose() {
  ShowPortState();
  if (!std::exchange(PortLost, false)) return;
  ShowMessage("The connection to " + Q(ComDevicePath(ComPort.Port())) +
              " was lost: the device went away. Connect again once it is back.");
}

void TTermForm::closeEvent(QCloseEvent* event) {
  try {
    StoreSettings();
  } catch (...) {
    Application()->HandleException(std::current_exception());
  }
  QMainWindow::closeEvent(event);
}

// --------------------------------------------------------------- settings

bool TTermForm::LoadSettings() {
  {
    TRegistry probe;
    if (!probe.OpenKey("Software\\HRVX3300\\" + ComPort.Name(), false)) return false;
  }
  ComPort.LoadSettings(stRegistry, SettingsPath);
  TRegistry reg;
  if (!reg.OpenKey(TerminalKey, false)) return true;
  const auto flag = [&](const char* name, bool& value) {
    if (reg.ValueExists(name)) value = StrToYesNo(reg.ReadString(name));
  };
  const auto number = [&](const char* name, int fallback) {
    int value = fallback;
    return reg.ValueExists(name) && TryStrToInt(reg.ReadString(name), value) ? value : fallback;
  };
  TCustomComTerminal& t = *Terminal;
  flag("LocalEcho", t.LocalEcho);
  flag("SendLF", t.SendLF);
  flag("AppendLF", t.AppendLF);
  flag("Force7Bit", t.Force7Bit);
  flag("WrapLines", t.WrapLines);
  t.SetCaret(TTermCaret(std::clamp(number("Caret", t.Caret()), 0, int(tcNone))));
  t.SetEmulation(TTermEmulation(std::clamp(number("Emulation", t.Emulation()), 0, int(teVT52))));
  t.SetColumns(number("Columns", t.Columns()));
  t.SetRows(number("Rows", t.Rows()));
  t.ArrowKeys = TArrowKeys(std::clamp(number("ArrowKeys", t.ArrowKeys), 0, int(akWindows)));
  if (reg.ValueExists("Font")) {
    QFont font;
    if (font.fromString(Q(reg.ReadString("Font")))) t.SetFont(font);
  }
  bool extended = true, utf8 = false, controlH = false;
  flag("Extended", extended);
  flag("Utf8", utf8);
  flag("BackspaceControlH", controlH);
  SetBackspaceKey(controlH ? bkControlH : bkDelete);
  SetColorScheme(number("ColorScheme", csDark) == csLight ? csLight : csDark);
  SetUtf8(utf8);
  UseTerminal(extended);
  return true;
}

void TTermForm::StoreSettings() {
  ComPort.StoreSettings(stRegistry, SettingsPath);
  TRegistry reg;
  if (!reg.OpenKey(TerminalKey, true)) throw Exception("Cannot keep the terminal's settings");
  const TCustomComTerminal& t = *Terminal;
  reg.WriteString("LocalEcho", YesNoToStr(t.LocalEcho));
  reg.WriteString("SendLF", YesNoToStr(t.SendLF));
  reg.WriteString("AppendLF", YesNoToStr(t.AppendLF));
  reg.WriteString("Force7Bit", YesNoToStr(t.Force7Bit));
  reg.WriteString("WrapLines", YesNoToStr(t.WrapLines));
  reg.WriteString("Caret", std::to_string(t.Caret()));
  reg.WriteString("Emulation", std::to_string(t.Emulation()));
  reg.WriteString("Columns", std::to_string(t.Columns()));
  reg.WriteString("Rows", std::to_string(t.Rows()));
  reg.WriteString("ArrowKeys", std::to_string(t.ArrowKeys));
  reg.WriteString("Font", t.Font().toString().toStdString());
  reg.WriteString("Extended", YesNoToStr(Extended()));
  reg.WriteString("Utf8", YesNoToStr(Utf8));
  reg.WriteString("BackspaceControlH", YesNoToStr(Backspace == bkControlH));
  reg.WriteString("ColorScheme", std::to_string(Scheme));
}
