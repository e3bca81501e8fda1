// Fuzzes the INI reader and its one-value writes: input is a section name
// line, a key name line, then the file. A write changes that value alone.
#include "FuzzSupport.h"
#include "IniFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TScratchFile file("ini");
  std::string input = Bytes(data, size);
  const std::string section = TakeName(input, "ComPort1");
  const std::string key = TakeName(input, "Port");
  file.Write(input);

  TIniFile ini(file.Path);
  (void)ini.ReadString(section, key, "");
  (void)ini.ReadInteger(section, key, -7);
  // Neighbours of the value written: same section, same key elsewhere.
  const std::string nextKey = ini.ReadString(section, key + "2", "<none>");
  const std::string nextSection = ini.ReadString(section + "2", key, "<none>");
  const int nextNumber = ini.ReadInteger(section + "2", key, -7);

  ini.WriteString(section, key, "fuzz value");
  FUZZ_REQUIRE(ini.ReadString(section, key, "") == "fuzz value", "a written value reads back");
  FUZZ_REQUIRE(ini.ReadString(section, key + "2", "<none>") == nextKey, "other keys stay");
  FUZZ_REQUIRE(ini.ReadString(section + "2", key, "<none>") == nextSection, "other sections stay");
  ini.WriteInteger(section, key, -123456);
  FUZZ_REQUIRE(ini.ReadInteger(section, key, 0) == -123456, "a written integer reads back");
  FUZZ_REQUIRE(ini.ReadInteger(section + "2", key, -7) == nextNumber, "other integers stay");
  return 0;
}
