// Fuzzes the registry store's reader and writes: input is a key path line,
// a value name line (any bytes; "\x01" stands for a line end), then the
// store file. A store that cannot be read is
// never overwritten; a readable one takes a write under any name, reads it
// back and keeps every other value.
#include "FuzzSupport.h"
#include "Registry.h"

#include <cctype>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TScratchFile file("registry");
  std::string input = Bytes(data, size);
  const std::string path = "Software\\" + TakeName(input, "HRVX3300") + "\\ComPort1";
  const auto end = input.find('\n');
  std::string name = input.substr(0, end);
  input.erase(0, end == std::string::npos ? input.size() : end + 1);
  for (char& c : name)
    if (c == '\x01') c = '\n';
  std::string lower = name;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "fuzztext" || lower == "fuzznumber" || lower == "port") name += "+";  // not one of the checked values
  file.Write(input);
  TRegistry::SetRootFile(HKEY_CURRENT_USER, file.Path);

  TRegistry registry;
  std::string before;
  bool readable = true;
  try {
    if (registry.OpenKey(path, false)) {
      before = registry.ValueExists("Port") ? registry.ReadString("Port") : "<none>";
      if (registry.ValueExists("BaudRate")) (void)registry.ReadInteger("BaudRate");
    }
  } catch (const ERegistryException&) {
    readable = false;  // an unreadable store, or a value of another type
  }
  try {
    registry.OpenKey(path, true);
    registry.WriteString("FuzzText", "a\\b\r\nc=d");
    registry.WriteInteger("FuzzNumber", -2147483647 - 1);
    registry.WriteString(name, "named");
  } catch (const ERegistryException&) {
    FUZZ_REQUIRE(file.Read() == input, "a store that cannot be read is left alone");
    return 0;
  }
  TRegistry fresh;
  FUZZ_REQUIRE(fresh.OpenKey(path, false), "the written key exists");
  FUZZ_REQUIRE(fresh.ReadString("FuzzText") == "a\\b\r\nc=d", "a written text reads back");
  FUZZ_REQUIRE(fresh.ReadInteger("FuzzNumber") == -2147483647 - 1, "a written integer reads back");
  FUZZ_REQUIRE(fresh.ReadString(name) == "named", "a value under any name reads back");
  if (readable && before != "<none>" && !before.empty())
    FUZZ_REQUIRE(fresh.ReadString("Port") == before, "other values stay");
  return 0;
}
