// Inside the serial port component: the event thread and the guard that
// every delivery of events to handlers runs under.
#pragma once

#include "CPort.h"
#include "Threads.h"

#include <thread>

// A delivery of one event or notification to the handlers of a port. After
// any handler it tells whether the delivery has to stop: the port was
// destroyed, or opened or closed, by that handler.
class TComDelivery {
public:
  explicit TComDelivery(const TCustomComPort* port) : Life(port->FLife), Session(Life->Session) {}
  TComDelivery(std::shared_ptr<TComPortLife> life, std::uint64_t session) : Life(std::move(life)), Session(session) {}
  bool Ended() const { return !Life->Alive || Life->Session != Session; }

private:
  std::shared_ptr<TComPortLife> Life;
  std::uint64_t Session;
};

// The event thread of an open port: waits for line events and delivers them
// by the port's SyncMethod. It keeps itself and the device alive while it
// runs, so the port may let go of it from inside one of its handlers.
class TComThread : public std::enable_shared_from_this<TComThread> {
public:
  static std::shared_ptr<TComThread> Start(TCustomComPort* port);

  // Stops the thread and waits for it to end.
  void StopAndWait();
  // Stops the thread without waiting: it ends on its own once the handler
  // it waits for has returned. Clears the device's event mask and queues
  // first, as the thread itself would on the way out.
  void Release();
  // Whether the calling thread runs a handler this thread waits for, so
  // that waiting for the thread would wait for ever.
  bool WaitsForCaller() const;

private:
  explicit TComThread(TCustomComPort* port);
  void Execute();
  void DispatchComMsg(TComEvents events);
  void DoEvents(TComEvents events);
  void SendEvents(TComEvents events);

  TCustomComPort* const Owner;  // touched only while the delivery has not ended
  const TComDelivery Delivery;
  const std::shared_ptr<TComDevice> Device;
  const TSyncMethod SyncMethod;
  const TThreadPriority Priority;
  TComStopEvent StopEvent;
  std::atomic<bool> Released{false};
  std::atomic<int> Dispatching{0};  // synchronised deliveries running on the UI thread
  std::atomic<std::thread::id> RunningOn{};
  std::unique_ptr<TThread> Thread;
};
