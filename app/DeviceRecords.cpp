#include "DeviceRecords.h"

#include "ChannelFields.h"
#include "SysUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

void PutFloat(std::uint8_t* record, int offset, const std::string& text) {
  const float value = static_cast<float>(StrToFloat(text));
  std::memcpy(record + offset, &value, sizeof value);  // little-endian on every host we build for
}

void PutFloatValue(std::uint8_t* record, int offset, float value) { std::memcpy(record + offset, &value, sizeof value); }

float GetFloat(const std::uint8_t* record, int offset) {
  float value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

std::string GetFloatText(const std::uint8_t* record, int offset, bool exact) {
  return exact ? FormatFloatExact(GetFloat(record, offset)) : FormatFloat00(GetFloat(record, offset));
}

// The text's bytes, and a zero after them when shorter than the field;
// nothing beyond the field is ever written.
void PutText(std::uint8_t* record, const std::string& text) {
  const std::size_t n = std::min<std::size_t>(text.size(), TextFieldSize);
  std::memcpy(record, text.data(), n);
  if (n < TextFieldSize) record[n] = 0;
}

std::string GetText(const std::uint8_t* record) {
  std::size_t n = 0;
  while (n < TextFieldSize && record[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(record), n);
}

std::uint8_t IndexByte(int index) { return static_cast<std::uint8_t>(index & 0xFF); }

}  // namespace

void EncodeChannelRecord(TChannelControls& c, TChannelRecord& record) {
  std::uint8_t* r = record.data();
  for (const TChannelField& f : ChannelFields()) {
    switch (f.Kind) {
      case cfText: PutText(r + f.Offset, TextOf(c, f)); break;
      case cfList: r[f.Offset] = IndexByte(IndexOf(c, f)); break;
      case cfCheck: r[f.Offset] = FlagOf(c, f) ? 1 : 0; break;
      case cfFloat: PutFloat(r, f.Offset, TextOf(c, f)); break;
      case cfCurrentMin: {
        PutFloat(r, f.Offset, TextOf(c, f));
        const float value = GetFloat(r, f.Offset);
        if (value > 100.0f || value < -100.0f) {
          PutFloatValue(r, f.Offset, 0.0f);
          TextOf(c, f) = "0";
        }
        break;
      }
    }
  }
  r[ChannelMarkerOffset] = RecordEndMarker;
}

TChannelControls DecodeChannelRecord(const std::uint8_t* r, bool exact) {
  TChannelControls c;
  for (const TChannelField& f : ChannelFields()) {
    switch (f.Kind) {
      case cfText: TextOf(c, f) = GetText(r + f.Offset); break;
      case cfList: IndexOf(c, f) = IndexFromByte(r[f.Offset]); break;
      case cfCheck: FlagOf(c, f) = r[f.Offset] != 0; break;
      case cfFloat:
      case cfCurrentMin: TextOf(c, f) = GetFloatText(r, f.Offset, exact); break;
    }
  }
  return c;
}

void EncodeAuxRecord(const TAuxControls& c, TAuxRecord& record) {
  std::uint8_t* r = record.data();
  r[37] = IndexByte(c.UsedTemp);
  PutFloatValue(r, 28, c.TempMillivolt ? 0.0f : 1.0f);
  r[36] = IndexByte(c.UsedRpm);
  r[0] = IndexByte(c.CntRpm + 1);
  PutFloat(r, 16, c.SpeedH1);
  PutFloat(r, 4, c.SpeedL1);
  r[38] = IndexByte(c.EvCnt + 1);
  r[AuxMarkerOffset] = RecordEndMarker;
}

TAuxControls DecodeAuxRecord(const std::uint8_t* r, bool exact) {
  TAuxControls c;
  c.UsedTemp = IndexFromByte(r[37]);
  c.UsedRpm = IndexFromByte(r[36]);
  c.CntRpm = IndexFromByte(r[0]) - 1;
  c.SpeedH1 = GetFloatText(r, 16, exact);
  c.SpeedL1 = GetFloatText(r, 4, exact);
  c.EvCnt = IndexFromByte(r[38]) - 1;
  return c;
}

bool TempMillivoltOf(const std::uint8_t* record) { return GetFloat(record, 28) == 0.0f; }

void EncodeSystemRecord(const TSystemControls& c, TSystemRecord& record) {
  std::uint8_t* r = record.data();
  if (c.SerialEnabled)
    PutText(r, c.Serial);
  else
    r[0] = 0;
  r[10] = static_cast<std::uint8_t>(StrToInt(c.Node) & 0xFF);
  r[11] = IndexByte(c.Baud);
  r[12] = IndexByte(c.Data);
  r[13] = IndexByte(c.Stop);
  r[14] = IndexByte(c.Parity);
  r[SystemMarkerOffset] = RecordEndMarker;
}

TSystemControls DecodeSystemRecord(const std::uint8_t* r) {
  TSystemControls c;
  c.Node = std::to_string(r[10]);
  c.Baud = IndexFromByte(r[11]);
  c.Data = IndexFromByte(r[12]);
  c.Stop = IndexFromByte(r[13]);
  c.Parity = IndexFromByte(r[14]);
  c.Serial = GetText(r);
  return c;
}

void EncodeClockRecord(const std::tm& t, TClockRecord& record) {
  char digits[72];  // room for any int the fields could hold
  std::snprintf(digits, sizeof digits, "%02d%02d%02d%02d%02d%02d", t.tm_year % 100, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                t.tm_min, t.tm_sec);
  for (int i = 0; i < 12; ++i) record[i] = static_cast<std::uint8_t>(digits[i] - '0');
  record[ClockMarkerOffset] = RecordEndMarker;
}

void EncodeNetRecord(const std::string (&ip)[4], TNetRecord& record) {
  for (int k = 0; k < 4; ++k) record[k] = static_cast<std::uint8_t>(StrToInt(ip[k]) & 0xFF);
  record[8] = 7;
  record[9] = 0;
  record[10] = 7;
  record[11] = 0;
  record[NetMarkerOffset] = RecordEndMarker;
}

std::array<std::string, 4> DecodeNetAddress(const TNetRecord& record) {
  return {std::to_string(record[0]), std::to_string(record[1]), std::to_string(record[2]), std::to_string(record[3])};
}

void EncodeMacRecord(const std::string (&mac)[6], TMacRecord& record) {
  // A leading x makes the integer reader take hexadecimal digits only.
  for (int k = 0; k < 6; ++k) record[k] = static_cast<std::uint8_t>(StrToInt("x" + mac[k]) & 0xFF);
  record[MacMarkerOffset] = RecordEndMarker;
}

std::array<std::string, 6> DecodeMacAddress(const TMacRecord& record) {
  std::array<std::string, 6> texts;
  for (int k = 0; k < 6; ++k) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", record[k]);
    texts[k] = hex;
  }
  return texts;
}

std::string AddressFrame(std::uint8_t command, const std::uint8_t* data, int length) {
  std::string frame;
  frame += char(0x02);
  frame += char(length);
  frame += char(command);
  unsigned sum = 0;
  for (int i = 0; i < length; ++i) {
    frame += char(data[i]);
    sum += data[i];
  }
  frame += char(sum & 0xFF);
  return frame;
}
