// One module's exchanges over its port, with the protocol of the window's
// commands: a command, any answer within the answer window as the
// go-ahead, then the record. Made to be trusted on a production line:
//  - before each command the line has been quiet for longer than an
//    adapter holds bytes back, so stray bytes (a late acknowledgement, a
//    longer answer than the protocol's) are discarded instead of taken as
//    the next answer;
//  - an answer whose length the protocol fixes and that has another, or a
//    load image without its records' end markers, is an error, never data;
//    what the protocol leaves to the module (the first three bytes of an
//    address answer, what its records hold) is taken as it comes;
//  - a module that acknowledges records late or needs a moment after one
//    gets the window's pacing (a command every 500 ms) and one more try;
//    one that answers at once goes at the speed of the line.
// Errors raise EBatch (or EComPort from the port).
#pragma once

#include "CPort.h"
#include "Configuration.h"
#include "Protocol.h"
#include "SysUtils.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Exit statuses a script can trust.
enum : int {
  bsSuccess = 0,
  bsModule = 1,  // a module answered but differs or refused (verify failed, wrong answer)
  bsPort = 2,    // a port or file error (cannot open, not ready, device vanished)
  bsUsage = 64,
};

// A failure of one module, with the exit status it stands for.
class EBatch : public Exception {
public:
  EBatch(int status, const std::string& message) : Exception(message), Status(status) {}
  int Status;
};

// A run stopped by a signal (Ctrl-C, SIGTERM, SIGHUP, SIGPIPE): the exchange
// under way was abandoned.
class EInterrupted : public Exception {
public:
  EInterrupted() : Exception("interrupted") {}
};

// How a link talks: the line settings (as the Setup dialog's texts set
// them), the answer window, and who hears of each exchange.
struct TLinkOptions {
  TBaudRate BaudRate = br115200;  // the module's line, as the window sets it
  int CustomBaudRate = 0;         // with brCustom
  TDataBits DataBits = dbEight;
  TStopBits StopBits = sbOneStopBit;
  TParityBits Parity = prNone;
  TFlowControl FlowControl = fcNone;
  int AnswerMs = 200;  // the window's Timer1
  // Each byte string that goes out or comes in, for --verbose.
  std::function<void(const char* direction, const std::string& bytes, const char* what)> Log;
  // Whether the run has been interrupted; checked at least every 50 ms.
  std::function<bool()> Interrupted;
};

class TModuleLink {
public:
  TModuleLink(const std::string& port, const TLinkOptions& options);
  ~TModuleLink();

  // The load image (exactly 464 bytes), its records' end markers checked;
  // without, as a write's read-back compares them with what was sent (a
  // record the line changed at its marker is sent again, not refused).
  TModuleImage LoadAll(bool markersChecked = true);
  TNetRecord LoadNet();    // the 22 bytes of the network address answer over zeros
  TMacRecord LoadMac();    // the 7 bytes of the MAC address answer over zeros
  void SendChannel(int channel, const TChannelRecord& record);
  void SendAux(const TAuxRecord& record);
  void SendSystem(const TSystemRecord& record);
  void SendClock(const TClockRecord& record);
  void SetNetAddress(const TNetRecord& record);
  void SetMacAddress(const TMacRecord& record);

  // Whether the module has been given the window's pacing.
  bool Paced() const { return FPaced; }

  // The answers a read asked for again, beyond the two that confirm one on a
  // clean line, by what was read ("load", "MAC load", "IP load"), and the
  // send commands asked again for their go-ahead ("go-ahead"), in the order
  // met.
  const std::vector<std::pair<std::string, int>>& AskedAgain() const { return FAskedAgain; }

private:
  using TClock = std::chrono::steady_clock;
  std::string LoadAddress(std::uint8_t kind, const char* name, const char* group);
  // Writes command once and returns what came: at least one byte, or
  // exactly want bytes when exact (and what followed them at once), or
  // nothing within the answer window.
  std::string Ask(const std::string& command, std::size_t want, bool exact, const char* what);
  // Writes command until any answer comes, twice at most.
  void GoAhead(const std::string& command, const char* what);
  // Asks with command until the answers of want bytes agree on their bytes
  // from..to (ConfirmAnswers), and returns those. An answer of another
  // length is asked again; the same wrong length twice is the module's.
  std::string ConfirmedRead(const std::string& command, std::size_t want, std::size_t from, std::size_t to,
                            const char* what, const char* name, const char* kind);
  EBatch NotReady(const char* what);
  // A module that answered before and now answers nothing may be holding
  // what a garbled command made it take for a record: the next settling
  // gives it time to drop that, once an exchange. False when that was done
  // or the module never answered.
  bool LetItDrop();
  static EBatch WrongLength(const std::string& command, const char* what, std::size_t got, std::size_t want);
  void CountAskedAgain(const std::string& kind, int answers);
  void Send(TModuleCommand command, const std::uint8_t* record, std::size_t size, const char* what);
  // Waits until the line has been quiet (and, when paced, until the pacing
  // allows the next command), discarding what comes.
  void Settle();
  // Up to want bytes within the answer window; with exact, also what
  // follows them at once.
  std::string Await(std::size_t want, bool exact);
  // Bytes that arrive within waitMs (as soon as the first ones do).
  std::string ReadSome(std::size_t most, int waitMs);
  void Write(const std::string& bytes, const char* what);
  void CheckInterrupted() const;

  TLinkOptions FOptions;
  std::unique_ptr<TComPort> FPort;
  int FQuietMs = 25;      // what counts as a quiet line
  int FByteMicros = 87;   // one character at the line's speed
  bool FPaced = false;
  bool FRecordSent = false;
  TClock::time_point FLastRecord{};  // when the last record went out
  bool FQuietAfterAnswer = false;    // the last answer was followed by quiet
  bool FAnswerMayCome = false;       // the last command had no answer
  bool FCameLate = false;            // bytes came after a command had none
  bool FAnswered = false;            // the module has answered on this link
  bool FDropped = false;             // this exchange gave it time to drop a record
  int FDropMs = 0;                   // the next settling's quiet, when longer
  std::vector<std::pair<std::string, int>> FAskedAgain;
};
