// The registry and INI stores on Windows are the system's: what we write is
// what the system's own calls read, and the other way round.
#include "IniFiles.h"
#include "Registry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include <windows.h>

namespace {

// A key of this test's own under HKEY_CURRENT_USER, gone afterwards.
class WinRegistry : public testing::Test {
protected:
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, Key.c_str()); }
  const std::string Key = "Software\\HRVX3300-test-" + std::to_string(GetCurrentProcessId());
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST_F(WinRegistry, ValuesGoToTheSystemsRegistryAndComeBack) {
  TRegistry reg;
  EXPECT_FALSE(reg.OpenKey(Key + "\\ComPort1", false));
  ASSERT_TRUE(reg.OpenKey(Key + "\\\\ComPort1\\", true));  // empty parts dropped, parents made
  reg.WriteString("Port", "COM5");
  reg.WriteInteger("BaudRate", 115200);
  reg.WriteInteger("Negative", -7);

  // The system's own calls see them, with their types.
  char text[32] = {};
  DWORD size = sizeof text;
  ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, (Key + "\\ComPort1").c_str(), "Port", RRF_RT_REG_SZ, nullptr, text, &size), ERROR_SUCCESS);
  EXPECT_STREQ(text, "COM5");
  DWORD number = 0;
  size = sizeof number;
  ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, (Key + "\\ComPort1").c_str(), "BaudRate", RRF_RT_REG_DWORD, nullptr, &number, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(number, 115200u);

  // Read back by a new key object, names in any letter case.
  TRegistry back;
  ASSERT_TRUE(back.OpenKey(Key + "\\comport1", false));
  EXPECT_EQ(back.ReadString("PORT"), "COM5");
  EXPECT_EQ(back.ReadInteger("baudrate"), 115200);
  EXPECT_EQ(back.ReadInteger("Negative"), -7);
  EXPECT_TRUE(back.ValueExists("Port"));
  EXPECT_FALSE(back.ValueExists("Parity"));
  EXPECT_EQ(back.ReadString("Parity"), "");
  // A value of the other type is refused, as a missing integer is.
  EXPECT_THROW(back.ReadInteger("Port"), ERegistryException);
  EXPECT_THROW(back.ReadString("BaudRate"), ERegistryException);
  EXPECT_THROW(back.ReadInteger("Parity"), ERegistryException);
  // A long text comes back whole.
  const std::string longText(5000, 'x');
  reg.WriteString("Long", longText);
  EXPECT_EQ(back.ReadString("Long"), longText);
  TRegistry none;
  EXPECT_THROW(none.WriteString("Port", "COM1"), ERegistryException);
  EXPECT_EQ(none.ReadString("Port"), "");
}

TEST(WinIniFiles, ThePrivateProfileCallsReadWhatWeWriteAndKeepTheRest) {
  char folder[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof folder, folder), 0u);
  const std::string path = std::string(folder) + "hrvx3300-test-" + std::to_string(GetCurrentProcessId()) + ".ini";
  {
    std::ofstream out(path, std::ios::binary);
    out << "; kept as it is\r\n[ComPort1]\r\nPort=COM3\r\nOther=yes\r\n";
  }
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("comport1", "PORT", "none"), "COM3");
  EXPECT_EQ(ini.ReadString("ComPort1", "Missing", "none"), "none");
  ini.WriteString("ComPort1", "Port", "COM7");
  ini.WriteInteger("ComPort1", "BaudRate", 0x1C200);
  ini.WriteString("New Section", "Key", "value with = sign");
  EXPECT_EQ(ini.ReadInteger("ComPort1", "BaudRate", -1), 115200);
  EXPECT_EQ(ini.ReadInteger("ComPort1", "Other", -1), -1);  // not a number
  char text[64] = {};
  GetPrivateProfileStringA("ComPort1", "Port", "", text, sizeof text, path.c_str());
  EXPECT_STREQ(text, "COM7");
  const std::string file = Slurp(path);
  EXPECT_NE(file.find("; kept as it is"), std::string::npos) << file;
  EXPECT_NE(file.find("Other=yes"), std::string::npos) << file;
  EXPECT_EQ(TIniFile(path).ReadString("New Section", "Key", ""), "value with = sign");
  // A file that cannot be written says so.
  TIniFile nowhere(std::string(folder) + "no-such-folder-" + std::to_string(GetCurrentProcessId()) + "\\x.ini");
  EXPECT_THROW(nowhere.WriteString("A", "B", "C"), Exception);
  DeleteFileA(path.c_str());
  // A whole file replaced at once.
  const std::string atomic = path + ".dat";
  WriteFileAtomically(atomic, "first");
  WriteFileAtomically(atomic, "second");
  EXPECT_EQ(Slurp(atomic), "second");
  DeleteFileA(atomic.c_str());
}
