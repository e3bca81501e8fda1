// Inside the serial port component: the event thread and the guard that
// every delivery of events to handlers runs under.
#pragma once

#include "CPort.h"
#include "Threads.h"

#include <thread>
#include <vector>

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
//
// With smThreadSync on the UI thread of an event loop no thread is needed:
// the loop watches the device and runs the handlers when it has events, so
// a byte reaches its handler with one wake-up instead of two.
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
  // Whether the calling thread is this event thread (an smNone handler).
  bool IsCurrent() const { return std::this_thread::get_id() == RunningOn.load(); }
  // Runs call on this thread once the handler that asks has returned.
  void Defer(std::function<void()> call) { Deferred.push_back(std::move(call)); }

private:
  explicit TComThread(TCustomComPort* port);
  void Execute();
  // The event loop found the device ready (UI thread, no thread of ours).
  void Ready();
  void Lost();
  void DispatchComMsg(TComEvents events);
  void DoEvents(TComEvents events);
  void SendEvents(TComEvents events);
  void RunDeferred();
  void Cleanup();

  TCustomComPort* const Owner;  // touched only while the delivery has not ended
  const TComDelivery Delivery;
  const std::shared_ptr<TComDevice> Device;
  const TSyncMethod SyncMethod;
  const TThreadPriority Priority;
  TComStopEvent StopEvent;
  std::atomic<bool> Stopped{false};
  std::atomic<bool> Released{false};
  std::atomic<int> Dispatching{0};  // synchronised deliveries running on the UI thread
  std::atomic<std::thread::id> RunningOn{};
  std::vector<std::function<void()>> Deferred;  // event thread only
  bool InReady = false;  // the loop's watch is delivering (UI thread only)
  bool Paused = false;   // the watch is off until that delivery ends
  std::unique_ptr<TThread> Thread;
  std::unique_ptr<TFdWatch> Watch;  // instead of Thread, on the UI thread's loop
};
