#include "SessionLog.h"

#include "SysUtils.h"

#include <cerrno>
#include <cstring>

void TSessionLog::Open(const std::string& fileName, bool timeStamps, bool raw) {
  Close();
  FFile = std::fopen(fileName.c_str(), "ab");
  if (!FFile) throw Exception("Cannot log to \"" + fileName + "\": " + std::strerror(errno));
  FFileName = fileName;
  FTimeStamps = timeStamps;
  FRaw = raw;
  FParser = TEscapeCodesVT102();
  FLine.clear();
  FAfterCr = false;
  FLineDone = true;
}

void TSessionLog::Close() {
  if (!FFile) return;
  if (!FLine.empty()) EndLine();
  if (!FFile) return;  // the last write failed
  std::FILE* file = FFile;
  FFile = nullptr;
  std::fclose(file);
}

void TSessionLog::Received(const std::uint8_t* bytes, std::size_t count) {
  if (!FFile) return;
  if (FRaw) return Write(std::string(reinterpret_cast<const char*>(bytes), count));
  for (std::size_t i = 0; i < count && FFile; ++i) {
    if (FParser.ProcessChar(char(bytes[i])) != erChar) {
      FParser.Parameters.clear();
      continue;  // a control sequence, or part of one
    }
    const std::uint8_t c = bytes[i];
    const bool afterCr = std::exchange(FAfterCr, false);
    if (c == '\r' || c == '\n') {
      if (c == '\n' && afterCr) continue;  // the LF of a CR LF
      // A CR where a line begins goes nowhere (bash sends one after each
      // command); an LF after it still ends an empty line.
      if (c == '\r' && FLine.empty() && FLineDone) continue;
      FAfterCr = c == '\r';
      EndLine();
      continue;
    }
    if (c == '\b') {
      if (!FLine.empty()) FLine.pop_back();
      continue;
    }
    if (c < 0x20 && c != '\t') continue;  // bells, shifts and the like
    if (c == 0x7F) continue;
    if (FLine.empty() && FTimeStamps && Clock) FLineTime = Clock();
    FLine += char(c);
    FLineDone = false;
    if (FLine.size() >= MaxLine) EndLine();
  }
}

void TSessionLog::EndLine() {
  std::string text = FTimeStamps && Clock ? (FLine.empty() ? Clock() : FLineTime) : std::string();
  text += FLine;
  text += '\n';
  FLine.clear();
  FLineDone = true;
  Write(text);
}

void TSessionLog::Write(const std::string& text) {
  // Each piece goes to the disk at once: a log must hold what came before a crash.
  if (std::fwrite(text.data(), 1, text.size(), FFile) == text.size() && std::fflush(FFile) == 0) return;
  const std::string reason = std::strerror(errno);
  std::fclose(FFile);
  FFile = nullptr;
  if (OnFailed) OnFailed(reason);
}
