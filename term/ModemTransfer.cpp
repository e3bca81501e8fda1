#include "ModemTransfer.h"

#include <sys/stat.h>

#include <thread>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

namespace {

constexpr std::uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, CPMEOF = 0x1A;
constexpr char StartCrc = 'C';

}  // namespace

std::string LastPart(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string ModemCancelSequence() { return std::string(8, char(CAN)) + std::string(8, '\b'); }

std::string Counted(std::size_t count, const std::string& thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

bool PathTaken(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

std::string SafeFileName(const std::string& senderName) {
  std::string safe;
  for (char c : LastPart(senderName))
    if (std::uint8_t(c) >= 0x20 && c != 0x7F && c != '\\') safe += c;
  if (safe.empty() || safe == "." || safe == "..") safe = "received";
  return safe;
}

std::string ReceivedFilePath(const std::string& folder, const std::string& senderName) {
  const std::string safe = SafeFileName(senderName);
  std::string path = folder + "/" + safe;
  for (int n = 1; PathTaken(path); ++n) path = folder + "/" + safe + "." + std::to_string(n);
  return path;
}

std::string TextTail(const std::string& bytes) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = std::uint8_t(bytes[i]);
    if (c < 0x80) {
      const bool text = (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t' || c == '\b' || c == '\a' || c == 0x1B;
      ++i;
      if (!text) start = i;
      continue;
    }
    // A hex header's line end as a far shell echoes it back.
    if (c == 0x8A || c == 0x8D) {
      ++i;
      continue;
    }
    // UTF-8: a lead byte and its continuation bytes; one cut off at the
    // end may still be coming.
    const std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    std::size_t k = 1;
    while (length > 0 && k < length && i + k < bytes.size() && (std::uint8_t(bytes[i + k]) & 0xC0) == 0x80) ++k;
    if (length == 0 || (k < length && i + k < bytes.size())) {
      start = ++i;
      continue;
    }
    i += k;
  }
  return bytes.substr(start);
}

std::string LastTextLine(const std::string& bytes) {
  const auto said = [](const std::string& text) {  // more than a prompt
    return std::any_of(text.begin(), text.end(), [](char ch) { return std::isalnum(std::uint8_t(ch)) != 0; });
  };
  std::string line, last;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = std::uint8_t(bytes[i]);
    if (c == 0x1B && i + 1 < bytes.size()) {
      // An escape sequence: CSI up to its final byte, OSC up to BEL or ST,
      // anything else one character.
      const char kind = bytes[++i];
      if (kind == '[') {
        while (++i < bytes.size() && !(std::uint8_t(bytes[i]) >= 0x40 && std::uint8_t(bytes[i]) <= 0x7E)) {
        }
      } else if (kind == ']') {
        while (++i < bytes.size() && bytes[i] != '\a' && !(bytes[i] == 0x1B && i + 1 < bytes.size() && bytes[i + 1] == '\\')) {
        }
        if (i < bytes.size() && bytes[i] == 0x1B) ++i;
      }
      continue;
    }
    if (c == '\r' || c == '\n' || c == 0x8A || c == 0x8D) {
      if (said(line)) last = line;
      line.clear();
    } else if (c >= 0x20 && c != 0x7F) {
      line += char(c);
    }
  }
  if (said(line)) last = line;
  last.erase(0, last.find_first_not_of(' '));
  last.erase(last.find_last_not_of(' ') + 1);
  if (last.size() > 120) {
    std::size_t cut = 117;
    while (cut > 0 && (std::uint8_t(last[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    last = last.substr(0, cut) + "...";
  }
  return last;
}

const char* ModemProtocolName(TModemProtocol protocol) {
  switch (protocol) {
    case mpXmodem: return "XMODEM";
    case mpXmodemCrc: return "XMODEM-CRC";
    case mpXmodem1k: return "XMODEM-1K";
    case mpYmodem: return "YMODEM";
    case mpZmodem: return "ZMODEM";
  }
  return "?";
}

std::uint16_t ModemCrc(const std::uint8_t* data, std::size_t count) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    crc = std::uint16_t(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit) crc = std::uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// ------------------------------------------------------------ both ends

TModemTransfer::~TModemTransfer() {
  if (FFile) std::fclose(FFile);
}

void TModemTransfer::Cancel() { Abort("Cancelled."); }

void TModemTransfer::LineLost() { Finish(false, "The line went away in the middle of the transfer."); }

void TModemTransfer::Abort(const std::string& message) {
  if (FFinished) return;
  Sent(ModemCancelSequence());
  // The far end sends on until it hears of it: that data is no text.
  FAfter = aeDiscard;
  Finish(false, message);
}

void TModemTransfer::ClosingFollows(int lineEnds, int os, bool cancel) {
  FAfter = lineEnds > 0 || os > 0 ? aeClosing : aeShow;
  FLineEnds = lineEnds;
  FOs = os;
  FOsSeen = 0;
  FInCancel = cancel;
}

void TModemTransfer::AfterEnd(const std::uint8_t* bytes, std::size_t count) {
  FLastByteAt = Now();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t c = bytes[i];
    if (FAfter == aeDiscard) {
      FHeld.append(reinterpret_cast<const char*>(bytes + i), count - i);
      constexpr std::size_t kept = 65536;  // more than any prompt or message
      if (FHeld.size() > kept) FHeld.erase(0, FHeld.size() - kept);
      return;
    }
    if (FAfter == aeClosing) {
      const std::uint8_t low = c & 0x7F;
      if (FLineEnds > 0 && FOsSeen == 0 && (low == '\r' || low == '\n' || low == 0x11)) {
        --FLineEnds;
        continue;
      }
      if (c == 'O' && FOsSeen < FOs) {
        if (++FOsSeen == FOs) FAfter = aeShow;
        continue;
      }
      ReleaseHeld();
    }
    // A far end that gave up may say so more than once (sz: once for the
    // file, once for the session): a run of CANs and the backspaces after
    // it are no text. One CAN is (the ZDLE of the next start header).
    if (c == CAN) {
      if (++FCansAfter >= 2) FInCancel = true;
      continue;
    }
    if (c == '\b' && FInCancel) continue;
    if (FCansAfter == 1 && !FInCancel) FText += char(CAN);
    FCansAfter = 0;
    FInCancel = false;
    FText += char(c);
  }
}

void TModemTransfer::ReleaseHeld() {
  if (FAfter == aeDiscard) {
    // A cancel's backspaces after its CANs are no text either.
    const std::string tail = TextTail(std::exchange(FHeld, std::string()));
    FText += tail.substr(std::min(tail.size(), tail.find_first_not_of('\b')));
  }
  if (FAfter == aeClosing && FOsSeen > 0 && FOsSeen < FOs) FText += std::string(std::size_t(FOsSeen), 'O');  // the far end's own
  FAfter = aeShow;
}

bool TModemTransfer::Holding() const {
  if (!FFinished) return false;
  const auto now = Now();
  if (FAfter == aeClosing) return now - FEndedAt < std::chrono::milliseconds(EndTimeoutMs);
  if (FAfter == aeDiscard)
    return now - FLastByteAt < std::chrono::milliseconds(QuietMs) && now - FEndedAt < std::chrono::milliseconds(DiscardLimitMs);
  return false;
}

std::string TModemTransfer::TakeText() {
  if (FFinished && FAfter != aeShow && !Holding()) ReleaseHeld();
  return std::exchange(FText, std::string());
}

void TModemTransfer::Finish(bool ok, const std::string& message) {
  if (FFinished) return;
  FFinished = true;
  FEndedAt = FLastByteAt = Now();
  std::string said = message;
  if (FFile) {
    const bool closed = std::fclose(FFile) == 0;
    FFile = nullptr;
    if (!closed && ok) {
      ok = false;
      said = "Cannot write \"" + FFileName + "\": " + std::strerror(errno);
    }
  }
  said += Ended(ok);
  FSucceeded = ok;
  if (OnFinished) OnFinished(ok, said);
}

void TModemTransfer::Progress() {
  if (OnProgress) OnProgress();
}

bool TModemTransfer::Retry() {
  ++FErrors;
  return ++FRetries <= RetryLimit;
}

bool TModemTransfer::CancelledByFarEnd(std::uint8_t byte) {
  const bool twice = byte == CAN && FLastWasCan;
  FLastWasCan = byte == CAN;
  return twice;
}

// ---------------------------------------------------------------- sender

TModemSender::TModemSender(TModemProtocol protocol, std::vector<std::string> files)
    : TModemTransfer(protocol), FFiles(std::move(files)) {
  Pause = [](int us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); };
}

void TModemSender::SendAfterGap(const std::string& bytes) {
  if (Pause && GapUs > 0) Pause(GapUs);
  Sent(bytes);
}

void TModemSender::Start() {
  if (FFiles.empty()) return Finish(false, "No file to send.");
  if (FProtocol != mpYmodem && FFiles.size() > 1) return Finish(false, "XMODEM sends one file at a time.");
  if (!OpenNext()) return;
  FState = sStart;
  Wait(StartTimeoutMs);
}

bool TModemSender::OpenNext() {
  const std::string& path = FFiles[FNext++];
  FFile = std::fopen(path.c_str(), "rb");
  struct stat st;
  if (!FFile || ::fstat(fileno(FFile), &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string reason = FFile ? "it is not a file" : std::strerror(errno);
    Finish(false, "Cannot read \"" + path + "\": " + reason);
    return false;
  }
  FFileName = path;
  FFileSize = std::uint64_t(st.st_size);
  FDone = 0;
  FBlockNumber = 1;
  Progress();
  return !FFinished;  // the user may cancel from the progress report
}

std::string TModemSender::Block(std::uint8_t number, const std::uint8_t* data, std::size_t size,
                                std::size_t blockSize) const {
  std::string block;
  block += char(blockSize == 1024 ? STX : SOH);
  block += char(number);
  block += char(255 - number);
  std::string body(reinterpret_cast<const char*>(data), size);
  body.resize(blockSize, char(number == 0 && FProtocol == mpYmodem ? 0 : CPMEOF));
  block += body;
  if (FCrc) {
    const std::uint16_t crc = ModemCrc(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    block += char(crc >> 8);
    block += char(crc & 0xFF);
  } else {
    std::uint8_t sum = 0;
    for (char c : body) sum = std::uint8_t(sum + std::uint8_t(c));
    block += char(sum);
  }
  return block;
}

// YMODEM's block 0: the name and size of the next file, or nothing at the
// end of the batch.
void TModemSender::SendHeader(bool last) {
  std::string info;
  if (!last) {
    struct stat st;
    ::fstat(fileno(FFile), &st);
    info = LastPart(FFileName);
    info += '\0';
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%llu %llo 0", static_cast<unsigned long long>(FFileSize),
                  static_cast<unsigned long long>(st.st_mtime));
    info += numbers;
  }
  const std::size_t size = info.size() < 128 ? 128 : 1024;
  info.resize(std::min(info.size(), size));
  FLastSent = Block(0, reinterpret_cast<const std::uint8_t*>(info.data()), info.size(), size);
  FState = last ? sEndAck : sHeaderAck;
  SendAfterGap(FLastSent);
  Wait(last ? std::min(BlockTimeoutMs, EndTimeoutMs) : BlockTimeoutMs);
}

void TModemSender::SendNextBlock() {
  // 1 KiB blocks where the protocol has them; the tail of a YMODEM file in a
  // short block when it fits one.
  std::size_t blockSize = 128;
  if (FCrc && (FProtocol == mpXmodem1k || FProtocol == mpYmodem)) blockSize = 1024;
  if (FProtocol == mpYmodem && FFileSize - FDone <= 128) blockSize = 128;
  std::uint8_t data[1024];
  const std::size_t got = std::fread(data, 1, blockSize, FFile);
  if (got == 0) {
    if (std::ferror(FFile)) return Abort("Cannot read \"" + FFileName + "\": " + std::strerror(errno));
    return SendEot();
  }
  FLastDataSize = got;
  FLastSent = Block(FBlockNumber, data, got, blockSize);
  FState = sBlockAck;
  FRetries = 0;
  SendAfterGap(FLastSent);
  Wait(BlockTimeoutMs);
}

void TModemSender::SendEot() {
  FLastSent = std::string(1, char(EOT));
  FState = sEotAck;
  FRetries = 0;
  SendAfterGap(FLastSent);
  Wait(BlockTimeoutMs);
}

std::string TModemSender::SentFiles() const { return "Sent " + Counted(FFiles.size(), "file"); }

void TModemSender::Resend() {
  GapUs = std::min(std::max(GapUs, 500) * 2, MaxGapUs);  // a block lost: hold back longer
  if (!Retry()) {
    const std::string tries = " after " + std::to_string(RetryLimit) + " tries.";
    if (FState == sEotAck) return Abort("The receiver did not confirm the end of \"" + LastPart(FFileName) + "\"" + tries);
    if (FState == sBlockAck) return Abort("The receiver did not take block " + std::to_string(FBlockNumber) + tries);
    return Abort("The receiver did not take the file's name and size" + tries);
  }
  SendAfterGap(FLastSent);
  Wait(BlockTimeoutMs);
}

void TModemSender::Received(const std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  for (; i < count && !FFinished; ++i) {
    const std::uint8_t c = bytes[i];
    if (CancelledByFarEnd(c)) {
      ClosingFollows(0, 0, true);
      Finish(false, "The receiver cancelled the transfer.");
      continue;
    }
    switch (FState) {
      case sStart:
      case sDataStart:
      case sNextStart:
        // The receiver asks for CRC blocks with "C", for checksums with NAK.
        if (c != std::uint8_t(StartCrc) && c != NAK) break;
        if (FProtocol == mpYmodem && c != std::uint8_t(StartCrc)) break;  // YMODEM needs CRCs
        FCrc = c == std::uint8_t(StartCrc);
        FRetries = 0;
        if (FState == sNextStart) {
          // The next file's header, or the empty one that ends the batch.
          if (FNext < FFiles.size()) {
            if (!OpenNext()) return;
            SendHeader(false);
          } else {
            SendHeader(true);
          }
        } else if (FState == sStart && FProtocol == mpYmodem) {
          SendHeader(false);
        } else {
          SendNextBlock();
        }
        break;
      case sHeaderAck:
        if (c == ACK) {
          FState = sDataStart;  // the receiver asks for the data with another "C"
          Wait(BlockTimeoutMs);
        } else if (c == NAK || c == std::uint8_t(StartCrc)) {
          Resend();
        }
        break;
      case sBlockAck:
        if (c == ACK) {
          FDone += FLastDataSize;
          ++FBlockNumber;
          Progress();
          if (!FFinished) SendNextBlock();
        } else if (c == NAK) {
          Resend();
        }
        break;
      case sEotAck:
        if (c == ACK) {
          std::fclose(FFile);
          FFile = nullptr;
          if (FProtocol != mpYmodem) return Finish(true, "Sent " + LastPart(FFileName) + ".");
          FState = sNextStart;
          Wait(BlockTimeoutMs);
        } else if (c == NAK) {
          Resend();  // a YMODEM receiver refuses the first EOT, to be sure of it
        }
        break;
      case sEndAck:
        if (c == ACK) Finish(true, SentFiles() + ".");
        else if (c == NAK) Resend();
        break;
    }
  }
  if (i < count) AfterEnd(bytes + i, count - i);
}

void TModemSender::LineLost() {
  // rb hangs up as it exits, the closing block's answer perhaps unsent.
  if (FState == sEndAck && !FFinished)
    return Finish(true, SentFiles() + " (the receiver left before it answered the end of the batch: every file's end was confirmed).");
  TModemTransfer::LineLost();
}

void TModemSender::Tick() {
  if (FFinished || !TimedOut()) return;
  switch (FState) {
    case sEndAck:
      // Every file's end was confirmed; a receiver that empties its input
      // as it exits (rb does) loses the answer to the closing block on a
      // fast line. Nothing more goes to it: it has left, and what is sent
      // now lands in the far shell.
      return Finish(true, SentFiles() + " (the receiver did not answer the end of the batch: every file's end was confirmed).");
    case sStart:
    case sDataStart:
    case sNextStart:
      return Abort(FState == sStart ? "The receiver did not start: no \"C\" or NAK came."
                                            : "The receiver stopped answering.");
    default: return Resend();
  }
}

// -------------------------------------------------------------- receiver

TModemReceiver::TModemReceiver(TModemProtocol protocol, std::string target)
    : TModemTransfer(protocol), FTarget(std::move(target)) {
  FCrc = protocol != mpXmodem;
}

void TModemReceiver::Start() {
  if (FProtocol == mpYmodem) {
    FWaitingForHeader = true;
    FExpected = 0;
  } else {
    // XMODEM's file comes into a part file beside it, which takes its name
    // only once the transfer succeeded: a file that was there stays whole
    // until then, and a failed transfer leaves nothing.
    std::string part = FTarget + ".part";
    for (int n = 1; PathTaken(part); ++n) part = FTarget + ".part" + std::to_string(n);
    if (!OpenFile(part, FTarget)) return;
    FPartPath = part;
  }
  AskToStart();
}

std::string TModemReceiver::Ended(bool ok) {
  if (FPartPath.empty() || ok) return {};  // renamed at its end
  std::error_code error;
  std::filesystem::remove(FPartPath, error);
  FPartPath.clear();
  return {};
}

TModemReceiver::~TModemReceiver() {
  if (FFile) {
    std::fclose(FFile);
    FFile = nullptr;
  }
  Ended(false);
}

bool TModemReceiver::OpenFile(const std::string& path, const std::string& shownAs) {
  FFile = std::fopen(path.c_str(), "wb");
  if (!FFile) {
    Abort("Cannot write \"" + path + "\": " + std::strerror(errno));
    return false;
  }
  FFileName = shownAs;
  FDone = 0;
  FWritten.push_back(shownAs);
  Progress();
  return !FFinished;
}

// "C" (or NAK for checksums) every few seconds until the sender begins; an
// XMODEM sender that never answers a "C" may know checksums only.
void TModemReceiver::AskToStart() {
  if (FStartTries * 3000 >= StartTimeoutMs) {
    return Abort("The sender did not begin.");
  }
  if (FProtocol != mpYmodem && FStartTries == 4) FCrc = false;
  ++FStartTries;
  Sent(std::string(1, FCrc ? StartCrc : char(NAK)));
  Wait(3000);
}

void TModemReceiver::Received(const std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  for (; i < count && !FFinished; ++i) {
    const std::uint8_t c = bytes[i];
    FCanRun = c == CAN ? FCanRun + 1 : 0;
    if (FCanRun >= 2) FCancelSeen = true;
    if (FIn.empty()) {
      if (CancelledByFarEnd(c)) {
        ClosingFollows(0, 0, true);
        Finish(false, "The sender cancelled the transfer.");
        continue;
      }
      if (c == EOT) {
        FStarted = true;
        EndOfFile();
        continue;
      }
      if (c != SOH && c != STX) continue;  // noise between blocks
    }
    FIn += char(c);
    const std::size_t size = std::uint8_t(FIn[0]) == STX ? 1024 : 128;
    const std::size_t whole = 3 + size + (FCrc ? 2 : 1);
    if (FIn.size() < whole) continue;
    FStarted = true;
    const auto* block = reinterpret_cast<const std::uint8_t*>(FIn.data());
    bool good = block[1] == std::uint8_t(255 - block[2]);
    if (FCrc) {
      good = good && ModemCrc(block + 3, size) == ((block[3 + size] << 8) | block[4 + size]);
    } else {
      std::uint8_t sum = 0;
      for (std::size_t k = 0; k < size; ++k) sum = std::uint8_t(sum + block[3 + k]);
      good = good && sum == block[3 + size];
    }
    const std::string taken = std::exchange(FIn, std::string());
    if (!good) {
      // A sender that cancels mid-block sends its CANs into the block.
      if (FCancelSeen) {
        ClosingFollows(0, 0, true);
        Finish(false, "The sender cancelled the transfer.");
        continue;
      }
      if (!Retry()) {
        return Abort("Too many damaged blocks: the line is too noisy.");
      }
      Sent(std::string(1, char(NAK)));
      Wait(BlockTimeoutMs);
      continue;
    }
    FCancelSeen = false;  // CANs in a good block were data
    TakeBlock(block[1], reinterpret_cast<const std::uint8_t*>(taken.data()) + 3, size);
  }
  if (i < count) AfterEnd(bytes + i, count - i);
}

void TModemReceiver::TakeBlock(std::uint8_t number, const std::uint8_t* data, std::size_t size) {
  if (FWaitingForHeader) {
    if (number != 0) {  // the sender went on without us: start again
      Sent(std::string(1, StartCrc));
      return Wait(BlockTimeoutMs);
    }
    if (!TakeHeader(data, size)) return;
    FRetries = 0;
    return;
  }
  if (number == std::uint8_t(FExpected - 1)) {  // our ACK got lost: the same block again
    // ... but not for ever: a sender stuck on one block is given up.
    if (!Retry()) return Abort("The sender sent block " + std::to_string(number) + " again " +
                               Counted(std::size_t(RetryLimit) + 1, "time") + ": it does not take the answers.");
    Sent(std::string(1, char(ACK)));
    return Wait(BlockTimeoutMs);
  }
  if (number != FExpected) {
    return Abort("Block " + std::to_string(number) + " came where " + std::to_string(FExpected) +
                             " was due: the transfer lost its place.");
  }
  // A YMODEM file ends at its size; the padding of the last block is dropped.
  std::size_t keep = size;
  if (FProtocol == mpYmodem && FFileSize > 0) keep = std::size_t(std::min<std::uint64_t>(size, FFileSize - FDone));
  if (keep > 0 && std::fwrite(data, 1, keep, FFile) != keep) {
    const std::string reason = std::strerror(errno);
    return Abort("Cannot write \"" + FFileName + "\": " + reason);
  }
  FDone += keep;
  ++FExpected;
  FRetries = 0;
  Progress();
  if (FFinished) return;
  Sent(std::string(1, char(ACK)));
  Wait(BlockTimeoutMs);
}

bool TModemReceiver::TakeHeader(const std::uint8_t* data, std::size_t size) {
  const std::string info(reinterpret_cast<const char*>(data), size);
  const std::string name = info.substr(0, info.find('\0'));
  if (name.empty()) {  // the end of the batch
    Sent(std::string(1, char(ACK)));
    const std::size_t files = FWritten.size();
    Finish(true, "Received " + Counted(files, "file") + ".");
    return false;
  }
  const std::string path = ReceivedFilePath(FTarget, name);
  const std::size_t nul = info.find('\0');
  FFileSize = 0;
  if (nul != std::string::npos) FFileSize = std::strtoull(info.c_str() + nul + 1, nullptr, 10);
  if (!OpenFile(path, path)) return false;
  FWaitingForHeader = false;
  FExpected = 1;
  Sent(std::string(1, char(ACK)));
  Sent(std::string(1, StartCrc));  // and now the data
  Wait(BlockTimeoutMs);
  return true;
}

void TModemReceiver::EndOfFile() {
  if (FWaitingForHeader) {  // an EOT again: our ACK got lost
    Sent(std::string(1, char(ACK)));
    return Wait(BlockTimeoutMs);
  }
  Sent(std::string(1, char(ACK)));
  if (FFile && std::fclose(FFile) != 0) {
    FFile = nullptr;
    return Abort("Cannot write \"" + FFileName + "\": " + std::strerror(errno));
  }
  FFile = nullptr;
  if (FProtocol != mpYmodem) {
    std::error_code error;
    std::filesystem::rename(FPartPath, FTarget, error);
    if (error) return Abort("Cannot write \"" + FTarget + "\": " + error.message() + " (the file is in \"" + FPartPath + "\")");
    FPartPath.clear();
    return Finish(true, "Received " + LastPart(FFileName) + ".");
  }
  if (FFileSize > 0 && FDone != FFileSize) {
    return Abort("\"" + LastPart(FFileName) + "\" came short: " + std::to_string(FDone) + " of " +
                             std::to_string(FFileSize) + " bytes.");
  }
  // The next file's header.
  FWaitingForHeader = true;
  FExpected = 0;
  Sent(std::string(1, StartCrc));
  Wait(BlockTimeoutMs);
}

void TModemReceiver::Tick() {
  if (FFinished || !TimedOut()) return;
  if (FCancelSeen) return Finish(false, "The sender cancelled the transfer.");
  if (!FStarted) return AskToStart();
  // Nothing whole came in time: what came is dropped and asked for again.
  FIn.clear();
  if (!Retry()) {
    return Abort("The sender stopped sending.");
  }
  Sent(std::string(1, FWaitingForHeader ? StartCrc : char(NAK)));
  Wait(BlockTimeoutMs);
}
