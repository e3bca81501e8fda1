// A port whose events the UI thread's event loop watches (smThreadSync on
// the UI thread, as the window and the terminal use it), on a pseudo-terminal.
#include "CPort.h"
#include "MessageRecorder.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <unistd.h>

namespace {

int ThreadsCalled(const std::string& name) {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* e = readdir(tasks)) {
    std::string comm;
    std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), comm);
    count += comm == name;
  }
  closedir(tasks);
  return count;
}

}  // namespace

TEST(PortOnTheEventLoop, DeliversWithoutAThreadOnceAtATimeAndGoesOnAfterAnException) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  TMessageRecorder recorder;
  TComPort port;
  port.SetPort(name);
  std::string received;
  int depth = 0, deepest = 0;
  port.OnRxChar = [&](TCustomComPort*, int count) {
    ++depth;
    deepest = std::max(deepest, depth);
    std::string s;
    port.ReadStr(s, count);
    received += s;
    if (s == "wait") {
      // A handler with an event loop of its own, as a message box has: what
      // comes meanwhile waits for it.
      [[maybe_unused]] auto n = write(master, "more", 4);
      QEventLoop loop;
      QTimer::singleShot(100, &loop, &QEventLoop::quit);
      loop.exec();
    }
    --depth;
    if (s == "fail") throw EComPort("handler failed");
  };
  bool lost = false;
  port.OnError = [&](TCustomComPort*, TComErrors errors) { lost = errors.Contains(ceIO); };
  port.Open();
  EXPECT_EQ(ThreadsCalled("ComThread"), 0);

  [[maybe_unused]] auto n = write(master, "wait", 4);
  EXPECT_TRUE(QTest::qWaitFor([&] { return received == "waitmore"; }, 5000)) << received;
  EXPECT_EQ(deepest, 1);

  n = write(master, "fail", 4);
  EXPECT_TRUE(QTest::qWaitFor([&] { return recorder.Messages.size() == 1; }, 5000));
  n = write(master, "!", 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return received == "waitmorefail!"; }, 5000)) << received;
  EXPECT_TRUE(recorder.Messages.value(0).contains("handler failed")) << recorder.Messages.value(0).toStdString();

  close(master);  // the cable is pulled
  EXPECT_TRUE(QTest::qWaitFor([&] { return !port.Connected(); }, 5000));
  EXPECT_TRUE(lost);
  port.OnRxChar = nullptr;
  port.OnError = nullptr;
  close(slave);
}
