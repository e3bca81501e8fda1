// The device contract's cases (ConformanceCases.h) against the Windows
// device on COM250, whose far end is COM251 (WineLine.h), and against
// network ports over Winsock to ser2net's RFC 2217 and raw accepters, which
// serve the same line from the Linux side.
#include "Conformance.h"
#include "Threads.h"
#include "WineLine.h"

namespace {

class Conformance : public TConformanceBase {
protected:
  void SetUp() override {
    SetMainThread();
    if (const std::string missing = Line.Missing(); !missing.empty()) GTEST_SKIP() << missing;
    ASSERT_TRUE(Line.AwaitReady()) << "the line was not made anew";
    Far = Line.OpenFar();
    ASSERT_NE(Far, INVALID_HANDLE_VALUE) << "COM251: error " << GetLastError();
    if (GetParam() == "com") {
      OpenDevice(ComDevicePath("COM250"), false);
      ASSERT_EQ(Device->PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR), 0);
      return;
    }
    // ser2net serves the same line (its Linux side) on two ports.
    const char* ports = std::getenv("HRVX3300_WINE_SER2NET");
    if (!ports) GTEST_SKIP() << "no device server: scripts/wine-tests runs one with ser2net";
    const std::string both = ports, rfc2217 = both.substr(0, both.find(',')), raw = both.substr(both.find(',') + 1);
    OpenDevice(GetParam() == "raw" ? "socket://127.0.0.1:" + raw : "rfc2217://127.0.0.1:" + rfc2217, true);
  }
  void TearDown() override {
    if (Device) Device->Close();
    Device.reset();
    if (Far != INVALID_HANDLE_VALUE) CloseHandle(Far);
    Far = INVALID_HANDLE_VALUE;
    // ser2net lets go of its line a while after the client has gone; the
    // next case gets a line of its own instead of sharing that one.
    if (GetParam() != "com" && Line.Missing().empty() && !Lost) Line.Lose();
  }

  void FarWrite(const std::string& bytes) override {
    for (std::size_t done = 0; done < bytes.size();) {
      DWORD n = 0;
      if (!WriteFile(Far, bytes.data() + done, DWORD(bytes.size() - done), &n, nullptr)) return;
      done += n;
    }
  }
  std::string FarReadWithin(std::size_t count, int timeoutMs) override {
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && Clock::now() < end) {
      char buffer[65536];
      DWORD n = 0;
      if (!ReadFile(Far, buffer, DWORD(std::min(sizeof buffer, count - got.size())), &n, nullptr) &&
          GetLastError() != ERROR_TIMEOUT)
        break;
      got.append(buffer, n);
    }
    return got;
  }
  void LoseLine() override {
    CloseHandle(Far);
    Far = INVALID_HANDLE_VALUE;
    Line.Lose();
    Lost = true;
  }
  std::string NoModemLines() const override {
    if (GetParam() == "raw") return "a raw socket carries no modem lines";
    if (GetParam() == "ser2net") return "the server's line here is a pseudo-terminal without modem lines";
    return "wine serves this COM port on a pseudo-terminal, which has no modem lines: they read as off";
  }

  TWineLine Line;
  bool Lost = false;  // the line is being made anew
  HANDLE Far = INVALID_HANDLE_VALUE;
};

#include "ConformanceCases.h"

}  // namespace

INSTANTIATE_TEST_SUITE_P(Devices, Conformance, testing::Values("com", "ser2net", "raw"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });
