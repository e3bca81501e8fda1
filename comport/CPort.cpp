#include "CPort.h"

#include "Threads.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

// The event thread of an open port: waits for line events and delivers them
// by the port's SyncMethod.
class TComThread {
public:
  explicit TComThread(TCustomComPort* port);
  ~TComThread();
  void Stop();
  bool Finished() const { return Thread->Finished(); }

private:
  void Execute();
  void DispatchComMsg();
  void DoEvents();
  void SendEvents();

  TCustomComPort* Owner;
  TComStopEvent StopEvent;
  TComEvents Events;
  std::unique_ptr<TThread> Thread;
};

namespace {

struct TEventBit {
  TComEvent Event;
  std::uint32_t Mask;
};

// The events in delivery order, with their mask bits.
const TEventBit DeliveryOrder[] = {
    {evError, EV_ERR},   {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY}, {evBreak, EV_BREAK},
    {evRing, EV_RING},   {evCTS, EV_CTS},       {evDSR, EV_DSR},         {evRxFlag, EV_RXFLAG},
    {evRLSD, EV_RLSD},   {evRx80Full, EV_RX80FULL},
};

// The component's error for a system error; a closed port has no device.
constexpr int NoDevice = EBADF;

}  // namespace

std::uint32_t EventsToMask(TComEvents events) {
  std::uint32_t mask = 0;
  for (const TEventBit& e : DeliveryOrder)
    if (events.Contains(e.Event)) mask |= e.Mask;
  return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
  TComEvents events;
  for (const TEventBit& e : DeliveryOrder)
    if (mask & e.Mask) events.Include(e.Event);
  return events;
}

// ---------------------------------------------------------------- settings

#define COM_SETTER(Class, Name, Type, Field) \
  void Class::Set##Name(Type value) {        \
    if (Field == value) return;              \
    Field = value;                           \
    Changed();                               \
  }

void TComTimeouts::Changed() {
  if (FComPort) FComPort->ApplyTimeouts();
}
COM_SETTER(TComTimeouts, ReadInterval, int, FReadInterval)
COM_SETTER(TComTimeouts, ReadTotalMultiplier, int, FReadTotalM)
COM_SETTER(TComTimeouts, ReadTotalConstant, int, FReadTotalC)
COM_SETTER(TComTimeouts, WriteTotalMultiplier, int, FWriteTotalM)
COM_SETTER(TComTimeouts, WriteTotalConstant, int, FWriteTotalC)

void TComTimeouts::Assign(const TComTimeouts& source) {
  FReadInterval = source.FReadInterval;
  FReadTotalM = source.FReadTotalM;
  FReadTotalC = source.FReadTotalC;
  FWriteTotalM = source.FWriteTotalM;
  FWriteTotalC = source.FWriteTotalC;
}

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

void TComFlowControl::Assign(const TComFlowControl& source) {
  FOutCTSFlow = source.FOutCTSFlow;
  FOutDSRFlow = source.FOutDSRFlow;
  FControlDTR = source.FControlDTR;
  FControlRTS = source.FControlRTS;
  FXonXoffOut = source.FXonXoffOut;
  FXonXoffIn = source.FXonXoffIn;
  FDSRSensitivity = source.FDSRSensitivity;
  FTxContinueOnXoff = source.FTxContinueOnXoff;
  FXonChar = source.FXonChar;
  FXoffChar = source.FXoffChar;
}

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

void TComParity::Assign(const TComParity& source) {
  FBits = source.FBits;
  FCheck = source.FCheck;
  FReplace = source.FReplace;
  FReplaceChar = source.FReplaceChar;
}

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

void TComBuffer::Assign(const TComBuffer& source) {
  FInputSize = source.FInputSize;
  FOutputSize = source.FOutputSize;
}

TCustomComPort::TCustomComPort() {
  FParity.SetComPort(this);
  FFlowControl.SetComPort(this);
  FTimeouts.SetComPort(this);
  FBuffer.SetComPort(this);
}

std::function<void(TCustomComPort&)> TCustomComPort::SetupDialog;

void TCustomComPort::ShowSetupDialog() {
  if (!SetupDialog) throw EComPort("No setup dialog is available for " + FPort);
  SetupDialog(*this);
}

void TCustomComPort::FreeNotification(TComFreeNotify* watcher) {
  if (std::find(FWatchers.begin(), FWatchers.end(), watcher) == FWatchers.end()) FWatchers.push_back(watcher);
}

void TCustomComPort::RemoveFreeNotification(TComFreeNotify* watcher) {
  FWatchers.erase(std::remove(FWatchers.begin(), FWatchers.end(), watcher), FWatchers.end());
}

TCustomComPort::~TCustomComPort() {
  for (TComFreeNotify* watcher : std::vector<TComFreeNotify*>(FWatchers)) watcher->PortDestroyed(this);
  *FAlive = false;
  try {
    Close();
  } catch (...) {
    HandleException(std::current_exception());
  }
  // A port that could not close cleanly still lets go of its device.
  FEventThread.reset();
  if (FDevice) FDevice->Close();
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

void TCustomComPort::SetPort(const std::string& value) {
  if (FPort == value) return;
  FPort = value;
  if (FConnected && !FLoading && !FDesigning) {
    Close();
    Open();
  }
}

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

void TCustomComPort::EndUpdate() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0) SetupComPort();
}

bool TCustomComPort::CanApply() const { return FConnected && FUpdateCount == 0 && !FLoading && !FDesigning; }

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
  if (!CanApply()) return;
  if (const int error = FDevice->SetCommState(BuildDCB())) RaiseExt(CError_SetStateFailed, error);
}

void TCustomComPort::ApplyTimeouts() {
  if (!CanApply()) return;
  const auto field = [](int v) { return v == -1 ? MAXDWORD : static_cast<std::uint32_t>(v); };
  TCommTimeouts t;
  t.ReadIntervalTimeout = field(FTimeouts.ReadInterval());
  t.ReadTotalTimeoutMultiplier = field(FTimeouts.ReadTotalMultiplier());
  t.ReadTotalTimeoutConstant = field(FTimeouts.ReadTotalConstant());
  t.WriteTotalTimeoutMultiplier = field(FTimeouts.WriteTotalMultiplier());
  t.WriteTotalTimeoutConstant = field(FTimeouts.WriteTotalConstant());
  if (const int error = FDevice->SetCommTimeouts(t)) RaiseExt(CError_TimeoutsFailed, error);
}

void TCustomComPort::ApplyBuffer() {
  if (!CanApply()) return;
  if (const int error = FDevice->SetupComm(std::uint32_t(FBuffer.InputSize()), std::uint32_t(FBuffer.OutputSize())))
    RaiseExt(CError_SetupComFailed, error);
}

void TCustomComPort::SetupComPort() {
  ApplyBuffer();
  ApplyDCB();
  ApplyTimeouts();
}

void TCustomComPort::Raise(int code) { throw EComPort(FPort, code); }

void TCustomComPort::RaiseExt(int code, int osError) { throw EComPortExt(FPort, code, osError); }

// ------------------------------------------------------- opening, closing

void TCustomComPort::Loaded() {
  FLoading = false;
  if (FConnected && !FDesigning) {
    FConnected = false;
    try {
      Open();
    } catch (...) {
      HandleException(std::current_exception());
    }
  }
}

void TCustomComPort::SetConnected(bool value) {
  if (FLoading || FDesigning) {
    FConnected = value;
    return;
  }
  if (value == FConnected) return;
  if (value)
    Open();
  else
    Close();
}

void TCustomComPort::CreateHandle() {
  std::unique_ptr<TComDevice> device = FDeviceFactory ? FDeviceFactory() : CreatePlatformComDevice();
  const std::string path = ComDevicePath(FPort);
  if (const int error = device->Open(path)) {
    OutputDebugString("CreateFile " + path);
    RaiseExt(CError_OpenFailed, error);
  }
  FDevice = std::move(device);
}

void TCustomComPort::DestroyHandle() {
  if (!FDevice) return;
  FDevice->Close();
  FDevice.reset();
}

void TCustomComPort::Open() {
  if (FConnected || FDesigning) return;
  CallBeforeOpen();
  CreateHandle();
  FConnected = true;
  try {
    SetupComPort();
  } catch (...) {
    DestroyHandle();
    FConnected = false;
    throw;
  }
  FThreadCreated = false;
  if (!FEvents.Empty() && FOverlapped) {
    FEventThread = std::make_unique<TComThread>(this);
    FThreadCreated = true;
  }
  CallAfterOpen();
}

void TCustomComPort::Close() {
  if (!FConnected || FDesigning) return;
  // From inside one of this port's own handlers the event thread waits for
  // the handler, so the close has to wait until the handler has returned.
  if (FDispatchDepth > 0 || !IsMainThread()) {
    std::weak_ptr<bool> alive = FAlive;
    Queue([this, alive] {
      if (auto a = alive.lock(); a && *a) Close();
    });
    return;
  }
  CallBeforeClose();
  AbortAllAsync();
  if (FThreadCreated) {
    FEventThread.reset();  // stops the thread and waits for it
    FThreadCreated = false;
  }
  DestroyHandle();
  FConnected = false;
  CallAfterClose();
}

TComThread::TComThread(TCustomComPort* port) : Owner(port) {
  // The platform's thread priorities need privileges here; the setting is
  // kept but the thread runs at the normal priority.
  Owner->FDevice->SetCommMask(EventsToMask(Owner->FEvents));
  Thread = std::make_unique<TThread>([this] { Execute(); }, "ComThread");
}

TComThread::~TComThread() {
  Stop();
  Thread->WaitFor();
}

void TComThread::Stop() {
  StopEvent.Set();
  std::this_thread::yield();
}

void TComThread::Execute() {
  TComDevice* device = Owner->FDevice.get();
  for (;;) {
    std::uint32_t mask = 0;
    // Ends on the stop event, an error, or a device that has gone away
    // (hang-up): the thread never turns without blocking.
    if (device->WaitCommEvent(mask, &StopEvent, -1) != 0) break;
    if (mask == 0) continue;
    Events = MaskToEvents(mask);
    DispatchComMsg();
  }
  device->SetCommMask(0);
  device->PurgeComm(PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void TComThread::DispatchComMsg() {
  switch (Owner->FSyncMethod) {
    case smThreadSync:
      Synchronize([this] { DoEvents(); });
      break;
    case smWindowSync:
      SendEvents();
      break;
    case smNone:
      DoEvents();
      break;
    case smDisableEvents:
      break;
  }
}

// Marks a port's handlers as running, for Close to know it must wait.
struct TDispatchScope {
  explicit TDispatchScope(std::atomic<int>& depth) : Depth(depth) { ++Depth; }
  ~TDispatchScope() { --Depth; }
  std::atomic<int>& Depth;
};

void TComThread::DoEvents() {
  TCustomComPort* port = Owner;
  TDispatchScope scope(port->FDispatchDepth);
  for (const TEventBit& e : DeliveryOrder)
    if (Events.Contains(e.Event)) port->WindowMethod(e.Mask);
}

void TComThread::SendEvents() {
  TCustomComPort* port = Owner;
  for (const TEventBit& e : DeliveryOrder) {
    if (!Events.Contains(e.Event)) continue;
    const std::uint32_t bit = e.Mask;
    // The UI thread releases this thread as soon as it starts the event.
    SendAndRelease([port, bit] {
      if (!port->FConnected) return;  // events after Close are dropped
      TDispatchScope scope(port->FDispatchDepth);
      port->WindowMethod(bit);
    });
  }
}

void TCustomComPort::WindowMethod(std::uint32_t eventBit) {
  switch (eventBit) {
    case EV_ERR: CallError(); break;
    case EV_RXCHAR: CallRxChar(); break;
    case EV_TXEMPTY: CallTxEmpty(); break;
    case EV_BREAK: CallBreak(); break;
    case EV_RING: CallRing(); break;
    case EV_CTS: CallCTSChange(); break;
    case EV_DSR: CallDSRChange(); break;
    case EV_RXFLAG: CallRxFlag(); break;
    case EV_RLSD: CallRLSDChange(); break;
    case EV_RX80FULL: CallRx80Full(); break;
    default: break;
  }
}

// ------------------------------------------------------ reading, writing

void CportInitAsync(PCPortAsync& async) { async = new TCPortAsync(); }

void CportDoneAsync(PCPortAsync& async) {
  delete async;
  async = nullptr;
}

void TCustomComPort::CheckAsync(PCPortAsync async) {
  if (!async) Raise(CError_InvalidAsync);
}

int TCustomComPort::WriteAsync(const void* buffer, int count, PCPortAsync async) {
  CheckAsync(async);
  async->Kind = okWrite;
  async->Size = std::max(count, 0);
  async->Data = std::make_unique<std::uint8_t[]>(std::size_t(async->Size));
  if (async->Size > 0) std::memcpy(async->Data.get(), buffer, std::size_t(async->Size));
  // The device writes from the record's copy, so the caller's buffer may go.
  const int result = FDevice ? FDevice->WriteFile(async->Data.get(), std::uint32_t(async->Size), async->Overlapped) : NoDevice;
  if (result != 0 && result != ERROR_IO_PENDING) RaiseExt(CError_WriteFailed, result);
  SendSignalToLink(leTx, true);
  return result == 0 ? int(async->Overlapped.Done) : 0;
}

int TCustomComPort::WriteStrAsync(const std::string& str, PCPortAsync async) {
  if (str.empty()) return 0;
  return WriteAsync(str.data(), int(str.size()), async);
}

int TCustomComPort::Write(const void* buffer, int count) {
  if (!FOverlapped) {
    if (!FConnected) return 0;
    TComOverlapped ov;
    int result = FDevice->WriteFile(buffer, std::uint32_t(std::max(count, 0)), ov);
    if (result == ERROR_IO_PENDING) result = FDevice->GetOverlappedResult(ov, true);
    return result == 0 ? count : 0;
  }
  PCPortAsync async = nullptr;
  CportInitAsync(async);
  std::unique_ptr<TCPortAsync> release(async);
  WriteAsync(buffer, count, async);
  return WaitForAsync(async);
}

int TCustomComPort::WriteStr(const std::string& str) {
  if (!FOverlapped) return Write(str.data(), int(str.size())) ? int(str.size()) : 0;
  OutputDebugString("TCustomComPort.WriteStr");
  PCPortAsync async = nullptr;
  CportInitAsync(async);
  std::unique_ptr<TCPortAsync> release(async);
  WriteStrAsync(str, async);
  return WaitForAsync(async);
}

int TCustomComPort::ReadAsync(void* buffer, int count, PCPortAsync async) {
  CheckAsync(async);
  async->Kind = okRead;
  if (count > 0) *static_cast<std::uint8_t*>(buffer) = 0xFF;
  const int result = FDevice ? FDevice->ReadFile(buffer, std::uint32_t(std::max(count, 0)), async->Overlapped) : NoDevice;
  if (result == 0) return int(async->Overlapped.Done);
  if (result == ERROR_IO_PENDING) return 0;
  // A read that cannot be issued reads nothing; the wait returns 0 at once.
  async->Overlapped.Completed = true;
  async->Overlapped.Error = 0;
  async->Overlapped.Done = 0;
  return 0;
}

int TCustomComPort::ReadStrAsync(std::string& str, int count, PCPortAsync async) {
  if (count < 1) return 0;
  CheckAsync(async);
  async->ReadBuffer = std::make_unique<std::uint8_t[]>(std::size_t(count));
  async->ReadTarget = nullptr;
  const int n = ReadAsync(async->ReadBuffer.get(), count, async);
  if (async->Overlapped.Completed) {
    str.assign(reinterpret_cast<const char*>(async->ReadBuffer.get()), async->Overlapped.Done);
    async->ReadBuffer.reset();
  } else {
    str.clear();
    async->ReadTarget = &str;  // filled when the read completes
  }
  return n;
}

int TCustomComPort::Read(void* buffer, int count) {
  PCPortAsync async = nullptr;
  CportInitAsync(async);
  std::unique_ptr<TCPortAsync> release(async);
  ReadAsync(buffer, count, async);
  return WaitForAsync(async);
}

int TCustomComPort::ReadStr(std::string& str, int count) {
  str.clear();
  if (count < 1) return 0;
  std::string buffer(std::size_t(count), '\0');
  const int n = Read(buffer.data(), count);
  buffer.resize(std::size_t(n));
  str = std::move(buffer);
  return n;
}

int TCustomComPort::WaitForAsync(PCPortAsync& async) {
  CheckAsync(async);
  TComOverlapped& ov = async->Overlapped;
  int result = 0;
  if (!ov.Completed) result = FDevice ? FDevice->GetOverlappedResult(ov, true) : NoDevice;
  else result = ov.Error;
  if (result != 0) RaiseExt(async->Kind == okWrite ? CError_WriteFailed : CError_ReadFailed, result);
  const int done = int(ov.Done);
  if (async->ReadTarget) {
    async->ReadTarget->assign(reinterpret_cast<const char*>(async->ReadBuffer.get()), std::size_t(done));
    async->ReadTarget = nullptr;
    async->ReadBuffer.reset();
  }
  if (async->Kind == okRead) {
    // Only links hear that reception stopped; without them, no need to ask.
    if (!FLinks.empty() && InputCount() == 0) SendSignalToLink(leRx, false);
  } else if (async->Data) {
    TxNotifyLink(async->Data.get(), async->Size);
  }
  return done;
}

bool TCustomComPort::IsAsyncCompleted(PCPortAsync async) {
  CheckAsync(async);
  const int result = FDevice ? FDevice->GetOverlappedResult(async->Overlapped, false)
                             : (async->Overlapped.Completed ? async->Overlapped.Error : NoDevice);
  if (result == 0) return true;
  if (result == ERROR_IO_PENDING || result == ERROR_IO_INCOMPLETE) return false;
  RaiseExt(CError_AsyncCheck, result);
}

void TCustomComPort::AbortAllAsync() {
  if (!FOverlapped) return;
  const int result = FDevice ? FDevice->PurgeComm(PURGE_TXABORT | PURGE_RXABORT) : NoDevice;
  if (result != 0) RaiseExt(CError_PurgeFailed, result);
}

void TCustomComPort::WaitForEvent(TComEvents& events, const TComStopEvent* stopEvent, int timeout) {
  if (FThreadCreated) Raise(CError_ThreadCreated);
  if (!FDevice) RaiseExt(CError_WaitFailed, NoDevice);
  std::uint32_t mask = 0;
  FDevice->SetCommMask(EventsToMask(events));
  const int result = FDevice->WaitCommEvent(mask, stopEvent, timeout);
  FDevice->SetCommMask(0);
  if (result == ERROR_WAIT_STOPPED) mask = 0;
  else if (result != 0) RaiseExt(CError_WaitFailed, result);
  events = MaskToEvents(mask);
}

void TCustomComPort::TransmitChar(char ch) {
  const int result = FDevice ? FDevice->TransmitCommChar(ch) : NoDevice;
  if (result != 0) RaiseExt(CError_TransmitFailed, result);
}

TComStat TCustomComPort::ComStat(std::uint32_t* errors) {
  TComStat stat;
  std::uint32_t e = 0;
  const int result = FDevice ? FDevice->ClearCommError(e, stat) : NoDevice;
  if (result != 0) RaiseExt(CError_ClearComFailed, result);
  if (errors) *errors = e;
  return stat;
}

int TCustomComPort::InputCount() { return int(ComStat().InQue); }

int TCustomComPort::OutputCount() { return int(ComStat().OutQue); }

std::uint8_t TCustomComPort::StateFlags() { return std::uint8_t(ComStat().Flags & 0xFF); }

TComErrors TCustomComPort::LastErrors() {
  std::uint32_t e = 0;
  ComStat(&e);
  TComErrors errors;
  if (e & CE_FRAME) errors.Include(ceFrame);
  if ((e & CE_RXPARITY) && FParity.Check()) errors.Include(ceRxParity);
  if (e & CE_OVERRUN) errors.Include(ceOverrun);
  if (e & CE_RXOVER) errors.Include(ceRxOver);
  if (e & CE_TXFULL) errors.Include(ceTxFull);
  if (e & CE_BREAK) errors.Include(ceBreak);
  if (e & CE_IOE) errors.Include(ceIO);
  if (e & CE_MODE) errors.Include(ceMode);
  return errors;
}

TComSignals TCustomComPort::Signals() {
  if (!FOverlapped) return {};
  std::uint32_t status = 0;
  const int result = FDevice ? FDevice->GetCommModemStatus(status) : NoDevice;
  if (result != 0) RaiseExt(CError_ModemStatFailed, result);
  TComSignals signals;
  if (status & MS_CTS_ON) signals.Include(csCTS);
  if (status & MS_DSR_ON) signals.Include(csDSR);
  if (status & MS_RING_ON) signals.Include(csRing);
  if (status & MS_RLSD_ON) signals.Include(csRLSD);
  return signals;
}

namespace {
void Escape(TComDevice* device, std::uint32_t function, const std::string& port) {
  const int result = device ? device->EscapeCommFunction(function) : NoDevice;
  if (result != 0) throw EComPortExt(port, CError_EscapeComFailed, result);
}
}  // namespace

void TCustomComPort::SetBreak(bool onOff) { Escape(FDevice.get(), onOff ? SETBREAK : CLRBREAK, FPort); }
void TCustomComPort::SetDTR(bool onOff) { Escape(FDevice.get(), onOff ? SETDTR : CLRDTR, FPort); }
void TCustomComPort::SetRTS(bool onOff) { Escape(FDevice.get(), onOff ? SETRTS : CLRRTS, FPort); }
void TCustomComPort::SetXonXoff(bool onOff) { Escape(FDevice.get(), onOff ? SETXON : SETXOFF, FPort); }

void TCustomComPort::ClearBuffer(bool input, bool output) {
  std::uint32_t flags = 0;
  if (input) flags |= PURGE_RXCLEAR;
  if (output) flags |= PURGE_TXCLEAR;
  const int result = FDevice ? FDevice->PurgeComm(flags) : NoDevice;
  if (result != 0) RaiseExt(CError_PurgeFailed, result);
}

// ------------------------------------------------------- events and links

void TCustomComPort::RegisterLink(TComLink* link) {
  if (std::find(FLinks.begin(), FLinks.end(), link) != FLinks.end()) Raise(CError_RegFailed);
  FLinks.push_back(link);
  FHasLink = std::any_of(FLinks.begin(), FLinks.end(), [](TComLink* l) { return bool(l->OnRxBuf); });
}

void TCustomComPort::UnRegisterLink(TComLink* link) {
  const auto it = std::find(FLinks.begin(), FLinks.end(), link);
  if (it == FLinks.end()) Raise(CError_RegFailed);
  FLinks.erase(it);
  FHasLink = std::any_of(FLinks.begin(), FLinks.end(), [](TComLink* l) { return bool(l->OnRxBuf); });
}

void TCustomComPort::SendSignalToLink(TComLinkEvent kind, bool onOff) {
  for (TComLink* link : std::vector<TComLink*>(FLinks)) {
    TComSignalEvent* slot = nullptr;
    switch (kind) {
      case leConn: slot = &link->OnConn; break;
      case leCTS: slot = &link->OnCTSChange; break;
      case leDSR: slot = &link->OnDSRChange; break;
      case leRLSD: slot = &link->OnRLSDChange; break;
      case leRx: slot = &link->OnRx; break;
      case leTx: slot = &link->OnTx; break;
      default: return;
    }
    if (*slot) (*slot)(this, onOff);
  }
}

void TCustomComPort::NotifyLink(TComLinkEvent kind) {
  for (TComLink* link : std::vector<TComLink*>(FLinks)) {
    TNotifyEvent* slot = nullptr;
    switch (kind) {
      case leRing: slot = &link->OnRing; break;
      case leTxEmpty: slot = &link->OnTxEmpty; break;
      case leRxFlag: slot = &link->OnRxFlag; break;
      default: return;
    }
    if (*slot) (*slot)(this);
  }
}

void TCustomComPort::TxNotifyLink(const std::uint8_t* buffer, int count) {
  for (TComLink* link : std::vector<TComLink*>(FLinks))
    if (link->OnTxData) link->OnTxData(this, buffer, count);
}

void TCustomComPort::CallBeforeOpen() { DoBeforeOpen(); }

void TCustomComPort::CallAfterOpen() {
  SendSignalToLink(leConn, true);
  DoAfterOpen();
  CheckSignals(true);
}

void TCustomComPort::CallBeforeClose() {
  CheckSignals(false);
  DoBeforeClose();
}

void TCustomComPort::CallAfterClose() {
  SendSignalToLink(leConn, false);
  DoAfterClose();
}

void TCustomComPort::CheckSignals(bool open) {
  if (open) {
    CallCTSChange();
    CallDSRChange();
    CallRLSDChange();
  } else {
    SendSignalToLink(leCTS, false);
    SendSignalToLink(leDSR, false);
    SendSignalToLink(leRLSD, false);
    DoCTSChange(false);
    DoDSRChange(false);
    DoRLSDChange(false);
  }
}

void TCustomComPort::CallError() {
  const TComErrors errors = LastErrors();
  if (!errors.Empty()) DoError(errors);
}

void TCustomComPort::CallRxChar() {
  int count = InputCount();
  if (count > 0) SendSignalToLink(leRx, true);
  if (count > 0 && !TriggersOnRxChar()) {
    std::unique_ptr<std::uint8_t[]> buffer;
    const auto readData = [&] {
      buffer = std::make_unique<std::uint8_t[]>(std::size_t(count));
      Read(buffer.get(), count);
      DoRxBuf(buffer.get(), count);
    };
    for (TComLink* link : std::vector<TComLink*>(FLinks)) {
      if (!link->OnRxBuf) continue;
      if (!buffer) readData();
      link->OnRxBuf(this, buffer.get(), count);
    }
    if (!buffer && !FTriggersOnRxChar) readData();
    if (buffer) count = 0;
  }
  if (count > 0) DoRxChar(count);
}

void TCustomComPort::CallTxEmpty() {
  SendSignalToLink(leTx, false);
  NotifyLink(leTxEmpty);
  DoTxEmpty();
}

void TCustomComPort::CallBreak() { DoBreak(); }

void TCustomComPort::CallRing() {
  NotifyLink(leRing);
  DoRing();
}

void TCustomComPort::CallCTSChange() {
  const bool onOff = Signals().Contains(csCTS);
  SendSignalToLink(leCTS, onOff);
  DoCTSChange(onOff);
}

void TCustomComPort::CallDSRChange() {
  const bool onOff = Signals().Contains(csDSR);
  SendSignalToLink(leDSR, onOff);
  DoDSRChange(onOff);
}

void TCustomComPort::CallRLSDChange() {
  const bool onOff = Signals().Contains(csRLSD);
  SendSignalToLink(leRLSD, onOff);
  DoRLSDChange(onOff);
}

void TCustomComPort::CallRxFlag() {
  NotifyLink(leRxFlag);
  DoRxFlag();
}

void TCustomComPort::CallRx80Full() { DoRx80Full(); }

void TCustomComPort::DoAfterClose() { if (OnAfterClose) OnAfterClose(this); }
void TCustomComPort::DoAfterOpen() { if (OnAfterOpen) OnAfterOpen(this); }
void TCustomComPort::DoBeforeClose() { if (OnBeforeClose) OnBeforeClose(this); }
void TCustomComPort::DoBeforeOpen() { if (OnBeforeOpen) OnBeforeOpen(this); }
void TCustomComPort::DoRxChar(int count) { if (OnRxChar) OnRxChar(this, count); }
void TCustomComPort::DoRxBuf(const std::uint8_t* buffer, int count) { if (OnRxBuf) OnRxBuf(this, buffer, count); }
void TCustomComPort::DoTxEmpty() { if (OnTxEmpty) OnTxEmpty(this); }
void TCustomComPort::DoBreak() { if (OnBreak) OnBreak(this); }
void TCustomComPort::DoRing() { if (OnRing) OnRing(this); }
void TCustomComPort::DoRxFlag() { if (OnRxFlag) OnRxFlag(this); }
void TCustomComPort::DoCTSChange(bool onOff) { if (OnCTSChange) OnCTSChange(this, onOff); }
void TCustomComPort::DoDSRChange(bool onOff) { if (OnDSRChange) OnDSRChange(this, onOff); }
void TCustomComPort::DoError(TComErrors errors) { if (OnError) OnError(this, errors); }
void TCustomComPort::DoRLSDChange(bool onOff) { if (OnRLSDChange) OnRLSDChange(this, onOff); }
void TCustomComPort::DoRx80Full() { if (OnRx80Full) OnRx80Full(this); }
