#include "ChannelFields.h"

using C = TChannelControls;

const std::vector<std::string>& UsedItems() {
  static const std::vector<std::string> Used = {"Used", "Not Used"};
  return Used;
}

std::span<const TChannelField> ChannelFields() {
  static const std::vector<std::string> Units = {
      "mm/s R", "in/s R",  "g R",      "m/s2 R",  "mm/s P",   "in/s P",   "g P",      "m/s2 P",   "mm/s PP",  "in/s PP",
      "g PP",   "m/s2 PP", "in/s2",    "um",      "mm",       "mils",     "C(PT100)", "C(10mV)",  "Bar",      "Kg_cm2",
      "mV",     "V",       "gE",       "mm/s(DC)", "in/s(DC)", "g(DC)",   "m/s2(DC)", "C(DC)"};
  static const std::vector<std::string> Check = {"Check", "No Check"};
  static const std::vector<std::string> Relay = {"NE", "NDE"};
  static const std::vector<std::string> Operating = {"NonLatch", "Latch", "ByPass"};

  // Row by row: control, caption, kind, record offset, member, default, colour, items.
  static const TChannelField Fields[] = {
      {"Edit_Name_Ch", "Point Name", cfText, 0, &C::Name, "Test ch", rcBlue, nullptr},
      {"ComboBox_Used_Ch", "Used/Not Used", cfList, 10, &C::Used, "Used", rcPlain, &UsedItems()},
      {"CheckBox_Inp_Type", "Input Type", cfCheck, 11, &C::InpType, "4~20mA IN", rcLime, nullptr},
      {"CheckBox_SS_Ch", "Sync Type", cfCheck, 15, &C::SpeedSync, "Speed Sync", rcBlue, nullptr},
      {"ComboBox_Unit_Ch", "Engineering Unit", cfList, 13, &C::Unit, "mm/s R", rcPlain, &Units},
      {"ComboBox_VChk_Ch", "Voltage Check", cfList, 14, &C::VChk, "Check", rcPlain, &Check},
      {"Edit_Damger_Ch", "Alarm Setting Danger", cfFloat, 20, &C::Danger, "8.0", rcRed, nullptr},
      {"Edit_Alert_Ch", "Alarm Setting Alert", cfFloat, 32, &C::Alert, "5.0", rcLime, nullptr},
      {"ComboBox_Relay_Ch", "Relay Type(NE/NDE)", cfList, 44, &C::Relay, "NE", rcPlain, &Relay},
      {"ComboBox_Atype_Ch", "Alarm Operating Type", cfList, 45, &C::Atype, "NonLatch", rcBlue, &Operating},
      {"Edit_Dtyme_Ch", "Alarm Delay Time(Sec)", cfFloat, 48, &C::Dtyme, "0.0", rcPlain, nullptr},
      {"ComboBox_Ttype_Ch", "Alert Operating Type", cfList, 46, &C::Ttype, "NonLatch", rcBlue, &Operating},
      {"Edit_Ttyme_Ch", "Alert Delay Time(Sec)", cfFloat, 52, &C::Ttyme, "0.0", rcPlain, nullptr},
      {"Edit_Max_Ch", "Signal Full Scale  Max", cfFloat, 60, &C::Max, "25.0", rcFuchsia, nullptr},
      {"Edit_Min_Ch", "Signal Full Scale  Min", cfFloat, 64, &C::Min, "0.0", rcPlain, nullptr},
      {"Edit_Scale_Ch", "View Scale  Max", cfFloat, 68, &C::Scale, "15.0", rcFuchsia, nullptr},
      {"Edit_Offset_Ch", "View Scale  Min", cfFloat, 72, &C::Offset, "0.0", rcPlain, nullptr},
      {"Edit_Curr_Max_Ch", "Scale(4~20mA)Max", cfFloat, 76, &C::CurrMax, "20.0", rcFuchsia, nullptr},
      {"Edit_Curr_Min_Ch", "Scale(4~20mA)Min", cfCurrentMin, 80, &C::CurrMin, "4.0", rcPlain, nullptr},
  };
  static_assert(std::size(Fields) == ChannelFieldCount);
  return Fields;
}

const TChannelField* ChannelFieldOf(const std::string& control, int* channel) {
  if (control.empty()) return nullptr;
  const char last = control.back();
  if (last < '1' || last > '4') return nullptr;
  const std::string prefix = control.substr(0, control.size() - 1);
  for (const TChannelField& field : ChannelFields())
    if (prefix == field.Control) {
      if (channel) *channel = last - '0';
      return &field;
    }
  return nullptr;
}

int FieldSize(TChannelFieldKind kind) {
  switch (kind) {
    case cfText: return TextFieldSize;
    case cfList:
    case cfCheck: return 1;
    case cfFloat:
    case cfCurrentMin: return 4;
  }
  return 0;
}
