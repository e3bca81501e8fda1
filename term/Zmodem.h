// ZMODEM, both ways. The sender streams each file as data subpackets
// that the receiver checks one by one; on a damaged one the receiver asks
// again from its position (ZRPOS) and the sender goes back there. Frames
// carry a CRC-16 or a CRC-32, and every byte a line or a modem might eat
// (XON, XOFF, DLE, ZDLE itself, all controls when asked) goes as ZDLE and
// the byte with bit 6 flipped. The far end's start is recognised in what it
// sends (TZmodemWatch), so that `sz` and `rz` on the far end start a
// transfer here.
#pragma once

#include "ModemTransfer.h"

#include <cstdint>
#include <string>
#include <vector>

// What the far end's bytes say about a ZMODEM transfer it begins.
enum TZmodemStart {
  zsNone,
  zsFarSends,     // sz's ZRQINIT: it waits for a receiver
  zsFarReceives,  // rz's ZRINIT: it waits for files
};

// Watches the bytes the far end sends for the hex header that begins a
// transfer, across reads cut anywhere.
class TZmodemWatch {
public:
  TZmodemStart Feed(const std::uint8_t* bytes, std::size_t count);
  // Where in the bytes last fed the header that began a transfer began (0
  // when it began in bytes fed before).
  std::size_t HeaderAt() const { return FStart; }

private:
  std::size_t FMatched = 0;  // of the header's opening
  std::size_t FStart = 0;
};

// CRC-32 (as ZMODEM and zip have it) of data, going on from crc.
std::uint32_t ZmodemCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t count);

// What both ends share: writing headers and data subpackets, and reading
// them from the bytes as they come.
class TZmodemTransfer : public TModemTransfer {
public:
  TZmodemTransfer() : TModemTransfer(mpZmodem) {}
  void Received(const std::uint8_t* bytes, std::size_t count) override;

  // The longest data subpacket taken; the sender's are 1 KiB.
  static constexpr std::size_t MaxSubpacket = 8192;
  static constexpr std::size_t SubpacketSize = 1024;
  // Positions are 32 bits.
  static constexpr std::uint64_t MaxFileSize = 0xFFFFFFFFu;

protected:
  // A header came whole and sound: its type and its four bytes, read as a
  // position (the first byte lowest); the flags ZF0..ZF3 are its bytes
  // from the top.
  virtual void TakeHeader(int type, std::uint32_t value) = 0;
  // A data subpacket came whole and sound, with the ZDLE code that ended it.
  virtual void TakeData(const std::uint8_t* data, std::size_t size, std::uint8_t end) = 0;
  // A header or a subpacket failed its check or was cut short.
  virtual void TakeDamage(const std::string& what) = 0;
  // Five CANs in a row: the far end gave up.
  virtual void TakeCancel() = 0;
  // At a time-out: whether the far end has been writing text where frames
  // were due (the shell after its sz was killed, a board without rz), and
  // has then been quiet. Nothing more is sent then that a shell would run:
  // the first such time-out waits waitMs more, the second ends the
  // transfer with what the far end said, its text shown. True when either
  // was done.
  bool TextInsteadOfFrames(int waitMs);
  // The far end's last line of text since the last frame ("" when none).
  std::string StrayLine() const;
  // Shows the far end's text that came since the last frame.
  void ShowStrays();

  // After a header with data: data subpackets come next.
  void ExpectData();
  // Forgets a frame under way: the next header is looked for.
  void HuntHeader();

  std::string HexHeader(int type, std::uint32_t value);
  std::string BinaryHeader(int type, std::uint32_t value);
  std::string Subpacket(const std::uint8_t* data, std::size_t size, std::uint8_t end);
  // Sends a header and keeps it for a ZNAK.
  void SendHeader(const std::string& header);

  bool FCrc32Out = false;   // our binary frames carry CRC-32s
  bool FEscapeAll = false;  // every control character goes escaped
  std::string FLastHeader;

private:
  enum TReading { rHunt, rPad, rPadDle, rHex, rBinary, rData, rCrc };
  void Escape(std::string& out, std::uint8_t c);
  void Take(std::uint8_t c);
  void TakeHexDigit(std::uint8_t c);
  void TakeDecoded(int c);  // a byte, or ~end for an end code
  void Damaged(const std::string& what);
  void Unframed(std::uint8_t c);  // a byte not yet in a whole frame
  void FrameCame();

  TReading FReading = rHunt;
  bool FEscaped = false;      // a ZDLE came: the next byte is escaped
  bool FFrameCrc32 = false;   // the frame being read has a CRC-32
  bool FDataCrc32 = false;    // the data after the last header has
  int FCans = 0;              // CANs in a row
  int FHexLineEnd = 0;        // of a hex header's CR LF, still to come
  std::uint8_t FLastOut = 0;  // the last byte written, for "@ CR"
  std::uint8_t FEnd = 0;      // the end code of the subpacket being read
  std::size_t FDataSize = 0;  // and the size of its data
  std::string FIn;            // the frame being read
  std::string FUnframed;      // the bytes since the last sound frame
  TClock::time_point FUnframedAt{};
  int FTextTimeouts = 0;      // time-outs with text instead of frames
};

class TZmodemReceiver : public TZmodemTransfer {
public:
  // The files go into folder, each under the name the sender gives (last
  // part only, never over a file that is there), written first to a part
  // file beside it. A part file a broken transfer leaves is kept, and the
  // sender's asking to resume (sz -r) goes on from its end.
  explicit TZmodemReceiver(std::string folder);
  ~TZmodemReceiver() override;
  void Start() override;
  void Tick() override;
  void LineLost() override;
  const std::vector<std::string>& Files() const { return FWritten; }
  // How often the receiver says it is ready while nothing comes.
  int InitRepeatMs = 3000;
  // Whether the sender may use CRC-32 frames (else CRC-16).
  bool OfferCrc32 = true;

private:
  enum TState { sWaitFile, sSinit, sFileInfo, sWaitData, sData };
  void TakeHeader(int type, std::uint32_t value) override;
  void TakeData(const std::uint8_t* data, std::size_t size, std::uint8_t end) override;
  void TakeDamage(const std::string& what) override;
  void TakeCancel() override;
  std::string Ended(bool ok) override;
  void SendInit();
  std::string InitHeader();
  std::string Outcome() const;
  void AskFrom();  // ZRPOS at what is written
  void OpenFile(const std::string& info, bool resume);
  void EndOfFile();

  std::string FFolder;
  std::string FPartPath, FFinalName;  // the file under way
  TState FState = sWaitFile;
  bool FStarted = false;  // the sender has offered a file
  int FInits = 0;         // ZRINITs sent before anything came
  bool FResume = false;   // the file offered asks to resume
  std::vector<std::string> FWritten;
};

class TZmodemSender : public TZmodemTransfer {
public:
  explicit TZmodemSender(std::vector<std::string> files);
  void Start() override;
  void Tick() override;
  void LineLost() override;
  bool HasMoreToSend() const override { return FState == sStreaming && !FFinished; }
  // How often ZRQINIT goes while no receiver answers.
  int InitRepeatMs = 3000;

private:
  enum TState { sInit, sOffered, sStreaming, sWaitAck, sEofSent, sFinSent };
  void TakeHeader(int type, std::uint32_t value) override;
  void TakeData(const std::uint8_t* data, std::size_t size, std::uint8_t end) override;
  void TakeDamage(const std::string& what) override;
  void TakeCancel() override;
  void OfferNext();
  void SendFrom(std::uint64_t position);
  void SendNextSubpacket();
  void EndSession();
  std::string Outcome() const;
  std::string ConfirmedOutcome() const;  // the end's answer lost, every file confirmed

  std::vector<std::string> FFiles;
  std::size_t FNext = 0;
  TState FState = sInit;
  int FInits = 0;
  std::uint32_t FWindow = 0;         // the receiver's buffer; 0: it takes a stream
  std::uint64_t FSinceAck = 0;       // bytes sent since the last ZACK asked for
  std::uint64_t FFurthestAsked = ~0ull;  // retries start anew only beyond it
  std::string FOffer;                // the ZFILE frame, for sending again
  std::vector<std::string> FSkipped;  // the files the receiver refused
  std::size_t FSent = 0;
};
