// The event thread and the delivery routes of line events to the handlers.
#include "CPortThread.h"

#include <utility>

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
  if (const int fd = thread->Device->EventFd(); fd >= 0 && thread->SyncMethod == smThreadSync) {
    std::weak_ptr<TComThread> weak = thread;
    thread->Watch = WatchFd(fd, [weak] {
      if (const auto self = weak.lock()) self->Ready();
    });
  }
  if (!thread->Watch) thread->Thread = std::make_unique<TThread>([self = thread] { self->Execute(); }, "ComThread");
  return thread;
}

void TComThread::StopAndWait() {
  Stopped = true;
  if (Thread) {
    StopEvent.Set();
    std::this_thread::yield();
    Thread->WaitFor();
    return;
  }
  // The watch belongs to the UI thread's loop.
  Synchronize([this] { Watch.reset(); });
  Cleanup();
}

void TComThread::Release() {
  Stopped = true;
  Released = true;
  StopEvent.Set();
  Watch.reset();
  Cleanup();
  if (Thread) Thread->Detach();
}

void TComThread::Cleanup() {
  Device->SetCommMask(0);
  Device->PurgeComm(PURGE_TXCLEAR | PURGE_RXCLEAR);
}

bool TComThread::WaitsForCaller() const {
  if (IsCurrent()) return true;
  return SyncMethod == smThreadSync && IsMainThread() && Dispatching > 0;
}

void TComThread::Execute() {
  RunningOn = std::this_thread::get_id();
  // Below normal always works; above normal needs a privilege, and without
  // it the thread just runs at normal.
  if (Priority != tpNormal) SetCurrentThreadPriority(int(Priority) - int(tpNormal));
  while (!Stopped) {
    std::uint32_t mask = 0;
    const int result = Device->WaitCommEvent(mask, &StopEvent, -1);
    if (result == ERROR_WAIT_STOPPED || Stopped) break;
    if (result != 0) {
      Lost();
      break;
    }
    if (mask != 0) DispatchComMsg(MaskToEvents(mask));
    RunDeferred();
  }
  if (!Released) Cleanup();
}

void TComThread::Ready() {
  if (Stopped) return;
  if (InReady) {
    // A handler runs an event loop of its own (a message box): no second
    // delivery meanwhile, as a thread that waits for the handler would not
    // give one. The watch goes on when that handler has returned.
    Watch->SetEnabled(false);
    Paused = true;
    return;
  }
  std::uint32_t mask = 0;
  const int result = Device->WaitCommEvent(mask, nullptr, 0);
  if (result != 0) {
    // The device stays ready to say so: the watch ends before the handlers
    // hear of it (they may show a message meanwhile).
    Stopped = true;
    Watch->SetEnabled(false);
    Lost();
    return;
  }
  InReady = true;
  if (mask != 0) DoEvents(MaskToEvents(mask));
  InReady = false;
  if (Paused && !Stopped) {
    Paused = false;
    Watch->SetEnabled(true);
  }
}

void TComThread::Lost() {
  // The device has gone: the port closes itself on the UI thread.
  const TComDelivery life = Delivery;
  TCustomComPort* port = Owner;
  const auto close = [life, port] {
    if (!life.Ended()) port->DeviceLost();
  };
  if (Watch)
    close();
  else
    Queue(close);
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
    // An exception ends this event's handlers there and reaches the
    // application's handler, as from any other event; delivery goes on.
    try {
      Owner->WindowMethod(e.Mask);
    } catch (...) {
      HandleException(std::current_exception());
    }
  }
}

void TComThread::RunDeferred() {
  while (!Deferred.empty()) {
    const auto calls = std::exchange(Deferred, {});
    for (const auto& call : calls) {
      if (Delivery.Ended()) return;
      try {
        call();
      } catch (...) {
        HandleException(std::current_exception());
      }
    }
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
