// What a simulated module really holds, asked of the simulator rather than
// over its line, and whether a read or a write told the truth about it.
#pragma once

#include "RecordFields.h"
#include "Simulator.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

// A copy of a .dat file with some of its lines (from 1) replaced.
inline void EditDatFile(const std::string& from, const std::string& to, const std::map<int, std::string>& lines) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto replaced = lines.find(n);
    out << (replaced != lines.end() ? replaced->second : line) << "\r\n";
  }
}

// What the benchmarks write over the simulator's module: values of a
// plant's own, its IP and MAC address among them.
inline const std::map<int, std::string>& PlantLines() {
  static const std::map<int, std::string> lines = {{1, "Plant DE"}, {7, "8.25"}, {26, "10.5"}, {64, "88.5"}, {92, "41"}, {98, "EF"}};
  return lines;
}

// The load image, the network and the MAC record the simulator holds;
// false when it did not say.
inline bool HeldBy(TSimulator& sim, TModuleImage& module) {
  const std::string held = sim.Held();
  const std::size_t image = module.Image.size(), net = module.Net.size();
  if (held.size() != image + net + module.Mac.size()) return false;
  std::copy_n(held.begin(), image, module.Image.begin());
  std::copy_n(held.begin() + long(image), net, module.Net.begin());
  std::copy_n(held.begin() + long(image + net), module.Mac.size(), module.Mac.begin());
  return true;
}

// A file read from the module holds every value as the module holds it.
inline bool ReadRight(const std::string& saved, const TModuleImage& held) {
  try {
    return Compare(TConfiguration::Load(saved), held, csAll).empty();
  } catch (const std::exception&) {
    return false;  // no file, or not a whole one
  }
}

// A module written with file holds its values, and every other byte of its
// records as it held it before.
inline bool HoldsWritten(const TConfiguration& file, const TModuleImage& before, const TModuleImage& held, bool addresses) {
  std::vector<TRecordGroup> groups = {rgCh1, rgCh2, rgCh3, rgCh4, rgAux, rgSystem};
  if (addresses) groups.insert(groups.end(), {rgNet, rgMac});
  return Compare(file, held, addresses ? csSentAddresses : csSent).empty() &&
         RecordDifferences(file.Over(before, addresses), held, groups).empty();
}
