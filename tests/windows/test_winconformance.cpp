// The device contract's cases (ConformanceCases.h) against the Windows
// device on COM250, whose far end is COM251: the two ends of a line that
// scripts/wine-tests makes (a pseudo-terminal pair that wine serves as COM
// ports) and makes anew after each case that loses it. The script names
// the folder where the two meet in HRVX3300_WINE_LINE: "ready" is there
// while the line is up; a case that loses the line writes "lose" instead.
#include "Conformance.h"
#include "Threads.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <windows.h>

namespace {

namespace fs = std::filesystem;

class Conformance : public TConformanceBase {
protected:
  void SetUp() override {
    SetMainThread();
    const char* line = std::getenv("HRVX3300_WINE_LINE");
    if (!line) GTEST_SKIP() << "no line to test on: scripts/wine-tests runs this suite with a COM port pair";
    Folder = line;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!fs::exists(Folder / "ready") && Clock::now() < end) Pause(10);
    ASSERT_TRUE(fs::exists(Folder / "ready")) << "the line was not made anew";
    Far = CreateFileA("\\\\.\\COM251", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(Far, INVALID_HANDLE_VALUE) << "COM251: error " << GetLastError();
    DCB settings{};
    settings.DCBlength = sizeof settings;
    GetCommState(Far, &settings);
    settings.BaudRate = 115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    ASSERT_TRUE(SetCommState(Far, &settings));
    // The far end reads with a plain total time-out, as every driver means it.
    COMMTIMEOUTS t{0, 0, 20, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(Far, &t));
    PurgeComm(Far, PURGE_RXCLEAR | PURGE_TXCLEAR);

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
    fs::remove(Folder / "ready");
    std::ofstream(Folder / "lose") << "\n";
  }
  std::string NoModemLines() const override {
    return "wine serves this COM port on a pseudo-terminal, which has no modem lines: they read as off";
  }

  fs::path Folder;
  HANDLE Far = INVALID_HANDLE_VALUE;
};

#include "ConformanceCases.h"

}  // namespace

INSTANTIATE_TEST_SUITE_P(Devices, Conformance, testing::Values("com"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });
