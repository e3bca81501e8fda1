// File transfer against lrzsz (Debian's sx, rx, sb and rb) on the far end
// of a pseudo-terminal pair, and the session log.
#include "LrzszPeer.h"
#include "SessionLog.h"

TEST_F(TransferTest, OursSendsToLrzszWithEveryProtocol) {
  const std::string small = Binary(3000, 1), big = Binary(1 << 20, 2);
  WriteAll(Dir / "near/small.bin", small);
  WriteAll(Dir / "near/big.bin", big);

  // YMODEM: a batch of two, names and sizes kept, the 1 MiB one among them,
  // answers and all through the pseudo-terminal as a user has it: rb
  // empties its input as it exits, so the answer to the closing block may
  // be lost. The batch is sent all the same, and nothing more goes to the
  // far end (no cancel sequence into its shell).
  {
    TModemSender sender(mpYmodem, {(Dir / "near/small.bin").string(), (Dir / "near/big.bin").string()});
    StartPeer({"rb", "-q"});
    std::string last;
    EXPECT_EQ(Run(sender, 60, &last), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(sender.Succeeded()) << Message;
    EXPECT_EQ(Message.rfind("Sent 2 files", 0), 0u) << Message;
    EXPECT_EQ(last.find('\x18'), std::string::npos) << "the closing block was followed by CANs";
    EXPECT_SAME(ReadAll(Dir / "far/small.bin"), small);
    EXPECT_SAME(ReadAll(Dir / "far/big.bin"), big);
  }
  // XMODEM in each form: the receiver gets whole blocks, the rest padding.
  for (TModemProtocol protocol : {mpXmodem, mpXmodemCrc, mpXmodem1k}) {
    TModemSender sender(protocol, {(Dir / "near/small.bin").string()});
    fs::remove(Dir / "far/x.bin");
    StartPeer(protocol == mpXmodem ? std::vector<std::string>{"rx", "-q", "x.bin"}
                                   : std::vector<std::string>{"rx", "-q", "-c", "x.bin"},
              true);
    EXPECT_EQ(Run(sender), 0) << ModemProtocolName(protocol) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(sender.Succeeded()) << Message;
    const std::string got = ReadAll(Dir / "far/x.bin");
    EXPECT_SAME(got.substr(0, small.size()), small) << ModemProtocolName(protocol);
    EXPECT_EQ(got.find_first_not_of('\x1a', small.size()), std::string::npos);
  }
}

TEST_F(TransferTest, OursReceivesFromLrzszAndKeepsNamesSafe) {
  const std::string small = Binary(1000, 3), big = Binary(1 << 20, 4);
  WriteAll(Dir / "far/one.bin", small);
  WriteAll(Dir / "far/big.bin", big);
  WriteAll(Dir / "near/one.bin", "already here");
  {
    TModemReceiver receiver(mpYmodem, (Dir / "near").string());
    StartPeer({"sb", "-q", "one.bin", "big.bin"});
    EXPECT_EQ(Run(receiver), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(receiver.Succeeded()) << Message;
    EXPECT_EQ(ReadAll(Dir / "near/one.bin"), "already here");  // never overwritten
    EXPECT_SAME(ReadAll(Dir / "near/one.bin.1"), small);  // exactly its size
    EXPECT_SAME(ReadAll(Dir / "near/big.bin"), big);
  }
  // XMODEM over a file that is there: it stays whole until the new one has
  // come, then is replaced; a sender that never begins leaves it as it was.
  WriteAll(Dir / "near/x.bin", "the old one");
  {
    TModemReceiver receiver(mpXmodemCrc, (Dir / "near/x.bin").string());
    receiver.StartTimeoutMs = 300;
    StartPeer({"sleep", "30"});
    Run(receiver, 5);
    EXPECT_FALSE(receiver.Succeeded());
    EXPECT_EQ(Message, "The sender did not begin.");
  }
  EXPECT_EQ(ReadAll(Dir / "near/x.bin"), "the old one");
  {
    TModemReceiver receiver(mpXmodemCrc, (Dir / "near/x.bin").string());
    StartPeer({"sx", "-q", "-k", "big.bin"});
    EXPECT_EQ(Run(receiver), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(receiver.Succeeded()) << Message;
    EXPECT_SAME(ReadAll(Dir / "near/x.bin"), big);  // 1 MiB: whole blocks, no padding
  }
  EXPECT_FALSE(fs::exists(Dir / "near/x.bin.part")) << "a part file was left behind";
}

TEST_F(TransferTest, SilenceAndCancellingEndWithAReason) {
  // Nobody answers: the sender gives up once its time is over.
  WriteAll(Dir / "near/a.bin", "abc");
  TModemSender sender(mpXmodem1k, {(Dir / "near/a.bin").string()});
  StartPeer({"sleep", "30"});
  sender.StartTimeoutMs = 300;
  Run(sender, 5);
  EXPECT_FALSE(sender.Succeeded());
  EXPECT_EQ(Message, "The receiver did not start: no \"C\" or NAK came.");

  // Cancelled half way: the far end is told (CANs) and stops.
  WriteAll(Dir / "near/big.bin", Binary(1 << 20, 5));
  TModemSender cancelled(mpYmodem, {(Dir / "near/big.bin").string()});
  cancelled.OnProgress = [&] {
    if (cancelled.Done() > 100000) cancelled.Cancel();
  };
  StartPeer({"rb", "-q"});
  EXPECT_NE(Run(cancelled), 0);
  EXPECT_EQ(Message, "Cancelled.");

  // A file that cannot be read is said so before anything is sent.
  TModemSender missing(mpXmodem, {(Dir / "near/none.bin").string()});
  std::string sent;
  missing.Send = [&](const std::string& bytes) { sent += bytes; };
  missing.OnFinished = [&](bool, const std::string& message) { Message = message; };
  missing.Start();
  EXPECT_TRUE(missing.Finished());
  EXPECT_NE(Message.find("Cannot read"), std::string::npos) << Message;
  EXPECT_EQ(sent, "");
}

// A sender driven by hand, on a clock of the test's own.
TEST(ModemReceiver, ACancelMidBlockAndAStuckSenderEndSoon) {
  const auto block = [](std::uint8_t number, char fill) {
    std::string body(128, fill), b = {char(0x01), char(number), char(255 - number)};
    const std::uint16_t crc = ModemCrc(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    return b + body + char(crc >> 8) + char(crc & 0xFF);
  };
  const auto feed = [](TModemReceiver& r, const std::string& bytes) {
    r.Received(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  };
  char dir[] = "/tmp/receiver-XXXXXX";
  const fs::path folder = mkdtemp(dir);
  auto now = std::chrono::steady_clock::now();
  std::string message;
  {
    // CAN CAN into the middle of block 2: cancelled, said so at the next
    // look at the clock, and no part file stays.
    TModemReceiver r(mpXmodemCrc, (folder / "a.bin").string());
    r.Now = [&] { return now; };
    r.OnFinished = [&](bool, const std::string& m) { message = m; };
    r.Start();
    feed(r, block(1, 'x'));
    feed(r, block(2, 'y').substr(0, 60) + std::string(8, '\x18') + std::string(8, '\b'));
    EXPECT_FALSE(r.Finished());
    now += std::chrono::milliseconds(r.BlockTimeoutMs);
    r.Tick();
    EXPECT_TRUE(r.Finished());
    EXPECT_EQ(message, "The sender cancelled the transfer.");
  }
  EXPECT_TRUE(fs::is_empty(folder));
  {
    // The same block over and over: given up after the retry limit.
    TModemReceiver r(mpXmodemCrc, (folder / "b.bin").string());
    r.Now = [&] { return now; };
    r.OnFinished = [&](bool, const std::string& m) { message = m; };
    r.Start();
    feed(r, block(1, 'x'));
    for (int i = 0; i <= r.RetryLimit && !r.Finished(); ++i) feed(r, block(1, 'x'));
    EXPECT_TRUE(r.Finished());
    EXPECT_EQ(message, "The sender sent block 1 again 11 times: it does not take the answers.");
  }
  fs::remove_all(folder);
}

// rb empties its input as it exits: the answer to YMODEM's closing block
// is lost. Every file's end was confirmed, so the batch was sent, and no
// cancel sequence follows the closing block into the far shell.
TEST(ModemSender, TheLostAnswerToTheClosingBlockIsNoFailure) {
  char dir[] = "/tmp/sender-XXXXXX";
  const fs::path folder = mkdtemp(dir);
  WriteAll(folder / "a.bin", "abc");
  auto now = std::chrono::steady_clock::now();
  TModemSender sender(mpYmodem, {(folder / "a.bin").string()});
  sender.Now = [&] { return now; };
  sender.Pause = nullptr;
  std::string sent, message;
  sender.Send = [&](const std::string& bytes) { sent += bytes; };
  sender.OnFinished = [&](bool, const std::string& m) { message = m; };
  const auto answer = [&](const std::string& bytes) {
    sender.Received(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  };
  sender.Start();
  answer("C");       // the header goes
  answer("\x06" "C");  // taken; the data, please
  answer("\x06");    // the block taken: EOT
  answer("\x15\x06"); // EOT refused once, then taken
  sent.clear();
  answer("C");  // the closing block goes; its answer is lost
  ASSERT_EQ(sent.size(), 133u);
  EXPECT_FALSE(sender.Finished());
  now += std::chrono::milliseconds(sender.EndTimeoutMs);
  sender.Tick();
  EXPECT_TRUE(sender.Succeeded()) << message;
  EXPECT_EQ(message.rfind("Sent 1 file (the receiver did not answer the end of the batch", 0), 0u) << message;
  EXPECT_EQ(sent.size(), 133u) << "more went after the closing block";
  fs::remove_all(folder);
}

TEST(SessionLog, PlainTextAsPeopleReadItOrTheRawBytes) {
  char dir[] = "/tmp/sessionlog-XXXXXX";
  const fs::path path = fs::path(mkdtemp(dir)) / "log.txt";
  TSessionLog log;
  log.Clock = [] { return std::string("T "); };
  log.Open(path.string(), true, false);
  const std::string in =
      "\x1b]0;title\x07\x1b[1;31mred\x1b[0m line\r\n"  // sequences go
      "unix line\nold mac line\rprogress\b\b\b\b\b\b\b\bdone\r\n"
      "\x1b[2J\x1b[Htab\there\x07";
  log.Received(reinterpret_cast<const std::uint8_t*>(in.data()), in.size());
  log.Close();
  EXPECT_EQ(ReadAll(path), "T red line\nT unix line\nT old mac line\nT done\nT tab\there\n");

  fs::remove(path);
  log.Open(path.string(), false, true);
  log.Received(reinterpret_cast<const std::uint8_t*>(in.data()), in.size());
  log.Close();
  EXPECT_EQ(ReadAll(path), in);  // raw: exactly what came

  // bash's lone CR after each command (after ESC[?2004l) makes no blank
  // line; a blank line the host sends stays one.
  fs::remove(path);
  log.Open(path.string(), false, false);
  const std::string bash = "$ ls\r\n\x1b[?2004l\rone\r\n\r\ntwo\r\n\x1b[?2004h$ ";
  log.Received(reinterpret_cast<const std::uint8_t*>(bash.data()), bash.size());
  log.Close();
  EXPECT_EQ(ReadAll(path), "$ ls\none\n\ntwo\n$ \n");
  fs::remove_all(path.parent_path());

  // A write that fails ends the log and says why; the session goes on.
  std::string reason;
  log.OnFailed = [&](const std::string& why) { reason = why; };
  log.Open("/dev/full", false, false);
  log.Received(reinterpret_cast<const std::uint8_t*>("a\n"), 2);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(reason, std::strerror(ENOSPC));
}
