// The device interface on Windows: a COM port opened for overlapped I/O.
//
// Line settings, queues, events, purges, modem lines and writes go to the
// driver as they are. Reads are carried out by the device itself, one at a
// time in the order issued, on a thread of its own that runs while reads
// are pending: each read is made of driver reads of two kinds only, "the
// bytes queued now" and "one byte within T ms", whose meaning every driver
// shares (and wine's too, which differs from Windows in the interval and
// first-byte time-outs). So a read means what ComDevice.h says everywhere.
//
// A port without modem lines (a virtual one) reads its lines as off and
// skips their controls, as the POSIX device does for pseudo-terminals.
#pragma once

#include "ComDevice.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class TWinComDevice final : public TComDevice {
public:
  TWinComDevice();
  ~TWinComDevice() override;

  int Open(const std::string& path) override;
  int Close() override;
  bool IsOpen() const override;

  int SetCommState(const TDCB& dcb) override;
  int SetCommTimeouts(const TCommTimeouts& timeouts) override;
  int SetupComm(std::uint32_t inputSize, std::uint32_t outputSize) override;
  int SetCommMask(std::uint32_t mask) override;
  int WaitCommEvent(std::uint32_t& events, const TComStopEvent* stop, int timeoutMs) override;
  int ReadFile(void* buffer, std::uint32_t count, TComOverlapped& ov) override;
  int WriteFile(const void* buffer, std::uint32_t count, TComOverlapped& ov) override;
  int GetOverlappedResult(TComOverlapped& ov, bool wait) override;
  int CancelIo(TComOverlapped& ov) override;
  int PurgeComm(std::uint32_t flags) override;
  int ClearCommError(std::uint32_t& errors, TComStat& stat) override;
  int GetCommModemStatus(std::uint32_t& status) override;
  int EscapeCommFunction(std::uint32_t function) override;
  int TransmitCommChar(char c) override;

private:
  using TLock = std::unique_lock<std::mutex>;
  using THandle = void*;

  // The reads or the writes under way, oldest first, carried out one at a
  // time by a thread of their own that runs while the device is open.
  struct TTransfers {
    TTransfers();
    ~TTransfers();
    std::deque<TComOverlapped*> Pending;
    TComOverlapped* Running = nullptr;  // the front one, while the thread carries it out
    bool RunningAborted = false;
    THandle IoEvent;     // completes the thread's driver call
    THandle AbortEvent;  // ends the thread's driver call
    std::thread Thread;
  };

  // Lock held: queues a read or write (a read that returns at once is done
  // here), or refuses it.
  int Start(TTransfers& queue, bool write, std::uint8_t* buffer, std::uint32_t count, TComOverlapped& ov);
  void Carry(TTransfers& queue);
  void Complete(TComOverlapped& ov, int error);  // lock held
  void Abort(TTransfers& queue);                 // lock held
  int RunWrite(TComOverlapped& ov);
  // Reads (lock not held): the table of ComDevice.h, from driver reads.
  int RunRead(TComOverlapped& ov, const TCommTimeouts& timeouts);
  // Moves what the driver holds now, at most count bytes, into buffer.
  int TakeQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& got);
  // One byte, or none within timeoutMs; an abort ends it.
  int AwaitByte(std::uint8_t* buffer, std::uint32_t timeoutMs, std::uint32_t& got);
  int DriverRead(std::uint8_t* buffer, std::uint32_t count, std::uint32_t constantMs, std::uint32_t& got);
  // Gives the driver these read time-outs and the write time-outs asked
  // for; TimeoutsMutex held.
  int ApplyDriverTimeouts(std::uint32_t readConstantMs);
  // Events: what the driver is asked to wait for; the device's own events
  // (transmit-empty), raised and taken with the lock held.
  std::uint32_t DriverMask() const;
  // One wait (lock not held): for the driver's events of driverMask, the
  // device's own, stop, or timeoutMs (-1: no limit).
  int WaitOnce(std::uint32_t driverMask, const TComStopEvent* stop, std::int64_t timeoutMs, std::uint32_t& found,
               bool& stopped, bool& timedOut);
  void Raise(std::uint32_t events);
  std::uint32_t TakeRaised();
  // Writes' thread, lock held: transmit-empty once the driver's output is.
  void AwaitTxEmpty(TLock& lock);
  // The error a failed call leaves, noted when it says the device has gone.
  int Failed(int error);
  bool Usable() const;  // open and not closing; lock held

  mutable std::mutex Mutex;  // everything below but the driver's reads and time-outs
  std::condition_variable Changed;
  THandle Port;
  std::mutex DriverReadMutex;  // one driver read at a time
  std::mutex TimeoutsMutex;    // the driver's time-outs, below
  TCommTimeouts DriverTimeouts{};
  bool DriverTimeoutsSet = false;
  std::uint32_t WriteMultiplier = 0, WriteConstant = 0;  // as asked
  TCommTimeouts Timeouts{};    // as asked
  std::uint32_t Mask = 0;
  std::uint32_t Raised = 0;  // the device's own events, not yet taken by a wait
  THandle RaisedEvent;       // set while Raised holds events of the mask
  bool TxPending = false;    // bytes written since the last transmit-empty
  std::uint32_t Baud = 9600;
  bool NoModemLines = false;
  // Taken without the lock by calls that work the driver.
  std::atomic<int> LostError{0};
  std::atomic<std::uint32_t> PendingErrors{0};  // line errors the device's own looks took
  TTransfers Reads, Writes;
  bool StopReader = false;  // closing: no new calls, the threads end
  int Busy = 0;  // event waits using the handle outside the lock
};
