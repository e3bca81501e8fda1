// The device interface on POSIX terminals: termios for the line, poll for
// events and time-outs, ioctl for queues, modem lines and counters, eventfd
// for stop and wake-up requests.
//
// Virtual ports (pseudo-terminals, socat links) have no modem lines, no line
// counters and keep 8 data bits without parity: what they cannot do reads as
// lines off and is skipped. On a real UART every failure is reported.
#include "ComDevice.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// Sets a speed outside the termios table (PosixTermios2.cpp).
int SetCustomSpeed(int fd, unsigned speed);

namespace {

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The device cannot do what was asked (as a pseudo-terminal answers).
bool Unsupported(int error) { return error == ENOTTY || error == EINVAL; }

speed_t StandardSpeed(std::uint32_t rate) {
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    default: return B0;
  }
}

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
  ~TPosixComDevice() override { Close(); }

  int Open(const std::string& path) override {
    if (Fd >= 0) return EBUSY;
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
    WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (WakeFd < 0) {
      const int error = errno;
      ::ioctl(fd, TIOCNXCL);
      return fail(error);
    }
    Fd = fd;
    HasCounters = ::ioctl(Fd, TIOCGICOUNT, &Counters) == 0;
    Timeouts = {};
    Mask = 0;
    ReadTotal = 0;
    ArrivedSeen = 0;
    TxPending = false;
    PendingErrors = 0;
    return 0;
  }

  int Close() override {
    if (Fd < 0) return 0;
    StopModemWatch();
    ::ioctl(Fd, TIOCNXCL);
    ::flock(Fd, LOCK_UN);
    const int result = ::close(Fd) == 0 ? 0 : errno;
    Fd = -1;
    ::close(WakeFd);
    WakeFd = -1;
    return result;
  }

  bool IsOpen() const override { return Fd >= 0; }

  int SetCommState(const TDCB& dcb) override {
    if (Fd < 0) return EBADF;
    termios t{};
    if (::tcgetattr(Fd, &t) != 0) return errno;
    ::cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? Sizes[dcb.ByteSize - 5] : CS8;
    switch (dcb.Parity) {
      case 1: t.c_cflag |= PARENB | PARODD; break;           // odd
      case 2: t.c_cflag |= PARENB; break;                    // even
      case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; break;  // mark
      case 4: t.c_cflag |= PARENB | CMSPAR; break;           // space
      default: break;
    }
    if (dcb.StopBits != 0) t.c_cflag |= CSTOPB;  // 1.5 stop bits go out as 2
    const std::uint32_t rts = (dcb.Flags & dcb_RTSControlMask) >> dcb_RTSControlShift;
    if ((dcb.Flags & dcb_OutxCTSFlow) || rts == 2) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    if (dcb.Flags & dcb_OutX) t.c_iflag |= IXON;
    if (dcb.Flags & dcb_InX) t.c_iflag |= IXOFF;
    if (dcb.Flags & dcb_ParityCheck) t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    // With VMIN 1 a non-blocking read of an empty queue says EAGAIN, so that
    // a read of 0 bytes means only one thing: the other side has gone.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    Baud = dcb.BaudRate;
    const speed_t speed = StandardSpeed(dcb.BaudRate);
    const bool custom = speed == B0;
    ::cfsetispeed(&t, custom ? B38400 : speed);
    ::cfsetospeed(&t, custom ? B38400 : speed);
    if (::tcsetattr(Fd, TCSANOW, &t) != 0) {
      if (!(Virtual && errno == EINVAL)) return errno;
      // A virtual port keeps 8 data bits without parity.
      t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR);
      t.c_cflag |= CS8;
      t.c_iflag &= ~INPCK;
      if (::tcsetattr(Fd, TCSANOW, &t) != 0) return errno;
    }
    if (custom) {
      if (const int error = SetCustomSpeed(Fd, dcb.BaudRate); error != 0 && !(Virtual && Unsupported(error))) return error;
    }
    // DTR and RTS as the block asks; handshake and toggle hold them on.
    const std::uint32_t dtr = (dcb.Flags & dcb_DTRControlMask) >> dcb_DTRControlShift;
    if (const int error = SetModemLine(TIOCM_DTR, dtr != 0)) return error;
    if (rts != 2) {
      if (const int error = SetModemLine(TIOCM_RTS, rts == 1)) return error;
    }
    return 0;
  }

  int SetCommTimeouts(const TCommTimeouts& timeouts) override {
    if (Fd < 0) return EBADF;
    std::lock_guard lock(Mutex);
    Timeouts = timeouts;
    return 0;
  }

  // The kernel sizes its own queues; the input size is kept for the 80 % mark.
  int SetupComm(std::uint32_t inputSize, std::uint32_t) override {
    if (Fd < 0) return EBADF;
    InputSize = inputSize;
    return 0;
  }

  int SetCommMask(std::uint32_t mask) override {
    if (Fd < 0) return EBADF;
    Mask = mask;
    if ((mask & ModemEvents) && !Virtual)
      StartModemWatch();
    else
      StopModemWatch();
    SignalEventFd(WakeFd);
    return 0;
  }

  int WaitCommEvent(std::uint32_t& events, const TComStopEvent* stop, int timeoutMs) override {
    events = 0;
    if (Fd < 0) return EBADF;
    const std::int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    for (;;) {
      const std::uint32_t mask = Mask;
      std::uint32_t inQue = 0, outQue = 0;
      if (const int error = Queues(inQue, outQue, TxPending)) return error;

      // Watch for new bytes with poll while none of those reported are left
      // unread; while some are, poll would answer at once, so a new arrival
      // shows only as a growing count of bytes received: look again shortly.
      const bool unseen = ReadTotal + inQue > ArrivedSeen;
      pollfd fds[3] = {{Fd, 0, 0}, {WakeFd, POLLIN, 0}, {stop ? stop->Fd() : -1, POLLIN, 0}};
      int wait = -1;
      if (mask & ReceiveEvents) {
        if (inQue == 0 || unseen)
          fds[0].events = POLLIN;
        else
          wait = 10;
      }
      if ((mask & EV_TXEMPTY) && TxPending) wait = std::min(wait < 0 ? 1000 : wait, DrainWaitMs(outQue));
      if (deadline >= 0) {
        const int left = int(std::max<std::int64_t>(0, deadline - NowMs()));
        wait = wait < 0 ? left : std::min(wait, left);
      }
      const int n = ::poll(fds, stop ? 3 : 2, wait);
      if (n < 0 && errno != EINTR) return errno;
      if (stop && (fds[2].revents & POLLIN)) return ERROR_WAIT_STOPPED;
      if (fds[1].revents & POLLIN) DrainEventFd(WakeFd);

      if (const int error = Queues(inQue, outQue, TxPending)) return error;
      std::uint32_t found = CounterEvents();
      const bool hangUp = fds[0].revents & (POLLHUP | POLLERR | POLLNVAL);
      const std::uint64_t arrived = ReadTotal + inQue;
      if (arrived > ArrivedSeen && inQue > 0) {
        found |= EV_RXCHAR;
        if (InputSize > 0 && std::uint64_t(inQue) * 100 >= std::uint64_t(InputSize) * 80) found |= EV_RX80FULL;
      } else if (hangUp) {
        return EIO;  // the other side is gone and nothing new is left to read
      }
      ArrivedSeen = std::max(ArrivedSeen, arrived);
      if (TxPending && outQue == 0) {
        TxPending = false;
        found |= EV_TXEMPTY;
      }
      events = found & mask;
      if (events != 0) return 0;
      if (deadline >= 0 && NowMs() >= deadline) return 0;
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
    if (flags & PURGE_RXABORT) ++ReadGeneration;
    if (flags & PURGE_TXABORT) ++WriteGeneration;
    const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
    int queued = 0;
    if (rx) ::ioctl(Fd, FIONREAD, &queued);
    if ((rx || tx) && ::tcflush(Fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) return errno;
    if (queued > 0) ReadTotal += std::uint64_t(queued);  // discarded bytes count as read
    return 0;
  }

  int ClearCommError(std::uint32_t& errors, TComStat& stat) override {
    if (Fd < 0) return EBADF;
    stat = {};
    if (const int error = Queues(stat.InQue, stat.OutQue)) return error;
    CounterEvents();
    std::lock_guard lock(Mutex);
    errors = PendingErrors;
    PendingErrors = 0;
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

private:
  int Ioctl(unsigned long request) {
    if (::ioctl(Fd, request) == 0) return 0;
    return Virtual && Unsupported(errno) ? 0 : errno;
  }

  int SetModemLine(int line, bool on) {
    if (::ioctl(Fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
    return Virtual && Unsupported(errno) ? 0 : errno;
  }

  int Queues(std::uint32_t& inQue, std::uint32_t& outQue, bool withOutput = true) {
    int in = 0, out = 0;
    if (::ioctl(Fd, FIONREAD, &in) != 0) return errno;
    if (withOutput && ::ioctl(Fd, TIOCOUTQ, &out) != 0) out = 0;
    inQue = std::uint32_t(std::max(in, 0));
    outQue = std::uint32_t(std::max(out, 0));
    return 0;
  }

  // How long the bytes still queued take to leave at the line's speed.
  int DrainWaitMs(std::uint32_t outQue) const {
    const std::uint64_t baud = std::max<std::uint32_t>(Baud, 50);
    return outQue == 0 ? 0 : int(std::min<std::uint64_t>(1000, outQue * 10ull * 1000 / baud + 1));
  }

  // Line counters since the last look: modem line changes and breaks as
  // events, line errors kept for the next ClearCommError.
  std::uint32_t CounterEvents() {
    if (!HasCounters) return 0;
    serial_icounter_struct now{};
    if (::ioctl(Fd, TIOCGICOUNT, &now) != 0) return 0;
    std::lock_guard lock(Mutex);
    std::uint32_t events = 0;
    if (now.cts != Counters.cts) events |= EV_CTS;
    if (now.dsr != Counters.dsr) events |= EV_DSR;
    if (now.rng != Counters.rng) events |= EV_RING;
    if (now.dcd != Counters.dcd) events |= EV_RLSD;
    if (now.brk != Counters.brk) {
      events |= EV_BREAK;
      PendingErrors |= CE_BREAK;
    }
    std::uint32_t errors = 0;
    if (now.frame != Counters.frame) errors |= CE_FRAME;
    if (now.parity != Counters.parity) errors |= CE_RXPARITY;
    if (now.overrun != Counters.overrun) errors |= CE_OVERRUN;
    if (now.buf_overrun != Counters.buf_overrun) errors |= CE_RXOVER;
    if (errors) events |= EV_ERR;
    PendingErrors |= errors;
    Counters = now;
    return events;
  }

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
    ov.Generation = write ? WriteGeneration.load() : ReadGeneration.load();
    Progress(ov, false);
    if (!ov.Completed) return ERROR_IO_PENDING;
    return ov.Error;
  }

  void Complete(TComOverlapped& ov, int error) {
    ov.Completed = true;
    ov.Error = error;
  }

  // Moves a read or write on as far as it goes now, or, with wait, until it
  // completes under the time-outs (their Win32 meaning).
  void Progress(TComOverlapped& ov, bool wait) {
    TCommTimeouts t;
    {
      std::lock_guard lock(Mutex);
      t = Timeouts;
    }
    for (;;) {
      if (ov.Generation != (ov.Write ? WriteGeneration.load() : ReadGeneration.load()))
        return Complete(ov, ERROR_OPERATION_ABORTED);
      if (Fd < 0) return Complete(ov, EBADF);
      while (ov.Done < ov.Requested) {
        const ssize_t n = ov.Write ? ::write(Fd, ov.Buffer + ov.Done, ov.Requested - ov.Done)
                                   : ::read(Fd, ov.Buffer + ov.Done, ov.Requested - ov.Done);
        if (n > 0) {
          ov.Done += std::uint32_t(n);
          ov.LastByteMs = NowMs();
          if (!ov.Write) ReadTotal += std::uint64_t(n);
          continue;
        }
        if (n == 0) return Complete(ov, 0);  // the other side has gone: what was read is all
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        return Complete(ov, errno);
      }
      if (ov.Write && ov.Done > 0 && !TxPending.exchange(true)) SignalEventFd(WakeFd);
      if (ov.Done == ov.Requested) return Complete(ov, 0);

      std::int64_t deadline = -1;
      if (ov.Write) {
        const std::uint64_t total = std::uint64_t(t.WriteTotalTimeoutMultiplier) * ov.Requested + t.WriteTotalTimeoutConstant;
        if (total > 0) deadline = ov.StartMs + std::int64_t(total);
      } else {
        const bool interval = t.ReadIntervalTimeout == MAXDWORD;
        if (interval && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0)
          return Complete(ov, 0);  // return at once with what is queued
        if (interval && t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != MAXDWORD) {
          if (ov.Done > 0) return Complete(ov, 0);  // the first bytes end the read
          deadline = ov.StartMs + t.ReadTotalTimeoutConstant;
        } else {
          const std::uint64_t total = std::uint64_t(t.ReadTotalTimeoutMultiplier) * ov.Requested + t.ReadTotalTimeoutConstant;
          if (total > 0) deadline = ov.StartMs + std::int64_t(total);
          if (!interval && t.ReadIntervalTimeout > 0 && ov.Done > 0) {
            const std::int64_t gap = ov.LastByteMs + t.ReadIntervalTimeout;
            deadline = deadline < 0 ? gap : std::min(deadline, gap);
          }
        }
      }
      const std::int64_t now = NowMs();
      if (deadline >= 0 && now >= deadline) return Complete(ov, 0);  // timed out: success with what moved
      if (!wait) return;
      pollfd fd{Fd, short(ov.Write ? POLLOUT : POLLIN), 0};
      // Look again at least once a second, so that a purge from another
      // thread ends the wait.
      const int left = deadline < 0 ? 1000 : int(std::min<std::int64_t>(1000, deadline - now));
      if (::poll(&fd, 1, left) < 0 && errno != EINTR) return Complete(ov, errno);
      if ((fd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fd.revents & (POLLIN | POLLOUT))) {
        // One more attempt reports the device's own error (EIO for a pty
        // whose other side closed).
        const ssize_t n = ov.Write ? ::write(Fd, ov.Buffer + ov.Done, ov.Requested - ov.Done)
                                   : ::read(Fd, ov.Buffer + ov.Done, ov.Requested - ov.Done);
        if (n > 0) {
          ov.Done += std::uint32_t(n);
          if (!ov.Write) ReadTotal += std::uint64_t(n);
          continue;
        }
        return Complete(ov, n == 0 ? 0 : errno == EAGAIN ? EIO : errno);
      }
    }
  }

  void StartModemWatch() {
    if (ModemThread.joinable()) return;
    InstallWakeSignal();
    StopModem = false;
    ModemThread = std::thread([this] {
      while (!StopModem) {
        if (::ioctl(Fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD) == 0)
          SignalEventFd(WakeFd);
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
  }

  int Fd = -1;
  int WakeFd = -1;
  bool Virtual = false;
  std::mutex Mutex;  // timeouts, counters and pending errors: both threads use them
  TCommTimeouts Timeouts{};
  std::atomic<std::uint32_t> Mask{0};
  std::atomic<std::uint32_t> InputSize{0};
  std::atomic<std::uint32_t> Baud{9600};
  // Bytes received so far are those read plus those queued; the event
  // thread reports an arrival when that sum grows past what it reported.
  std::atomic<std::uint64_t> ReadTotal{0};
  std::uint64_t ArrivedSeen = 0;  // event thread only
  std::atomic<bool> TxPending{false};
  std::atomic<std::uint64_t> ReadGeneration{0};
  std::atomic<std::uint64_t> WriteGeneration{0};
  bool HasCounters = false;
  serial_icounter_struct Counters{};
  std::uint32_t PendingErrors = 0;
  std::thread ModemThread;
  std::atomic<bool> StopModem{false};
  std::atomic<bool> ModemDone{false};
};

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
  static const bool enabled = std::getenv("HRVX3300_DEBUG") != nullptr;
  if (enabled) std::fprintf(stderr, "%s\n", text.c_str());
}
