// The binary records of the module's configuration protocol, their encoders
// (from what the window's controls hold) and decoders (into it). Pure
// functions over texts, item indices and flags, so they are tested without
// widgets; the window only gathers and shows.
//
// Encoders write their fields in a fixed order straight into the record, so
// a text that does not convert stops the encoder with the fields before it
// already written.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

using TChannelRecord = std::array<std::uint8_t, 96>;
using TAuxRecord = std::array<std::uint8_t, 40>;
using TSystemRecord = std::array<std::uint8_t, 36>;
using TClockRecord = std::array<std::uint8_t, 13>;
using TLoadImage = std::array<std::uint8_t, 464>;
using TNetRecord = std::array<std::uint8_t, 24>;
using TMacRecord = std::array<std::uint8_t, 9>;

constexpr std::uint8_t RecordEndMarker = 0xAA;
// Where each record carries the end marker.
constexpr int ChannelMarkerOffset = 92;
constexpr int AuxMarkerOffset = 39;
constexpr int SystemMarkerOffset = 32;
constexpr int ClockMarkerOffset = 12;
constexpr int NetMarkerOffset = 20;
constexpr int MacMarkerOffset = 6;
constexpr int TextFieldSize = 10;

// Offsets of the records inside the load image.
constexpr int LoadSystemOffset = 0;
constexpr int LoadChannelOffset = 36;
constexpr int LoadAuxOffset = 420;
// The image's bytes the records fill; the last four may hold anything.
constexpr int LoadImageUsedSize = LoadAuxOffset + int(std::tuple_size_v<TAuxRecord>);
constexpr int ChannelRecordSize = int(std::tuple_size_v<TChannelRecord>);
// Where the image holds the record of channel index (0 to 3).
constexpr int LoadChannelOffsetOf(int index) { return LoadChannelOffset + ChannelRecordSize * index; }

// One channel's controls, a member for each row of ChannelFields() (which
// says where the record holds it). Indices are item indices (-1: no selection).
struct TChannelControls {
  std::string Name;
  int Used = -1;
  bool InpType = false;
  bool SpeedSync = false;
  int Unit = -1;
  int VChk = -1;
  std::string Danger, Alert;
  int Relay = -1, Atype = -1;
  std::string Dtyme;
  int Ttype = -1;
  std::string Ttyme, Max, Min, Scale, Offset, CurrMax, CurrMin;
};

struct TAuxControls {
  int UsedTemp = -1;
  bool TempMillivolt = false;  // "10mV/℃" checked
  int UsedRpm = -1;
  int CntRpm = -1;
  std::string SpeedH1, SpeedL1;
  int EvCnt = -1;
};

struct TSystemControls {
  bool SerialEnabled = false;
  std::string Serial;
  std::string Node;
  int Baud = -1, Data = -1, Stop = -1, Parity = -1;
};

// Builds the channel record. A 4~20 mA minimum outside -100..100 goes out
// as 0.0 and its text becomes "0" (the controls are updated for that).
void EncodeChannelRecord(TChannelControls& controls, TChannelRecord& record);
// Floats show as the window shows them ("0.0"), or with exact as many
// decimals as give the very same value back (FormatFloatExact).
TChannelControls DecodeChannelRecord(const std::uint8_t* record, bool exact = false);

void EncodeAuxRecord(const TAuxControls& controls, TAuxRecord& record);
// The temperature input kind (offset 28) is not shown: TempMillivolt stays false.
TAuxControls DecodeAuxRecord(const std::uint8_t* record, bool exact = false);
// The temperature input kind an AUX record holds: 10 mV/℃ (0.0) or not.
bool TempMillivoltOf(const std::uint8_t* record);

// The serial number goes out only once its box is enabled; the four ModBus
// lists fill offsets 11 to 14, where the decoder reads them.
void EncodeSystemRecord(const TSystemControls& controls, TSystemRecord& record);
// SerialEnabled is not part of the record: it stays false.
TSystemControls DecodeSystemRecord(const std::uint8_t* record);

// The twelve digits of "yymmddhhnnss", one value a byte, then the marker.
void EncodeClockRecord(const std::tm& time, TClockRecord& record);

// The IP texts as integers (low 8 bits), the two 7s and the marker.
void EncodeNetRecord(const std::string (&ip)[4], TNetRecord& record);
std::array<std::string, 4> DecodeNetAddress(const TNetRecord& record);
// The MAC texts as hexadecimal numbers (low 8 bits) and the marker.
void EncodeMacRecord(const std::string (&mac)[6], TMacRecord& record);
std::array<std::string, 6> DecodeMacAddress(const TMacRecord& record);

// An address frame (its kinds and layout are in Protocol.h): 02, LEN,
// command, the data bytes, the low 8 bits of their sum.
std::string AddressFrame(std::uint8_t command, const std::uint8_t* data, int length);

// A list's index from a record byte read as signed; the window leaves the
// list with no selection when it is outside the list.
inline int IndexFromByte(std::uint8_t b) { return static_cast<std::int8_t>(b); }
