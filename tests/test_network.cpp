// Ports on a device server, on loopback: Debian's ser2net with an RFC 2217
// accepter and a raw TCP accepter, and pyserial's RFC 2217 port manager
// (python3-serial), each on a pseudo-terminal whose master side the test
// plays; and addresses that lead nowhere.
#include "CPortTexts.h"
#include "DeviceServer.h"
#include "NetAddress.h"
#include "NetComDevice.h"
#include "FakeComDevice.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netdb.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

class NetworkTest : public testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    SetMainThread();
    for (int i = 0; i < 2; ++i) {
      char name[256];
      ASSERT_EQ(openpty(&Master[i], &Slave[i], name, nullptr, nullptr), 0);
      fcntl(Master[i], F_SETFL, fcntl(Master[i], F_GETFL) | O_NONBLOCK);
      Pty[i] = name;
    }
    if (GetParam() == "ser2net") {
      Rfc2217 = Ser2net.Add(Pty[0], true);
      Raw = Ser2net.Add(Pty[1], false);
    } else {
      Rfc2217 = Pyserial.Add(Pty[0]);
    }
    StartServer();
  }
  void TearDown() override {
    StopServer();
    for (int i = 0; i < 2; ++i) {
      close(Master[i]);
      close(Slave[i]);
    }
  }
  // ser2net serves both lines; pyserial's server (the parameter "pyserial")
  // the RFC 2217 one.
  void StartServer() {
    if (GetParam() == "ser2net")
      ASSERT_TRUE(Ser2net.Start()) << "ser2net (Debian's package) did not start";
    else
      ASSERT_TRUE(Pyserial.Start()) << "pyserial's server (python3-serial) did not start";
  }
  void StopServer() {
    Ser2net.Stop();
    Pyserial.Stop();
  }
  std::string FarRead(int i, std::size_t count) {
    std::string got;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (got.size() < count && Clock::now() < end) {
      char buf[4096];
      const ssize_t n = read(Master[i], buf, sizeof buf);
      if (n > 0) {
        got.append(buf, std::size_t(n));
      } else {
        pollfd p{Master[i], POLLIN, 0};
        poll(&p, 1, 10);
      }
    }
    return got;
  }
  std::string PortRead(TComPort& port, std::size_t count) {
    std::string got;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (got.size() < count && Clock::now() < end) {
      std::string s;
      port.ReadStr(s, int(count - got.size()));
      got += s;
    }
    return got;
  }

  int Master[2] = {-1, -1}, Slave[2] = {-1, -1};
  std::string Pty[2];
  int Rfc2217 = 0, Raw = 0;
  TSer2net Ser2net;
  TPyserialServer Pyserial;
};

// Every byte value both ways, 0xFF among them (Telnet's IAC, sent twice).
std::string EveryByte() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += char(i);
  return s + s;
}

}  // namespace

TEST_P(NetworkTest, Rfc2217CarriesBytesAndSettingsAndALostServerClosesThePort) {
  TComPort port;
  port.SetPort("rfc2217://127.0.0.1:" + std::to_string(Rfc2217));
  port.Timeouts().SetReadTotalConstant(2000);
  port.Open();
  port.WriteStr(EveryByte());
  EXPECT_EQ(FarRead(0, 512), EveryByte());
  ASSERT_EQ(write(Master[0], EveryByte().data(), 512), 512);
  EXPECT_EQ(PortRead(port, 512), EveryByte());

  // A new speed reaches the far line. ser2net also agrees to even parity
  // (a pseudo-terminal keeps none, so stty cannot show it); pyserial's
  // server fails to set parity on a pseudo-terminal and is not asked.
  port.SetBaudRate(br57600);
  if (GetParam() == "ser2net") port.Parity().SetBits(prEven);
  termios t{};
  tcgetattr(Slave[0], &t);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));

  // The server goes: the port closes itself and says why, as a pulled adapter.
  std::vector<std::string> log;
  port.OnError = [&](TCustomComPort*, TComErrors errors) { log.push_back(ComErrorsToStr(errors)); };
  StopServer();
  ASSERT_TRUE(PumpUntil([&] { return !port.Connected(); }, 5000));
  EXPECT_EQ(log, std::vector<std::string>{"<ComError:IO>"});
  port.OnError = nullptr;
  StartServer();  // and Connect works again once it is back
  port.Open();
  port.WriteStr("again");
  EXPECT_EQ(FarRead(0, 5), "again");
}

// Raw TCP is ser2net's only.
class RawNetworkTest : public NetworkTest {};

TEST_P(RawNetworkTest, ARawSocketCarriesBytesAndAddressesThatLeadNowhereSaySo) {
  TComPort port;
  port.SetPort("socket://127.0.0.1:" + std::to_string(Raw));
  port.Timeouts().SetReadTotalConstant(2000);
  port.Open();
  port.SetBaudRate(br9600);  // taken, and nothing goes on the wire for it
  port.WriteStr(EveryByte());
  EXPECT_EQ(FarRead(1, 512), EveryByte());
  ASSERT_EQ(write(Master[1], "back", 4), 4);
  EXPECT_EQ(PortRead(port, 4), "back");
  port.Close();

  // A server that accepts but never negotiates: the time-out of the URL.
  int silentPort = 0;
  const int silent = LoopbackListener(silentPort);
  const std::string quiet = "rfc2217://127.0.0.1:" + std::to_string(silentPort) + "?timeout=0.5";
  const int refused = FreeTcpPort();
  // Each with what the user is told (the IPv6 loopback may be missing here).
  const std::pair<std::string, std::string> cases[] = {
      {quiet, "did not answer in time"},
      {"rfc2217://127.0.0.1:" + std::to_string(refused), "Nothing takes connections at"},
      {"rfc2217://no-such-host.invalid:7000", "could not be found or reached"},
      {"rfc2217://127.0.0.1", "is not a network port's name"},
      {"socket://[::1:7000", "is not a network port's name"},
      {"rfc2217://127.0.0.1:7000?speed=fast", "is not a network port's name"},
      {"rfc2217://127.0.0.1:70000", "is not a network port's name"},  // never cut to 16 bits
      {"socket://127.0.0.1:0", "is not a network port's name"},
      {"rfc2217://127.0.0.1:7000?timeout=nan", "is not a network port's name"},
      {"rfc2217://127.0.0.1:7000?timeout=1e-9", "is not a network port's name"},
      {"rfc2217://[::1]:" + std::to_string(refused), ""}};
  for (const auto& [name, told] : cases) {
    TComPort nowhere;
    nowhere.SetPort(name);
    const auto start = Clock::now();
    try {
      nowhere.Open();
      ADD_FAILURE() << name << " opened";
    } catch (const EComPortExt& e) {
      EXPECT_NE(ComErrorText(e).find(told), std::string::npos) << ComErrorText(e);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4)) << name;
    EXPECT_FALSE(nowhere.Connected());
  }
  close(silent);
}

// The terminal program's reconnecting asks a probe, which never waits: no
// while nobody listens, yes once somebody does, by name or by address.
TEST(ServerProbe, AnswersOnlyWhileSomebodyListens) {
  int port = 0;
  const int listener = LoopbackListener(port);
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    // A root without /etc/hosts has no name for loopback; the probe by
    // name is then not tried here, and the log says why.
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, nullptr, &found) != 0) {
      std::fprintf(stderr, "note: this machine does not resolve \"%s\" (no /etc/hosts?): the probe by name is not tried\n",
                   host.c_str());
      continue;
    }
    freeaddrinfo(found);
    TNetServerProbe probe("rfc2217://" + host + ":" + std::to_string(port));
    const auto end = Clock::now() + std::chrono::seconds(5);
    bool answered = false;
    while (!(answered = probe.Answers()) && Clock::now() < end) std::this_thread::yield();
    EXPECT_TRUE(answered) << host;
  }
  close(listener);
  TNetServerProbe gone("socket://127.0.0.1:" + std::to_string(port)), malformed("socket://127.0.0.1");
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(gone.Answers() || malformed.Answers());
}

// What a pseudo-terminal behind a server cannot show, from a scripted
// RFC 2217 server: modem and line state notifications become the port's
// signal events and line errors, and settings the server answers otherwise
// are refused.
TEST(ScriptedServer, NotificationsBecomeEventsAndAnOtherAnswerIsRefused) {
  SetMainThread();
  int serverPort = 0;
  const int listener = LoopbackListener(serverPort);
  std::atomic<bool> notify{false};
  std::thread server([&] {
    const int c = accept(listener, nullptr, nullptr);
    const auto send = [&](std::initializer_list<int> bytes) {
      std::string s;
      for (int b : bytes) s += char(b);
      ::send(c, s.data(), s.size(), MSG_NOSIGNAL);
    };
    send({255, 253, 44});  // DO COM-PORT-OPTION
    // Each setting answered as asked, but the speed of 9600 as 4800.
    std::string in;
    char buffer[256];
    for (bool sent = false;;) {
      pollfd p{c, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        const ssize_t n = recv(c, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        in.append(buffer, std::size_t(n));
      }
      for (std::size_t at; (at = in.find("\xff\xfa\x2c")) != std::string::npos;) {
        const std::size_t end = in.find("\xff\xf0", at);
        if (end == std::string::npos) break;
        std::string answer = in.substr(at, end + 2 - at);
        answer[3] = char(answer[3] + 100);
        if (answer.substr(3, 5) == std::string("\x65\x00\x00\x25\x80", 5)) answer.replace(4, 4, std::string("\x00\x00\x12\xc0", 4));
        ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        in.erase(0, end + 2);
      }
      if (notify && !sent) {
        send({255, 250, 44, 107, 0x11, 255, 240});  // CTS on, and changed
        send({255, 250, 44, 106, 0x08, 255, 240});  // a framing error
        sent = true;
      }
    }
    close(c);
  });
  TComPort port;
  port.SetPort("rfc2217://127.0.0.1:" + std::to_string(serverPort) + "?timeout=1");
  std::vector<std::string> seen;
  port.OnCTSChange = [&](TCustomComPort*, bool on) { seen.push_back(on ? "CTS on" : "CTS off"); };
  port.OnError = [&](TCustomComPort*, TComErrors errors) { seen.push_back(ComErrorsToStr(errors)); };
  port.SetBaudRate(br115200);
  try {
    port.Open();
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  seen.clear();  // what opening reported (CTS off)
  notify = true;
  EXPECT_TRUE(PumpUntil([&] { return seen.size() >= 2; }, 3000));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"<ComError:Frame>", "CTS on"}));
  EXPECT_TRUE(port.Signals().Contains(csCTS));
  EXPECT_THROW(port.SetBaudRate(br9600), EComPortExt);  // the server chose 4800
  port.OnCTSChange = nullptr;
  port.OnError = nullptr;
  port.Close();
  server.join();
  close(listener);
}

INSTANTIATE_TEST_SUITE_P(Servers, NetworkTest, testing::Values("ser2net", "pyserial"));
INSTANTIATE_TEST_SUITE_P(Servers, RawNetworkTest, testing::Values("ser2net"));

// A hostile server floods option requests and never reads: each option is
// refused once, nothing waits on the full socket under the device's lock,
// and a write that the server does not take ends at its time-out, cut only
// between whole Telnet units.
TEST(ScriptedServer, AFloodingServerThatStopsReadingHoldsNobodyUp) {
  SetMainThread();
  int serverPort = 0;
  const int listener = LoopbackListener(serverPort);
  const int small = 4096;
  setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // fills soon
  std::atomic<bool> reading{false}, flooded{false};
  std::string wire;  // what the server got, once it reads
  std::thread server([&] {
    const int c = accept(listener, nullptr, nullptr);
    std::string flood = "\xff\xfd\x2c";  // DO COM-PORT-OPTION
    for (int round = 0; round < 2000; ++round)
      for (int option = 100; option < 200; ++option) flood += std::string{'\xff', '\xfd', char(option)};
    for (std::size_t at = 0; at < flood.size();) {
      const ssize_t n = ::send(c, flood.data() + at, flood.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += std::size_t(n);
    }
    flooded = true;
    while (!reading) usleep(1000);
    char buffer[65536];
    for (ssize_t n; (n = recv(c, buffer, sizeof buffer, 0)) > 0;) wire.append(buffer, std::size_t(n));
    close(c);
  });
  auto device = std::make_unique<TNetComDevice>();
  ASSERT_EQ(device->Open("rfc2217://127.0.0.1:" + std::to_string(serverPort) + "?timeout=1&ign_set_control"), 0);
  while (!flooded) usleep(1000);
  // Calls on the device answer at once although the socket is full.
  const auto start = Clock::now();
  std::uint32_t errors = 0;
  TComStat stat;
  EXPECT_EQ(device->ClearCommError(errors, stat), 0);
  EXPECT_EQ(device->SetCommMask(EV_RXCHAR), 0);
  // A write of IACs that the server does not take: it ends at its time-out.
  TCommTimeouts timeouts;
  timeouts.WriteTotalTimeoutConstant = 200;
  ASSERT_EQ(device->SetCommTimeouts(timeouts), 0);
  const std::string iacs(8 << 20, '\xff');
  TComOverlapped ov;
  EXPECT_EQ(device->WriteFile(iacs.data(), std::uint32_t(iacs.size()), ov), 0);
  EXPECT_LT(ov.Done, iacs.size());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  reading = true;
  timeouts.WriteTotalTimeoutConstant = 0;
  ASSERT_EQ(device->SetCommTimeouts(timeouts), 0);
  TComOverlapped end;
  EXPECT_EQ(device->WriteFile("END", 3, end), 0);
  device->Close();
  server.join();
  close(listener);
  // Each option refused once; then exactly the data counted, and "END".
  std::size_t refusals = 0, data = 0;
  std::string tail;
  for (std::size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] != '\xff') {
      tail += wire[i];
      continue;
    }
    ASSERT_LT(i + 1, wire.size());
    const char command = wire[++i];
    if (command == '\xff') {
      ++data;
    } else if (command == '\xfc') {  // WONT
      ++refusals;
      ++i;
    } else if (command == '\xfa') {  // a request of ours: to its end
      i = wire.find("\xff\xf0", i);
      ASSERT_NE(i, std::string::npos);
      ++i;
    } else if (command != '\xfb' && command != '\xfd') {
      ADD_FAILURE() << "a stray Telnet command " << int(std::uint8_t(command)) << " at " << i;
    } else {
      ++i;  // WILL or DO of ours
    }
  }
  EXPECT_EQ(refusals, 100u);
  EXPECT_EQ(data, ov.Done);
  EXPECT_EQ(tail, "END");
}
