#include "ChannelFields.h"
#include "DeviceRecords.h"
#include "Protocol.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

TChannelControls DefaultChannel1() {
  TChannelControls c;
  c.Name = "Test ch1";
  c.Used = 0;
  c.Unit = -1;  // shows "mm/s R" with no item selected
  c.VChk = 0;
  c.Danger = "8.0";
  c.Alert = "5.0";
  c.Relay = 0;
  c.Atype = 0;
  c.Dtyme = "0.0";
  c.Ttype = 0;
  c.Ttyme = "0.0";
  c.Max = "25.0";
  c.Min = "0.0";
  c.Scale = "15.0";
  c.Offset = "0.0";
  c.CurrMax = "20.0";
  c.CurrMin = "4.0";
  return c;
}

float FloatAt(const std::uint8_t* r, int offset) {
  float f;
  std::memcpy(&f, r + offset, 4);
  return f;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

}  // namespace

// A new row in the channel table must hold bytes of its own before the
// marker and a member of its own of the kind's type.
TEST(ChannelFields, EachFieldHasItsOwnBytesMemberAndControl) {
  std::vector<int> owner(ChannelRecordSize, -1);
  std::set<std::string> controls;
  std::set<std::size_t> members;
  for (std::size_t i = 0; i < ChannelFields().size(); ++i) {
    const TChannelField& f = ChannelFields()[i];
    SCOPED_TRACE(f.Control);
    EXPECT_TRUE(controls.insert(f.Control).second) << "the control is in the table twice";
    ASSERT_LE(f.Offset + FieldSize(f.Kind), ChannelMarkerOffset);
    for (int b = f.Offset; b < f.Offset + FieldSize(f.Kind); ++b) {
      EXPECT_EQ(owner[std::size_t(b)], -1) << "byte " << b << " is also held by row " << owner[std::size_t(b)];
      owner[std::size_t(b)] = int(i);
    }
    const std::size_t expected = f.Kind == cfList ? 1 : f.Kind == cfCheck ? 2 : 0;
    EXPECT_EQ(f.Value.index(), expected) << "the member's type is not the kind's";
    TChannelControls c;
    const auto* member = f.Kind == cfList ? static_cast<const void*>(&IndexOf(c, f))
                         : f.Kind == cfCheck ? static_cast<const void*>(&FlagOf(c, f))
                                             : static_cast<const void*>(&TextOf(c, f));
    EXPECT_TRUE(members.insert(std::size_t(static_cast<const char*>(member) - reinterpret_cast<const char*>(&c))).second)
        << "the member is another row's";
    EXPECT_EQ(f.Items != nullptr, f.Kind == cfList);
    if (f.Items) {
      EXPECT_FALSE(f.Items->empty());
    }
  }
  EXPECT_EQ(controls.size(), std::size_t(ChannelFieldCount));
}

TEST(ChannelRecord, DefaultChannelGivesTheDocumentedBytes) {
  TChannelRecord r{};
  TChannelControls c = DefaultChannel1();
  EncodeChannelRecord(c, r);
  EXPECT_EQ(std::string((const char*)r.data(), 10), std::string("Test ch1\0\0", 10));
  EXPECT_EQ(r[10], 0);
  EXPECT_EQ(r[13], 0xFF);
  EXPECT_EQ(r[92], 0xAA);
  const int offsets[] = {20, 32, 48, 52, 60, 64, 68, 72, 76, 80};
  const float values[] = {8, 5, 0, 0, 25, 0, 15, 0, 20, 4};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(FloatAt(r.data(), offsets[i]), values[i]) << offsets[i];
  EXPECT_EQ(r[20], 0x00);
  EXPECT_EQ(r[23], 0x41);  // 8.0f is 00 00 00 41, little-endian
  for (int reserved : {12, 16, 17, 18, 19, 24, 31, 36, 43, 47, 56, 59, 84, 91, 93, 95}) EXPECT_EQ(r[reserved], 0) << reserved;
}

TEST(ChannelRecord, DecodingAnEncodedRecordGivesTheControlsBack) {
  TChannelRecord r{};
  TChannelControls c = DefaultChannel1();
  c.Name = "Pump 10 NE";  // ten characters: no zero inside the field
  c.Used = 1;
  c.InpType = true;
  c.SpeedSync = true;
  c.Unit = 27;
  c.VChk = 1;
  c.Danger = "12.345";
  c.Alert = "-3";
  c.Relay = 1;
  c.Atype = 2;
  c.Ttype = 1;
  c.CurrMin = "-100";
  EncodeChannelRecord(c, r);
  const TChannelControls d = DecodeChannelRecord(r.data());
  EXPECT_EQ(d.Name, "Pump 10 NE");
  EXPECT_EQ(d.Used, 1);
  EXPECT_TRUE(d.InpType);
  EXPECT_TRUE(d.SpeedSync);
  EXPECT_EQ(d.Unit, 27);
  EXPECT_EQ(d.VChk, 1);
  EXPECT_EQ(d.Danger, "12.3");
  EXPECT_EQ(d.Alert, "-3.0");
  EXPECT_EQ(d.Relay, 1);
  EXPECT_EQ(d.Atype, 2);
  EXPECT_EQ(d.Ttype, 1);
  EXPECT_EQ(d.Max, "25.0");
  EXPECT_EQ(d.Scale, "15.0");
  EXPECT_EQ(d.CurrMax, "20.0");
  EXPECT_EQ(d.CurrMin, "-100.0");  // the limits themselves pass

  TChannelRecord empty{};
  empty[10] = 0xFF;
  const float f = 0.05f;
  std::memcpy(empty.data() + 20, &f, 4);
  const TChannelControls e = DecodeChannelRecord(empty.data());
  EXPECT_EQ(e.Used, -1);
  EXPECT_EQ(e.Danger, "0.1");
  EXPECT_EQ(e.Name, "");
}

TEST(ChannelRecord, LongNamesStayInTheirField) {
  TChannelRecord r;
  r.fill(0x55);
  TChannelControls c = DefaultChannel1();
  c.Name = "A name far too long";
  EncodeChannelRecord(c, r);
  EXPECT_EQ(std::string((const char*)r.data(), 10), "A name far");
  EXPECT_EQ(r[12], 0x55);  // reserved bytes are never written
  EXPECT_EQ(DecodeChannelRecord(r.data()).Name, "A name far");
  // A shorter name leaves the bytes after its zero as they were.
  c.Name = "ab";
  EncodeChannelRecord(c, r);
  EXPECT_EQ(r[2], 0);
  EXPECT_EQ(r[3], 'a');
}

TEST(ChannelRecord, CurrentMinimumOutsideItsRangeGoesOutAsZero) {
  for (const char* text : {"100.5", "-250"}) {
    TChannelRecord r{};
    TChannelControls c = DefaultChannel1();
    c.CurrMin = text;
    EncodeChannelRecord(c, r);
    EXPECT_EQ(FloatAt(r.data(), 80), 0.0f) << text;
    EXPECT_EQ(c.CurrMin, "0") << text;
  }
  TChannelRecord r{};
  TChannelControls c = DefaultChannel1();
  c.CurrMin = "100";
  EncodeChannelRecord(c, r);
  EXPECT_EQ(FloatAt(r.data(), 80), 100.0f);
  EXPECT_EQ(c.CurrMin, "100");
}

TEST(ChannelRecord, ABadTextStopsTheEncoderWithEarlierFieldsWritten) {
  TChannelRecord r{};
  TChannelControls c = DefaultChannel1();
  c.Name = "New";
  c.CurrMin = "abc";
  try {
    EncodeChannelRecord(c, r);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
  }
  EXPECT_EQ(r[0], 'N');
  EXPECT_EQ(FloatAt(r.data(), 76), 20.0f);
  EXPECT_EQ(r[92], 0);  // the marker comes after the failing field
}

TEST(AuxRecord, EncodesTheStartUpStateAndDecodesCounts) {
  TAuxControls c;
  c.UsedTemp = 0;
  c.UsedRpm = 0;
  c.CntRpm = -1;
  c.SpeedH1 = "10.0";
  c.SpeedL1 = "5.0";
  c.EvCnt = 0;
  TAuxRecord r{};
  EncodeAuxRecord(c, r);
  EXPECT_EQ(r[0], 0);
  EXPECT_EQ(FloatAt(r.data(), 4), 5.0f);
  EXPECT_EQ(FloatAt(r.data(), 16), 10.0f);
  EXPECT_EQ(FloatAt(r.data(), 28), 1.0f);
  EXPECT_EQ(r[36], 0);
  EXPECT_EQ(r[37], 0);
  EXPECT_EQ(r[38], 1);
  EXPECT_EQ(r[39], 0xAA);
  c.TempMillivolt = true;
  EncodeAuxRecord(c, r);
  EXPECT_EQ(FloatAt(r.data(), 28), 0.0f);

  r[0] = 3;
  r[38] = 5;
  TAuxControls d = DecodeAuxRecord(r.data());
  EXPECT_EQ(d.CntRpm, 2);  // item "3"
  EXPECT_EQ(d.EvCnt, 4);   // item "5"
  EXPECT_EQ(d.SpeedH1, "10.0");
  r[0] = 0;
  EXPECT_EQ(DecodeAuxRecord(r.data()).CntRpm, -1);

  c.SpeedH1 = "x";
  c.SpeedL1 = "y";
  try {
    EncodeAuxRecord(c, r);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'x' is not a valid floating point value");  // H1 before L1
  }
}

TEST(SystemRecord, SerialNumberSlaveAndModBus) {
  TSystemControls c;
  c.Serial = "20220405";
  c.Node = "300";
  c.Baud = 3;
  c.Data = 1;
  c.Stop = 2;
  c.Parity = 1;
  TSystemRecord r{};
  EncodeSystemRecord(c, r);
  EXPECT_EQ(std::string((const char*)r.data(), 10), std::string(10, '\0'));  // not yet enabled
  EXPECT_EQ(r[10], 44);
  EXPECT_EQ((std::vector<int>{r[11], r[12], r[13], r[14]}), (std::vector<int>{3, 1, 2, 1}));
  EXPECT_EQ(r[32], 0xAA);
  c.SerialEnabled = true;
  c.Node = "-1";
  EncodeSystemRecord(c, r);
  EXPECT_EQ(std::string((const char*)r.data(), 9), std::string("20220405\0", 9));
  EXPECT_EQ(r[10], 255);
  r[10] = 200;
  const TSystemControls d = DecodeSystemRecord(r.data());
  EXPECT_EQ(d.Node, "200");
  EXPECT_EQ(d.Serial, "20220405");
  EXPECT_EQ(d.Stop, 2);

  c.Serial = "NEW";
  c.Node = "one";
  EXPECT_THROW(EncodeSystemRecord(c, r), EConvertError);
  EXPECT_EQ(r[0], 'N');  // written before the slave number failed
}

TEST(ClockRecord, DigitsOfTheLocalTime) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 20;
  t.tm_min = 41;
  t.tm_sec = 22;
  TClockRecord r{};
  EncodeClockRecord(t, r);
  EXPECT_EQ(Hex(std::string((const char*)r.data(), r.size())), "02 06 01 02 00 07 02 00 04 01 02 02 AA");
}

TEST(AddressFrames, DefaultNetworkAndMacFrames) {
  TNetRecord net{};
  const std::string ip[4] = {"192", "168", "0", "40"};
  EncodeNetRecord(ip, net);
  EXPECT_EQ(Hex(AddressFrame(FrameNetAddress, net.data(), 24)),
            "02 18 81 C0 A8 00 28 00 00 00 00 07 00 07 00 00 00 00 00 00 00 00 00 AA 00 00 00 48");
  TMacRecord mac{};
  const std::string m[6] = {"00", "00", "00", "00", "00", "EE"};
  EncodeMacRecord(m, mac);
  EXPECT_EQ(Hex(AddressFrame(FrameMacAddress, mac.data(), 9)), "02 09 91 00 00 00 00 00 EE AA 00 00 98");
}

TEST(AddressFrames, TextsAndTheirErrors) {
  TNetRecord net{};
  const std::string ip[4] = {"300", "-1", "0", "1"};
  EncodeNetRecord(ip, net);
  EXPECT_EQ(net[0], 44);
  EXPECT_EQ(net[1], 255);
  net[0] = 200;
  EXPECT_EQ(DecodeNetAddress(net)[0], "200");

  TMacRecord mac{};
  const std::string m[6] = {"1ff", "a", "0A", "00", "00", "00"};
  EncodeMacRecord(m, mac);
  EXPECT_EQ(mac[0], 0xFF);
  EXPECT_EQ(mac[1], 0x0A);
  EXPECT_EQ(DecodeMacAddress(mac)[1], "0A");
  for (const char* bad : {"", "1G", " 1", "-1"}) {
    const std::string texts[6] = {"00", bad, "00", "00", "00", "00"};
    try {
      EncodeMacRecord(texts, mac);
      FAIL() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), "'x" + std::string(bad) + "' is not a valid integer value");
    }
  }
}
