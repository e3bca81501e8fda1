#include "CPortList.h"
#include "CPortTexts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

std::string ComPortsDevRoot = "/dev";

namespace {

const std::string Separator = " \u2014 ";

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

std::string PortEntry(const TComPortInfo& info) {
  return info.Description.empty() ? info.Port : info.Port + Separator + info.Description;
}

std::string PortOfEntry(const std::string& entry) { return entry.substr(0, entry.find(Separator)); }
