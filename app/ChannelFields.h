// The rows of a channel column, each written once: its control, caption and
// default, and how the .dat file and the channel record hold it. The file's
// channel block, the window's columns, the record's encoder and decoder, the
// configuration's mappings, the comparison with a module and the file's
// rules all follow this table; a new channel field is a row here and a
// member of TChannelControls.
#pragma once

#include "DeviceRecords.h"

#include <span>
#include <string>
#include <variant>
#include <vector>

// How a field is shown, kept in the .dat file and carried in the record.
enum TChannelFieldKind {
  cfText,       // an edit box whose text fills a TextFieldSize-byte text field
  cfList,       // a list whose item index (-1: none) is one byte
  cfCheck,      // a check box, one byte: 1 checked, 0 not
  cfFloat,      // an edit box whose number is a 4-byte float
  cfCurrentMin  // as cfFloat; outside -100 to 100 the record gets 0.0 and the box "0"
};

// The colours that group the rows: the point, the alarm levels, the scales.
enum TRowColor { rcPlain, rcBlue, rcRed, rcLime, rcFuchsia };

using TChannelValue =
    std::variant<std::string TChannelControls::*, int TChannelControls::*, bool TChannelControls::*>;

struct TChannelField {
  const char* Control;    // the form name without the channel's digit ("Edit_Curr_Min_Ch")
  const char* Caption;    // the row's caption, as the window spells it
  TChannelFieldKind Kind;
  int Offset;             // where the channel record holds it
  TChannelValue Value;    // where TChannelControls holds it: a text, an item index or a flag
  const char* Default;    // a new window's text (a point name's is followed by the digit),
                          // item, or a check box's caption
  TRowColor Color;
  const std::vector<std::string>* Items;  // a list's items; null for other kinds
};

constexpr int ChannelFieldCount = 19;

// The fields in row order, which is also the order of a channel's lines in
// the .dat file and the order the encoder writes them.
std::span<const TChannelField> ChannelFields();

// The field of a channel control's form name ("Edit_Max_Ch3") and its
// channel (1 to 4), or null for a name that is no channel control.
const TChannelField* ChannelFieldOf(const std::string& control, int* channel = nullptr);

// How many bytes of the record a field of the kind fills.
int FieldSize(TChannelFieldKind kind);

// The list of "Used" and "Not Used", which the AUX lists share.
const std::vector<std::string>& UsedItems();

// A field's value in a channel's controls, by its kind.
inline std::string& TextOf(TChannelControls& c, const TChannelField& f) { return c.*std::get<std::string TChannelControls::*>(f.Value); }
inline const std::string& TextOf(const TChannelControls& c, const TChannelField& f) { return c.*std::get<std::string TChannelControls::*>(f.Value); }
inline int& IndexOf(TChannelControls& c, const TChannelField& f) { return c.*std::get<int TChannelControls::*>(f.Value); }
inline int IndexOf(const TChannelControls& c, const TChannelField& f) { return c.*std::get<int TChannelControls::*>(f.Value); }
inline bool& FlagOf(TChannelControls& c, const TChannelField& f) { return c.*std::get<bool TChannelControls::*>(f.Value); }
inline bool FlagOf(const TChannelControls& c, const TChannelField& f) { return c.*std::get<bool TChannelControls::*>(f.Value); }
