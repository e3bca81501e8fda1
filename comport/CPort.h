// The serial port component: settings, opening and closing, the event
// thread, reading and writing, events and links.
#pragma once

#include "CPortTypes.h"
#include "platform/ComDevice.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TCustomComPort;
class TComThread;

using TNotifyEvent = std::function<void(TCustomComPort* Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* Sender, int Count)>;
using TRxBufEvent = std::function<void(TCustomComPort* Sender, const std::uint8_t* Buffer, int Count)>;
using TComSignalEvent = std::function<void(TCustomComPort* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(TCustomComPort* Sender, TComErrors Errors)>;

// Settings sub-objects. Each belongs to a port, whose group it re-applies
// when a field changes; one that belongs to no port only stores.
class TComTimeouts {
public:
  TCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TCustomComPort* port) { FComPort = port; }
  void Assign(const TComTimeouts& source);

  int ReadInterval() const { return FReadInterval; }
  int ReadTotalMultiplier() const { return FReadTotalM; }
  int ReadTotalConstant() const { return FReadTotalC; }
  int WriteTotalMultiplier() const { return FWriteTotalM; }
  int WriteTotalConstant() const { return FWriteTotalC; }
  void SetReadInterval(int value);
  void SetReadTotalMultiplier(int value);
  void SetReadTotalConstant(int value);
  void SetWriteTotalMultiplier(int value);
  void SetWriteTotalConstant(int value);

private:
  void Changed();
  TCustomComPort* FComPort = nullptr;
  int FReadInterval = -1;
  int FReadTotalM = 0;
  int FReadTotalC = 0;
  int FWriteTotalM = 100;
  int FWriteTotalC = 1000;
};

class TComFlowControl {
public:
  TCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TCustomComPort* port) { FComPort = port; }
  void Assign(const TComFlowControl& source);

  // The preset the fields amount to; setting one always re-applies the line.
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl value);

  bool OutCTSFlow() const { return FOutCTSFlow; }
  bool OutDSRFlow() const { return FOutDSRFlow; }
  TDTRFlowControl ControlDTR() const { return FControlDTR; }
  TRTSFlowControl ControlRTS() const { return FControlRTS; }
  bool XonXoffOut() const { return FXonXoffOut; }
  bool XonXoffIn() const { return FXonXoffIn; }
  bool DSRSensitivity() const { return FDSRSensitivity; }
  bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
  char XonChar() const { return FXonChar; }
  char XoffChar() const { return FXoffChar; }
  void SetOutCTSFlow(bool value);
  void SetOutDSRFlow(bool value);
  void SetControlDTR(TDTRFlowControl value);
  void SetControlRTS(TRTSFlowControl value);
  void SetXonXoffOut(bool value);
  void SetXonXoffIn(bool value);
  void SetDSRSensitivity(bool value);
  void SetTxContinueOnXoff(bool value);
  void SetXonChar(char value);
  void SetXoffChar(char value);

private:
  void Changed();
  TCustomComPort* FComPort = nullptr;
  bool FOutCTSFlow = false;
  bool FOutDSRFlow = false;
  TDTRFlowControl FControlDTR = dtrDisable;
  TRTSFlowControl FControlRTS = rtsDisable;
  bool FXonXoffOut = false;
  bool FXonXoffIn = false;
  bool FDSRSensitivity = false;
  bool FTxContinueOnXoff = false;
  char FXonChar = 17;
  char FXoffChar = 19;
};

class TComParity {
public:
  TCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TCustomComPort* port) { FComPort = port; }
  void Assign(const TComParity& source);

  TParityBits Bits() const { return FBits; }
  bool Check() const { return FCheck; }
  bool Replace() const { return FReplace; }
  char ReplaceChar() const { return FReplaceChar; }
  void SetBits(TParityBits value);
  void SetCheck(bool value);
  void SetReplace(bool value);
  void SetReplaceChar(char value);

private:
  void Changed();
  TCustomComPort* FComPort = nullptr;
  TParityBits FBits = prNone;
  bool FCheck = false;
  bool FReplace = false;
  char FReplaceChar = 0;
};

class TComBuffer {
public:
  TCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TCustomComPort* port) { FComPort = port; }
  void Assign(const TComBuffer& source);

  int InputSize() const { return FInputSize; }
  int OutputSize() const { return FOutputSize; }
  // A positive odd size is stored one less (1025 as 1024).
  void SetInputSize(int value);
  void SetOutputSize(int value);

private:
  void Changed();
  TCustomComPort* FComPort = nullptr;
  int FInputSize = 1024;
  int FOutputSize = 1024;
};

// The handler slots an attached component registers with a port. An empty
// slot is skipped; Sender is always the port.
class TComLink {
public:
  TComSignalEvent OnConn;
  TRxBufEvent OnRxBuf;
  TRxBufEvent OnTxData;
  TNotifyEvent OnTxEmpty;
  TNotifyEvent OnRxFlag;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TNotifyEvent OnRing;
  TComSignalEvent OnTx;
  TComSignalEvent OnRx;
};

// The record of one asynchronous read or write.
enum TOperationKind : std::uint8_t { okWrite, okRead };
struct TCPortAsync {
  TCPortAsync() = default;
  TCPortAsync(const TCPortAsync&) = delete;
  TCPortAsync& operator=(const TCPortAsync&) = delete;
  // An operation still under way is cancelled, so the device forgets the
  // record and its buffer before they go.
  ~TCPortAsync() { Cancel(); }
  void Cancel() {
    if (Device) Device->CancelIo(Overlapped);
    Device.reset();
  }

  TComOverlapped Overlapped;
  TOperationKind Kind = okWrite;
  std::unique_ptr<std::uint8_t[]> Data;  // copy of the bytes being written
  int Size = 0;
  // A string read under way: the record keeps its buffer until the read
  // completes and then fills the string.
  std::unique_ptr<std::uint8_t[]> ReadBuffer;
  std::string* ReadTarget = nullptr;
  // The device of the operation under way, which may still fill the record.
  std::shared_ptr<TComDevice> Device;
};
using PCPortAsync = TCPortAsync*;
void CportInitAsync(PCPortAsync& async);
void CportDoneAsync(PCPortAsync& async);

// Told when a port it watches is destroyed (a bound control, say).
class TComFreeNotify {
public:
  virtual ~TComFreeNotify() = default;
  virtual void PortDestroyed(TCustomComPort* port) = 0;
};

// Moves a port-bound component from the port in bound to port: the old port
// forgets its watcher (and link, when it has one), the new one learns them.
// False when port is already the bound one.
bool BindComPort(TCustomComPort*& bound, TCustomComPort* port, TComFreeNotify* watcher, TComLink* link = nullptr);

class TIniFile;
class TRegistry;
enum TStoreType { stRegistry, stIniFile };

// Which device a port creates; tests put a scripted one here.
using TComDeviceFactory = std::function<std::unique_ptr<TComDevice>()>;

// What a port's event thread and its deliveries share with the port, so that
// after any handler they can tell whether the port still exists and is still
// in the session they began in (a session ends when the port opens or
// closes). They keep it alive themselves; the port may be gone.
struct TComPortLife {
  std::atomic<bool> Alive{true};
  std::atomic<std::uint64_t> Session{0};
};

class TCustomComPort {
public:
  TCustomComPort();
  virtual ~TCustomComPort();
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  // Settings
  TBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TBaudRate value);
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& value);
  TComParity& Parity() { return FParity; }
  void SetParity(const TComParity& value);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits value);
  TDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TDataBits value);
  bool DiscardNull() const { return FDiscardNull; }
  void SetDiscardNull(bool value);
  char EventChar() const { return FEventChar; }
  void SetEventChar(char value);
  TComEvents Events() const { return FEvents; }
  void SetEvents(TComEvents value) { FEvents = value; }
  TComBuffer& Buffer() { return FBuffer; }
  void SetBuffer(const TComBuffer& value);
  TComFlowControl& FlowControl() { return FFlowControl; }
  void SetFlowControl(const TComFlowControl& value);
  TComTimeouts& Timeouts() { return FTimeouts; }
  void SetTimeouts(const TComTimeouts& value);
  TSyncMethod SyncMethod() const { return FSyncMethod; }
  void SetSyncMethod(TSyncMethod value);
  int CustomBaudRate() const { return FCustomBaudRate; }
  void SetCustomBaudRate(int value);
  TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
  void SetEventThreadPriority(TThreadPriority value);
  bool TriggersOnRxChar() const { return FTriggersOnRxChar && !FHasLink; }
  // Asks the driver to hand over each received byte at once (USB adapters
  // batch them); off by default, not among the stored settings. Applied at
  // Open and at once on an open port; a driver without it ignores it.
  bool LowLatency() const { return FLowLatency; }
  void SetLowLatency(bool value);
  void SetTriggersOnRxChar(bool value);
  bool Overlapped() const { return FOverlapped; }
  void SetOverlapped(bool value);
  TStoredProps StoreGroups() const { return FStoreGroups; }
  void SetStoreGroups(TStoredProps value) { FStoreGroups = value; }

  // Component state: while loading, Connected is only recorded until Loaded.
  void BeginLoading() { FLoading = true; }
  virtual void Loaded();
  bool Loading() const { return FLoading; }
  bool Designing() const { return FDesigning; }
  void SetDesigning(bool value) { FDesigning = value; }

  // Published events
  TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;
  TNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
  TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
  TComErrorEvent OnError;

  // Several settings changed between BeginUpdate and EndUpdate reconfigure
  // an open port once, at the outermost EndUpdate.
  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();

  bool Connected() const { return FConnected; }
  void SetConnected(bool value);
  void Open();
  // From inside one of the port's own handlers the close is carried out at
  // once; the event thread, which waits for that handler, ends on its own
  // after it. From a handler on the event thread itself (smNone) it is
  // carried out there once the handler has returned. Any other thread may
  // close a port it owns; reads and writes that other threads have under
  // way end with an error.
  void Close();

  // Reading and writing
  int WriteAsync(const void* buffer, int count, PCPortAsync async);
  int WriteStrAsync(const std::string& str, PCPortAsync async);
  int Write(const void* buffer, int count);
  int WriteStr(const std::string& str);
  int ReadAsync(void* buffer, int count, PCPortAsync async);
  int ReadStrAsync(std::string& str, int count, PCPortAsync async);
  int Read(void* buffer, int count);
  int ReadStr(std::string& str, int count);
  int WaitForAsync(PCPortAsync& async);
  bool IsAsyncCompleted(PCPortAsync async);
  void AbortAllAsync();
  void WaitForEvent(TComEvents& events, const TComStopEvent* stopEvent, int timeout);
  void TransmitChar(char ch);
  int InputCount();
  int OutputCount();
  TComSignals Signals();
  std::uint8_t StateFlags();
  TComErrors LastErrors();
  void SetBreak(bool onOff);
  void SetDTR(bool onOff);
  void SetRTS(bool onOff);
  void SetXonXoff(bool onOff);
  void ClearBuffer(bool input, bool output);

  // Links of attached components, in registration order; not owned.
  void RegisterLink(TComLink* link);
  void UnRegisterLink(TComLink* link);
  bool HasLink() const { return FHasLink; }

  // The component's name: the INI section and registry key of its settings.
  const std::string& Name() const { return FName; }
  void SetName(const std::string& value) { FName = value; }

  // Saves or loads the StoreGroups settings in an INI file (path: its name)
  // or the registry (path: a root key name, a backslash, a key path).
  // Failures raise EComPort code 16 or 17.
  void StoreSettings(TStoreType storeType, const std::string& path);
  void LoadSettings(TStoreType storeType, const std::string& path);

  // Whoever asks is told when this port is destroyed; it must stop asking
  // before it goes itself.
  void FreeNotification(TComFreeNotify* watcher);
  void RemoveFreeNotification(TComFreeNotify* watcher);

  // Shows the setup dialog for this port (the one the user interface
  // installed; without one it raises EComPort).
  void ShowSetupDialog();
  static std::function<void(TCustomComPort&)> SetupDialog;

  // The line configuration block the settings give.
  TDCB BuildDCB() const;

  void SetDeviceFactory(TComDeviceFactory factory) { FDeviceFactory = std::move(factory); }
  TComDevice* Device() const { return LiveDevice().get(); }

protected:
  virtual void StoreRegistry(TRegistry& registry);
  virtual void StoreIniFile(TIniFile& iniFile);
  virtual void LoadRegistry(TRegistry& registry);
  virtual void LoadIniFile(TIniFile& iniFile);
  virtual void CreateHandle();
  virtual void DestroyHandle();
  virtual void SetupComPort();

  // Raise the published events.
  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void DoRxChar(int count);
  virtual void DoRxBuf(const std::uint8_t* buffer, int count);
  virtual void DoTxEmpty();
  virtual void DoBreak();
  virtual void DoRing();
  virtual void DoRxFlag();
  virtual void DoCTSChange(bool onOff);
  virtual void DoDSRChange(bool onOff);
  virtual void DoError(TComErrors errors);
  virtual void DoRLSDChange(bool onOff);
  virtual void DoRx80Full();

public:
  // Push one group of settings to the open port.
  virtual void ApplyDCB();
  virtual void ApplyTimeouts();
  virtual void ApplyBuffer();

private:
  friend class TComThread;
  friend class TComDelivery;

  // The device to push settings to: none while closed, loading, designing
  // or inside an update bracket.
  std::shared_ptr<TComDevice> ApplyTarget() const;
  using TWriteText = std::function<void(const std::string& key, const std::string& value)>;
  using TWriteInt = std::function<void(const std::string& key, int value)>;
  using TReadText = std::function<std::string(const std::string& key, const std::string& current)>;
  using TReadInt = std::function<int(const std::string& key, int current)>;
  void StoreValues(const TWriteText& text, const TWriteInt& integer);
  void LoadValues(const TReadText& text, const TReadInt& integer);
  void OpenSettingsKey(TRegistry& registry, const std::string& path);
  void Raise(int code);
  [[noreturn]] void RaiseExt(int code, int osError);
  void CheckAsync(PCPortAsync async);
  TComStat ComStat(std::uint32_t* errors = nullptr);
  void Escape(std::uint32_t function);
  void ApplyLowLatency();

  // Opening and closing.
  void CloseNow();
  void StopEventThread();
  // Runs call on the event thread once the handler that asks has returned,
  // if the port still exists in the session it is in now.
  void DeferInSession(std::function<void()> call);
  // The open device, kept alive for the caller; none while closed.
  std::shared_ptr<TComDevice> LiveDevice() const;
  // The device has gone: the port says so and closes itself (UI thread).
  void DeviceLost();

  // Open and close notifications and the line event handlers.
  void CallBeforeOpen();
  void CallAfterOpen();
  void CallBeforeClose();
  void CallAfterClose();
  void CheckSignals(bool open);
  void CallError();
  void CallRxChar();
  void CallTxEmpty();
  void CallBreak();
  void CallRing();
  void CallCTSChange();
  void CallDSRChange();
  void CallRxFlag();
  void CallRLSDChange();
  void CallRx80Full();
  // Runs the handler of one event mask bit (the window-message route).
  void WindowMethod(std::uint32_t eventBit);

  bool IsLinked(TComLink* link) const;
  void SendSignalToLink(TComLinkEvent kind, bool onOff);
  void NotifyLink(TComLinkEvent kind);
  void TxNotifyLink(const std::uint8_t* buffer, int count);

  TBaudRate FBaudRate = br9600;
  std::string FPort = "COM1";
  std::string FName;
  TComParity FParity;
  TStopBits FStopBits = sbOneStopBit;
  TDataBits FDataBits = dbEight;
  bool FDiscardNull = false;
  char FEventChar = 0;
  TComEvents FEvents = AllComEvents;
  TComBuffer FBuffer;
  TComFlowControl FFlowControl;
  TComTimeouts FTimeouts;
  TSyncMethod FSyncMethod = smThreadSync;
  int FCustomBaudRate = 9600;
  TThreadPriority FEventThreadPriority = tpNormal;
  bool FTriggersOnRxChar = true;
  bool FOverlapped = true;
  bool FLowLatency = false;
  TStoredProps FStoreGroups = {spBasic};

  int FUpdateCount = 0;
  std::atomic<bool> FConnected{false};
  bool FClosing = false;  // a close sequence is under way: another one does nothing
  // An open is under way: a network port's window stays alive while it
  // connects, and what runs meanwhile neither opens nor closes the port.
  bool FOpening = false;
  bool FLoading = false;
  bool FDesigning = false;
  bool FHasLink = false;
  std::vector<TComLink*> FLinks;
  std::vector<TComFreeNotify*> FWatchers;

  TComDeviceFactory FDeviceFactory;
  // The open device; none while closed. The event thread and every read or
  // write under way hold it too, so it outlives every thread that uses it.
  mutable std::mutex FDeviceMutex;
  std::shared_ptr<TComDevice> FDevice;
  std::shared_ptr<TComThread> FEventThread;
  std::atomic<bool> FThreadCreated{false};  // read by WaitForEvent on any thread
  std::shared_ptr<TComPortLife> FLife = std::make_shared<TComPortLife>();
};

class TComPort : public TCustomComPort {};

// A stream over a port.
class TComStream {
public:
  explicit TComStream(TCustomComPort* port) : FComPort(port) {}
  int Read(void* buffer, int count) { return FComPort->Read(buffer, count); }
  int Write(const void* buffer, int count) { return FComPort->Write(buffer, count); }
  std::int64_t Seek(std::int64_t, int) { return 0; }

private:
  TCustomComPort* FComPort;
};

// The event mask bits of an event set, and back.
std::uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(std::uint32_t mask);
