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

std::int64_t NowMs() { return ComNowMs(); }

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
  // Pending reads end with what they have, or with the error; writes fail.
  Reads.EndAll(LostError, true);
  for (TComOverlapped* ov : Writes) Complete(*ov, LostError);
  Writes.clear();
  Wake();
  Notify();
  UpdateInputWatch();
}

void TPosixComDevice::CheckTxEmpty() {
  // Transmit-empty means every byte written: none still queued here either.
  if (!TxPending || !Writes.empty()) return;
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
  if (Reads.Serve(Input, Timeouts, Lost ? LostError : 0)) UpdateInputWatch();  // a full queue has room again
}

void TPosixComDevice::Complete(TComOverlapped& ov, int error) {
  ov.Completed = true;
  ov.Error = error;
  Completed.notify_all();
}

void TPosixComDevice::Wake() {
  if (Blocked == 0 || WakeSignalled) return;
  SignalEventFd(WakeFd);
  WakeSignalled = true;
}

void TPosixComDevice::Unqueue(TComOverlapped& ov) {
  if (Reads.Remove(ov)) return;
  const auto it = std::find(Writes.begin(), Writes.end(), &ov);
  if (it == Writes.end()) return;
  const bool front = it == Writes.begin();
  Writes.erase(it);
  if (front && !Writes.empty()) Writes.front()->StartMs = NowMs();
}

void TPosixComDevice::AbortTransfers(bool reads, bool writes) {
  if (reads) Reads.EndAll(ERROR_OPERATION_ABORTED, false);
  if (writes) {
    for (TComOverlapped* ov : Writes) Complete(*ov, ERROR_OPERATION_ABORTED);
    Writes.clear();
    CheckTxEmpty();
  }
  Wake();
}

// ------------------------------------------------------ reads and writes

int TPosixComDevice::ReadFile(void* buffer, std::uint32_t count, TComOverlapped& ov) {
  TLock lock(Mutex);
  return Start(ov, false, static_cast<std::uint8_t*>(buffer), count);
}

int TPosixComDevice::WriteFile(const void* buffer, std::uint32_t count, TComOverlapped& ov) {
  TLock lock(Mutex);
  return Start(ov, true, static_cast<std::uint8_t*>(const_cast<void*>(buffer)), count);
}

int TPosixComDevice::GetOverlappedResult(TComOverlapped& ov, bool wait) {
  TLock lock(Mutex);
  if (!ov.Completed && !ov.Write) {
    // A look at the line and the clock, so that polling needs no thread.
    if (Fd >= 0 && !Lost && Input.Size() < ov.Requested - ov.Done) Raise(Fill());
    ServeReads();
    Reads.Expire(Timeouts);
  }
  if (wait) Completed.wait(lock, [&] { return ov.Completed; });
  if (!ov.Completed) return ERROR_IO_INCOMPLETE;
  return ov.Error;
}

int TPosixComDevice::CancelIo(TComOverlapped& ov) {
  std::lock_guard lock(Mutex);
  Unqueue(ov);
  if (!ov.Completed) Complete(ov, ERROR_OPERATION_ABORTED);
  CheckTxEmpty();
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

// The byte goes to the driver behind the writes queued before it; POSIX
// has no way to put it ahead of bytes the driver already holds.
int TPosixComDevice::TransmitCommChar(char c) {
  TLock lock(Mutex);
  TComOverlapped ov;
  int result = Start(ov, true, reinterpret_cast<std::uint8_t*>(&c), 1);
  if (result == ERROR_IO_PENDING) {
    Completed.wait(lock, [&] { return ov.Completed; });
    result = ov.Error;
  }
  if (result == 0 && ov.Done != 1) result = ETIMEDOUT;
  return result;
}

int TPosixComDevice::Start(TComOverlapped& ov, bool write, std::uint8_t* buffer, std::uint32_t count) {
  ov.Write = write;
  ov.Buffer = buffer;
  ov.Requested = count;
  ov.Done = 0;
  ov.Completed = false;
  ov.Error = 0;
  ov.StartMs = NowMs();
  ov.LastByteMs = 0;
  if (Fd < 0) {
    ov.Completed = true;
    return ov.Error = EBADF;
  }
  if (write) {
    if (Lost) {
      ov.Completed = true;
      return ov.Error = LostError;
    }
    Writes.push_back(&ov);
    PumpWrites();
  } else {
    // Behind the reads issued before it, which take the bytes first; what
    // the line already holds comes in before a read that returns at once.
    Reads.Add(ov);
    if (!Lost && Input.Size() < count) Raise(Fill());
    ServeReads();
  }
  if (ov.Completed) return ov.Error;
  StartTransfers();
  return ERROR_IO_PENDING;
}

void TPosixComDevice::PumpWrites() {
  while (!Writes.empty() && Fd >= 0) {
    TComOverlapped& ov = *Writes.front();
    int error = 0;
    const std::uint32_t before = ov.Done;
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
    if (ov.Done > before && (Mask & EV_TXEMPTY)) TxPending = true;
    if (error != 0) {
      // The line has gone (EIO on a pseudo-terminal whose other side closed).
      MarkLost(error);
      return;
    }
    const std::int64_t deadline = ComWriteDeadline(Timeouts, ov);
    if (ov.Done < ov.Requested && (deadline < 0 || NowMs() < deadline)) return;  // the line is full
    NextWrite();  // all went, or its time ran out: success with what went out
  }
}

void TPosixComDevice::NextWrite() {
  TComOverlapped& ov = *Writes.front();
  Writes.pop_front();
  Complete(ov, 0);
  if (!Writes.empty()) Writes.front()->StartMs = NowMs();  // its time runs from here
  CheckTxEmpty();
}

void TPosixComDevice::StartTransfers() {
  // The thread looks again: it may be blocked for another read or write.
  Work.notify_one();
  Wake();
  if (TransferThread.joinable()) return;
  TransferThread = std::thread([this] {
    ::pthread_setname_np(::pthread_self(), "ComTransfer");
    Transfers();
  });
}

void TPosixComDevice::Transfers() {
  TLock lock(Mutex);
  while (Fd >= 0) {
    PumpWrites();
    if (!Reads.Empty()) {
      if (!Lost && Input.Room() > 0) Raise(Fill());
      ServeReads();
      Reads.Expire(Timeouts);
    }
    if (Writes.empty() && Reads.Empty()) {
      Work.wait(lock);
      continue;
    }
    // Blocked until the line can take or give bytes, or the first of the
    // front read's and write's deadlines.
    std::int64_t deadline = -1;
    const auto sooner = [&deadline](std::int64_t d) {
      if (d >= 0 && (deadline < 0 || d < deadline)) deadline = d;
    };
    short events = 0;
    if (!Writes.empty()) {
      events |= POLLOUT;
      sooner(ComWriteDeadline(Timeouts, *Writes.front()));
    }
    if (!Reads.Empty()) {
      if (Input.Room() > 0) events |= POLLIN;
      sooner(ComReadDeadline(Timeouts, Reads.Front()));
    }
    const int revents = BlockOn(Fd, events, LeftMs(deadline, NowMs()), lock);
    if (Fd < 0) break;
    if (revents < 0) {
      MarkLost(errno);
    } else if ((revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & (POLLIN | POLLOUT))) {
      // A hang-up: whatever is left to read comes in first.
      Raise(Fill());
      if (!Lost) MarkLost(EIO);
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
