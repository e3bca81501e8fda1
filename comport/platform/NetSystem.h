// The system's socket headers, for the network port's sources. Included
// after our own headers: on Windows they bring macros that repeat the
// device's names with the same values, and one that would rename ours.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#undef OutputDebugString
#else
#include <netdb.h>
#endif
