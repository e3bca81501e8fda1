// Windows only: the system's own text for an error code, for our messages.
#pragma once

#include <string>

// FormatMessage's text for error (GetLastError's or a registry call's),
// without its trailing line end; "error N" when the system has none.
std::string WindowsErrorText(unsigned long error);
