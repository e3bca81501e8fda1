#include "Unit1Items.h"

#include "ChannelFields.h"

#include <map>

namespace {

// The configuration controls other than the channels', with their captions.
const std::map<std::string, std::string>& OtherCaptions() {
  static const std::map<std::string, std::string> captions = {
      {"ComboBox_Used_Temp", "AUX Temperature Used/Not Used"},
      {"ComboBox_Used_Rpm", "AUX Speed Used/Not Used"},
      {"ComboBox_Cnt_Rpm", "AUX Speed Pulses per Turn"},
      {"Edit_Speed_H1", "AUX Speed H1"},
      {"Edit_Speed_L1", "AUX Speed L1"},
      {"ComboBox_EvCnt", "AUX Ev.Cnt"},
      {"Edit_Node1", "SYSTEM Slave No."},
      {"ComboBox_Com_Baud_S1", "SYSTEM Baud"},
      {"ComboBox_Com_Data_S1", "SYSTEM Data"},
      {"ComboBox_Com_Stop_S1", "SYSTEM Stop"},
      {"ComboBox_Com_Parity_S1", "SYSTEM Parity"},
      {"Edit_Serial_Nu_Ch1", "SYSTEM SN:"},
      {"Edit_Src_Ip1", "IP 1"}, {"Edit_Src_Ip2", "IP 2"}, {"Edit_Src_Ip3", "IP 3"}, {"Edit_Src_Ip4", "IP 4"},
      {"Edit_Mac1", "MAC A1"}, {"Edit_Mac2", "MAC A2"}, {"Edit_Mac3", "MAC A3"},
      {"Edit_Mac4", "MAC A4"}, {"Edit_Mac5", "MAC A5"}, {"Edit_Mac6", "MAC A6"},
  };
  return captions;
}

std::string Simplified(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

const std::vector<std::string>& ListItems(const std::string& control) {
  static const std::vector<std::string> Pulses = {"1", "2", "3", "4", "5", "6", "7", "8"};
  static const std::vector<std::string> Events = {"1", "2", "3", "4", "5"};
  static const std::vector<std::string> Baud = {"b9600", "b4800", "b2400", "b1200"};
  static const std::vector<std::string> Data = {"d8", "d7"};
  static const std::vector<std::string> Stop = {"s1", "s0.5", "s2", "s1.5"};
  static const std::vector<std::string> Parity = {"NON", "ODD", "EVEN"};
  static const std::vector<std::string> None;
  static const std::map<std::string, const std::vector<std::string>*> Lists = {
      {"ComboBox_Used_Temp", &UsedItems()}, {"ComboBox_Used_Rpm", &UsedItems()}, {"ComboBox_Cnt_Rpm", &Pulses},
      {"ComboBox_EvCnt", &Events},          {"ComboBox_Com_Baud_S1", &Baud},    {"ComboBox_Com_Data_S1", &Data},
      {"ComboBox_Com_Stop_S1", &Stop},      {"ComboBox_Com_Parity_S1", &Parity},
  };
  if (const TChannelField* field = ChannelFieldOf(control)) return field->Items ? *field->Items : None;
  const auto it = Lists.find(control);
  return it == Lists.end() ? None : *it->second;
}

std::string ControlCaption(const std::string& control) {
  int channel = 0;
  if (const TChannelField* field = ChannelFieldOf(control, &channel))
    return "CH" + std::to_string(channel) + " " + Simplified(field->Caption);
  const auto it = OtherCaptions().find(control);
  return it == OtherCaptions().end() ? control : it->second;
}
