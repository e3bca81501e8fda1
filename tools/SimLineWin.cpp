#include "SimLine.h"

#include "WinSystem.h"

#include <windows.h>

namespace {

class TWinLine : public TSimLine {
public:
  explicit TWinLine(HANDLE port) : Port(port) {}
  ~TWinLine() override { CloseHandle(Port); }

  int ReadByte(int timeoutMs) override {
    // One byte or the time-out: the plain total time-out, whose meaning
    // every implementation of the calls shares.
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = timeoutMs < 0 ? 1000 : DWORD(timeoutMs > 0 ? timeoutMs : 1);
    if (!SetCommTimeouts(Port, &t)) return -2;
    unsigned char b;
    DWORD n = 0;
    if (!ReadFile(Port, &b, 1, &n, nullptr)) return -2;
    return n == 1 ? b : -1;
  }

  bool Write(const std::string& bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD n = 0;
      if (!WriteFile(Port, bytes.data() + done, DWORD(bytes.size() - done), &n, nullptr)) return false;
      done += n;
    }
    return true;
  }

private:
  HANDLE Port;
};

}  // namespace

std::unique_ptr<TSimLine> OpenSimLine(const std::string& device, std::string& error) {
  if (device.empty()) {
    error = "name the COM port to serve with --port COMn";
    return nullptr;
  }
  const std::string path = device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    error = device + ": " + WindowsErrorText(GetLastError());
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
  dcb.fOutX = dcb.fInX = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(port, &dcb)) {
    error = device + ": " + WindowsErrorText(GetLastError());
    CloseHandle(port);
    return nullptr;
  }
  auto line = std::make_unique<TWinLine>(port);
  line->Path = device;
  return line;
}
