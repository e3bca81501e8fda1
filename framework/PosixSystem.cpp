// What the Windows programs do in WinSystem.cpp that needs nothing here.
#include "SysUtils.h"

void UseParentConsole() {}  // standard output is the terminal's or the caller's
