// The device contract's cases (ConformanceCases.h) against a pseudo-terminal
// pair, the scripted fake, and network ports through ser2net's RFC 2217 and
// raw accepters and through pyserial's RFC 2217 server.
#include "Conformance.h"
#include "DeviceServer.h"
#include "FakeComDevice.h"
#include "NetComDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

class Conformance : public TConformanceBase {
protected:
  void SetUp() override {
    SetMainThread();
    const std::string kind = GetParam();
    if (kind == "fake") {
      State = std::make_shared<TFakeState>();
      Device = std::make_unique<TFakeComDevice>(State);
      ASSERT_EQ(Device->Open("/dev/fake0"), 0);
      return;
    }
    char name[256];
    ASSERT_EQ(openpty(&Master, &Slave, name, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(Master, &raw);
    cfmakeraw(&raw);
    tcsetattr(Master, TCSANOW, &raw);
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
    std::string path = name;
    if (kind == "pty") {
      close(Slave);  // the device opens it; the master is the far end
      Slave = -1;
    } else {
      int port = 0;
      if (kind == "pyserial") {
        port = Pyserial.Add(path);
        ASSERT_TRUE(Pyserial.Start()) << "pyserial's server (python3-serial) did not start";
      } else {
        port = Ser2net.Add(path, kind == "ser2net");
        ASSERT_TRUE(Ser2net.Start()) << "ser2net (Debian's package) did not start";
      }
      path = (kind == "raw" ? "socket://127.0.0.1:" : "rfc2217://127.0.0.1:") + std::to_string(port);
    }
    OpenDevice(path, Network());
  }
  void TearDown() override {
    if (Device) Device->Close();
    Device.reset();
    Ser2net.Stop();
    Pyserial.Stop();
    if (Master >= 0) close(Master);
    if (Slave >= 0) close(Slave);
  }

  bool Fake() const override { return GetParam() == "fake"; }
  bool Network() const { return !Fake() && GetParam() != "pty"; }

  void FarWrite(const std::string& bytes) override {
    if (Fake()) {
      State->Push(EV_RXCHAR, bytes);
      return;
    }
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(Master, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += std::size_t(n);
      } else {
        pollfd p{Master, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }
  std::string FarReadWithin(std::size_t count, int timeoutMs) override {
    if (Fake()) {
      std::unique_lock lock(State->Mutex);
      State->Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return State->Output.size() >= count; });
      return std::exchange(State->Output, {});
    }
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && Clock::now() < end) {
      char buffer[65536];
      const ssize_t n = read(Master, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) {
        got.append(buffer, std::size_t(n));
      } else {
        pollfd p{Master, POLLIN, 0};
        poll(&p, 1, 20);
      }
    }
    return got;
  }
  void LoseLine() override {
    if (Fake()) {
      State->Lose(EIO);
    } else if (Network()) {
      Ser2net.Stop();
      Pyserial.Stop();
    } else {
      close(Master);
      Master = -1;
    }
  }
  std::string NoModemLines() const override {
    if (GetParam() == "pty") return "a pseudo-terminal has no modem lines: they read as off";
    if (GetParam() == "raw") return "a raw socket carries no modem lines";
    if (Network())
      return "the server's line here is a pseudo-terminal without modem lines (a scripted server's "
             "notifications are tested with the network ports)";
    return {};
  }
  void SetFarModemLines(std::uint32_t lines) override {
    std::lock_guard lock(State->Mutex);
    State->Modem = lines;
  }

  std::shared_ptr<TFakeState> State;
  int Master = -1, Slave = -1;
  TSer2net Ser2net;
  TPyserialServer Pyserial;
};

#include "ConformanceCases.h"

}  // namespace

INSTANTIATE_TEST_SUITE_P(Devices, Conformance, testing::Values("pty", "fake", "ser2net", "pyserial", "raw"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });
