// Fuzzes the number readers and the one-decimal writer: whatever a reader
// accepts reads back the same from the text written for it.
#include "FuzzSupport.h"
#include "SysUtils.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = Bytes(data, size);

  int integer = 0;
  if (TryStrToInt(text, integer)) {
    int again = 0;
    FUZZ_REQUIRE(TryStrToInt(std::to_string(integer), again) && again == integer, "an integer reads back");
    FUZZ_REQUIRE(StrToInt(text) == integer, "StrToInt agrees with TryStrToInt");
  } else {
    try {
      (void)StrToInt(text);
      FUZZ_REQUIRE(false, "StrToInt refuses what TryStrToInt refuses");
    } catch (const EConvertError&) {
    }
  }

  double real = 0;
  if (TryStrToFloat(text, real)) {
    FUZZ_REQUIRE(std::isfinite(real), "only finite numbers are read");
    // The window shows a value with one decimal; what it shows reads again
    // and shows the same.
    const std::string shown = FormatFloat00(real);
    double back = 0;
    FUZZ_REQUIRE(TryStrToFloat(shown, back), "the shown text reads");
    FUZZ_REQUIRE(FormatFloat00(back) == shown, "the shown text is stable");
    const std::string single = FormatFloat00(static_cast<float>(real));
    if (std::isfinite(static_cast<float>(real))) {
      FUZZ_REQUIRE(TryStrToFloat(single, back), "the shown float text reads");
      FUZZ_REQUIRE(FormatFloat00(static_cast<float>(back)) == single, "the shown float text is stable");
    }
  } else {
    try {
      (void)StrToFloat(text);
      FUZZ_REQUIRE(false, "StrToFloat refuses what TryStrToFloat refuses");
    } catch (const EConvertError&) {
    }
  }
  return 0;
}
