// How a line configuration block reads on a POSIX terminal: the termios
// flags, the speed, what the modem lines do, and the rules of the device's
// input queue. Pure translation; PosixComDevice.cpp applies it.
#pragma once

#include "ComDevice.h"
#include "ComInputQueue.h"
#include "PosixTermios2.h"

#include <termios.h>

struct TPosixLine {
  // Flags to set over raw mode: the character format and hardware flow
  // control, and the input flags (software flow control, error marks).
  tcflag_t CFlags = 0;
  tcflag_t IFlags = 0;
  cc_t XonChar = 0;
  cc_t XoffChar = 0;
  std::uint32_t Speed = 0;    // bits per second, both directions
  bool Custom = false;        // outside the termios table: set through termios2
  bool Dtr = false;           // DTR held on (handshake holds it on too)
  std::uint32_t RtsControl = 0;  // 0 off, 1 on, 2 handshake, 3 toggle
  TComInputRules Rules;       // marks, replacement, null stripping, event character
};

// Every flag TranslateDCB may set: cleared before its flags are applied.
constexpr tcflag_t LineCFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CIBAUD;
constexpr tcflag_t LineIFlags = IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | IGNBRK | BRKINT | ISTRIP;

// The termios table's code for a speed, or B0 when it has none.
speed_t StandardSpeed(std::uint32_t rate);

// realLine: a line that can have errors (not a pseudo-terminal), whose
// errors and breaks then come in-band as the kernel's marks.
TPosixLine TranslateDCB(const TDCB& dcb, bool realLine);
