// Shared types of the serial port component: the setting enumerations, the
// event, signal and error sets, and the component's exceptions.
#pragma once

#include "SysUtils.h"

#include <cstdint>
#include <initializer_list>
#include <string>

// A set over an enumeration whose ordinals are bit numbers (as the
// component's event, signal, error and stored-group sets are).
template <class E>
class TSet {
public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E e : items) Bits |= Bit(e);
  }
  static constexpr TSet FromBits(std::uint32_t bits) {
    TSet s;
    s.Bits = bits;
    return s;
  }
  constexpr bool Contains(E e) const { return (Bits & Bit(e)) != 0; }
  constexpr bool Empty() const { return Bits == 0; }
  constexpr TSet& Include(E e) {
    Bits |= Bit(e);
    return *this;
  }
  constexpr TSet& Exclude(E e) {
    Bits &= ~Bit(e);
    return *this;
  }
  constexpr std::uint32_t ToBits() const { return Bits; }
  constexpr bool operator==(const TSet&) const = default;
  constexpr TSet operator+(TSet other) const { return FromBits(Bits | other.Bits); }

private:
  static constexpr std::uint32_t Bit(E e) { return std::uint32_t(1) << static_cast<int>(e); }
  std::uint32_t Bits = 0;
};

enum TBaudRate : std::uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : std::uint8_t {
  evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
using TComEvents = TSet<TComEvent>;
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone, smDisableEvents };
enum TThreadPriority : std::uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
enum TStoredProp : std::uint8_t { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
using TStoredProps = TSet<TStoredProp>;

enum TComSignal : std::uint8_t { csCTS, csDSR, csRing, csRLSD };
using TComSignals = TSet<TComSignal>;
enum TComError : std::uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
using TComErrors = TSet<TComError>;
enum TComLinkEvent : std::uint8_t { leConn, leCTS, leDSR, leRLSD, leRing, leRx, leTx, leTxEmpty, leRxFlag };

inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x3FF);

// Bits per second of a fixed rate (0 for brCustom).
int BaudRateValue(TBaudRate rate);

// Library error codes.
enum : int {
  CError_OpenFailed = 1, CError_WriteFailed, CError_ReadFailed, CError_InvalidAsync, CError_PurgeFailed,
  CError_AsyncCheck, CError_SetStateFailed, CError_TimeoutsFailed, CError_SetupComFailed, CError_ClearComFailed,
  CError_ModemStatFailed, CError_EscapeComFailed, CError_TransmitFailed, CError_ConnChangeProp, CError_EnumPortsFailed,
  CError_StoreFailed, CError_LoadFailed, CError_RegFailed, CError_LedStateFailed, CError_ThreadCreated,
  CError_WaitFailed, CError_HasLink, CError_RegError
};

// The message text of a library error code.
std::string ComErrorMessage(int code);

// A failure of the serial port component, with its library code.
class EComPort : public Exception {
public:
  // "<port> Error: <message of code>"
  EComPort(const std::string& port, int code);
  // A message alone; the code is 0.
  explicit EComPort(const std::string& message) : Exception(message) {}
  std::uint8_t PortErrorCode = 0;
};

// A failure of an operating-system call, which also keeps the system's code.
class EComPortExt : public EComPort {
public:
  // "COM Port Error: <message of code> on <port>"
  EComPortExt(const std::string& port, int code, int osCode);
  std::int32_t OsErrorCode = 0;
  std::string Port;  // the port it concerns
};

// "<Ok>" or "<ComError:Frame,Overrun>".
std::string ComErrorsToStr(TComErrors errors);
