// The port's settings: the sub-objects, the setters, and the translation of
// the settings into the line configuration block, time-outs and queue sizes.
#include "CPort.h"

#define COM_SETTER(Class, Name, Type, Field) \
  void Class::Set##Name(Type value) {        \
    if (Field == value) return;              \
    Field = value;                           \
    Changed();                               \
  }

namespace {

// Takes source's values; the port that target belongs to stays its own.
template <class TSettings>
void AssignValues(TSettings& target, const TSettings& source) {
  TCustomComPort* const port = target.ComPort();
  target = source;
  target.SetComPort(port);
}

}  // namespace

void TComTimeouts::Changed() {
  if (FComPort) FComPort->ApplyTimeouts();
}
COM_SETTER(TComTimeouts, ReadInterval, int, FReadInterval)
COM_SETTER(TComTimeouts, ReadTotalMultiplier, int, FReadTotalM)
COM_SETTER(TComTimeouts, ReadTotalConstant, int, FReadTotalC)
COM_SETTER(TComTimeouts, WriteTotalMultiplier, int, FWriteTotalM)
COM_SETTER(TComTimeouts, WriteTotalConstant, int, FWriteTotalC)

void TComTimeouts::Assign(const TComTimeouts& source) { AssignValues(*this, source); }

void TComFlowControl::Changed() {
  if (FComPort) FComPort->ApplyDCB();
}
COM_SETTER(TComFlowControl, OutCTSFlow, bool, FOutCTSFlow)
COM_SETTER(TComFlowControl, OutDSRFlow, bool, FOutDSRFlow)
COM_SETTER(TComFlowControl, ControlDTR, TDTRFlowControl, FControlDTR)
COM_SETTER(TComFlowControl, ControlRTS, TRTSFlowControl, FControlRTS)
COM_SETTER(TComFlowControl, XonXoffOut, bool, FXonXoffOut)
COM_SETTER(TComFlowControl, XonXoffIn, bool, FXonXoffIn)
COM_SETTER(TComFlowControl, DSRSensitivity, bool, FDSRSensitivity)
COM_SETTER(TComFlowControl, TxContinueOnXoff, bool, FTxContinueOnXoff)
COM_SETTER(TComFlowControl, XonChar, char, FXonChar)
COM_SETTER(TComFlowControl, XoffChar, char, FXoffChar)

void TComFlowControl::Assign(const TComFlowControl& source) { AssignValues(*this, source); }

TFlowControl TComFlowControl::FlowControl() const {
  if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcHardware;
  if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut) return fcSoftware;
  if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
  if (value != fcCustom) {
    FControlRTS = rtsDisable;
    FOutCTSFlow = false;
    FXonXoffIn = false;
    FXonXoffOut = false;
  }
  if (value == fcHardware) {
    FControlRTS = rtsHandshake;
    FOutCTSFlow = true;
  } else if (value == fcSoftware) {
    FXonXoffIn = true;
    FXonXoffOut = true;
  }
  Changed();
}

void TComParity::Changed() {
  if (FComPort) FComPort->ApplyDCB();
}
COM_SETTER(TComParity, Bits, TParityBits, FBits)
COM_SETTER(TComParity, Check, bool, FCheck)
COM_SETTER(TComParity, Replace, bool, FReplace)
COM_SETTER(TComParity, ReplaceChar, char, FReplaceChar)

void TComParity::Assign(const TComParity& source) { AssignValues(*this, source); }

void TComBuffer::Changed() {
  if (FComPort) FComPort->ApplyBuffer();
}

void TComBuffer::SetInputSize(int value) {
  if (FInputSize == value) return;
  FInputSize = value > 0 && value % 2 == 1 ? value - 1 : value;
  Changed();
}

void TComBuffer::SetOutputSize(int value) {
  if (FOutputSize == value) return;
  FOutputSize = value > 0 && value % 2 == 1 ? value - 1 : value;
  Changed();
}

void TComBuffer::Assign(const TComBuffer& source) { AssignValues(*this, source); }

TCustomComPort::TCustomComPort() {
  FParity.SetComPort(this);
  FFlowControl.SetComPort(this);
  FTimeouts.SetComPort(this);
  FBuffer.SetComPort(this);
}

#define PORT_SETTER(Name, Type, Field, Apply) \
  void TCustomComPort::Set##Name(Type value) { \
    if (Field == value) return;                \
    Field = value;                             \
    Apply();                                   \
  }

PORT_SETTER(BaudRate, TBaudRate, FBaudRate, ApplyDCB)
PORT_SETTER(StopBits, TStopBits, FStopBits, ApplyDCB)
PORT_SETTER(DataBits, TDataBits, FDataBits, ApplyDCB)
PORT_SETTER(DiscardNull, bool, FDiscardNull, ApplyDCB)
PORT_SETTER(EventChar, char, FEventChar, ApplyDCB)
PORT_SETTER(CustomBaudRate, int, FCustomBaudRate, ApplyDCB)

void TCustomComPort::SetParity(const TComParity& value) {
  FParity.Assign(value);
  ApplyDCB();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
  FFlowControl.Assign(value);
  ApplyDCB();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
  FTimeouts.Assign(value);
  ApplyTimeouts();
}

void TCustomComPort::SetBuffer(const TComBuffer& value) {
  FBuffer.Assign(value);
  ApplyBuffer();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
  if (value == FSyncMethod) return;
  if (FConnected && !FLoading && !FDesigning) Raise(CError_ConnChangeProp);
  FSyncMethod = value;
}

void TCustomComPort::SetEventThreadPriority(TThreadPriority value) {
  if (value == FEventThreadPriority) return;
  if (FConnected && !FLoading && !FDesigning) Raise(CError_ConnChangeProp);
  FEventThreadPriority = value;
}

void TCustomComPort::SetTriggersOnRxChar(bool value) {
  if (FHasLink) Raise(CError_HasLink);
  FTriggersOnRxChar = value;
}

void TCustomComPort::SetOverlapped(bool value) {
  if (!FConnected) FOverlapped = value;
}

void TCustomComPort::SetLowLatency(bool value) {
  if (value == FLowLatency) return;
  FLowLatency = value;
  if (FConnected && !FLoading && !FDesigning) ApplyLowLatency();
}

void TCustomComPort::ApplyLowLatency() {
  const auto device = LiveDevice();
  if (!device) return;
  if (const int error = device->SetLowLatency(FLowLatency)) RaiseExt(CError_SetStateFailed, error);
}

void TCustomComPort::EndUpdate() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0) SetupComPort();
}

std::shared_ptr<TComDevice> TCustomComPort::ApplyTarget() const {
  if (!FConnected || FUpdateCount != 0 || FLoading || FDesigning) return nullptr;
  return LiveDevice();
}

TDCB TCustomComPort::BuildDCB() const {
  TDCB dcb;
  dcb.DCBlength = sizeof(TDCB);
  dcb.BaudRate = FBaudRate == brCustom ? std::uint32_t(FCustomBaudRate) : std::uint32_t(BaudRateValue(FBaudRate));
  std::uint32_t flags = dcb_Binary;
  const TComFlowControl& fc = FFlowControl;
  if (FDiscardNull) flags |= dcb_NullStrip;
  if (fc.OutCTSFlow()) flags |= dcb_OutxCTSFlow;
  if (fc.OutDSRFlow()) flags |= dcb_OutxDSRFlow;
  flags |= std::uint32_t(fc.ControlDTR()) << dcb_DTRControlShift;
  flags |= std::uint32_t(fc.ControlRTS()) << dcb_RTSControlShift;
  if (fc.XonXoffOut()) flags |= dcb_OutX;
  if (fc.XonXoffIn()) flags |= dcb_InX;
  if (fc.DSRSensitivity()) flags |= dcb_DSRSensivity;
  if (fc.TxContinueOnXoff()) flags |= dcb_TxContinueOnXoff;
  const bool replace = FParity.Check() && FParity.Replace();
  if (FParity.Check()) flags |= dcb_ParityCheck;
  if (replace) flags |= dcb_ErrorChar;
  dcb.Flags = flags;
  dcb.XonLim = dcb.XoffLim = static_cast<std::uint16_t>(FBuffer.InputSize() / 4);
  dcb.ByteSize = static_cast<std::uint8_t>(5 + FDataBits);
  dcb.Parity = FParity.Bits();
  dcb.StopBits = FStopBits;
  dcb.XonChar = fc.XonChar();
  dcb.XoffChar = fc.XoffChar();
  dcb.EvtChar = FEventChar;
  dcb.ErrorChar = replace ? FParity.ReplaceChar() : 0;
  return dcb;
}

void TCustomComPort::ApplyDCB() {
  const auto device = ApplyTarget();
  if (!device) return;
  if (const int error = device->SetCommState(BuildDCB())) RaiseExt(CError_SetStateFailed, error);
}

void TCustomComPort::ApplyTimeouts() {
  const auto device = ApplyTarget();
  if (!device) return;
  const auto field = [](int v) { return v == -1 ? MAXDWORD : static_cast<std::uint32_t>(v); };
  TCommTimeouts t;
  t.ReadIntervalTimeout = field(FTimeouts.ReadInterval());
  t.ReadTotalTimeoutMultiplier = field(FTimeouts.ReadTotalMultiplier());
  t.ReadTotalTimeoutConstant = field(FTimeouts.ReadTotalConstant());
  t.WriteTotalTimeoutMultiplier = field(FTimeouts.WriteTotalMultiplier());
  t.WriteTotalTimeoutConstant = field(FTimeouts.WriteTotalConstant());
  if (const int error = device->SetCommTimeouts(t)) RaiseExt(CError_TimeoutsFailed, error);
}

void TCustomComPort::ApplyBuffer() {
  const auto device = ApplyTarget();
  if (!device) return;
  if (const int error = device->SetupComm(std::uint32_t(FBuffer.InputSize()), std::uint32_t(FBuffer.OutputSize())))
    RaiseExt(CError_SetupComFailed, error);
}

void TCustomComPort::SetupComPort() {
  ApplyBuffer();
  ApplyDCB();
  ApplyTimeouts();
}

void TCustomComPort::Raise(int code) { throw EComPort(FPort, code); }

void TCustomComPort::RaiseExt(int code, int osError) { throw EComPortExt(FPort, code, osError); }
