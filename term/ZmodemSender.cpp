// ZMODEM's sending end: offers each file, streams it from where the
// receiver asks, and ends the session.
#include "Zmodem.h"
#include "ZmodemCodes.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace zmodem;

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
      ClosingFollows(2, 0, false);
      return EndSession();
    case ZABORT:
    case ZCAN:
      return TakeCancel();
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

void TZmodemSender::TakeCancel() {
  const std::string line = StrayLine();
  ShowStrays();
  ClosingFollows(0, 0, true);
  Finish(false, line.empty() ? "The receiver cancelled the transfer." : "The receiver cancelled the transfer: \"" + line + "\".");
}

std::string TZmodemSender::ConfirmedOutcome() const {
  std::string said = Outcome();
  said.pop_back();  // its full stop
  return said + " (the receiver did not answer the end of the session: every file's end was confirmed).";
}

void TZmodemSender::LineLost() {
  if (FFinished) return;
  // rz hangs up as it exits, its last answer perhaps unsent.
  if (FState == sFinSent) return Finish(FSkipped.empty(), ConfirmedOutcome());
  TModemTransfer::LineLost();
}

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
  if (FState != sFinSent && TextInsteadOfFrames(FState == sInit ? InitRepeatMs : BlockTimeoutMs)) return;
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
    case sFinSent:
      // Every file was confirmed; a receiver that empties its input as it
      // exits loses the answer, and what is sent now lands in a far shell.
      return Finish(FSkipped.empty(), ConfirmedOutcome());
    case sStreaming:
      return;
  }
}
