// ZMODEM against Debian's lrzsz (sz, rz) on the far end of a
// pseudo-terminal pair, and its frames against hostile and damaged input.
#include "CPort.h"
#include "DeviceServer.h"
#include "LrzszPeer.h"
#include "Zmodem.h"

#include <algorithm>

namespace {

class ZmodemTest : public TransferTest {
protected:
  // Runs the transfer over port until it ends (the peer on the line's far
  // end); the peer's exit status.
  int RunOverPort(TComPort& port, TModemTransfer& transfer, int seconds = 60) {
    transfer.Send = [&](const std::string& bytes) { port.WriteStr(bytes); };
    transfer.OnFinished = [this](bool, const std::string& message) { Message = message; };
    // A read returns once a byte has come, or after 20 ms.
    port.Timeouts().SetReadInterval(-1);
    port.Timeouts().SetReadTotalMultiplier(-1);
    port.Timeouts().SetReadTotalConstant(20);
    transfer.Start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!transfer.Finished() && std::chrono::steady_clock::now() < end) {
      if (!transfer.HasMoreToSend() || port.InputCount() > 0) {
        std::string got;
        port.ReadStr(got, 4096);
        transfer.Received(reinterpret_cast<const std::uint8_t*>(got.data()), got.size());
      }
      transfer.Tick();
    }
    EXPECT_TRUE(transfer.Finished()) << "still running after " << seconds << " s";
    return PeerStatus();
  }
};

// The frames as a sender writes them, for a far end driven by hand.
class TFrames : public TZmodemTransfer {
public:
  using TZmodemTransfer::BinaryHeader;
  using TZmodemTransfer::HexHeader;
  using TZmodemTransfer::Subpacket;
  void SetCrc32(bool on) { FCrc32Out = on; }
  void Start() override {}
  void Tick() override {}
  std::string Data(const std::string& data, char end) {
    return Subpacket(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), std::uint8_t(end));
  }

private:
  void TakeHeader(int, std::uint32_t) override {}
  void TakeData(const std::uint8_t*, std::size_t, std::uint8_t) override {}
  void TakeDamage(const std::string&) override {}
  void TakeCancel() override {}
};

enum { ZRQINIT = 0, ZRINIT = 1, ZFILE = 4, ZFIN = 8, ZRPOS = 9, ZDATA = 10, ZEOF = 11, ZCOMMAND = 18 };

// Flips one byte of what passes once count bytes have passed, at most
// times times: a burst of noise on the line.
struct TNoise {
  std::size_t Every, Passed = 0;
  int Left;
  void operator()(std::string& bytes) {
    for (char& c : bytes)
      if (++Passed % Every == 0 && Left > 0) {
        c = char(c ^ 0x5A);
        --Left;
      }
  }
};

}  // namespace

TEST_F(ZmodemTest, OursSendsToRzEveryByteTenMebibytesAndEscapedWhenAsked) {
  const std::string small = Binary(3000, 21), big = Binary(10 << 20, 22);
  WriteAll(Dir / "near/small.bin", small);
  WriteAll(Dir / "near/big.bin", big);
  WriteAll(Dir / "near/empty.bin", "");
  // A batch through the pseudo-terminal as a user has it: rz empties its
  // input as it exits, and its answer to the end may be lost.
  {
    TZmodemSender sender({(Dir / "near/small.bin").string(), (Dir / "near/big.bin").string(),
                          (Dir / "near/empty.bin").string()});
    StartPeer({"rz", "-q"});
    EXPECT_EQ(Run(sender, 120), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(sender.Succeeded()) << Message;
    EXPECT_EQ(Message.rfind("Sent 3 files", 0), 0u) << Message;
    EXPECT_SAME(ReadAll(Dir / "far/small.bin"), small);
    EXPECT_SAME(ReadAll(Dir / "far/big.bin"), big);
    EXPECT_TRUE(fs::exists(Dir / "far/empty.bin"));
    EXPECT_EQ(fs::file_size(Dir / "far/empty.bin"), 0u);
  }
  // rz -e asks for every control character escaped: none goes bare but the
  // hex headers' own line end and XON.
  {
    fs::remove(Dir / "far/small.bin");
    TZmodemSender sender({(Dir / "near/small.bin").string()});
    StartPeer({"rz", "-q", "-e"});
    std::string all;
    EXPECT_EQ(Run(sender, 60, nullptr, &all), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(sender.Succeeded()) << Message;
    EXPECT_SAME(ReadAll(Dir / "far/small.bin"), small);
    std::size_t bare = 0;
    for (char c : all)
      if ((c & 0x60) == 0 && c != 0x18 && c != '\r' && c != char(0x8A) && c != 0x11) ++bare;
    EXPECT_EQ(bare, 0u) << "control characters were sent bare";
  }
}

TEST_F(ZmodemTest, OursReceivesFromSzNamesSafeEscapesReadAndNothingOverwritten) {
  const std::string small = Binary(1000, 23), big = Binary(10 << 20, 24);
  WriteAll(Dir / "far/one.bin", small);
  WriteAll(Dir / "far/big.bin", big);
  WriteAll(Dir / "near/one.bin", "already here");
  {
    TZmodemReceiver receiver((Dir / "near").string());
    StartPeer({"sz", "-q", "one.bin", "big.bin"});
    EXPECT_EQ(Run(receiver, 120), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(receiver.Succeeded()) << Message;
    EXPECT_EQ(Message, "Received 2 files into \"" + (Dir / "near").string() + "\".");
    EXPECT_EQ(ReadAll(Dir / "near/one.bin"), "already here");
    EXPECT_SAME(ReadAll(Dir / "near/one.bin.1"), small);
    EXPECT_SAME(ReadAll(Dir / "near/big.bin"), big);
  }
  // sz -e escapes every control character it sends.
  fs::create_directory(Dir / "escaped");
  {
    TZmodemReceiver receiver((Dir / "escaped").string());
    StartPeer({"sz", "-q", "-e", "one.bin"});
    std::string came;
    Garble = [&](bool sent, std::string& bytes) {
      if (!sent) came += bytes;
    };
    EXPECT_EQ(Run(receiver), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(receiver.Succeeded()) << Message;
    EXPECT_SAME(ReadAll(Dir / "escaped/one.bin"), small);
    EXPECT_EQ(came.find('\x01'), std::string::npos) << "sz -e did not escape";
  }
  for (const auto& entry : fs::directory_iterator(Dir / "near"))
    EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << "left behind: " << entry.path();
}

// Noise damages a subpacket each way: the receiver asks from where it is
// (ZRPOS), the sender goes back, and the files come whole.
TEST_F(ZmodemTest, DamageIsAskedAgainFromTheReceiversPlace) {
  const std::string data = Binary(1 << 20, 25);
  WriteAll(Dir / "far/sent.bin", data);
  WriteAll(Dir / "near/sent.bin", data);
  {
    TZmodemReceiver receiver((Dir / "near").string());
    TNoise noise{150001, 0, 3};
    Garble = [&](bool sent, std::string& bytes) {
      if (!sent) noise(bytes);
    };
    StartPeer({"sz", "-q", "sent.bin"});
    EXPECT_EQ(Run(receiver), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(receiver.Succeeded()) << Message;
    EXPECT_GE(receiver.Errors(), 1);
    EXPECT_SAME(ReadAll(Dir / "near/sent.bin.1"), data);
  }
  fs::remove(Dir / "far/sent.bin");
  {
    TZmodemSender sender({(Dir / "near/sent.bin").string()});
    TNoise noise{150001, 0, 3};
    Garble = [&](bool sent, std::string& bytes) {
      if (sent) noise(bytes);
    };
    StartPeer({"rz", "-q"});
    EXPECT_EQ(Run(sender), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(sender.Succeeded()) << Message;
    EXPECT_GE(sender.Errors(), 1);
    EXPECT_SAME(ReadAll(Dir / "far/sent.bin"), data);
  }
}

// A receive broken off keeps what came; sz -r then sends only the rest.
TEST_F(ZmodemTest, ABrokenReceiveResumesWhereItStopped) {
  const std::string data = Binary(4 << 20, 26);
  WriteAll(Dir / "far/big.bin", data);
  {
    TZmodemReceiver receiver((Dir / "near").string());
    receiver.OnProgress = [&] {
      if (receiver.Done() > (1 << 20)) receiver.Cancel();
    };
    StartPeer({"sz", "-q", "big.bin"});
    EXPECT_NE(Run(receiver), 0);
    EXPECT_FALSE(receiver.Succeeded());
    EXPECT_NE(Message.find("are kept in \"" + (Dir / "near/big.bin.part").string()), std::string::npos) << Message;
  }
  const std::uint64_t kept = fs::file_size(Dir / "near/big.bin.part");
  ASSERT_GT(kept, 1u << 20);
  EXPECT_EQ(ReadAll(Dir / "near/big.bin.part"), data.substr(0, kept));
  {
    TZmodemReceiver receiver((Dir / "near").string());
    std::uint64_t first = ~0ull;
    receiver.OnProgress = [&] { first = std::min<std::uint64_t>(first, receiver.Done()); };
    StartPeer({"sz", "-q", "-r", "big.bin"});
    EXPECT_EQ(Run(receiver), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(receiver.Succeeded()) << Message;
    EXPECT_EQ(first, kept) << "it began again from the start";
    EXPECT_SAME(ReadAll(Dir / "near/big.bin"), data);
    EXPECT_FALSE(fs::exists(Dir / "near/big.bin.part"));
  }
}

TEST_F(ZmodemTest, CancellingStopsEitherEndWithTheReason) {
  const std::string data = Binary(4 << 20, 27);
  WriteAll(Dir / "near/big.bin", data);
  // Ours cancels: rz stops at once and leaves no whole file.
  {
    TZmodemSender sender({(Dir / "near/big.bin").string()});
    sender.OnProgress = [&] {
      if (sender.Done() > (1 << 20)) sender.Cancel();
    };
    StartPeer({"rz", "-q"});
    EXPECT_NE(Run(sender, 20), 0);
    EXPECT_EQ(Message, "Cancelled.");
  }
  // sz is killed half way (it sends no cancel then): the receiver asks
  // again, gives up once its tries are spent, and keeps what came.
  WriteAll(Dir / "far/big.bin", data);
  {
    TZmodemReceiver receiver((Dir / "near").string());
    receiver.BlockTimeoutMs = 100;
    receiver.RetryLimit = 3;
    bool killed = false;
    receiver.OnProgress = [&] {
      if (!killed && receiver.Done() > (1 << 20)) killed = kill(Pid, SIGKILL) == 0;
    };
    StartPeer({"sz", "-q", "big.bin"});
    Run(receiver, 20);
    EXPECT_TRUE(killed);
    EXPECT_EQ(Message.rfind("The sender stopped sending. The ", 0), 0u) << Message;
    EXPECT_TRUE(fs::exists(Dir / "near/big.bin.part"));
  }
  // Nobody answers: each side gives up once its time is over.
  {
    TZmodemSender sender({(Dir / "near/big.bin").string()});
    sender.StartTimeoutMs = 300;
    sender.InitRepeatMs = 100;
    StartPeer({"sleep", "30"});
    Run(sender, 5);
    EXPECT_EQ(Message, "The receiver did not start: no ZRINIT came.");
    TZmodemReceiver receiver((Dir / "near").string());
    receiver.StartTimeoutMs = 300;
    receiver.InitRepeatMs = 100;
    StartPeer({"sleep", "30"});
    Run(receiver, 5);
    EXPECT_EQ(Message, "The sender did not begin.");
  }
}

// Through a device server: ser2net's RFC 2217 port, the line behind it a
// pseudo-terminal pair with lrzsz at its far end.
TEST_F(ZmodemTest, BothWaysThroughSer2net) {
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_TRUE(OpenRawPty(master, slave, name));
  TSer2net server;
  const int tcp = server.Add(name, true);
  ASSERT_TRUE(server.Start()) << "ser2net did not start";
  const std::string data = Binary(1 << 20, 28);
  WriteAll(Dir / "near/up.bin", data);
  WriteAll(Dir / "far/down.bin", data);
  {
    StartPeer({"rz", "-q"});
    TPtyLine wire(master, Master);
    TComPort port;
    port.SetPort("rfc2217://127.0.0.1:" + std::to_string(tcp));
    port.Open();
    TZmodemSender sender({(Dir / "near/up.bin").string()});
    EXPECT_EQ(RunOverPort(port, sender), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(sender.Succeeded()) << Message;
    EXPECT_SAME(ReadAll(Dir / "far/up.bin"), data);
  }
  {
    StartPeer({"sz", "-q", "down.bin"});
    TPtyLine wire(master, Master);
    TComPort port;
    port.SetPort("rfc2217://127.0.0.1:" + std::to_string(tcp));
    port.Open();
    TZmodemReceiver receiver((Dir / "near").string());
    EXPECT_EQ(RunOverPort(port, receiver), 0) << ReadAll(Dir / "peer.log");
    EXPECT_TRUE(receiver.Succeeded()) << Message;
    EXPECT_SAME(ReadAll(Dir / "near/down.bin"), data);
  }
  server.Stop();
  close(master);
  close(slave);
}

// Frames written by hand: what a hostile or broken sender can do gets a
// bounded answer, and both CRC kinds are read.
TEST(Zmodem, HostileFramesAndBothCrcKinds) {
  char dir[] = "/tmp/zmodem-XXXXXX";
  const fs::path folder = mkdtemp(dir);
  for (bool crc32 : {false, true}) {
    TFrames far;
    far.SetCrc32(crc32);
    TZmodemReceiver receiver(folder.string());
    std::string answers, message;
    receiver.Send = [&](const std::string& bytes) { answers += bytes; };
    receiver.OnFinished = [&](bool, const std::string& m) { message = m; };
    const auto feed = [&](const std::string& bytes) {
      receiver.Received(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    };
    receiver.Start();
    EXPECT_NE(answers.find("**\x18" "B01"), std::string::npos);  // ZRINIT
    // A name that climbs out of the folder and carries an escape sequence.
    feed(far.BinaryHeader(ZFILE, 0) + far.Data(std::string("../../x\x1b[2Jy") + '\0' + "5 0", 'k'));
    EXPECT_NE(answers.find("**\x18" "B09"), std::string::npos) << "no ZRPOS";
    // An over-long subpacket and a damaged one are asked again, from 0.
    answers.clear();
    feed(far.BinaryHeader(ZDATA, 0) + std::string(9000, 'a'));
    EXPECT_NE(answers.find("**\x18" "B09"), std::string::npos);
    std::string damaged = far.BinaryHeader(ZDATA, 0) + far.Data("hellx", 'h');
    damaged[damaged.size() - 8] ^= 1;
    feed(damaged);
    EXPECT_EQ(receiver.Done(), 0u);
    feed(far.BinaryHeader(ZDATA, 0) + far.Data("hello", 'h') + far.BinaryHeader(ZEOF, 5));
    feed(far.HexHeader(ZFIN, 0) + "OO");
    EXPECT_TRUE(receiver.Succeeded()) << message;
    EXPECT_EQ(ReadAll(folder / (crc32 ? "x[2Jy.1" : "x[2Jy")), "hello");
    EXPECT_GE(receiver.Errors(), 2);
  }
  // A command is never run; five CANs end the transfer.
  {
    TFrames far;
    TZmodemReceiver receiver(folder.string());
    std::string message;
    receiver.Send = [](const std::string&) {};
    receiver.OnFinished = [&](bool, const std::string& m) { message = m; };
    receiver.Start();
    const std::string command = far.BinaryHeader(ZCOMMAND, 0) + far.Data(std::string("touch pwned") + '\0', 'k');
    receiver.Received(reinterpret_cast<const std::uint8_t*>(command.data()), command.size());
    EXPECT_EQ(message, "The sender asked this computer to run a command: that is refused.");
    TZmodemReceiver cancelled(folder.string());
    cancelled.Send = [](const std::string&) {};
    cancelled.OnFinished = [&](bool, const std::string& m) { message = m; };
    cancelled.Start();
    const std::string cans(5, '\x18');
    cancelled.Received(reinterpret_cast<const std::uint8_t*>(cans.data()), cans.size());
    EXPECT_EQ(message, "The sender cancelled the transfer.");
  }
  fs::remove_all(folder);
}

// Ours to ours: a receiver that does not take CRC-32 gets CRC-16 frames.
TEST(Zmodem, ASenderUsesCrc16WhereTheReceiverAsksForIt) {
  char dir[] = "/tmp/zmodem-XXXXXX";
  const fs::path folder = mkdtemp(dir);
  const std::string data = Binary(100000, 29);
  WriteAll(folder / "a.bin", data);
  fs::create_directory(folder / "in");
  TZmodemSender sender({(folder / "a.bin").string()});
  TZmodemReceiver receiver((folder / "in").string());
  receiver.OfferCrc32 = false;
  std::string toReceiver, toSender;
  sender.Send = [&](const std::string& bytes) { toReceiver += bytes; };
  receiver.Send = [&](const std::string& bytes) { toSender += bytes; };
  receiver.Start();
  sender.Start();
  bool crc32Seen = false;
  for (int i = 0; i < 10000 && !(sender.Finished() && receiver.Finished()); ++i) {
    crc32Seen = crc32Seen || toReceiver.find("*\x18" "C") != std::string::npos;
    receiver.Received(reinterpret_cast<const std::uint8_t*>(toReceiver.data()), toReceiver.size());
    toReceiver.clear();
    sender.Received(reinterpret_cast<const std::uint8_t*>(toSender.data()), toSender.size());
    toSender.clear();
    sender.Tick();
  }
  EXPECT_TRUE(sender.Succeeded());
  EXPECT_TRUE(receiver.Succeeded());
  EXPECT_FALSE(crc32Seen);
  EXPECT_SAME(ReadAll(folder / "in/a.bin"), data);
  fs::remove_all(folder);
}

// The far end's start is found in its bytes however they are cut.
TEST(Zmodem, TheFarEndsStartIsFoundAcrossReads) {
  const std::string sz = std::string("rz\r**\x18") + "B00000000000000\r\x8a\x11";
  const std::string rz = std::string("***\x18") + "B0100000023be50\r\x8a\x11";
  for (std::size_t cut = 0; cut <= sz.size(); ++cut) {
    TZmodemWatch watch;
    TZmodemStart found = watch.Feed(reinterpret_cast<const std::uint8_t*>(sz.data()), cut);
    if (found == zsNone) found = watch.Feed(reinterpret_cast<const std::uint8_t*>(sz.data()) + cut, sz.size() - cut);
    EXPECT_EQ(found, zsFarSends) << cut;
  }
  TZmodemWatch watch;
  EXPECT_EQ(watch.Feed(reinterpret_cast<const std::uint8_t*>(rz.data()), rz.size()), zsFarReceives);
  const std::string text = "a ** b *\x18 c ** B00 d";
  EXPECT_EQ(watch.Feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), zsNone);
}

// What of the far end's bytes is its text: the run after the last data,
// and the line a message quotes.
TEST(Zmodem, TheTextAfterDataAndTheLineAMessageQuotes) {
  EXPECT_EQ(TextTail("\x93\x01\xffGONE\r\n$ "), "GONE\r\n$ ");
  EXPECT_EQ(TextTail("abc\x02" "def"), "def");
  EXPECT_EQ(TextTail("\xe2\x86\x92 $ \x1b[1m\a\t"), "\xe2\x86\x92 $ \x1b[1m\a\t");  // UTF-8, escapes
  EXPECT_EQ(TextTail("ok \xe2\x86"), "ok \xe2\x86");          // a character still coming
  EXPECT_EQ(TextTail("no\xe2\x41 yes"), "A yes");             // a broken one
  EXPECT_EQ(TextTail("$ \x8a"), "$ \x8a");                    // an echoed hex header's line end
  EXPECT_EQ(TextTail(std::string("\0", 1)), "");

  EXPECT_EQ(LastTextLine("x\r\nbash: rz: command not found\r\n\x1b[?2004h$ \x8a"), "bash: rz: command not found");
  EXPECT_EQ(LastTextLine("\x1b]0;title\a  done  \r\n$ "), "done");
  EXPECT_EQ(LastTextLine("$ \r\n$ "), "");
  const std::string arrows = std::string(60, 'a') + std::string(40, ' ') + std::string(30, 'b') + "\xe2\x86\x92\xe2\x86\x92";
  const std::string cut = LastTextLine(arrows);
  EXPECT_EQ(cut.size(), 120u);
  EXPECT_EQ(cut.substr(cut.size() - 3), "...");
  EXPECT_EQ(LastTextLine(std::string(200, 'x') + "\xe2\x86\x92").substr(0, 117), std::string(117, 'x'));
}

// After sz's end the shell's bytes are text at once: the sender's "OO" is
// taken when it comes, in any read, and never waited for; a lone "O" is the
// shell's. After a cancel the data still coming is held until the line is
// quiet, and only the text after it is shown.
TEST(Zmodem, WhatComesAfterTheEnd) {
  char dir[] = "/tmp/zmodem-after-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string zrqinit = "**\x18" "B00000000000000\r\x8a", zfin = "**\x18" "B0800000000022d\r\x8a";
  auto now = std::chrono::steady_clock::now();
  const auto feed = [](TModemTransfer& t, const std::string& bytes) {
    t.Received(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  };
  const auto receiver = [&] {
    auto r = std::make_unique<TZmodemReceiver>(dir);
    r->Now = [&] { return now; };
    r->Send = [](const std::string&) {};
    r->Start();
    return r;
  };
  struct TCase {
    std::vector<std::string> reads;
    std::string shown;
  };
  for (const TCase& c : std::vector<TCase>{
           {{zfin + "OO", "MARK\r\n$ "}, "MARK\r\n$ "},
           {{zfin, "O", "OMARK"}, "MARK"},
           {{zfin + "MARK"}, "MARK"},
           {{zfin, "OK\r\n"}, "OK\r\n"},
           {{zfin + "OOOK"}, "OK"},
           {{zfin + "A\x18\x18\x18\b\bB"}, "AB"},                     // a cancel again
           {{zfin + "OO", "**\x18" "B01"}, "**\x18" "B01"},              // the next start header
           {{zfin + "\x18\x18\x18\x18\x18\b\b\b\b\bMARK"}, "MARK"},
       }) {
    auto r = receiver();
    std::string shown;
    for (const std::string& read : c.reads) {
      if (read == c.reads.front()) feed(*r, zrqinit + read);
      else feed(*r, read);
      shown += r->TakeText();
    }
    EXPECT_TRUE(r->Succeeded());
    EXPECT_EQ(shown, c.shown);
    EXPECT_FALSE(r->Holding());
  }
  // sz nosuchfile: its complaint is the message and is shown, its two
  // cancels are not.
  {
    auto r = receiver();
    std::string said;
    r->OnFinished = [&](bool, const std::string& message) { said = message; };
    const std::string cancel = std::string(10, '\x18') + std::string(10, '\b');
    feed(*r, zrqinit + "\x11sz: cannot open nosuchfile: No such file or directory\n" + cancel +
                 "\r\nCan't open any requested files.\r\n" + cancel + "MARK\r\n$ ");
    EXPECT_EQ(said, "The sender cancelled the transfer: \"sz: cannot open nosuchfile: No such file or directory\".");
    EXPECT_EQ(r->TakeText(), "sz: cannot open nosuchfile: No such file or directory\n\r\nCan't open any requested files.\r\nMARK\r\n$ ");
  }
  // A lone "O" and nothing after it: given back once the closing is over.
  {
    auto r = receiver();
    feed(*r, zrqinit + zfin + "O");
    EXPECT_EQ(r->TakeText(), "");
    EXPECT_TRUE(r->Holding());
    now += std::chrono::milliseconds(r->EndTimeoutMs);
    EXPECT_FALSE(r->Holding());
    EXPECT_EQ(r->TakeText(), "O");
  }
  // Cancelled: data, then the shell; shown once the line has been quiet.
  {
    auto r = receiver();
    r->Cancel();
    feed(*r, std::string("\x01\x93\xff\x18\x18zz\x02", 9) + "\r\n$ ");
    EXPECT_TRUE(r->Holding());
    EXPECT_EQ(r->TakeText(), "");
    now += std::chrono::milliseconds(r->QuietMs);
    EXPECT_FALSE(r->Holding());
    EXPECT_EQ(r->TakeText(), "\r\n$ ");
    feed(*r, "later");
    EXPECT_EQ(r->TakeText(), "later");
  }
  // A sender that streams on never is held back longer than the limit.
  {
    auto r = receiver();
    r->Cancel();
    for (int ms = 0; ms < r->DiscardLimitMs; ms += 100) {
      feed(*r, "\x01\x02");
      now += std::chrono::milliseconds(100);
    }
    EXPECT_FALSE(r->Holding());
  }
  std::filesystem::remove_all(dir);
}
