// The serial ports as people know them: each device with what the adapter
// is (maker, product, serial number, USB ids, as sysfs tells them), and
// beside it the stable names udev gives it under /dev/serial/by-id.
#pragma once

#include <string>
#include <vector>

struct TComPortInfo {
  std::string Port;         // the name to open: "/dev/ttyUSB0", "/dev/serial/by-id/usb-..."
  std::string Description;  // "FTDI FT232R USB UART, serial A50285BI, USB 0403:6001"; empty when unknown
};

// The ports of EnumComPorts (under ComPortsSysfsRoot), each followed by its
// names under ComPortsDevRoot's serial/by-id. Raises what EnumComPorts
// raises when the tty class cannot be read.
void EnumComPortInfo(std::vector<TComPortInfo>& ports);
extern std::string ComPortsDevRoot;  // "/dev"; tests point it at a tree of their own

// A port list's entry: "port — description", or the port alone; and back.
std::string PortEntry(const TComPortInfo& info);
std::string PortOfEntry(const std::string& entry);
