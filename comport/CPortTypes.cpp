#include "CPortTypes.h"

int BaudRateValue(TBaudRate rate) {
  static const int Values[] = {0,    110,   300,   600,   1200,  2400,   4800,   9600,
                               14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return rate <= br256000 ? Values[rate] : 0;
}

std::string ComErrorMessage(int code) {
  static const char* const Messages[] = {
      "Unable to open com port",
      "WriteFile function failed",
      "ReadFile function failed",
      "Invalid Async parameter",
      "PurgeComm function failed",
      "Unable to get async status",
      "SetCommState function failed",
      "SetCommTimeouts failed",
      "SetupComm function failed",
      "ClearCommError function failed",
      "GetCommModemStatus function failed",
      "EscapeCommFunction function failed",
      "TransmitCommChar function failed",
      "Cannot set property while connected",
      "EnumPorts function failed",
      "Failed to store settings",
      "Failed to load settings",
      "Link (un)registration failed",
      "Cannot change led state if ComPort is selected",
      "Cannot wait for event if event thread is created",
      "WaitForEvent method failed",
      "A component is linked to OnRxBuf event",
      "Registry error",
  };
  if (code >= 1 && code <= int(std::size(Messages))) return Messages[code - 1];
  return "Unknown Error #" + std::to_string(code);
}

EComPort::EComPort(const std::string& port, int code)
    : Exception(port + " Error: " + ComErrorMessage(code)) {
  PortErrorCode = static_cast<std::uint8_t>(code);
}

EComPortExt::EComPortExt(const std::string& port, int code, int osCode)
    : EComPort("COM Port Error: " + ComErrorMessage(code) + " on " + port) {
  PortErrorCode = static_cast<std::uint8_t>(code);
  OsErrorCode = osCode;
  Port = port;
}

std::string ComErrorsToStr(TComErrors errors) {
  static const char* const Names[] = {"Frame", "Parity", "Overrun", "Break", "IO", "Mode", "RxOver", "TxFull"};
  std::string text;
  for (int e = ceFrame; e <= ceTxFull; ++e) {
    if (!errors.Contains(TComError(e))) continue;
    if (!text.empty()) text += ',';
    text += Names[e];
  }
  return text.empty() ? "<Ok>" : "<ComError:" + text + ">";
}
