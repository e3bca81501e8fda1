// A serial port on a device server across the network, behind the same
// device interface as a local port. Two kinds of name:
//   rfc2217://host:port[?option&...]  a Telnet session with the COM port
//       control option (RFC 2217): line settings, modem lines, break and
//       purges go to the server, its line and modem state come back as the
//       events and line errors a local port raises;
//   socket://host:port  raw bytes; the settings are fixed at the server.
// Options (as pyserial's): timeout=SECONDS for connecting and for each
// answer of the server (3), ign_set_control (do not wait for answers to
// control requests), linestate=MASK (the line states reported, 0xFF... ).
// A reader thread takes what the server sends into the input queue and
// serves the reads under way. A write goes to the socket in the caller's
// call, within its write time-outs; everything sent goes in whole Telnet
// units, one sender at a time, so that a reply never lands inside data.
#pragma once

#include "ComDevice.h"
#include "ComInputQueue.h"
#include "NetSocket.h"

#include <bitset>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct TNetAddress;

class TNetComDevice final : public TComDevice {
public:
  TNetComDevice();
  ~TNetComDevice() override;

  int Open(const std::string& url) override;
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
  int Connect(const TNetAddress& address);
  void Reader();
  // Telnet: what the server sent, data bytes into the queue.
  void Decode(const std::uint8_t* bytes, std::size_t count, std::uint32_t& events, std::uint32_t& errors);
  void Negotiate(std::uint8_t command, std::uint8_t option);
  void Subnegotiation();
  // Sends a Telnet command or request whole within the time-out; what the
  // server does not take in time is owed and goes before anything else.
  int SendRaw(const std::string& bytes);
  // Send lock held: sends data (escaped for Telnet) until deadline (-1:
  // none), owed bytes and queued replies first; the data bytes that went
  // (escapes not counted) in dataSent.
  int SendData(const std::string& data, std::int64_t deadline, std::size_t& dataSent);
  int SendSome(const char* bytes, std::size_t size, std::int64_t deadline, std::size_t& sent);
  // Send lock held: the owed bytes and the replies the reader queued.
  int SendOwed(std::int64_t deadline);
  void FlushReplies();
  void Complete(TComOverlapped& ov, int error);
  // A COM-PORT-OPTION request and, for a line setting, its answer within
  // the time-out; 0, ETIMEDOUT when none came, EINVAL for another value.
  int Request(std::uint8_t command, const std::string& value, bool control);
  // Lock held: waits until answered() holds, the connection is lost or
  // closed, or the time-out passes; a window waiting on it stays alive.
  bool AwaitServer(TLock& lock, const std::function<bool()>& answered);
  void NoteControlAnswers();
  void Raise(std::uint32_t events);
  void Lose(int error);

  int Fd = -1;
  TNetProtocol Protocol = npRfc2217;
  bool IgnoreControl = false;
  int TimeoutMs = 3000;
  std::uint8_t LineStateMask = 0xFF;
  TNetWake Wake;  // wakes an event wait: events came, the mask changed
  std::thread ReaderThread;

  std::mutex SendMutex;  // one sender at a time; guards Owed
  std::string Owed;      // bytes that must go before anything else

  mutable std::mutex Mutex;  // everything below
  std::condition_variable Changed;
  TComPendingReads Reads{[this](TComOverlapped& ov, int error) { Complete(ov, error); }};
  std::string Replies;  // option refusals the reader queued
  std::bitset<256> Refused[2];  // options refused: [0] DO, [1] WILL; said once
  TComInputQueue Input;
  TCommTimeouts Timeouts{};
  std::uint32_t Mask = 0;
  std::uint32_t Pending = 0;
  std::uint32_t PendingErrors = 0;
  std::uint32_t Modem = 0;
  bool Lost = false;
  int LostError = 0;
  bool Closing = false;
  // Telnet decoding state, and the server's answers by command.
  int TelnetState = 0;
  std::string SubBuffer;
  std::map<std::uint8_t, std::string> Answers;
  bool ControlAsked = false;
  bool WarnedControl = false;
};
