#include "PosixLine.h"

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

TPosixLine TranslateDCB(const TDCB& dcb, bool realLine) {
  TPosixLine line;
  static const tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
  line.CFlags = CREAD | CLOCAL | (dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? Sizes[dcb.ByteSize - 5] : CS8);
  switch (dcb.Parity) {
    case 1: line.CFlags |= PARENB | PARODD; break;           // odd
    case 2: line.CFlags |= PARENB; break;                    // even
    case 3: line.CFlags |= PARENB | PARODD | CMSPAR; break;  // mark
    case 4: line.CFlags |= PARENB | CMSPAR; break;           // space
    default: break;
  }
  if (dcb.StopBits != 0) line.CFlags |= CSTOPB;  // 1.5 stop bits go out as 2
  line.RtsControl = (dcb.Flags & dcb_RTSControlMask) >> dcb_RTSControlShift;
  if ((dcb.Flags & dcb_OutxCTSFlow) || line.RtsControl == 2) line.CFlags |= CRTSCTS;
  if (dcb.Flags & dcb_OutX) line.IFlags |= IXON;
  if (dcb.Flags & dcb_InX) line.IFlags |= IXOFF;
  line.XonChar = static_cast<cc_t>(dcb.XonChar);
  line.XoffChar = static_cast<cc_t>(dcb.XoffChar);

  // On a real line every error and break is marked in-band and decoded by
  // the input queue, so none reaches the data as a stray byte. Checking is
  // always on: without the block's parity check a marked byte is delivered
  // as it came.
  line.Rules.Marks = realLine;
  if (realLine) line.IFlags |= INPCK | PARMRK;
  const bool check = (dcb.Flags & dcb_ParityCheck) && dcb.Parity != 0;
  line.Rules.ErrorIsParity = check;
  line.Rules.Replace = check && (dcb.Flags & dcb_ErrorChar);
  line.Rules.ReplaceChar = static_cast<std::uint8_t>(dcb.ErrorChar);
  line.Rules.DiscardNull = dcb.Flags & dcb_NullStrip;
  line.Rules.EventChar = static_cast<std::uint8_t>(dcb.EvtChar);

  line.Speed = dcb.BaudRate;
  line.Custom = StandardSpeed(dcb.BaudRate) == B0;
  line.Dtr = ((dcb.Flags & dcb_DTRControlMask) >> dcb_DTRControlShift) != 0;
  return line;
}
