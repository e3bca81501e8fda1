// Saving and loading a port's settings in an INI file or the registry.
#include "CPort.h"
#include "CPortTexts.h"
#include "IniFiles.h"
#include "Registry.h"

namespace {

// The groups in the order they are written and read.
const TStoredProp GroupOrder[] = {spBasic, spOthers, spParity, spBuffer, spTimeouts, spFlowControl};

}  // namespace

void TCustomComPort::StoreValues(const TWriteText& text, const TWriteInt& integer) {
  TComFlowControl& fc = FFlowControl;
  for (TStoredProp group : GroupOrder) {
    if (!FStoreGroups.Contains(group)) continue;
    switch (group) {
      case spBasic:
        text("Port", FPort);
        text("BaudRate", BaudRateToStr(FBaudRate));
        if (FBaudRate == brCustom) integer("CustomBaudRate", FCustomBaudRate);
        text("StopBits", StopBitsToStr(FStopBits));
        text("DataBits", DataBitsToStr(FDataBits));
        text("Parity", ParityToStr(FParity.Bits()));
        text("FlowControl", FlowControlToStr(fc.FlowControl()));
        break;
      case spOthers:
        text("EventChar", CharSettingToStr(FEventChar));
        text("DiscardNull", YesNoToStr(FDiscardNull));
        break;
      case spParity:
        text("Parity.Check", YesNoToStr(FParity.Check()));
        text("Parity.Replace", YesNoToStr(FParity.Replace()));
        text("Parity.ReplaceChar", CharSettingToStr(FParity.ReplaceChar()));
        break;
      case spBuffer:
        integer("Buffer.OutputSize", FBuffer.OutputSize());
        integer("Buffer.InputSize", FBuffer.InputSize());
        break;
      case spTimeouts:
        integer("Timeouts.ReadInterval", FTimeouts.ReadInterval());
        integer("Timeouts.ReadTotalConstant", FTimeouts.ReadTotalConstant());
        integer("Timeouts.ReadTotalMultiplier", FTimeouts.ReadTotalMultiplier());
        integer("Timeouts.WriteTotalConstant", FTimeouts.WriteTotalConstant());
        integer("Timeouts.WriteTotalMultiplier", FTimeouts.WriteTotalMultiplier());
        break;
      case spFlowControl:
        text("FlowControl.ControlRTS", RTSControlToStr(fc.ControlRTS()));
        text("FlowControl.ControlDTR", DTRControlToStr(fc.ControlDTR()));
        text("FlowControl.DSRSensitivity", YesNoToStr(fc.DSRSensitivity()));
        text("FlowControl.OutCTSFlow", YesNoToStr(fc.OutCTSFlow()));
        text("FlowControl.OutDSRFlow", YesNoToStr(fc.OutDSRFlow()));
        text("FlowControl.TxContinueOnXoff", YesNoToStr(fc.TxContinueOnXoff()));
        text("FlowControl.XonXoffIn", YesNoToStr(fc.XonXoffIn()));
        text("FlowControl.XonXoffOut", YesNoToStr(fc.XonXoffOut()));
        text("FlowControl.XoffChar", CharSettingToStr(fc.XoffChar()));
        text("FlowControl.XonChar", CharSettingToStr(fc.XonChar()));
        break;
    }
  }
}

void TCustomComPort::LoadValues(const TReadText& text, const TReadInt& integer) {
  TComFlowControl& fc = FFlowControl;
  for (TStoredProp group : GroupOrder) {
    if (!FStoreGroups.Contains(group)) continue;
    switch (group) {
      case spBasic:
        SetPort(text("Port", FPort));
        SetBaudRate(StrToBaudRate(text("BaudRate", BaudRateToStr(FBaudRate))));
        if (FBaudRate == brCustom) SetCustomBaudRate(integer("CustomBaudRate", 9600));
        SetStopBits(StrToStopBits(text("StopBits", StopBitsToStr(FStopBits))));
        SetDataBits(StrToDataBits(text("DataBits", DataBitsToStr(FDataBits))));
        FParity.SetBits(StrToParity(text("Parity", ParityToStr(FParity.Bits()))));
        fc.SetFlowControl(StrToFlowControl(text("FlowControl", FlowControlToStr(fc.FlowControl()))));
        break;
      case spOthers:
        SetEventChar(StrToCharSetting(text("EventChar", CharSettingToStr(FEventChar))));
        SetDiscardNull(StrToYesNo(text("DiscardNull", YesNoToStr(FDiscardNull))));
        break;
      case spParity:
        FParity.SetCheck(StrToYesNo(text("Parity.Check", YesNoToStr(FParity.Check()))));
        FParity.SetReplace(StrToYesNo(text("Parity.Replace", YesNoToStr(FParity.Replace()))));
        FParity.SetReplaceChar(StrToCharSetting(text("Parity.ReplaceChar", CharSettingToStr(FParity.ReplaceChar()))));
        break;
      case spBuffer:
        FBuffer.SetOutputSize(integer("Buffer.OutputSize", FBuffer.OutputSize()));
        FBuffer.SetInputSize(integer("Buffer.InputSize", FBuffer.InputSize()));
        break;
      case spTimeouts:
        FTimeouts.SetReadInterval(integer("Timeouts.ReadInterval", FTimeouts.ReadInterval()));
        FTimeouts.SetReadTotalConstant(integer("Timeouts.ReadTotalConstant", FTimeouts.ReadTotalConstant()));
        FTimeouts.SetReadTotalMultiplier(integer("Timeouts.ReadTotalMultiplier", FTimeouts.ReadTotalMultiplier()));
        FTimeouts.SetWriteTotalConstant(integer("Timeouts.WriteTotalConstant", FTimeouts.WriteTotalConstant()));
        FTimeouts.SetWriteTotalMultiplier(integer("Timeouts.WriteTotalMultiplier", FTimeouts.WriteTotalMultiplier()));
        break;
      case spFlowControl:
        fc.SetControlRTS(StrToRTSControl(text("FlowControl.ControlRTS", RTSControlToStr(fc.ControlRTS()))));
        fc.SetControlDTR(StrToDTRControl(text("FlowControl.ControlDTR", DTRControlToStr(fc.ControlDTR()))));
        fc.SetDSRSensitivity(StrToYesNo(text("FlowControl.DSRSensitivity", YesNoToStr(fc.DSRSensitivity()))));
        fc.SetOutCTSFlow(StrToYesNo(text("FlowControl.OutCTSFlow", YesNoToStr(fc.OutCTSFlow()))));
        fc.SetOutDSRFlow(StrToYesNo(text("FlowControl.OutDSRFlow", YesNoToStr(fc.OutDSRFlow()))));
        fc.SetTxContinueOnXoff(StrToYesNo(text("FlowControl.TxContinueOnXoff", YesNoToStr(fc.TxContinueOnXoff()))));
        fc.SetXonXoffIn(StrToYesNo(text("FlowControl.XonXoffIn", YesNoToStr(fc.XonXoffIn()))));
        fc.SetXonXoffOut(StrToYesNo(text("FlowControl.XonXoffOut", YesNoToStr(fc.XonXoffOut()))));
        fc.SetXoffChar(StrToCharSetting(text("FlowControl.XoffChar", CharSettingToStr(fc.XoffChar()))));
        fc.SetXonChar(StrToCharSetting(text("FlowControl.XonChar", CharSettingToStr(fc.XonChar()))));
        break;
    }
  }
}

void TCustomComPort::StoreIniFile(TIniFile& ini) {
  StoreValues([&](const std::string& key, const std::string& value) { ini.WriteString(FName, key, value); },
              [&](const std::string& key, int value) { ini.WriteInteger(FName, key, value); });
}

void TCustomComPort::StoreRegistry(TRegistry& reg) {
  StoreValues([&](const std::string& key, const std::string& value) { reg.WriteString(key, value); },
              [&](const std::string& key, int value) { reg.WriteInteger(key, value); });
}

void TCustomComPort::LoadIniFile(TIniFile& ini) {
  LoadValues([&](const std::string& key, const std::string& current) { return ini.ReadString(FName, key, current); },
             [&](const std::string& key, int current) { return ini.ReadInteger(FName, key, current); });
}

// The registry has no defaults: a missing text reads empty, a missing
// integer fails the load.
void TCustomComPort::LoadRegistry(TRegistry& reg) {
  LoadValues([&](const std::string& key, const std::string&) { return reg.ReadString(key); },
             [&](const std::string& key, int) { return reg.ReadInteger(key); });
}

void TCustomComPort::OpenSettingsKey(TRegistry& registry, const std::string& path) {
  const auto slash = path.find('\\');
  if (slash == std::string::npos) return;  // no key: every write fails, every read finds nothing
  std::string root = path.substr(0, slash);
  for (char& c : root)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  if (root == "HKEY_LOCAL_MACHINE") registry.RootKey = HKEY_LOCAL_MACHINE;
  else registry.RootKey = HKEY_CURRENT_USER;
  std::string key = path.substr(slash + 1);
  if (key.empty() || key.back() != '\\') key += '\\';
  registry.OpenKey(key + FName, true);
}

void TCustomComPort::StoreSettings(TStoreType storeType, const std::string& path) {
  try {
    if (storeType == stIniFile) {
      TIniFile ini(path);
      StoreIniFile(ini);
    } else {
      TRegistry registry;
      registry.RootKey = HKEY_CURRENT_USER;
      OpenSettingsKey(registry, path);
      StoreRegistry(registry);
    }
  } catch (...) {
    Raise(CError_StoreFailed);
  }
}

void TCustomComPort::LoadSettings(TStoreType storeType, const std::string& path) {
  bool failed = false;
  BeginUpdate();
  try {
    if (storeType == stIniFile) {
      TIniFile ini(path);
      LoadIniFile(ini);
    } else {
      TRegistry registry;
      OpenSettingsKey(registry, path);
      LoadRegistry(registry);
    }
  } catch (...) {
    failed = true;
  }
  try {
    EndUpdate();
  } catch (...) {
    failed = true;
  }
  if (failed) Raise(CError_LoadFailed);
}
