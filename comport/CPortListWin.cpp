// The serial ports of a Windows machine: the system's list of COM ports
// (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM), each with the
// driver's device behind it (\Device\Serial0, \Device\VCP0, ...).
#include "CPortList.h"
#include "CPortTexts.h"
#include "CPort.h"

#include <algorithm>
#include <cstdlib>

#include <windows.h>

namespace {

// COM2 before COM10.
bool PortOrder(const TComPortInfo& a, const TComPortInfo& b) {
  const auto number = [](const std::string& port) {
    return port.size() > 3 && _strnicmp(port.c_str(), "COM", 3) == 0 ? std::atoi(port.c_str() + 3) : 0;
  };
  const int na = number(a.Port), nb = number(b.Port);
  return na != nb ? na < nb : _stricmp(a.Port.c_str(), b.Port.c_str()) < 0;
}

}  // namespace

void EnumComPortInfo(std::vector<TComPortInfo>& ports) {
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
  if (opened == ERROR_FILE_NOT_FOUND) {
    ports.clear();  // the key is there once a port is
    return;
  }
  if (opened != ERROR_SUCCESS) throw EComPortExt("EnumComPorts", CError_RegError, int(opened));
  std::vector<TComPortInfo> found;
  for (DWORD index = 0;; ++index) {
    char name[256], data[256];
    DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
    const LONG result = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result == ERROR_MORE_DATA) continue;  // not a port's name
    if (result != ERROR_SUCCESS) {
      RegCloseKey(key);
      throw EComPortExt("EnumComPorts", CError_RegError, int(result));
    }
    if (type != REG_SZ || dataSize == 0) continue;
    data[dataSize] = '\0';  // the stored text need not end with one
    found.push_back({data, name});
  }
  RegCloseKey(key);
  std::sort(found.begin(), found.end(), PortOrder);
  ports = std::move(found);
}

void EnumComPorts(std::vector<std::string>& ports) {
  std::vector<TComPortInfo> info;
  EnumComPortInfo(info);
  ports.clear();
  for (const TComPortInfo& port : info) ports.push_back(port.Port);
}

bool ComPortPresent(const std::string& port) {
  // \\.\COM5 and COM5 name the same device, which the system knows by
  // COM5: as a DOS device name, or in its list of COM ports. Never opened
  // to find out: an open may change the modem lines.
  const std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
  char target[512];
  if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) return true;
  std::vector<std::string> ports;
  try {
    EnumComPorts(ports);
  } catch (const EComPort&) {
    return false;
  }
  return std::any_of(ports.begin(), ports.end(), [&](const std::string& p) { return _stricmp(p.c_str(), name.c_str()) == 0; });
}
