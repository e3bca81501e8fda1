// The device interface on POSIX terminals.
//
// Like a Win32 driver, the device has an input queue of its own: received
// bytes are drained from the tty into it, the kernel's error marks decoded,
// and what arrived recorded as line events; reads and queue counts serve from
// it, pending reads first, in the order they were issued. Whoever waits for
// events drains the line (the port's event thread, or the UI thread's event
// loop through EventFd), and so does every read and queue count; while
// nobody looks, the kernel holds the bytes. Writes queue in the order
// issued; what the line does not take at once, and reads that wait for
// bytes, are carried on by the device's transfer thread, which runs only
// while something is pending and ends with Close.
//
// Everything that changes is guarded by one lock. The descriptor is used
// outside it only by calls that block in poll, and Close waits for those to
// leave after it has aborted them.
//
// Virtual ports (pseudo-terminals, socat links) have no modem lines, no line
// counters, no line errors and keep 8 data bits without parity: what they
// cannot do reads as lines off and is skipped. On a real line every failure
// is reported.
#pragma once

#include "ComDevice.h"
#include "ComInputQueue.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include <linux/serial.h>

void SignalEventFd(int fd);
void DrainEventFd(int fd);

class TPosixComDevice final : public TComDevice {
public:
  TPosixComDevice();
  ~TPosixComDevice() override;

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
  int EventFd() const override { return EpollFd; }
  int SetLowLatency(bool on) override;

private:
  using TLock = std::unique_lock<std::mutex>;

  // Events and the input queue (PosixComIO.cpp); lock held throughout.
  // Looks at everything that may have happened without waiting: the tty,
  // the transmit timer, the notifications; adds what it finds to Pending.
  void Collect();
  // Drains the tty into the queue as far as there is room and serves the
  // pending reads; the events of what came.
  std::uint32_t Fill();
  // Hands queued bytes to the pending reads, oldest first.
  void ServeReads();
  // Records events for the waiter and wakes it.
  void Raise(std::uint32_t events);
  // Makes the waiter look (once until it has looked).
  void Notify();
  // The device has gone: waits and transfers hear of it.
  void MarkLost(int error);
  // Keeps the tty in the event set exactly while the waiter should drain it.
  void UpdateInputWatch();
  // EV_TXEMPTY once every byte written has left the line.
  void CheckTxEmpty();
  void Complete(TComOverlapped& ov, int error);
  // Wakes the transfer thread when it is blocked on the line.
  void Wake();
  void Unqueue(TComOverlapped& ov);
  void AbortTransfers(bool reads, bool writes);
  // Reads and writes; lock held.
  int Start(TComOverlapped& ov, bool write, std::uint8_t* buffer, std::uint32_t count);
  // Writes what the line takes, front write first; ends writes whose time
  // ran out and fails them all when the line has gone.
  void PumpWrites();
  void NextWrite();
  // The transfer thread: carries on pending reads and writes.
  void Transfers();
  void StartTransfers();
  // Waits up to timeoutMs (-1: no limit) for fd to be ready for events, or
  // for Wake; the lock is released meanwhile. Returns poll's revents of fd,
  // or -1 on an error (errno set).
  int BlockOn(int fd, short events, int timeoutMs, TLock& lock);

  // Line and modem helpers (PosixComDevice.cpp); lock held.
  std::uint32_t CounterEvents();
  bool MarkedErrorIsParity();
  int Ioctl(unsigned long request);
  int SetModemLine(int line, bool on);
  int SetRs485(bool on);
  std::uint32_t OutQueue() const;
  int DrainWaitMs(std::uint32_t outQue) const;
  void StartModemWatch();
  void StopModemWatch();

  // Descriptors of the device's own, for its whole life.
  const int EpollFd;    // the event set: NotifyFd, TxTimerFd and the tty while watched
  const int NotifyFd;   // events raised by another thread, a mask change, a close
  const int WakeFd;     // wakes blocked reads and writes: a purge, a close, a read served
  const int TxTimerFd;  // when to look again whether the output has drained

  mutable std::mutex Mutex;  // everything below
  std::condition_variable Idle;  // Busy fell to 0
  int Fd = -1;
  bool Virtual = false;
  TComInputQueue Input;
  TComPendingReads Reads{[this](TComOverlapped& ov, int error) { Complete(ov, error); }};
  std::deque<TComOverlapped*> Writes;  // pending writes, oldest first
  std::condition_variable Completed;   // a read or write completed
  std::condition_variable Work;        // the transfer thread has something to do
  std::thread TransferThread;
  TCommTimeouts Timeouts{};
  std::uint32_t Mask = 0;
  std::uint32_t Pending = 0;        // events found, not yet taken by a wait
  bool NotifySignalled = false;     // NotifyFd is set and not yet drained
  std::uint32_t PendingErrors = 0;  // CE_ bits for the next ClearCommError
  bool Lost = false;
  int LostError = EIO;
  int WatchedFd = -1;         // the tty while it is in the event set
  bool TxPending = false;     // bytes written that have not yet left the line
  int Busy = 0;               // calls that use the descriptor outside the lock
  int Blocked = 0;            // of them, the transfer thread that WakeFd wakes
  bool WakeSignalled = false;
  bool DefaultErrorIsParity = false;
  std::uint32_t Baud = 9600;
  bool HasCounters = false;
  serial_icounter_struct Counters{};
  int ModemLines = 0;
  bool ModemWatched = false;
  bool Rs485 = false;  // the driver's RS-485 mode is on
  bool ToggleNoted = false;

  std::thread ModemThread;
  std::atomic<bool> StopModem{false};
  std::atomic<bool> ModemDone{false};
};
