// Exceptions and the number texts shared by the window, the records and the
// configuration file. No Qt here, so the serial core can use it too.
#pragma once

#include <ctime>
#include <exception>
#include <string>
#include <string_view>

// Base of every exception the program raises on purpose; what() is the
// message the application-level handler shows.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

// A text that does not read as the number asked for.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// Integer reader: leading blanks, an optional sign, then decimal digits or a
// hexadecimal number after "$", "x", "X", "0x" or "0X". Anything else, and any
// value outside the 32-bit range, raises
// "'<text>' is not a valid integer value".
int StrToInt(std::string_view text);
bool TryStrToInt(std::string_view text, int& value);

// Decimal float reader with a point as separator, whatever the locale;
// surrounding blanks and an exponent are accepted. Otherwise raises
// "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view text);
bool TryStrToFloat(std::string_view text, double& value);

// The "0.0" pattern: at least one integer digit and exactly one decimal.
// Halves round away from zero, judged on the shortest decimal text that reads
// back as the same value, so the single-precision 0.05 gives "0.1". A value
// that rounds to zero shows as "0.0" without a sign; NaN and infinities show
// as "NAN", "INF" and "-INF".
std::string FormatFloat00(double value);
std::string FormatFloat00(float value);

// A float exactly: the fewest decimals (at least one) that read back as the
// very same value, in plain decimal notation ("9.54", "50.0", "-0.0"), so a
// value passed on through a text is not changed by the trip. NaN and
// infinities as FormatFloat00 shows them.
std::string FormatFloatExact(float value);

// The local time of the clock setting (localtime_r here, localtime_s on
// Windows).
std::tm LocalTime(std::time_t when);

// A Windows program without a console of its own (a window) writes its
// --help, --version and command-line output to the console it was started
// from, if any; elsewhere standard output is there already and this does
// nothing.
void UseParentConsole();
