#include "PortNames.h"

#include <cstdlib>

const TPortScheme* PortSchemeOf(const std::string& port) {
  for (const TPortScheme& scheme : PortSchemes)
    if (port.rfind(scheme.Prefix, 0) == 0) return &scheme;
  return nullptr;
}

std::string NetworkPortForms(const char* host, const char* port, bool carries) {
  std::string forms;
  for (const TPortScheme& scheme : PortSchemes) {
    if (!forms.empty()) forms += &scheme == std::end(PortSchemes) - 1 ? " or " : ", ";
    forms += std::string(scheme.Prefix) + host + ":" + port;
    if (carries) forms += std::string(" (") + scheme.Carries + ")";
  }
  return forms;
}

#ifdef _WIN32
std::string ComDisplayName(const std::string& port) {
  const std::string path = ComDevicePath(port);
  return path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
}

const char* LocalPortForms() { return "a COM port such as COM5 (or \\\\.\\COM12, a device path)"; }

std::string ComDevicePath(const std::string& port) {
  // A path (\\.\COM12, \\.\pipe\line, C:\...) is taken as it is.
  if (IsNetworkPortName(port) || port.find_first_of("/\\:") != std::string::npos) return port;
  return "\\\\.\\" + port;
}
#else
std::string ComDisplayName(const std::string& port) { return ComDevicePath(port); }

const char* LocalPortForms() {
  return "a device path such as /dev/ttyUSB0, a name\nunder /dev such as ttyUSB0, COMn for /dev/ttyS(n-1)";
}

std::string ComDevicePath(const std::string& port) {
  if ((!port.empty() && port[0] == '/') || IsNetworkPortName(port)) return port;
  if (port.size() > 3 && (port.compare(0, 3, "COM") == 0 || port.compare(0, 3, "com") == 0) &&
      port.find_first_not_of("0123456789", 3) == std::string::npos) {
    const int n = std::atoi(port.c_str() + 3);
    if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return "/dev/" + port;
}
#endif
