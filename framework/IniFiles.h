// INI files with the meaning of the system's private-profile calls: named
// sections of key=value lines, section and key names without regard to
// letter case, and a write that changes one value and keeps every other
// line of the file as it was.
#pragma once

#include <string>

class TIniFile {
public:
  explicit TIniFile(std::string fileName) : FileName(std::move(fileName)) {}

  std::string ReadString(const std::string& section, const std::string& key, const std::string& fallback) const;
  // Decimal, or hexadecimal after 0x or 0X; anything else gives fallback.
  int ReadInteger(const std::string& section, const std::string& key, int fallback) const;
  // Creates the file and the section when missing. The file is replaced
  // whole through a temporary file, so a failure never leaves half a file;
  // it raises Exception naming the file.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);

  const std::string FileName;
};

// Writes data to path through a temporary file in the same folder that is
// renamed over path once complete and flushed. Raises Exception on failure,
// leaving any previous file as it was.
void WriteFileAtomically(const std::string& path, const std::string& data);
// The same, returning the system's reason for a failure instead ("" once written).
std::string TryWriteFileAtomically(const std::string& path, const std::string& data);
