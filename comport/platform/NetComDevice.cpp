#include "NetComDevice.h"

#include "NetAddress.h"
#include "Threads.h"
#include "NetSystem.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace {

using TClock = std::chrono::steady_clock;

// Telnet (RFC 854) and its COM port control option (RFC 2217).
constexpr std::uint8_t SE = 240, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255;
constexpr std::uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;
enum : std::uint8_t {
  SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
  NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7, SET_LINESTATE_MASK = 10, PURGE_DATA = 12,
  SERVER = 100,  // the server's answer to command c is c + 100
};

std::string Bytes(std::initializer_list<std::uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

// IAC in data goes twice.
std::string Escaped(const std::uint8_t* data, std::size_t count) {
  std::string out;
  out.reserve(count + count / 64 + 8);
  const std::uint8_t* end = data + count;
  for (const std::uint8_t* at = data; at < end;) {
    const auto* iac = static_cast<const std::uint8_t*>(std::memchr(at, IAC, std::size_t(end - at)));
    const std::uint8_t* stop = iac ? iac + 1 : end;
    out.append(reinterpret_cast<const char*>(at), std::size_t(stop - at));
    if (iac) out += char(IAC);
    at = stop;
  }
  return out;
}

int MsUntil(TClock::time_point t) {
  return int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(t - TClock::now()).count()));
}

}  // namespace

TNetComDevice::TNetComDevice() : Input(4096) {}

TNetComDevice::~TNetComDevice() {
  Close();
  if (Fd >= 0) NetClose(Fd);
}

// ------------------------------------------------------------ connecting

int TNetComDevice::Open(const std::string& url) {
  if (Fd >= 0) return EBUSY;  // a device opens once; a port makes a new one for each open
  const TPortScheme* scheme = PortSchemeOf(url);
  if (!scheme) return EINVAL;
  Protocol = scheme->Protocol;
  TNetAddress address;
  if (!ParseNetAddress(url, address)) return EINVAL;
  // Options as pyserial takes them.
  const std::string& options = address.Options;
  for (std::size_t start = 0; !options.empty() && start <= options.size();) {
    const std::size_t end = std::min(options.find('&', start), options.size());
    const std::string option = options.substr(start, end - start);
    const std::size_t equals = option.find('=');
    const std::string name = option.substr(0, equals), value = equals == std::string::npos ? "" : option.substr(equals + 1);
    char* stop = nullptr;
    if (name == "timeout") {
      // From a millisecond to ten minutes; nan and inf are no time-outs.
      const double seconds = std::strtod(value.c_str(), &stop);
      if (value.empty() || *stop || !(seconds >= 0.001 && seconds <= 600)) return EINVAL;
      TimeoutMs = int(seconds * 1000);
    } else if (name == "ign_set_control") {
      IgnoreControl = true;
    } else if (name == "linestate") {
      const long mask = std::strtol(value.c_str(), &stop, 0);
      if (value.empty() || *stop || mask < 0 || mask > 255) return EINVAL;
      LineStateMask = std::uint8_t(mask);
    } else if (name != "logging" && !name.empty()) {
      return EINVAL;  // an option this device does not know
    }
    start = end + 1;
  }
  if (const int error = Connect(address)) return error;

  {
    std::lock_guard lock(Mutex);
    Lost = Closing = false;
    LostError = 0;
    Pending = PendingErrors = Modem = 0;
    TelnetState = 0;
    Answers.clear();
    Replies.clear();
    Refused[0].reset();
    Refused[1].reset();
    ControlAsked = WarnedControl = false;
    Input.Clear();
  }
  ReaderThread = std::thread([this] { Reader(); });
  if (Protocol == npRaw) return 0;
  // BINARY both ways, no go-aheads, and the COM port option, which the
  // server must take within the time-out.
  SendRaw(Bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL, COM_PORT}));
  TLock lock(Mutex);
  const bool agreed = AwaitServer(lock, [this] { return Answers.count(0) != 0; });  // 0: DO COM-PORT-OPTION
  lock.unlock();
  if (!agreed || Lost) {
    const int error = Lost ? ECONNRESET : ETIMEDOUT;
    Close();
    return error;
  }
  Request(SET_LINESTATE_MASK, std::string(1, char(LineStateMask)), true);
  return 0;
}

int TNetComDevice::Connect(const TNetAddress& address) {
  const auto end = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  const std::shared_ptr<TNetLookup> lookup = StartNetLookup(address);
  addrinfo* found = AwaitNetLookup(*lookup, end);
  if (!found) return EHOSTUNREACH;
  TSlowWait wait;
  int error = ECONNREFUSED;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = NetSocket(*a);
    if (fd < 0) {
      error = NetError();
      continue;
    }
    error = NetConnect(fd, *a);
    if (error == EINPROGRESS) {
      // Polled in slices, the time-out counted from the start.
      error = ETIMEDOUT;
      for (int left; (left = MsUntil(end)) > 0;) {
        const int ready = NetPoll(fd, true, std::min(left, TSlowWait::SliceMs));
        if (ready > 0) {
          error = NetConnectResult(fd);
          break;
        }
        if (ready < 0) {
          error = NetError();
          break;
        }
        wait.Slice();
      }
    }
    if (error == 0) {
      NetTuneConnected(fd);
      Fd = fd;
      return 0;
    }
    NetClose(fd);
  }
  return error;
}

// The socket is shut down, not closed: a read or write still under way on
// another thread fails on it instead of reaching a descriptor reused
// meanwhile. It is closed with the device, once nobody holds it.
int TNetComDevice::Close() {
  {
    std::lock_guard lock(Mutex);
    if (Fd < 0 || Closing) return 0;
    if (!Lost) NoteControlAnswers();
    Closing = true;
    Reads.EndAll(ERROR_OPERATION_ABORTED, false);
  }
  NetShutdown(Fd);
  Changed.notify_all();
  if (ReaderThread.joinable()) ReaderThread.join();
  Wake.Signal();
  return 0;
}

bool TNetComDevice::IsOpen() const {
  std::lock_guard lock(Mutex);
  return Fd >= 0 && !Closing;
}

// ------------------------------------------------------- what comes in

void TNetComDevice::Reader() {
  std::uint8_t buffer[4096];
  for (;;) {
    std::size_t room;
    {
      // A full queue stops the reading: TCP holds the server back.
      TLock lock(Mutex);
      Changed.wait(lock, [this] { return Closing || Input.Room() > 0; });
      if (Closing) return;
      room = std::min(sizeof buffer, Input.Room());
    }
    const long n = NetRecv(Fd, reinterpret_cast<char*>(buffer), room);
    if (n <= 0) {
      const int error = n == 0 ? EIO : NetError();
      if (error == EINTR) continue;
      Lose(error);
      return;
    }
    std::uint32_t events = 0, errors = 0;
    bool reply = false;
    {
      std::lock_guard lock(Mutex);
      Decode(buffer, std::size_t(n), events, errors);
      PendingErrors |= errors;
      Reads.Serve(Input, Timeouts, 0);
      reply = !Replies.empty();
    }
    Changed.notify_all();
    if (events) Raise(events);
    if (reply) FlushReplies();
  }
}

// Lock held.
void TNetComDevice::Decode(const std::uint8_t* bytes, std::size_t count, std::uint32_t& events, std::uint32_t& errors) {
  std::string data;
  const auto flush = [&] {
    if (data.empty()) return;
    Input.Put(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), events, errors);
    data.clear();
  };
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t c = bytes[i];
    if (Protocol == npRaw) {
      data += char(c);
      continue;
    }
    switch (TelnetState) {
      case 0:  // data
        if (c == IAC)
          TelnetState = 1;
        else
          data += char(c);
        break;
      case 1:  // after IAC
        if (c == IAC) {
          data += char(IAC);
          TelnetState = 0;
        } else if (c == SB) {
          SubBuffer.clear();
          TelnetState = 3;
        } else if (c >= WILL && c <= DONT) {
          SubBuffer.assign(1, char(c));
          TelnetState = 2;
        } else {
          TelnetState = 0;  // NOP, GA and the like
        }
        break;
      case 2:  // the option of WILL, WONT, DO or DONT
        Negotiate(std::uint8_t(SubBuffer[0]), c);
        TelnetState = 0;
        break;
      case 3:  // in a subnegotiation
        if (c == IAC)
          TelnetState = 4;
        else if (SubBuffer.size() < 64)
          SubBuffer += char(c);
        break;
      case 4:  // IAC in a subnegotiation
        if (c == SE) {
          flush();
          Subnegotiation();
          // Line and modem state reach the events here.
          TelnetState = 0;
        } else {
          if (c == IAC && SubBuffer.size() < 64) SubBuffer += char(IAC);
          TelnetState = 3;
        }
        break;
    }
  }
  flush();
}

// Lock held. The options of ours are taken, every other refused, once: a
// request for a state already refused is not answered again, so a server
// that repeats itself cannot make us send without end. The refusals go out
// from the reader, after the lock.
void TNetComDevice::Negotiate(std::uint8_t command, std::uint8_t option) {
  const bool ours = option == BINARY || option == SGA || option == COM_PORT;
  if (command == DO && option == COM_PORT) Answers[0] = "";
  if (ours) return;  // asked for already in Open
  if (command != DO && command != WILL) return;
  std::bitset<256>& refused = Refused[command == WILL];
  if (refused.test(option)) return;
  refused.set(option);
  Replies += Bytes({IAC, command == DO ? WONT : DONT, option});
}

// Lock held: the server's answer or notification.
void TNetComDevice::Subnegotiation() {
  if (SubBuffer.size() < 2 || std::uint8_t(SubBuffer[0]) != COM_PORT) return;
  const std::uint8_t command = std::uint8_t(SubBuffer[1]);
  const std::string value = SubBuffer.substr(2);
  if (command == SERVER + NOTIFY_LINESTATE && !value.empty()) {
    const std::uint8_t state = std::uint8_t(value[0]);
    std::uint32_t errors = 0;
    if (state & 0x02) errors |= CE_OVERRUN;
    if (state & 0x04) errors |= CE_RXPARITY;
    if (state & 0x08) errors |= CE_FRAME;
    if (state & 0x10) errors |= CE_BREAK;
    PendingErrors |= errors;
    Pending |= (errors & ~CE_BREAK ? EV_ERR : 0u) | (state & 0x10 ? EV_BREAK : 0u);
    if (Pending & Mask) Wake.Signal();
  } else if (command == SERVER + NOTIFY_MODEMSTATE && !value.empty()) {
    const std::uint8_t state = std::uint8_t(value[0]);
    Modem = state & 0xF0;  // CTS, DSR, RI, CD: the bits of GetCommModemStatus
    Pending |= (state & 0x01 ? EV_CTS : 0u) | (state & 0x02 ? EV_DSR : 0u) | (state & 0x04 ? EV_RING : 0u) |
               (state & 0x08 ? EV_RLSD : 0u);
    if (Pending & Mask) Wake.Signal();
  } else if (command > SERVER) {
    Answers[command] = value;
  }
}

void TNetComDevice::Raise(std::uint32_t events) {
  {
    std::lock_guard lock(Mutex);
    Pending |= events;
  }
  Wake.Signal();
}

void TNetComDevice::Lose(int error) {
  {
    std::lock_guard lock(Mutex);
    if (Closing) return;
    Lost = true;
    LostError = error == 0 ? EIO : error;
    Reads.EndAll(LostError, true);  // what came before still counts
  }
  Changed.notify_all();
  Wake.Signal();
}

// ---------------------------------------------------------- what goes out

int TNetComDevice::SendSome(const char* bytes, std::size_t size, std::int64_t deadline, std::size_t& sent) {
  sent = 0;
  while (sent < size) {
    int wait = -1;
    if (deadline >= 0) {
      wait = int(std::min<std::int64_t>(deadline - ComNowMs(), 1 << 30));
      if (wait < 0) wait = 0;
    }
    const int ready = NetPoll(Fd, true, wait);
    if (ready < 0) return NetError();
    if (ready == 0) return ETIMEDOUT;
    const long n = NetSend(Fd, bytes + sent, size - sent);
    if (n < 0) {
      if (NetError() == EAGAIN || NetError() == EINTR) continue;
      return NetError();
    }
    sent += std::size_t(n);
  }
  return 0;
}

int TNetComDevice::SendOwed(std::int64_t deadline) {
  {
    std::lock_guard lock(Mutex);
    Owed += std::exchange(Replies, {});
  }
  if (Owed.empty()) return 0;
  std::size_t sent = 0;
  const int error = SendSome(Owed.data(), Owed.size(), deadline, sent);
  Owed.erase(0, sent);
  return error;
}

// From the reader: refusals go when nobody else sends and the socket takes
// them at once; otherwise they go with the next thing sent.
void TNetComDevice::FlushReplies() {
  std::unique_lock send(SendMutex, std::try_to_lock);
  if (send.owns_lock()) SendOwed(ComNowMs());
}

int TNetComDevice::SendRaw(const std::string& bytes) {
  std::lock_guard send(SendMutex);
  const std::int64_t deadline = ComNowMs() + TimeoutMs;
  if (const int error = SendOwed(deadline)) return error;
  std::size_t sent = 0;
  const int error = SendSome(bytes.data(), bytes.size(), deadline, sent);
  if (sent < bytes.size()) Owed.append(bytes, sent);  // a command goes whole, later if need be
  return error;
}

int TNetComDevice::SendData(const std::string& data, std::int64_t deadline, std::size_t& dataSent) {
  dataSent = 0;
  if (const int error = SendOwed(deadline)) return error;
  std::size_t sent = 0;
  const int error = SendSome(data.data(), data.size(), deadline, sent);
  // Data bytes, not the escapes that went with them. Cut between the two
  // halves of a doubled IAC, the byte counts and its second half is owed,
  // so that the next byte on the wire is never read as a command.
  const std::size_t iacs = Protocol == npRfc2217 ? std::size_t(std::count(data.begin(), data.begin() + std::ptrdiff_t(sent), char(IAC))) : 0;
  if (iacs % 2 == 1) Owed += char(IAC);
  dataSent = sent - iacs / 2;
  return error;
}

int TNetComDevice::Request(std::uint8_t command, const std::string& value, bool control) {
  if (Protocol == npRaw) return 0;
  {
    std::lock_guard lock(Mutex);
    Answers.erase(command + SERVER);
  }
  std::string request = Bytes({IAC, SB, COM_PORT, command});
  request += Escaped(reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
  request += Bytes({IAC, SE});
  if (const int error = SendRaw(request)) return error;
  // Control requests (flow control, DTR, RTS, break) are not waited for:
  // servers on a device without modem lines (ser2net on a pty) never answer
  // them. Whether any answer came is looked at later, and said once.
  if (control) {
    std::lock_guard lock(Mutex);
    ControlAsked = ControlAsked || command == SET_CONTROL;
    return 0;
  }
  TLock lock(Mutex);
  const bool answered = AwaitServer(lock, [&] { return Answers.count(command + SERVER) != 0; });
  if (Lost) return LostError;
  if (Closing) return ERROR_OPERATION_ABORTED;
  if (!answered) {
    OutputDebugString("The server did not answer COM port request " + std::to_string(command));
    return ETIMEDOUT;
  }
  if (Answers[command + SERVER] != value) {  // the server chose another setting
    std::string said;
    for (char c : Answers[command + SERVER]) said += " " + std::to_string(std::uint8_t(c));
    OutputDebugString("The server answered COM port request " + std::to_string(command) + " with" + said);
    return EINVAL;
  }
  NoteControlAnswers();  // by now the server has answered what came before
  return 0;
}

bool TNetComDevice::AwaitServer(TLock& lock, const std::function<bool()>& answered) {
  const auto end = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  TSlowWait wait;
  for (;;) {
    if (answered()) return true;
    if (Lost || Closing || TClock::now() >= end) return false;
    Changed.wait_until(lock, std::min(end, TClock::now() + std::chrono::milliseconds(TSlowWait::SliceMs)));
    lock.unlock();
    wait.Slice();
    lock.lock();
  }
}

// Lock held. Said once: a server that leaves control requests unanswered.
void TNetComDevice::NoteControlAnswers() {
  if (ControlAsked && !Answers.count(SET_CONTROL + SERVER) && !IgnoreControl && !std::exchange(WarnedControl, true))
    OutputDebugString("The server does not answer SET-CONTROL requests (a device without modem lines?); going on without");
}

int TNetComDevice::SetCommState(const TDCB& dcb) {
  if (!IsOpen()) return EBADF;
  {
    std::lock_guard lock(Mutex);
    Input.Rules.EventChar = std::uint8_t(dcb.EvtChar);
    Input.Rules.DiscardNull = dcb.Flags & dcb_NullStrip;
  }
  if (Protocol == npRaw) return 0;  // a raw socket's line is set at the server
  const std::uint32_t baud = dcb.BaudRate;
  const std::uint8_t parity = std::uint8_t(std::min<int>(dcb.Parity, 4) + 1);  // 1 none ... 5 space
  const std::uint8_t stop = dcb.StopBits == 1 ? 3 : dcb.StopBits == 2 ? 2 : 1;  // 1, 2, 3 = 1.5
  std::uint8_t flow = 1;
  if (dcb.Flags & dcb_OutxCTSFlow) flow = 3;
  else if (dcb.Flags & (dcb_OutX | dcb_InX)) flow = 2;
  const std::string baudBytes = Bytes({std::uint8_t(baud >> 24), std::uint8_t(baud >> 16), std::uint8_t(baud >> 8), std::uint8_t(baud)});
  if (int e = Request(SET_BAUDRATE, baudBytes, false)) return e;
  if (int e = Request(SET_DATASIZE, std::string(1, char(dcb.ByteSize)), false)) return e;
  if (int e = Request(SET_PARITY, std::string(1, char(parity)), false)) return e;
  if (int e = Request(SET_STOPSIZE, std::string(1, char(stop)), false)) return e;
  if (int e = Request(SET_CONTROL, std::string(1, char(flow)), true)) return e;
  const int dtr = (dcb.Flags & dcb_DTRControlMask) >> dcb_DTRControlShift;
  const int rts = (dcb.Flags & dcb_RTSControlMask) >> dcb_RTSControlShift;
  if (int e = Request(SET_CONTROL, std::string(1, char(dtr == 0 ? 9 : 8)), true)) return e;
  if (flow != 3) {
    if (int e = Request(SET_CONTROL, std::string(1, char(rts == 0 ? 12 : 11)), true)) return e;
  }
  return 0;
}

int TNetComDevice::SetCommTimeouts(const TCommTimeouts& timeouts) {
  std::lock_guard lock(Mutex);
  Timeouts = timeouts;
  return 0;
}

int TNetComDevice::SetupComm(std::uint32_t inputSize, std::uint32_t) {
  std::lock_guard lock(Mutex);
  Input.Reserve(std::max<std::uint32_t>(inputSize, 1024));
  Input.Rules.InputSize = inputSize;
  return 0;
}

int TNetComDevice::SetCommMask(std::uint32_t mask) {
  {
    std::lock_guard lock(Mutex);
    Mask = mask;
    Pending &= mask;
  }
  Wake.Signal();
  return 0;
}

int TNetComDevice::WaitCommEvent(std::uint32_t& events, const TComStopEvent* stop, int timeoutMs) {
  events = 0;
  const auto end = TClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    {
      std::lock_guard lock(Mutex);
      events = Pending & Mask;
      Pending &= ~events;
      if (events) return 0;
      if (Lost) return LostError;
      if (Closing) return EBADF;
    }
    if (stop && stop->IsSet()) return ERROR_WAIT_STOPPED;
    int wait = -1;
    if (timeoutMs >= 0) {
      wait = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - TClock::now()).count());
      if (wait <= 0) return 0;
    }
    Wake.Wait(stop, wait);
  }
}

void TNetComDevice::Complete(TComOverlapped& ov, int error) {
  ov.Completed = true;
  ov.Error = error;
  Changed.notify_all();
}

int TNetComDevice::ReadFile(void* buffer, std::uint32_t count, TComOverlapped& ov) {
  ov.Write = false;
  ov.Buffer = static_cast<std::uint8_t*>(buffer);
  ov.Requested = count;
  ov.Done = 0;
  ov.Error = 0;
  ov.Completed = false;
  ov.StartMs = ComNowMs();
  ov.LastByteMs = 0;
  std::lock_guard lock(Mutex);
  if (Fd < 0 || Closing) {
    ov.Completed = true;
    return ov.Error = EBADF;
  }
  Reads.Add(ov);
  if (Reads.Serve(Input, Timeouts, Lost ? LostError : 0)) Changed.notify_all();  // room for the reader
  return ov.Completed ? ov.Error : ERROR_IO_PENDING;
}

int TNetComDevice::WriteFile(const void* buffer, std::uint32_t count, TComOverlapped& ov) {
  ov.Write = true;
  ov.Requested = count;
  ov.Done = 0;
  ov.Error = 0;
  ov.Completed = true;
  TCommTimeouts timeouts;
  {
    std::lock_guard lock(Mutex);
    if (Fd < 0 || Closing) return ov.Error = EBADF;
    if (Lost) return ov.Error = LostError;
    timeouts = Timeouts;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  const std::string data = Protocol == npRfc2217 ? Escaped(bytes, count) : std::string(reinterpret_cast<const char*>(bytes), count);
  // Writers queue for the socket in the order they came; the time-out runs
  // from when this one has it.
  std::lock_guard send(SendMutex);
  ov.StartMs = ComNowMs();
  std::size_t sent = 0;
  const int error = SendData(data, ComWriteDeadline(timeouts, ov), sent);
  ov.Done = std::uint32_t(sent);
  if (error != 0 && error != ETIMEDOUT) {
    Lose(error);
    return ov.Error = error;
  }
  if (ov.Done == count && Owed.empty()) Raise(EV_TXEMPTY);
  return ov.Error = 0;  // all went, or the time ran out: success with what went
}

int TNetComDevice::GetOverlappedResult(TComOverlapped& ov, bool wait) {
  TLock lock(Mutex);
  for (;;) {
    if (!ov.Completed) {
      Reads.Serve(Input, Timeouts, Lost ? LostError : 0);
      Reads.Expire(Timeouts);
    }
    if (ov.Completed) return ov.Error;
    if (!wait) return ERROR_IO_INCOMPLETE;
    // Nobody ends a read by its time but whoever waits for it.
    const std::int64_t deadline = Reads.Empty() ? -1 : ComReadDeadline(Timeouts, Reads.Front());
    if (deadline < 0)
      Changed.wait(lock);
    else
      Changed.wait_for(lock, std::chrono::milliseconds(std::max<std::int64_t>(deadline - ComNowMs(), 0)));
  }
}

int TNetComDevice::CancelIo(TComOverlapped& ov) {
  std::lock_guard lock(Mutex);
  Reads.Remove(ov);
  if (!ov.Completed) Complete(ov, ERROR_OPERATION_ABORTED);
  return 0;
}

int TNetComDevice::PurgeComm(std::uint32_t flags) {
  {
    std::lock_guard lock(Mutex);
    if (Fd < 0 || Closing) return EBADF;
    if (flags & PURGE_RXABORT) Reads.EndAll(ERROR_OPERATION_ABORTED, false);
    if (flags & PURGE_RXCLEAR) Input.Clear();
  }
  Changed.notify_all();
  if (!IsOpen() || !(flags & (PURGE_RXCLEAR | PURGE_TXCLEAR))) return 0;
  const std::uint8_t which = (flags & PURGE_RXCLEAR ? 1 : 0) | (flags & PURGE_TXCLEAR ? 2 : 0);
  return Request(PURGE_DATA, std::string(1, char(which)), true);
}

int TNetComDevice::ClearCommError(std::uint32_t& errors, TComStat& stat) {
  std::lock_guard lock(Mutex);
  errors = std::exchange(PendingErrors, 0);
  stat = {};
  stat.InQue = std::uint32_t(Input.Size());
  return 0;  // a lost connection is the event wait's to report
}

int TNetComDevice::GetCommModemStatus(std::uint32_t& status) {
  std::lock_guard lock(Mutex);
  status = Modem;
  return 0;
}

int TNetComDevice::EscapeCommFunction(std::uint32_t function) {
  if (!IsOpen()) return EBADF;
  std::uint8_t control;
  switch (function) {
    case SETDTR: control = 8; break;
    case CLRDTR: control = 9; break;
    case SETRTS: control = 11; break;
    case CLRRTS: control = 12; break;
    case SETBREAK: control = 5; break;
    case CLRBREAK: control = 6; break;
    default: return 0;  // XON/XOFF: the server's own flow control does it
  }
  return Request(SET_CONTROL, std::string(1, char(control)), true);
}

int TNetComDevice::TransmitCommChar(char c) {
  if (!IsOpen()) return EBADF;
  {
    std::lock_guard lock(Mutex);
    if (Lost) return LostError;
  }
  const std::uint8_t byte = std::uint8_t(c);
  return SendRaw(Protocol == npRfc2217 ? Escaped(&byte, 1) : std::string(1, c));
}
