#include "ModuleLink.h"

#include "CPortTexts.h"
#include "ConfirmedAnswer.h"
#include "Protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono;

// How long a module that has shown it needs pacing gets after a record
// before the next command: the window's All Send clicks a button every
// 500 ms and sends the record 200 ms after its command.
constexpr int PacingMs = 300;
// Bytes that keep coming for this long are noise on the line, not answers.
constexpr int NoiseLimitMs = 2000;
// A wait is cut into slices of this length, so an interrupt is heard.
constexpr int SliceMs = 50;
// How long a module that answered before and then fell silent gets before
// it is asked once more: one that took a command the line changed for the
// start of a record drops what it took once it has heard nothing for a
// while, and answers again.
constexpr int DropMs = 1500;
// The line is quiet only once nothing came for this long: a USB adapter
// holds bytes back for up to 16 ms (its latency timer), and a device server
// sends what it has in packets, so a pause of a few character times may be
// the middle of an answer.
constexpr int MinQuietMs = 25;

std::string HexByte(std::uint8_t b) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", b);
  return text;
}

// The end marker every settings record of the load image carries.
void CheckImageMarkers(const TLoadImage& image) {
  struct TMarker {
    const char* Record;
    int At;
  };
  const TMarker markers[] = {{"SYSTEM", LoadSystemOffset + SystemMarkerOffset},
                             {"CH1", LoadChannelOffsetOf(0) + ChannelMarkerOffset},
                             {"CH2", LoadChannelOffsetOf(1) + ChannelMarkerOffset},
                             {"CH3", LoadChannelOffsetOf(2) + ChannelMarkerOffset},
                             {"CH4", LoadChannelOffsetOf(3) + ChannelMarkerOffset},
                             {"AUX", LoadAuxOffset + AuxMarkerOffset}};
  for (const TMarker& m : markers) {
    const std::uint8_t b = image[std::size_t(m.At)];
    if (b != RecordEndMarker)
      throw EBatch(bsModule, std::string("Load Error: the answer is no load image: its ") + m.Record +
                                 " record has no end marker (byte " + std::to_string(m.At) + " is " + HexByte(b) +
                                 ", not " + HexByte(RecordEndMarker) + ")");
  }
}

// Rounded up: a wait with any time left asks for at least a millisecond.
int MsUntil(steady_clock::time_point t) {
  return int(std::max<long long>(0, ceil<milliseconds>(t - steady_clock::now()).count()));
}

}  // namespace

TModuleLink::TModuleLink(const std::string& port, const TLinkOptions& options)
    : FOptions(options), FPort(std::make_unique<TComPort>()) {
  TComPort& p = *FPort;
  p.SetPort(port);
  p.SetBaudRate(options.BaudRate);
  if (options.BaudRate == brCustom) p.SetCustomBaudRate(options.CustomBaudRate);
  p.SetDataBits(options.DataBits);
  p.SetStopBits(options.StopBits);
  p.Parity().SetBits(options.Parity);
  p.FlowControl().SetFlowControl(options.FlowControl);
  p.SetEvents({});  // no event thread: the exchanges read on their own
  p.Open();
  const int baud = options.BaudRate == brCustom ? options.CustomBaudRate : BaudRateToInt(options.BaudRate);
  const double bits = 1 + (5 + int(options.DataBits)) + (options.Parity == prNone ? 0 : 1) +
                      (options.StopBits == sbOneStopBit ? 1 : options.StopBits == sbOne5StopBits ? 1.5 : 2);
  FByteMicros = std::max(1, int(std::ceil(bits * 1e6 / std::max(baud, 1))));
  FQuietMs = std::max(MinQuietMs, int(std::ceil(4.0 * FByteMicros / 1000)));
}

TModuleLink::~TModuleLink() {
  try {
    FPort->Close();
  } catch (...) {
  }
}

void TModuleLink::CheckInterrupted() const {
  if (FOptions.Interrupted && FOptions.Interrupted()) throw EInterrupted();
}

void TModuleLink::Write(const std::string& bytes, const char* what) {
  if (FOptions.Log) FOptions.Log("->", bytes, what);
  const int written = FPort->Write(bytes.data(), int(bytes.size()));
  if (written != int(bytes.size()))
    throw EBatch(bsPort, "the line took " + std::to_string(written) + " of the " + std::to_string(bytes.size()) +
                             " bytes of the " + what + " in time");
}

std::string TModuleLink::ReadSome(std::size_t most, int waitMs) {
  // The first bytes end the read; none within waitMs gives none. Never a
  // wait of 0, which would mean "at once" rather than "a little while".
  TComTimeouts& t = FPort->Timeouts();
  t.SetReadInterval(-1);
  t.SetReadTotalMultiplier(-1);
  t.SetReadTotalConstant(std::max(waitMs, 1));
  std::string bytes;
  FPort->ReadStr(bytes, int(most));
  return bytes;
}

void TModuleLink::Settle() {
  // The answer just taken was followed by quiet: a look at what came since
  // is enough.
  bool quiet = std::exchange(FQuietAfterAnswer, false);
  if (FPaced && FRecordSent) {
    const auto until = FLastRecord + milliseconds(PacingMs);
    while (steady_clock::now() < until) {
      CheckInterrupted();
      const std::string late = ReadSome(4096, std::min(SliceMs, MsUntil(until)));
      if (late.empty()) continue;
      quiet = false;
      if (FOptions.Log) FOptions.Log("<-", late, "late answer, discarded");
    }
  }
  // After a command without an answer, an answer may still be on its way:
  // it is waited out, not taken for the next one's.
  int quietMs = std::exchange(FAnswerMayCome, false) ? std::max(FQuietMs, FOptions.AnswerMs) : FQuietMs;
  quietMs = std::max(quietMs, std::exchange(FDropMs, 0));
  int waitMs = quiet && quietMs == FQuietMs ? 1 : quietMs;
  const auto limit = steady_clock::now() + milliseconds(NoiseLimitMs);
  for (;;) {
    CheckInterrupted();
    const std::string stray = ReadSome(4096, std::min(SliceMs, waitMs));
    if (stray.empty()) {
      waitMs -= std::min(SliceMs, waitMs);
      if (waitMs <= 0) return;
      continue;
    }
    if (FOptions.Log) FOptions.Log("<-", stray, "stray bytes, discarded");
    if (quietMs > FQuietMs) FCameLate = true;
    // Bytes after a record: the module acknowledges records late.
    if (FRecordSent) FPaced = true;
    if (steady_clock::now() > limit)
      throw EBatch(bsPort, "the line never went quiet: bytes kept coming for " + std::to_string(NoiseLimitMs / 1000) + " s");
    waitMs = quietMs;
  }
}

std::string TModuleLink::Await(std::size_t want, bool exact) {
  // The answer window, and the time the bytes take at the line's speed.
  const auto deadline = steady_clock::now() + milliseconds(FOptions.AnswerMs) + microseconds(2 * FByteMicros * long(want));
  std::string answer;
  while (answer.size() < want) {
    CheckInterrupted();
    const int left = MsUntil(deadline);
    if (left <= 0) break;
    answer += ReadSome(want - answer.size(), std::min(SliceMs, left));
  }
  // An answer of fixed length must end there.
  if (exact && answer.size() == want) {
    const std::string more = ReadSome(4096, FQuietMs);
    FQuietAfterAnswer = more.empty();
    answer += more;
  }
  return answer;
}

std::string TModuleLink::Ask(const std::string& command, std::size_t want, bool exact, const char* what) {
  Settle();
  Write(command, what);
  const std::string answer = Await(want, exact);
  if (!answer.empty() && FOptions.Log) FOptions.Log("<-", answer, "answer");
  if (!answer.empty()) FAnswered = true;
  if (answer.empty()) {
    FAnswerMayCome = true;
    // A module that needs a moment after a record gets the window's pacing.
    if (FRecordSent) FPaced = true;
  }
  return answer;
}

EBatch TModuleLink::NotReady(const char* what) {
  return EBatch(bsPort, "Not Ready: no answer to the " + std::string(what) + " within " + std::to_string(FOptions.AnswerMs) +
                            " ms" + (FCameLate ? " (bytes came later: a slow module or link needs a longer --timeout)" : ""));
}

bool TModuleLink::LetItDrop() {
  if (!FAnswered || FDropped) return false;
  FDropped = true;
  FDropMs = DropMs;
  return true;
}

void TModuleLink::GoAhead(const std::string& command, const char* what) {
  // No answer may be a command the line garbled, or a module that needs a
  // moment after a record: it is asked once more, and once more again after
  // a while if it answered before.
  FCameLate = false;
  FDropped = false;
  for (int attempt = 0; attempt < 2 || (attempt == 2 && LetItDrop()); ++attempt)
    if (!Ask(command, 1, false, what).empty()) {
      if (attempt > 0) CountAskedAgain("go-ahead", attempt);
      return;
    }
  throw NotReady(what);
}

std::string TModuleLink::ConfirmedRead(const std::string& command, std::size_t want, std::size_t from, std::size_t to,
                                       const char* what, const char* name, const char* kind) {
  FCameLate = false;
  FDropped = false;
  std::vector<std::string> answers;  // their bytes from..to, of those of the right length
  std::vector<std::size_t> lengths;  // of the others
  int asked = 0, unanswered = 0;
  while (asked < MostAnswers) {
    ++asked;
    const std::string answer = Ask(command, want, true, what);
    if (answer.empty()) {
      // Twice no answer in a row is a module that does not answer (or a
      // line that has gone quiet), not a garbled answer.
      if (++unanswered < 2) continue;
      if (LetItDrop()) {
        unanswered = 0;
        continue;
      }
      if (answers.empty() && lengths.empty()) throw NotReady(what);
      throw EBatch(bsPort, UnconfirmedText(int(answers.size() + lengths.size()), name, true));
    }
    unanswered = 0;
    if (answer.size() != want) {
      // The same wrong length twice is the module's answer, not the line's.
      if (std::find(lengths.begin(), lengths.end(), answer.size()) != lengths.end()) throw WrongLength(command, what, answer.size(), want);
      lengths.push_back(answer.size());
      continue;
    }
    answers.push_back(answer.substr(from, to - from));
    std::string confirmed;
    if (ConfirmAnswers(answers, confirmed)) {
      // A clean line confirms with two answers; the rest was asked again.
      if (asked > 2) CountAskedAgain(kind, asked - 2);
      return confirmed;
    }
  }
  throw EBatch(bsPort, UnconfirmedText(asked, name));
}

EBatch TModuleLink::WrongLength(const std::string& command, const char* what, std::size_t got, std::size_t want) {
  const std::string count = got < want ? std::to_string(got) + " of " + std::to_string(want)
                                       : "more than " + std::to_string(want) + " (" + std::to_string(got) + ")";
  if (command == CommandBytes(mcLoad)) return EBatch(bsModule, "Load Error: the module answered " + count + " bytes");
  return EBatch(bsModule, "the module answered the " + std::string(what) + " with " + count + " bytes");
}

void TModuleLink::CountAskedAgain(const std::string& kind, int answers) {
  for (auto& [name, count] : FAskedAgain)
    if (name == kind) {
      count += answers;
      return;
    }
  FAskedAgain.emplace_back(kind, answers);
}

void TModuleLink::Send(TModuleCommand command, const std::uint8_t* record, std::size_t size, const char* what) {
  GoAhead(CommandBytes(command), what);  // any answer is the go-ahead
  Write(std::string(reinterpret_cast<const char*>(record), size), "record");
  FRecordSent = true;
  FLastRecord = steady_clock::now();
}

TModuleImage TModuleLink::LoadAll(bool markersChecked) {
  TModuleImage image;
  const std::string what = "load command (" + HexByte(mcLoad) + ")";
  const std::string bytes = ConfirmedRead(CommandBytes(mcLoad), image.Image.size(), 0, LoadImageUsedSize, what.c_str(),
                                          "load image", "load");
  std::copy(bytes.begin(), bytes.end(), image.Image.begin());  // the unused end stays zero
  if (markersChecked) CheckImageMarkers(image.Image);
  return image;
}

// An address asked for by its kind: the record's bytes. The answer's first
// bytes and what the record holds are the module's own: an answer is taken
// by its length, which must be exact.
std::string TModuleLink::LoadAddress(std::uint8_t kind, const char* name, const char* group) {
  const std::string what = std::string(name) + " address request (" + HexByte(FrameReply) + " " + HexByte(kind) + ")";
  const std::string answer = std::string(name) + " address answer";
  return ConfirmedRead(AddressRequest(kind), AddressAnswerSize(kind), AddressAnswerHeader, AddressAnswerSize(kind),
                       what.c_str(), answer.c_str(), group);
}

TNetRecord TModuleLink::LoadNet() {
  const std::string bytes = LoadAddress(FrameNetAddress, "network", "IP load");
  TNetRecord record{};
  std::copy(bytes.begin(), bytes.end(), record.begin());
  return record;
}

TMacRecord TModuleLink::LoadMac() {
  const std::string bytes = LoadAddress(FrameMacAddress, "MAC", "MAC load");
  TMacRecord record{};
  std::copy(bytes.begin(), bytes.end(), record.begin());
  return record;
}

void TModuleLink::SendChannel(int channel, const TChannelRecord& record) {
  std::uint8_t bytes[CommandRecordSize(mcChannel)];
  bytes[0] = std::uint8_t(channel);
  std::copy(record.begin(), record.end(), bytes + 1);
  const std::string what = "CH" + std::to_string(channel) + " settings command (" + HexByte(mcChannel) + ")";
  Send(mcChannel, bytes, sizeof bytes, what.c_str());
}

void TModuleLink::SendAux(const TAuxRecord& record) {
  Send(mcAux, record.data(), record.size(), ("AUX settings command (" + HexByte(mcAux) + ")").c_str());
}

void TModuleLink::SendSystem(const TSystemRecord& record) {
  Send(mcSystem, record.data(), record.size(), ("SYSTEM settings command (" + HexByte(mcSystem) + ")").c_str());
}

void TModuleLink::SendClock(const TClockRecord& record) {
  Send(mcClock, record.data(), record.size(), ("clock command (" + HexByte(mcClock) + ")").c_str());
}

void TModuleLink::SetNetAddress(const TNetRecord& record) {
  GoAhead(AddressFrame(FrameNetAddress, record.data(), int(record.size())), "network address frame");
  FRecordSent = true;
  FLastRecord = steady_clock::now();
}

void TModuleLink::SetMacAddress(const TMacRecord& record) {
  GoAhead(AddressFrame(FrameMacAddress, record.data(), int(record.size())), "MAC address frame");
  FRecordSent = true;
  FLastRecord = steady_clock::now();
}
