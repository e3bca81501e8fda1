// The port on real pseudo-terminal pairs: the test plays the far end on the
// master side.
#include "FakeComDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

unsigned Termios2OutputSpeed(int fd);
unsigned Termios2InputSpeed(int fd);

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class PtyPortTest : public testing::Test {
protected:
  void SetUp() override {
    SetMainThread();
    char name[256];
    ASSERT_EQ(openpty(&Master, &Slave, name, nullptr, nullptr), 0);
    Path = name;
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
    Port.SetPort(Path);
  }
  void TearDown() override {
    Port.OnRxChar = nullptr;
    Port.OnBeforeOpen = Port.OnAfterOpen = nullptr;
    Port.Close();
    if (Master >= 0) close(Master);
    close(Slave);  // kept open by the test only to read the line settings
  }

  void FarWrite(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(Master, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += std::size_t(n);
      } else {
        pollfd p{Master, POLLOUT, 0};
        poll(&p, 1, 10);
        CheckSynchronize();  // let the port's reader drain the line
      }
    }
  }

  std::string FarRead(std::size_t count, int timeoutMs = 3000) {
    std::string got;
    const auto start = Clock::now();
    while (got.size() < count && ElapsedMs(start) < timeoutMs) {
      char buf[4096];
      const ssize_t n = read(Master, buf, sizeof buf);
      if (n > 0) {
        got.append(buf, std::size_t(n));
      } else {
        pollfd p{Master, POLLIN, 0};
        poll(&p, 1, 10);
      }
    }
    return got;
  }

  termios SlaveTermios() {
    termios t{};
    tcgetattr(Slave, &t);
    return t;
  }

  int Master = -1;
  int Slave = -1;
  std::string Path;
  TComPort Port;
};

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = char(i * 7 % 251);
  return s;
}

double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

}  // namespace

TEST_F(PtyPortTest, EveryByteArrivesOnceAndInOrderBothWays) {
  std::string received;
  int counted = 0, events = 0;
  Port.OnRxChar = [&](TCustomComPort*, int count) {
    ASSERT_GT(count, 0);
    std::string s;
    EXPECT_EQ(Port.ReadStr(s, count), count);
    received += s;
    counted += count;
    ++events;
  };
  Port.SetBaudRate(br115200);
  Port.Open();
  const std::string in = Pattern(200000);
  std::thread far([&] {
    for (std::size_t i = 0; i < in.size(); i += 777) {
      const std::string chunk = in.substr(i, 777);
      std::size_t done = 0;
      while (done < chunk.size()) {
        const ssize_t n = write(Master, chunk.data() + done, chunk.size() - done);
        if (n > 0) done += std::size_t(n);
        else std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
  });
  EXPECT_TRUE(PumpUntil([&] { return received.size() >= in.size(); }, 10000)) << received.size() << " of " << in.size();
  far.join();
  EXPECT_EQ(received.size(), in.size());
  EXPECT_TRUE(received == in);
  EXPECT_EQ(counted, int(in.size()));
  EXPECT_GT(events, 0);

  const std::string out = Pattern(5000);
  EXPECT_EQ(Port.WriteStr(out), 5000);
  EXPECT_EQ(Port.Write("\x00\xFF", 2), 2);
  EXPECT_TRUE(FarRead(5002) == out + std::string("\x00\xFF", 2));
}

TEST_F(PtyPortTest, LineSettingsReachTheTerminal) {
  Port.SetBaudRate(br115200);
  Port.SetStopBits(sbTwoStopBits);
  Port.FlowControl().SetFlowControl(fcHardware);
  Port.Open();
  termios t = SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE((t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  Port.FlowControl().SetFlowControl(fcSoftware);
  t = SlaveTermios();
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 17);
  EXPECT_EQ(t.c_cc[VSTOP], 19);

  // A rate outside the table goes through termios2.
  Port.SetCustomBaudRate(250000);
  Port.SetBaudRate(brCustom);
  EXPECT_EQ(Termios2OutputSpeed(Slave), 250000u);
  EXPECT_EQ(Termios2InputSpeed(Slave), 250000u);
  // ...and back to a table rate in both directions.
  Port.SetBaudRate(br57600);
  EXPECT_EQ(Termios2OutputSpeed(Slave), 57600u);
  EXPECT_EQ(Termios2InputSpeed(Slave), 57600u);

  // A virtual port keeps 8 data bits without parity, and says nothing.
  EXPECT_NO_THROW(Port.SetDataBits(dbSeven));
  EXPECT_NO_THROW(Port.Parity().SetBits(prEven));
  t = SlaveTermios();
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
  // ...and no modem lines: they read as off, and setting them is skipped.
  EXPECT_TRUE(Port.Signals().Empty());
  EXPECT_NO_THROW(Port.SetDTR(true));
  EXPECT_NO_THROW(Port.SetRTS(false));
  EXPECT_TRUE(Port.LastErrors().Empty());
}

TEST_F(PtyPortTest, EachGroupIsAppliedOnceAtTheEndOfAnUpdate) {
  // With packet mode on the master and EXTPROC on the slave, the far end
  // hears of every change of the line settings.
  termios t = SlaveTermios();
  t.c_lflag |= EXTPROC;
  tcsetattr(Slave, TCSANOW, &t);
  int on = 1;
  ASSERT_EQ(ioctl(Master, TIOCPKT, &on), 0);
  const auto settingsChanged = [&] {
    bool changed = false;
    pollfd p{Master, POLLIN, 0};
    while (poll(&p, 1, 30) == 1) {
      char buf[256];
      const ssize_t n = read(Master, buf, sizeof buf);
      if (n <= 0) break;
      if (buf[0] & TIOCPKT_IOCTL) changed = true;
    }
    return changed;
  };
  settingsChanged();
  Port.Open();
  EXPECT_TRUE(settingsChanged());
  Port.BeginUpdate();
  Port.SetBaudRate(br57600);
  Port.SetDataBits(dbSeven);
  Port.SetStopBits(sbTwoStopBits);
  Port.FlowControl().SetXonXoffIn(true);
  Port.Timeouts().SetReadTotalConstant(10);
  EXPECT_FALSE(settingsChanged());
  Port.EndUpdate();
  EXPECT_TRUE(settingsChanged());
  EXPECT_EQ(cfgetospeed(&(t = SlaveTermios())), speed_t(B57600));
  Port.SetBaudRate(br57600);  // no change, no call
  EXPECT_FALSE(settingsChanged());
  Port.SetBaudRate(br9600);
  EXPECT_TRUE(settingsChanged());
}

TEST_F(PtyPortTest, ReadTimeouts) {
  Port.SetEvents({});
  Port.Open();
  // Defaults: a read returns at once with what is queued, even nothing.
  char buffer[16];
  auto start = Clock::now();
  EXPECT_EQ(Port.Read(buffer, 16), 0);
  EXPECT_EQ(std::uint8_t(buffer[0]), 0xFF);
  EXPECT_LT(ElapsedMs(start), 150);  // at once, not after a time-out
  std::string s = "untouched";
  EXPECT_EQ(Port.ReadStr(s, 0), 0);
  EXPECT_EQ(s, "");
  FarWrite("abcd");
  PumpUntil([&] { return Port.InputCount() == 4; });
  EXPECT_EQ(Port.ReadStr(s, 10), 4);
  EXPECT_EQ(s, "abcd");

  // A total time-out of 200 ms waits that long for bytes that do not come,
  // and gives what came by then.
  Port.Timeouts().SetReadInterval(0);
  Port.Timeouts().SetReadTotalConstant(200);
  start = Clock::now();
  EXPECT_EQ(Port.Read(buffer, 10), 0);
  EXPECT_GE(ElapsedMs(start), 190);
  FarWrite("xyz");
  start = Clock::now();
  EXPECT_EQ(Port.ReadStr(s, 10), 3);
  EXPECT_GE(ElapsedMs(start), 190);
  EXPECT_EQ(s, "xyz");

  // Waiting for one event without the thread: a time-out gives no events;
  // a byte that comes while it waits is the event.
  TComEvents events{evRxChar};
  start = Clock::now();
  Port.WaitForEvent(events, nullptr, 100);
  EXPECT_TRUE(events.Empty());
  EXPECT_GE(ElapsedMs(start), 90);
  std::atomic<bool> waited{false};
  std::thread far([&] {
    // Until the wait has seen one: a byte sent before it began is no event.
    while (!waited) {
      [[maybe_unused]] auto n = write(Master, "!", 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  events = {evRxChar};
  Port.WaitForEvent(events, nullptr, 10000);
  waited = true;
  far.join();
  EXPECT_EQ(events, TComEvents({evRxChar}));
}

TEST_F(PtyPortTest, ClosingAndClearingDiscardQueuedBytes) {
  Port.Open();  // events on, but no handler reads
  FarWrite("queued");
  ASSERT_TRUE(PumpUntil([&] { return Port.InputCount() == 6; }));
  Port.Close();
  Port.Open();
  EXPECT_EQ(Port.InputCount(), 0);
  FarWrite("more");
  ASSERT_TRUE(PumpUntil([&] { return Port.InputCount() == 4; }));
  Port.ClearBuffer(true, false);
  EXPECT_EQ(Port.InputCount(), 0);
}

TEST_F(PtyPortTest, APortIsOpenedByOneUserOnly) {
  Port.Open();
  TComPort second;
  second.SetPort(Path);
  try {
    second.Open();
    FAIL();
  } catch (const EComPortExt& e) {
    EXPECT_EQ(e.PortErrorCode, 1);
    EXPECT_NE(e.OsErrorCode, 0);
    EXPECT_EQ(std::string(e.what()), "COM Port Error: Unable to open com port on " + Path);
  }
  EXPECT_FALSE(second.Connected());
  Port.Close();
  EXPECT_NO_THROW(second.Open());  // released on close
}

TEST_F(PtyPortTest, AMissingPortFailsToOpen) {
  std::vector<std::string> log;
  Port.OnBeforeOpen = [&](TCustomComPort*) { log.push_back("BeforeOpen"); };
  Port.OnAfterOpen = [&](TCustomComPort*) { log.push_back("AfterOpen"); };
  Port.SetPort("/dev/no-such-tty");
  try {
    Port.Open();
    FAIL();
  } catch (const EComPortExt& e) {
    EXPECT_EQ(e.PortErrorCode, 1);
    EXPECT_EQ(e.OsErrorCode, ENOENT);
  }
  EXPECT_FALSE(Port.Connected());
  EXPECT_EQ(log, std::vector<std::string>{"BeforeOpen"});
}

TEST_F(PtyPortTest, AVanishedDeviceClosesThePortAndSaysWhy) {
  std::string received;
  std::vector<std::string> log;
  Port.OnRxChar = [&](TCustomComPort*, int count) {
    std::string s;
    Port.ReadStr(s, count);
    received += s;
  };
  Port.OnError = [&](TCustomComPort*, TComErrors errors) { log.push_back("error " + ComErrorsToStr(errors)); };
  Port.OnAfterClose = [&](TCustomComPort*) { log.push_back("after close"); };
  TComLink link;
  link.OnConn = [&](TCustomComPort*, bool on) { log.push_back(on ? "conn on" : "conn off"); };
  Port.RegisterLink(&link);
  Port.Open();
  FarWrite("last words");
  ASSERT_TRUE(PumpUntil([&] { return received == "last words"; }));
  close(Master);  // the cable is pulled
  Master = -1;
  ASSERT_TRUE(PumpUntil([&] { return !Port.Connected(); }, 3000));
  EXPECT_EQ(log, (std::vector<std::string>{"conn on", "error <ComError:IO>", "conn off", "after close"}));
  // Nothing spins once it is over.
  const double before = ProcessCpuMs();
  for (int i = 0; i < 30; ++i) CheckSynchronize(10);
  EXPECT_LT(ProcessCpuMs() - before, 30.0) << "CPU time over 300 ms after the hang-up";
  try {
    Port.Write("x", 1);
    FAIL();
  } catch (const EComPortExt& e) {
    EXPECT_EQ(e.PortErrorCode, 2);
  }
  Port.OnError = nullptr;
  Port.OnAfterClose = nullptr;
  Port.UnRegisterLink(&link);
}

// Without events nobody watches the line: reads say that it went, at once,
// instead of reading nothing for ever.
TEST_F(PtyPortTest, WithEventsOffReadsSayTheLineWent) {
  Port.SetEvents({});
  Port.Timeouts().SetReadInterval(-1);
  Port.Timeouts().SetReadTotalMultiplier(-1);
  Port.Timeouts().SetReadTotalConstant(200);
  Port.Open();
  FarWrite("abc");
  std::string s;
  Port.ReadStr(s, 3);
  EXPECT_EQ(s, "abc");
  close(Master);
  Master = -1;
  const auto start = Clock::now();
  try {
    for (;;) {
      Port.ReadStr(s, 10);
      ASSERT_LT(ElapsedMs(start), 1000) << "reads of nothing went on after the line went";
    }
  } catch (const EComPortExt& e) {
    EXPECT_EQ(e.PortErrorCode, 3);  // a read failed
  }
}

TEST_F(PtyPortTest, BytesReadBesideTheEventThreadNeverHideLaterOnes) {
  // The application reads on its own while bytes arrive; a byte that comes
  // after it stopped must still be reported.
  int reported = 0;
  Port.OnRxChar = [&](TCustomComPort*, int count) { reported += count; };
  Port.Open();
  for (int round = 0; round < 100; ++round) {
    std::thread far([&] {
      for (int i = 0; i < 20; ++i) {
        [[maybe_unused]] auto n = write(Master, "abcdefgh", 8);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });
    char buffer[64];
    const auto until = Clock::now() + std::chrono::milliseconds(3);
    while (Clock::now() < until) {
      Port.Read(buffer, 3);
      if (round % 2) Port.ClearBuffer(true, false);
    }
    far.join();
    while (Port.Read(buffer, sizeof buffer) > 0) {
    }
    CheckSynchronize();
    reported = 0;
    FarWrite("Z");
    ASSERT_TRUE(PumpUntil([&] { return reported > 0; }, 2000)) << "round " << round;
    Port.Read(buffer, sizeof buffer);
  }
}

TEST_F(PtyPortTest, WritesGiveUpAtTheirTimeoutWithWhatWentOut) {
  Port.SetEvents({});
  Port.Timeouts().SetWriteTotalMultiplier(0);
  Port.Timeouts().SetWriteTotalConstant(200);
  Port.Open();
  // Nobody reads the far end, so the line fills up.
  const std::string big(4 << 20, 'w');
  const auto start = Clock::now();
  const int written = Port.WriteStr(big);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, int(big.size()));
  EXPECT_GE(ElapsedMs(start), 190);
  EXPECT_LT(ElapsedMs(start), 2000);
  EXPECT_TRUE(Port.Connected());
}

TEST_F(PtyPortTest, PendingReadsAreServedInTheOrderIssued) {
  Port.SetEvents({});
  Port.Timeouts().SetReadInterval(0);
  Port.Timeouts().SetReadTotalConstant(3000);
  Port.Open();
  PCPortAsync first = nullptr;
  CportInitAsync(first);
  std::string a;
  EXPECT_EQ(Port.ReadStrAsync(a, 3, first), 0);  // nothing there yet: pending
  FarWrite("abcdef");
  std::string b;
  EXPECT_EQ(Port.ReadStr(b, 3), 3);  // issued later: the later bytes
  EXPECT_EQ(b, "def");
  EXPECT_EQ(Port.WaitForAsync(first), 3);
  EXPECT_EQ(a, "abc");
  // A record that goes while its read is pending leaves nothing behind: the
  // bytes that come next wait in the queue.
  EXPECT_EQ(Port.ReadStrAsync(a, 3, first), 0);
  CportDoneAsync(first);
  FarWrite("ghi");
  EXPECT_TRUE(PumpUntil([&] { return Port.InputCount() == 3; }));
}

TEST_F(PtyPortTest, CloseEndsReadsAndWritesThatOtherThreadsHaveUnderWay) {
  // Nothing comes from the far end and nobody reads it: a reader and a
  // writer on other threads wait on the line for their 20 s time-outs.
  Port.SetEvents({});
  Port.Timeouts().SetReadInterval(0);
  Port.Timeouts().SetReadTotalConstant(20000);
  Port.Timeouts().SetWriteTotalMultiplier(0);
  Port.Timeouts().SetWriteTotalConstant(20000);
  Port.Open();
  const auto onOtherThread = [&](std::function<void()> io) {
    return std::thread([io] {
      try {
        io();
      } catch (const EComPortExt& e) {
        EXPECT_TRUE(e.PortErrorCode == 2 || e.PortErrorCode == 3) << e.what();
      }
    });
  };
  std::thread reader = onOtherThread([&] {
    char buffer[16];
    Port.Read(buffer, 16);
  });
  std::thread writer = onOtherThread([&] { Port.WriteStr(std::string(1 << 20, 'w')); });
  PumpUntil([&] {
    int queued = 0;
    return ioctl(Master, FIONREAD, &queued) == 0 && queued > 0;  // the writer is under way
  });
  const auto start = Clock::now();
  Port.Close();
  reader.join();
  writer.join();
  EXPECT_LT(ElapsedMs(start), 5000);

  // A purge wakes a blocked writer at once, without a time-out to end it.
  Port.Timeouts().SetWriteTotalConstant(0);
  Port.Open();
  FarRead(1 << 20, 200);
  std::atomic<long> endedAfterMs{-1};
  std::atomic<bool> purged{false};
  Clock::time_point purgedAt;
  std::thread blocked([&] {
    try {
      Port.WriteStr(std::string(1 << 20, 'w'));
    } catch (const EComPortExt&) {
    }
    while (!purged) std::this_thread::yield();
    endedAfterMs = ElapsedMs(purgedAt);
  });
  PumpUntil([&] {
    int queued = 0;
    return ioctl(Master, FIONREAD, &queued) == 0 && queued > 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it settle into its wait (it ends either way)
  purgedAt = Clock::now();
  purged = true;
  Port.AbortAllAsync();
  blocked.join();
  EXPECT_LT(endedAfterMs, 500);  // it used to look again once a second
}

TEST_F(PtyPortTest, WithoutOverlappedIoAWriteSaysWhatWentOutAndRaisesErrors) {
  Port.SetOverlapped(false);
  Port.Timeouts().SetWriteTotalMultiplier(0);
  Port.Timeouts().SetWriteTotalConstant(200);
  Port.Open();
  const int written = Port.WriteStr(std::string(1 << 20, 'w'));
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 1 << 20);
  EXPECT_EQ(FarRead(std::size_t(written) + 1, 300).size(), std::size_t(written));
  close(Master);  // the cable is pulled
  Master = -1;
  try {
    Port.Write("x", 1);
    ADD_FAILURE() << "no error";
  } catch (const EComPortExt& e) {
    EXPECT_EQ(e.PortErrorCode, 2);
  }
}

TEST_F(PtyPortTest, AWorkerThreadClosesAndReopensThePortItOwns) {
  // The test's thread is the UI thread; a worker owns a port of its own, as
  // the command line's workers do.
  bool closed = false, reopened = false;
  std::string error;
  std::thread worker([&] {
    try {
      TComPort port;
      port.SetPort(Path);
      port.SetEvents({});
      port.Open();
      port.Close();
      closed = !port.Connected();
      port.Open();
      reopened = port.Connected();
    } catch (const std::exception& e) {
      error = e.what();
    }
  });
  worker.join();
  EXPECT_TRUE(closed);
  EXPECT_TRUE(reopened) << error;
}

TEST_F(PtyPortTest, ACustomRateNeverRunsTheLineAtAnotherSpeed) {
  // A spy reads the line's speed while the settings change again and again.
  Port.SetCustomBaudRate(250000);
  Port.SetBaudRate(brCustom);
  Port.Open();
  std::atomic<bool> done{false};
  std::atomic<unsigned> other{0};
  std::thread spy([&] {
    while (!done)
      if (const unsigned speed = Termios2OutputSpeed(Slave); speed != 250000) other = speed;
  });
  for (int i = 0; i < 500; ++i) Port.SetEventChar(char(i % 2));
  done = true;
  spy.join();
  EXPECT_EQ(other, 0u);
}

TEST_F(PtyPortTest, APendingStringReadKeepsItsBufferUntilItCompletes) {
  Port.SetEvents({});
  Port.Timeouts().SetReadInterval(0);
  Port.Timeouts().SetReadTotalConstant(2000);
  Port.Open();
  PCPortAsync async = nullptr;
  CportInitAsync(async);
  std::string s = "old";
  EXPECT_EQ(Port.ReadStrAsync(s, 3, async), 0);  // nothing there yet: pending
  EXPECT_FALSE(Port.IsAsyncCompleted(async));
  FarWrite("abc");
  EXPECT_EQ(Port.WaitForAsync(async), 3);
  EXPECT_EQ(s, "abc");
  CportDoneAsync(async);
  EXPECT_EQ(async, nullptr);
}

TEST_F(PtyPortTest, TheDeviceQueueRaisesEventCharacterAndDropsNulls) {
  std::string received;
  int flags = 0;
  Port.OnRxChar = [&](TCustomComPort*, int count) {
    std::string s;
    Port.ReadStr(s, count);
    received += s;
  };
  Port.OnRxFlag = [&](TCustomComPort*) { ++flags; };
  Port.SetEventChar('\n');
  Port.SetDiscardNull(true);
  Port.Open();
  FarWrite(std::string("ab\0c\n\xFF", 6));
  ASSERT_TRUE(PumpUntil([&] { return received.size() == 5 && flags > 0; }));
  EXPECT_EQ(received, "abc\n\xFF");  // a pseudo-terminal has no marks: 0xFF is a byte
  Port.OnRxFlag = nullptr;
}

TEST_F(PtyPortTest, LineOptionsAPseudoTerminalLacks) {
  // RTS toggle (RS-485 direction) without the driver's RS-485 mode holds RTS
  // on and says so once; low latency is quietly not there.
  std::vector<std::string> said;
  SetDebugOutput([&](const std::string& text) { said.push_back(text); });
  Port.FlowControl().SetControlRTS(rtsToggle);
  Port.SetLowLatency(true);
  EXPECT_NO_THROW(Port.Open());
  Port.SetBaudRate(br57600);  // the block again: nothing more is said
  SetDebugOutput(nullptr);
  EXPECT_EQ(said, std::vector<std::string>{"RTS toggle: the driver has no RS-485 mode, RTS is held on"});
  Port.Close();

  // The event thread runs at the priority asked for (below normal needs no
  // privilege); with smNone the handler runs on it.
  Port.SetSyncMethod(smNone);
  Port.SetEventThreadPriority(tpLower);
  std::atomic<int> nice{-100};
  Port.OnRxChar = [&](TCustomComPort*, int) { nice = getpriority(PRIO_PROCESS, pid_t(gettid())); };
  Port.Open();
  FarWrite("x");
  const auto start = Clock::now();
  while (nice == -100 && ElapsedMs(start) < 3000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  Port.Close();
  EXPECT_EQ(nice, 5);
}
