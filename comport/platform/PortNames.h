// A port's name: a local serial device, or a device server's port named
// by one of the network schemes. Each scheme is written here once; the
// device, the advice, the setup dialog and the programs' help take it from
// here.
#pragma once

#include <string>

// How a network port carries the line.
enum TNetProtocol {
  npRfc2217,  // Telnet with the COM port control option: settings, modem lines, break
  npRaw,      // raw bytes; the line is set at the server
};

struct TPortScheme {
  const char* Prefix;  // what the name begins with
  TNetProtocol Protocol;
  const char* Carries;  // in help texts
};

inline constexpr TPortScheme PortSchemes[] = {
    {"rfc2217://", npRfc2217, "RFC 2217"},
    {"socket://", npRaw, "raw TCP"},
};

// The scheme port's name begins with; nullptr for a local port.
const TPortScheme* PortSchemeOf(const std::string& port);
inline bool IsNetworkPortName(const std::string& port) { return PortSchemeOf(port) != nullptr; }

// How network ports are named, for help and advice: "rfc2217://host:port
// or socket://host:port", with what each carries when carries is set.
std::string NetworkPortForms(const char* host = "host", const char* port = "port", bool carries = false);

// The device path of a port name. On Windows \\.\NAME (\\.\COM12), a
// path given as such as it is; elsewhere an absolute path as it is, COMn as
// /dev/ttyS(n-1), any other name under /dev. Network ports' names as they are.
std::string ComDevicePath(const std::string& port);

// A port's name as the user knows it, for titles: COM12 on Windows (not
// \\.\COM12), the device path elsewhere (/dev/ttyUSB0 for ttyUSB0).
std::string ComDisplayName(const std::string& port);

// How a local port is named on this system, for help texts: "a COM port
// such as COM5 (\\.\COM12 ...)" on Windows, device paths elsewhere.
const char* LocalPortForms();
