#include "ConfigFile.h"

#include "ChannelFields.h"
#include "SysUtils.h"

#include <sstream>

namespace {

// A channel field's line: an edit box's text, a list's index, a check box.
TConfigKind LineKind(TChannelFieldKind kind) {
  switch (kind) {
    case cfList: return ckIndex;
    case cfCheck: return ckCheck;
    case cfText:
    case cfFloat:
    case cfCurrentMin: return ckText;
  }
  return ckText;
}

std::vector<TConfigLine> MakeLayout() {
  std::vector<TConfigLine> layout;
  for (int channel = 1; channel <= 4; ++channel)
    for (const TChannelField& field : ChannelFields())
      layout.push_back({field.Control + std::to_string(channel), LineKind(field.Kind)});
  const TConfigLine Rest[] = {
      {"ComboBox_Used_Temp", ckIndex},     {"ComboBox_Used_Rpm", ckIndex},     {"ComboBox_Cnt_Rpm", ckIndex},
      {"Edit_Speed_H1", ckText},           {"Edit_Speed_L1", ckText},          {"ComboBox_EvCnt", ckIndex},
      {"Edit_Node1", ckText},              {"ComboBox_Com_Baud_S1", ckIndex},  {"ComboBox_Com_Data_S1", ckIndex},
      {"ComboBox_Com_Stop_S1", ckIndex},   {"ComboBox_Com_Parity_S1", ckIndex}, {"Edit_Serial_Nu_Ch1", ckText},
      {"Edit_Src_Ip1", ckText},            {"Edit_Src_Ip2", ckText},           {"Edit_Src_Ip3", ckText},
      {"Edit_Src_Ip4", ckText},            {"Edit_Mac1", ckText},              {"Edit_Mac2", ckText},
      {"Edit_Mac3", ckText},               {"Edit_Mac4", ckText},              {"Edit_Mac5", ckText},
      {"Edit_Mac6", ckText},
  };
  layout.insert(layout.end(), std::begin(Rest), std::end(Rest));
  // AUX and SYSTEM (12 lines, which ConfigOptionalFrom counts), then the addresses (10).
  static_assert(std::size(Rest) == 22);
  return layout;
}

}  // namespace

const std::vector<TConfigLine>& ConfigLayout() {
  static const std::vector<TConfigLine> layout = MakeLayout();
  return layout;
}

std::size_t ConfigLineOf(const std::string& control) {
  const auto& layout = ConfigLayout();
  for (std::size_t i = 0; i < layout.size(); ++i)
    if (layout[i].Control == control) return i;
  throw Exception("The configuration file has no line for " + control);
}

bool ReadConfigLine(std::istream& in, TLineClass lineClass, std::string& line) {
  line.clear();
  std::streambuf* buf = in.rdbuf();
  constexpr int eof = std::char_traits<char>::eof();
  for (;;) {
    int c = buf->sbumpc();
    if (c == eof) return !line.empty();
    if (c == '\r') {
      const int next = buf->sgetc();
      if (next == '\n' || next == eof) {  // CR LF, or a CR cut off from its LF
        if (next == '\n') buf->sbumpc();
        return true;
      }
    } else if (c == '\n') {
      return true;
    }
    if (lineClass == lcNumber && line.size() == NumberLineLength) return false;
    line += static_cast<char>(c);
  }
}

void ReadConfig(std::istream& in, const TConfigApply& apply) {
  const auto& layout = ConfigLayout();
  for (int i = 0; i < static_cast<int>(layout.size()); ++i) {
    const TConfigLine& item = layout[i];
    std::string line;
    if (!ReadConfigLine(in, item.Kind == ckText ? lcText : lcNumber, line)) {
      if (i < ConfigOptionalFrom) return;
      continue;
    }
    TConfigValue value;
    if (item.Kind == ckText)
      value.Text = line;
    else
      value.Number = StrToInt(line);
    apply(item, value);
  }
}

void WriteConfig(std::ostream& out, const TConfigFetch& fetch) {
  for (const TConfigLine& item : ConfigLayout()) {
    const TConfigValue value = fetch(item);
    if (item.Kind == ckText)
      out << value.Text;
    else
      out << value.Number;
    out << "\r\n";
  }
}

void RaiseCannotOpen(const std::string& path, const std::string& why) {
  throw Exception("Cannot open " + (path == "-" ? std::string("standard input") : "\"" + path + "\"") + ": " + why);
}

std::string TooLargeReason() {
  return "it holds more than " + std::to_string(MaxConfigFileSize >> 20) + " MiB, and a configuration holds about 1 KiB";
}

void RaiseCannotSave(const std::string& path, const std::string& why) {
  throw Exception("Cannot save \"" + path + "\": " + why + ". The previous file is unchanged.");
}

void LoadConfigFile(const std::string& path, const TConfigApply& apply) {
  std::istringstream in(ReadConfigText(path));
  ReadConfig(in, apply);
}

