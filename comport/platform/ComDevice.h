// The device interface under the serial port component: the serial calls of
// the operating system in the shape the component uses them (line
// configuration block, time-outs, queue sizes, event mask and event wait,
// reads and writes with completion records, purge, status, modem lines,
// line controls). Every call returns 0 on success or the system's error code.
//
// The contract every device keeps (a local tty, a network port, a Windows
// COM port); one conformance suite holds each device to it.
//
// Reads. A read completes when its count has come or its time-out has run,
// by these time-outs (interval I, multiplier M, constant C; n the count):
//   I = MAXDWORD, M = 0, C = 0            at once, with what the device holds
//   I = MAXDWORD, C < MAXDWORD            the first bytes end the read; none
//                                         within (M = MAXDWORD ? 0 : M*n) + C
//                                         ends it empty: MAXDWORD/MAXDWORD/0
//                                         is "at once" as well
//   I = MAXDWORD, C = MAXDWORD            the first bytes end the read, no limit
//   otherwise                             n bytes, or M*n + C ms (0: no limit)
//                                         or I ms without a byte once one came
// A read that returns at once first takes in what the line already holds.
// Reads complete in the order issued, each from the bytes after the last;
// a read's time runs from when it reaches the front of the queue. A read
// that ran out of time succeeds with what it got (perhaps nothing).
//
// Writes. Overlapped writes go out in the order issued, whole (two writers
// never interleave), and progress on their own: nobody has to ask for their
// result. A write ends when all its bytes went, or after M*n + C ms of its
// write time-outs (0: no limit; its time runs from when it reaches the
// front of the queue), successfully with what went by then.
// EV_TXEMPTY is raised only when every byte written has left the device.
//
// Loss and closing. Once the device has gone (adapter pulled, server gone)
// every read, write and event wait fails with an error; a read that already
// holds bytes completes with them and the next one fails. On a closed
// device every call fails with an error. PURGE_RXABORT and PURGE_TXABORT
// end the reads and writes under way with ERROR_OPERATION_ABORTED, and so
// does Close.
#pragma once

#include "PortNames.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The 28-byte line configuration block.
struct TDCB {
  std::uint32_t DCBlength = 0;
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;
};
static_assert(sizeof(TDCB) == 28);

// Flag bits of TDCB::Flags.
enum : std::uint32_t {
  dcb_Binary = 0x0001,
  dcb_ParityCheck = 0x0002,
  dcb_OutxCTSFlow = 0x0004,
  dcb_OutxDSRFlow = 0x0008,
  dcb_DTRControlMask = 0x0030,  // 0 disable, 1 enable, 2 handshake
  dcb_DSRSensivity = 0x0040,
  dcb_TxContinueOnXoff = 0x0080,
  dcb_OutX = 0x0100,
  dcb_InX = 0x0200,
  dcb_ErrorChar = 0x0400,
  dcb_NullStrip = 0x0800,
  dcb_RTSControlMask = 0x3000,  // 0 disable, 1 enable, 2 handshake, 3 toggle
  dcb_AbortOnError = 0x4000,
};
constexpr int dcb_DTRControlShift = 4;
constexpr int dcb_RTSControlShift = 12;

struct TCommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};
constexpr std::uint32_t MAXDWORD = 0xFFFFFFFF;

// Event mask bits.
enum : std::uint32_t {
  EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008, EV_DSR = 0x0010,
  EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080, EV_RING = 0x0100, EV_RX80FULL = 0x0400,
};

// Purge flags.
enum : std::uint32_t { PURGE_TXABORT = 0x1, PURGE_RXABORT = 0x2, PURGE_TXCLEAR = 0x4, PURGE_RXCLEAR = 0x8 };

// Line error bits of ClearCommError.
enum : std::uint32_t {
  CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004, CE_FRAME = 0x0008, CE_BREAK = 0x0010,
  CE_TXFULL = 0x0100, CE_IOE = 0x0400, CE_MODE = 0x8000,
};

// Modem status bits.
enum : std::uint32_t { MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80 };

// Line control functions.
enum : std::uint32_t { SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8, CLRBREAK = 9 };

struct TComStat {
  std::uint32_t Flags = 0;  // low byte: the line state flags
  std::uint32_t InQue = 0;
  std::uint32_t OutQue = 0;
};

// Results besides the system's error codes.
constexpr int ERROR_IO_PENDING = 997;
constexpr int ERROR_IO_INCOMPLETE = 996;
constexpr int ERROR_OPERATION_ABORTED = 995;
constexpr int ERROR_WAIT_STOPPED = -1;  // an event wait ended by its stop event

// Milliseconds on the device's clock (monotonic).
std::int64_t ComNowMs();

// When a read or write under way gives up, by the table above: 0 at once,
// -1 never, else the time on ComNowMs's clock. A read's deadline moves on
// with the bytes it got (the interval and the first-bytes rules).
struct TComOverlapped;
std::int64_t ComReadDeadline(const TCommTimeouts& timeouts, const TComOverlapped& ov);
std::int64_t ComWriteDeadline(const TCommTimeouts& timeouts, const TComOverlapped& ov);

// A manual-reset event that a blocked event wait also watches.
class TComStopEvent {
public:
  TComStopEvent();
  ~TComStopEvent();
  TComStopEvent(const TComStopEvent&) = delete;
  TComStopEvent& operator=(const TComStopEvent&) = delete;
  void Set();
  void Reset();
  bool IsSet() const;
#ifdef _WIN32
  void* Handle() const { return FHandle; }  // an event object

private:
  void* FHandle = nullptr;
#else
  int Fd() const { return FFd; }

private:
  int FFd = -1;
#endif
};

// The record of one read or write the device has under way. The device keeps
// its progress here and may fill a pending read from another thread, so
// while the operation is under way only the device touches the record; the
// caller keeps the record and the buffer alive until it completes or is
// cancelled (CancelIo).
struct TComOverlapped {
  bool Write = false;
  std::uint8_t* Buffer = nullptr;
  std::uint32_t Requested = 0;
  std::uint32_t Done = 0;
  bool Completed = true;
  int Error = 0;
  // Device-private progress: when its time began to run (it reached the
  // front of its queue) and when its last byte came.
  std::int64_t StartMs = 0;
  std::int64_t LastByteMs = 0;
};

class TComDevice {
public:
  virtual ~TComDevice() = default;

  // Opens the device at path for exclusive reading and writing.
  virtual int Open(const std::string& path) = 0;
  virtual int Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual int SetCommState(const TDCB& dcb) = 0;
  virtual int SetCommTimeouts(const TCommTimeouts& timeouts) = 0;
  virtual int SetupComm(std::uint32_t inputSize, std::uint32_t outputSize) = 0;
  virtual int SetCommMask(std::uint32_t mask) = 0;

  // Waits for one of the events of the mask, for stop (if given) or for
  // timeoutMs (-1: no limit). Returns 0 with the events found (none after a
  // time-out), ERROR_WAIT_STOPPED when stop was set, or the error that ended
  // the wait (a vanished device among them).
  virtual int WaitCommEvent(std::uint32_t& events, const TComStopEvent* stop, int timeoutMs) = 0;

  // Starts a read or write. Returns 0 when it completed at once (ov.Done
  // holds the count), ERROR_IO_PENDING when it goes on, or an error.
  virtual int ReadFile(void* buffer, std::uint32_t count, TComOverlapped& ov) = 0;
  virtual int WriteFile(const void* buffer, std::uint32_t count, TComOverlapped& ov) = 0;
  // The result of a started operation: 0 when complete (ov.Done holds the
  // count), ERROR_IO_INCOMPLETE when still under way and wait is false, or
  // the error it ended with.
  virtual int GetOverlappedResult(TComOverlapped& ov, bool wait) = 0;
  // Forgets an operation still under way, so that its record and buffer may
  // go. A completed one is left as it is.
  virtual int CancelIo(TComOverlapped& ov) {
    (void)ov;
    return 0;
  }

  virtual int PurgeComm(std::uint32_t flags) = 0;
  virtual int ClearCommError(std::uint32_t& errors, TComStat& stat) = 0;
  virtual int GetCommModemStatus(std::uint32_t& status) = 0;
  virtual int EscapeCommFunction(std::uint32_t function) = 0;
  virtual int TransmitCommChar(char c) = 0;

  // A descriptor that becomes readable whenever WaitCommEvent without a
  // time-out may find events, so that an event loop can watch the device
  // itself instead of a thread waiting for it; -1 when the device has none.
  virtual int EventFd() const { return -1; }

  // Asks the driver to hand over received bytes at once instead of
  // batching them (USB adapters do). A device without the option ignores it.
  virtual int SetLowLatency(bool on) {
    (void)on;
    return 0;
  }
};

// The device of this system.
std::unique_ptr<TComDevice> CreatePlatformComDevice();

// Windows' own OutputDebugString is a macro of <windows.h>; ours is this one.
#ifdef OutputDebugString
#undef OutputDebugString
#endif
// Writes a diagnostic text: to stderr when HRVX3300_DEBUG is set, or to the
// sink installed (tests listen there; an empty sink restores stderr).
void OutputDebugString(const std::string& text);
void SetDebugOutput(std::function<void(const std::string&)> sink);
