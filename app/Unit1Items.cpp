#include "Unit1Items.h"

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

// The channel controls' name prefixes in row order.
const char* const ChannelControls[] = {
    "Edit_Name_Ch",   "ComboBox_Used_Ch", "CheckBox_Inp_Type", "CheckBox_SS_Ch",  "ComboBox_Unit_Ch",
    "ComboBox_VChk_Ch", "Edit_Damger_Ch", "Edit_Alert_Ch",     "ComboBox_Relay_Ch", "ComboBox_Atype_Ch",
    "Edit_Dtyme_Ch",  "ComboBox_Ttype_Ch", "Edit_Ttyme_Ch",    "Edit_Max_Ch",     "Edit_Min_Ch",
    "Edit_Scale_Ch",  "Edit_Offset_Ch",   "Edit_Curr_Max_Ch",  "Edit_Curr_Min_Ch",
};

// The channel prefix and the digit of a channel control, or false.
bool SplitChannel(const std::string& control, std::string& prefix, int& channel) {
  if (control.empty()) return false;
  const char last = control.back();
  if (last < '1' || last > '4') return false;
  prefix = control.substr(0, control.size() - 1);
  channel = last - '0';
  for (const char* name : ChannelControls)
    if (prefix == name) return true;
  return false;
}

std::string Simplified(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

const std::vector<std::string>& ChannelRowCaptions() {
  static const std::vector<std::string> captions = {
      "Point Name",           "Used/Not Used",         "Input Type",            "Sync Type",
      "Engineering Unit",     "Voltage Check",         "Alarm Setting Danger",  "Alarm Setting Alert",
      "Relay Type(NE/NDE)",   "Alarm Operating Type",  "Alarm Delay Time(Sec)", "Alert Operating Type",
      "Alert Delay Time(Sec)", "Signal Full Scale  Max", "Signal Full Scale  Min", "View Scale  Max",
      "View Scale  Min",      "Scale(4~20mA)Max",      "Scale(4~20mA)Min",
  };
  return captions;
}

const std::vector<std::string>& ListItems(const std::string& control) {
  static const std::vector<std::string> Used = {"Used", "Not Used"};
  static const std::vector<std::string> Units = {
      "mm/s R", "in/s R",  "g R",      "m/s2 R",  "mm/s P",   "in/s P",   "g P",      "m/s2 P",   "mm/s PP",  "in/s PP",
      "g PP",   "m/s2 PP", "in/s2",    "um",      "mm",       "mils",     "C(PT100)", "C(10mV)",  "Bar",      "Kg_cm2",
      "mV",     "V",       "gE",       "mm/s(DC)", "in/s(DC)", "g(DC)",   "m/s2(DC)", "C(DC)"};
  static const std::vector<std::string> Check = {"Check", "No Check"};
  static const std::vector<std::string> Relay = {"NE", "NDE"};
  static const std::vector<std::string> Operating = {"NonLatch", "Latch", "ByPass"};
  static const std::vector<std::string> Pulses = {"1", "2", "3", "4", "5", "6", "7", "8"};
  static const std::vector<std::string> Events = {"1", "2", "3", "4", "5"};
  static const std::vector<std::string> Baud = {"b9600", "b4800", "b2400", "b1200"};
  static const std::vector<std::string> Data = {"d8", "d7"};
  static const std::vector<std::string> Stop = {"s1", "s0.5", "s2", "s1.5"};
  static const std::vector<std::string> Parity = {"NON", "ODD", "EVEN"};
  static const std::vector<std::string> None;
  static const std::map<std::string, const std::vector<std::string>*> Lists = {
      {"ComboBox_Used_Ch", &Used},          {"ComboBox_Unit_Ch", &Units},       {"ComboBox_VChk_Ch", &Check},
      {"ComboBox_Relay_Ch", &Relay},        {"ComboBox_Atype_Ch", &Operating},  {"ComboBox_Ttype_Ch", &Operating},
      {"ComboBox_Used_Temp", &Used},        {"ComboBox_Used_Rpm", &Used},       {"ComboBox_Cnt_Rpm", &Pulses},
      {"ComboBox_EvCnt", &Events},          {"ComboBox_Com_Baud_S1", &Baud},    {"ComboBox_Com_Data_S1", &Data},
      {"ComboBox_Com_Stop_S1", &Stop},      {"ComboBox_Com_Parity_S1", &Parity},
  };
  std::string prefix;
  int channel = 0;
  const std::string key = SplitChannel(control, prefix, channel) ? prefix : control;
  const auto it = Lists.find(key);
  return it == Lists.end() ? None : *it->second;
}

std::string ControlCaption(const std::string& control) {
  std::string prefix;
  int channel = 0;
  if (SplitChannel(control, prefix, channel)) {
    for (std::size_t row = 0; row < std::size(ChannelControls); ++row)
      if (prefix == ChannelControls[row])
        return "CH" + std::to_string(channel) + " " + Simplified(ChannelRowCaptions()[row]);
  }
  const auto it = OtherCaptions().find(control);
  return it == OtherCaptions().end() ? control : it->second;
}
