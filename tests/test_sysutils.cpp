#include "SysUtils.h"

#include <gtest/gtest.h>

#include <cstring>

#include <cmath>
#include <limits>

namespace {

std::string IntError(const std::string& text) {
  try {
    StrToInt(text);
  } catch (const EConvertError& e) {
    return e.what();
  }
  return "no error";
}

std::string FloatError(const std::string& text) {
  try {
    StrToFloat(text);
  } catch (const EConvertError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(StrToInt, ReadsDecimalWithBlanksAndSign) {
  EXPECT_EQ(StrToInt("0"), 0);
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt("  -17"), -17);
  EXPECT_EQ(StrToInt("\t+5"), 5);
  EXPECT_EQ(StrToInt("-1"), -1);
  EXPECT_EQ(StrToInt("007"), 7);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), std::numeric_limits<int>::min());
}

TEST(StrToInt, ReadsEveryHexadecimalPrefix) {
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("x1f"), 31);
  EXPECT_EQ(StrToInt("X1F"), 31);
  EXPECT_EQ(StrToInt("0x1F"), 31);
  EXPECT_EQ(StrToInt("0XaB"), 0xAB);
  EXPECT_EQ(StrToInt(" -$10"), -16);
  EXPECT_EQ(StrToInt("$7FFFFFFF"), 0x7FFFFFFF);
  EXPECT_EQ(StrToInt("x80000000"), std::numeric_limits<int>::min());  // a 32-bit pattern, as MAC boxes need
  EXPECT_EQ(StrToInt("xFFFFFFFF"), -1);
  EXPECT_EQ(StrToInt("xFFFFFFFF") & 0xFF, 0xFF);
  EXPECT_EQ(StrToInt("0"), 0);  // a lone zero is not a cut-off "0x"
}

TEST(StrToInt, RefusesWithTheExactMessage) {
  EXPECT_EQ(IntError(""), "'' is not a valid integer value");
  EXPECT_EQ(IntError("C"), "'C' is not a valid integer value");
  EXPECT_EQ(IntError("12 "), "'12 ' is not a valid integer value");
  EXPECT_EQ(IntError("1.5"), "'1.5' is not a valid integer value");
  EXPECT_EQ(IntError("-"), "'-' is not a valid integer value");
  EXPECT_EQ(IntError("$"), "'$' is not a valid integer value");
  EXPECT_EQ(IntError("0x"), "'0x' is not a valid integer value");
  EXPECT_EQ(IntError("$G"), "'$G' is not a valid integer value");
  EXPECT_EQ(IntError("1 2"), "'1 2' is not a valid integer value");
  EXPECT_EQ(IntError("--1"), "'--1' is not a valid integer value");
}

TEST(StrToInt, OverflowIsAnErrorNotAWrap) {
  EXPECT_EQ(IntError("2147483648"), "'2147483648' is not a valid integer value");
  EXPECT_EQ(IntError("-2147483649"), "'-2147483649' is not a valid integer value");
  EXPECT_EQ(IntError("$100000000"), "'$100000000' is not a valid integer value");
  EXPECT_EQ(IntError("99999999999999999999999999"), "'99999999999999999999999999' is not a valid integer value");
  EXPECT_EQ(IntError("$FFFFFFFFFFFFFFFF1"), "'$FFFFFFFFFFFFFFFF1' is not a valid integer value");
}

TEST(StrToFloat, ReadsDecimalTextsWhateverTheLocale) {
  std::setlocale(LC_ALL, "de_DE.UTF-8");  // a comma locale, where the system has it
  EXPECT_DOUBLE_EQ(StrToFloat("8.0"), 8.0);
  EXPECT_DOUBLE_EQ(StrToFloat("-41"), -41.0);
  EXPECT_DOUBLE_EQ(StrToFloat(" 20.8 "), 20.8);
  EXPECT_DOUBLE_EQ(StrToFloat(".5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloat("5."), 5.0);
  EXPECT_DOUBLE_EQ(StrToFloat("+1.25"), 1.25);
  EXPECT_DOUBLE_EQ(StrToFloat("1e3"), 1000.0);
  EXPECT_DOUBLE_EQ(StrToFloat("-2.5E-1"), -0.25);
  std::setlocale(LC_ALL, "C");
}

TEST(StrToFloat, RefusesWithTheExactMessage) {
  EXPECT_EQ(FloatError(""), "'' is not a valid floating point value");
  EXPECT_EQ(FloatError("8,0"), "'8,0' is not a valid floating point value");
  EXPECT_EQ(FloatError("abc"), "'abc' is not a valid floating point value");
  EXPECT_EQ(FloatError("."), "'.' is not a valid floating point value");
  EXPECT_EQ(FloatError("1.2.3"), "'1.2.3' is not a valid floating point value");
  EXPECT_EQ(FloatError("inf"), "'inf' is not a valid floating point value");
  EXPECT_EQ(FloatError("nan"), "'nan' is not a valid floating point value");
  EXPECT_EQ(FloatError("0x10"), "'0x10' is not a valid floating point value");
  EXPECT_EQ(FloatError("1e"), "'1e' is not a valid floating point value");
  EXPECT_EQ(FloatError("e5"), "'e5' is not a valid floating point value");
  EXPECT_EQ(FloatError("1e999"), "'1e999' is not a valid floating point value");
  EXPECT_EQ(FloatError("--1"), "'--1' is not a valid floating point value");
  EXPECT_EQ(FloatError("+-42"), "'+-42' is not a valid floating point value");
  EXPECT_EQ(FloatError("1-"), "'1-' is not a valid floating point value");
}

TEST(FormatFloat00, RoundsHalvesAwayFromZeroOnTheReadValue) {
  EXPECT_EQ(FormatFloat00(0.25), "0.3");
  EXPECT_EQ(FormatFloat00(-0.25), "-0.3");
  EXPECT_EQ(FormatFloat00(0.05f), "0.1");
  EXPECT_EQ(FormatFloat00(0.35f), "0.4");  // the float lies below 0.35, the user reads 0.35
  EXPECT_EQ(FormatFloat00(12.345), "12.3");
  EXPECT_EQ(FormatFloat00(2.45), "2.5");
  EXPECT_EQ(FormatFloat00(0.04), "0.0");
  EXPECT_EQ(FormatFloat00(0.24999), "0.2");
}

TEST(FormatFloat00, KeepsOneIntegerDigitAndOneDecimal) {
  EXPECT_EQ(FormatFloat00(0.0), "0.0");
  EXPECT_EQ(FormatFloat00(8.0f), "8.0");
  EXPECT_EQ(FormatFloat00(25.0f), "25.0");
  EXPECT_EQ(FormatFloat00(20.8f), "20.8");
  EXPECT_EQ(FormatFloat00(-41.0f), "-41.0");
  EXPECT_EQ(FormatFloat00(0.5), "0.5");
  EXPECT_EQ(FormatFloat00(9.96), "10.0");  // the carry runs into the integer digits
  EXPECT_EQ(FormatFloat00(-99.95), "-100.0");
  EXPECT_EQ(FormatFloat00(1e20), "100000000000000000000.0");
  EXPECT_EQ(FormatFloat00(1.5e-7), "0.0");
  EXPECT_EQ(FormatFloat00(123456.75f), "123456.8");
}

TEST(FormatFloat00, ZeroHasNoSignAndSpecialValuesHaveTexts) {
  EXPECT_EQ(FormatFloat00(-0.0), "0.0");
  EXPECT_EQ(FormatFloat00(-0.04), "0.0");
  EXPECT_EQ(FormatFloat00(-0.05), "-0.1");
  EXPECT_EQ(FormatFloat00(std::numeric_limits<float>::quiet_NaN()), "NAN");
  EXPECT_EQ(FormatFloat00(std::numeric_limits<float>::infinity()), "INF");
  EXPECT_EQ(FormatFloat00(-std::numeric_limits<double>::infinity()), "-INF");
}

TEST(FormatFloat00, ReadsBackToTheSameTextForEveryTenth) {
  // Every value a user types with one decimal survives a trip through a
  // single-precision record field.
  for (int tenths = -20000; tenths <= 20000; ++tenths) {
    const std::string text = (tenths < 0 ? "-" : "") + std::to_string(std::abs(tenths) / 10) + "." +
                             std::to_string(std::abs(tenths) % 10);
    const float stored = static_cast<float>(StrToFloat(text));
    const std::string expected = tenths == 0 ? "0.0" : text;
    ASSERT_EQ(FormatFloat00(stored), expected);
  }
}

TEST(FormatFloatExact, GivesTheVeryValueBackInPlainDecimals) {
  EXPECT_EQ(FormatFloatExact(9.54f), "9.54");
  EXPECT_EQ(FormatFloatExact(0.05f), "0.05");
  EXPECT_EQ(FormatFloatExact(50.0f), "50.0");
  EXPECT_EQ(FormatFloatExact(-0.0f), "-0.0");
  EXPECT_EQ(FormatFloatExact(1e-7f), "0.0000001");
  // Every float of a spread of magnitudes reads back bit for bit.
  for (float v : {3.4028235e38f, 1.17549435e-38f, 1.4e-45f, 123456.78f, 0.1f, -19.95f, 16777217.0f}) {
    const std::string text = FormatFloatExact(v);
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    const float back = static_cast<float>(StrToFloat(text));
    EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
  }
}
