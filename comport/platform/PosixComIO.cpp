// The POSIX device: waiting for events, draining the line into the input
// queue, and reads and writes with their time-outs.
#include "PosixComDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr std::uint32_t ReceiveEvents = EV_RXCHAR | EV_RXFLAG | EV_ERR | EV_BREAK | EV_RX80FULL;

int LeftMs(std::int64_t deadline, std::int64_t now) {
  return deadline < 0 ? -1 : int(std::min<std::int64_t>(deadline - now, 1 << 30));
}

}  // namespace

// ------------------------------------------------------------------ events

int TPosixComDevice::WaitCommEvent(std::uint32_t& events, const TComStopEvent* stop, int timeoutMs) {
  events = 0;
  const std::int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  TLock lock(Mutex);
  // The event set is level-triggered: poll returns at once while anything
  // in it is ready, so a look that finds nothing is followed by a wait.
  for (bool looked = false;; looked = true) {
    if (Fd < 0) return EBADF;
    // What arrived before the line went is reported first.
    if (Pending != 0) {
      if (NotifySignalled) {
        DrainEventFd(NotifyFd);  // it said just this
        NotifySignalled = false;
      }
      events = std::exchange(Pending, 0);
      return 0;
    }
    if (Lost) return LostError;
    const int wait = LeftMs(deadline, NowMs());
    if (looked && deadline >= 0 && wait <= 0) return 0;
    if (looked || timeoutMs != 0) {
      lock.unlock();
      pollfd fds[2] = {{EpollFd, POLLIN, 0}, {stop ? stop->Fd() : -1, POLLIN, 0}};
      const int n = ::poll(fds, 2, std::max(wait, -1));
      const int error = errno;
      lock.lock();
      if (n < 0 && error != EINTR) return error;
      if (fds[1].revents & POLLIN) return ERROR_WAIT_STOPPED;
      if (Fd < 0) return EBADF;
    }
    Collect();
  }
}

void TPosixComDevice::Collect() {
  // The line first: it is what wakes the waiter nearly every time, and a
  // read is all it takes. The rest stays ready in the set until looked at.
  std::uint32_t events = 0;
  const std::size_t before = Input.Size();
  if (WatchedFd >= 0) events |= Fill();
  if (Input.Size() == before && !Lost) {
    epoll_event ready[3];
    const int n = ::epoll_wait(EpollFd, ready, 3, 0);
    for (int i = 0; i < n; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == NotifyFd) {
        DrainEventFd(NotifyFd);
        NotifySignalled = false;
      } else if (fd == TxTimerFd) {
        DrainEventFd(TxTimerFd);
        CheckTxEmpty();
      } else if (fd == WatchedFd && (ready[i].events & (EPOLLHUP | EPOLLERR))) {
        // A hang-up with nothing left to read: the device has gone.
        events |= Fill();
        if (!Lost && Input.Size() == before) MarkLost(EIO);
      }
    }
  }
  Pending |= events & Mask;
}

void TPosixComDevice::Raise(std::uint32_t events) {
  events &= Mask;
  if (events == 0) return;
  // The waiter takes all of Pending at once: one wake-up covers them.
  Notify();
  Pending |= events;
}

void TPosixComDevice::Notify() {
  if (NotifySignalled) return;
  SignalEventFd(NotifyFd);
  NotifySignalled = true;
}

void TPosixComDevice::UpdateInputWatch() {
  const int want = Fd >= 0 && !Lost && (Mask & ReceiveEvents) && Input.Room() > 0 ? Fd : -1;
  if (want == WatchedFd) return;
  if (WatchedFd >= 0) ::epoll_ctl(EpollFd, EPOLL_CTL_DEL, WatchedFd, nullptr);
  if (want >= 0) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = want;
    ::epoll_ctl(EpollFd, EPOLL_CTL_ADD, want, &e);
  }
  WatchedFd = want;
}

void TPosixComDevice::MarkLost(int error) {
  if (Lost) return;
  Lost = true;
  LostError = error ? error : EIO;
  PendingErrors |= CE_IOE;
  // Pending reads end with what they have, or with the error.
  for (TComOverlapped* ov : Reads) Complete(*ov, ov->Done > 0 ? 0 : LostError);
  Reads.clear();
  Wake();
  Notify();
  UpdateInputWatch();
}

void TPosixComDevice::NoteWritten() {
  if (!(Mask & EV_TXEMPTY)) return;
  TxPending = true;
  CheckTxEmpty();
}

void TPosixComDevice::CheckTxEmpty() {
  if (!TxPending) return;
  // A pseudo-terminal hands what is written straight to its other side.
  const std::uint32_t out = Lost || Fd < 0 || Virtual ? 0 : OutQueue();
  if (out == 0) {
    TxPending = false;
    Raise(EV_TXEMPTY);
    return;
  }
  // Look again once the bytes still queued should have left.
  const int ms = DrainWaitMs(out);
  itimerspec at{};
  at.it_value.tv_sec = ms / 1000;
  at.it_value.tv_nsec = long(ms % 1000) * 1000000L;
  ::timerfd_settime(TxTimerFd, 0, &at, nullptr);
}

// -------------------------------------------------------- the input queue

std::uint32_t TPosixComDevice::Fill() {
  std::uint32_t events = 0, errors = 0;
  std::uint8_t chunk[16384];
  bool came = false;
  while (Fd >= 0 && !Lost && Input.Room() > 0) {
    // Plain bytes go straight into the queue; marked ones are decoded.
    std::size_t want = 0;
    std::uint8_t* into = Input.Plain() ? Input.Tail(want) : chunk;
    if (!Input.Plain()) want = std::min(sizeof chunk, Input.Room());
    const ssize_t n = ::read(Fd, into, want);
    if (n > 0) {
      if (Input.Plain()) {
        Input.Added(std::size_t(n), events);
      } else {
        if (Input.Rules.Marks) Input.Rules.ErrorIsParity = MarkedErrorIsParity();
        Input.Put(chunk, std::size_t(n), events, errors);
      }
      came = true;
      if (std::size_t(n) < want) break;  // the line is empty for now
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    MarkLost(n == 0 ? EIO : errno);  // a read of 0 bytes: the other side is gone
  }
  PendingErrors |= errors;
  if (came) {
    ServeReads();
    events |= CounterEvents();
  }
  UpdateInputWatch();
  return events;
}

void TPosixComDevice::ServeReads() {
  while (!Reads.empty()) {
    TComOverlapped& ov = *Reads.front();
    // A read whose time ran out before these bytes came has ended with what
    // it had; they are the next read's.
    if (const std::int64_t deadline = Deadline(ov); deadline > 0 && NowMs() >= deadline) {
      Reads.pop_front();
      Complete(ov, 0);
      continue;
    }
    const std::size_t n = Input.Take(ov.Buffer + ov.Done, ov.Requested - ov.Done);
    if (n > 0) {
      ov.Done += std::uint32_t(n);
      ov.LastByteMs = NowMs();
    }
    const std::int64_t deadline = Deadline(ov);
    if (ov.Done < ov.Requested && deadline != 0 && (deadline < 0 || NowMs() < deadline)) return;  // waits for more
    Reads.pop_front();
    Complete(ov, 0);
  }
}

void TPosixComDevice::Complete(TComOverlapped& ov, int error) {
  ov.Completed = true;
  ov.Error = error;
  Wake();  // its owner may be blocked on the line
}

void TPosixComDevice::Wake() {
  if (Blocked == 0 || WakeSignalled) return;
  SignalEventFd(WakeFd);
  WakeSignalled = true;
}

void TPosixComDevice::Unqueue(TComOverlapped& ov) {
  const auto it = std::find(Reads.begin(), Reads.end(), &ov);
  if (it != Reads.end()) Reads.erase(it);
}

void TPosixComDevice::AbortTransfers(bool reads, bool writes) {
  if (reads) {
    ++ReadGeneration;
    for (TComOverlapped* ov : Reads) Complete(*ov, ERROR_OPERATION_ABORTED);
    Reads.clear();
  }
  if (writes) ++WriteGeneration;
  Wake();
}

// ------------------------------------------------------ reads and writes

int TPosixComDevice::ReadFile(void* buffer, std::uint32_t count, TComOverlapped& ov) {
  TLock lock(Mutex);
  return Start(ov, false, static_cast<std::uint8_t*>(buffer), count, lock);
}

int TPosixComDevice::WriteFile(const void* buffer, std::uint32_t count, TComOverlapped& ov) {
  TLock lock(Mutex);
  return Start(ov, true, static_cast<std::uint8_t*>(const_cast<void*>(buffer)), count, lock);
}

int TPosixComDevice::GetOverlappedResult(TComOverlapped& ov, bool wait) {
  TLock lock(Mutex);
  if (!ov.Completed) {
    if (ov.Write)
      ProgressWrite(ov, wait, lock);
    else
      ProgressRead(ov, wait, lock);
  }
  if (!ov.Completed) return ERROR_IO_INCOMPLETE;
  return ov.Error;
}

int TPosixComDevice::CancelIo(TComOverlapped& ov) {
  std::lock_guard lock(Mutex);
  Unqueue(ov);
  if (!ov.Completed) Complete(ov, ERROR_OPERATION_ABORTED);
  return 0;
}

int TPosixComDevice::PurgeComm(std::uint32_t flags) {
  std::lock_guard lock(Mutex);
  if (Fd < 0) return EBADF;
  AbortTransfers(flags & PURGE_RXABORT, flags & PURGE_TXABORT);
  const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
  if (rx) Input.Clear();
  if ((rx || tx) && ::tcflush(Fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0 && !Lost) return errno;
  UpdateInputWatch();  // there is room again
  return 0;
}

// The byte goes straight to the driver; POSIX has no way to put it ahead of
// bytes the driver already holds.
int TPosixComDevice::TransmitCommChar(char c) {
  TLock lock(Mutex);
  if (Fd < 0) return EBADF;
  TComOverlapped ov;
  int result = Start(ov, true, reinterpret_cast<std::uint8_t*>(&c), 1, lock);
  if (result == ERROR_IO_PENDING) {
    ProgressWrite(ov, true, lock);
    result = ov.Error;
  }
  if (result == 0 && ov.Done != 1) result = ETIMEDOUT;
  return result;
}

int TPosixComDevice::Start(TComOverlapped& ov, bool write, std::uint8_t* buffer, std::uint32_t count, TLock& lock) {
  if (Fd < 0) return EBADF;
  ov.Write = write;
  ov.Buffer = buffer;
  ov.Requested = count;
  ov.Done = 0;
  ov.Completed = false;
  ov.Error = 0;
  ov.StartMs = NowMs();
  ov.LastByteMs = 0;
  ov.Generation = write ? WriteGeneration : ReadGeneration;
  if (write) {
    ProgressWrite(ov, false, lock);
  } else {
    // Behind the reads issued before it, which take the bytes first.
    Reads.push_back(&ov);
    ServeReads();
    ProgressRead(ov, false, lock);
  }
  return ov.Completed ? ov.Error : ERROR_IO_PENDING;
}

// When a read or write under way gives up (their Win32 meaning); 0: at
// once, -1: never.
std::int64_t TPosixComDevice::Deadline(const TComOverlapped& ov) const {
  const TCommTimeouts& t = Timeouts;
  if (ov.Write) {
    const std::uint64_t total = std::uint64_t(t.WriteTotalTimeoutMultiplier) * ov.Requested + t.WriteTotalTimeoutConstant;
    return total > 0 ? ov.StartMs + std::int64_t(total) : -1;
  }
  const bool interval = t.ReadIntervalTimeout == MAXDWORD;
  if (interval && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return 0;  // at once
  if (interval && t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != MAXDWORD)
    return ov.Done > 0 ? 0 : ov.StartMs + t.ReadTotalTimeoutConstant;  // the first bytes end the read
  const std::uint64_t total = std::uint64_t(t.ReadTotalTimeoutMultiplier) * ov.Requested + t.ReadTotalTimeoutConstant;
  std::int64_t deadline = total > 0 ? ov.StartMs + std::int64_t(total) : -1;
  if (!interval && t.ReadIntervalTimeout > 0 && ov.Done > 0) {
    const std::int64_t gap = ov.LastByteMs + t.ReadIntervalTimeout;
    deadline = deadline < 0 ? gap : std::min(deadline, gap);
  }
  return deadline;
}

void TPosixComDevice::ProgressRead(TComOverlapped& ov, bool wait, TLock& lock) {
  for (;;) {
    if (ov.Completed) return;
    if (Fd < 0) {
      Unqueue(ov);
      return Complete(ov, EBADF);
    }
    Raise(Fill());
    if (ov.Completed) return;
    if (Lost) {
      Unqueue(ov);
      return Complete(ov, ov.Done > 0 ? 0 : LostError);
    }
    const std::int64_t deadline = Deadline(ov), now = NowMs();
    if (deadline >= 0 && now >= deadline) {
      Unqueue(ov);
      return Complete(ov, 0);  // timed out: success with what came
    }
    if (!wait) return;
    if (BlockOn(Fd, POLLIN, LeftMs(deadline, now), lock) < 0) {
      Unqueue(ov);
      return Complete(ov, errno);
    }
  }
}

void TPosixComDevice::ProgressWrite(TComOverlapped& ov, bool wait, TLock& lock) {
  for (;;) {
    if (ov.Completed) return;
    if (ov.Generation != WriteGeneration) return Complete(ov, ERROR_OPERATION_ABORTED);
    if (Fd < 0) return Complete(ov, EBADF);
    const std::uint32_t before = ov.Done;
    int error = 0;
    while (ov.Done < ov.Requested) {
      const ssize_t n = ::write(Fd, ov.Buffer + ov.Done, ov.Requested - ov.Done);
      if (n > 0) {
        ov.Done += std::uint32_t(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      error = n == 0 ? EIO : errno;
      break;
    }
    if (ov.Done > before) NoteWritten();
    if (error != 0) return Complete(ov, error);
    if (ov.Done == ov.Requested) return Complete(ov, 0);
    const std::int64_t deadline = Deadline(ov), now = NowMs();
    if (deadline >= 0 && now >= deadline) return Complete(ov, 0);  // timed out: success with what went out
    if (!wait) return;
    const int revents = BlockOn(Fd, POLLOUT, LeftMs(deadline, now), lock);
    if (revents < 0) return Complete(ov, errno);
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLOUT) && ov.Generation == WriteGeneration &&
        Fd >= 0) {
      // One more attempt reports the device's own error (EIO for a
      // pseudo-terminal whose other side closed).
      const ssize_t n = ::write(Fd, ov.Buffer + ov.Done, ov.Requested - ov.Done);
      if (n > 0) {
        ov.Done += std::uint32_t(n);
        NoteWritten();
        continue;
      }
      return Complete(ov, n == 0 || errno == EAGAIN ? EIO : errno);
    }
  }
}

int TPosixComDevice::BlockOn(int fd, short events, int timeoutMs, TLock& lock) {
  ++Busy;
  ++Blocked;
  lock.unlock();
  pollfd fds[2] = {{fd, events, 0}, {WakeFd, POLLIN, 0}};
  const int n = ::poll(fds, 2, timeoutMs);
  const int error = errno;
  lock.lock();
  if (--Blocked == 0 && WakeSignalled) {
    DrainEventFd(WakeFd);
    WakeSignalled = false;
  }
  if (--Busy == 0) Idle.notify_all();
  if (n < 0 && error != EINTR) {
    errno = error;
    return -1;
  }
  return n > 0 ? fds[0].revents : 0;
}
