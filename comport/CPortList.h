// The machine's serial ports: their names, and as people know them, each
// device with what it is (on Linux the adapter's maker, product, serial
// number and USB ids as sysfs tells them, and beside it the stable names
// udev gives it under /dev/serial/by-id; on Windows the driver's device).
#pragma once

#include <string>
#include <vector>

// Replaces ports with the names of the machine's serial ports. On Windows
// the system's list of COM ports (COM2 before COM10); a list that cannot be
// read raises EComPortExt code 23 with the system's error.
void EnumComPorts(std::vector<std::string>& ports);
#ifndef _WIN32
// On Linux the device paths of the serial ports, read from sysfs under
// sysfsRoot: on-board UARTs that are really there, USB adapters (ttyUSB,
// ttyACM) and Bluetooth links (rfcomm). Sorted without
// regard to letter case; duplicates kept. A tty class that cannot be read
// raises EComPortExt code 23 with the system's error, and ports keeps what
// it held.
void EnumComPorts(std::vector<std::string>& ports, const std::string& sysfsRoot);
// EnumComPorts(ports) reads them under ComPortsSysfsRoot ("/sys"; tests
// point it at a fake tree).
extern std::string ComPortsSysfsRoot;
#endif

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
