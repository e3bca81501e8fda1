// Fuzzes the record decoders: any bytes a module answers with show in the
// window's terms without fault, what the window sent loads and sends back
// unchanged, and a module read into a .dat file either compares equal to it
// or has the values the file cannot keep named.
#include "Configuration.h"
#include "FuzzSupport.h"
#include "RecordFields.h"
#include "SysUtils.h"

#include <cstring>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TModuleImage module;
  const std::size_t whole = module.Image.size() + module.Net.size() + module.Mac.size();
  if (size < whole) return 0;
  std::memcpy(module.Image.data(), data, module.Image.size());
  std::memcpy(module.Net.data(), data + module.Image.size(), module.Net.size());
  std::memcpy(module.Mac.data(), data + module.Image.size() + module.Net.size(), module.Mac.size());

  // One record at a time, as the window's load handlers take them.
  for (int c = 0; c < 4; ++c) (void)DecodeChannelRecord(module.Image.data() + c * 96);
  const auto ip = DecodeNetAddress(module.Net);
  const auto mac = DecodeMacAddress(module.Mac);
  TNetRecord net{};
  EncodeNetRecord({ip[0], ip[1], ip[2], ip[3]}, net);
  FUZZ_REQUIRE(DecodeNetAddress(net) == ip, "an IP address shown sends the same bytes");
  TMacRecord macRecord{};
  EncodeMacRecord({mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}, macRecord);
  FUZZ_REQUIRE(DecodeMacAddress(macRecord) == mac, "a MAC address shown sends the same bytes");

  // The file --read would save: named as lossy, or equal to the module.
  if (ValuesAFileCannotKeep(module).empty()) {
    std::ostringstream file;
    TConfiguration::FromModule(module).Write(file);
    const TConfiguration read = TConfiguration::Parse(file.str(), "the file read");
    for (const TDifference& d : Compare(read, module, csAll))
      std::fprintf(stderr, "%s: file %s, module %s\n", d.Caption.c_str(), d.File.c_str(), d.Module.c_str());
    FUZZ_REQUIRE(Compare(read, module, csAll).empty(), "a read the file keeps compares equal");
  }

  // The whole image. Once a module holds what the window sent (the first
  // send applies the 4~20 mA range rule), loading and sending again sends
  // the very same bytes, and the window shows the same.
  TModuleImage sent;
  try {
    sent = TConfiguration::FromModule(module).ToModule();
  } catch (const EConvertError&) {
    return 0;  // a float that is no number shows as "NAN" and is refused on sending
  }
  const TConfiguration shown = TConfiguration::FromModule(sent);
  const TModuleImage resent = shown.ToModule();
  const TConfiguration shownAgain = TConfiguration::FromModule(resent);
  for (const TConfigLine& line : ConfigLayout()) {
    if (shown.Shown(line) != shownAgain.Shown(line))
      std::fprintf(stderr, "%s: shown \"%s\", after a send and a load \"%s\"\n", line.Control.c_str(),
                   shown.Shown(line).c_str(), shownAgain.Shown(line).c_str());
    FUZZ_REQUIRE(shown.Shown(line) == shownAgain.Shown(line), "what is shown survives a send and a load");
  }
  FUZZ_REQUIRE(resent.Image == sent.Image && resent.Net == sent.Net && resent.Mac == sent.Mac,
               "a load and a send again send the same bytes");
  return 0;
}
