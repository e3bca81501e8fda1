// The serial component on Windows: the system's list of COM ports, and what
// a user is told when a port is missing or goes away.
#include "CPortList.h"
#include "CPortTexts.h"
#include "FakeComDevice.h"
#include "WineLine.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

const char* const SerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Entries of the port list in the registry for the length of a test.
class TSerialCommEntries {
public:
  void Add(const std::string& device, const std::string& port) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SerialComm, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, device.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()), DWORD(port.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    Devices.push_back(device);
  }
  ~TSerialCommEntries() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SerialComm, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
    for (const std::string& device : Devices) RegDeleteValueA(key, device.c_str());
    RegCloseKey(key);
  }

private:
  std::vector<std::string> Devices;
};

}  // namespace

TEST(WinPortList, ListsTheSystemsComPortsInNumberOrder) {
  TSerialCommEntries entries;
  entries.Add("\\Device\\TestVCP10", "COM210");
  entries.Add("\\Device\\TestSerial2", "COM202");
  std::vector<TComPortInfo> ports;
  EnumComPortInfo(ports);
  std::vector<std::string> ours;
  for (const TComPortInfo& p : ports)
    if (p.Port == "COM202" || p.Port == "COM210") ours.push_back(PortEntry(p));
  EXPECT_EQ(ours, (std::vector<std::string>{"COM202 \u2014 \\Device\\TestSerial2", "COM210 \u2014 \\Device\\TestVCP10"}));
  std::vector<std::string> names;
  EnumComPorts(names);
  EXPECT_NE(std::find(names.begin(), names.end(), "COM210"), names.end());
  // A port on the list is there (wine knows a port that its server did not
  // map at its start only by the list).
  EXPECT_TRUE(ComPortPresent("com210"));
  EXPECT_TRUE(ComPortPresent("\\\\.\\COM202"));
}

TEST(WinComPort, AMissingPortSaysThereIsNone) {
  EXPECT_FALSE(ComPortPresent("COM249"));
  TComPort port;
  port.SetPort("COM249");  // mapped to nothing
  try {
    port.Open();
    FAIL() << "a port that is not there opened";
  } catch (const EComPortExt& e) {
    EXPECT_EQ(e.PortErrorCode, CError_OpenFailed);
    EXPECT_EQ(e.OsErrorCode, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(ComErrorText(e).find("There is no device \\\\.\\COM249: is the adapter plugged in"), std::string::npos)
        << ComErrorText(e);
  }
  EXPECT_FALSE(port.Connected());
}

// The cable is pulled while the port waits for events: the handler hears of
// it, the port closes, and nothing goes on spinning.
TEST(WinComPort, AVanishedLineClosesThePortAndSaysWhy) {
  SetMainThread();
  TWineLine line;
  if (const std::string missing = line.Missing(); !missing.empty()) GTEST_SKIP() << missing;
  ASSERT_TRUE(line.AwaitReady());
  HANDLE far_ = line.OpenFar();
  ASSERT_NE(far_, INVALID_HANDLE_VALUE);
  TComPort port;
  port.SetPort("COM250");
  std::string received;
  std::vector<std::string> log;
  port.OnRxChar = [&](TCustomComPort*, int count) {
    std::string s;
    port.ReadStr(s, count);
    received += s;
  };
  port.OnError = [&](TCustomComPort*, TComErrors errors) { log.push_back("error " + ComErrorsToStr(errors)); };
  port.OnAfterClose = [&](TCustomComPort*) { log.push_back("after close"); };
  port.Open();
  DWORD n = 0;
  WriteFile(far_, "last words", 10, &n, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return received == "last words"; }));
  CloseHandle(far_);
  line.Lose();
  ASSERT_TRUE(PumpUntil([&] { return !port.Connected(); }, 5000)) << "the port did not notice the line go";
  EXPECT_EQ(log, (std::vector<std::string>{"error <ComError:IO>", "after close"}));
}
