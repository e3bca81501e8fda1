#include "SysUtils.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The decimal text of a value in fixed notation, from the shortest digits that
// read back as that value ("0.05" for the float 0.05, not 0.0500000007...).
template <class T>
std::string ShortestFixed(T value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);  // "d.ddde+XX", no sign: the caller passes |value|
  const auto e = sci.find('e');
  std::string digits;
  for (std::size_t i = 0; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  const int exponent = std::stoi(sci.substr(e + 1));
  const int intDigits = exponent + 1;
  const int len = static_cast<int>(digits.size());
  if (intDigits <= 0) return "0." + std::string(-intDigits, '0') + digits;
  if (intDigits >= len) return digits + std::string(intDigits - len, '0') + ".0";
  return digits.substr(0, intDigits) + "." + digits.substr(intDigits);
}

template <class T>
std::string Format00(T value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  const bool negative = std::signbit(value);
  const std::string fixed = ShortestFixed(std::fabs(value));
  const auto point = fixed.find('.');
  std::string kept = fixed.substr(0, point) + fixed[point + 1];  // integer digits and one decimal
  const char next = point + 2 < fixed.size() ? fixed[point + 2] : '0';
  if (next >= '5') {  // half or more of the last kept digit: away from zero
    int i = static_cast<int>(kept.size()) - 1;
    while (i >= 0 && kept[i] == '9') kept[i--] = '0';
    if (i < 0)
      kept.insert(kept.begin(), '1');
    else
      ++kept[i];
  }
  std::string out = kept.substr(0, kept.size() - 1) + "." + kept.back();
  const bool zero = kept.find_first_not_of('0') == std::string::npos;
  return negative && !zero ? "-" + out : out;
}

}  // namespace

bool TryStrToInt(std::string_view text, int& value) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  // Accumulate the magnitude in 64 bits and stop as soon as it leaves the
  // 32-bit range, so that no length of digits can wrap. Hexadecimal is a
  // 32-bit pattern ($FFFFFFFF is -1); decimal must fit the signed range.
  std::int64_t magnitude = 0;
  const std::int64_t limit = base == 16 ? std::int64_t(UINT32_MAX) : negative ? -std::int64_t(INT_MIN) : INT_MAX;
  for (; i < text.size(); ++i) {
    const int d = base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0) return false;
    magnitude = magnitude * base + d;
    if (magnitude > limit) return false;
  }
  const auto bits = static_cast<std::uint32_t>(magnitude);
  value = static_cast<std::int32_t>(negative ? 0u - bits : bits);
  return true;
}

int StrToInt(std::string_view text) {
  int value = 0;
  if (!TryStrToInt(text, value))
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return value;
}

bool TryStrToFloat(std::string_view text, double& value) {
  std::size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string_view body = text.substr(b, e - b);
  const bool plus = !body.empty() && body[0] == '+';
  if (plus) body.remove_prefix(1);
  if (body.empty()) return false;
  // Only plain decimal texts: from_chars would also take "inf", "nan" and hex.
  bool digit = false;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == 'e' || c == 'E') {
      if (!digit) return false;
      break;  // from_chars checks the exponent itself
    } else if (c != '.' && !(c == '-' && i == 0 && !plus)) {  // one sign at most
      return false;
    }
  }
  if (!digit) return false;
  double v = 0;
  const auto res = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
  if (res.ec != std::errc() || res.ptr != body.data() + body.size()) return false;
  value = v;
  return true;
}

double StrToFloat(std::string_view text) {
  double value = 0;
  if (!TryStrToFloat(text, value))
    throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
  return value;
}

std::string FormatFloat00(double value) { return Format00(value); }
std::string FormatFloat00(float value) { return Format00(value); }

std::string FormatFloatExact(float value) {
  if (std::isnan(value) || std::isinf(value)) return Format00(value);
  const std::string digits = ShortestFixed(std::fabs(value));
  return std::signbit(value) ? "-" + digits : digits;
}

std::tm LocalTime(std::time_t when) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  return local;
}
