// A log of what the terminal receives, for people to read: plain text with
// the control sequences taken out, one line for each line the device sent
// (ended by CR LF, LF or CR), each with its time when asked; or, as an
// option, the bytes exactly as they came.
#pragma once

#include "CPortEscVT102.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

class TSessionLog {
public:
  ~TSessionLog() { Close(); }

  // Opens (appends to) the file; raises Exception when it cannot.
  void Open(const std::string& fileName, bool timeStamps, bool raw);
  // Writes out a line under way and closes the file.
  void Close();
  bool IsOpen() const { return FFile != nullptr; }
  const std::string& FileName() const { return FFileName; }

  // Received bytes. A write that fails closes the log and says why through
  // OnFailed (the session goes on).
  void Received(const std::uint8_t* bytes, std::size_t count);
  std::function<void(const std::string& reason)> OnFailed;

  // The time put before each line, as text ("2026-12-09 07:41:05.123 ").
  std::function<std::string()> Clock;

  // A line longer than this is written out in pieces of this length.
  static constexpr std::size_t MaxLine = 4096;

private:
  void EndLine();
  void Write(const std::string& text);

  std::FILE* FFile = nullptr;
  std::string FFileName;
  bool FTimeStamps = true;
  bool FRaw = false;
  TEscapeCodesVT102 FParser;  // finds the sequences, which are left out
  std::string FLine;          // the line under way
  std::string FLineTime;      // when its first byte came
  bool FAfterCr = false;      // a CR ended the last line: an LF now ends nothing
  bool FLineDone = true;      // a line has just ended (or none began)
};
