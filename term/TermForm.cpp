#include "TermForm.h"

#include "CPortList.h"
#include "CPortTexts.h"
#include "Dialogs.h"
#include "Forms.h"
#include "NetAddress.h"
#include "NetComDevice.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTime>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>

const char* const TTermForm::SettingsPath = "HKEY_CURRENT_USER\\Software\\HRVX3300";

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

TTermForm::TTermForm(QWidget* parent) : QMainWindow(parent) {
  ComPort.SetName("Terminal");
  ComPort.SetBaudRate(br115200);
  ComPort.SetStoreGroups({spBasic, spOthers, spParity, spFlowControl});
  ComPort.OnAfterOpen = [this](TCustomComPort*) { PortAfterOpen(); };
  ComPort.OnAfterClose = [this](TCustomComPort*) { PortAfterClose(); };
  ComPort.OnError = [this](TCustomComPort*, TComErrors errors) {
    if (errors.Contains(ceIO)) PortLost = true;
  };
  Counter.OnRxBuf = [this](TCustomComPort*, const std::uint8_t* bytes, int count) {
    ReceivedBytes += std::uint64_t(count);
    if (Monitor && !MonitorDock->isHidden())
      Monitor->Add(false, bytes, std::size_t(count), QDateTime::currentMSecsSinceEpoch());
  };
  Counter.OnTxData = [this](TCustomComPort*, const std::uint8_t* bytes, int count) {
    SentBytes += std::uint64_t(count);
    if (Monitor && !MonitorDock->isHidden())
      Monitor->Add(true, bytes, std::size_t(count), QDateTime::currentMSecsSinceEpoch());
  };
  ComPort.RegisterLink(&Counter);
  Receiver.OnRxBuf = [this](TCustomComPort*, const std::uint8_t* bytes, int count) {
    // A transfer takes the bytes, and gives back the far end's text that
    // comes after its end.
    TModemTransfer* transfer = Transfer ? Transfer.get() : EndedTransfer.get();
    if (transfer && !StartPending) {
      transfer->Received(bytes, std::size_t(count));
      ShowFarText(transfer->TakeText());
      if (Transfer) PumpTransfer();
      // The screen's link comes after this one: it is given the line again
      // from the next bytes on. A transfer that begins takes over.
      else if (StartPending || !transfer->Holding())
        QTimer::singleShot(0, this, Guarded([this] {
                             if (EndedTransfer && (StartPending || !EndedTransfer->Holding())) ReleaseEndedTransfer();
                           }));
      return;
    }
    // The screen's own link, after this one, draws what it is shown.
    FarBytes(bytes, std::size_t(count), !(Terminal->ShowReceived && Terminal->ComPort()));
  };
  ComPort.RegisterLink(&Receiver);
  Log.Clock = [] { return QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz ").toStdString(); };
  Log.OnFailed = [this](const std::string& reason) {
    LogAction->setChecked(false);
    // Shown after the port's handler has returned.
    QTimer::singleShot(0, this, [name = Q(Log.FileName()), reason] {
      ShowMessage("Logging stopped: cannot write \"" + name + "\": " + Q(reason));
    });
  };
  CreateForm();
  CountTimer.setInterval(250);
  connect(&CountTimer, &QTimer::timeout, this, [this] { ShowCounts(); });
  CountTimer.start();
  ReconnectTimer.setInterval(1000);
  connect(&ReconnectTimer, &QTimer::timeout, this, [this] { TryReconnect(); });
  TransferTimer.setInterval(100);
  connect(&TransferTimer, &QTimer::timeout, this, Guarded([this] {
            if (Transfer) Transfer->Tick();
            PumpTransfer();
            if (!EndedTransfer) return;
            ShowFarText(EndedTransfer->TakeText());
            if (!EndedTransfer->Holding()) ReleaseEndedTransfer();
          }));
  ShowPortState();
}

TTermForm::~TTermForm() {
  Transfer.reset();
  EndedTransfer.reset();
  if (RawFile) std::fclose(RawFile);
  StopLog();
  for (TComLed* led : Leds) led->SetComPort(nullptr);
  Terminal->SetComPort(nullptr);
  ComPort.OnAfterClose = nullptr;
  ComPort.OnAfterOpen = nullptr;
  ComPort.Close();
  ComPort.UnRegisterLink(&Receiver);
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
  ChosenFont = Terminal->Font();
  CreateFindBar();
  CreateSendLine();
  CreateMonitor();
  CreateActions();

  PortLabel = new QLabel(this);
  PortLabel->setAccessibleName("Port and settings");
  CountLabel = new QLabel(this);
  CountLabel->setAccessibleName("Bytes received and sent");
  statusBar()->addWidget(PortLabel, 1);
  statusBar()->addPermanentWidget(CountLabel);
  Terminal->setFocus();
  // Room for 80 x 24 cells to begin with.
  resize(QSize(80 * Terminal->CellWidth(), 24 * Terminal->CellHeight()) + QSize(40, 170));
}

// Every command has a key; the common ones sit on the toolbar, all of them
// in the menus.
void TTermForm::CreateActions() {
  auto* tools = addToolBar("Commands");
  tools->setObjectName("Commands");
  tools->setMovable(false);
  const auto make = [&](QMenu* menu, const char* text, const char* tip, const QKeySequence& key, auto handler,
                        bool onToolbar = false) {
    QAction* a = menu->addAction(text);
    a->setToolTip(tip);
    a->setStatusTip(tip);
    if (!key.isEmpty()) {
      a->setShortcut(key);
      a->setShortcutContext(Qt::WindowShortcut);
    }
    if constexpr (std::is_invocable_v<decltype(handler), TTermForm*, bool>)
      connect(a, &QAction::triggered, this, Guarded([this, handler](bool on) { std::invoke(handler, this, on); }));
    else
      connect(a, &QAction::triggered, this, Guarded([this, handler] { std::invoke(handler, this); }));
    if (onToolbar) {
      tools->addAction(a);
      // Reachable with Tab, as every control of the window.
      tools->widgetForAction(a)->setFocusPolicy(Qt::TabFocus);
      tools->widgetForAction(a)->setAccessibleName(tip);
    }
    addAction(a);  // the key works while the menu bar is hidden too
    return a;
  };

  QMenu* port = menuBar()->addMenu("&Port");
  ConnectAction = make(port, "Connect", "Connect to the port or disconnect", QKeySequence("Ctrl+Shift+O"),
                       &TTermForm::ConnectClick, true);
  ConnectAction->setCheckable(true);
  make(port, "Port setup", "Port setup: name, speed, character format, flow control", QKeySequence("Ctrl+Shift+P"),
       &TTermForm::PortSetupClick, true);
  port->addSeparator();
  make(port, "Break", "Send a break", QKeySequence(Qt::CTRL | Qt::Key_Pause), &TTermForm::SendBreak, true);
  DtrAction = make(port, "DTR", "Data terminal ready (DTR): on or off", QKeySequence("Ctrl+Shift+D"),
                   &TTermForm::SetDtr, true);
  RtsAction = make(port, "RTS", "Request to send (RTS): on or off", QKeySequence("Ctrl+Shift+R"), &TTermForm::SetRts,
                   true);
  DtrAction->setCheckable(true);
  RtsAction->setCheckable(true);
  make(port, "Break length...", "How long a break lasts", QKeySequence(), +[](TTermForm* form) {
    bool ok = false;
    const int ms = QInputDialog::getInt(form, "Break length", "Break length in milliseconds:", form->BreakMs, 10,
                                        5000, 10, &ok);
    if (ok) form->BreakMs = ms;
  });
  ReconnectAction = make(port, "Reconnect automatically",
                         "Open the port again by itself when its device comes back", QKeySequence(),
                         +[](TTermForm* form, bool on) { form->AutoReconnect = on; });
  ReconnectAction->setCheckable(true);
  ReconnectAction->setChecked(AutoReconnect);
  port->addSeparator();
  make(port, "&Quit", "Quit the terminal", QKeySequence("Ctrl+Shift+Q"), +[](TTermForm* form) { form->close(); });

  QMenu* edit = menuBar()->addMenu("&Edit");
  make(edit, "Copy", "Copy the selected text", QKeySequence("Ctrl+Shift+C"), &TTermForm::CopyClick, true);
  make(edit, "Paste", "Paste the clipboard's text to the host", QKeySequence("Ctrl+Shift+V"), &TTermForm::PasteClick,
       true);
  make(edit, "Find...", "Find text in the scrollback and on the screen", QKeySequence("Ctrl+Shift+F"),
       &TTermForm::FindClick, true);
  edit->addSeparator();
  make(edit, "Clear", "Clear the screen", QKeySequence("Ctrl+Shift+L"), &TTermForm::ClearClick, true);
  make(edit, "Clear scrollback", "Forget the lines kept above the screen", QKeySequence("Ctrl+Shift+K"),
       +[](TTermForm* form) { form->Terminal->ClearScrollback(); });
  make(edit, "Save screen...", "Save the screen as a text file", QKeySequence("Ctrl+Shift+S"),
       &TTermForm::SaveScreenClick);

  QMenu* view = menuBar()->addMenu("&View");
  QAction* zoomIn =
      make(view, "Zoom in", "A larger font", QKeySequence(Qt::CTRL | Qt::Key_Plus), +[](TTermForm* f) { f->Zoom(1); });
  // Ctrl+= too, for keyboards whose plus needs Shift.
  zoomIn->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
  make(view, "Zoom out", "A smaller font", QKeySequence(Qt::CTRL | Qt::Key_Minus), +[](TTermForm* f) { f->Zoom(-1); });
  make(view, "Normal size", "The font's own size", QKeySequence(Qt::CTRL | Qt::Key_0), +[](TTermForm* f) { f->Zoom(0); });
  make(view, "Font...", "Choose the terminal's font", QKeySequence("Ctrl+Shift+N"), &TTermForm::FontClick, true);
  view->addSeparator();
  FitAction = make(view, "Fit the window", "Rows and columns follow the window's size", QKeySequence(),
                   &TTermForm::SetFitToWindow);
  FitAction->setCheckable(true);
  make(view, "Scrollback lines...", "How many lines are kept above the screen", QKeySequence(), +[](TTermForm* form) {
    bool ok = false;
    const int lines = QInputDialog::getInt(form, "Scrollback", "Lines kept above the screen:", form->ScrollbackLines,
                                           0, 1000000, 1000, &ok);
    if (ok) form->SetScrollbackLines(lines);
  });
  view->addSeparator();
  MonitorAction = make(view, "Hex monitor", "Show the bytes received and sent in hex", QKeySequence("Ctrl+Shift+H"),
                       &TTermForm::ShowMonitor, true);
  MonitorAction->setCheckable(true);
  SendLineAction = make(view, "Send line", "A line under the terminal that sends whole lines, or hex bytes",
                        QKeySequence("Ctrl+Shift+E"), &TTermForm::ShowSendLine, true);
  SendLineAction->setCheckable(true);

  QMenu* terminal = menuBar()->addMenu("&Terminal");
  make(terminal, "Terminal setup", "Terminal setup: echo, line ends, emulation, size", QKeySequence("Ctrl+Shift+T"),
       &TTermForm::TerminalSetupClick, true);
  terminal->addSeparator();
  auto* kinds = new QActionGroup(this);
  ExtendedAction = terminal->addAction("&ANSI/VT100: VT102 with colours");
  PlainAction = terminal->addAction("ANSI/VT100: &plain");
  terminal->addSeparator();
  Utf8Action = terminal->addAction("&UTF-8 text");
  ControlHAction = terminal->addAction("&Backspace sends Ctrl+H");
  AltEscapeAction = terminal->addAction("Alt sends &Escape");
  terminal->addSeparator();
  auto* schemes = new QActionGroup(this);
  DarkAction = terminal->addAction("&Dark colours");
  LightAction = terminal->addAction("&Light colours");
  for (QAction* a : {ExtendedAction, PlainAction, Utf8Action, ControlHAction, AltEscapeAction, DarkAction, LightAction})
    a->setCheckable(true);
  AltEscapeAction->setChecked(true);
  kinds->addAction(ExtendedAction);
  kinds->addAction(PlainAction);
  schemes->addAction(DarkAction);
  schemes->addAction(LightAction);
  connect(ExtendedAction, &QAction::triggered, this, Guarded([this] { UseTerminal(true); }));
  connect(PlainAction, &QAction::triggered, this, Guarded([this] { UseTerminal(false); }));
  connect(Utf8Action, &QAction::triggered, this, Guarded([this](bool on) { SetUtf8(on); }));
  connect(ControlHAction, &QAction::triggered, this,
          Guarded([this](bool on) { SetBackspaceKey(on ? bkControlH : bkDelete); }));
  connect(AltEscapeAction, &QAction::triggered, this, Guarded([this](bool on) { SetAltSendsEscape(on); }));
  connect(DarkAction, &QAction::triggered, this, Guarded([this] { SetColorScheme(csDark); }));
  connect(LightAction, &QAction::triggered, this, Guarded([this] { SetColorScheme(csLight); }));

  QMenu* transfer = menuBar()->addMenu("T&ransfer");
  make(transfer, "Send file...", "Send a file: raw, XMODEM, YMODEM or ZMODEM", QKeySequence("Ctrl+Shift+U"),
       &TTermForm::SendFileClick, true);
  make(transfer, "Receive file...", "Receive files with XMODEM, YMODEM or ZMODEM", QKeySequence("Ctrl+Shift+J"),
       &TTermForm::ReceiveFileClick, true);
  ZmodemAutoAction = make(transfer, "Start &ZMODEM by itself",
                          "Receive when the far end runs sz, choose files to send when it runs rz", QKeySequence(),
                          +[](TTermForm* form, bool on) { form->ZmodemAuto = on; });
  ZmodemAutoAction->setCheckable(true);
  ZmodemAutoAction->setChecked(ZmodemAuto);

  QMenu* log = menuBar()->addMenu("&Log");
  LogAction = make(log, "Log to file", "Log what is received to a file", QKeySequence("Ctrl+Shift+G"),
                   &TTermForm::LogClick, true);
  LogAction->setCheckable(true);
  LogTimeAction = log->addAction("&Time stamps");
  LogRawAction = log->addAction("&Raw bytes instead of text");
  LogTimeAction->setCheckable(true);
  LogRawAction->setCheckable(true);
  LogTimeAction->setChecked(true);
  LogTimeAction->setStatusTip("Begin each logged line with the time it came");
  LogRawAction->setStatusTip("Log the bytes exactly as they came, control sequences included");
  ShowTerminalChoice();
  ShowLineState();
}

void TTermForm::CreateFindBar() {
  FindBar = new QWidget(centralWidget());
  auto* row = new QHBoxLayout(FindBar);
  row->setContentsMargins(0, 0, 0, 0);
  auto* label = new QLabel("&Find:", FindBar);
  FindEdit = new QLineEdit(FindBar);
  FindEdit->setAccessibleName("Text to find");
  label->setBuddy(FindEdit);
  auto* previous = new QPushButton("&Previous", FindBar);
  auto* next = new QPushButton("&Next", FindBar);
  previous->setToolTip("Find further up (Return)");
  next->setToolTip("Find further down (Shift+Return)");
  FindCase = new QCheckBox("Match &case", FindBar);
  FindState = new QLabel(FindBar);
  FindState->setAccessibleName("Find result");
  auto* close = new QToolButton(FindBar);
  close->setText("Close");
  close->setAccessibleName("Close the find bar");
  for (QWidget* w : std::initializer_list<QWidget*>{label, FindEdit, previous, next, FindCase, FindState, close})
    row->addWidget(w, w == FindEdit ? 1 : 0);
  // Return looks further up (the newest output is at the bottom), Shift+Return down.
  connect(FindEdit, &QLineEdit::returnPressed, this, Guarded([this] {
            FindNext(!(QApplication::keyboardModifiers() & Qt::ShiftModifier));
          }));
  connect(next, &QPushButton::clicked, this, Guarded([this] { FindNext(false); }));
  connect(previous, &QPushButton::clicked, this, Guarded([this] { FindNext(true); }));
  const auto hide = [this] {
    FindBar->hide();
    Terminal->setFocus();
  };
  connect(close, &QToolButton::clicked, this, hide);
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), FindBar);
  escape->setContext(Qt::WidgetWithChildrenShortcut);
  connect(escape, &QShortcut::activated, this, hide);
  static_cast<QVBoxLayout*>(centralWidget()->layout())->addWidget(FindBar);
  FindBar->hide();
}

void TTermForm::CreateSendLine() {
  SendBox = new TSendLine(centralWidget());
  SendBox->setObjectName("SendLine");
  SendBox->OnSend = [this](const std::string& bytes) {
    if (!ComPort.Connected()) throw Exception("Connect to the port first: the line goes down it.");
    ComPort.WriteStr(bytes);
  };
  // Text goes as the terminal's does: UTF-8, else one byte a character.
  SendBox->Encode = [this](const QString& text, std::string& bytes) {
    if (Utf8) {
      bytes = text.toUtf8().toStdString();
      return true;
    }
    bytes.clear();
    for (const QChar c : text) {
      if (c.unicode() > 0xFF) return false;
      bytes += char(c.unicode());
    }
    return true;
  };
  // Under the terminal, above the find bar.
  static_cast<QVBoxLayout*>(centralWidget()->layout())->insertWidget(2, SendBox);
  SendBox->hide();
}

void TTermForm::ShowSendLine(bool on) {
  SendBox->setVisible(on);
  SendLineAction->setChecked(on);
  if (on)
    SendBox->Edit()->setFocus();
  else
    Terminal->setFocus();
}

void TTermForm::CreateMonitor() {
  MonitorDock = new QDockWidget("Hex monitor", this);
  MonitorDock->setObjectName("HexMonitor");
  auto* box = new QWidget(MonitorDock);
  auto* column = new QVBoxLayout(box);
  column->setContentsMargins(0, 0, 0, 0);
  auto* bar = new QToolBar(box);
  PauseMonitorAction = bar->addAction("Pause");
  PauseMonitorAction->setCheckable(true);
  PauseMonitorAction->setToolTip("Hold the view still; bytes are still captured");
  QAction* clear = bar->addAction("Clear");
  QAction* save = bar->addAction("Save...");
  for (QAction* a : {PauseMonitorAction, clear, save}) {
    bar->widgetForAction(a)->setFocusPolicy(Qt::TabFocus);
    bar->widgetForAction(a)->setAccessibleName(a->text().remove("...") + " the hex monitor");
  }
  Monitor = new THexMonitor(box);
  column->addWidget(bar);
  column->addWidget(Monitor, 1);
  MonitorDock->setWidget(box);
  addDockWidget(Qt::BottomDockWidgetArea, MonitorDock);
  MonitorDock->hide();
  connect(PauseMonitorAction, &QAction::toggled, this, [this](bool on) { Monitor->SetPaused(on); });
  connect(clear, &QAction::triggered, this, [this] { Monitor->Clear(); });
  connect(save, &QAction::triggered, this, Guarded([this] { SaveMonitorClick(); }));
  connect(MonitorDock, &QDockWidget::visibilityChanged, this, [this](bool) {
    if (MonitorAction) MonitorAction->setChecked(!MonitorDock->isHidden());
  });
}

// --------------------------------------------------------------- commands

void TTermForm::ConnectClick() {
  // The button always shows the port's real state, also when opening fails.
  struct TShow {
    TTermForm* Form;
    ~TShow() { Form->ShowPortState(); }
  } show{this};
  ReconnectTimer.stop();  // the user decides now
  if (ComPort.Connected()) {
    ComPort.Close();
    return;
  }
  // A device server may take seconds to answer; the window says whom it waits for.
  const bool server = IsNetworkPortName(ComPort.Port());
  ShowPortState();  // the port it is about to open, in the title too
  if (server) statusBar()->showMessage("Connecting to " + Q(ComPort.Port()) + " …");
  try {
    ComPort.Open();
  } catch (const EComPort& e) {
    if (server) statusBar()->clearMessage();
    throw Exception(ComErrorText(e));
  }
  if (server) statusBar()->clearMessage();
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

// A size chosen in Terminal setup is kept: the grid stops following the
// window.
void TTermForm::TerminalSetupClick() {
  const QSize before(Terminal->Columns(), Terminal->Rows());
  if (FitToWindow) {
    // The dialog shows the size in use; choosing another one fixes it.
    Terminal->SetFitToWindow(false);
    Terminal->ShowSetupDialog();
    if (QSize(Terminal->Columns(), Terminal->Rows()) == before) Terminal->SetFitToWindow(true);
    else SetFitToWindow(false);
  } else {
    Terminal->ShowSetupDialog();
  }
  StoreSettings();
}

void TTermForm::FontClick() {
  Terminal->SelectFont();
  ChosenFont = Terminal->Font();
  StoreSettings();
}

void TTermForm::Zoom(int steps) {
  QFont font = steps == 0 ? ChosenFont : Terminal->Font();
  if (steps != 0) font.setPointSize(std::clamp(font.pointSize() + steps, 4, 72));
  Terminal->SetFont(font);
}

void TTermForm::ClearClick() { Terminal->ClearScreen(); }

void TTermForm::CopyClick() { Terminal->CopySelection(); }

void TTermForm::PasteClick() { Terminal->PasteText(QApplication::clipboard()->text()); }

void TTermForm::FindClick() {
  FindBar->show();
  FindEdit->setFocus();
  FindEdit->selectAll();
}

void TTermForm::FindNext(bool backward) {
  const bool found = Terminal->Find(FindEdit->text(), backward, FindCase->isChecked());
  FindState->setText(found || FindEdit->text().isEmpty() ? QString() : "Not found");
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

// --------------------------------------------------------- line control

void TTermForm::SendBreak() {
  if (!ComPort.Connected()) throw Exception("Connect to the port first: a break goes down the line.");
  ComPort.SetBreak(true);
  QTimer::singleShot(BreakMs, this, Guarded([this] {
                       if (ComPort.Connected()) ComPort.SetBreak(false);
                     }));
  statusBar()->showMessage("Break sent (" + QString::number(BreakMs) + " ms).", 3000);
}

void TTermForm::SetDtr(bool on) { SetModemLine(&TComPort::SetDTR, Dtr, on); }
void TTermForm::SetRts(bool on) { SetModemLine(&TComPort::SetRTS, Rts, on); }

// The toggle shows the line's state afterwards, also when setting it failed.
void TTermForm::SetModemLine(void (TComPort::*set)(bool), bool& state, bool on) {
  struct TShow {
    TTermForm* Form;
    ~TShow() { Form->ShowLineState(); }
  } show{this};
  if (!ComPort.Connected()) throw Exception("Connect to the port first.");
  (ComPort.*set)(on);
  state = on;
}

void TTermForm::ShowLineState() {
  if (!DtrAction) return;
  const bool open = ComPort.Connected();
  DtrAction->setEnabled(open);
  RtsAction->setEnabled(open);
  DtrAction->setChecked(open && Dtr);
  RtsAction->setChecked(open && Rts);
  DtrAction->setText(QString("DTR ") + (open && Dtr ? "on" : "off"));
  RtsAction->setText(QString("RTS ") + (open && Rts ? "on" : "off"));
}

// ------------------------------------------------------------ hex monitor

void TTermForm::ShowMonitor(bool on) {
  MonitorDock->setVisible(on);
  MonitorAction->setChecked(on);
  Terminal->setFocus();  // typing goes on; Ctrl+Tab reaches the monitor
}

void TTermForm::SaveMonitorClick() {
  TFileDialog dialog(TFileDialog::dkSave, this);
  dialog.Filter = "Text files (*.txt)|*.txt|All files|*";
  dialog.FileName = "monitor.txt";
  if (dialog.Execute()) Monitor->SaveTo(dialog.FileName.toStdString());
}

// --------------------------------------------------------------- logging

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

void TTermForm::StartLog(const QString& fileName) {
  try {
    Log.Open(fileName.toStdString(), LogTimeAction->isChecked(), LogRawAction->isChecked());
  } catch (...) {
    LogAction->setChecked(false);
    throw;
  }
  LogAction->setChecked(true);
}

void TTermForm::StopLog() {
  Log.Close();
  if (LogAction) LogAction->setChecked(false);
}

// ------------------------------------------------------- the terminal kind

void TTermForm::ShowTerminalChoice() {
  if (!ExtendedAction) return;
  ExtendedAction->setChecked(Extended());
  PlainAction->setChecked(!Extended());
  Utf8Action->setChecked(Utf8);
  ControlHAction->setChecked(Backspace == bkControlH);
  AltEscapeAction->setChecked(AltSendsEscape);
  DarkAction->setChecked(Scheme == csDark);
  LightAction->setChecked(Scheme == csLight);
  FitAction->setChecked(FitToWindow);
  for (QAction* a : {Utf8Action, ControlHAction, AltEscapeAction, DarkAction, LightAction}) a->setEnabled(Extended());
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
    vt->MetaSendsEscape = AltSendsEscape;
    vt->OnTitle = [this](TComTerminalVT102*, const QString& title) {
      HostTitle = title;
      ShowTitle();
    };
  }
  terminal->SetScrollbackLimit(ScrollbackLines);
  terminal->OnPaste = [this](const QString& text) { return TakePaste(text); };
  if (!Transferring()) terminal->SetComPort(&ComPort);
  auto* layout = static_cast<QVBoxLayout*>(centralWidget()->layout());
  layout->insertWidget(1, terminal, 1);  // below the lamps, above the find bar
  delete old;
  terminal->SetFitToWindow(FitToWindow);
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

void TTermForm::SetAltSendsEscape(bool value) {
  AltSendsEscape = value;
  if (auto* vt = dynamic_cast<TComTerminalVT102*>(Terminal)) vt->MetaSendsEscape = value;
  ShowTerminalChoice();
}

void TTermForm::SetColorScheme(TVtColorScheme value) {
  Scheme = value;
  if (auto* vt = dynamic_cast<TComTerminalVT102*>(Terminal)) vt->SetColorScheme(value);
  ShowTerminalChoice();
}

void TTermForm::SetFitToWindow(bool value) {
  FitToWindow = value;
  Terminal->SetFitToWindow(value);
  ShowTerminalChoice();
}

void TTermForm::SetScrollbackLines(int lines) {
  ScrollbackLines = std::clamp(lines, 0, 1000000);
  Terminal->SetScrollbackLimit(ScrollbackLines);
}

// ------------------------------------------------------------------ state

void TTermForm::ShowPortState() {
  ConnectAction->setChecked(ComPort.Connected());
  ConnectAction->setText(ComPort.Connected() ? "Disconnect" : "Connect");
  const char parity = "NOEMS"[ComPort.Parity().Bits()];
  const std::string stop = ComPort.StopBits() == sbOneStopBit ? "1" : ComPort.StopBits() == sbTwoStopBits ? "2" : "1.5";
  const int rate = ComPort.BaudRate() == brCustom ? ComPort.CustomBaudRate() : BaudRateToInt(ComPort.BaudRate());
  PortLabel->setText(QString("%1 %2 %3%4%5%6")
                         .arg(Q(ComDisplayName(ComPort.Port())))
                         .arg(rate)
                         .arg(5 + int(ComPort.DataBits()))
                         .arg(parity)
                         .arg(Q(stop))
                         .arg(ComPort.Connected() ? "" : "  (not connected)"));
  ShowTitle();
  ShowLineState();
}

// The host may name the window (a shell shows user, host and folder); the
// program's name and the port stay in it.
void TTermForm::ShowTitle() {
  const QString port = "HRVX3300 Terminal - " + Q(ComDisplayName(ComPort.Port()));
  setWindowTitle(HostTitle.isEmpty() ? port : HostTitle + " - " + port);
}

void TTermForm::ShowCounts() {
  CountLabel->setText(QString("Rx %1  Tx %2").arg(ReceivedBytes).arg(SentBytes));
}

void TTermForm::PortAfterOpen() {
  // The modem lines as the port's flow control left them.
  Dtr = ComPort.FlowControl().ControlDTR() != dtrDisable;
  Rts = ComPort.FlowControl().ControlRTS() != rtsDisable;
  ShowPortState();
}

void TTermForm::PortAfterClose() {
  ShowPortState();
  if (!std::exchange(PortLost, false)) return;
  // A transfer hears of it: one whose every file was confirmed has done
  // its work, whatever became of the last answer.
  if (Transfer) Transfer->LineLost();
  else if (RawFile) CancelTransfer();
  if (EndedTransfer) ReleaseEndedTransfer();
  const QString device = Q(ComDisplayName(ComPort.Port()));
  if (AutoReconnect) {
    ServerProbe.reset();
    ReconnectTimer.start();
    statusBar()->showMessage("Lost " + device + "; it is opened again when it comes back.");
  }
  ShowMessage("The connection to " + device + " was lost: the device went away. " +
              (AutoReconnect ? "It is opened again as soon as it is back." : "Connect again once it is back."));
}

// The device is back once its file is: then the port opens as before.
void TTermForm::TryReconnect() {
  if (ComPort.Connected() || !AutoReconnect) return ReconnectTimer.stop();
  // A local device is back once its file is, a server once it takes a
  // connection again.
  if (IsNetworkPortName(ComPort.Port())) {
    if (!ServerProbe) ServerProbe = std::make_unique<TNetServerProbe>(ComPort.Port());
    if (!ServerProbe->Answers()) return;
  } else if (!ComPortPresent(ComPort.Port())) {
    return;
  }
  try {
    ComPort.Open();
  } catch (const EComPort&) {
    return;  // not ready yet (still being set up); the next tick tries again
  }
  ReconnectTimer.stop();
  statusBar()->showMessage("Reconnected to " + Q(ComDisplayName(ComPort.Port())) + " at " +
                           QTime::currentTime().toString("hh:mm:ss") + ".");
}

void TTermForm::closeEvent(QCloseEvent* event) {
  try {
    StoreSettings();
  } catch (...) {
    Application()->HandleException(std::current_exception());
  }
  QMainWindow::closeEvent(event);
}
