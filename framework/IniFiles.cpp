// What INI files mean on every system; reading and writing the file is the
// system's (PosixIniFiles.cpp, WinIniFiles.cpp).
#include "IniFiles.h"

#include "SysUtils.h"

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int fallback) const {
  const std::string text = ReadString(section, key, "");
  if (text.empty()) return fallback;
  int value = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (text.find_first_of("$xX") != std::string::npos && !hex) return fallback;  // only decimal or 0x
  return TryStrToInt(text, value) ? value : fallback;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, std::to_string(value));
}


void WriteFileAtomically(const std::string& path, const std::string& data) {
  if (const std::string why = TryWriteFileAtomically(path, data); !why.empty())
    throw Exception("Cannot write \"" + path + "\": " + why);
}
