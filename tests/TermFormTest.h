// The terminal program's window on a pseudo-terminal pair, the test playing
// the far end: the fixture its tests share.
#pragma once

#include "LrzszPeer.h"
#include "Registry.h"
#include "TermForm.h"
#include "CPortTermVT102.h"
#include "MessageRecorder.h"

#include <QElapsedTimer>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

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

  std::string Monitored(TTermForm& form) {
    std::string rows;
    for (std::size_t i = 0; i < form.Monitor->RowCount(); ++i) rows += form.Monitor->RowText(i).substr(12) + "\n";
    return rows;
  }

  // The terminal on the line's host behind a server's RFC 2217 port: what
  // the host prints shows, what is typed arrives, Break goes, and a stopped
  // server is a lost port opened again once the server is back.
  template <class TServer>
  void HostBehind(TServer& server, int port) {
    ASSERT_TRUE(server.Start()) << "the device server did not start";
    TTermForm form;
    form.ComPort.SetPort("rfc2217://127.0.0.1:" + std::to_string(port));
    form.ConnectClick();
    ASSERT_TRUE(form.ComPort.Connected());
    ASSERT_EQ(write(Master, "login: ", 7), 7);
    EXPECT_TRUE(WaitFor([&] { return Row(form, 1) == "login: "; }));
    form.Terminal->setFocus();
    QTest::keyClicks(form.Terminal, "root");
    QTest::keyClick(form.Terminal, Qt::Key_Return);
    std::string typed;
    EXPECT_TRUE(WaitFor([&] { return (typed += FarRead()) == "root\r"; }));
    form.BreakMs = 20;
    form.SendBreak();  // a pseudo-terminal shows nothing of it; the port stays up
    EXPECT_TRUE(WaitFor([&] { return form.statusBar()->currentMessage().startsWith("Break sent"); }));
    EXPECT_TRUE(form.ComPort.Connected());

    server.Stop();
    ASSERT_TRUE(WaitFor([&] { return !form.ComPort.Connected(); }));
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(WaitFor([&] { return form.ComPort.Connected(); }, 8000));
    EXPECT_TRUE(form.statusBar()->currentMessage().startsWith("Reconnected to rfc2217://127.0.0.1:"));
    form.ComPort.Close();
  }

  fs::path Dir;
  int Master = -1, Slave = -1;
  char Name[256] = {};
  TMessageRecorder Recorder;
};
