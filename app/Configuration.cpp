#include "Configuration.h"

#include "ChannelFields.h"
#include "RecordFields.h"
#include "SysUtils.h"
#include "Unit1Items.h"

#include <algorithm>
#include <sstream>

namespace {

std::string Digit(int n) { return std::to_string(n); }

// The index a list shows: one outside the list shows no selection.
int ShownIndex(const std::string& control, int index) {
  const std::size_t count = ListItems(control).size();
  return index >= 0 && std::size_t(index) < count ? index : -1;
}

}  // namespace

TConfiguration TConfiguration::Load(const std::string& path) {
  return Parse(ReadConfigText(path), path == "-" ? "standard input" : "\"" + path + "\"");
}

TConfiguration TConfiguration::Parse(const std::string& text, const std::string& name) {
  std::istringstream in(text);
  TConfiguration config;
  int read = 0;
  ReadConfig(in, [&](const TConfigLine& line, const TConfigValue& value) {
    config.Values[line.Control] = value;
    ++read;
  });
  const int lines = int(ConfigLayout().size());
  if (read < ConfigOptionalFrom)
    throw Exception(name + " is not a whole configuration: it holds " + std::to_string(read) + " of its " +
                    std::to_string(lines) + " lines");
  // Empty lines may follow; anything else is no configuration.
  for (std::string more; ReadConfigLine(in, lcText, more);)
    if (!more.empty())
      throw Exception(name + " is not a configuration: it goes on after its " + std::to_string(read) + " lines");
  return config;
}

void TConfiguration::Save(const std::string& path) const {
  SaveConfigFile(path, [this](const TConfigLine& line) { return At(line.Control); });
}

void TConfiguration::Write(std::ostream& out) const {
  WriteConfig(out, [this](const TConfigLine& line) { return At(line.Control); });
}

const TConfigValue& TConfiguration::At(const std::string& control) const {
  const auto it = Values.find(control);
  if (it == Values.end()) throw Exception("The configuration has no value for " + ControlCaption(control));
  return it->second;
}

// A list's index as the window holds it after opening the file, and sends.
int TConfiguration::Index(const std::string& control) const { return ShownIndex(control, At(control).Number); }

TChannelControls TConfiguration::Channel(int ch) const {
  const std::string d = Digit(ch);
  TChannelControls c;
  for (const TChannelField& f : ChannelFields()) {
    const std::string control = f.Control + d;
    switch (f.Kind) {
      case cfList: IndexOf(c, f) = Index(control); break;
      case cfCheck: FlagOf(c, f) = At(control).Number != 0; break;
      case cfText:
      case cfFloat:
      case cfCurrentMin: TextOf(c, f) = At(control).Text; break;
    }
  }
  return c;
}

TChannelRecord TConfiguration::ChannelRecord(int channel, const TChannelRecord& base) const {
  TChannelRecord record = base;
  TChannelControls c = Channel(channel);
  EncodeChannelRecord(c, record);
  return record;
}

TAuxRecord TConfiguration::AuxRecord(const TAuxRecord& base) const { return AuxRecord(base, false); }

TAuxRecord TConfiguration::AuxRecord(const TAuxRecord& base, bool millivolt) const {
  TAuxControls aux;
  aux.TempMillivolt = millivolt;
  aux.UsedTemp = Index("ComboBox_Used_Temp");
  aux.UsedRpm = Index("ComboBox_Used_Rpm");
  aux.CntRpm = Index("ComboBox_Cnt_Rpm");
  aux.SpeedH1 = At("Edit_Speed_H1").Text;
  aux.SpeedL1 = At("Edit_Speed_L1").Text;
  aux.EvCnt = Index("ComboBox_EvCnt");
  TAuxRecord record = base;
  EncodeAuxRecord(aux, record);
  return record;
}

TSystemRecord TConfiguration::SystemRecord(bool serial, const TSystemRecord& base) const {
  TSystemControls sys;
  sys.Node = At("Edit_Node1").Text;
  sys.Baud = Index("ComboBox_Com_Baud_S1");
  sys.Data = Index("ComboBox_Com_Data_S1");
  sys.Stop = Index("ComboBox_Com_Stop_S1");
  sys.Parity = Index("ComboBox_Com_Parity_S1");
  sys.SerialEnabled = serial;
  sys.Serial = At("Edit_Serial_Nu_Ch1").Text;
  TSystemRecord record = base;
  EncodeSystemRecord(sys, record);
  return record;
}

TNetRecord TConfiguration::NetRecord(const TNetRecord& base) const {
  std::string ip[4];
  for (int k = 0; k < 4; ++k) ip[k] = At("Edit_Src_Ip" + Digit(k + 1)).Text;
  TNetRecord record = base;
  EncodeNetRecord(ip, record);
  return record;
}

TMacRecord TConfiguration::MacRecord(const TMacRecord& base) const {
  std::string mac[6];
  for (int k = 0; k < 6; ++k) mac[k] = At("Edit_Mac" + Digit(k + 1)).Text;
  TMacRecord record = base;
  EncodeMacRecord(mac, record);
  return record;
}

TModuleImage TConfiguration::Over(const TModuleImage& module, bool addresses) const {
  TModuleImage m = module;
  for (int ch = 1; ch <= 4; ++ch) {
    TChannelRecord base;
    std::copy_n(module.Image.begin() + LoadChannelOffsetOf(ch - 1), base.size(), base.begin());
    const TChannelRecord r = ChannelRecord(ch, base);
    std::copy(r.begin(), r.end(), m.Image.begin() + LoadChannelOffsetOf(ch - 1));
  }
  TAuxRecord aux;
  std::copy_n(module.Image.begin() + LoadAuxOffset, aux.size(), aux.begin());
  aux = AuxRecord(aux, TempMillivoltOf(aux.data()));
  std::copy(aux.begin(), aux.end(), m.Image.begin() + LoadAuxOffset);
  // The serial number is the module's: the record goes out without it.
  TSystemRecord sys;
  std::copy_n(module.Image.begin() + LoadSystemOffset, sys.size(), sys.begin());
  const TSystemRecord sent = SystemRecord(false, sys);
  std::copy(sent.begin() + TextFieldSize, sent.end(), m.Image.begin() + LoadSystemOffset + TextFieldSize);
  if (addresses) {
    m.Net = NetRecord(module.Net);
    m.Mac = MacRecord(module.Mac);
  }
  return m;
}

TModuleImage TConfiguration::ToModule(bool serial) const {
  TModuleImage m;
  for (int ch = 1; ch <= 4; ++ch) {
    const TChannelRecord r = ChannelRecord(ch);
    std::copy(r.begin(), r.end(), m.Image.begin() + LoadChannelOffsetOf(ch - 1));
  }
  const TAuxRecord aux = AuxRecord();
  std::copy(aux.begin(), aux.end(), m.Image.begin() + LoadAuxOffset);
  const TSystemRecord sys = SystemRecord(serial);
  std::copy(sys.begin(), sys.end(), m.Image.begin() + LoadSystemOffset);
  if (Values.count("Edit_Src_Ip1")) m.Net = NetRecord();
  if (Values.count("Edit_Mac1")) m.Mac = MacRecord();
  return m;
}

TConfiguration TConfiguration::FromModule(const TModuleImage& m) {
  TConfiguration config;
  const auto text = [&](const std::string& control, const std::string& value) { config.Values[control].Text = value; };
  const auto index = [&](const std::string& control, int value) {
    config.Values[control].Number = ShownIndex(control, value);
  };
  const auto check = [&](const std::string& control, bool value) { config.Values[control].Number = value ? 1 : 0; };
  for (int ch = 1; ch <= 4; ++ch) {
    const std::string d = Digit(ch);
    const TChannelControls c = DecodeChannelRecord(m.Image.data() + LoadChannelOffsetOf(ch - 1), true);
    for (const TChannelField& f : ChannelFields()) {
      switch (f.Kind) {
        case cfList: index(f.Control + d, IndexOf(c, f)); break;
        case cfCheck: check(f.Control + d, FlagOf(c, f)); break;
        case cfText:
        case cfFloat:
        case cfCurrentMin: text(f.Control + d, TextOf(c, f)); break;
      }
    }
  }
  const TAuxControls aux = DecodeAuxRecord(m.Image.data() + LoadAuxOffset, true);
  index("ComboBox_Used_Temp", aux.UsedTemp);
  index("ComboBox_Used_Rpm", aux.UsedRpm);
  index("ComboBox_Cnt_Rpm", aux.CntRpm);
  text("Edit_Speed_H1", aux.SpeedH1);
  text("Edit_Speed_L1", aux.SpeedL1);
  index("ComboBox_EvCnt", aux.EvCnt);
  const TSystemControls sys = DecodeSystemRecord(m.Image.data() + LoadSystemOffset);
  text("Edit_Node1", sys.Node);
  index("ComboBox_Com_Baud_S1", sys.Baud);
  index("ComboBox_Com_Data_S1", sys.Data);
  index("ComboBox_Com_Stop_S1", sys.Stop);
  index("ComboBox_Com_Parity_S1", sys.Parity);
  text("Edit_Serial_Nu_Ch1", sys.Serial);
  const auto ip = DecodeNetAddress(m.Net);
  for (int k = 0; k < 4; ++k) text("Edit_Src_Ip" + Digit(k + 1), ip[std::size_t(k)]);
  const auto mac = DecodeMacAddress(m.Mac);
  for (int k = 0; k < 6; ++k) text("Edit_Mac" + Digit(k + 1), mac[std::size_t(k)]);
  return config;
}

std::string TConfiguration::Shown(const TConfigLine& line) const {
  const TConfigValue& v = At(line.Control);
  switch (line.Kind) {
    case ckText: return v.Text;
    case ckCheck: return v.Number ? "checked" : "not checked";
    case ckIndex: {
      const int index = ShownIndex(line.Control, v.Number);
      return index < 0 ? "(none)" : ListItems(line.Control)[std::size_t(index)];
    }
  }
  return {};
}

std::vector<TDifference> Compare(const TConfiguration& file, const TModuleImage& module, TCompareScope scope) {
  const bool addresses = scope != csSent;
  if (scope != csAll && addresses && !file.Values.count("Edit_Src_Ip1"))
    throw Exception("The configuration has no IP and MAC address lines");
  // Both sides as the module holds them: the file's values through the
  // records, then shown as the window shows a loaded module.
  const TConfiguration expected = TConfiguration::FromModule(file.ToModule(true));
  const TConfiguration actual = TConfiguration::FromModule(module);
  std::vector<TDifference> differences;
  const auto& layout = ConfigLayout();
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const TConfigLine& line = layout[i];
    const bool isAddress = int(i) >= ConfigOptionalFrom;
    if (!file.Values.count(line.Control)) continue;  // a file without address lines
    if (isAddress && !addresses) continue;
    if (scope != csAll && line.Control == "Edit_Serial_Nu_Ch1") continue;  // a write leaves the serial number
    if (expected.Shown(line) == actual.Shown(line)) continue;
    differences.push_back({ControlCaption(line.Control), file.Shown(line), actual.Shown(line)});
  }
  // What the texts cannot tell apart, byte for byte: a list or check box
  // byte the window cannot show looks like no selection on both sides,
  // though the file would send FF.
  for (const TDifference& d : RecordDifferences(file.Over(module, false), module, {rgCh1, rgCh2, rgCh3, rgCh4, rgAux, rgSystem}))
    if (std::none_of(differences.begin(), differences.end(), [&](const TDifference& named) { return named.Caption == d.Caption; }))
      differences.push_back(d);
  return differences;
}
