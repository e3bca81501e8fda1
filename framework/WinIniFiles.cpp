// INI files and atomic writes on Windows: the private-profile calls
// themselves, always on a full path (a bare name would mean a file in the
// Windows folder).
#include "IniFiles.h"

#include "SysUtils.h"
#include "WinSystem.h"

#include <algorithm>
#include <vector>

#include <windows.h>

namespace {

std::string FullPath(const std::string& name) {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(name.c_str(), sizeof buffer, buffer, nullptr);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : name;
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& fallback) const {
  const std::string path = FullPath(FileName);
  // The call cuts a value that does not fit: grow until it does.
  std::vector<char> buffer(256);
  for (;;) {
    const DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(), buffer.data(),
                                             DWORD(buffer.size()), path.c_str());
    if (n + 1 < buffer.size() || buffer.size() >= (1u << 20)) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 4);
  }
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), FullPath(FileName).c_str()))
    throw Exception("Cannot write \"" + FileName + "\": " + WindowsErrorText(GetLastError()));
}

std::string TryWriteFileAtomically(const std::string& path, const std::string& data) {
  // Windows refuses to replace a read-only file; wine, run as root, would not.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return WindowsErrorText(ERROR_ACCESS_DENIED);
  // A new file of its own beside the target, so MoveFileEx replaces it in place.
  const std::string full = FullPath(path);
  const auto slash = full.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? "." : full.substr(0, slash + 1);
  char tempName[MAX_PATH];
  if (GetTempFileNameA(folder.c_str(), "hrv", 0, tempName) == 0) return WindowsErrorText(GetLastError());
  const std::string temp = tempName;
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    DeleteFileA(temp.c_str());
    return WindowsErrorText(error);
  }
  DWORD error = 0;
  for (std::size_t done = 0; done < data.size() && error == 0;) {
    DWORD wrote = 0;
    const DWORD chunk = DWORD(std::min<std::size_t>(data.size() - done, 1 << 20));
    if (!WriteFile(file, data.data() + done, chunk, &wrote, nullptr)) error = GetLastError();
    done += wrote;
  }
  if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
  CloseHandle(file);
  if (error == 0 && !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = GetLastError();
  if (error == 0) return {};
  DeleteFileA(temp.c_str());
  return WindowsErrorText(error);
}
