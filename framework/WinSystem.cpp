#include "WinSystem.h"

#include "SysUtils.h"

#include <windows.h>

#include <cstdio>

void UseParentConsole() {
  // A handle of the parent's (a pipe, a file) is kept as it is.
  const auto missing = [](DWORD which) {
    const HANDLE h = GetStdHandle(which);
    return h == nullptr || h == INVALID_HANDLE_VALUE || GetFileType(h) == FILE_TYPE_UNKNOWN;
  };
  const bool out = missing(STD_OUTPUT_HANDLE), err = missing(STD_ERROR_HANDLE);
  if (!out && !err) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;  // started from Explorer: no console
  if (out) std::freopen("CONOUT$", "w", stdout);
  if (err) std::freopen("CONOUT$", "w", stderr);
}

std::string WindowsErrorText(unsigned long error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n && text ? std::string(text, n) : "error " + std::to_string(error);
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message;
}
