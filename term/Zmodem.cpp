#include "Zmodem.h"
#include "ZmodemCodes.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

using namespace zmodem;

std::uint32_t ZmodemCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t count) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int bit = 0; bit < 8; ++bit) c = c & 1 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (std::size_t i = 0; i < count; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

// ------------------------------------------------------- the far end's start

TZmodemStart TZmodemWatch::Feed(const std::uint8_t* bytes, std::size_t count) {
  // "**" ZDLE "B0", then "0" for ZRQINIT or "1" for ZRINIT.
  static constexpr std::uint8_t opening[] = {ZPAD, ZPAD, ZDLE, ZHEX, '0'};
  FStart = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t c = bytes[i];
    if (FMatched == sizeof opening) {
      FMatched = 0;
      if (c == '0') return zsFarSends;
      if (c == '1') return zsFarReceives;
    }
    if (c == opening[FMatched]) {
      if (FMatched++ == 0) FStart = i;
    } else if (FMatched == 2 && c == ZPAD) {  // "***" is still an opening
      FStart = i > 0 ? i - 1 : 0;
    } else {
      FMatched = c == opening[0] ? 1 : 0;
      FStart = i;
    }
  }
  return zsNone;
}

// ------------------------------------------------------------ both ends

void TZmodemTransfer::Escape(std::string& out, std::uint8_t c) {
  bool escape = false;
  switch (c) {
    case ZDLE: case DLE: case XON: case XOFF:
    case ZDLE | 0x80: case DLE | 0x80: case XON | 0x80: case XOFF | 0x80:
      escape = true;
      break;
    case '\r': case '\r' | 0x80:
      // "@" CR is how a Telenet node is called up: never sent as it is.
      escape = FEscapeAll || (FLastOut & 0x7F) == '@';
      break;
    default:
      escape = FEscapeAll && (c & 0x60) == 0;
  }
  if (escape) {
    out += char(ZDLE);
    c ^= 0x40;
  }
  out += char(c);
  FLastOut = c;
}

std::string TZmodemTransfer::HexHeader(int type, std::uint32_t value) {
  const std::uint8_t bytes[5] = {std::uint8_t(type), std::uint8_t(value), std::uint8_t(value >> 8),
                                 std::uint8_t(value >> 16), std::uint8_t(value >> 24)};
  std::uint16_t crc = 0;
  for (std::uint8_t b : bytes) crc = Crc16(crc, b);
  std::string out = {char(ZPAD), char(ZPAD), char(ZDLE), char(ZHEX)};
  static constexpr char digits[] = "0123456789abcdef";
  const auto hex = [&](std::uint8_t b) {
    out += digits[b >> 4];
    out += digits[b & 15];
  };
  for (std::uint8_t b : bytes) hex(b);
  hex(std::uint8_t(crc >> 8));
  hex(std::uint8_t(crc));
  out += "\r\x8a";
  // An XON frees a line that an XOFF on it stopped; not after the last
  // answers, where it would reach the far shell.
  if (type != ZACK && type != ZFIN) out += char(XON);
  FLastOut = out.back();
  return out;
}

std::string TZmodemTransfer::BinaryHeader(int type, std::uint32_t value) {
  const std::uint8_t bytes[5] = {std::uint8_t(type), std::uint8_t(value), std::uint8_t(value >> 8),
                                 std::uint8_t(value >> 16), std::uint8_t(value >> 24)};
  std::string out = {char(ZPAD), char(ZDLE), char(FCrc32Out ? ZBIN32 : ZBIN)};
  for (std::uint8_t b : bytes) Escape(out, b);
  if (FCrc32Out) {
    const std::uint32_t crc = ~ZmodemCrc32(0xFFFFFFFFu, bytes, 5);
    for (int i = 0; i < 4; ++i) Escape(out, std::uint8_t(crc >> (8 * i)));
  } else {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) crc = Crc16(crc, b);
    Escape(out, std::uint8_t(crc >> 8));
    Escape(out, std::uint8_t(crc));
  }
  return out;
}

std::string TZmodemTransfer::Subpacket(const std::uint8_t* data, std::size_t size, std::uint8_t end) {
  std::string out;
  out.reserve(size + size / 8 + 16);
  for (std::size_t i = 0; i < size; ++i) Escape(out, data[i]);
  out += char(ZDLE);
  out += char(end);
  FLastOut = end;
  if (FCrc32Out) {
    const std::uint32_t crc = ~ZmodemCrc32(ZmodemCrc32(0xFFFFFFFFu, data, size), &end, 1);
    for (int i = 0; i < 4; ++i) Escape(out, std::uint8_t(crc >> (8 * i)));
  } else {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) crc = Crc16(crc, data[i]);
    crc = Crc16(crc, end);
    Escape(out, std::uint8_t(crc >> 8));
    Escape(out, std::uint8_t(crc));
  }
  return out;
}

void TZmodemTransfer::SendHeader(const std::string& header) {
  FLastHeader = header;
  Sent(header);
}

void TZmodemTransfer::ExpectData() {
  FReading = rData;
  FIn.clear();
  FEscaped = false;
}

void TZmodemTransfer::HuntHeader() {
  FReading = rHunt;
  FIn.clear();
  FEscaped = false;
}

void TZmodemTransfer::Damaged(const std::string& what) {
  HuntHeader();
  TakeDamage(what);
}

void TZmodemTransfer::Received(const std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  for (; i < count && !FFinished; ++i) {
    const std::uint8_t c = bytes[i];
    Unframed(c);
    FCans = c == ZDLE ? FCans + 1 : 0;
    if (FCans >= CancelCans) {
      HuntHeader();
      FUnframed.erase(FUnframed.find_last_not_of(char(ZDLE)) + 1);  // the cancel is not its text
      TakeCancel();
      continue;
    }
    Take(c);
  }
  if (i < count) AfterEnd(bytes + i, count - i);
}

// Every byte counts until a frame is whole, also one read as part of a
// frame that never ends: the shell's prompt after a killed sz comes in
// the middle of a subpacket.
void TZmodemTransfer::Unframed(std::uint8_t c) {
  constexpr std::size_t kept = 4096;  // a shell's message, and then some
  if (FUnframed.size() >= kept) FUnframed.erase(0, FUnframed.size() - kept / 2);
  FUnframed += char(c);
  FUnframedAt = Now();
}

void TZmodemTransfer::FrameCame() {
  FUnframed.clear();
  FTextTimeouts = 0;
}

std::string TZmodemTransfer::StrayLine() const { return LastTextLine(TextTail(FUnframed)); }

void TZmodemTransfer::ShowStrays() { ShowText(TextTail(std::exchange(FUnframed, std::string()))); }

bool TZmodemTransfer::TextInsteadOfFrames(int waitMs) {
  // A sender streaming into a lost answer writes on; a shell is quiet
  // once it has said its piece.
  if (FUnframed.empty() || Now() - FUnframedAt < std::chrono::milliseconds(QuietMs) || TextTail(FUnframed).empty())
    return false;
  if (++FTextTimeouts < 2) {
    Wait(waitMs);
    return true;
  }
  const std::string line = StrayLine();
  ShowStrays();
  // What the shell still holds of our last header (a hex header's line
  // end, 0x8A) would begin the user's next command: Ctrl+U clears it.
  Sent("\x15");
  Finish(false, line.empty() ? "The far end stopped speaking ZMODEM and wrote text instead."
                             : "The far end answered with text, not ZMODEM: \"" + line + "\".");
  return true;
}

void TZmodemTransfer::Take(std::uint8_t c) {
  // A hex header ends its line with CR LF, which are not data after it.
  if (FHexLineEnd > 0) {
    const std::uint8_t expected = FHexLineEnd == 2 ? '\r' : '\n';
    FHexLineEnd = (c & 0x7F) == '\r' ? 1 : 0;
    if ((c & 0x7F) == expected) return;
  }
  switch (FReading) {
    case rHunt:
      if (c == ZPAD) FReading = rPad;
      return;
    case rPad:
      if (c == ZDLE) FReading = rPadDle;
      else if (c != ZPAD) FReading = rHunt;
      return;
    case rPadDle:
      FIn.clear();
      FEscaped = false;
      if (c == ZHEX) {
        FReading = rHex;
      } else if (c == ZBIN || c == ZBIN32) {
        FReading = rBinary;
        FFrameCrc32 = c == ZBIN32;
      } else {
        FReading = c == ZPAD ? rPad : rHunt;
      }
      return;
    case rHex:
      return TakeHexDigit(c);
    default:
      break;
  }
  // Binary frames: XON and XOFF are the line's, not ours.
  if ((c & 0x7F) == XON || (c & 0x7F) == XOFF) return;
  if (!FEscaped) {
    if (c == ZDLE) {
      FEscaped = true;
      return;
    }
    return TakeDecoded(c);
  }
  if (c == ZDLE) return;  // perhaps a cancel: the CANs are counted
  FEscaped = false;
  switch (c) {
    case ZCRCE: case ZCRCG: case ZCRCQ: case ZCRCW: return TakeDecoded(~int(c));
    case ZRUB0: return TakeDecoded(0x7F);
    case ZRUB1: return TakeDecoded(0xFF);
    default:
      if ((c & 0x60) != 0x40) return Damaged("a bad escape");
      return TakeDecoded(c ^ 0x40);
  }
}

void TZmodemTransfer::TakeHexDigit(std::uint8_t c) {
  const char* digits = "0123456789abcdef";
  const char* at = c ? std::strchr(digits, std::tolower(c)) : nullptr;
  if (!at) return Damaged("a garbled header");
  FIn += char(at - digits);
  if (FIn.size() < 14) return;
  std::uint8_t bytes[7];
  for (int i = 0; i < 7; ++i) bytes[i] = std::uint8_t(FIn[std::size_t(2 * i)] << 4 | FIn[std::size_t(2 * i + 1)]);
  std::uint16_t crc = 0;
  for (int i = 0; i < 7; ++i) crc = Crc16(crc, bytes[i]);
  FReading = rHunt;
  FIn.clear();
  if (crc != 0) return TakeDamage("a header that failed its check");
  FDataCrc32 = false;
  FHexLineEnd = 2;
  FrameCame();
  TakeHeader(bytes[0], std::uint32_t(bytes[1]) | std::uint32_t(bytes[2]) << 8 | std::uint32_t(bytes[3]) << 16 |
                           std::uint32_t(bytes[4]) << 24);
}

void TZmodemTransfer::TakeDecoded(int c) {
  const bool end = c < 0;
  if (FReading == rBinary) {
    if (end) return Damaged("a garbled header");
    FIn += char(c);
    if (FIn.size() < (FFrameCrc32 ? 9u : 7u)) return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(FIn.data());
    bool sound;
    if (FFrameCrc32) {
      sound = ZmodemCrc32(0xFFFFFFFFu, bytes, 9) == 0xDEBB20E3u;  // the residue of a sound frame
    } else {
      std::uint16_t crc = 0;
      for (int i = 0; i < 7; ++i) crc = Crc16(crc, bytes[i]);
      sound = crc == 0;
    }
    FReading = rHunt;
    if (!sound) return TakeDamage("a header that failed its check");
    FDataCrc32 = FFrameCrc32;
    const std::uint32_t value = std::uint32_t(bytes[1]) | std::uint32_t(bytes[2]) << 8 |
                                std::uint32_t(bytes[3]) << 16 | std::uint32_t(bytes[4]) << 24;
    const int type = bytes[0];
    FIn.clear();
    FrameCame();
    return TakeHeader(type, value);
  }
  if (FReading == rData) {
    if (end) {
      FEnd = std::uint8_t(~c);
      FReading = rCrc;
      FDataSize = FIn.size();
      FIn += char(FEnd);  // the end code is under the CRC too
      return;
    }
    if (FIn.size() >= MaxSubpacket) return Damaged("an over-long subpacket");
    FIn += char(c);
    return;
  }
  // rCrc: the CRC after the data and its end code.
  if (end) return Damaged("a garbled subpacket");
  FIn += char(c);
  if (FIn.size() < FDataSize + 1 + (FDataCrc32 ? 4 : 2)) return;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(FIn.data());
  bool sound;
  if (FDataCrc32) {
    sound = ZmodemCrc32(0xFFFFFFFFu, bytes, FIn.size()) == 0xDEBB20E3u;
  } else {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < FIn.size(); ++i) crc = Crc16(crc, bytes[i]);
    sound = crc == 0;
  }
  if (!sound) return Damaged("a subpacket that failed its check");
  const std::string data = FIn.substr(0, FDataSize);
  const std::uint8_t endCode = FEnd;
  // The frame goes on after ZCRCG and ZCRCQ; a header follows the others.
  if (endCode == ZCRCG || endCode == ZCRCQ) {
    ExpectData();
  } else {
    HuntHeader();
  }
  FrameCame();
  TakeData(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), endCode);
}

// -------------------------------------------------------------- receiver

TZmodemReceiver::TZmodemReceiver(std::string folder) : FFolder(std::move(folder)) {}

TZmodemReceiver::~TZmodemReceiver() {
  if (FFinished) return;
  if (FFile) {
    std::fclose(FFile);
    FFile = nullptr;
  }
  Ended(false);
}

void TZmodemReceiver::Start() { SendInit(); }

// Ready for a file: full duplex, writing while receiving, CRC-32 taken, no
// buffer limit (the sender streams).
void TZmodemReceiver::SendInit() {
  FState = sWaitFile;
  SendHeader(InitHeader());
  Wait(InitRepeatMs);
}

std::string TZmodemReceiver::InitHeader() {
  return HexHeader(ZRINIT, Flags(CANFDX | CANOVIO | (OfferCrc32 ? CANFC32 : 0)));
}

void TZmodemReceiver::AskFrom() {
  FState = sWaitData;
  SendHeader(HexHeader(ZRPOS, std::uint32_t(FDone)));
  Wait(BlockTimeoutMs);
}

void TZmodemReceiver::TakeHeader(int type, std::uint32_t value) {
  switch (type) {
    case ZRQINIT:  // the sender has not heard us yet; its time goes on
      if (FState == sWaitFile) Sent(InitHeader());
      return;
    case ZSINIT:  // its attention string: not needed here
      FState = sSinit;
      ExpectData();
      return Wait(BlockTimeoutMs);
    case ZFILE:
      if (FFile) return AskFrom();  // our answer to its offer got lost
      FStarted = true;
      FResume = Zf0(value) == ZCRESUM;
      FState = sFileInfo;
      ExpectData();
      return Wait(BlockTimeoutMs);
    case ZDATA:
      if (!FFile) return;
      if (value != std::uint32_t(FDone)) {
        // Data still on its way from before we asked again.
        if (!Retry()) return Abort("The sender does not go back to byte " + std::to_string(FDone) + " when asked.");
        return AskFrom();
      }
      FState = sData;
      ExpectData();
      return Wait(BlockTimeoutMs);
    case ZEOF:
      if (!FFile) {
        if (FState == sWaitFile && FStarted) SendInit();  // our answer to its end got lost
        return;
      }
      // At another position it is the end of data we asked again: the
      // sender hears of it by our ZRPOS.
      if (value == std::uint32_t(FDone)) EndOfFile();
      return;
    case ZFIN:
      if (FFile) return Abort("The sender ended the session in the middle of " + Quoted(FFileName) + ".");
      // The session is over once we answer: the sender's "OO" is a
      // courtesy, taken if it comes and never waited for, and what follows
      // is the far shell's.
      SendHeader(HexHeader(ZFIN, 0));
      ClosingFollows(2, 2, false);
      return Finish(true, Outcome());
    case ZCOMMAND:
      return Abort("The sender asked this computer to run a command: that is refused.");
    case ZABORT:
    case ZCAN:
      return TakeCancel();
    case ZFERR:
      return Finish(false, "The sender could not read its file.");
    case ZNAK:
      if (!FLastHeader.empty()) Sent(FLastHeader);
      return;
    case ZCHALLENGE:
      return Sent(HexHeader(ZACK, value));
    case ZFREECNT:
      return Sent(HexHeader(ZACK, 0));  // not told: no limit
    default:
      return;  // an echo of our own, or a header a receiver does not take
  }
}

void TZmodemReceiver::TakeData(const std::uint8_t* data, std::size_t size, std::uint8_t end) {
  switch (FState) {
    case sSinit:
      HuntHeader();
      FState = sWaitFile;
      SendHeader(HexHeader(ZACK, 0));
      return Wait(BlockTimeoutMs);
    case sFileInfo:
      HuntHeader();
      return OpenFile(std::string(reinterpret_cast<const char*>(data), size), FResume);
    case sData:
      if (FDone + size > MaxFileSize) return Abort("ZMODEM carries files under 4 GiB: " + Quoted(FFileName) + " is longer.");
      if (size > 0 && std::fwrite(data, 1, size, FFile) != size) {
        const std::string reason = std::strerror(errno);
        return Abort("Cannot write \"" + FPartPath + "\": " + reason);
      }
      FDone += size;
      FRetries = 0;
      Progress();
      if (FFinished) return;
      if (end == ZCRCQ || end == ZCRCW) Sent(HexHeader(ZACK, std::uint32_t(FDone)));
      if (end == ZCRCE || end == ZCRCW) FState = sWaitData;
      return Wait(BlockTimeoutMs);
    default:
      return HuntHeader();  // data nobody asked for
  }
}

void TZmodemReceiver::TakeDamage(const std::string& what) {
  (void)what;
  switch (FState) {
    case sData:
    case sWaitData:
      if (!Retry()) return Abort("Too many damaged frames: the line is too noisy.");
      return AskFrom();
    case sFileInfo:
    case sSinit:
      if (!Retry()) return Abort("Too many damaged frames: the line is too noisy.");
      FState = sWaitFile;
      SendHeader(HexHeader(ZNAK, 0));  // the sender sends its header again
      return Wait(BlockTimeoutMs);
    default:
      return;  // time-outs ask again
  }
}

// Where they went, for files that came by themselves.
std::string TZmodemReceiver::Outcome() const {
  return "Received " + Counted(FWritten.size(), "file") + " into \"" + FFolder + "\".";
}

// What the sender wrote before it cancelled is often why ("cannot open").
void TZmodemReceiver::TakeCancel() {
  const std::string line = StrayLine();
  ShowStrays();
  ClosingFollows(0, 0, true);
  Finish(false, line.empty() ? "The sender cancelled the transfer." : "The sender cancelled the transfer: \"" + line + "\".");
}

// The file's name, then its size, time and mode, as text.
void TZmodemReceiver::OpenFile(const std::string& info, bool resume) {
  const std::size_t nul = info.find('\0');
  const std::string name = info.substr(0, nul);
  if (name.empty()) return Abort("The sender offered a file without a name.");
  FFileSize = nul == std::string::npos ? 0 : std::strtoull(info.c_str() + nul + 1, nullptr, 10);
  FFinalName = SafeFileName(name);
  FFileName = FFolder + "/" + FFinalName;
  // A part file that a broken transfer left goes on where it ends, when
  // the sender asks to resume and it is not longer than the file.
  const std::string part = FFileName + ".part";
  std::error_code error;
  const bool partThere = std::filesystem::is_regular_file(std::filesystem::symlink_status(part, error));
  const std::uint64_t partSize = partThere ? std::filesystem::file_size(part, error) : 0;
  FDone = 0;
  if (resume && partThere && !error && partSize <= FFileSize) {
    FPartPath = part;
    FFile = std::fopen(part.c_str(), "ab");
    FDone = partSize;
  } else {
    FPartPath = part;
    for (int n = 1; PathTaken(FPartPath); ++n) FPartPath = part + std::to_string(n);
    FFile = std::fopen(FPartPath.c_str(), "wb");
  }
  if (!FFile) {
    const std::string reason = std::strerror(errno);
    const std::string path = std::exchange(FPartPath, std::string());
    return Abort("Cannot write \"" + path + "\": " + reason);
  }
  FRetries = 0;
  Progress();
  if (FFinished) return;
  AskFrom();
}

void TZmodemReceiver::EndOfFile() {
  const bool closed = std::fclose(FFile) == 0;
  FFile = nullptr;
  if (!closed) return Abort("Cannot write \"" + FPartPath + "\": " + std::strerror(errno));
  // Named only now, and never over a file that came meanwhile.
  const std::string path = ReceivedFilePath(FFolder, FFinalName);
  std::error_code error;
  std::filesystem::rename(FPartPath, path, error);
  if (error) return Abort("Cannot name \"" + path + "\": " + error.message() + " (the file is in \"" + FPartPath + "\")");
  FPartPath.clear();
  FFileName = path;
  FWritten.push_back(path);
  FRetries = 0;
  SendInit();
}

// A part file with something in it is kept for resuming; an empty one goes.
std::string TZmodemReceiver::Ended(bool ok) {
  if (ok || FPartPath.empty()) return {};
  const std::string part = std::exchange(FPartPath, std::string());
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(part, error);
  if (error || size == 0) {
    std::filesystem::remove(part, error);
    return {};
  }
  return " The " + Counted(size, "byte") + " received are kept in \"" + part +
         "\": sending the file again with resume (sz -r) goes on from there.";
}

void TZmodemReceiver::Tick() {
  if (FFinished || !TimedOut()) return;
  if (TextInsteadOfFrames(FState == sWaitFile ? InitRepeatMs : BlockTimeoutMs)) return;
  switch (FState) {
    case sWaitFile:
      if (!FStarted) {
        if (++FInits * InitRepeatMs >= StartTimeoutMs) return Abort("The sender did not begin.");
        return SendInit();
      }
      if (!Retry()) return Abort("The sender stopped sending.");
      return SendInit();
    case sSinit:
    case sFileInfo:
      return TakeDamage("nothing came");
    case sWaitData:
    case sData:
      HuntHeader();
      if (!Retry()) return Abort("The sender stopped sending.");
      return AskFrom();
  }
}

void TZmodemReceiver::LineLost() {
  if (FFinished) return;
  if (FFile) return Finish(false, "The line went away in the middle of " + Quoted(FFileName) + ".");
  if (FWritten.empty()) return Finish(false, "The line went away before a file came.");
  Finish(false, "The line went away before the session's end: " + Counted(FWritten.size(), "file") + " received into \"" +
                    FFolder + "\".");
}
