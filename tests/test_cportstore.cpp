// Saving and loading port settings in INI files and the registry store.
#include "FakeComDevice.h"
#include "IniFiles.h"
#include "Registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class StoreTest : public testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/store-XXXXXX";
    Dir = mkdtemp(name);
    TRegistry::SetRootFile(HKEY_CURRENT_USER, (Dir / "user/registry").string());
    TRegistry::SetRootFile(HKEY_LOCAL_MACHINE, (Dir / "machine/registry").string());
    Port.SetName("ComPort1");
    Port.SetPort("/dev/fake0");
    Port.SetDeviceFactory([this] { return std::make_unique<TFakeComDevice>(State); });
  }
  void TearDown() override {
    TRegistry::SetRootFile(HKEY_CURRENT_USER, "");
    TRegistry::SetRootFile(HKEY_LOCAL_MACHINE, "");
    fs::remove_all(Dir);
  }
  std::string Ini() const { return (Dir / "port.ini").string(); }
  std::string Slurp(const fs::path& p) const {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void WriteIni(const std::string& text) { std::ofstream(Ini()) << text; }
  int CodeOf(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const EComPort& e) {
      return e.PortErrorCode;
    }
    return -1;
  }

  fs::path Dir;
  std::shared_ptr<TFakeState> State = std::make_shared<TFakeState>();
  TComPort Port;
};

}  // namespace

TEST_F(StoreTest, BasicGroupWritesItsSixKeysAndCustomRateBetween) {
  Port.SetBaudRate(br115200);
  Port.StoreSettings(stIniFile, Ini());
  EXPECT_EQ(Slurp(Ini()),
            "[ComPort1]\r\nPort=/dev/fake0\r\nBaudRate=115200\r\nStopBits=1\r\nDataBits=8\r\nParity=None\r\n"
            "FlowControl=None\r\n");
  Port.SetBaudRate(brCustom);
  Port.SetCustomBaudRate(250000);
  fs::remove(Ini());
  Port.StoreSettings(stIniFile, Ini());
  EXPECT_NE(Slurp(Ini()).find("BaudRate=Custom\r\nCustomBaudRate=250000\r\nStopBits=1"), std::string::npos);
}

TEST_F(StoreTest, IniWritesKeepEverythingElse) {
  WriteIni("; a note\n[Other]\nPort=keep\n\n[comport1]\nBAUDRATE=300\nMine=1\n");
  Port.StoreSettings(stIniFile, Ini());
  const std::string text = Slurp(Ini());
  EXPECT_NE(text.find("; a note"), std::string::npos);
  EXPECT_NE(text.find("[Other]\r\nPort=keep"), std::string::npos);
  EXPECT_NE(text.find("BAUDRATE=9600"), std::string::npos);  // the key keeps its spelling
  EXPECT_NE(text.find("Mine=1"), std::string::npos);
  EXPECT_EQ(TIniFile(Ini()).ReadString("OTHER", "port", "-"), "keep");
}

TEST_F(StoreTest, IniLoadTakesDefaultsFromTheCurrentSettings) {
  Port.SetDataBits(dbSeven);
  Port.FlowControl().SetOutCTSFlow(true);
  WriteIni("[ComPort1]\nBaudRate=Custom\n");
  Port.LoadSettings(stIniFile, Ini());
  EXPECT_EQ(Port.BaudRate(), brCustom);
  EXPECT_EQ(Port.CustomBaudRate(), 9600);
  EXPECT_EQ(Port.DataBits(), dbSeven);
  EXPECT_EQ(Port.Port(), "/dev/fake0");

  WriteIni("[ComPort1]\nParity=even\n");
  Port.LoadSettings(stIniFile, Ini());
  EXPECT_EQ(Port.Parity().Bits(), prEven);
  WriteIni("[ComPort1]\nParity=bad\n");
  Port.LoadSettings(stIniFile, Ini());
  EXPECT_EQ(Port.Parity().Bits(), prNone);

  Port.SetStoreGroups({spFlowControl, spBuffer});
  WriteIni("[ComPort1]\nFlowControl.OutCTSFlow=No\nBuffer.InputSize=0x800\nBuffer.OutputSize=lots\n");
  Port.LoadSettings(stIniFile, Ini());
  EXPECT_FALSE(Port.FlowControl().OutCTSFlow());
  EXPECT_FALSE(Port.FlowControl().OutDSRFlow());  // missing: unchanged
  EXPECT_EQ(Port.Buffer().InputSize(), 2048);
  EXPECT_EQ(Port.Buffer().OutputSize(), 1024);  // unreadable: the current value
}

TEST_F(StoreTest, EveryGroupGoesAndComesBackThroughBothStores) {
  const TStoredProps all{spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers};
  for (TStoreType store : {stIniFile, stRegistry}) {
    TComPort source;
    source.SetName("ComPort1");
    source.SetStoreGroups(all);
    source.SetPort("/dev/ttyUSB3");
    source.SetBaudRate(brCustom);
    source.SetCustomBaudRate(31250);
    source.SetStopBits(sbTwoStopBits);
    source.SetDataBits(dbSeven);
    source.Parity().SetBits(prMark);
    source.Parity().SetCheck(true);
    source.Parity().SetReplaceChar(' ');
    source.SetEventChar('\n');
    source.SetDiscardNull(true);
    source.Buffer().SetInputSize(4096);
    source.Timeouts().SetReadTotalConstant(77);
    source.FlowControl().SetControlDTR(dtrHandshake);
    source.FlowControl().SetXonChar('A');
    const std::string path = store == stIniFile ? Ini() : "HKEY_CURRENT_USER\\Software\\HRVX3300";
    source.StoreSettings(store, path);
    TComPort target;
    target.SetName("ComPort1");
    target.SetStoreGroups(all);
    target.LoadSettings(store, path);
    EXPECT_EQ(target.Port(), "/dev/ttyUSB3");
    EXPECT_EQ(target.BuildDCB().BaudRate, 31250u);
    const TDCB a = source.BuildDCB(), b = target.BuildDCB();
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << int(store);
    EXPECT_EQ(target.Timeouts().ReadTotalConstant(), 77);
    EXPECT_EQ(target.Parity().ReplaceChar(), ' ');
  }
}

TEST_F(StoreTest, RegistryPathsAndTypes) {
  Port.StoreSettings(stRegistry, "Software\\Settings");  // the first part is the root's name
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Settings\\ComPort1", false));
  EXPECT_EQ(reg.ReadString("port"), "/dev/fake0");

  Port.StoreSettings(stRegistry, "hkey_local_machine\\Software\\Settings");
  TRegistry machine;
  machine.RootKey = HKEY_LOCAL_MACHINE;
  ASSERT_TRUE(machine.OpenKey("Software\\Settings\\ComPort1", false));
  EXPECT_EQ(machine.ReadString("BaudRate"), "9600");
  EXPECT_THROW(machine.ReadInteger("BaudRate"), ERegistryException);
  EXPECT_TRUE(fs::exists(Dir / "machine/registry"));

  EXPECT_EQ(CodeOf([&] { Port.StoreSettings(stRegistry, "NoBackslash"); }), 16);

  // A text stored as an integer fails the load; texts keep any character.
  TRegistry typed;
  ASSERT_TRUE(typed.OpenKey("Typed\\ComPort1", true));
  typed.WriteInteger("Port", 5);
  EXPECT_EQ(CodeOf([&] { Port.LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Typed"); }), 17);
  typed.WriteString("Port", "odd\\name\nwith a line end");
  EXPECT_EQ(typed.ReadString("PORT"), "odd\\name\nwith a line end");

  // Only texts stored: the buffer sizes are missing integers, so the load
  // fails after the groups before them were assigned.
  TRegistry user;
  ASSERT_TRUE(user.OpenKey("Texts\\ComPort1", true));
  user.WriteString("BaudRate", "57600");
  user.WriteString("Buffer.InputSize", "2048");
  Port.SetStoreGroups({spBasic, spBuffer});
  try {
    Port.LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Texts");
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode, 17);
    EXPECT_STREQ(e.what(), " Error: Failed to load settings");  // the port name was loaded empty
  }
  EXPECT_EQ(Port.BaudRate(), br57600);
  EXPECT_EQ(Port.Port(), "");  // a missing text reads empty
}

TEST_F(StoreTest, AnyNameRoundTripsAndOneOddNameSpoilsNothing) {
  // Names that the file's own syntax uses: an equals sign, line ends,
  // brackets, backslashes, the empty default value.
  const std::vector<std::string> names = {"", "a=b", "=", "line\nend", "cr\r", "[x]", "[y", "z]", "back\\slash\\", "\\="};
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Software\\Odd\nKey\\\rPart[1]\\ComPort1", true));
  for (std::size_t i = 0; i < names.size(); ++i) reg.WriteString(names[i], "value " + std::to_string(i));
  reg.WriteInteger("number", 7);
  Port.StoreSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\HRVX3300");

  TRegistry fresh;
  ASSERT_TRUE(fresh.OpenKey("Software\\Odd\nKey\\\rPart[1]\\ComPort1", false));
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(fresh.ReadString(names[i]), "value " + std::to_string(i)) << i;
  EXPECT_EQ(fresh.ReadInteger("number"), 7);
  Port.SetPort("elsewhere");
  Port.LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\HRVX3300");  // the other component keeps its settings
  EXPECT_EQ(Port.Port(), "/dev/fake0");

  // A store written before names were escaped reads as it did.
  const fs::path store = Dir / "user/registry";
  std::ofstream(store, std::ios::trunc) << "[Software\\Old]\nPort=s:/dev/ttyS1\nodd\\path=s:x\n";
  ASSERT_TRUE(fresh.OpenKey("Software\\Old", false));
  EXPECT_EQ(fresh.ReadString("Port"), "/dev/ttyS1");
  EXPECT_EQ(fresh.ReadString("odd\\path"), "x");
}

TEST_F(StoreTest, LoadingIntoAnOpenPortReconfiguresOnce) {
  Port.Open();
  WriteIni("[ComPort1]\nPort=/dev/fake0\nBaudRate=57600\nDataBits=7\nStopBits=2\nParity=Odd\n");
  State->TakeCalls();
  Port.LoadSettings(stIniFile, Ini());
  int states = 0;
  for (const auto& c : State->TakeCalls()) states += c == "SetCommState";
  EXPECT_EQ(states, 1);
  EXPECT_EQ(State->Dcb.BaudRate, 57600u);
  EXPECT_EQ(State->Dcb.Parity, 1);
}

TEST_F(StoreTest, StoreFailuresSayCode16AndLeaveNoTemporaryFiles) {
  fs::create_directories(Dir / "ro");
  const std::string inMissingFolder = (Dir / "missing/port.ini").string();
  EXPECT_EQ(CodeOf([&] { Port.StoreSettings(stIniFile, inMissingFolder); }), 16);
  Port.StoreSettings(stIniFile, Ini());
  int files = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(Dir)) ++files;
  EXPECT_EQ(files, 2);  // port.ini and ro
}

TEST_F(StoreTest, ADamagedOrForeignStoreIsReadSafelyAndNeverOverwritten) {
  // A store edited on another system, with CR LF line ends, reads as written.
  fs::create_directories(Dir / "user");
  const fs::path store = Dir / "user/registry";
  std::ofstream(store) << "[Other]\r\nKeep=s:me\r\n[Software\\HRVX3300\\ComPort1]\r\nPort=s:/dev/ttyUSB7\r\n"
                          "BaudRate=s:57600\r\n";
  Port.LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\HRVX3300");
  EXPECT_EQ(Port.Port(), "/dev/ttyUSB7");
  EXPECT_EQ(Port.BaudRate(), br57600);
  TRegistry other;
  ASSERT_TRUE(other.OpenKey("Other", false));
  EXPECT_EQ(other.ReadString("Keep"), "me");

  // A store that cannot be read is refused and left exactly as it was.
  const std::string damaged = "[Other]\nKeep=s:me\ngarbage without an equals sign\n";
  std::ofstream(store, std::ios::trunc) << damaged;
  EXPECT_EQ(CodeOf([&] { Port.LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\New"); }), 17);
  EXPECT_EQ(CodeOf([&] { Port.StoreSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\New"); }), 16);
  EXPECT_EQ(Slurp(store), damaged);

  // Integers that are not 32-bit numbers are the load error, not a crash.
  TRegistry reg;
  for (const char* bad : {"11520015200", "12abc", "", "-"}) {
    std::ofstream(store, std::ios::trunc) << "[Bad\\ComPort1]\nBaudRate=s:Custom\nCustomBaudRate=i:" << bad << "\n";
    ASSERT_TRUE(reg.OpenKey("Bad\\ComPort1", false)) << bad;
    EXPECT_THROW(reg.ReadInteger("CustomBaudRate"), ERegistryException) << bad;
    EXPECT_EQ(CodeOf([&] { Port.LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Bad"); }), 17) << bad;
  }

  // A path without a backslash names no key: nothing is found, the
  // fallbacks apply, and nothing is written.
  fs::remove(store);
  Port.SetBaudRate(br115200);
  EXPECT_NO_THROW(Port.LoadSettings(stRegistry, "NoBackslash"));
  EXPECT_EQ(Port.BaudRate(), br9600);
  EXPECT_EQ(Port.Port(), "");
  EXPECT_FALSE(fs::exists(store));
}
