// Fuzzes the port's setting texts and its stored settings: the first byte
// picks the INI file or the registry store, the rest is the store. Settings
// loaded from any store are stored and load back to the same settings; each
// line also goes through every text reader, whose result writes and reads
// back unchanged.
#include "CPort.h"
#include "CPortTexts.h"
#include "FuzzSupport.h"
#include "Registry.h"

#include <sstream>

namespace {

const TStoredProps All{spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers};

void CheckTexts(const std::string& text) {
  FUZZ_REQUIRE(StrToBaudRate(BaudRateToStr(StrToBaudRate(text))) == StrToBaudRate(text), "baud rate text");
  FUZZ_REQUIRE(StrToStopBits(StopBitsToStr(StrToStopBits(text))) == StrToStopBits(text), "stop bits text");
  FUZZ_REQUIRE(StrToDataBits(DataBitsToStr(StrToDataBits(text))) == StrToDataBits(text), "data bits text");
  FUZZ_REQUIRE(StrToParity(ParityToStr(StrToParity(text))) == StrToParity(text), "parity text");
  FUZZ_REQUIRE(StrToFlowControl(FlowControlToStr(StrToFlowControl(text))) == StrToFlowControl(text), "flow text");
  FUZZ_REQUIRE(StrToDTRControl(DTRControlToStr(StrToDTRControl(text))) == StrToDTRControl(text), "DTR text");
  FUZZ_REQUIRE(StrToRTSControl(RTSControlToStr(StrToRTSControl(text))) == StrToRTSControl(text), "RTS text");
  FUZZ_REQUIRE(StrToYesNo(YesNoToStr(StrToYesNo(text))) == StrToYesNo(text), "yes/no text");
  FUZZ_REQUIRE(StrToCharSetting(CharSettingToStr(StrToCharSetting(text))) == StrToCharSetting(text), "char text");
}

// Stores port's settings in a fresh INI file and gives the file's text.
std::string Stored(TComPort& port, const TScratchFile& file) {
  file.Remove();
  port.StoreSettings(stIniFile, file.Path);
  return file.Read();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TScratchFile source("settings"), first("settings-1"), second("settings-2");
  if (size == 0) return 0;
  const bool registry = data[0] & 1;
  const std::string store = Bytes(data + 1, size - 1);

  std::istringstream lines(store);
  int count = 0;
  for (std::string line; count < 32 && std::getline(lines, line); ++count) {
    CheckTexts(line);
    const auto eq = line.find('=');
    if (eq != std::string::npos) CheckTexts(line.substr(eq + 1));
  }

  source.Write(store);
  TComPort loaded;
  loaded.SetName("ComPort1");
  loaded.SetStoreGroups(All);
  try {
    if (registry) {
      TRegistry::SetRootFile(HKEY_CURRENT_USER, source.Path);
      loaded.LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\HRVX3300");
    } else {
      loaded.LoadSettings(stIniFile, source.Path);
    }
  } catch (const EComPort&) {
    return 0;  // a store that cannot be loaded says so
  }
  const std::string once = Stored(loaded, first);
  TComPort again;
  again.SetName("ComPort1");
  again.SetStoreGroups(All);
  again.LoadSettings(stIniFile, first.Path);
  FUZZ_REQUIRE(Stored(again, second) == once, "stored settings load back the same");
  return 0;
}
