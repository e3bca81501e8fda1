// Ports on a device server, on loopback: Debian's ser2net with an RFC 2217
// accepter and a raw TCP accepter, and pyserial's RFC 2217 port manager
// (python3-serial), each on a pseudo-terminal whose master side the test
// plays; and addresses that lead nowhere.
#include "DeviceServer.h"
#include "FakeComDevice.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

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
      Rfc2217 = FreeTcpPort();
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
    if (GetParam() == "ser2net") {
      ASSERT_TRUE(Ser2net.Start()) << "ser2net (Debian's package) did not start";
      return;
    }
    Server = fork();
    if (Server == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(HRVX3300_RFC2217_SERVER, HRVX3300_RFC2217_SERVER, std::to_string(Rfc2217).c_str(), Pty[0].c_str(), nullptr);
      _exit(127);
    }
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!Listening(Rfc2217) && Clock::now() < end) usleep(20000);
    ASSERT_TRUE(Listening(Rfc2217)) << "pyserial's server (python3-serial) did not start";
  }
  void StopServer() {
    Ser2net.Stop();
    if (Server <= 0) return;
    kill(Server, SIGTERM);
    waitpid(Server, nullptr, 0);
    Server = -1;
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
  pid_t Server = -1;
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
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(silent, 4);
  socklen_t size = sizeof a;
  getsockname(silent, reinterpret_cast<sockaddr*>(&a), &size);
  const std::string quiet = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "?timeout=0.5";
  const int refused = FreeTcpPort();
  for (const std::string& name : {quiet, "rfc2217://127.0.0.1:" + std::to_string(refused), std::string("rfc2217://no-such-host.invalid:7000"),
                                  std::string("rfc2217://127.0.0.1"), std::string("socket://[::1:7000"),
                                  std::string("rfc2217://127.0.0.1:7000?speed=fast")}) {
    TComPort nowhere;
    nowhere.SetPort(name);
    const auto start = Clock::now();
    EXPECT_THROW(nowhere.Open(), EComPortExt) << name;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4)) << name;
    EXPECT_FALSE(nowhere.Connected());
  }
  close(silent);
}

INSTANTIATE_TEST_SUITE_P(Servers, NetworkTest, testing::Values("ser2net", "pyserial"));
INSTANTIATE_TEST_SUITE_P(Servers, RawNetworkTest, testing::Values("ser2net"));
