// The Windows device: a COM port on the communications API, overlapped.
#include "WinComDevice.h"
#include "NetComDevice.h"

// After the device's own names, which the system's macros then repeat.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

static_assert(sizeof(DCB) == sizeof(TDCB), "the line configuration block is the system's");

namespace {

constexpr std::uint32_t ModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
constexpr int Closed = ERROR_INVALID_HANDLE;

// A driver read that waits for one byte with no limit still ends now and
// then, so that nothing relies on the meaning of "no time-out".
constexpr std::int64_t LongestWaitMs = 60000;

// The system's answer to a read or write whose time ran out. Windows
// completes it successfully with what came; wine fails it with
// ERROR_TIMEOUT. Both mean the same here.
bool RanOutOfTime(DWORD error) { return error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT; }

HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

}  // namespace

TWinComDevice::TTransfers::TTransfers() : IoEvent(NewEvent()), AbortEvent(NewEvent()) {}

TWinComDevice::TTransfers::~TTransfers() {
  CloseHandle(IoEvent);
  CloseHandle(AbortEvent);
}

TWinComDevice::TWinComDevice() : Port(INVALID_HANDLE_VALUE), RaisedEvent(NewEvent()) {}

TWinComDevice::~TWinComDevice() {
  Close();
  CloseHandle(RaisedEvent);
}

// ------------------------------------------------------------ opening

int TWinComDevice::Open(const std::string& path) {
  std::lock_guard lock(Mutex);
  if (Port != INVALID_HANDLE_VALUE) return ERROR_BUSY;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return int(GetLastError());
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) {
    // A file or another device, not a COM port.
    CloseHandle(port);
    return ERROR_INVALID_FUNCTION;
  }
  DWORD lines = 0;
  NoModemLines = !::GetCommModemStatus(port, &lines);
  ::SetCommMask(port, 0);
  DWORD errors = 0;
  COMSTAT stat{};
  ::ClearCommError(port, &errors, &stat);
  Port = port;
  Timeouts = {};
  DriverTimeoutsSet = false;
  WriteMultiplier = WriteConstant = 0;
  Mask = 0;
  LostError = 0;
  PendingErrors = 0;
  Raised = 0;
  ResetEvent(RaisedEvent);
  TxPending = false;
  StopReader = false;
  return 0;
}

int TWinComDevice::Close() {
  TLock lock(Mutex);
  if (Port == INVALID_HANDLE_VALUE || StopReader) return Port == INVALID_HANDLE_VALUE ? 0 : Closed;
  StopReader = true;  // no new reads, writes or waits from here
  Abort(Reads);
  Abort(Writes);
  SetEvent(RaisedEvent);  // a wait for the device's own events ends
  Changed.notify_all();
  lock.unlock();
  for (TTransfers* queue : {&Reads, &Writes})
    if (queue->Thread.joinable()) queue->Thread.join();
  ::SetCommMask(Port, 0);  // an event wait ends
  lock.lock();
  Changed.wait(lock, [this] { return Busy == 0; });
  const BOOL closed = CloseHandle(Port);
  Port = INVALID_HANDLE_VALUE;
  StopReader = false;
  return closed ? 0 : int(GetLastError());
}

bool TWinComDevice::IsOpen() const {
  std::lock_guard lock(Mutex);
  return Port != INVALID_HANDLE_VALUE && !StopReader;
}

// ------------------------------------------------------- the line

int TWinComDevice::SetCommState(const TDCB& dcb) {
  std::lock_guard lock(Mutex);
  if (!Usable()) return Closed;
  DCB d;
  std::memcpy(&d, &dcb, sizeof d);
  d.DCBlength = sizeof d;
  if (!::SetCommState(Port, &d)) return int(GetLastError());
  Baud = dcb.BaudRate;
  return 0;
}

int TWinComDevice::SetCommTimeouts(const TCommTimeouts& timeouts) {
  {
    std::lock_guard lock(Mutex);
    if (!Usable()) return Closed;
    Timeouts = timeouts;
  }
  // The write time-outs go to the driver; the read ones are the device's.
  std::lock_guard driver(TimeoutsMutex);
  WriteMultiplier = timeouts.WriteTotalTimeoutMultiplier;
  WriteConstant = timeouts.WriteTotalTimeoutConstant;
  return ApplyDriverTimeouts(DriverTimeouts.ReadTotalTimeoutConstant);
}

int TWinComDevice::ApplyDriverTimeouts(std::uint32_t readConstantMs) {
  const TCommTimeouts wanted{0, 0, readConstantMs, WriteMultiplier, WriteConstant};
  if (DriverTimeoutsSet && std::memcmp(&wanted, &DriverTimeouts, sizeof wanted) == 0) return 0;
  COMMTIMEOUTS t{wanted.ReadIntervalTimeout, wanted.ReadTotalTimeoutMultiplier, wanted.ReadTotalTimeoutConstant,
                 wanted.WriteTotalTimeoutMultiplier, wanted.WriteTotalTimeoutConstant};
  if (!::SetCommTimeouts(Port, &t)) return int(GetLastError());
  DriverTimeouts = wanted;
  DriverTimeoutsSet = true;
  return 0;
}

int TWinComDevice::SetupComm(std::uint32_t inputSize, std::uint32_t outputSize) {
  std::lock_guard lock(Mutex);
  if (!Usable()) return Closed;
  return ::SetupComm(Port, inputSize, outputSize) ? 0 : int(GetLastError());
}

int TWinComDevice::SetCommMask(std::uint32_t mask) {
  std::lock_guard lock(Mutex);
  if (!Usable()) return Closed;
  Mask = mask;
  SetEvent(RaisedEvent);  // a wait under way looks again, for the new mask
  return ::SetCommMask(Port, DriverMask()) ? 0 : int(GetLastError());
}

int TWinComDevice::PurgeComm(std::uint32_t flags) {
  std::lock_guard lock(Mutex);
  if (!Usable()) return Closed;
  if (flags & PURGE_RXABORT) Abort(Reads);
  if (flags & PURGE_TXABORT) Abort(Writes);
  // The driver's read or write under way ends as well; its queues empty.
  return ::PurgeComm(Port, flags) ? 0 : int(GetLastError());
}

int TWinComDevice::ClearCommError(std::uint32_t& errors, TComStat& stat) {
  std::lock_guard lock(Mutex);
  if (!Usable()) return Closed;
  DWORD e = 0;
  COMSTAT s{};
  if (!::ClearCommError(Port, &e, &s)) return Failed(int(GetLastError()));
  errors = std::uint32_t(e) | PendingErrors.exchange(0);
  if (LostError) errors |= CE_IOE;
  std::uint32_t flags = 0;
  std::memcpy(&flags, &s, sizeof flags);  // the state bits come first
  stat.Flags = flags & 0xFF;
  stat.InQue = s.cbInQue;
  stat.OutQue = s.cbOutQue;
  return 0;
}

int TWinComDevice::GetCommModemStatus(std::uint32_t& status) {
  std::lock_guard lock(Mutex);
  status = 0;
  if (!Usable()) return Closed;
  if (NoModemLines) return 0;
  DWORD lines = 0;
  if (!::GetCommModemStatus(Port, &lines)) return int(GetLastError());
  status = lines;
  return 0;
}

int TWinComDevice::EscapeCommFunction(std::uint32_t function) {
  std::lock_guard lock(Mutex);
  if (!Usable()) return Closed;
  if (NoModemLines && (function == SETDTR || function == CLRDTR || function == SETRTS || function == CLRRTS)) return 0;
  return ::EscapeCommFunction(Port, function) ? 0 : int(GetLastError());
}

int TWinComDevice::TransmitCommChar(char c) {
  std::lock_guard lock(Mutex);
  if (!Usable()) return Closed;
  return ::TransmitCommChar(Port, c) ? 0 : int(GetLastError());
}

bool TWinComDevice::Usable() const { return Port != INVALID_HANDLE_VALUE && !StopReader; }

int TWinComDevice::Failed(int error) {
  // An aborted call is no loss; anything else on a COM port is: the
  // adapter was pulled, the driver went, the far end of a virtual port closed.
  if (error != ERROR_OPERATION_ABORTED && error != 0) {
    int none = 0;
    LostError.compare_exchange_strong(none, error);
  }
  return error;
}

// ------------------------------------------------------------ events

int TWinComDevice::WaitCommEvent(std::uint32_t& events, const TComStopEvent* stop, int timeoutMs) {
  events = 0;
  const std::int64_t deadline = timeoutMs < 0 ? -1 : ComNowMs() + timeoutMs;
  TLock lock(Mutex);
  // A wake-up with nothing of the mask (a new mask, a purge) looks again.
  for (;;) {
    if (!Usable()) return Closed;
    if (Raised & Mask) {
      events = TakeRaised();
      return 0;
    }
    if (LostError) return LostError;
    const std::int64_t left = deadline < 0 ? -1 : std::max<std::int64_t>(deadline - ComNowMs(), 0);
    ResetEvent(RaisedEvent);  // set again by whatever comes from here on
    const std::uint32_t driverMask = DriverMask();
    ++Busy;
    lock.unlock();
    std::uint32_t found = 0;
    bool stopped = false, timedOut = false;
    const int result = WaitOnce(driverMask, stop, left, found, stopped, timedOut);
    lock.lock();
    if (--Busy == 0) Changed.notify_all();
    if (!Usable()) return Closed;
    if (stopped) return ERROR_WAIT_STOPPED;
    if (result != 0) return Failed(result);
    events = (found | TakeRaised()) & Mask;
    if (events || timedOut) return 0;
  }
}

int TWinComDevice::WaitOnce(std::uint32_t driverMask, const TComStopEvent* stop, std::int64_t timeoutMs,
                            std::uint32_t& found, bool& stopped, bool& timedOut) {
  // The driver's events (when it is asked for any), the device's own, and
  // the stop event.
  OVERLAPPED o{};
  o.hEvent = NewEvent();
  HANDLE handles[3];
  DWORD count = 0, driverFound = 0;
  int result = 0;
  bool waiting = false;
  if (driverMask != 0) {
    if (::WaitCommEvent(Port, &driverFound, &o)) {
      SetEvent(o.hEvent);  // already done: driverFound holds them
      handles[count++] = o.hEvent;
    } else if ((result = int(GetLastError())) == ERROR_IO_PENDING) {
      result = 0;
      waiting = true;
      handles[count++] = o.hEvent;
    }
  }
  if (result == 0) {
    const DWORD own = count;
    handles[count++] = RaisedEvent;
    if (stop) handles[count++] = HANDLE(stop->Handle());
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    if (waiting) {
      if (woke != WAIT_OBJECT_0) CancelIoEx(Port, &o);
      DWORD ignored = 0;
      if (!::GetOverlappedResult(Port, &o, &ignored, TRUE)) {
        // Ended by us, by a new mask or a purge: no events, no loss.
        driverFound = 0;
        if (const int error = int(GetLastError()); error != ERROR_OPERATION_ABORTED) result = error;
      }
    }
    stopped = stop && woke == WAIT_OBJECT_0 + own + 1;
    timedOut = woke == WAIT_TIMEOUT;
    if (woke == WAIT_FAILED) result = int(GetLastError());
  }
  CloseHandle(o.hEvent);
  found = driverFound;
  return result;
}

std::uint32_t TWinComDevice::DriverMask() const {
  // Transmit-empty is the device's own: the driver raises it between
  // writes that are still queued here, and wine cannot wait for it at all.
  std::uint32_t mask = Mask & ~std::uint32_t(EV_TXEMPTY);
  if (NoModemLines) mask &= ~ModemEvents;
  return mask;
}

void TWinComDevice::Raise(std::uint32_t events) {
  Raised |= events;
  if (Raised & Mask) SetEvent(RaisedEvent);
}

std::uint32_t TWinComDevice::TakeRaised() {
  const std::uint32_t events = Raised & Mask;
  Raised = 0;
  ResetEvent(RaisedEvent);
  return events;
}

void TWinComDevice::AwaitTxEmpty(TLock& lock) {
  // Every write has gone to the driver: once its output queue is empty as
  // well, every byte has left. Looked at again as long as it holds bytes,
  // sooner the fewer they are, unless more writes come.
  while (TxPending && Writes.Pending.empty() && !StopReader) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(Port, &errors, &stat)) return;
    PendingErrors |= std::uint32_t(errors);
    if (stat.cbOutQue == 0) {
      TxPending = false;
      Raise(EV_TXEMPTY);
      return;
    }
    const auto ms = std::clamp<std::uint64_t>(std::uint64_t(stat.cbOutQue) * 10000 / std::max<std::uint32_t>(Baud, 1), 1, 100);
    Changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !Writes.Pending.empty() || StopReader; });
  }
}

// --------------------------------------------------- reads and writes

int TWinComDevice::ReadFile(void* buffer, std::uint32_t count, TComOverlapped& ov) {
  return Start(Reads, false, static_cast<std::uint8_t*>(buffer), count, ov);
}

int TWinComDevice::WriteFile(const void* buffer, std::uint32_t count, TComOverlapped& ov) {
  return Start(Writes, true, static_cast<std::uint8_t*>(const_cast<void*>(buffer)), count, ov);
}

int TWinComDevice::Start(TTransfers& queue, bool write, std::uint8_t* buffer, std::uint32_t count, TComOverlapped& ov) {
  TLock lock(Mutex);
  ov = TComOverlapped{};
  ov.Write = write;
  ov.Buffer = buffer;
  ov.Requested = count;
  const int refused = !Usable() ? Closed : LostError.load();
  if (refused) {
    ov.Error = refused;
    return refused;
  }
  ov.Completed = false;
  const TCommTimeouts& t = Timeouts;
  const bool atOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutConstant == 0 &&
                      (t.ReadTotalTimeoutMultiplier == 0 || t.ReadTotalTimeoutMultiplier == MAXDWORD);
  if (!write && atOnce && queue.Pending.empty()) {
    // Nothing to wait for: done here, without the reader, whose abort
    // event belongs to a read of its own.
    std::lock_guard driver(DriverReadMutex);
    ResetEvent(queue.AbortEvent);
    const int error = RunRead(ov, t);
    ov.Completed = true;
    ov.Error = error;
    return error;
  }
  if (write && (Mask & EV_TXEMPTY)) TxPending = true;
  queue.Pending.push_back(&ov);
  if (!queue.Thread.joinable()) queue.Thread = std::thread([this, &queue] { Carry(queue); });
  Changed.notify_all();
  return ERROR_IO_PENDING;
}

int TWinComDevice::GetOverlappedResult(TComOverlapped& ov, bool wait) {
  TLock lock(Mutex);
  if (wait) Changed.wait(lock, [&] { return ov.Completed; });
  return ov.Completed ? ov.Error : ERROR_IO_INCOMPLETE;
}

int TWinComDevice::CancelIo(TComOverlapped& ov) {
  TLock lock(Mutex);
  if (ov.Completed) return 0;
  TTransfers& queue = ov.Write ? Writes : Reads;
  if (&ov == queue.Running) {
    queue.RunningAborted = true;
    SetEvent(queue.AbortEvent);
    Changed.wait(lock, [&] { return ov.Completed; });
    return 0;
  }
  const auto it = std::find(queue.Pending.begin(), queue.Pending.end(), &ov);
  if (it != queue.Pending.end()) queue.Pending.erase(it);
  Complete(ov, ERROR_OPERATION_ABORTED);
  return 0;
}

void TWinComDevice::Complete(TComOverlapped& ov, int error) {
  ov.Error = error;
  ov.Completed = true;
  Changed.notify_all();
}

void TWinComDevice::Abort(TTransfers& queue) {
  for (TComOverlapped* ov : queue.Pending)
    if (ov != queue.Running) Complete(*ov, ERROR_OPERATION_ABORTED);
  queue.Pending.clear();
  if (queue.Running) {
    queue.Pending.push_back(queue.Running);  // its thread completes it
    queue.RunningAborted = true;
    SetEvent(queue.AbortEvent);
  }
}

void TWinComDevice::Carry(TTransfers& queue) {
  TLock lock(Mutex);
  for (;;) {
    Changed.wait(lock, [&] { return StopReader || !queue.Pending.empty(); });
    if (queue.Pending.empty()) return;  // closing
    TComOverlapped& ov = *queue.Pending.front();
    queue.Running = &ov;
    queue.RunningAborted = false;
    ResetEvent(queue.AbortEvent);
    const TCommTimeouts timeouts = Timeouts;
    lock.unlock();
    int error = 0;
    if (ov.Write) {
      error = RunWrite(ov);
    } else {
      std::lock_guard driver(DriverReadMutex);
      error = RunRead(ov, timeouts);
    }
    lock.lock();
    queue.Running = nullptr;
    queue.Pending.pop_front();
    Complete(ov, queue.RunningAborted ? ERROR_OPERATION_ABORTED : error);
    if (ov.Write) AwaitTxEmpty(lock);
  }
}

int TWinComDevice::RunWrite(TComOverlapped& ov) {
  OVERLAPPED o{};
  o.hEvent = Writes.IoEvent;
  ResetEvent(o.hEvent);
  if (!::WriteFile(Port, ov.Buffer, ov.Requested, nullptr, &o)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return Failed(int(error));
    HANDLE handles[2] = {o.hEvent, Writes.AbortEvent};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) CancelIoEx(Port, &o);
  }
  DWORD sent = 0;
  const BOOL ok = ::GetOverlappedResult(Port, &o, &sent, TRUE);
  ov.Done = sent;
  if (ok) return 0;
  const DWORD error = GetLastError();
  return RanOutOfTime(error) ? 0 : Failed(int(error));  // a write whose time ran out succeeds with what went
}

int TWinComDevice::RunRead(TComOverlapped& ov, const TCommTimeouts& timeouts) {
  // The read's time runs from here: it is at the front.
  ov.StartMs = ComNowMs();
  for (;;) {
    std::uint32_t got = 0;
    int error = TakeQueued(ov.Buffer + ov.Done, ov.Requested - ov.Done, got);
    if (got > 0) {
      ov.Done += got;
      ov.LastByteMs = ComNowMs();
    }
    if (error != 0) return ov.Done > 0 && error != ERROR_OPERATION_ABORTED ? 0 : error;
    if (ov.Done == ov.Requested) return 0;
    const std::int64_t deadline = ComReadDeadline(timeouts, ov), now = ComNowMs();
    if (deadline == 0 || (deadline > 0 && deadline <= now)) return 0;
    const std::int64_t wait = deadline < 0 ? LongestWaitMs : std::min(deadline - now, LongestWaitMs);
    error = AwaitByte(ov.Buffer + ov.Done, std::uint32_t(wait), got);
    if (got > 0) {
      ov.Done += got;
      ov.LastByteMs = ComNowMs();
    }
    if (error != 0) return ov.Done > 0 && error != ERROR_OPERATION_ABORTED ? 0 : error;
  }
}

int TWinComDevice::TakeQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& got) {
  got = 0;
  if (count == 0) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(Port, &errors, &stat)) return Failed(int(GetLastError()));
  PendingErrors |= std::uint32_t(errors);
  const std::uint32_t queued = std::min<std::uint32_t>(count, stat.cbInQue);
  if (queued == 0) return 0;
  // The bytes are there: a plain total time-out only guards against a
  // purge taking them meanwhile.
  return DriverRead(buffer, queued, 100, got);
}

int TWinComDevice::AwaitByte(std::uint8_t* buffer, std::uint32_t timeoutMs, std::uint32_t& got) {
  return DriverRead(buffer, 1, std::max<std::uint32_t>(timeoutMs, 1), got);
}

int TWinComDevice::DriverRead(std::uint8_t* buffer, std::uint32_t count, std::uint32_t constantMs, std::uint32_t& got) {
  got = 0;
  {
    std::lock_guard driver(TimeoutsMutex);
    if (const int error = ApplyDriverTimeouts(constantMs)) return Failed(error);
  }
  OVERLAPPED o{};
  o.hEvent = Reads.IoEvent;
  ResetEvent(o.hEvent);
  if (!::ReadFile(Port, buffer, count, nullptr, &o)) {
    const DWORD error = GetLastError();
    if (RanOutOfTime(error)) return 0;
    if (error != ERROR_IO_PENDING) return Failed(int(error));
    HANDLE handles[2] = {o.hEvent, Reads.AbortEvent};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) CancelIoEx(Port, &o);
  }
  DWORD n = 0;
  const BOOL ok = ::GetOverlappedResult(Port, &o, &n, TRUE);
  got = n;
  if (ok) return 0;
  const DWORD error = GetLastError();
  return RanOutOfTime(error) ? 0 : Failed(int(error));
}

// -------------------------------------------------------------- the rest

TComStopEvent::TComStopEvent() : FHandle(NewEvent()) {}

TComStopEvent::~TComStopEvent() { CloseHandle(FHandle); }

void TComStopEvent::Set() { SetEvent(FHandle); }

void TComStopEvent::Reset() { ResetEvent(FHandle); }

bool TComStopEvent::IsSet() const { return WaitForSingleObject(FHandle, 0) == WAIT_OBJECT_0; }

std::unique_ptr<TComDevice> CreatePlatformComDevice() { return std::make_unique<TWinComDevice>(); }
