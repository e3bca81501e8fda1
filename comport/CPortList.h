// The serial ports as people know them: each device with what it is (on
// Linux the adapter's maker, product, serial number and USB ids as sysfs
// tells them, and beside it the stable names udev gives it under
// /dev/serial/by-id; on Windows the driver's device).
#pragma once

#include <string>
#include <vector>

struct TComPortInfo {
  std::string Port;         // the name to open: "/dev/ttyUSB0", "/dev/serial/by-id/usb-..."
  std::string Description;  // "FTDI FT232R USB UART, serial A50285BI, USB 0403:6001"; empty when unknown
};

// The ports of EnumComPorts. On Linux (under ComPortsSysfsRoot) each is
// followed by its names under ComPortsDevRoot's serial/by-id; on Windows
// each is described by the driver's device behind it. Raises what
// EnumComPorts raises when the list cannot be read.
void EnumComPortInfo(std::vector<TComPortInfo>& ports);
#ifndef _WIN32
extern std::string ComPortsDevRoot;  // "/dev"; tests point it at a tree of their own
#endif

// Whether the device of a port name is there (a pulled adapter's comes back
// with it): its device file here, its COM name on Windows.
bool ComPortPresent(const std::string& port);

// A port list's entry: "port — description", or the port alone; and back.
std::string PortEntry(const TComPortInfo& info);
std::string PortOfEntry(const std::string& entry);
