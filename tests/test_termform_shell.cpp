// The terminal program at a board's shell: bash on a pseudo-terminal that
// echoes and edits lines as a console does, lrzsz run from it, the window
// on the other end of the wire. What a console user meets around a file
// transfer: the shell's output after it, the keys, a far end that answers
// in text, a cancel, a hang-up.
#include "TermFormTest.h"

#include <QImage>
#include <QPixmap>

#include <poll.h>
#include <sys/wait.h>

namespace {

class TermShellTest : public TermFormTest {
protected:
  void TearDown() override {
    Wire.reset();
    EndShell(Shell);
    if (FarMaster >= 0) close(FarMaster);
    if (FarSlave >= 0) close(FarSlave);
    TermFormTest::TearDown();
  }

  // The shell on the far end of the wire (paced at byteUs a byte when
  // given), PATH as given, in Dir/far; the window connected to it.
  void StartShell(TTermForm& form, double byteUs = 0, const std::string& path = getenv("PATH")) {
    fs::create_directories(Dir / "far");
    fs::create_directories(Dir / "in");
    // Connected first: opening the port empties what it has received.
    form.ComPort.SetPort(Name);
    form.ConnectClick();
    ASSERT_TRUE(form.ComPort.Connected());
    ASSERT_EQ(openpty(&FarMaster, &FarSlave, nullptr, nullptr, nullptr), 0);
    fcntl(FarMaster, F_SETFL, fcntl(FarMaster, F_GETFL) | O_NONBLOCK);
    Wire = std::make_unique<TPtyLine>(Master, FarMaster, byteUs);
    Shell = SpawnShell(FarSlave, Dir / "far", path);
    ASSERT_GT(Shell, 0);
    form.ReceiveInto = QString::fromStdString((Dir / "in").string());
    ASSERT_TRUE(WaitFor([&] { return RowWith(form, "$ ") > 0; }, 10000)) << "no prompt from the shell";
  }

  // Types a command line into the terminal, as the user does.
  void Type(TTermForm& form, const QString& line) {
    form.Terminal->setFocus();
    QTest::keyClicks(form.Terminal, line);
    QTest::keyClick(form.Terminal, Qt::Key_Return);
  }

  // The first row that is text exactly, or ends with it when ending; 0: none.
  int RowWith(TTermForm& form, const std::string& text, bool ending = false) {
    for (int r = 1; r <= form.Terminal->Rows(); ++r) {
      const std::string row = Row(form, r);
      if (row == text || (ending && row.size() >= text.size() && row.compare(row.size() - text.size(), text.size(), text) == 0))
        return r;
    }
    return 0;
  }
  int RowsContaining(TTermForm& form, const std::string& text) {
    int rows = 0;
    for (int r = 1; r <= form.Terminal->Rows(); ++r) rows += Row(form, r).find(text) != std::string::npos;
    return rows;
  }
  std::string Screen(TTermForm& form) {
    std::string screen;
    for (int r = 1; r <= form.Terminal->Rows(); ++r)
      if (const std::string row = Row(form, r); !row.empty()) screen += "|" + row + "|\n";
    return screen;
  }
  // A picture of the window for the eye, when HRVX3300_TEST_SCREENS names a folder.
  void Picture(TTermForm& form, const char* name) {
    if (const char* folder = getenv("HRVX3300_TEST_SCREENS")) form.grab().save(QString("%1/%2.png").arg(folder, name));
  }

  int FarMaster = -1, FarSlave = -1;
  pid_t Shell = -1;
  std::unique_ptr<TPtyLine> Wire;
};

}  // namespace

// sz at the prompt, then a command: the transfer ends with the session,
// whether or not sz sends its closing "OO", and what the shell prints next
// is on the screen at once; the keys reach the shell again.
TEST_F(TermShellTest, AfterSzTheShellsOutputAndTheKeysAreBack) {
  TTermForm form;
  ASSERT_NO_FATAL_FAILURE(StartShell(form));
  const std::string data = Binary(200000, 5);
  WriteAll(Dir / "far/f.bin", data);
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    form.Terminal->ClearScreen();
    const std::string mark = "MARK" + std::to_string(round);
    Type(form, QString::fromStdString("sz -q f.bin; echo " + mark));
    EXPECT_TRUE(WaitFor([&] { return RowWith(form, mark) > 0; }, 20000)) << Screen(form);
    EXPECT_TRUE(form.TransferResult.startsWith("Received 1 file into")) << form.TransferResult.toStdString();
    EXPECT_FALSE(form.Transferring());
    EXPECT_TRUE(WaitFor([&] { return RowWith(form, "$ ") > RowWith(form, mark); })) << Screen(form);  // the prompt after it
    const std::string key = "KEY" + std::to_string(round);
    Type(form, QString::fromStdString("echo " + key));
    EXPECT_TRUE(WaitFor([&] { return RowWith(form, key) > 0; }, 5000)) << Screen(form);
    const std::string name = round == 1 ? "f.bin" : "f.bin." + std::to_string(round - 1);
    EXPECT_SAME(ReadAll(Dir / "in" / name), data);
  }
  EXPECT_TRUE(Recorder.Messages.isEmpty()) << Recorder.Messages.join("; ").toStdString();
}

// sz killed in the middle of a file: no header of ours goes to the shell
// that is back (it would run it as a command); after two time-outs of
// text the transfer ends with the shell's words, the part file kept, and
// the shell's output on the screen.
TEST_F(TermShellTest, AKilledSzEndsWithTheShellsWordsAndNoHeaderIsRun) {
  TTermForm form;
  ASSERT_NO_FATAL_FAILURE(StartShell(form));
  WriteAll(Dir / "far/big.bin", Binary(64 << 20, 9));
  Type(form, "timeout --foreground -s KILL 1 sz -q big.bin; echo GO\"\"NE");
  ASSERT_TRUE(WaitFor([&] { return form.Transferring(); }, 10000)) << Screen(form);
  EXPECT_TRUE(WaitFor([&] { return !form.Transferring(); }, 40000)) << "still receiving";
  EXPECT_TRUE(form.TransferResult.startsWith("The far end answered with text, not ZMODEM: \""))
      << form.TransferResult.toStdString();
  EXPECT_TRUE(form.TransferResult.contains("sending the file again with resume (sz -r) goes on from there"))
      << form.TransferResult.toStdString();
  EXPECT_TRUE(fs::exists(Dir / "in/big.bin.part"));
  EXPECT_TRUE(WaitFor([&] { return RowWith(form, "GONE", true) > 0; })) << Screen(form);
  Type(form, "echo AFTER");
  EXPECT_TRUE(WaitFor([&] { return RowWith(form, "AFTER") > 0; }, 5000)) << Screen(form);
  EXPECT_EQ(RowsContaining(form, "command not found"), 0) << Screen(form);
}

// Send file › ZMODEM to a board without rz: its "command not found" ends
// the transfer after two time-outs, and it is not fed one start header
// after another.
TEST_F(TermShellTest, ZmodemToABoardWithoutRzStopsWithItsWords) {
  TTermForm form;
  fs::create_directories(Dir / "nothing");
  ASSERT_NO_FATAL_FAILURE(StartShell(form, 0, (Dir / "nothing").string()));
  WriteAll(Dir / "up.bin", Binary(1000, 2));
  form.StartSending(mpZmodem, {(Dir / "up.bin").string()});
  EXPECT_TRUE(WaitFor([&] { return !form.Transferring(); }, 20000)) << "still sending";
  EXPECT_TRUE(form.TransferResult.startsWith("The far end answered with text, not ZMODEM: \""))
      << form.TransferResult.toStdString();
  EXPECT_TRUE(form.TransferResult.contains("command not found")) << form.TransferResult.toStdString();
  // "rz", and the one header that went with it.
  EXPECT_TRUE(WaitFor([&] { return RowsContaining(form, "command not found") == 2; })) << Screen(form);
  Type(form, "echo AFTER");
  EXPECT_TRUE(WaitFor([&] { return RowWith(form, "AFTER") > 0; }, 5000)) << Screen(form);
  EXPECT_EQ(RowsContaining(form, "command not found"), 2) << Screen(form);
}

// Cancel in the middle of a receive: the data still on its way is not
// drawn; once the line is quiet the screen is the shell's again.
TEST_F(TermShellTest, ACancelledReceiveLeavesNoDataOnTheScreen) {
  TTermForm form;
  ASSERT_NO_FATAL_FAILURE(StartShell(form));
  WriteAll(Dir / "far/big.bin", Binary(64 << 20, 11));
  form.Terminal->ClearScreen();
  Type(form, "sz -q big.bin; echo BA\"\"CK");
  ASSERT_TRUE(WaitFor([&] { return form.Transferring(); }, 10000)) << Screen(form);
  QTest::qWait(1000);  // some of the file under way
  form.CancelTransfer();
  EXPECT_TRUE(WaitFor([&] { return RowWith(form, "BACK", true) > 0; }, 20000)) << Screen(form);
  EXPECT_EQ(form.TransferResult.left(10), "Cancelled.");
  Type(form, "echo AFTER");
  EXPECT_TRUE(WaitFor([&] { return RowWith(form, "AFTER") > 0; }, 5000)) << Screen(form);
  Picture(form, "cancelled-receive");
  // The command line, BACK, the prompt, AFTER's line and AFTER, the prompt;
  // the last bytes of data before BACK may look like text (a few at most).
  int rows = 0;
  for (int r = 1; r <= form.Terminal->Rows(); ++r) rows += !Row(form, r).empty();
  EXPECT_LE(rows, 6) << Screen(form);
  EXPECT_LE(Row(form, RowWith(form, "BACK", true)).size(), 12u) << Screen(form);
}

// YMODEM to rb, which hangs up as it exits: a batch whose every file's end
// was confirmed has been sent, the closing block's answer lost or not. A
// hang-up in the middle of a file is a failure that says so.
TEST_F(TermShellTest, AHangUpAfterEveryFileWasConfirmedIsASuccess) {
  const std::string data = Binary(20000, 3);
  WriteAll(Dir / "up.bin", data);
  int farMaster = -1, farSlave = -1;
  ASSERT_TRUE(OpenRawPty(farMaster, farSlave));
  fs::create_directories(Dir / "far");
  const pid_t rb = SpawnPeer({"rb", "-q"}, farSlave, Dir / "far", Dir / "rb.log");
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  form.StartSending(mpYmodem, {(Dir / "up.bin").string()});
  // The wire, until the batch's closing block has gone; rb's answer to it
  // is not passed on, and the line hangs up.
  const std::string closing = std::string("\x01\x00\xff", 3) + std::string(130, '\0');
  std::string toFar;
  bool closed = false;
  const auto relay = [&](int from, int to, std::string* seen) {
    char buffer[4096];
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n <= 0) return;
    if (!seen && closed) return;  // rb's last answer, lost
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(to, buffer + done, std::size_t(n - done));
      if (w > 0) done += w;
      else usleep(1000);
    }
    if (seen) {
      *seen += std::string(buffer, std::size_t(n));
      closed = seen->find(closing) != std::string::npos;
    }
  };
  EXPECT_TRUE(WaitFor([&] {
    relay(Master, farMaster, &toFar);
    relay(farMaster, Master, nullptr);
    return closed;
  }, 20000)) << "the batch was not closed";
  QTest::qWait(100);
  close(Master);  // the hang-up
  Master = -1;
  EXPECT_TRUE(WaitFor([&] { return !form.Transferring() && !form.ComPort.Connected(); }));
  EXPECT_TRUE(form.TransferResult.startsWith("Sent 1 file (the receiver left before it answered the end of the batch"))
      << form.TransferResult.toStdString();
  EXPECT_SAME(ReadAll(Dir / "far/up.bin"), data);
  ASSERT_EQ(Recorder.Messages.size(), 1) << Recorder.Messages.join("; ").toStdString();
  EXPECT_TRUE(Recorder.Messages[0].contains("was lost")) << Recorder.Messages[0].toStdString();
  kill(rb, SIGKILL);
  waitpid(rb, nullptr, 0);
  close(farMaster);
  close(farSlave);
}

TEST_F(TermShellTest, AHangUpInTheMiddleOfAFileFailsSayingSo) {
  WriteAll(Dir / "up.bin", Binary(200000, 4));
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  form.StartSending(mpYmodem, {(Dir / "up.bin").string()});
  ASSERT_EQ(write(Master, "C", 1), 1);  // a receiver begins
  QTest::qWait(200);
  close(Master);
  Master = -1;
  EXPECT_TRUE(WaitFor([&] { return !form.Transferring(); }));
  EXPECT_EQ(form.TransferResult, "The line went away in the middle of the transfer.");
  EXPECT_EQ(Recorder.Messages.size(), 2) << Recorder.Messages.join("; ").toStdString();
}
