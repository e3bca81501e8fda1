#include "RecordFields.h"

#include "ChannelFields.h"
#include "ConfigRules.h"
#include "SysUtils.h"
#include "Unit1Items.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

enum TFieldKind { fkText, fkIndex, fkIndexPlusOne, fkFlag, fkFloat, fkTempKind, fkDecimal, fkHex };

struct TField {
  int Offset;
  int Size;
  TFieldKind Kind;
  const char* Control;  // the control's name (a channel's without its digit); empty for no control
};

// The channel record's fields in the record's order, as differences are listed.
const std::vector<TField>& ChannelRecordFields() {
  static const std::vector<TField> fields = [] {
    std::vector<TField> out;
    for (const TChannelField& f : ChannelFields()) {
      const TFieldKind kind = f.Kind == cfText ? fkText : f.Kind == cfList ? fkIndex : f.Kind == cfCheck ? fkFlag : fkFloat;
      out.push_back({f.Offset, FieldSize(f.Kind), kind, f.Control});
    }
    std::stable_sort(out.begin(), out.end(), [](const TField& a, const TField& b) { return a.Offset < b.Offset; });
    return out;
  }();
  return fields;
}

const TField AuxFields[] = {
    {0, 1, fkIndexPlusOne, "ComboBox_Cnt_Rpm"}, {4, 4, fkFloat, "Edit_Speed_L1"},   {16, 4, fkFloat, "Edit_Speed_H1"},
    {28, 4, fkTempKind, ""},                     {36, 1, fkIndex, "ComboBox_Used_Rpm"}, {37, 1, fkIndex, "ComboBox_Used_Temp"},
    {38, 1, fkIndexPlusOne, "ComboBox_EvCnt"},
};
const TField SystemFields[] = {
    {0, 10, fkText, "Edit_Serial_Nu_Ch1"},   {10, 1, fkDecimal, "Edit_Node1"},         {11, 1, fkIndex, "ComboBox_Com_Baud_S1"},
    {12, 1, fkIndex, "ComboBox_Com_Data_S1"}, {13, 1, fkIndex, "ComboBox_Com_Stop_S1"}, {14, 1, fkIndex, "ComboBox_Com_Parity_S1"},
};
const TField NetFields[] = {
    {0, 1, fkDecimal, "Edit_Src_Ip1"}, {1, 1, fkDecimal, "Edit_Src_Ip2"},
    {2, 1, fkDecimal, "Edit_Src_Ip3"}, {3, 1, fkDecimal, "Edit_Src_Ip4"},
};
const TField MacFields[] = {
    {0, 1, fkHex, "Edit_Mac1"}, {1, 1, fkHex, "Edit_Mac2"}, {2, 1, fkHex, "Edit_Mac3"},
    {3, 1, fkHex, "Edit_Mac4"}, {4, 1, fkHex, "Edit_Mac5"}, {5, 1, fkHex, "Edit_Mac6"},
};

struct TGroupBytes {
  const std::uint8_t* Expected;
  const std::uint8_t* Module;
  int Size;
  const TField* Fields;
  std::size_t FieldCount;
};

std::string Hex(const std::uint8_t* bytes, int size) {
  std::string out;
  char b[4];
  for (int i = 0; i < size; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    out += b;
  }
  return out;
}

std::string Shown(const TField& field, const std::string& control, const std::uint8_t* bytes) {
  switch (field.Kind) {
    case fkText: return std::string(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), 10));
    case fkIndex:
    case fkIndexPlusOne: {
      const int index = IndexFromByte(bytes[0]) - (field.Kind == fkIndexPlusOne ? 1 : 0);
      const auto& items = ListItems(control);
      return index >= 0 && std::size_t(index) < items.size() ? items[std::size_t(index)] : "(none, byte " + Hex(bytes, 1) + ")";
    }
    case fkFlag: return bytes[0] == 1 ? "checked" : bytes[0] == 0 ? "not checked" : "byte " + Hex(bytes, 1);
    case fkFloat:
    case fkTempKind: {
      float value;
      std::memcpy(&value, bytes, sizeof value);
      if (field.Kind == fkTempKind && (value == 0.0f || value == 1.0f)) return value == 0.0f ? "10mV/\u2103" : "PT100";
      return FormatFloatExact(value);
    }
    case fkDecimal: return std::to_string(bytes[0]);
    case fkHex: return Hex(bytes, 1);
  }
  return {};
}

void Compare(const std::string& group, const std::string& digit, const TGroupBytes& g, std::vector<TDifference>& out) {
  std::vector<bool> covered(std::size_t(g.Size), false);
  for (std::size_t i = 0; i < g.FieldCount; ++i) {
    const TField& f = g.Fields[i];
    if (f.Offset + f.Size > g.Size) continue;
    for (int k = 0; k < f.Size; ++k) covered[std::size_t(f.Offset + k)] = true;
    // A text field ends at its zero byte: what follows it is not the text.
    int size = f.Size;
    if (f.Kind == fkText) size = int(std::min(strnlen(reinterpret_cast<const char*>(g.Expected + f.Offset), std::size_t(f.Size)) + 1, std::size_t(f.Size)));
    if (std::memcmp(g.Expected + f.Offset, g.Module + f.Offset, std::size_t(size)) == 0) continue;
    const std::string control = std::string(f.Control) + (*f.Control && digit.size() ? digit : "");
    const std::string caption = *f.Control ? ControlCaption(control) : group + " Temperature Input Kind";
    out.push_back({caption, Shown(f, control, g.Expected + f.Offset), Shown(f, control, g.Module + f.Offset)});
  }
  // Bytes no control shows, in runs.
  for (int i = 0; i < g.Size;) {
    if (covered[std::size_t(i)] || g.Expected[i] == g.Module[i]) {
      ++i;
      continue;
    }
    int end = i;
    while (end < g.Size && !covered[std::size_t(end)] && g.Expected[end] != g.Module[end]) ++end;
    const std::string where = end - i == 1 ? "byte " + std::to_string(i) : "bytes " + std::to_string(i) + "-" + std::to_string(end - 1);
    out.push_back({group + " record " + where, Hex(g.Expected + i, end - i), Hex(g.Module + i, end - i)});
    i = end;
  }
}

}  // namespace

std::string GroupName(TRecordGroup group) {
  switch (group) {
    case rgCh1: return "CH1";
    case rgCh2: return "CH2";
    case rgCh3: return "CH3";
    case rgCh4: return "CH4";
    case rgAux: return "AUX";
    case rgSystem: return "SYSTEM";
    case rgClock: return "clock";
    case rgNet: return "IP";
    case rgMac: return "MAC";
  }
  return {};
}

std::vector<TDifference> ValuesAFileCannotKeep(const TModuleImage& module) {
  TConfiguration shown = TConfiguration::FromModule(module);
  // What no line of a file can hold: a float that is no number (it would be
  // written as NAN or INF), a text that breaks its line. Each is named, and
  // stands in as nothing for what follows.
  std::vector<TDifference> unkept;
  for (const TConfigLine& line : ConfigLayout()) {
    if (line.Kind != ckText) continue;
    std::string& text = shown.Values.at(line.Control).Text;
    const TTextRule rule = RuleOf(line.Control);
    const bool isFloat = rule == trFloat || rule == trCurrentMin;
    double value = 0;
    if ((isFloat && !TryStrToFloat(text, value)) || text.find_first_of("\r\n") != std::string::npos) {
      unkept.push_back({ControlCaption(line.Control), "no value it can hold", text});
      text = isFloat ? "0" : "";
    }
  }
  // The rest, byte for byte: the file as written, read back, sent over the
  // module (what a file does not hold stays as the module has it).
  std::ostringstream file;
  shown.Write(file);
  const TConfiguration back = TConfiguration::Parse(file.str(), "the configuration read");
  for (const TDifference& d : RecordDifferences(back.Over(module, true), module, {rgCh1, rgCh2, rgCh3, rgCh4, rgAux, rgSystem, rgNet, rgMac}))
    if (std::none_of(unkept.begin(), unkept.end(), [&](const TDifference& named) { return named.Caption == d.Caption; }))
      unkept.push_back(d);
  return unkept;
}

std::vector<TDifference> RecordDifferences(const TModuleImage& expected, const TModuleImage& module,
                                           const std::vector<TRecordGroup>& groups) {
  std::vector<TDifference> out;
  for (TRecordGroup group : groups) {
    const std::string name = GroupName(group);
    switch (group) {
      case rgCh1:
      case rgCh2:
      case rgCh3:
      case rgCh4: {
        const int at = LoadChannelOffsetOf(int(group));
        Compare(name, std::to_string(int(group) + 1), {expected.Image.data() + at, module.Image.data() + at, ChannelRecordSize, ChannelRecordFields().data(), ChannelRecordFields().size()}, out);
        break;
      }
      case rgAux:
        Compare(name, "", {expected.Image.data() + LoadAuxOffset, module.Image.data() + LoadAuxOffset, 40, AuxFields, std::size(AuxFields)}, out);
        break;
      case rgSystem:
        Compare(name, "", {expected.Image.data() + LoadSystemOffset, module.Image.data() + LoadSystemOffset, 36, SystemFields, std::size(SystemFields)}, out);
        break;
      case rgNet: Compare(name, "", {expected.Net.data(), module.Net.data(), 22, NetFields, std::size(NetFields)}, out); break;
      case rgMac: Compare(name, "", {expected.Mac.data(), module.Mac.data(), 7, MacFields, std::size(MacFields)}, out); break;
      case rgClock: break;
    }
  }
  return out;
}
