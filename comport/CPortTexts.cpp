#include "CPortTexts.h"
#include "ComDevice.h"
#include "PortNames.h"

#ifdef _WIN32
#include "WinSystem.h"

#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

namespace {

const char* const BaudRateTexts[] = {"Custom", "110",   "300",   "600",   "1200",   "2400",   "4800",   "9600",
                                     "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
const char* const StopBitsTexts[] = {"1", "1.5", "2"};
const char* const DataBitsTexts[] = {"5", "6", "7", "8"};
const char* const ParityTexts[] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const FlowControlTexts[] = {"Hardware", "Software", "None", "Custom"};
const char* const DTRTexts[] = {"Disable", "Enable", "Handshake"};
const char* const RTSTexts[] = {"Disable", "Enable", "Handshake", "Toggle"};

std::string NoDeviceAdvice(const std::string& port) {
  return "There is no device " + port + ": is the adapter plugged in, and is the name right?";
}
std::string InUseAdvice(const std::string& port) { return port + " is in use by another program."; }
std::string NotSerialAdvice(const std::string& port) { return port + " is not a serial device."; }

// A serial device's error that means it is no longer there.
bool DeviceWentAway(int error) {
#ifdef _WIN32
  // A pulled USB adapter fails its calls with one of these, by driver.
  return error == ERROR_BAD_COMMAND || error == ERROR_GEN_FAILURE || error == ERROR_ACCESS_DENIED ||
         error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEVICE_REMOVED || error == ERROR_IO_DEVICE ||
         error == ERROR_NOT_READY || error == ERROR_FILE_NOT_FOUND;
#else
  return error == EIO || error == ENXIO || error == ENODEV;
#endif
}

// The system's words for an error: a network port's are errno values on
// every system, a serial device's the system's own codes.
std::string SystemErrorText(int error, bool network) {
#ifdef _WIN32
  if (!network) return WindowsErrorText(unsigned(error));
#else
  (void)network;
#endif
  return std::strerror(error);
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return text;
}

// The ordinal of the first text equal to text without regard to case, or fallback.
template <class E, std::size_t N>
E Parse(const std::string& text, const char* const (&texts)[N], E fallback) {
  const std::string wanted = Upper(text);
  for (std::size_t i = 0; i < N; ++i)
    if (Upper(texts[i]) == wanted) return E(i);
  return fallback;
}

template <std::size_t N>
std::string Text(const char* const (&texts)[N], int ordinal) {
  return ordinal >= 0 && std::size_t(ordinal) < N ? texts[ordinal] : "";
}

}  // namespace

std::string BaudRateToStr(TBaudRate value) { return Text(BaudRateTexts, value); }
std::string StopBitsToStr(TStopBits value) { return Text(StopBitsTexts, value); }
std::string DataBitsToStr(TDataBits value) { return Text(DataBitsTexts, value); }
std::string ParityToStr(TParityBits value) { return Text(ParityTexts, value); }
std::string FlowControlToStr(TFlowControl value) { return Text(FlowControlTexts, value); }
std::string DTRControlToStr(TDTRFlowControl value) { return Text(DTRTexts, value); }
std::string RTSControlToStr(TRTSFlowControl value) { return Text(RTSTexts, value); }
std::string YesNoToStr(bool value) { return value ? "Yes" : "No"; }

std::string CharSettingToStr(char value) {
  const int code = static_cast<unsigned char>(value);
  if (code >= 33 && code <= 127) return std::string(1, value);
  return "#" + std::to_string(code);
}

int BaudRateToInt(TBaudRate value) { return BaudRateValue(value); }

TBaudRate StrToBaudRate(const std::string& text) { return Parse(text, BaudRateTexts, br9600); }
TStopBits StrToStopBits(const std::string& text) { return Parse(text, StopBitsTexts, sbOneStopBit); }
TDataBits StrToDataBits(const std::string& text) { return Parse(text, DataBitsTexts, dbEight); }
TParityBits StrToParity(const std::string& text) { return Parse(text, ParityTexts, prNone); }
TFlowControl StrToFlowControl(const std::string& text) { return Parse(text, FlowControlTexts, fcCustom); }
TDTRFlowControl StrToDTRControl(const std::string& text) { return Parse(text, DTRTexts, dtrDisable); }
TRTSFlowControl StrToRTSControl(const std::string& text) { return Parse(text, RTSTexts, rtsDisable); }
bool StrToYesNo(const std::string& text) { return Upper(text) == "YES"; }

char StrToCharSetting(const std::string& text) {
  if (text.empty()) return 0;
  if (text[0] == '#' && text.size() >= 2) {
    int code = 0;
    return TryStrToInt(text.substr(1), code) ? char(code & 0xFF) : 0;
  }
  return text[0];
}


std::string OpenFailureAdvice(const std::string& port, int osError) {
  if (IsNetworkPortName(port)) {
    switch (osError) {
      case ECONNREFUSED:
        return "Nothing takes connections at " + port + ": is the device server on, and are the address and the port number right?";
      case ETIMEDOUT:
        return "The device server at " + port + " did not answer in time: can this computer reach it? (?timeout=SECONDS in the name waits longer.)";
      case EHOSTUNREACH:
      case ENETUNREACH:
        return "The host of " + port + " could not be found or reached: is the name right, and is this computer on its network?";
      case ECONNRESET:
        return "The device server at " + port + " closed the connection (is another program connected to that port?).";
      case EINVAL:
        return port + " is not a network port's name: write " + NetworkPortForms() +
               ", options after \"?\" (timeout=SECONDS, ign_set_control, linestate=MASK).";
      default: return {};
    }
  }
  // The serial device's errors are the system's: errno values here, the
  // system's error codes on Windows.
#ifdef _WIN32
  switch (osError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME: return NoDeviceAdvice(port);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return InUseAdvice(port);
    case ERROR_INVALID_FUNCTION: return NotSerialAdvice(port);
    default: return {};
  }
#else
  switch (osError) {
    case EACCES:
    case EPERM:
      return "Permission denied: your user may not use " + port +
             ". Serial devices belong to a group (on Debian usually \"dialout\"); join it with "
             "\"sudo adduser $USER dialout\" and log in again.";
    case ENOENT:
    case ENODEV:
    case ENXIO: return NoDeviceAdvice(port);
    case EBUSY: return InUseAdvice(port);
    case ENOTTY: return NotSerialAdvice(port);
    default: return {};
  }
#endif
}

std::string ComErrorText(const EComPort& error) {
  const auto* ext = dynamic_cast<const EComPortExt*>(&error);
  if (!ext || ext->OsErrorCode == 0) return error.what();
  const bool network = IsNetworkPortName(ext->Port);
  std::string reason;
  if (ext->PortErrorCode == CError_OpenFailed) reason = OpenFailureAdvice(ComDevicePath(ext->Port), ext->OsErrorCode);
  else if (network ? ext->OsErrorCode == EIO : DeviceWentAway(ext->OsErrorCode))
    reason = "The device went away (an adapter pulled out, or the far end of the line closed).";
  if (reason.empty() && ext->OsErrorCode > 0) reason = "The system says: " + SystemErrorText(ext->OsErrorCode, network) + ".";
  return reason.empty() ? std::string(error.what()) : std::string(error.what()) + "\n" + reason;
}
