// The real window against the module simulator over a pseudo-terminal.
#include "DeviceServer.h"
#include "MessageRecorder.h"
#include "Simulator.h"
#include "Unit1.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(b, sizeof b, "%02X ", bytes[i]);
    out += b;
  }
  return out;
}

// Runs the event loop until done() or the time is up.
template <class F>
bool WaitFor(F done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QTest::qWait(10);
  }
  return true;
}

class EndToEnd : public testing::Test {
protected:
  void Connect(TForm1& form, const std::string& port) {
    form.ComPort1->SetPort(port);
    form.Button_Connect->click();
  }
  bool Saw(const QString& message, int timeoutMs = 1500) {
    return WaitFor([&] { return Recorder.Messages.contains(message); }, timeoutMs);
  }
  TMessageRecorder Recorder;
};

}  // namespace

TEST_F(EndToEnd, ConnectLoadsTheModulesConfiguration) {
  TSimulator sim({});
  ASSERT_FALSE(sim.Path.empty());
  TForm1 form;
  Connect(form, sim.Path);
  EXPECT_TRUE(form.ComPort1->Connected());
  EXPECT_TRUE(form.Button_Connect->isChecked());
  ASSERT_TRUE(Saw(" Load OK "));
  EXPECT_EQ(Recorder.Messages, QStringList{" Load OK "});
  EXPECT_EQ(form.Edit_Name_Ch[0]->text(), "Motor DE");
  EXPECT_EQ(form.Edit_Name_Ch[3]->text(), "Pump NDE");
  EXPECT_EQ(form.ComboBox_Unit_Ch[3]->currentText(), "C(PT100)");
  EXPECT_TRUE(form.Edit_Max_Ch[3]->isEnabled());  // a loaded unit does not lock
  EXPECT_EQ(form.Edit_Max_Ch[3]->text(), "127.0");
  EXPECT_EQ(form.ComboBox_Atype_Ch[1]->currentText(), "Latch");
  EXPECT_TRUE(form.CheckBox_SS_Ch[2]->isChecked());
  EXPECT_EQ(form.Edit_Speed_H1->text(), "3600.0");
  EXPECT_EQ(form.ComboBox_Cnt_Rpm->currentText(), "2");
  EXPECT_EQ(form.ComboBox_EvCnt->currentText(), "3");
  EXPECT_EQ(form.Edit_Node1->text(), "7");
  EXPECT_EQ(form.ComboBox_Com_Parity_S1->currentText(), "EVEN");
  EXPECT_EQ(form.Edit_Serial_Nu_Ch1->text(), "20261208");
  EXPECT_EQ(form.Button_Connect->palette().color(QPalette::ButtonText), QColor(0, 255, 0));

  // The addresses.
  Recorder.Messages.clear();
  form.Button_M_Load->click();
  ASSERT_TRUE(Saw(" Load OK "));
  EXPECT_EQ(form.Edit_Mac2->text(), "1A");
  form.Edit_Src_Ip4->setText("41");
  form.Button_NSetClick->click();
  ASSERT_TRUE(Saw(" Send OK "));
  EXPECT_NE(sim.Log().find("address frame(27) 18 81 C0 A8 00 29 00 00 00 00 07 00 07 00 00 00 00 00 00 00 00 00 AA 00 00 00 49"),
            std::string::npos);
  form.Edit_Src_Ip4->setText("0");
  Recorder.Messages.clear();
  form.Button_NLoadClick->click();
  ASSERT_TRUE(Saw(" Load OK "));
  EXPECT_EQ(form.Edit_Src_Ip4->text(), "41");

  form.Button_DisCon->click();
  EXPECT_FALSE(form.ComPort1->Connected());
  EXPECT_TRUE(form.Button_DisCon->isChecked());
}

TEST_F(EndToEnd, EachSendCarriesItsRecordByteForByte) {
  TSimulator sim({});
  TForm1 form;
  Connect(form, sim.Path);
  ASSERT_TRUE(Saw(" Load OK "));
  Recorder.Messages.clear();
  form.Edit_Name_Ch[2]->setText("Fan");
  form.Edit_Damger_Ch[2]->setText("9.5");
  form.Button_Send[2]->click();
  ASSERT_TRUE(Saw(" Send OK "));
  EXPECT_NE(sim.Log().find("channel record(97) 03 " + Hex(form.ChannelRecord.data(), 96)), std::string::npos);
  EXPECT_EQ(form.ChannelRecord[0], 'F');

  Recorder.Messages.clear();
  form.Button_Send[4]->click();
  ASSERT_TRUE(Saw(" Send OK "));
  EXPECT_NE(sim.Log().find("aux record(40) " + Hex(form.AuxRecord.data(), 40)), std::string::npos);
  Recorder.Messages.clear();
  form.Button_Send[5]->click();
  ASSERT_TRUE(Saw(" Send OK "));
  EXPECT_NE(sim.Log().find("system record(36) " + Hex(form.SystemRecord.data(), 36)), std::string::npos);
  Recorder.Messages.clear();
  form.Button1->click();
  ASSERT_TRUE(Saw(" Send OK "));
  EXPECT_NE(sim.Log().find("clock record(13) " + Hex(form.ClockRecord.data(), 13)), std::string::npos);

  // What was sent is what the module now holds.
  form.Edit_Name_Ch[2]->setText("changed");
  Recorder.Messages.clear();
  form.Button_All_Load->click();
  ASSERT_TRUE(Saw(" Load OK "));
  EXPECT_EQ(form.Edit_Name_Ch[2]->text(), "Fan");
  EXPECT_EQ(form.Edit_Damger_Ch[2]->text(), "9.5");
}

// The boxes show "0.0", but a loaded value goes back exactly while its box
// is not edited; Verify compares the module with what the window sends.
TEST_F(EndToEnd, LoadedValuesGoBackExactlyAndVerifySaysWhereTheModuleDiffers) {
  TSimulator sim({});
  TForm1 form;
  Connect(form, sim.Path);
  ASSERT_TRUE(Saw(" Load OK "));
  form.Edit_Damger_Ch[0]->setText("9.54");
  form.Button_Send[0]->click();
  ASSERT_TRUE(Saw(" Send OK "));
  Recorder.Messages.clear();
  form.Button_All_Load->click();
  ASSERT_TRUE(Saw(" Load OK "));
  EXPECT_EQ(form.Edit_Damger_Ch[0]->text(), "9.5");
  Recorder.Messages.clear();
  form.Button_All_Send->click();
  ASSERT_TRUE(Saw(" Send OK ", 5000));
  const float exact = 9.54f;
  const std::string log = sim.Log();
  const std::string head = "channel record(97) 01 ";
  const auto last = log.rfind(head);
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(log.substr(last + head.size() + 20 * 3, 12), Hex(reinterpret_cast<const std::uint8_t*>(&exact), 4));
  Recorder.Messages.clear();
  form.Button_Verify->click();
  ASSERT_TRUE(Saw(" Verify OK: the module holds what the window shows "));

  // An edit is sent as typed; Verify names the field without touching a box.
  form.Edit_Alert_Ch[1]->selectAll();
  QTest::keyClicks(form.Edit_Alert_Ch[1], "4.75");
  form.Edit_Name_Ch[3]->setText("<b>Fan</b>");
  Recorder.Messages.clear();
  form.show();
  QApplication::setActiveWindow(&form);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QTest::keySequence(&form, QKeySequence("Ctrl+Shift+V"));
  ASSERT_TRUE(WaitFor([&] { return !Recorder.Messages.isEmpty(); }, 1500));
  EXPECT_EQ(Recorder.Messages.value(0).toStdString(), " Verify: the module differs from the window in 2 fields \n\n"
                                        "CH2 Alarm Setting Alert: window 4.75, module 4.5\n"
                                        "CH4 Point Name: window <b>Fan</b>, module Pump NDE");
  EXPECT_EQ(form.Edit_Alert_Ch[1]->text(), "4.75");
  EXPECT_EQ(form.Edit_Damger_Ch[0]->text(), "9.5");
  // A value the module cannot hold never agrees.
  form.Edit_Node1->setText("300");
  Recorder.Messages.clear();
  form.Button_Verify->click();
  ASSERT_TRUE(WaitFor([&] { return !Recorder.Messages.isEmpty(); }, 1500));
  EXPECT_NE(Recorder.Messages.value(0).indexOf("SYSTEM Slave No.: window 300, which the module cannot hold"), -1)
      << Recorder.Messages.value(0).toStdString();
}

TEST_F(EndToEnd, AllSendShowsOneSendOkWhenEveryStepIsAnswered) {
  TSimulator sim({});
  TForm1 form;
  Connect(form, sim.Path);
  ASSERT_TRUE(Saw(" Load OK "));
  Recorder.Messages.clear();
  form.Button_All_Send->click();
  ASSERT_TRUE(WaitFor([&] { return !form.Timer2->isActive() && !form.Timer1->isActive(); }, 5000));
  QTest::qWait(300);
  EXPECT_EQ(Recorder.Messages, QStringList{" Send OK "});
  const std::string log = sim.Log();
  for (const char* step : {"channel record(97) 01", "channel record(97) 02", "channel record(97) 03",
                           "channel record(97) 04", "aux record(40)", "system record(36)"})
    EXPECT_NE(log.find(step), std::string::npos) << step;
}

TEST_F(EndToEnd, ASilentModuleIsNotReady) {
  TSimulator sim({"--silent"});
  TForm1 form;
  Connect(form, sim.Path);
  ASSERT_TRUE(Saw(" Not Ready "));
  Recorder.Messages.clear();
  form.Button_All_Send->click();
  // The first step finds no answer; the next tick still clicks CH2, then stops.
  ASSERT_TRUE(WaitFor([&] { return Recorder.Messages.size() == 2; }, 3000));
  QTest::qWait(800);
  EXPECT_EQ(Recorder.Messages, (QStringList{" Not Ready ", " Not Ready "}));
  EXPECT_FALSE(form.Timer2->isActive());
  EXPECT_EQ(form.NotReady, 1);
}

TEST_F(EndToEnd, PendingCommandsAndDisconnect) {
  TSimulator sim({});
  TForm1 form;
  Connect(form, sim.Path);
  ASSERT_TRUE(Saw(" Load OK "));

  // A second command within 200 ms is what the one tick judges.
  Recorder.Messages.clear();
  form.Button_All_Load->click();
  QTest::qWait(50);
  form.Button_Send[0]->click();
  ASSERT_TRUE(Saw(" Send OK "));
  QTest::qWait(300);
  EXPECT_EQ(Recorder.Messages, QStringList{" Send OK "});

  // Dis Con before the tick drops the transaction without a word.
  Recorder.Messages.clear();
  form.Button_All_Load->click();
  form.Button_DisCon->click();
  QTest::qWait(400);
  EXPECT_TRUE(Recorder.Messages.isEmpty());
  EXPECT_FALSE(form.ComPort1->Connected());

  form.Button_Send[0]->click();
  EXPECT_EQ(Recorder.Messages, QStringList{" Com Port Not Connect "});
}

TEST_F(EndToEnd, ShortAndGarbledLoadRepliesAreRefused) {
  for (const char* fault : {"--short", "--garbage"}) {
    TSimulator sim({fault});
    TForm1 form;
    Connect(form, sim.Path);
    ASSERT_TRUE(WaitFor([&] { return !Recorder.Messages.isEmpty(); }, 1500)) << fault;
    EXPECT_TRUE(Recorder.Messages[0].startsWith(" Load Error")) << Recorder.Messages[0].toStdString();
    EXPECT_EQ(form.Edit_Name_Ch[0]->text(), "Test ch1") << fault;  // nothing shown
    Recorder.Messages.clear();
    form.Button_DisCon->click();
  }
}

// Every value the window shows, line by line as a .dat file holds them.
static std::string Shown(const TForm1& form) {
  std::string lines;
  for (const auto& [control, value] : form.ShownConfiguration().Values)
    lines += control + "=" + value.Text + "/" + std::to_string(value.Number) + "\n";
  return lines;
}

// On a line that flips one bit in 500 bytes the window shows a load, the
// addresses and Verify's verdict only once they are confirmed, and then
// right; on one that flips one in five it shows none, and the boxes keep
// what they had.
TEST_F(EndToEnd, ANoisyLineIsShownRightOrNotAtAll) {
  std::string clean;
  {
    TSimulator sim({});
    TForm1 form;
    Connect(form, sim.Path);
    ASSERT_TRUE(Saw(" Load OK "));
    form.Button_M_Load->click();
    ASSERT_TRUE(WaitFor([&] { return Recorder.Messages.size() == 2; }, 1500));
    form.Button_NLoadClick->click();
    ASSERT_TRUE(WaitFor([&] { return Recorder.Messages.size() == 3; }, 1500));
    clean = Shown(form);
  }
  for (int seed = 1; seed <= 4; ++seed) {
    Recorder.Messages.clear();
    TSimulator sim({"--noise", "0.002", "--seed", std::to_string(seed)});
    TForm1 form;
    Connect(form, sim.Path);
    ASSERT_TRUE(Saw(" Load OK ", 3000)) << "seed " << seed << ": " << Recorder.Messages.join("|").toStdString();
    form.Button_M_Load->click();
    ASSERT_TRUE(WaitFor([&] { return Recorder.Messages.size() == 2; }, 3000)) << seed;
    form.Button_NLoadClick->click();
    ASSERT_TRUE(WaitFor([&] { return Recorder.Messages.size() == 3; }, 3000)) << seed;
    EXPECT_EQ(Recorder.Messages, (QStringList{" Load OK ", " Load OK ", " Load OK "})) << "seed " << seed;
    EXPECT_EQ(Shown(form), clean) << "seed " << seed;
    Recorder.Messages.clear();
    form.Button_Verify->click();
    ASSERT_TRUE(WaitFor([&] { return !Recorder.Messages.isEmpty(); }, 3000));
    EXPECT_EQ(Recorder.Messages[0], " Verify OK: the module holds what the window shows ") << "seed " << seed;
  }
  // (Seeds whose first command reaches the module: one the line garbled
  // away has no answer at all, which is " Not Ready ".)
  for (int seed = 2; seed <= 3; ++seed) {
    Recorder.Messages.clear();
    TSimulator sim({"--noise", "0.2", "--seed", std::to_string(seed)});
    TForm1 form;
    const std::string fresh = Shown(form);
    Connect(form, sim.Path);
    ASSERT_TRUE(WaitFor([&] { return !Recorder.Messages.isEmpty(); }, 3000)) << seed;
    QTest::qWait(300);  // no later message either
    ASSERT_EQ(Recorder.Messages.size(), 1) << "seed " << seed;
    EXPECT_TRUE(Recorder.Messages[0].startsWith(" Load Error: the line garbles the module's answers: "))
        << "seed " << seed << ": " << Recorder.Messages[0].toStdString();
    EXPECT_EQ(Shown(form), fresh) << "seed " << seed;
  }
}

TEST_F(EndToEnd, AVanishedModuleEndsInOneClearMessageAndCanComeBack) {
  const std::string link = "/tmp/hrvx3300-e2e-" + std::to_string(getpid());
  TForm1 form;
  {
    TSimulator sim({"--exit-after", "2"}, link);  // the two answers of Connect's load
    Connect(form, link);
    ASSERT_TRUE(Saw(" Load OK "));
    Recorder.Messages.clear();
    form.Button_Send[0]->click();  // the module takes the command and is gone
    ASSERT_TRUE(WaitFor([&] { return sim.Exited(); }, 2000));
    ASSERT_TRUE(Saw(" Com Port Lost: " + QString::fromStdString(link) + " "));
  }
  QTest::qWait(300);  // the abandoned command says nothing more
  EXPECT_EQ(Recorder.Messages.size(), 1) << Recorder.Messages.join("|").toStdString();
  EXPECT_FALSE(form.ComPort1->Connected());
  EXPECT_TRUE(form.Button_DisCon->isChecked());
  EXPECT_FALSE(form.Button_Connect->isChecked());
  Recorder.Messages.clear();
  form.Button_Send[1]->click();
  EXPECT_EQ(Recorder.Messages, QStringList{" Com Port Not Connect "});

  TSimulator again({}, link);
  Recorder.Messages.clear();
  form.Button_Connect->click();
  EXPECT_TRUE(Saw(" Load OK "));
  unlink(link.c_str());
}

// The window on a module behind a device server's RFC 2217 port (ser2net's,
// then pyserial's): Connect loads, All Send is answered, a stopped server is
// a lost port, and Connect works again once it is back.
template <class TServer>
static void WindowOnAModuleBehind(TServer& server, int tcpPort, TMessageRecorder& recorder, const std::function<bool(const QString&)>& saw) {
  const std::string port = "rfc2217://127.0.0.1:" + std::to_string(tcpPort);
  ASSERT_TRUE(server.Start()) << "the device server did not start";
  TForm1 form;
  form.ComPort1->SetPort(port);
  form.Button_Connect->click();
  ASSERT_TRUE(saw(" Load OK ")) << recorder.Messages.join("|").toStdString();
  EXPECT_EQ(form.Edit_Name_Ch[0]->text(), "Motor DE");
  recorder.Messages.clear();
  form.Edit_Name_Ch[1]->setText("Remote");
  form.Button_All_Send->click();
  ASSERT_TRUE(WaitFor([&] { return !form.Timer2->isActive() && !form.Timer1->isActive(); }, 5000));
  EXPECT_TRUE(saw(" Send OK "));

  recorder.Messages.clear();
  server.Stop();
  ASSERT_TRUE(saw(" Com Port Lost: " + QString::fromStdString(port) + " ")) << recorder.Messages.join("|").toStdString();
  EXPECT_FALSE(form.ComPort1->Connected());
  ASSERT_TRUE(server.Start());
  recorder.Messages.clear();
  form.Button_Connect->click();
  EXPECT_TRUE(saw(" Load OK "));
  EXPECT_EQ(form.Edit_Name_Ch[1]->text(), "Remote");  // the module kept what was sent
}

TEST_F(EndToEnd, AModuleBehindADeviceServer) {
  const auto saw = [&](const QString& message) { return Saw(message, 5000); };
  {
    TSimulator sim({});
    TSer2net server;
    const int port = server.Add(sim.Path, true);
    WindowOnAModuleBehind(server, port, Recorder, saw);
    EXPECT_NE(sim.Log().find("system record(36)"), std::string::npos);
  }
  Recorder.Messages.clear();
  {
    TSimulator sim({});
    TPyserialServer server;
    const int port = server.Add(sim.Path);
    WindowOnAModuleBehind(server, port, Recorder, saw);
    EXPECT_NE(sim.Log().find("system record(36)"), std::string::npos);
  }
}

// A server that takes the connection and never answers keeps the window
// waiting up to the URL's time-out; meanwhile it paints and runs its timers
// under the busy cursor, and afterwards says why the port did not open.
TEST_F(EndToEnd, TheWindowStaysAliveWhileAServerKeepsItWaiting) {
  int silentPort = 0;
  const int silent = LoopbackListener(silentPort);
  TForm1 form;
  form.ComPort1->SetPort("rfc2217://127.0.0.1:" + std::to_string(silentPort) + "?timeout=0.5");
  bool connecting = false, ranWhileConnecting = false, busyCursor = false;
  QTimer::singleShot(0, [&] {
    ranWhileConnecting = connecting;
    busyCursor = QGuiApplication::overrideCursor() && QGuiApplication::overrideCursor()->shape() == Qt::BusyCursor;
  });
  connecting = true;
  form.Button_Connect->click();
  connecting = false;
  close(silent);
  EXPECT_TRUE(ranWhileConnecting);
  EXPECT_TRUE(busyCursor);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(form.ComPort1->Connected());
  ASSERT_EQ(Recorder.Messages.size(), 1);
  EXPECT_TRUE(Recorder.Messages[0].contains("did not answer in time")) << Recorder.Messages[0].toStdString();
}

// A screen reader offers one action on a latching button: "Toggle".
static void Toggle(QWidget* button) {
  QAccessibleInterface* access = QAccessible::queryAccessibleInterface(button);
  ASSERT_TRUE(access && access->actionInterface());
  ASSERT_TRUE(access->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));
  access->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
}

TEST_F(EndToEnd, LatchingButtonsRunTheirHandlerHoweverTheyAreToggled) {
  TForm1 form;
  form.ComPort1->SetPort("/dev/hrvx3300-no-such-port");
  Toggle(form.Button_Connect);  // the handler runs: the port cannot open, and says why
  ASSERT_EQ(Recorder.Messages.size(), 1);
  EXPECT_TRUE(Recorder.Messages[0].contains("There is no device /dev/hrvx3300-no-such-port")) << Recorder.Messages[0].toStdString();
  EXPECT_TRUE(form.Button_DisCon->isChecked());  // the real state: closed
  EXPECT_FALSE(form.Button_Connect->isChecked());

  TSimulator sim({});
  form.ComPort1->SetPort(sim.Path);
  Recorder.Messages.clear();
  Toggle(form.Button_Connect);
  EXPECT_TRUE(form.ComPort1->Connected());
  EXPECT_TRUE(form.Button_Connect->isChecked());
  EXPECT_TRUE(Saw(" Load OK "));
  Toggle(form.Button_DisCon);
  EXPECT_FALSE(form.ComPort1->Connected());
  EXPECT_TRUE(form.Button_DisCon->isChecked());
  QTest::keyClick(form.Button_Connect, Qt::Key_Space);  // and from the keyboard
  EXPECT_TRUE(form.ComPort1->Connected());
}

TEST(EndToEndBoxes, TheSequenceGoesOnWhileAMessageBoxIsOpen) {
  // Real modal boxes this time: each stays open 420 ms, longer than a step.
  TSimulator sim({"--silent"});
  TForm1 form;
  form.ComPort1->SetPort(sim.Path);
  form.ComPort1->Open();
  QStringList shown;
  std::vector<int> indexWhenShown, indexWhenClosed;
  QTimer closer;
  QElapsedTimer openFor;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    if (!openFor.isValid()) {
      openFor.start();
      shown << box->text();
      indexWhenShown.push_back(form.AllSendIndex);
    } else if (openFor.elapsed() > 420) {
      openFor.invalidate();
      indexWhenClosed.push_back(form.AllSendIndex);
      box->button(QMessageBox::Ok)->click();
    }
  });
  closer.start(10);
  form.Button_All_Send->click();
  WaitFor([&] { return shown.size() == 2 && !QApplication::activeModalWidget(); }, 4000);
  EXPECT_EQ(shown, (QStringList{" Not Ready ", " Not Ready "}));
  // While the first box was open the sequencer still clicked the next step.
  ASSERT_EQ(indexWhenShown.size(), 2u);
  ASSERT_EQ(indexWhenClosed.size(), 2u);
  EXPECT_EQ(indexWhenShown[0], 1);
  EXPECT_EQ(indexWhenClosed[0], 2);
  EXPECT_FALSE(form.Timer2->isActive());
}
