// The terminal program's window on a pseudo-terminal pair, the test playing
// the far end.
#include "Registry.h"
#include "TermForm.h"
#include "MessageRecorder.h"

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TermFormTest : public testing::Test {
protected:
  void SetUp() override {
    char dir[] = "/tmp/termform-XXXXXX";
    Dir = mkdtemp(dir);
    TRegistry::SetRootFile(HKEY_CURRENT_USER, (Dir / "registry").string());
    ASSERT_EQ(openpty(&Master, &Slave, Name, nullptr, nullptr), 0);
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
  }
  void TearDown() override {
    TRegistry::SetRootFile(HKEY_CURRENT_USER, "");
    if (Master >= 0) close(Master);
    close(Slave);
    fs::remove_all(Dir);
  }
  template <class F>
  bool WaitFor(F done, int ms = 3000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) QTest::qWait(5);
    return done();
  }
  std::string FarRead() {
    std::string got;
    char buf[256];
    for (ssize_t n; (n = read(Master, buf, sizeof buf)) > 0;) got.append(buf, std::size_t(n));
    return got;
  }
  std::string Row(TTermForm& form, int row) {
    std::string s;
    const TComTermBuffer& grid = form.Terminal->Buffer();
    for (int c = 1; c <= grid.GetLineLength(row); ++c) s += grid.GetChar(c, row).Ch;
    return s;
  }

  fs::path Dir;
  int Master = -1, Slave = -1;
  char Name[256] = {};
  TMessageRecorder Recorder;
};

}  // namespace

TEST_F(TermFormTest, TalksBothWaysAndTheLampsFollow) {
  TTermForm form;
  form.ComPort.SetPort(Name);
  form.ConnectClick();
  ASSERT_TRUE(form.ComPort.Connected());
  EXPECT_TRUE(form.ConnectAction->isChecked());
  EXPECT_EQ(form.Leds[0]->State(), lsOn);  // Conn
  EXPECT_TRUE(form.PortLabel->text().startsWith(QString(Name) + " 115200 8N1"));

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
