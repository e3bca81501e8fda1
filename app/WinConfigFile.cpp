// Reading and saving a .dat file on Windows.
#include "ConfigFile.h"

#include "IniFiles.h"
#include "SysUtils.h"
#include "WinSystem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

// CON, NUL, COM1 ... name devices in any folder and with any extension:
// opening one would open the device (a serial port among them).
bool IsDeviceName(const std::string& path) {
  const auto slash = path.find_last_of("\\/:");
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
  if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL" || name == "CONIN$" || name == "CONOUT$") return true;
  return name.size() >= 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) &&
         name.find_first_not_of("0123456789", 3) == std::string::npos;
}

}  // namespace

std::string ReadConfigText(const std::string& path) {
  const bool input = path == "-";
  const auto fail = [&](const std::string& why) { RaiseCannotOpen(path, why); };
  const auto tooLarge = [&] { RaiseCannotOpen(path, TooLargeReason()); };
  std::string text;
  if (input) {
    _setmode(_fileno(stdin), _O_BINARY);
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;) {
      text.append(chunk, n);
      if (text.size() > MaxConfigFileSize) tooLarge();
    }
    if (std::ferror(stdin)) fail("it could not be read");
    return text;
  }
  if (path.rfind("\\\\.\\", 0) == 0 || IsDeviceName(path)) fail("it is not a regular file");
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info)) fail(WindowsErrorText(GetLastError()));
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) fail("it is a folder");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) fail(WindowsErrorText(GetLastError()));
  const auto close = [&] { CloseHandle(file); };
  if (GetFileType(file) != FILE_TYPE_DISK) {
    close();
    fail("it is not a regular file");
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && std::uint64_t(size.QuadPart) > MaxConfigFileSize) {
    close();
    tooLarge();
  }
  char chunk[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
      const DWORD error = GetLastError();
      close();
      fail(WindowsErrorText(error));
    }
    if (n == 0) break;
    text.append(chunk, n);
    if (text.size() > MaxConfigFileSize) {
      close();
      tooLarge();
    }
  }
  close();
  return text;
}

void SaveConfigFile(const std::string& path, const TConfigFetch& fetch) {
  std::ostringstream text;
  WriteConfig(text, fetch);
  if (const std::string why = TryWriteFileAtomically(path, text.str()); !why.empty()) RaiseCannotSave(path, why);
}
