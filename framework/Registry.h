// The registry: two root keys, key paths with backslashes, keys created
// with their parents, typed values (text and 32-bit integer); key and value
// names ignore letter case. On Windows it is the system's registry. Elsewhere
// it is a store of our own with that meaning: each root is one file (the
// user's under $XDG_CONFIG_HOME or ~/.config, the machine's under /etc),
// replaced whole on every write so that a crash never leaves half a store.
#pragma once

#include "SysUtils.h"

#include <cstdint>
#include <string>

enum THKey { HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE };

class ERegistryException : public Exception {
public:
  using Exception::Exception;
};

class TRegistry {
public:
  THKey RootKey = HKEY_CURRENT_USER;

  // Opens path below the root key; with canCreate, creates it and its
  // parents. False when it does not exist (or cannot be created). A store
  // file that cannot be read raises ERegistryException and is left alone.
  bool OpenKey(const std::string& path, bool canCreate);
  void CloseKey() { FCurrentKey.clear(), FOpen = false; }
  const std::string& CurrentPath() const { return FCurrentKey; }

  void WriteString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int value);
  // A missing value (or no open key) reads as empty text; a value of
  // another type raises.
  std::string ReadString(const std::string& name);
  // A missing value, one of another type, or one that is not a 32-bit
  // decimal number raises.
  int ReadInteger(const std::string& name);
  bool ValueExists(const std::string& name);

#ifndef _WIN32
  // Where each root's file lives; tests point them at a folder of their own.
  static std::string RootFile(THKey root);
  static void SetRootFile(THKey root, const std::string& path);
#endif

private:
  void CheckOpen() const;
  void Write(const std::string& name, bool integer, const std::string& data);
  std::string FCurrentKey;
  bool FOpen = false;
};
