#include "CPortList.h"
#include "CPortTexts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TEST(SettingTexts, EveryTextReadsBackToItsValue) {
  for (int v = brCustom; v <= br256000; ++v) EXPECT_EQ(StrToBaudRate(BaudRateToStr(TBaudRate(v))), TBaudRate(v));
  for (int v = sbOneStopBit; v <= sbTwoStopBits; ++v) EXPECT_EQ(StrToStopBits(StopBitsToStr(TStopBits(v))), TStopBits(v));
  for (int v = dbFive; v <= dbEight; ++v) EXPECT_EQ(StrToDataBits(DataBitsToStr(TDataBits(v))), TDataBits(v));
  for (int v = prNone; v <= prSpace; ++v) EXPECT_EQ(StrToParity(ParityToStr(TParityBits(v))), TParityBits(v));
  for (int v = fcHardware; v <= fcCustom; ++v)
    EXPECT_EQ(StrToFlowControl(FlowControlToStr(TFlowControl(v))), TFlowControl(v));
  for (int v = dtrDisable; v <= dtrHandshake; ++v)
    EXPECT_EQ(StrToDTRControl(DTRControlToStr(TDTRFlowControl(v))), TDTRFlowControl(v));
  for (int v = rtsDisable; v <= rtsToggle; ++v)
    EXPECT_EQ(StrToRTSControl(RTSControlToStr(TRTSFlowControl(v))), TRTSFlowControl(v));
  for (bool v : {false, true}) EXPECT_EQ(StrToYesNo(YesNoToStr(v)), v);
  for (int code = 0; code < 256; ++code) EXPECT_EQ(StrToCharSetting(CharSettingToStr(char(code))), char(code)) << code;
}

TEST(SettingTexts, TablesAndBitRates) {
  EXPECT_EQ(BaudRateToStr(brCustom), "Custom");
  EXPECT_EQ(BaudRateToStr(br115200), "115200");
  EXPECT_EQ(BaudRateToInt(brCustom), 0);
  EXPECT_EQ(BaudRateToInt(br14400), 14400);
  EXPECT_EQ(StopBitsToStr(sbOne5StopBits), "1.5");
  EXPECT_EQ(ParityToStr(prSpace), "Space");
  EXPECT_EQ(FlowControlToStr(fcNone), "None");
  EXPECT_EQ(RTSControlToStr(rtsToggle), "Toggle");
  EXPECT_EQ(YesNoToStr(true), "Yes");
}

TEST(SettingTexts, ParsingIgnoresCaseAndFallsBack) {
  EXPECT_EQ(StrToBaudRate("115200"), br115200);
  EXPECT_EQ(StrToBaudRate("custom"), brCustom);
  EXPECT_EQ(StrToBaudRate(""), br9600);
  EXPECT_EQ(StrToBaudRate("115 200"), br9600);
  EXPECT_EQ(StrToBaudRate(" 115200"), br9600);
  EXPECT_EQ(StrToStopBits("1.5"), sbOne5StopBits);
  EXPECT_EQ(StrToStopBits("1,5"), sbOneStopBit);
  EXPECT_EQ(StrToDataBits("9"), dbEight);
  EXPECT_EQ(StrToParity("EVEN"), prEven);
  EXPECT_EQ(StrToParity("Ev"), prNone);
  EXPECT_EQ(StrToFlowControl("none"), fcNone);
  EXPECT_EQ(StrToFlowControl(""), fcCustom);
  EXPECT_EQ(StrToRTSControl("toggle"), rtsToggle);
  EXPECT_EQ(StrToDTRControl("toggle"), dtrDisable);
  EXPECT_TRUE(StrToYesNo("yEs"));
  EXPECT_FALSE(StrToYesNo("Y"));
  EXPECT_FALSE(StrToYesNo("True"));
  EXPECT_FALSE(StrToYesNo(""));
}

TEST(SettingTexts, CharacterSettings) {
  EXPECT_EQ(CharSettingToStr(0), "#0");
  EXPECT_EQ(CharSettingToStr(' '), "#32");
  EXPECT_EQ(CharSettingToStr('A'), "A");
  EXPECT_EQ(CharSettingToStr(char(127)), std::string(1, char(127)));
  EXPECT_EQ(CharSettingToStr(char(128)), "#128");
  EXPECT_EQ(StrToCharSetting("#17"), 17);
  EXPECT_EQ(StrToCharSetting("#300"), 44);
  EXPECT_EQ(StrToCharSetting("#x"), 0);
  EXPECT_EQ(StrToCharSetting(""), 0);
  EXPECT_EQ(StrToCharSetting("#"), '#');
  EXPECT_EQ(StrToCharSetting("AB"), 'A');
}

namespace {

class FakeSysfs : public testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/sysfs-XXXXXX";
    Root = mkdtemp(name);
    fs::create_directories(Root / "class/tty");
    fs::create_directories(Root / "devices/platform/serial8250");
    fs::create_directories(Root / "devices/usb/1-1");
  }
  void TearDown() override { fs::remove_all(Root); }
  // A tty entry; with a device behind it when device is set, and a UART type when given.
  void Tty(const std::string& name, bool device, const char* type = nullptr) {
    const fs::path dir = Root / "class/tty" / name;
    fs::create_directories(dir);
    if (device) fs::create_directory_symlink(Root / "devices/usb/1-1", dir / "device");
    if (type) std::ofstream(dir / "type") << type << "\n";
  }
  std::vector<std::string> Ports() {
    std::vector<std::string> ports{"stale"};
    EnumComPorts(ports, Root.string());
    return ports;
  }
  fs::path Root;
};

}  // namespace

TEST_F(FakeSysfs, ListsRealSerialPortsSortedWithoutCase) {
  Tty("ttyS0", true, "4");
  Tty("ttyS1", true, "0");  // no UART behind it
  Tty("ttyS10", true, "4");
  Tty("ttyS2", true, "4");
  Tty("ttyUSB0", true);
  Tty("ttyACM0", true);
  Tty("rfcomm0", false);
  Tty("tty0", false);    // a console
  Tty("ptmx", false);
  EXPECT_EQ(Ports(), (std::vector<std::string>{"/dev/rfcomm0", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS10", "/dev/ttyS2",
                                               "/dev/ttyUSB0"}));
}

TEST_F(FakeSysfs, NoPortsIsAnEmptyListAndNoClassIsAnError) {
  Tty("tty1", false);
  EXPECT_TRUE(Ports().empty());
  std::vector<std::string> ports{"kept"};
  try {
    EnumComPorts(ports, (Root / "missing").string());
    FAIL();
  } catch (const EComPortExt& e) {
    EXPECT_EQ(e.PortErrorCode, 23);
    EXPECT_EQ(e.OsErrorCode, ENOENT);
    EXPECT_STREQ(e.what(), "COM Port Error: Registry error on EnumComPorts");
  }
  EXPECT_EQ(ports, std::vector<std::string>{"kept"});
}
