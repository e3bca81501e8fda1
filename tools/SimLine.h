// The simulator's end of the line: a new pseudo-terminal or a serial device
// on POSIX systems, a COM port on Windows. Bytes one at a time, as a
// module's UART hands them over.
#pragma once

#include <memory>
#include <string>

class TSimLine {
public:
  virtual ~TSimLine() = default;
  // A byte within timeoutMs; -1 on time-out, -2 when the line has gone.
  virtual int ReadByte(int timeoutMs) = 0;
  // Writes all of bytes; false when the line has gone.
  virtual bool Write(const std::string& bytes) = 0;
  // What the program's user opens: the pseudo-terminal's path, or the device.
  std::string Path;
};

// Opens device at 115200 8N1, raw; an empty device makes a new
// pseudo-terminal (POSIX only). Returns null with error set on failure.
std::unique_ptr<TSimLine> OpenSimLine(const std::string& device, std::string& error);
