// Fuzzes the .dat reader and what the command line does with a file: read
// it as the window does, write it back, read that again, and check that a
// module holding what the file sends compares equal to the file.
#include "Configuration.h"
#include "FuzzSupport.h"
#include "SysUtils.h"

#include <sstream>

namespace {

std::map<std::string, TConfigValue> Read(const std::string& bytes) {
  std::map<std::string, TConfigValue> values;
  std::istringstream in(bytes);
  ReadConfig(in, [&](const TConfigLine& line, const TConfigValue& value) { values[line.Control] = value; });
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::map<std::string, TConfigValue> values;
  try {
    values = Read(Bytes(data, size));
  } catch (const EConvertError&) {
    return 0;  // a number line that is not an integer: the reader says so
  }

  // What was read is written as 98 lines and reads back the same.
  std::ostringstream out;
  WriteConfig(out, [&](const TConfigLine& line) {
    const auto found = values.find(line.Control);
    return found != values.end() ? found->second : TConfigValue{};
  });
  const auto again = Read(out.str());
  for (const auto& [control, value] : values) {
    if (value.Text.find('\n') != std::string::npos) continue;  // a line end cannot be kept in a line
    const auto found = again.find(control);
    FUZZ_REQUIRE(found != again.end(), "a value read is written");
    FUZZ_REQUIRE(found->second.Text == value.Text && found->second.Number == value.Number, "a value reads back");
  }

  // A complete configuration goes to the module's records and back.
  if (values.size() < std::size_t(ConfigOptionalFrom)) return 0;
  TConfiguration file;
  file.Values = values;
  for (const TConfigLine& line : ConfigLayout())
    if (!file.Values.count(line.Control)) file.Values[line.Control] = TConfigValue{"0", 0};
  TModuleImage image;
  try {
    image = file.ToModule();
  } catch (const EConvertError&) {
    return 0;  // a text that is no number: the conversion error, nothing sent
  }
  // A module that took the file differs from it nowhere: what --write's
  // verification and --compare rely on.
  for (const TDifference& d : Compare(file, image, csAll))
    std::fprintf(stderr, "%s: file %s, module %s\n", d.Caption.c_str(), d.File.c_str(), d.Module.c_str());
  FUZZ_REQUIRE(Compare(file, image, csAll).empty(), "a module that took the file matches it");
  return 0;
}
