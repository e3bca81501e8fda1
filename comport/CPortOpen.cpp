// Opening and closing a port, also from inside its own handlers, and a
// device that goes away under an open port.
#include "CPortThread.h"
#include "NetComDevice.h"

#include <algorithm>
#include <utility>

namespace {

// Raises a port's flag for a sequence (opening, closing) and lowers it on
// the way out, unless a handler destroyed the port meanwhile.
class TFlagDuring {
public:
  TFlagDuring(bool& flag, std::shared_ptr<TComPortLife> life) : Flag(flag), Life(std::move(life)) { Flag = true; }
  ~TFlagDuring() {
    if (Life->Alive) Flag = false;
  }
  TFlagDuring(const TFlagDuring&) = delete;
  TFlagDuring& operator=(const TFlagDuring&) = delete;

private:
  bool& Flag;
  std::shared_ptr<TComPortLife> Life;
};

}  // namespace

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
  // A port destroyed by one of its handlers closes at once, on whatever
  // thread that handler runs; one destroyed inside its own close sequence
  // leaves the rest of that sequence out.
  if (FConnected && !FClosing && !FDesigning) {
    try {
      CloseNow();
    } catch (...) {
      HandleException(std::current_exception());
    }
  }
  FLife->Alive = false;
  // Whatever a failed or interrupted close left: the thread and the device go.
  StopEventThread();
  DestroyHandle();
}

void TCustomComPort::SetPort(const std::string& value) {
  if (FPort == value) return;
  FPort = value;
  if (!FConnected || FLoading || FDesigning) return;
  if (FEventThread && FEventThread->IsCurrent()) {
    // An smNone handler: the port reopens on its event thread once that
    // handler has returned.
    DeferInSession([this] {
      if (FConnected && !FClosing) CloseNow();
      Open();
    });
    return;
  }
  Close();
  Open();
}

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
  // A device server's address gets the network device, any other name the system's.
  std::shared_ptr<TComDevice> device = FDeviceFactory           ? FDeviceFactory()
                                       : IsNetworkPortName(FPort) ? std::make_unique<TNetComDevice>()
                                                                  : CreatePlatformComDevice();
  const std::string path = ComDevicePath(FPort);
  if (const int error = device->Open(path)) {
    OutputDebugString("CreateFile " + path);
    RaiseExt(CError_OpenFailed, error);
  }
  std::lock_guard lock(FDeviceMutex);
  FDevice = std::move(device);
}

void TCustomComPort::DestroyHandle() {
  std::shared_ptr<TComDevice> device;
  {
    std::lock_guard lock(FDeviceMutex);
    device.swap(FDevice);
  }
  // Reads and writes under way on other threads keep the device alive; its
  // Close aborts them and waits until they have left it.
  if (device) device->Close();
}

std::shared_ptr<TComDevice> TCustomComPort::LiveDevice() const {
  std::lock_guard lock(FDeviceMutex);
  return FDevice;
}

void TCustomComPort::Open() {
  if (FConnected || FDesigning || FClosing || FOpening) return;
  const std::shared_ptr<TComPortLife> life = FLife;
  CallBeforeOpen();
  if (!life->Alive || FConnected) return;  // the handler destroyed or opened the port
  const TFlagDuring opening(FOpening, life);
  CreateHandle();
  FConnected = true;
  try {
    SetupComPort();
    if (FLowLatency) ApplyLowLatency();
  } catch (...) {
    DestroyHandle();
    FConnected = false;
    throw;
  }
  FOpening = false;  // the port is open: its handlers may close it
  ++life->Session;
  FThreadCreated = false;
  if (!FEvents.Empty() && FOverlapped) {
    FEventThread = TComThread::Start(this);
    FThreadCreated = true;
  }
  CallAfterOpen();
}

void TCustomComPort::Close() {
  if (!FConnected || FDesigning || FClosing || FOpening) return;
  if (FEventThread && FEventThread->IsCurrent()) {
    // An smNone handler: the port closes on its event thread once that
    // handler has returned.
    DeferInSession([this] {
      if (FConnected && !FClosing) CloseNow();
    });
    return;
  }
  CloseNow();
}

void TCustomComPort::CloseNow() {
  const std::shared_ptr<TComPortLife> life = FLife;
  const TFlagDuring closing(FClosing, life);
  CallBeforeClose();
  if (!life->Alive) return;
  AbortAllAsync();  // a failure leaves the port open with its thread running
  StopEventThread();
  if (!life->Alive) return;  // a handler that ran while the thread ended destroyed the port
  DestroyHandle();
  FConnected = false;
  ++life->Session;
  FClosing = false;
  CallAfterClose();
}

void TCustomComPort::StopEventThread() {
  if (!FThreadCreated) return;
  std::shared_ptr<TComThread> thread = std::move(FEventThread);
  FThreadCreated = false;
  // Called from a handler the thread waits for, waiting would never end:
  // the thread is let go and ends by itself right after that handler.
  if (thread->WaitsForCaller())
    thread->Release();
  else
    thread->StopAndWait();  // handlers it still delivers run meanwhile
}

void TCustomComPort::DeferInSession(std::function<void()> call) {
  TComDelivery session(this);
  FEventThread->Defer([session, call = std::move(call)] {
    if (!session.Ended()) call();
  });
}

void TCustomComPort::DeviceLost() {
  if (!FConnected || FClosing) return;
  const TComDelivery delivery(this);
  // The handler hears why first; the port closes whatever it does.
  TComErrors errors;
  try {
    errors = LastErrors();
  } catch (const EComPort&) {
  }
  errors.Include(ceIO);
  try {
    DoError(errors);
  } catch (...) {
    HandleException(std::current_exception());
  }
  if (delivery.Ended()) return;
  Close();
}
