// The cases of the device contract; included by a harness after its
// fixture Conformance (Conformance.h).

// The read time-out table of ComDevice.h, one meaning on every device.
TEST_P(Conformance, ReadTimeOutsMeanTheSameOnEveryDevice) {
  std::string got;
  // At once: what the line already holds, even with nobody draining it.
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(MAXDWORD, 0, 0)), 0);
  FarWrite("abc");
  for (const auto until = Clock::now() + std::chrono::seconds(3); got.size() < 3 && Clock::now() < until;) {
    std::string some;
    ASSERT_EQ(Read(some, 10), 0);
    got += some;
  }
  EXPECT_EQ(got, "abc");
  auto start = Clock::now();
  ASSERT_EQ(Read(got, 10), 0);
  EXPECT_EQ(got, "");
  // A first-bytes wait of no time is "at once" as well, never "for ever".
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(MAXDWORD, MAXDWORD, 0)), 0);
  ASSERT_EQ(Read(got, 10), 0);
  EXPECT_EQ(got, "");
  EXPECT_LT(MsSince(start), 1000);
  if (Fake()) NOT_APPLICABLE("the scripted fake has no clock: its reads always return at once");

  // The first bytes end the read; none within the constant ends it empty.
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(MAXDWORD, MAXDWORD, 150)), 0);
  start = Clock::now();
  ASSERT_EQ(Read(got, 10), 0);
  EXPECT_EQ(got, "");
  EXPECT_GE(MsSince(start), 140);
  EXPECT_LT(MsSince(start), 2000);
  std::thread late([this] {
    Pause(50);
    FarWrite("x");
  });
  start = Clock::now();
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(MAXDWORD, MAXDWORD, 5000)), 0);
  ASSERT_EQ(Read(got, 10), 0);
  late.join();
  EXPECT_EQ(got, "x");
  EXPECT_LT(MsSince(start), 4000);

  // A total of M*n + C: 3 bytes at 20 ms each plus 100.
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(0, 20, 100)), 0);
  start = Clock::now();
  ASSERT_EQ(Read(got, 3), 0);
  EXPECT_EQ(got, "");
  EXPECT_GE(MsSince(start), 150);
  EXPECT_LT(MsSince(start), 3000);

  // No time-outs at all: the read waits for its count.
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(0, 0, 0)), 0);
  std::thread slow([this] {
    FarWrite("12");
    Pause(100);
    FarWrite("345");
  });
  ASSERT_EQ(Read(got, 5), 0);
  slow.join();
  EXPECT_EQ(got, "12345");

  // The interval after the first byte ends a read that would wait for more.
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(100, 0, 0)), 0);
  FarWrite("gap");
  start = Clock::now();
  ASSERT_EQ(Read(got, 100), 0);
  EXPECT_EQ(got, "gap");
  EXPECT_LT(MsSince(start), 3000);
}

// A queue that was full once takes in the rest as it is read.
TEST_P(Conformance, ReceptionGoesOnAfterTheQueueWasFull) {
  if (Fake()) NOT_APPLICABLE("the scripted fake has no line to fill its queue from");
  const std::string sent = Pattern(1 << 20, 7);
  ASSERT_EQ(Device->SetCommMask(EV_RXCHAR), 0);
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(MAXDWORD, 0, 0)), 0);
  // An event waiter drains the line into the queue, as the event thread does.
  TComStopEvent stop;
  std::thread waiter([&] {
    std::uint32_t events = 0;
    while (Device->WaitCommEvent(events, &stop, -1) == 0) {
    }
  });
  std::thread farEnd([&] { FarWrite(sent); });
  Pause(200);  // the queue fills before anybody reads
  std::string got;
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (got.size() < sent.size() && Clock::now() < end) {
    std::string some;
    ASSERT_EQ(Read(some, 65536), 0);
    got += some;
    if (some.empty()) Pause(1);
  }
  stop.Set();
  waiter.join();
  farEnd.join();
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent) << "the bytes differ";
}

// Overlapped writes go out by themselves, in the order issued; transmit-
// empty comes when both have gone.
TEST_P(Conformance, WritesGoOutOnTheirOwnInOrder) {
  ASSERT_EQ(Device->SetCommMask(EV_TXEMPTY), 0);
  const std::string first = Pattern(1 << 20, 1), second = "--second write--";
  TComOverlapped a, b;
  int ra = Device->WriteFile(first.data(), std::uint32_t(first.size()), a);
  int rb = Device->WriteFile(second.data(), std::uint32_t(second.size()), b);
  ASSERT_TRUE(ra == 0 || ra == ERROR_IO_PENDING) << ra;
  ASSERT_TRUE(rb == 0 || rb == ERROR_IO_PENDING) << rb;
  // Nobody asks for their results while the far end reads.
  const std::string got = FarRead(first.size() + second.size(), 20000);
  EXPECT_EQ(got.size(), first.size() + second.size());
  EXPECT_TRUE(got == first + second) << "the bytes differ or came out of order";
  EXPECT_EQ(Device->GetOverlappedResult(a, true), 0);
  EXPECT_EQ(Device->GetOverlappedResult(b, true), 0);
  EXPECT_EQ(a.Done, first.size());
  EXPECT_EQ(b.Done, second.size());
  if (Fake()) NOT_APPLICABLE("the scripted fake raises only the events its script gives");
  std::uint32_t events = 0;
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (!(events & EV_TXEMPTY) && Clock::now() < end) {
    std::uint32_t more = 0;
    ASSERT_EQ(Device->WaitCommEvent(more, nullptr, 100), 0);
    events |= more;
  }
  EXPECT_TRUE(events & EV_TXEMPTY);
}

// Transmit-empty never comes while bytes written are still queued.
TEST_P(Conformance, TransmitEmptyWaitsForEveryByte) {
  if (Fake()) NOT_APPLICABLE("the scripted fake raises only the events its script gives");
  ASSERT_EQ(Device->SetCommMask(EV_TXEMPTY), 0);
  const std::string bytes = Pattern(1 << 20, 3);
  TComOverlapped ov;
  const int result = Device->WriteFile(bytes.data(), std::uint32_t(bytes.size()), ov);
  ASSERT_TRUE(result == 0 || result == ERROR_IO_PENDING);
  std::string got;
  std::thread farEnd([&] { got = FarRead(bytes.size(), 20000); });
  // Transmit-empty comes, and only once the write is through.
  std::uint32_t events = 0;
  const auto end = Clock::now() + std::chrono::seconds(30);
  while (!(events & EV_TXEMPTY) && Clock::now() < end) {
    if (Device->WaitCommEvent(events, nullptr, 50) != 0) break;
  }
  EXPECT_TRUE(events & EV_TXEMPTY);
  if (events & EV_TXEMPTY) {
    EXPECT_EQ(Device->GetOverlappedResult(ov, false), 0) << "transmit-empty with the write still under way";
  }
  farEnd.join();
  EXPECT_EQ(got.size(), bytes.size());
  EXPECT_EQ(Device->GetOverlappedResult(ov, true), 0);
}

// A write goes on while a read waits for bytes that do not come, and the
// read is served while the write waits for a line that takes nothing.
TEST_P(Conformance, AReadAndAWriteNeverWaitForEachOther) {
  if (Fake()) NOT_APPLICABLE("the scripted fake's reads never wait and its writes never block");
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(0, 0, 0)), 0);
  char c = 0;
  TComOverlapped ov;
  int read = Device->ReadFile(&c, 1, ov);
  std::atomic<bool> done{read != ERROR_IO_PENDING};
  std::thread reader([&] {
    if (read == ERROR_IO_PENDING) read = Device->GetOverlappedResult(ov, true);
    done = true;
  });
  const std::string big = Pattern(4 << 20, 5);  // more than the line holds while nobody reads
  int written = -1;
  std::thread writer([&] { written = Write(big); });
  EXPECT_EQ(FarRead(big.size(), 20000).size(), big.size()) << "the write waited for the read";
  writer.join();
  EXPECT_EQ(written, 0);
  FarWrite("x");
  for (const auto end = Clock::now() + std::chrono::seconds(5); !done && Clock::now() < end;) Pause(1);
  EXPECT_TRUE(done) << "the read did not get its byte";
  if (!done) Device->Close();  // ends the read
  reader.join();
  EXPECT_EQ(read, 0);
  EXPECT_EQ(c, 'x');
}

// Two threads writing at once: each write reaches the line whole.
TEST_P(Conformance, ConcurrentWritesNeverInterleave) {
  const std::size_t size = 256 * 1024;
  const std::string a(size, 'A'), b(size, 'B');
  std::thread one([&] { EXPECT_EQ(Write(a), 0); });
  std::thread two([&] { EXPECT_EQ(Write(b), 0); });
  const std::string got = FarRead(2 * size, 20000);
  one.join();
  two.join();
  ASSERT_EQ(got.size(), 2 * size);
  EXPECT_TRUE(got == a + b || got == b + a) << "the writes interleaved";
}

// Once the line has gone every read, write and wait fails, within moments.
TEST_P(Conformance, ALostLineFailsReadsWritesAndWaits) {
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(MAXDWORD, MAXDWORD, 200)), 0);
  ASSERT_EQ(Device->SetCommMask(EV_RXCHAR), 0);
  LoseLine();
  const auto end = Clock::now() + std::chrono::seconds(10);
  std::string got;
  int read = 0;
  while ((read = Read(got, 16)) == 0 && Clock::now() < end) {
  }
  EXPECT_NE(read, 0) << "reads still succeed after the line went";
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(MAXDWORD, 0, 0)), 0);
  EXPECT_NE(Read(got, 16), 0) << "a read that returns at once reads nothing instead of failing";
  EXPECT_NE(Write("after"), 0);
  std::uint32_t events = 0;
  EXPECT_NE(Device->WaitCommEvent(events, nullptr, 100), 0);
}

// A closed device fails every call rather than reading nothing.
TEST_P(Conformance, AClosedDeviceFailsEveryCall) {
  ASSERT_EQ(Device->Close(), 0);
  std::string got;
  EXPECT_NE(Read(got, 1), 0);
  EXPECT_NE(Write("x"), 0);
  std::uint32_t events = 0;
  EXPECT_NE(Device->WaitCommEvent(events, nullptr, 10), 0);
  EXPECT_NE(Device->PurgeComm(PURGE_RXCLEAR), 0);
}

// Closing the device ends an event wait under way, without events.
TEST_P(Conformance, CloseEndsAnEventWait) {
  ASSERT_EQ(Device->SetCommMask(EV_RXCHAR), 0);  // nothing comes
  std::atomic<bool> done{false};
  int result = 0;
  std::thread waiter([&] {
    std::uint32_t events = 0;
    result = Device->WaitCommEvent(events, nullptr, -1);
    done = true;
  });
  Pause(50);  // the wait is under way
  Device->Close();
  for (const auto end = Clock::now() + std::chrono::seconds(5); !done && Clock::now() < end;) Pause(1);
  if (!done) {
    waiter.detach();  // it waits for ever: the test fails, the program goes on
    FAIL() << "the event wait went on after the device was closed";
  }
  waiter.join();
  EXPECT_NE(result, 0);
}

// A purge and a close end the read under way.
TEST_P(Conformance, PurgeAndCloseAbortAPendingRead) {
  if (Fake()) NOT_APPLICABLE("the scripted fake's reads never wait");
  ASSERT_EQ(Device->SetCommTimeouts(ReadTimeouts(0, 0, 0)), 0);
  for (bool close : {false, true}) {
    char buffer[8];
    TComOverlapped ov;
    ASSERT_EQ(Device->ReadFile(buffer, sizeof buffer, ov), ERROR_IO_PENDING);
    std::thread abort([&] {
      Pause(50);
      if (close)
        Device->Close();
      else
        Device->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR);
    });
    EXPECT_EQ(Device->GetOverlappedResult(ov, true), ERROR_OPERATION_ABORTED) << (close ? "close" : "purge");
    abort.join();
  }
}

// Line controls are taken by every device; the modem lines read back where
// the device has them.
TEST_P(Conformance, LineControlsAndModemLines) {
  for (std::uint32_t control : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
    EXPECT_EQ(Device->EscapeCommFunction(control), 0) << control;
  std::uint32_t status = 0;
  ASSERT_EQ(Device->GetCommModemStatus(status), 0);
  if (const std::string why = NoModemLines(); !why.empty()) NOT_APPLICABLE(why);
  SetFarModemLines(MS_CTS_ON | MS_RLSD_ON);
  ASSERT_EQ(Device->GetCommModemStatus(status), 0);
  EXPECT_EQ(status, std::uint32_t(MS_CTS_ON | MS_RLSD_ON));
}
