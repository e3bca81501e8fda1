// The data packet: its cutting rules through AddData, and bound to a port on
// a pseudo-terminal.
#include "CPortDataPacket.h"
#include "FakeComDevice.h"

#include <gtest/gtest.h>

#include <random>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;
using namespace std::string_literals;

// A packet whose reports are logged as "P:..." and "D:...".
struct TLogged {
  TLogged() {
    Packet.OnPacket = [this](TComDataPacket*, const std::string& s) { Log.push_back("P:" + s); };
    Packet.OnDiscard = [this](TComDataPacket*, const std::string& s) { Log.push_back("D:" + s); };
  }
  Strings Feed(std::initializer_list<std::string> pieces) {
    Log.clear();
    for (const auto& p : pieces) Packet.AddData(p);
    return Log;
  }
  TComDataPacket Packet;
  Strings Log;
};

}  // namespace

TEST(DataPacket, StartAndStopStrings) {
  TLogged t;
  // No stop condition: everything is a packet at once, start string or not.
  t.Packet.SetStartString("$");
  EXPECT_EQ(t.Feed({"abc"}), Strings{"P:abc"});

  t.Packet.SetStopString("*");
  EXPECT_EQ(t.Feed({"xx$12*$3"}), (Strings{"D:xx", "P:12"}));
  EXPECT_EQ(t.Packet.AccumulatedData(), "$3");
  EXPECT_TRUE(t.Packet.InsidePacket());
  EXPECT_EQ(t.Feed({"4*", "$5", "6*"}), (Strings{"P:34", "P:56"}));

  t.Packet.SetIncludeStrings(true);
  EXPECT_EQ(t.Feed({"$12*"}), Strings{"P:$12*"});

  // Changing a string while data is collected discards it.
  t.Packet.SetIncludeStrings(false);
  EXPECT_EQ(t.Feed({"$ab"}), Strings{});
  t.Log.clear();
  t.Packet.SetStopString("#");
  EXPECT_EQ(t.Log, Strings{"D:$ab"});
  EXPECT_FALSE(t.Packet.InsidePacket());

  // A 0 byte is an ordinary byte.
  t.Packet.SetStartString("");
  t.Packet.SetStopString("\r\n");
  EXPECT_EQ(t.Feed({"a\r\n", "b\0c\r\n"s}), (Strings{"P:a", "P:b\0c"s}));
}

TEST(DataPacket, SizesCaseAndLimits) {
  TLogged t;
  t.Packet.SetSize(4);
  EXPECT_EQ(t.Feed({"abcdefghij"}), (Strings{"P:abcd", "P:efgh"}));
  EXPECT_EQ(t.Packet.AccumulatedData(), "ij");

  t.Packet.SetSize(1);
  t.Packet.SetStopString("\r\n");
  EXPECT_EQ(t.Feed({"xy\r"}), (Strings{"P:x", "P:y", "P:\r"}));

  // Still inside the (empty) packet after the last byte: emptying an empty
  // buffer changes nothing, so a new start string finds it that way.
  EXPECT_TRUE(t.Packet.InsidePacket());

  // A stop string that also occurs earlier in a sized packet stays in it.
  t.Packet.SetSize(6);
  t.Packet.SetStopString("!");
  EXPECT_EQ(t.Feed({"a!b!c!"}), Strings{"P:a!b!c!"});

  TLogged u;
  u.Packet.SetStopString("!");
  u.Packet.SetStartString("AB");
  u.Packet.SetMaxBufferSize(0);
  EXPECT_EQ(u.Feed({"ab1!"}), Strings{});  // case matters by default
  u.Packet.SetCaseInsensitive(true);       // (and discards what was collected)
  EXPECT_EQ(u.Feed({"zab1!"}), (Strings{"D:z", "P:1"}));

  // With a limit, data that never starts a packet goes once it reaches it.
  u.Packet.SetMaxBufferSize(8);
  EXPECT_EQ(u.Feed({"1234", "5678", "9"}), Strings{"D:12345678"});
}

TEST(DataPacket, CustomHandlersAndTheirErrors) {
  TLogged t;
  t.Packet.OnCustomStop = [](TComDataPacket*, std::string_view s, int& pos) {
    if (s.size() >= 3) pos = 3;
  };
  EXPECT_EQ(t.Feed({"abcdefg"}), (Strings{"P:abc", "P:def"}));
  // A handler that says -1 leaves it to the size and stop string.
  t.Packet.OnCustomStop = [](TComDataPacket*, std::string_view, int&) {};
  t.Packet.SetStopString(";");
  t.Packet.EmptyBuffer();
  EXPECT_EQ(t.Feed({"x;"}), Strings{"P:x"});
  // A start handler that finds the start discards what comes before it.
  TLogged u;
  u.Packet.SetStopString(";");
  u.Packet.OnCustomStart = [](TComDataPacket*, std::string_view s, int& pos) {
    const auto at = s.find('<');
    pos = at == std::string_view::npos ? 0 : int(at) + 1;
  };
  EXPECT_EQ(u.Feed({"--", "<x;"}), (Strings{"D:--", "P:<x"}));

  // A handler that raises still gets the limit applied; the error goes on.
  t.Packet.OnCustomStart = nullptr;
  t.Packet.SetMaxBufferSize(4);
  t.Packet.OnPacket = [](TComDataPacket*, const std::string&) { throw Exception("handler failed"); };
  EXPECT_THROW(t.Packet.AddData("p;qrstu"), Exception);
  EXPECT_EQ(t.Log.back(), "D:qrstu");
  EXPECT_TRUE(t.Packet.AccumulatedData().empty());
}

TEST(DataPacket, AStopStringSplitAcrossChunksEndsALongPacket) {
  // The stop search goes on where it stopped, so the string's first bytes
  // at the end of one chunk still count.
  TLogged t;
  t.Packet.SetMaxBufferSize(0);
  t.Packet.SetStopString("END");
  const std::string chunk(4096, 'x');
  for (int i = 0; i < 256; ++i) t.Packet.AddData(chunk);
  t.Packet.AddData("EN");
  t.Packet.AddData("D tail");
  ASSERT_EQ(t.Log.size(), 1u);
  EXPECT_EQ(t.Log[0].size(), 2 + 256u * 4096);
  EXPECT_EQ(t.Packet.AccumulatedData(), " tail");
}

TEST(DataPacket, ThePacketsDoNotDependOnHowTheBytesArrive) {
  // A line delivers the same stream in pieces that depend on speed and
  // timing: any chunking gives the packets of the whole.
  struct TRules {
    int Size;
    const char *Start, *Stop;
  };
  const TRules rules[] = {{2, "", "a"}, {3, "$", "*"}, {0, "$", "*"}, {0, "", "ab"}, {4, "", ""}};
  const std::string stream = "aa$1*2a$$ab*xaab$**ab$abab*";
  std::mt19937 random(7);
  for (const TRules& r : rules) {
    const auto configure = [&](TLogged& t) {
      t.Packet.SetMaxBufferSize(0);
      t.Packet.SetSize(r.Size);
      t.Packet.SetStartString(r.Start);
      t.Packet.SetStopString(r.Stop);
    };
    TLogged whole;
    configure(whole);
    const Strings expected = whole.Feed({stream});
    for (int round = 0; round < 200; ++round) {
      TLogged pieces;
      configure(pieces);
      pieces.Log.clear();
      for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + random() % 4);
        pieces.Packet.AddData(stream.substr(at, n));
        at += n;
      }
      ASSERT_EQ(pieces.Log, expected) << "size " << r.Size << " start " << r.Start << " stop " << r.Stop;
    }
  }
}

TEST(DataPacket, BoundToAPortOnAPseudoTerminal) {
  SetMainThread();
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  auto port = std::make_unique<TComPort>();
  port->SetPort(name);
  TLogged t;
  t.Packet.SetStopString("\r\n");
  t.Packet.SetComPort(port.get());
  EXPECT_FALSE(port->TriggersOnRxChar());  // the packet's link reads
  port->Open();
  ASSERT_EQ(write(master, "one\r\ntw", 7), 7);
  ASSERT_EQ(write(master, "o\r\n", 3), 3);
  EXPECT_TRUE(PumpUntil([&] { return t.Log.size() == 2; }));
  EXPECT_EQ(t.Log, (Strings{"P:one", "P:two"}));
  port.reset();  // destroyed while bound: the packet lets go of it
  EXPECT_EQ(t.Packet.ComPort(), nullptr);
  close(master);
  close(slave);
}
