// The registry on Windows: the system's own, under its two root keys.
#include "Registry.h"

namespace {
// Our root names are the system's macros once <windows.h> is in.
bool IsMachineRoot(THKey root) { return root == HKEY_LOCAL_MACHINE; }
}  // namespace

#include "WinSystem.h"

#include <cstring>
#include <vector>

#include <windows.h>

namespace {

HKEY RootHandle(THKey root) { return IsMachineRoot(root) ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

// Backslashes separate the parts; empty parts are dropped.
std::string Normal(const std::string& path) {
  std::string out, part;
  for (char c : path + '\\') {
    if (c != '\\') {
      part += c;
    } else if (!part.empty()) {
      out += (out.empty() ? "" : "\\") + part;
      part.clear();
    }
  }
  return out;
}

// An open key, closed with its scope.
struct TKeyHandle {
  HKEY Key = nullptr;
  ~TKeyHandle() {
    if (Key) RegCloseKey(Key);
  }
};

[[noreturn]] void Fail(const std::string& what, LONG error) { throw ERegistryException(what + ": " + WindowsErrorText(DWORD(error))); }

}  // namespace

bool TRegistry::OpenKey(const std::string& path, bool canCreate) {
  const std::string key = Normal(path);
  TKeyHandle h;
  const LONG result = canCreate ? RegCreateKeyExA(RootHandle(RootKey), key.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                                  nullptr, &h.Key, nullptr)
                                : RegOpenKeyExA(RootHandle(RootKey), key.c_str(), 0, KEY_READ, &h.Key);
  if (result == ERROR_FILE_NOT_FOUND || (canCreate && result != ERROR_SUCCESS)) return false;
  if (result != ERROR_SUCCESS) Fail("Cannot open the registry key " + key, result);
  FCurrentKey = key;
  FOpen = true;
  return true;
}

void TRegistry::CheckOpen() const {
  if (!FOpen) throw ERegistryException("No registry key is open");
}

void TRegistry::Write(const std::string& name, bool integer, const std::string& data) {
  CheckOpen();
  TKeyHandle h;
  LONG result = RegOpenKeyExA(RootHandle(RootKey), FCurrentKey.c_str(), 0, KEY_SET_VALUE, &h.Key);
  if (result == ERROR_SUCCESS) {
    if (integer) {
      const DWORD value = DWORD(std::stoi(data));
      result = RegSetValueExA(h.Key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    } else {
      result = RegSetValueExA(h.Key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), DWORD(data.size() + 1));
    }
  }
  if (result != ERROR_SUCCESS) Fail("Cannot write '" + name + "' under " + FCurrentKey, result);
}

void TRegistry::WriteString(const std::string& name, const std::string& value) { Write(name, false, value); }

void TRegistry::WriteInteger(const std::string& name, int value) { Write(name, true, std::to_string(value)); }

namespace {

// The value's type and bytes; false when the key or the value is missing.
bool Query(THKey root, const std::string& key, const std::string& name, DWORD& type, std::vector<BYTE>& data) {
  TKeyHandle h;
  if (RegOpenKeyExA(RootHandle(root), key.c_str(), 0, KEY_QUERY_VALUE, &h.Key) != ERROR_SUCCESS) return false;
  for (DWORD size = 256;;) {
    data.resize(size);
    const LONG result = RegQueryValueExA(h.Key, name.c_str(), nullptr, &type, data.data(), &size);
    if (result == ERROR_MORE_DATA) continue;  // size now holds what it needs
    if (result == ERROR_FILE_NOT_FOUND) return false;
    if (result != ERROR_SUCCESS) Fail("Cannot read '" + name + "' under " + key, result);
    data.resize(size);
    return true;
  }
}

}  // namespace

std::string TRegistry::ReadString(const std::string& name) {
  if (!FOpen) return "";  // no key: nothing is found
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!Query(RootKey, FCurrentKey, name, type, data)) return "";
  if (type != REG_SZ && type != REG_EXPAND_SZ) throw ERegistryException("Invalid data type for '" + name + "'");
  std::string text(data.begin(), data.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

int TRegistry::ReadInteger(const std::string& name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!FOpen || !Query(RootKey, FCurrentKey, name, type, data) || type != REG_DWORD || data.size() != sizeof(DWORD))
    throw ERegistryException("Invalid data type for '" + name + "'");
  DWORD value = 0;
  std::memcpy(&value, data.data(), sizeof value);
  return int(value);
}

bool TRegistry::ValueExists(const std::string& name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  return FOpen && Query(RootKey, FCurrentKey, name, type, data);
}
