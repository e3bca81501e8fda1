// The serial ports of a Linux machine: the tty class in sysfs, what the USB
// device above each says of itself, and udev's stable names.
#include "CPortList.h"
#include "CPortTexts.h"
#include "ComDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

std::string ComPortsDevRoot = "/dev";

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Whether the tty class entry name (with its folder dir) is a usable serial port.
bool IsSerialPort(const std::string& name, const std::string& dir) {
  if (name.rfind("rfcomm", 0) == 0) return true;  // Bluetooth links are virtual devices
  if (!Exists(dir + "/device")) return false;     // consoles, ptys and other virtual ttys
  if (name.rfind("ttyS", 0) == 0) {
    // The serial core lists every possible on-board port; those with no UART
    // behind them have type 0 (unknown).
    const std::string type = FirstLine(dir + "/type");
    return !type.empty() && type != "0";
  }
  return true;
}

std::string Attribute(const fs::path& dir, const char* name) {
  std::ifstream in(dir / name);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// What the USB device above a tty's device folder says of itself; empty for
// ports that are not on USB.
std::string UsbDescription(const std::string& tty) {
  std::error_code error;
  fs::path dir = fs::canonical(fs::path(ComPortsSysfsRoot) / "class/tty" / tty / "device", error);
  if (error) return "";
  for (int up = 0; up < 4 && !dir.empty(); ++up, dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", error)) continue;
    std::string text = Attribute(dir, "manufacturer");
    const std::string product = Attribute(dir, "product");
    if (!product.empty()) text += (text.empty() ? "" : " ") + product;
    const std::string serial = Attribute(dir, "serial");
    if (!serial.empty()) text += (text.empty() ? "serial " : ", serial ") + serial;
    text += (text.empty() ? "USB " : ", USB ") + Attribute(dir, "idVendor") + ":" + Attribute(dir, "idProduct");
    return text;
  }
  return "";
}

}  // namespace

void EnumComPortInfo(std::vector<TComPortInfo>& ports) {
  std::vector<std::string> devices;
  EnumComPorts(devices);
  // The stable names, by the tty they lead to.
  std::multimap<std::string, std::string> byId;
  std::error_code error;
  const fs::path idDir = fs::path(ComPortsDevRoot) / "serial/by-id";
  for (fs::directory_iterator it(idDir, error), end; !error && it != end; it.increment(error)) {
    const fs::path target = fs::read_symlink(it->path(), error);
    if (!error) byId.emplace(target.filename().string(), "/dev/serial/by-id/" + it->path().filename().string());
    error.clear();
  }
  std::vector<TComPortInfo> found;
  for (const std::string& device : devices) {
    const std::string tty = fs::path(device).filename().string();
    const std::string description = UsbDescription(tty);
    found.push_back({device, description});
    const auto [first, last] = byId.equal_range(tty);
    std::vector<std::string> names;
    for (auto i = first; i != last; ++i) names.push_back(i->second);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) found.push_back({name, description});
  }
  ports = std::move(found);
}

void EnumComPorts(std::vector<std::string>& ports, const std::string& sysfsRoot) {
  const std::string classDir = sysfsRoot + "/class/tty";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(classDir.c_str()), ::closedir);
  if (!dir) throw EComPortExt("EnumComPorts", CError_RegError, errno);
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (IsSerialPort(name, classDir + "/" + name)) found.push_back("/dev/" + name);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) < 0; });
  ports = std::move(found);
}

std::string ComPortsSysfsRoot = "/sys";

void EnumComPorts(std::vector<std::string>& ports) { EnumComPorts(ports, ComPortsSysfsRoot); }

bool ComPortPresent(const std::string& port) { return Exists(ComDevicePath(port)); }
