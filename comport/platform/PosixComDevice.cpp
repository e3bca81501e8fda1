// The device interface on POSIX terminals.
//
// Like a Win32 driver, the device has an input queue of its own: a driver
// thread drains the tty into it as bytes come, decodes the kernel's error
// marks, and records what arrived as line events. Reads and queue counts
// serve from the queue; the kernel's buffer stays behind it, so nothing is
// lost when the queue is full. termios sets the line, ioctl the modem lines
// and counters, eventfds wake the driver and whoever waits for events.
//
// Virtual ports (pseudo-terminals, socat links) have no modem lines, no line
// counters, no line errors and keep 8 data bits without parity: what they
// cannot do reads as lines off and is skipped. On a real line every failure
// is reported.
#include "ComDevice.h"
#include "ComInputQueue.h"
#include "PosixLine.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Sets a speed outside the termios table (PosixTermios2.cpp).
int SetCustomSpeed(int fd, unsigned speed);

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(Clock::now().time_since_epoch()).count();
}

// The device cannot do what was asked (as a pseudo-terminal answers).
bool Unsupported(int error) { return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP; }

// The queue holds at least this much, whatever Buffer.InputSize says, so a
// fast line is drained in large steps.
constexpr std::size_t MinQueueSize = 256 * 1024;

// An empty handler: the signal only interrupts a blocked TIOCMIWAIT.
void WakeSignalHandler(int) {}
const int WakeSignal = SIGRTMIN + 5;

void InstallWakeSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = WakeSignalHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the ioctl returns EINTR
    sigaction(WakeSignal, &sa, nullptr);
  });
}

void SignalEventFd(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
}

void DrainEventFd(int fd) {
  std::uint64_t value;
  [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
}

constexpr std::uint32_t ModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
constexpr std::uint32_t ReceiveEvents = EV_RXCHAR | EV_RXFLAG | EV_ERR | EV_BREAK | EV_RX80FULL;

class TPosixComDevice final : public TComDevice {
public:
  TPosixComDevice() : WakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), NotifyFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  ~TPosixComDevice() override {
    Close();
    ::close(WakeFd);
    ::close(NotifyFd);
  }

  int Open(const std::string& path) override {
    if (Fd >= 0) return EBUSY;
    if (WakeFd < 0 || NotifyFd < 0) return EMFILE;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    const auto fail = [fd](int error) {
      ::close(fd);
      return error;
    };
    if (!::isatty(fd)) return fail(ENOTTY);
    // Exclusive use: TIOCEXCL keeps out other users, flock keeps out other
    // programs of ours (root passes TIOCEXCL).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno);
    serial_struct serial{};
    Virtual = ::ioctl(fd, TIOCGSERIAL, &serial) != 0 && Unsupported(errno);
    Fd = fd;
    HasCounters = ::ioctl(Fd, TIOCGICOUNT, &Counters) == 0;
    ::ioctl(Fd, TIOCMGET, &ModemLines);
    Timeouts = {};
    Mask = Pending = PendingErrors = 0;
    Lost = Stopping = TxPending = false;
    Rs485 = false;
    ToggleNoted = false;
    Input.Clear();
    Input.Reserve(MinQueueSize);
    DrainEventFd(WakeFd);
    DrainEventFd(NotifyFd);
    Driver = std::thread([this] {
      ::pthread_setname_np(::pthread_self(), "ComDriver");
      DriverLoop();
    });
    return 0;
  }

  int Close() override {
    if (Fd < 0) return 0;
    {
      std::lock_guard lock(Mutex);
      Stopping = true;
    }
    SignalEventFd(WakeFd);
    Driver.join();
    StopModemWatch();
    ::ioctl(Fd, TIOCNXCL);
    ::flock(Fd, LOCK_UN);
    const int result = ::close(Fd) == 0 ? 0 : errno;
    {
      std::lock_guard lock(Mutex);
      Fd = -1;
      Input.Clear();
    }
    // Whoever still waits on this device hears that it is closed.
    Arrived.notify_all();
    SignalEventFd(NotifyFd);
    return result;
  }

  bool IsOpen() const override { return Fd >= 0; }

  int SetCommState(const TDCB& dcb) override {
    if (Fd < 0) return EBADF;
    const TPosixLine line = TranslateDCB(dcb, !Virtual);
    termios t{};
    if (::tcgetattr(Fd, &t) != 0) return errno;
    ::cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~LineCFlags) | line.CFlags;
    t.c_iflag = (t.c_iflag & ~LineIFlags) | line.IFlags;
    t.c_cc[VSTART] = line.XonChar;
    t.c_cc[VSTOP] = line.XoffChar;
    // With VMIN 1 a non-blocking read of an empty queue says EAGAIN, so that
    // a read of 0 bytes means only one thing: the other side has gone.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    const speed_t speed = line.Custom ? B38400 : StandardSpeed(line.Speed);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(Fd, TCSANOW, &t) != 0) {
      if (!(Virtual && errno == EINVAL)) return errno;
      // A virtual port keeps 8 data bits without parity.
      t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR)) | CS8;
      if (::tcsetattr(Fd, TCSANOW, &t) != 0) return errno;
    }
    if (line.Custom) {
      if (const int error = SetCustomSpeed(Fd, line.Speed); error != 0 && !(Virtual && Unsupported(error))) return error;
    }
    {
      std::lock_guard lock(Mutex);
      const std::uint32_t inputSize = Input.Rules.InputSize;
      if (Input.Rules.Marks != line.Rules.Marks) Input.Clear();
      Input.Rules = line.Rules;
      Input.Rules.InputSize = inputSize;
      DefaultErrorIsParity = line.Rules.ErrorIsParity;
      Baud = line.Speed;
    }
    if (const int error = SetModemLine(TIOCM_DTR, line.Dtr)) return error;
    if (const int error = SetRs485(line.RtsControl == 3)) return error;
    // RTS as the block asks; handshake leaves it to the driver, and toggle
    // without the driver's RS-485 mode holds it on.
    if (line.RtsControl != 2 && !Rs485) {
      if (const int error = SetModemLine(TIOCM_RTS, line.RtsControl != 0)) return error;
    }
    return 0;
  }

  int SetCommTimeouts(const TCommTimeouts& timeouts) override {
    if (Fd < 0) return EBADF;
    std::lock_guard lock(Mutex);
    Timeouts = timeouts;
    return 0;
  }

  int SetupComm(std::uint32_t inputSize, std::uint32_t) override {
    if (Fd < 0) return EBADF;
    {
      std::lock_guard lock(Mutex);
      Input.Reserve(std::max<std::size_t>(inputSize, MinQueueSize));
      Input.Rules.InputSize = inputSize;
    }
    SignalEventFd(WakeFd);
    return 0;
  }

  int SetCommMask(std::uint32_t mask) override {
    if (Fd < 0) return EBADF;
    {
      std::lock_guard lock(Mutex);
      Mask = mask;
      Pending &= mask;
    }
    if ((mask & ModemEvents) && !Virtual)
      StartModemWatch();
    else
      StopModemWatch();
    SignalEventFd(NotifyFd);
    return 0;
  }

  // The waiter watches the line itself as well as the driver's word, so an
  // arrival wakes it directly: whichever of the two drains the line first,
  // the events are there when the waiter looks.
  int WaitCommEvent(std::uint32_t& events, const TComStopEvent* stop, int timeoutMs) override {
    events = 0;
    const std::int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    for (;;) {
      bool watchInput = false;
      {
        std::lock_guard lock(Mutex);
        if (Fd < 0) return EBADF;
        // What arrived before the line went is reported first.
        if (Pending != 0) {
          events = std::exchange(Pending, 0);
          return 0;
        }
        if (Lost) return LostError;
        watchInput = (Mask & ReceiveEvents) && Input.Room() > 0;
      }
      int wait = -1;
      if (deadline >= 0) wait = int(std::max<std::int64_t>(0, deadline - NowMs()));
      pollfd fds[3] = {{NotifyFd, POLLIN, 0}, {stop ? stop->Fd() : -1, POLLIN, 0}, {watchInput ? Fd : -1, POLLIN, 0}};
      const int n = ::poll(fds, 3, wait);
      if (n < 0 && errno != EINTR) return errno;
      if (fds[1].revents & POLLIN) return ERROR_WAIT_STOPPED;
      if (fds[0].revents & POLLIN) DrainEventFd(NotifyFd);
      if (fds[2].revents) {
        std::lock_guard lock(Mutex);
        Pending |= Fill() & Mask;
      }
      if (deadline >= 0 && NowMs() >= deadline) {
        std::lock_guard lock(Mutex);
        events = std::exchange(Pending, 0);
        return 0;
      }
    }
  }

  int ReadFile(void* buffer, std::uint32_t count, TComOverlapped& ov) override {
    return Start(ov, false, static_cast<std::uint8_t*>(buffer), count);
  }

  int WriteFile(const void* buffer, std::uint32_t count, TComOverlapped& ov) override {
    return Start(ov, true, static_cast<std::uint8_t*>(const_cast<void*>(buffer)), count);
  }

  int GetOverlappedResult(TComOverlapped& ov, bool wait) override {
    if (!ov.Completed) Progress(ov, wait);
    if (!ov.Completed) return ERROR_IO_INCOMPLETE;
    return ov.Error;
  }

  int PurgeComm(std::uint32_t flags) override {
    if (Fd < 0) return EBADF;
    const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
    {
      std::lock_guard lock(Mutex);
      if (flags & PURGE_RXABORT) ++ReadGeneration;
      if (flags & PURGE_TXABORT) ++WriteGeneration;
      if (rx) Input.Clear();
      if ((rx || tx) && ::tcflush(Fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0 && !Lost) return errno;
    }
    Arrived.notify_all();
    if (rx) SignalEventFd(WakeFd);  // there is room again
    return 0;
  }

  int ClearCommError(std::uint32_t& errors, TComStat& stat) override {
    if (Fd < 0) return EBADF;
    stat = {};
    std::lock_guard lock(Mutex);
    Raise(Fill() | CounterEvents());
    stat.InQue = std::uint32_t(Input.Size());
    stat.OutQue = Lost ? 0 : OutQueue();
    errors = std::exchange(PendingErrors, 0);
    return 0;
  }

  int GetCommModemStatus(std::uint32_t& status) override {
    status = 0;
    if (Fd < 0) return EBADF;
    int lines = 0;
    if (::ioctl(Fd, TIOCMGET, &lines) != 0) return Virtual && Unsupported(errno) ? 0 : errno;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RNG) status |= MS_RING_ON;
    if (lines & TIOCM_CD) status |= MS_RLSD_ON;
    return 0;
  }

  int EscapeCommFunction(std::uint32_t function) override {
    if (Fd < 0) return EBADF;
    switch (function) {
      case SETDTR: return SetModemLine(TIOCM_DTR, true);
      case CLRDTR: return SetModemLine(TIOCM_DTR, false);
      case SETRTS: return SetModemLine(TIOCM_RTS, true);
      case CLRRTS: return SetModemLine(TIOCM_RTS, false);
      case SETBREAK: return Ioctl(TIOCSBRK);
      case CLRBREAK: return Ioctl(TIOCCBRK);
      case SETXON: return ::tcflow(Fd, TCOON) == 0 ? 0 : errno;
      case SETXOFF: return ::tcflow(Fd, TCOOFF) == 0 ? 0 : errno;
      default: return EINVAL;
    }
  }

  // The byte goes straight to the driver; POSIX has no way to put it ahead of
  // bytes the driver already holds.
  int TransmitCommChar(char c) override {
    if (Fd < 0) return EBADF;
    TComOverlapped ov;
    int result = Start(ov, true, reinterpret_cast<std::uint8_t*>(&c), 1);
    if (result == ERROR_IO_PENDING) result = GetOverlappedResult(ov, true);
    if (result == 0 && ov.Done != 1) result = ETIMEDOUT;
    return result;
  }

  int SetLowLatency(bool on) override {
    if (Fd < 0) return EBADF;
    serial_struct serial{};
    if (::ioctl(Fd, TIOCGSERIAL, &serial) != 0) return Unsupported(errno) ? 0 : errno;
    const int flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
    if (flags == serial.flags) return 0;
    serial.flags = flags;
    if (::ioctl(Fd, TIOCSSERIAL, &serial) != 0) return Unsupported(errno) ? 0 : errno;
    return 0;
  }

private:
  // ------------------------------------------------------- the driver thread

  void DriverLoop() {
    std::unique_lock lock(Mutex);
    for (;;) {
      if (Stopping) return;
      const bool watchInput = !Lost && Input.Room() > 0;
      const int wait = TxPending && !Lost ? DrainWaitMs(OutQueue()) : -1;
      lock.unlock();
      pollfd fds[2] = {{watchInput ? Fd : -1, POLLIN, 0}, {WakeFd, POLLIN, 0}};
      if (::poll(fds, 2, wait) < 0 && errno != EINTR) {
        lock.lock();
        MarkLost(errno);
        continue;
      }
      if (fds[1].revents & POLLIN) DrainEventFd(WakeFd);
      lock.lock();
      if (Stopping) return;
      std::uint32_t events = CounterEvents();
      if (fds[0].revents) events |= Fill();
      if (fds[0].revents & POLLNVAL) MarkLost(EBADF);
      if (TxPending && !Lost && OutQueue() == 0) {
        TxPending = false;
        events |= EV_TXEMPTY;
      }
      Raise(events);
    }
  }

  // Drains the tty into the queue as far as there is room; the events of
  // what came. Lock held.
  std::uint32_t Fill() {
    std::uint32_t events = 0, errors = 0;
    std::uint8_t chunk[16384];
    while (Fd >= 0 && !Lost && Input.Room() > 0) {
      const ssize_t n = ::read(Fd, chunk, std::min(sizeof chunk, Input.Room()));
      if (n > 0) {
        if (Input.Rules.Marks) Input.Rules.ErrorIsParity = MarkedErrorIsParity();
        Input.Put(chunk, std::size_t(n), events, errors);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      MarkLost(n == 0 ? EIO : errno);  // a read of 0 bytes: the other side is gone
    }
    PendingErrors |= errors;
    if (events & EV_RXCHAR) Arrived.notify_all();
    return events;
  }

  // Whether the error marks just read are parity errors: the line's counters
  // say which kind grew; without them, the line's parity check decides.
  bool MarkedErrorIsParity() {
    serial_icounter_struct now{};
    if (!HasCounters || ::ioctl(Fd, TIOCGICOUNT, &now) != 0) return DefaultErrorIsParity;
    if (now.parity != Counters.parity) return true;
    if (now.frame != Counters.frame) return false;
    return DefaultErrorIsParity;
  }

  // Modem line changes and overruns since the last look. Errors and breaks
  // of a real line come in-band with the data. Lock held.
  std::uint32_t CounterEvents() {
    if (Virtual || Fd < 0 || Lost) return 0;
    std::uint32_t events = 0;
    serial_icounter_struct now{};
    if (HasCounters && ::ioctl(Fd, TIOCGICOUNT, &now) == 0) {
      if (now.cts != Counters.cts) events |= EV_CTS;
      if (now.dsr != Counters.dsr) events |= EV_DSR;
      if (now.rng != Counters.rng) events |= EV_RING;
      if (now.dcd != Counters.dcd) events |= EV_RLSD;
      std::uint32_t errors = 0;
      if (now.overrun != Counters.overrun) errors |= CE_OVERRUN;
      if (now.buf_overrun != Counters.buf_overrun) errors |= CE_RXOVER;
      if (errors) events |= EV_ERR;
      PendingErrors |= errors;
      Counters = now;
    } else if (ModemWatched) {
      // No counters: compare the lines with the last look.
      int lines = 0;
      if (::ioctl(Fd, TIOCMGET, &lines) == 0) {
        const int changed = lines ^ ModemLines;
        if (changed & TIOCM_CTS) events |= EV_CTS;
        if (changed & TIOCM_DSR) events |= EV_DSR;
        if (changed & TIOCM_CD) events |= EV_RLSD;
        if ((changed & TIOCM_RNG) && (lines & TIOCM_RNG)) events |= EV_RING;
        ModemLines = lines;
      }
    }
    return events;
  }

  // Records events for whoever waits for them. Lock held.
  void Raise(std::uint32_t events) {
    if ((events & Mask) == 0) return;
    Pending |= events & Mask;
    SignalEventFd(NotifyFd);
  }

  // The device has gone (a pulled adapter, a closed pseudo-terminal): the
  // driver stops watching it, and waits and reads hear of it. Lock held.
  void MarkLost(int error) {
    if (Lost) return;
    Lost = true;
    LostError = error ? error : EIO;
    PendingErrors |= CE_IOE;
    Arrived.notify_all();
    SignalEventFd(NotifyFd);
  }

  // ------------------------------------------------------ reads and writes

  int Start(TComOverlapped& ov, bool write, std::uint8_t* buffer, std::uint32_t count) {
    if (Fd < 0) return EBADF;
    ov.Write = write;
    ov.Buffer = buffer;
    ov.Requested = count;
    ov.Done = 0;
    ov.Completed = false;
    ov.Error = 0;
    ov.StartMs = NowMs();
    ov.LastByteMs = 0;
    {
      std::lock_guard lock(Mutex);
      ov.Generation = write ? WriteGeneration : ReadGeneration;
    }
    Progress(ov, false);
    if (!ov.Completed) return ERROR_IO_PENDING;
    return ov.Error;
  }

  void Complete(TComOverlapped& ov, int error) {
    ov.Completed = true;
    ov.Error = error;
  }

  // When a read or write under way gives up (their Win32 meaning); -1: never.
  std::int64_t Deadline(const TComOverlapped& ov, const TCommTimeouts& t) const {
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

  // Moves a read or write on as far as it goes now, or, with wait, until it
  // completes under the time-outs.
  void Progress(TComOverlapped& ov, bool wait) {
    if (ov.Write)
      ProgressWrite(ov, wait);
    else
      ProgressRead(ov, wait);
  }

  void ProgressRead(TComOverlapped& ov, bool wait) {
    std::unique_lock lock(Mutex);
    for (;;) {
      if (ov.Generation != ReadGeneration) return Complete(ov, ERROR_OPERATION_ABORTED);
      if (Fd < 0) return Complete(ov, EBADF);
      if (Input.Size() < ov.Requested - ov.Done) Raise(Fill());
      const bool wasFull = Input.Room() == 0;
      const std::size_t n = Input.Take(ov.Buffer + ov.Done, ov.Requested - ov.Done);
      if (n > 0) {
        ov.Done += std::uint32_t(n);
        ov.LastByteMs = NowMs();
        if (wasFull) SignalEventFd(WakeFd);  // the driver may read again
      }
      if (ov.Done == ov.Requested) return Complete(ov, 0);
      if (Lost) return Complete(ov, ov.Done > 0 ? 0 : LostError);
      const std::int64_t deadline = Deadline(ov, Timeouts);
      const std::int64_t now = NowMs();
      if (deadline >= 0 && now >= deadline) return Complete(ov, 0);  // timed out: success with what came
      if (!wait) return;
      const std::int64_t left = deadline < 0 ? 1000 : std::min<std::int64_t>(1000, deadline - now);
      Arrived.wait_for(lock, std::chrono::milliseconds(left));
    }
  }

  void ProgressWrite(TComOverlapped& ov, bool wait) {
    for (;;) {
      {
        std::lock_guard lock(Mutex);
        if (ov.Generation != WriteGeneration) return Complete(ov, ERROR_OPERATION_ABORTED);
        if (Fd < 0) return Complete(ov, EBADF);
        while (ov.Done < ov.Requested) {
          const ssize_t n = ::write(Fd, ov.Buffer + ov.Done, ov.Requested - ov.Done);
          if (n > 0) {
            ov.Done += std::uint32_t(n);
            // Under the lock, so the driver never sees the queue empty
            // between this write and the mark that it waits to drain.
            if (!TxPending) {
              TxPending = true;
              SignalEventFd(WakeFd);
            }
            continue;
          }
          if (n < 0 && errno == EINTR) continue;
          if (n < 0 && errno == EAGAIN) break;
          return Complete(ov, n == 0 ? EIO : errno);
        }
        if (ov.Done == ov.Requested) return Complete(ov, 0);
      }
      const std::int64_t deadline = Deadline(ov, Timeouts);
      const std::int64_t now = NowMs();
      if (deadline >= 0 && now >= deadline) return Complete(ov, 0);  // timed out: success with what went out
      if (!wait) return;
      // Look again at least once a second, so that a purge ends the wait.
      pollfd fd{Fd, POLLOUT, 0};
      const int left = deadline < 0 ? 1000 : int(std::min<std::int64_t>(1000, deadline - now));
      if (::poll(&fd, 1, left) < 0 && errno != EINTR) return Complete(ov, errno);
      if ((fd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fd.revents & POLLOUT)) {
        // One more attempt reports the device's own error (EIO for a
        // pseudo-terminal whose other side closed).
        const ssize_t n = ::write(Fd, ov.Buffer + ov.Done, ov.Requested - ov.Done);
        if (n > 0) {
          ov.Done += std::uint32_t(n);
          continue;
        }
        return Complete(ov, n == 0 || errno == EAGAIN ? EIO : errno);
      }
    }
  }

  // ----------------------------------------------------------- line helpers

  int Ioctl(unsigned long request) {
    if (::ioctl(Fd, request) == 0) return 0;
    return Virtual && Unsupported(errno) ? 0 : errno;
  }

  int SetModemLine(int line, bool on) {
    if (::ioctl(Fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
    return Virtual && Unsupported(errno) ? 0 : errno;
  }

  // RTS raised only while sending, by the driver's RS-485 mode. Where the
  // driver has none, RTS is held on and the user is told once.
  int SetRs485(bool on) {
    if (!on && !Rs485) return 0;
    serial_rs485 rs485{};
    if (on) rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (::ioctl(Fd, TIOCSRS485, &rs485) == 0) {
      Rs485 = on;
      return 0;
    }
    if (!Unsupported(errno)) return errno;
    Rs485 = false;
    if (on && !ToggleNoted) {
      ToggleNoted = true;
      OutputDebugString("RTS toggle: the driver has no RS-485 mode, RTS is held on");
    }
    return 0;
  }

  std::uint32_t OutQueue() const {
    int out = 0;
    return ::ioctl(Fd, TIOCOUTQ, &out) == 0 ? std::uint32_t(std::max(out, 0)) : 0;
  }

  // How long the bytes still queued take to leave at the line's speed.
  int DrainWaitMs(std::uint32_t outQue) const {
    const std::uint64_t baud = std::max<std::uint32_t>(Baud, 50);
    return int(std::min<std::uint64_t>(1000, outQue * 10ull * 1000 / baud + 1));
  }

  void StartModemWatch() {
    if (ModemThread.joinable()) return;
    InstallWakeSignal();
    StopModem = false;
    {
      std::lock_guard lock(Mutex);
      ::ioctl(Fd, TIOCMGET, &ModemLines);
      ModemWatched = true;
    }
    ModemThread = std::thread([this] {
      while (!StopModem) {
        if (::ioctl(Fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD) == 0)
          SignalEventFd(WakeFd);  // the driver looks at the lines
        else if (errno != EINTR)
          break;  // the device has no line waits
      }
      ModemDone = true;
    });
  }

  void StopModemWatch() {
    if (!ModemThread.joinable()) return;
    StopModem = true;
    // The watcher sits in TIOCMIWAIT until a line changes or a signal comes.
    while (!ModemDone) {
      ::pthread_kill(ModemThread.native_handle(), WakeSignal);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ModemThread.join();
    ModemDone = false;
    std::lock_guard lock(Mutex);
    ModemWatched = false;
  }

  int Fd = -1;
  const int WakeFd;    // wakes the driver thread
  const int NotifyFd;  // wakes whoever waits for events
  bool Virtual = false;
  std::thread Driver;

  std::mutex Mutex;  // everything below; the driver and the callers share it
  std::condition_variable Arrived;  // bytes came, or the queue was purged, aborted, lost or closed
  TComInputQueue Input;
  TCommTimeouts Timeouts{};
  std::uint32_t Mask = 0;
  std::uint32_t Pending = 0;        // events found, not yet taken by a wait
  std::uint32_t PendingErrors = 0;  // CE_ bits for the next ClearCommError
  bool Stopping = false;
  bool Lost = false;
  int LostError = EIO;
  bool TxPending = false;  // bytes written that the driver waits to see leave
  bool DefaultErrorIsParity = false;
  std::uint32_t Baud = 9600;
  std::uint64_t ReadGeneration = 0;
  std::uint64_t WriteGeneration = 0;
  bool HasCounters = false;
  serial_icounter_struct Counters{};
  int ModemLines = 0;
  bool ModemWatched = false;
  bool Rs485 = false;
  bool ToggleNoted = false;

  std::thread ModemThread;
  std::atomic<bool> StopModem{false};
  std::atomic<bool> ModemDone{false};
};

std::mutex DebugMutex;
std::function<void(const std::string&)> DebugSink;

}  // namespace

TComStopEvent::TComStopEvent() : FFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TComStopEvent::~TComStopEvent() {
  if (FFd >= 0) ::close(FFd);
}

void TComStopEvent::Set() { SignalEventFd(FFd); }

void TComStopEvent::Reset() { DrainEventFd(FFd); }

bool TComStopEvent::IsSet() const {
  pollfd fd{FFd, POLLIN, 0};
  return ::poll(&fd, 1, 0) == 1;
}

std::string ComDevicePath(const std::string& port) {
  if (!port.empty() && port[0] == '/') return port;
  if (port.size() > 3 && (port.compare(0, 3, "COM") == 0 || port.compare(0, 3, "com") == 0) &&
      port.find_first_not_of("0123456789", 3) == std::string::npos) {
    const int n = std::atoi(port.c_str() + 3);
    if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return "/dev/" + port;
}

std::unique_ptr<TComDevice> CreatePlatformComDevice() { return std::make_unique<TPosixComDevice>(); }

void OutputDebugString(const std::string& text) {
  std::lock_guard lock(DebugMutex);
  if (DebugSink) {
    DebugSink(text);
    return;
  }
  static const bool enabled = std::getenv("HRVX3300_DEBUG") != nullptr;
  if (enabled) std::fprintf(stderr, "%s\n", text.c_str());
}

void SetDebugOutput(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(DebugMutex);
  DebugSink = std::move(sink);
}
