// A whole module configuration held by control name, as the .dat file and
// the window's controls hold it, and its conversion to and from what the
// module keeps (the load image and the two address records). The command
// line and the simulator work on it; the window keeps its own handlers.
#pragma once

#include "ConfigFile.h"
#include "DeviceRecords.h"

#include <map>
#include <string>
#include <vector>

// What a module keeps, as the protocol reads it.
struct TModuleImage {
  TLoadImage Image{};
  TNetRecord Net{};
  TMacRecord Mac{};
};

class TConfiguration {
public:
  std::map<std::string, TConfigValue> Values;  // by control name

  // Reads a .dat file ("-": standard input) with the window's rules, and
  // refuses what is no configuration: a file that lacks any of its first 88
  // lines (the window would stop reading there), or goes on after the 98th.
  static TConfiguration Load(const std::string& path);
  // The same for a file's text; name says where it came from in messages.
  static TConfiguration Parse(const std::string& text, const std::string& name);
  // Writes the 98 lines as the window's Save does (atomically), or to out.
  void Save(const std::string& path) const;
  void Write(std::ostream& out) const;

  // The configuration the window shows after a Connect, a Net Config Load
  // and a MAC Load of a module holding image (a list index outside its list
  // shows as no selection), but with every float exactly as the module
  // holds it (9.54 where the window shows 9.5), so that sending it back,
  // or comparing with it, changes and hides nothing.
  static TConfiguration FromModule(const TModuleImage& image);
  // What a module holds once it has taken this configuration: the records
  // the window's send commands build. A text that does not convert raises
  // the conversion error; the serial number goes out only with serial.
  TModuleImage ToModule(bool serial = true) const;
  // What a module that now holds module holds once it has taken this
  // configuration, when each record is built over the module's own: what
  // the file does not hold (reserved bytes, the temperature input kind,
  // the serial number) stays as the module has it. The address records
  // change only with addresses.
  TModuleImage Over(const TModuleImage& module, bool addresses) const;

  // The records one at a time (channel from 1 to 4), each built over base.
  TChannelRecord ChannelRecord(int channel, const TChannelRecord& base = {}) const;
  TAuxRecord AuxRecord(const TAuxRecord& base = {}) const;
  TSystemRecord SystemRecord(bool serial, const TSystemRecord& base = {}) const;
  TNetRecord NetRecord(const TNetRecord& base = {}) const;
  TMacRecord MacRecord(const TMacRecord& base = {}) const;

  // A value as the window shows it: the text, the list item ("(none)" for
  // no selection), or "checked" / "not checked".
  std::string Shown(const TConfigLine& line) const;

private:
  const TConfigValue& At(const std::string& control) const;
  TAuxRecord AuxRecord(const TAuxRecord& base, bool millivolt) const;
  int Index(const std::string& control) const;
  TChannelControls Channel(int channel) const;
};

// One field that differs between a file and a module.
struct TDifference {
  std::string Caption;  // "CH2 Alarm Setting Danger"
  std::string File;     // as the window shows the file's value
  std::string Module;   // as the window shows the module's value
};

// Which fields a comparison looks at.
enum TCompareScope {
  csAll,            // every line of the file
  csSent,           // what a write sends: channels, AUX, SYSTEM without the serial number
  csSentAddresses,  // the same and the IP and MAC addresses
};

// The fields where the module differs from the file, in file order: every
// value exactly as the module would hold it (a float to its last bit; the
// file's side is shown as the file writes it). The file's side raises the
// conversion error of a value that does not convert; a value the module
// cannot hold (InvalidValues) must have been refused before.
std::vector<TDifference> Compare(const TConfiguration& file, const TModuleImage& module, TCompareScope scope);
