// The POSIX device: opening and closing, the line configuration, modem lines,
// line controls and queries. Events, reads and writes are PosixComIO.cpp.
#include "PosixComDevice.h"

#include "PosixLine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

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

int NewEventSet(int notifyFd, int timerFd) {
  const int set = ::epoll_create1(EPOLL_CLOEXEC);
  for (int fd : {notifyFd, timerFd}) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = fd;
    ::epoll_ctl(set, EPOLL_CTL_ADD, fd, &e);
  }
  return set;
}

constexpr std::uint32_t ModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;

}  // namespace

void SignalEventFd(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
}

void DrainEventFd(int fd) {
  std::uint64_t value;
  [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
}

TPosixComDevice::TPosixComDevice()
    : EpollFd(-1),
      NotifyFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      WakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      TxTimerFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
  const_cast<int&>(EpollFd) = NewEventSet(NotifyFd, TxTimerFd);
}

TPosixComDevice::~TPosixComDevice() {
  Close();
  for (int fd : {EpollFd, NotifyFd, WakeFd, TxTimerFd})
    if (fd >= 0) ::close(fd);
}

int TPosixComDevice::Open(const std::string& path) {
  {
    std::lock_guard lock(Mutex);
    if (Fd >= 0) return EBUSY;
  }
  if (EpollFd < 0 || NotifyFd < 0 || WakeFd < 0 || TxTimerFd < 0) return EMFILE;
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
  const bool isVirtual = ::ioctl(fd, TIOCGSERIAL, &serial) != 0 && Unsupported(errno);
  // The kernel keeps RS-485 mode across opens: an earlier user's setting is
  // found here and cleared unless this port asks for it.
  serial_rs485 rs485{};
  const bool rs485On = !isVirtual && ::ioctl(fd, TIOCGRS485, &rs485) == 0 && (rs485.flags & SER_RS485_ENABLED);
  std::lock_guard lock(Mutex);
  Fd = fd;
  Virtual = isVirtual;
  HasCounters = ::ioctl(Fd, TIOCGICOUNT, &Counters) == 0;
  ::ioctl(Fd, TIOCMGET, &ModemLines);
  Timeouts = {};
  Mask = Pending = PendingErrors = 0;
  Lost = TxPending = false;
  Rs485 = rs485On;
  ToggleNoted = false;
  Input.Clear();
  Input.Reserve(MinQueueSize);
  Reads.EndAll(ERROR_OPERATION_ABORTED, false);
  Writes.clear();
  DrainEventFd(NotifyFd);
  NotifySignalled = false;
  if (WakeSignalled) DrainEventFd(WakeFd);
  WakeSignalled = false;
  const itimerspec off{};
  ::timerfd_settime(TxTimerFd, 0, &off, nullptr);
  UpdateInputWatch();
  return 0;
}

int TPosixComDevice::Close() {
  int fd = -1;
  {
    std::lock_guard lock(Mutex);
    if (Fd < 0) return 0;
    fd = Fd;
    // Transfers in flight end, and whoever is blocked on the line leaves
    // before the descriptor goes.
    AbortTransfers(true, true);
    Fd = -1;
    UpdateInputWatch();
    Input.Clear();
    TxPending = false;
    Work.notify_all();  // the transfer thread ends
  }
  {
    std::lock_guard lock(Mutex);
    Notify();  // a waiter hears that the device is closed
  }
  StopModemWatch();
  {
    TLock lock(Mutex);
    Idle.wait(lock, [this] { return Busy == 0; });
  }
  if (TransferThread.joinable()) TransferThread.join();
  if (Rs485) {
    serial_rs485 off{};
    ::ioctl(fd, TIOCSRS485, &off);
    Rs485 = false;
  }
  ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
  return ::close(fd) == 0 ? 0 : errno;
}

bool TPosixComDevice::IsOpen() const {
  std::lock_guard lock(Mutex);
  return Fd >= 0;
}

int TPosixComDevice::SetCommState(const TDCB& dcb) {
  std::lock_guard lock(Mutex);
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
  const auto apply = [&]() -> int {
    if (!line.Custom) {
      ::cfsetispeed(&t, StandardSpeed(line.Speed));
      ::cfsetospeed(&t, StandardSpeed(line.Speed));
      return ::tcsetattr(Fd, TCSANOW, &t) == 0 ? 0 : errno;
    }
    TTermiosFields fields;
    fields.Iflag = t.c_iflag;
    fields.Oflag = t.c_oflag;
    fields.Cflag = t.c_cflag;
    fields.Lflag = t.c_lflag;
    std::memcpy(fields.Cc, t.c_cc, sizeof fields.Cc);
    const int error = SetTermiosWithSpeed(Fd, fields, line.Speed);
    return Virtual && Unsupported(error) ? 0 : error;
  };
  if (const int error = apply(); error != 0) {
    if (!(Virtual && error == EINVAL)) return error;
    // A virtual port keeps 8 data bits without parity.
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR)) | CS8;
    if (const int again = apply(); again != 0) return again;
  }
  const std::uint32_t inputSize = Input.Rules.InputSize;
  if (Input.Rules.Marks != line.Rules.Marks) Input.Clear();
  Input.Rules = line.Rules;
  Input.Rules.InputSize = inputSize;
  DefaultErrorIsParity = line.Rules.ErrorIsParity;
  Baud = line.Speed;
  if (const int error = SetModemLine(TIOCM_DTR, line.Dtr)) return error;
  if (const int error = SetRs485(line.RtsControl == 3)) return error;
  // RTS as the block asks; handshake leaves it to the driver, and toggle
  // without the driver's RS-485 mode holds it on.
  if (line.RtsControl != 2 && !Rs485) {
    if (const int error = SetModemLine(TIOCM_RTS, line.RtsControl != 0)) return error;
  }
  return 0;
}

int TPosixComDevice::SetCommTimeouts(const TCommTimeouts& timeouts) {
  std::lock_guard lock(Mutex);
  if (Fd < 0) return EBADF;
  Timeouts = timeouts;
  return 0;
}

int TPosixComDevice::SetupComm(std::uint32_t inputSize, std::uint32_t) {
  std::lock_guard lock(Mutex);
  if (Fd < 0) return EBADF;
  Input.Reserve(std::max<std::size_t>(inputSize, MinQueueSize));
  Input.Rules.InputSize = inputSize;
  UpdateInputWatch();
  return 0;
}

int TPosixComDevice::SetCommMask(std::uint32_t mask) {
  bool watchModem = false;
  {
    std::lock_guard lock(Mutex);
    if (Fd < 0) return EBADF;
    Mask = mask;
    Pending &= mask;
    UpdateInputWatch();
    watchModem = (mask & ModemEvents) && !Virtual;
  }
  if (watchModem)
    StartModemWatch();
  else
    StopModemWatch();
  {
    std::lock_guard lock(Mutex);
    Notify();  // a waiter looks again under the new mask
  }
  return 0;
}

// The counts of the queues. While a waiter watches the tty, bytes still in
// it are left there: they stay ready in the event set and are reported by
// the next event, instead of waking the waiter for bytes already counted.
// With nobody watching, they are drained here.
int TPosixComDevice::ClearCommError(std::uint32_t& errors, TComStat& stat) {
  stat = {};
  std::lock_guard lock(Mutex);
  if (Fd < 0) return EBADF;
  Raise((WatchedFd < 0 ? Fill() : 0) | CounterEvents());
  stat.InQue = std::uint32_t(Input.Size());
  // With transmit-empty watched and nothing pending, the output has left.
  stat.OutQue = Lost || (!TxPending && (Mask & EV_TXEMPTY)) ? 0 : OutQueue();
  for (const TComOverlapped* ov : Writes) stat.OutQue += ov->Requested - ov->Done;
  errors = std::exchange(PendingErrors, 0);
  return 0;
}

int TPosixComDevice::GetCommModemStatus(std::uint32_t& status) {
  status = 0;
  std::lock_guard lock(Mutex);
  if (Fd < 0) return EBADF;
  int lines = 0;
  if (::ioctl(Fd, TIOCMGET, &lines) != 0) return Virtual && Unsupported(errno) ? 0 : errno;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CD) status |= MS_RLSD_ON;
  return 0;
}

int TPosixComDevice::EscapeCommFunction(std::uint32_t function) {
  std::lock_guard lock(Mutex);
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

int TPosixComDevice::SetLowLatency(bool on) {
  std::lock_guard lock(Mutex);
  if (Fd < 0) return EBADF;
  serial_struct serial{};
  if (::ioctl(Fd, TIOCGSERIAL, &serial) != 0) return Unsupported(errno) ? 0 : errno;
  const int flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
  if (flags == serial.flags) return 0;
  serial.flags = flags;
  if (::ioctl(Fd, TIOCSSERIAL, &serial) != 0) return Unsupported(errno) ? 0 : errno;
  return 0;
}

// ------------------------------------------------------------- line helpers

// Whether the error marks just read are parity errors: the line's counters
// say which kind grew; without them, the line's parity check decides.
bool TPosixComDevice::MarkedErrorIsParity() {
  serial_icounter_struct now{};
  if (!HasCounters || ::ioctl(Fd, TIOCGICOUNT, &now) != 0) return DefaultErrorIsParity;
  if (now.parity != Counters.parity) return true;
  if (now.frame != Counters.frame) return false;
  return DefaultErrorIsParity;
}

// Modem line changes and overruns since the last look. Errors and breaks of
// a real line come in-band with the data.
std::uint32_t TPosixComDevice::CounterEvents() {
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

int TPosixComDevice::Ioctl(unsigned long request) {
  if (::ioctl(Fd, request) == 0) return 0;
  return Virtual && Unsupported(errno) ? 0 : errno;
}

int TPosixComDevice::SetModemLine(int line, bool on) {
  if (::ioctl(Fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
  return Virtual && Unsupported(errno) ? 0 : errno;
}

// RTS raised only while sending, by the driver's RS-485 mode; off whenever
// the port does not ask for it. Where the driver has none, RTS is held on
// and the user is told once.
int TPosixComDevice::SetRs485(bool on) {
  if (on == Rs485) return 0;
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

std::uint32_t TPosixComDevice::OutQueue() const {
  int out = 0;
  return ::ioctl(Fd, TIOCOUTQ, &out) == 0 ? std::uint32_t(std::max(out, 0)) : 0;
}

// How long the bytes still queued take to leave at the line's speed.
int TPosixComDevice::DrainWaitMs(std::uint32_t outQue) const {
  const std::uint64_t baud = std::max<std::uint32_t>(Baud, 50);
  return int(std::min<std::uint64_t>(1000, outQue * 10ull * 1000 / baud + 1));
}

// A thread waits for modem line changes (TIOCMIWAIT) and raises them; only
// real lines have one, and only while modem events are watched.
void TPosixComDevice::StartModemWatch() {
  int fd = -1;
  {
    std::lock_guard lock(Mutex);
    if (ModemThread.joinable() || Fd < 0) return;
    fd = Fd;
    ::ioctl(Fd, TIOCMGET, &ModemLines);
    ModemWatched = true;
    ++Busy;  // Close waits for the watcher to leave the descriptor
  }
  InstallWakeSignal();
  StopModem = false;
  ModemThread = std::thread([this, fd] {
    ::pthread_setname_np(::pthread_self(), "ComModem");
    while (!StopModem) {
      if (::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD) == 0) {
        std::lock_guard lock(Mutex);
        Raise(CounterEvents());
      } else if (errno != EINTR) {
        break;  // the device has no line waits
      }
    }
    ModemDone = true;
  });
}

void TPosixComDevice::StopModemWatch() {
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
  if (--Busy == 0) Idle.notify_all();
}

// ------------------------------------------------------------- the rest

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

std::unique_ptr<TComDevice> CreatePlatformComDevice() { return std::make_unique<TPosixComDevice>(); }
