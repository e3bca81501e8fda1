// A port list's entries, on every system.
#include "CPortList.h"

namespace {

const std::string Separator = " \u2014 ";

}  // namespace

std::string PortEntry(const TComPortInfo& info) {
  return info.Description.empty() ? info.Port : info.Port + Separator + info.Description;
}

std::string PortOfEntry(const std::string& entry) { return entry.substr(0, entry.find(Separator)); }
