#include "Zmodem.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

namespace {

// The protocol's bytes.
constexpr std::uint8_t ZPAD = '*', ZDLE = 0x18, ZBIN = 'A', ZHEX = 'B', ZBIN32 = 'C';
constexpr std::uint8_t XON = 0x11, XOFF = 0x13, DLE = 0x10;
// What a ZDLE before them means: the end of a subpacket, and how (the
// frame goes on or ends; an answer is wanted or not), or DEL with bit 7
// clear or set.
constexpr std::uint8_t ZCRCE = 'h', ZCRCG = 'i', ZCRCQ = 'j', ZCRCW = 'k', ZRUB0 = 'l', ZRUB1 = 'm';
// Header types.
enum : int {
  ZRQINIT, ZRINIT, ZSINIT, ZACK, ZFILE, ZSKIP, ZNAK, ZABORT, ZFIN, ZRPOS,
  ZDATA, ZEOF, ZFERR, ZCRC, ZCHALLENGE, ZCOMPL, ZCAN, ZFREECNT, ZCOMMAND, ZSTDERR,
};
// ZRINIT's flags (ZF0): full duplex, receiving while writing, CRC-32,
// every control escaped.
constexpr std::uint32_t CANFDX = 0x01, CANOVIO = 0x02, CANFC32 = 0x20, ESCCTL = 0x40;
// ZFILE's ZF0: a binary file; resume it where the receiver's copy ends.
constexpr std::uint32_t ZCBIN = 1, ZCRESUM = 3;
constexpr int CancelCans = 5;

constexpr std::uint32_t Flags(std::uint32_t zf0) { return zf0 << 24; }
constexpr std::uint32_t Zf0(std::uint32_t value) { return value >> 24; }

std::uint16_t Crc16(std::uint16_t crc, std::uint8_t c) {
  static const auto table = [] {
    std::array<std::uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      std::uint16_t crc = std::uint16_t(i << 8);
      for (int bit = 0; bit < 8; ++bit) crc = std::uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
      t[std::size_t(i)] = crc;
    }
    return t;
  }();
  return std::uint16_t((crc << 8) ^ table[((crc >> 8) ^ c) & 0xFF]);
}

std::string Quoted(const std::string& path) { return "\"" + LastPart(path) + "\""; }

}  // namespace

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
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t c = bytes[i];
    if (FMatched == sizeof opening) {
      FMatched = 0;
      if (c == '0') return zsFarSends;
      if (c == '1') return zsFarReceives;
    }
    if (c == opening[FMatched]) {
      ++FMatched;
    } else if (!(FMatched == 2 && c == ZPAD)) {  // "***" is still an opening
      FMatched = c == opening[0] ? 1 : 0;
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
  for (std::size_t i = 0; i < count && !FFinished; ++i) {
    const std::uint8_t c = bytes[i];
    FCans = c == ZDLE ? FCans + 1 : 0;
    if (FCans >= CancelCans) {
      HuntHeader();
      return TakeCancel();
    }
    Take(c);
  }
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
      else if (c != ZDLE) TakeStray(c);
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
      FState = sClosing;
      FOs = 0;
      SendHeader(HexHeader(ZFIN, 0));
      return Wait(std::min(BlockTimeoutMs, EndTimeoutMs));
    case ZCOMMAND:
      return Abort("The sender asked this computer to run a command: that is refused.");
    case ZABORT:
    case ZCAN:
      return Finish(false, "The sender cancelled the transfer.");
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

void TZmodemReceiver::TakeCancel() { Finish(false, "The sender cancelled the transfer."); }

void TZmodemReceiver::TakeStray(std::uint8_t c) {
  // The sender's "OO" (over and out) after our ZFIN.
  if (FState == sClosing && c == 'O' && ++FOs == 2) Finish(true, Outcome());
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
  switch (FState) {
    case sClosing:  // the sender's "OO" is a courtesy
      return Finish(true, Outcome());
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

// ---------------------------------------------------------------- sender

TZmodemSender::TZmodemSender(std::vector<std::string> files) : FFiles(std::move(files)) {}

void TZmodemSender::Start() {
  if (FFiles.empty()) return Finish(false, "No file to send.");
  // Every file can be read, before anything is sent.
  for (const std::string& path : FFiles) {
    struct stat st;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const bool regular = file && ::fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    const std::string reason = file ? "it is not a file" : std::strerror(errno);
    if (file) std::fclose(file);
    if (!regular) return Finish(false, "Cannot read \"" + path + "\": " + reason);
    if (std::uint64_t(st.st_size) > MaxFileSize)
      return Finish(false, "ZMODEM carries files under 4 GiB: \"" + path + "\" is longer.");
  }
  // "rz" starts the receiver at a far shell; a receiver running takes it
  // for noise.
  Sent("rz\r");
  SendHeader(HexHeader(ZRQINIT, 0));
  FState = sInit;
  Wait(InitRepeatMs);
}

void TZmodemSender::OfferNext() {
  if (FFile) {
    std::fclose(FFile);
    FFile = nullptr;
  }
  if (FNext >= FFiles.size()) {
    FState = sFinSent;
    SendHeader(HexHeader(ZFIN, 0));
    return Wait(std::min(BlockTimeoutMs, EndTimeoutMs));
  }
  const std::string& path = FFiles[FNext++];
  FFile = std::fopen(path.c_str(), "rb");
  struct stat st;
  if (!FFile || ::fstat(fileno(FFile), &st) != 0) return Abort("Cannot read \"" + path + "\": " + std::strerror(errno));
  FFileName = path;
  FFileSize = std::uint64_t(st.st_size);
  FDone = 0;
  FRetries = 0;
  FFurthestAsked = ~0ull;
  // The name, then the size and the time (seconds, in octal).
  std::string info = LastPart(path);
  info += '\0';
  info += std::to_string(FFileSize) + " ";
  char time[32];
  std::snprintf(time, sizeof time, "%llo", static_cast<unsigned long long>(st.st_mtime));
  info += time;
  info += '\0';
  FOffer = BinaryHeader(ZFILE, Flags(ZCBIN)) +
           Subpacket(reinterpret_cast<const std::uint8_t*>(info.data()), info.size(), ZCRCW);
  FState = sOffered;
  Progress();
  if (FFinished) return;
  Sent(FOffer);
  Wait(BlockTimeoutMs);
}

void TZmodemSender::SendFrom(std::uint64_t position) {
#ifdef _WIN32
  const bool placed = _fseeki64(FFile, std::int64_t(position), SEEK_SET) == 0;
#else
  const bool placed = fseeko(FFile, off_t(position), SEEK_SET) == 0;
#endif
  if (!placed) return Abort("Cannot read \"" + FFileName + "\": " + std::strerror(errno));
  FDone = position;
  FSinceAck = 0;
  SendHeader(BinaryHeader(ZDATA, std::uint32_t(position)));
  FState = sStreaming;
  Progress();
}

// One subpacket a call, so that the far end's answers are read between them.
void TZmodemSender::SendNextSubpacket() {
  std::uint8_t data[SubpacketSize];
  const std::size_t want = std::size_t(std::min<std::uint64_t>(FFileSize - FDone, SubpacketSize));
  const std::size_t got = want > 0 ? std::fread(data, 1, want, FFile) : 0;
  if (got < want) {
    if (std::ferror(FFile)) return Abort("Cannot read \"" + FFileName + "\": " + std::strerror(errno));
    return Abort(Quoted(FFileName) + " became shorter while it was sent.");
  }
  const bool last = FDone + got == FFileSize;
  FSinceAck += got;
  // A receiver with a buffer answers before it would overflow.
  const bool answer = FWindow > 0 && FSinceAck + SubpacketSize > FWindow;
  Sent(Subpacket(data, got, last ? ZCRCE : answer ? ZCRCW : ZCRCG));
  FDone += got;
  Progress();
  if (FFinished) return;
  if (last) {
    FState = sEofSent;
    FRetries = 0;
    SendHeader(BinaryHeader(ZEOF, std::uint32_t(FDone)));
    return Wait(BlockTimeoutMs);
  }
  if (answer) {
    FState = sWaitAck;
    Wait(BlockTimeoutMs);
  }
}

void TZmodemSender::TakeHeader(int type, std::uint32_t value) {
  switch (type) {
    case ZRINIT:
      if (FState == sInit) {
        const std::uint32_t flags = Zf0(value);
        FCrc32Out = flags & CANFC32;
        FEscapeAll = flags & ESCCTL;
        FWindow = value & 0xFFFF;
        return OfferNext();
      }
      if (FState == sEofSent) {  // the file is written whole
        ++FSent;
        return OfferNext();
      }
      return;  // an answer to a ZRQINIT sent again
    case ZRPOS: {
      if (FState == sInit || FState == sFinSent || !FFile) return;
      if (value > FFileSize)
        return Abort("The receiver asked for byte " + std::to_string(value) + " of " + Quoted(FFileName) + ", which has " +
                     Counted(FFileSize, "byte") + ".");
      if (FState != sOffered) {
        // Something was damaged on the way: counted, and given up when
        // the same place is asked for again and again.
        ++FErrors;
        if (FFurthestAsked == ~0ull || value > FFurthestAsked) FRetries = 0;
        if (++FRetries > RetryLimit)
          return Abort("The receiver asked for byte " + std::to_string(value) + " " + Counted(std::size_t(FRetries), "time") +
                       ": the line is too noisy.");
      }
      if (FFurthestAsked == ~0ull || value > FFurthestAsked) FFurthestAsked = value;
      return SendFrom(value);
    }
    case ZSKIP:
      if (FState != sOffered) return;
      FSkipped.push_back(LastPart(FFileName));
      return OfferNext();
    case ZACK:
      if (FState == sWaitAck && value == std::uint32_t(FDone)) {
        FSinceAck = 0;
        FState = sStreaming;
      }
      return;
    case ZNAK:
      if (FState == sOffered) return Sent(FOffer);
      if (!FLastHeader.empty()) Sent(FLastHeader);
      return;
    case ZFIN:
      if (FState != sFinSent) return;
      Sent("OO");  // over and out
      return EndSession();
    case ZABORT:
    case ZCAN:
      return Finish(false, "The receiver cancelled the transfer.");
    case ZFERR:
      return Finish(false, "The receiver could not write " + Quoted(FFileName) + ".");
    case ZCHALLENGE:
      return Sent(HexHeader(ZACK, value));
    default:
      return;  // echoes of our own (a far shell before rz runs), and the rest
  }
}

void TZmodemSender::TakeData(const std::uint8_t* data, std::size_t size, std::uint8_t end) {
  (void)data, (void)size, (void)end;  // a receiver sends none
}

// A damaged answer is asked again by the time-out.
void TZmodemSender::TakeDamage(const std::string& what) {
  (void)what;
  ++FErrors;
}

void TZmodemSender::TakeCancel() { Finish(false, "The receiver cancelled the transfer."); }

std::string TZmodemSender::Outcome() const {
  if (FSkipped.empty()) return "Sent " + Counted(FSent, "file") + ".";
  std::string names;
  for (const std::string& name : FSkipped) names += (names.empty() ? "\"" : ", \"") + name + "\"";
  return "Sent " + std::to_string(FSent) + " of " + Counted(FFiles.size(), "file") + ": the receiver refused " + names + ".";
}

void TZmodemSender::EndSession() { Finish(FSkipped.empty(), Outcome()); }

void TZmodemSender::Tick() {
  if (FFinished) return;
  if (FState == sStreaming) return SendNextSubpacket();
  if (!TimedOut()) return;
  const std::string tries = " after " + std::to_string(RetryLimit) + " tries.";
  switch (FState) {
    case sInit:
      if (++FInits * InitRepeatMs >= StartTimeoutMs) return Abort("The receiver did not start: no ZRINIT came.");
      SendHeader(HexHeader(ZRQINIT, 0));
      return Wait(InitRepeatMs);
    case sOffered:
      if (!Retry()) return Abort("The receiver did not answer the offer of " + Quoted(FFileName) + tries);
      Sent(FOffer);
      return Wait(BlockTimeoutMs);
    case sWaitAck:
      if (!Retry()) return Abort("The receiver stopped answering.");
      return SendFrom(FDone - FSinceAck);
    case sEofSent:
      if (!Retry()) return Abort("The receiver did not confirm the end of " + Quoted(FFileName) + tries);
      SendHeader(BinaryHeader(ZEOF, std::uint32_t(FDone)));
      return Wait(BlockTimeoutMs);
    case sFinSent: {
      // Every file was confirmed; a receiver that empties its input as it
      // exits loses the answer, and what is sent now lands in a far shell.
      std::string said = Outcome();
      said.pop_back();  // its full stop
      return Finish(FSkipped.empty(),
                    said + " (the receiver did not answer the end of the session: every file's end was confirmed).");
    }
    case sStreaming:
      return;
  }
}
