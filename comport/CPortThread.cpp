// The event thread and the delivery routes of line events to the handlers.
#include "CPortThread.h"

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

// Counts a synchronised delivery for as long as it runs.
struct TCountScope {
  explicit TCountScope(std::atomic<int>& count) : Count(count) { ++Count; }
  ~TCountScope() { --Count; }
  std::atomic<int>& Count;
};

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

TComThread::TComThread(TCustomComPort* port)
    : Owner(port),
      Delivery(port),
      Device(port->FDevice),
      SyncMethod(port->FSyncMethod),
      Priority(port->FEventThreadPriority) {}

std::shared_ptr<TComThread> TComThread::Start(TCustomComPort* port) {
  std::shared_ptr<TComThread> thread(new TComThread(port));
  thread->Device->SetCommMask(EventsToMask(port->FEvents));
  thread->Thread = std::make_unique<TThread>([self = thread] { self->Execute(); }, "ComThread");
  return thread;
}

void TComThread::StopAndWait() {
  StopEvent.Set();
  std::this_thread::yield();
  Thread->WaitFor();
}

void TComThread::Release() {
  StopEvent.Set();
  Released = true;
  Device->SetCommMask(0);
  Device->PurgeComm(PURGE_TXCLEAR | PURGE_RXCLEAR);
  Thread->Detach();
}

bool TComThread::WaitsForCaller() const {
  if (std::this_thread::get_id() == RunningOn.load()) return true;
  return SyncMethod == smThreadSync && IsMainThread() && Dispatching > 0;
}

void TComThread::Execute() {
  RunningOn = std::this_thread::get_id();
  // Below normal always works; above normal needs a privilege, and without
  // it the thread just runs at normal.
  if (Priority != tpNormal) SetCurrentThreadPriority(int(Priority) - int(tpNormal));
  for (;;) {
    std::uint32_t mask = 0;
    const int result = Device->WaitCommEvent(mask, &StopEvent, -1);
    if (StopEvent.IsSet()) break;
    if (result != 0) {
      // The device has gone: the port closes itself on the UI thread.
      auto life = Delivery;
      TCustomComPort* port = Owner;
      Queue([life, port] {
        if (!life.Ended()) port->DeviceLost();
      });
      break;
    }
    if (mask != 0) DispatchComMsg(MaskToEvents(mask));
  }
  if (!Released) {
    Device->SetCommMask(0);
    Device->PurgeComm(PURGE_TXCLEAR | PURGE_RXCLEAR);
  }
}

void TComThread::DispatchComMsg(TComEvents events) {
  switch (SyncMethod) {
    case smThreadSync:
      Synchronize([self = shared_from_this(), events] { self->DoEvents(events); });
      break;
    case smWindowSync:
      SendEvents(events);
      break;
    case smNone:
      DoEvents(events);
      break;
    case smDisableEvents:
      break;
  }
}

void TComThread::DoEvents(TComEvents events) {
  TCountScope scope(Dispatching);
  for (const TEventBit& e : DeliveryOrder) {
    if (!events.Contains(e.Event)) continue;
    if (Delivery.Ended()) return;  // a handler closed, reopened or destroyed the port
    Owner->WindowMethod(e.Mask);
  }
}

void TComThread::SendEvents(TComEvents events) {
  for (const TEventBit& e : DeliveryOrder) {
    if (!events.Contains(e.Event)) continue;
    // The UI thread releases this thread as soon as it starts the event.
    SendAndRelease([self = shared_from_this(), bit = e.Mask] {
      if (self->Delivery.Ended() || !self->Owner->FConnected) return;  // events after Close are dropped
      self->Owner->WindowMethod(bit);
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
