// The device contract's cases (ConformanceCases.h) against the Windows
// device on COM250, whose far end is COM251 (WineLine.h).
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
    Device = CreatePlatformComDevice();
    ASSERT_EQ(Device->Open(ComDevicePath("COM250")), 0);
    TDCB dcb;
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Flags = dcb_Binary;
    ASSERT_EQ(Device->SetCommState(dcb), 0);
    ASSERT_EQ(Device->SetupComm(4096, 4096), 0);
    ASSERT_EQ(Device->PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR), 0);
  }
  void TearDown() override {
    if (Device) Device->Close();
    Device.reset();
    if (Far != INVALID_HANDLE_VALUE) CloseHandle(Far);
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
  }
  std::string NoModemLines() const override {
    return "wine serves this COM port on a pseudo-terminal, which has no modem lines: they read as off";
  }

  TWineLine Line;
  HANDLE Far = INVALID_HANDLE_VALUE;
};

#include "ConformanceCases.h"

}  // namespace

INSTANTIATE_TEST_SUITE_P(Devices, Conformance, testing::Values("com"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });
