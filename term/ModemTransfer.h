// File transfer with the XMODEM family, both ways: XMODEM with a checksum,
// with a CRC and with 1 KiB blocks, and YMODEM batches that carry each
// file's name and size (ZMODEM is in Zmodem.h, on the same base). A transfer is driven from outside: it is given the
// bytes the far end sent (Received) and the passing time (Tick), and sends
// through Send; it says how far it is (OnProgress) and how it ended
// (OnFinished).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

enum TModemProtocol { mpXmodem, mpXmodemCrc, mpXmodem1k, mpYmodem, mpZmodem };

// The protocol's name as the user reads it ("XMODEM-1K").
const char* ModemProtocolName(TModemProtocol protocol);
// "1 block", "3 blocks".
std::string Counted(std::size_t count, const std::string& thing);
// What tells a far end to stop a transfer: CANs, then backspaces that
// wipe them from a screen.
std::string ModemCancelSequence();
// CRC-16/XMODEM of data.
std::uint16_t ModemCrc(const std::uint8_t* data, std::size_t count);
// A path's last part, the file's own name.
std::string LastPart(const std::string& path);
// Where a file the sender names goes in folder: the name's last part only,
// without control characters (a sender chooses no folder), and never over
// a file that is there (".1", ".2" ... are added).
std::string ReceivedFilePath(const std::string& folder, const std::string& senderName);
// The name's last part only, without control characters ("received" when
// nothing is left).
std::string SafeFileName(const std::string& senderName);
// Whether anything is at path; a dangling link counts, nothing is written
// through it.
bool PathTaken(const std::string& path);
// What of bytes is text at their end: the run after the last byte that no
// terminal text holds (a control other than CR, LF, tab, backspace, bell
// and ESC, or a byte outside UTF-8; a CR or LF with its top bit set, as a
// shell echoes a hex header's line end, counts as text). Data in flight
// ends there; a shell's prompt after it survives.
std::string TextTail(const std::string& bytes);
// The last line of text in bytes with a letter or a digit in it (more
// than a prompt), without controls or escape sequences, at most 120
// characters: what a message quotes.
std::string LastTextLine(const std::string& bytes);

class TModemTransfer {
public:
  using TClock = std::chrono::steady_clock;
  explicit TModemTransfer(TModemProtocol protocol) : FProtocol(protocol) {}
  virtual ~TModemTransfer();
  TModemTransfer(const TModemTransfer&) = delete;
  TModemTransfer& operator=(const TModemTransfer&) = delete;

  std::function<void(const std::string& bytes)> Send;
  std::function<void()> OnProgress;
  std::function<void(bool ok, const std::string& message)> OnFinished;
  // The clock, replaceable for tests.
  std::function<TClock::time_point()> Now = [] { return TClock::now(); };

  virtual void Start() = 0;
  virtual void Received(const std::uint8_t* bytes, std::size_t count) = 0;
  // Called now and then (ten times a second will do): time-outs and retries.
  // A sender that streams sends its next piece here too, and asks to be
  // called again at once while it has more (HasMoreToSend).
  virtual void Tick() = 0;
  virtual bool HasMoreToSend() const { return false; }
  // Stops at once, telling the far end so.
  void Cancel();
  // The line went away (a hang-up, a device pulled out): the end, a
  // success only where everything had been confirmed before.
  virtual void LineLost();

  // After the end the far end's bytes are its own text again (the shell's
  // prompt after sz), less what the protocol still sends: the line end of
  // its last header, a ZMODEM sender's "OO", the CANs of its cancel, the
  // data still on its way after ours. Received takes them then too;
  // TakeText gives what is to be shown, once. While Holding, bytes of the
  // protocol may still come and are kept back; after a cancel that lasts
  // until the line has been quiet for QuietMs (DiscardLimitMs at most),
  // and the text after the last data is then shown.
  std::string TakeText();
  bool Holding() const;
  int QuietMs = 500;
  int DiscardLimitMs = 10000;

  bool Finished() const { return FFinished; }
  bool Succeeded() const { return FSucceeded; }
  // The file under way, its size when known (0: not known), the bytes done,
  // the blocks sent again or refused so far.
  const std::string& FileName() const { return FFileName; }
  std::uint64_t FileSize() const { return FFileSize; }
  std::uint64_t Done() const { return FDone; }
  int Errors() const { return FErrors; }

  // How long to wait for the far end to begin, for a block or an answer,
  // and how often to try again before giving up.
  int StartTimeoutMs = 60000;
  int BlockTimeoutMs = 10000;
  int RetryLimit = 10;
  // How long a sender waits for the answer to YMODEM's closing block.
  int EndTimeoutMs = 3000;

protected:
  void Finish(bool ok, const std::string& message);
  // Bytes that came after the end.
  void AfterEnd(const std::uint8_t* bytes, std::size_t count);
  // What the far end still sends of the protocol once it has ended: the
  // line end of a last hex header, os "O"s, a cancel's CANs and backspaces.
  void ClosingFollows(int lineEnds, int os, bool cancel);
  // Text of the far end's that came in the transfer, shown after its end.
  void ShowText(const std::string& text) { FText += text; }
  // At the end, the file closed: what a transfer leaves behind, and what
  // the message adds about it.
  virtual std::string Ended(bool ok) { (void)ok; return {}; }
  // Tells the far end to stop, and ends with the reason.
  void Abort(const std::string& message);
  void Progress();
  void Wait(int ms) { FDeadline = Now() + std::chrono::milliseconds(ms); }
  bool TimedOut() const { return Now() >= FDeadline; }
  // Counts an error; false when there have been too many in a row.
  bool Retry();
  void Sent(const std::string& bytes) {
    if (Send) Send(bytes);
  }
  // Two CANs in a row from the far end end the transfer.
  bool CancelledByFarEnd(std::uint8_t byte);

  TModemProtocol FProtocol;
  std::FILE* FFile = nullptr;
  std::string FFileName;
  std::uint64_t FFileSize = 0;
  std::uint64_t FDone = 0;
  int FErrors = 0;
  int FRetries = 0;  // in a row
  TClock::time_point FDeadline{};
  bool FFinished = false;
  bool FSucceeded = false;
  bool FLastWasCan = false;

private:
  enum TAfterEnd { aeShow, aeClosing, aeDiscard };
  void ReleaseHeld();  // the protocol's bytes are over: what was held back is text
  TAfterEnd FAfter = aeShow;
  int FLineEnds = 0, FOs = 0, FOsSeen = 0;
  bool FInCancel = false;  // in a cancel's CANs and backspaces
  int FCansAfter = 0;      // CANs in a row after the end
  std::string FText;  // to be shown
  std::string FHeld;  // after a cancel: the bytes since the last data, kept back
  TClock::time_point FEndedAt{}, FLastByteAt{};
};

class TModemSender : public TModemTransfer {
public:
  // Files to send: one for XMODEM, any number for YMODEM.
  TModemSender(TModemProtocol protocol, std::vector<std::string> files);
  // Some receivers clear their input right after each answer, so that a
  // block sent at once on a fast link (a pseudo-terminal, a network) is
  // lost and waited for. The sender holds back this long after an answer,
  // twice as long after each block lost, up to MaxGapUs; how it pauses is
  // replaceable for tests.
  int GapUs = 1000;
  static constexpr int MaxGapUs = 32000;
  std::function<void(int us)> Pause;
  void Start() override;
  void Received(const std::uint8_t* bytes, std::size_t count) override;
  void Tick() override;
  void LineLost() override;

private:
  enum TState { sStart, sHeaderAck, sDataStart, sBlockAck, sEotAck, sNextStart, sEndAck };
  bool OpenNext();
  void SendHeader(bool last);
  void SendNextBlock();
  void SendEot();
  void Resend();
  void SendAfterGap(const std::string& bytes);
  std::string SentFiles() const;  // "Sent 2 files"
  std::string Block(std::uint8_t number, const std::uint8_t* data, std::size_t size, std::size_t blockSize) const;

  std::vector<std::string> FFiles;
  std::size_t FNext = 0;  // the next file to open
  TState FState = sStart;
  bool FCrc = false;
  std::uint8_t FBlockNumber = 0;
  std::string FLastSent;  // what goes again on a NAK or a time-out
  std::size_t FLastDataSize = 0;
};

class TModemReceiver : public TModemTransfer {
public:
  // XMODEM: the file to write (through a part file beside it, which
  // replaces it only once the transfer succeeded); YMODEM: the folder the
  // files go into, by the names the sender gives (their last part only; an
  // existing file is never overwritten: ".1", ".2" ... are added).
  TModemReceiver(TModemProtocol protocol, std::string target);
  ~TModemReceiver() override;
  void Start() override;
  void Received(const std::uint8_t* bytes, std::size_t count) override;
  void Tick() override;
  // The files written so far.
  const std::vector<std::string>& Files() const { return FWritten; }

private:
  void AskToStart();
  void TakeBlock(std::uint8_t number, const std::uint8_t* data, std::size_t size);
  bool TakeHeader(const std::uint8_t* data, std::size_t size);
  void EndOfFile();
  bool OpenFile(const std::string& path, const std::string& shownAs);
  std::string Ended(bool ok) override;

  std::string FTarget;
  std::string FPartPath;  // XMODEM: the file being written, until it is renamed
  std::string FIn;  // bytes of a block under way
  bool FCrc = true;
  bool FWaitingForHeader = false;  // YMODEM: block 0 comes next
  bool FStarted = false;           // the sender has sent something
  int FStartTries = 0;
  std::uint8_t FExpected = 1;
  std::vector<std::string> FWritten;
  int FCanRun = 0;            // CANs in a row on the line, in blocks or between them
  bool FCancelSeen = false;   // two or more since the last good block
};
