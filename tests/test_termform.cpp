// The terminal program's window on a pseudo-terminal pair, the test playing
// the far end.
#include "DeviceServer.h"
#include "FakeComDevice.h"
#include "TermFormTest.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressDialog>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST_F(TermFormTest, TalksBothWaysAndTheLampsFollow) {
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  EXPECT_TRUE(form.ConnectAction->isChecked());
  EXPECT_EQ(form.Leds[0]->State(), lsOn);  // Conn
  EXPECT_TRUE(form.PortLabel->text().startsWith(QString(Name) + " 115200 8N1"));

  form.ShowMonitor(true);
  ASSERT_EQ(write(Master, "hello\r\n", 7), 7);
  EXPECT_TRUE(WaitFor([&] { return form.Leds[5]->State() == lsOn; }, 3000));  // Rx lit while bytes come
  EXPECT_TRUE(WaitFor([&] { return Row(form, 1) == "hello"; }));
  EXPECT_TRUE(WaitFor([&] { return form.Leds[5]->State() == lsOff; }));  // ...and dark after

  form.Terminal->setFocus();
  QTest::keyClicks(form.Terminal, "ls");
  QTest::keyClick(form.Terminal, Qt::Key_Return);
  std::string sent;
  EXPECT_TRUE(WaitFor([&] { return (sent += FarRead()) == "ls\r"; }));
  EXPECT_EQ(form.SentBytes, 3u);
  // The monitor shows both ways, each byte in hex and as a character.
  EXPECT_EQ(Monitored(form),
            " RX  68 65 6C 6C 6F 0D 0A                              hello..\n"
            " TX  6C 73 0D                                          ls.\n");

  // Logging: one line a received line, with its time.
  const std::string log = (Dir / "term.log").string();
  form.StartLog(QString::fromStdString(log));
  ASSERT_EQ(write(Master, "one\r\ntwo\r\n", 10), 10);
  EXPECT_TRUE(WaitFor([&] { return Row(form, 3) == "two"; }));
  form.StopLog();
  std::ifstream in(log);
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_TRUE(first.size() > 24 && first.substr(24) == "one") << first;
  EXPECT_TRUE(second.size() > 24 && second.substr(24) == "two") << second;

  form.ConnectClick();  // disconnect
  EXPECT_FALSE(form.ComPort.Connected());
  EXPECT_FALSE(form.ConnectAction->isChecked());
  EXPECT_TRUE(WaitFor([&] { return form.Leds[0]->State() == lsOff; }));
}

TEST_F(TermFormTest, APulledDeviceEndsTheSessionWithOneMessage) {
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  close(Master);
  Master = -1;
  ASSERT_TRUE(WaitFor([&] { return !form.ComPort.Connected(); }));
  EXPECT_EQ(Recorder.Messages.size(), 1);
  EXPECT_TRUE(Recorder.Messages.value(0).contains("was lost")) << Recorder.Messages.value(0).toStdString();
  EXPECT_FALSE(form.ConnectAction->isChecked());

  // A port that is not there says why, and the window stays usable.
  Recorder.Messages.clear();
  form.ComPort.SetPort((Dir / "ttyNONE").string());
  CallGuarded([&] { form.ConnectClick(); });
  ASSERT_EQ(Recorder.Messages.size(), 1);
  EXPECT_TRUE(Recorder.Messages[0].contains("There is no device")) << Recorder.Messages[0].toStdString();
  EXPECT_FALSE(form.ConnectAction->isChecked());
}

TEST_F(TermFormTest, SettingsComeBackNextTime) {
  {
    TTermForm form;
    EXPECT_FALSE(form.LoadSettings());  // the first run: nothing kept yet
    form.ComPort.SetPort("/dev/ttyUSB7");
    form.ComPort.SetBaudRate(br57600);
    form.Terminal->LocalEcho = true;
    form.SetFitToWindow(false);  // a size of its own
    form.Terminal->SetColumns(100);
    form.StoreSettings();
  }
  TTermForm again;
  EXPECT_TRUE(again.LoadSettings());
  EXPECT_EQ(again.ComPort.Port(), "/dev/ttyUSB7");
  EXPECT_EQ(again.ComPort.BaudRate(), br57600);
  EXPECT_TRUE(again.Terminal->LocalEcho);
  EXPECT_EQ(again.Terminal->Columns(), 100);
}

// What a pseudo-terminal cannot show, on the scripted device: DTR and RTS
// change and show their state, a break is raised and lowered after its
// length, and the font zooms and comes back.
TEST_F(TermFormTest, LineControlAndZoom) {
  TTermForm form;
  auto state = std::make_shared<TFakeState>();
  form.ComPort.SetPort("/dev/fake0");
  form.ComPort.SetDeviceFactory([state] { return std::make_unique<TFakeComDevice>(state); });
  EXPECT_FALSE(form.DtrAction->isEnabled());  // nothing to change while closed
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  const bool dtr = form.DtrAction->isChecked(), rts = form.RtsAction->isChecked();
  state->TakeCalls();
  form.DtrAction->trigger();
  form.RtsAction->trigger();
  EXPECT_EQ(form.DtrAction->isChecked(), !dtr);
  EXPECT_EQ(form.DtrAction->text(), dtr ? "DTR off" : "DTR on");
  EXPECT_EQ(form.RtsAction->isChecked(), !rts);
  form.BreakMs = 30;
  form.SendBreak();
  const auto escapes = [&] {
    std::vector<std::string> calls;
    for (const std::string& call : state->TakeCalls())
      if (call.rfind("Escape", 0) == 0) calls.push_back(call);
    return calls;
  };
  std::vector<std::string> got = escapes();
  EXPECT_EQ(got, (std::vector<std::string>{dtr ? "Escape 6" : "Escape 5", rts ? "Escape 4" : "Escape 3", "Escape 8"}));
  EXPECT_TRUE(WaitFor([&] { return state->Called("Escape 9"); }));  // the break ends

  const int size = form.Terminal->Font().pointSize();
  form.Zoom(1);
  form.Zoom(1);
  EXPECT_EQ(form.Terminal->Font().pointSize(), size + 2);
  form.Zoom(0);
  EXPECT_EQ(form.Terminal->Font().pointSize(), size);
}

// A re-plugged adapter: the port opens again by itself and says so.
TEST_F(TermFormTest, AReturningDeviceIsOpenedAgain) {
  const fs::path link = Dir / "ttyLINK";
  fs::create_symlink(Name, link);
  TTermForm form;
  form.ComPort.SetPort(link.string());
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  close(Master);
  Master = -1;
  ASSERT_TRUE(WaitFor([&] { return !form.ComPort.Connected(); }));
  EXPECT_EQ(Recorder.Messages.size(), 1);  // the lost-device message stays

  close(std::exchange(Slave, -1));
  ASSERT_EQ(openpty(&Master, &Slave, Name, nullptr, nullptr), 0);
  fs::remove(link);
  fs::create_symlink(Name, link);
  ASSERT_TRUE(WaitFor([&] { return form.ComPort.Connected(); }, 5000));
  EXPECT_TRUE(form.statusBar()->currentMessage().startsWith("Reconnected to " + QString::fromStdString(link.string())));
  ASSERT_EQ(write(Master, "back\r\n", 6), 6);
  EXPECT_TRUE(WaitFor([&] { return Row(form, 1) == "back"; }));
}

// Transfers through the window: a paced raw send arrives whole, and an XMODEM
// file received from the far end goes to the file, not to the screen.
TEST_F(TermFormTest, TransfersGoThroughTheWindowNotToTheScreen) {
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  const std::string lines = "one\r\ntwo\r\nthree\n";
  std::ofstream(Dir / "raw.txt", std::ios::binary) << lines;
  form.StartRawSending((Dir / "raw.txt").string(), 0, 5);
  std::string far;
  EXPECT_TRUE(WaitFor([&] { return (far += FarRead()) == lines && !form.Transferring(); }));
  EXPECT_EQ(far, lines);
  EXPECT_EQ(form.TransferResult, "Sent 16 bytes.");

  // The far end sends with XMODEM-CRC, driven here on the master side.
  std::string data;
  for (int i = 0; i < 700; ++i) data += char(i * 7);
  std::ofstream(Dir / "send.bin", std::ios::binary) << data;
  TModemSender sender(mpXmodemCrc, {(Dir / "send.bin").string()});
  sender.Send = [&](const std::string& bytes) { ASSERT_EQ(write(Master, bytes.data(), bytes.size()), ssize_t(bytes.size())); };
  sender.Start();
  form.StartReceiving(mpXmodemCrc, (Dir / "got.bin").string());
  EXPECT_TRUE(WaitFor([&] {
    const std::string answers = FarRead();
    sender.Received(reinterpret_cast<const std::uint8_t*>(answers.data()), answers.size());
    sender.Tick();
    return sender.Finished() && !form.Transferring();
  }, 10000));
  EXPECT_TRUE(sender.Succeeded());
  EXPECT_EQ(form.TransferResult, "Received got.bin.");
  std::ifstream in(Dir / "got.bin", std::ios::binary);
  const std::string got(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(got.substr(0, data.size()), data);
  EXPECT_EQ(Row(form, 1), "");  // no block bytes on the screen
}

// A name from the line is shown as it is, not as markup; a receive that is
// cancelled leaves no file.
TEST_F(TermFormTest, TransferNamesAreShownAsPlainText) {
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  const fs::path target = Dir / "<h1>BIG<i>x";
  form.StartReceiving(mpXmodemCrc, target.string());
  auto* progress = form.findChild<QProgressDialog*>();
  ASSERT_NE(progress, nullptr);
  auto* label = progress->findChild<QLabel*>();
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->textFormat(), Qt::PlainText);
  EXPECT_TRUE(label->text().startsWith("<h1>BIG<i>x\n")) << label->text().toStdString();
  form.CancelTransfer();
  EXPECT_TRUE(WaitFor([&] { return !form.Transferring(); }));
  EXPECT_EQ(form.TransferResult, "Cancelled.");
  EXPECT_FALSE(fs::exists(target));
  for (const auto& entry : fs::directory_iterator(Dir))
    EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
}

// sz and rz on the far end start ZMODEM here by themselves: the files
// come into the folder used last; the files to send are asked for, and a
// choice given up tells rz to stop.
TEST_F(TermFormTest, ZmodemStartsWhenTheFarEndRunsSzOrRz) {
  int farMaster = -1, farSlave = -1;
  ASSERT_TRUE(OpenRawPty(farMaster, farSlave));
  TPtyLine wire(Master, farMaster);
  fs::create_directories(Dir / "far");
  fs::create_directories(Dir / "in");
  const std::string data = Binary(300000, 31);
  WriteAll(Dir / "far/down.bin", data);
  WriteAll(Dir / "up.bin", data);
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  form.ReceiveInto = QString::fromStdString((Dir / "in").string());
  // Reaped once; asked again, it stays ended.
  pid_t reaped = -1;
  const auto ended = [&](pid_t pid, int& status) {
    if (reaped != pid && waitpid(pid, &status, WNOHANG) == pid) reaped = pid;
    return reaped == pid;
  };
  int status = -1;

  const pid_t sz = SpawnPeer({"sz", "-q", "down.bin"}, farSlave, Dir / "far", Dir / "sz.log");
  EXPECT_TRUE(WaitFor([&] { return form.TransferResult == "Received 1 file into \"" + form.ReceiveInto + "\"."; }, 20000))
      << form.TransferResult.toStdString();
  EXPECT_TRUE(WaitFor([&] { return ended(sz, status); }) && status == 0) << ReadAll(Dir / "sz.log");
  EXPECT_SAME(ReadAll(Dir / "in/down.bin"), data);

  int asked = 0;
  form.ChooseFilesToSend = [&] {
    ++asked;
    return QStringList{QString::fromStdString((Dir / "up.bin").string())};
  };
  const pid_t rz = SpawnPeer({"rz", "-q"}, farSlave, Dir / "far", Dir / "rz.log");
  EXPECT_TRUE(WaitFor([&] { return form.TransferResult.startsWith("Sent 1 file"); }, 20000))
      << form.TransferResult.toStdString();
  EXPECT_TRUE(WaitFor([&] { return ended(rz, status); }) && status == 0) << ReadAll(Dir / "rz.log");
  EXPECT_EQ(asked, 1);
  EXPECT_SAME(ReadAll(Dir / "far/up.bin"), data);

  form.ChooseFilesToSend = [] { return QStringList(); };
  const pid_t refused = SpawnPeer({"rz", "-q"}, farSlave, Dir / "far", Dir / "rz.log");
  EXPECT_TRUE(WaitFor([&] { return ended(refused, status); }, 10000)) << "rz was not told to stop";
  EXPECT_NE(status, 0);
  EXPECT_FALSE(form.Transferring());
  close(farSlave);
  close(farMaster);
}

// A long paste asks first, showing how many lines; with the pacing of raw
// sends it goes a character at a time, between the bracketed paste's marks
// when the host asked for them.
TEST_F(TermFormTest, LongPastesAskAndGoPacedToSlowDevices) {
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  const QString text = "one\ntwo\nthree\nfour\nfive\nsix";
  QStringList asked;
  bool answer = false;
  AskYesNoAnswer = [&](const QString& question) {
    asked << question;
    return answer;
  };
  form.Terminal->PasteText(text);
  ASSERT_EQ(asked, QStringList{"Paste 6 lines into the line?"});
  QTest::qWait(50);
  EXPECT_EQ(FarRead(), "");  // refused: nothing went

  form.RawLineDelay = 20;
  answer = true;
  ASSERT_EQ(write(Master, "\x1b[?2004h", 8), 8);  // the host wants bracketed pastes
  EXPECT_TRUE(WaitFor([&] { return static_cast<TComTerminalVT102*>(form.Terminal)->BracketedPaste(); }));
  QElapsedTimer timer;
  timer.start();
  form.Terminal->PasteText(text);
  EXPECT_TRUE(form.Transferring());
  const std::string want = "\x1b[200~one\rtwo\rthree\rfour\rfive\rsix\x1b[201~";
  std::string far;
  EXPECT_TRUE(WaitFor([&] { return (far += FarRead()) == want && !form.Transferring(); }));
  EXPECT_EQ(far, want);
  EXPECT_GE(timer.elapsed(), 5 * 20);  // a pause after each of the first five lines
  AskYesNoAnswer = nullptr;
  form.ComPort.Close();
}

// The send line: whole lines with the line end chosen, hex bytes as they
// are, what cannot go refused with nothing sent, and its lines, choices and
// visibility back next time.
TEST_F(TermFormTest, TheSendLineSendsLinesAndHexAndRemembers) {
  {
    TTermForm form;
    form.ComPort.SetPort(Name);
    form.ConnectClick();
    ASSERT_TRUE(form.ComPort.Connected());
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.Terminal->setFocus();
    QTest::keyClick(form.Terminal, Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);  // its key
    ASSERT_TRUE(form.SendBox->isVisible());
    QLineEdit* edit = form.SendBox->Edit();
    EXPECT_TRUE(WaitFor([&] { return edit->hasFocus(); }));
    form.SendBox->SetLineEnd(leCRLF);
    QTest::keyClicks(edit, "AT+GMR");
    QTest::keyClick(edit, Qt::Key_Return);
    std::string far;
    EXPECT_TRUE(WaitFor([&] { return (far += FarRead()) == "AT+GMR\r\n"; }));
    edit->setText("0x02 1a FF");  // the prefix makes it hex
    QTest::keyClick(edit, Qt::Key_Return);
    far.clear();
    EXPECT_TRUE(WaitFor([&] { return (far += FarRead()) == std::string("\x02\x1a\xff", 3); }));
    form.SendBox->SetHex(true);
    edit->setText("41 4");  // half a byte
    QTest::keyClick(edit, Qt::Key_Return);
    ASSERT_EQ(Recorder.Messages.size(), 1);
    EXPECT_TRUE(Recorder.Messages[0].startsWith("Not hex bytes: the last byte has one hex digit")) << Recorder.Messages[0].toStdString();
    EXPECT_EQ(edit->text(), "41 4");  // kept, to mend
    edit->setText("0x");  // nothing after the prefix
    QTest::keyClick(edit, Qt::Key_Return);
    ASSERT_EQ(Recorder.Messages.size(), 2);
    EXPECT_EQ(Recorder.Messages[1], "Not hex bytes: the line holds none.");
    edit->setText("41 4");
    QTest::qWait(20);
    EXPECT_EQ(FarRead(), "");
    // Up walks back through what was sent, Down returns to what was typed.
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->text(), "0x02 1a FF");
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->text(), "AT+GMR");
    QTest::keyClick(edit, Qt::Key_Down);
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(edit->text(), "41 4");
    form.StoreSettings();
    form.ComPort.Close();
  }
  TTermForm again;
  ASSERT_TRUE(again.LoadSettings());
  EXPECT_TRUE(again.SendLineAction->isChecked());
  EXPECT_TRUE(again.SendBox->Hex());
  EXPECT_EQ(again.SendBox->LineEnd(), leCRLF);
  EXPECT_EQ(again.SendBox->History(), (QStringList{"AT+GMR", "0x02 1a FF"}));
}

// ser2net's and pyserial's servers in turn.
TEST_F(TermFormTest, AHostBehindADeviceServer) {
  TSer2net ser2net;
  const int viaSer2net = ser2net.Add(Name, true);
  HostBehind(ser2net, viaSer2net);
  TPyserialServer pyserial;
  const int viaPyserial = pyserial.Add(Name);
  HostBehind(pyserial, viaPyserial);
}
