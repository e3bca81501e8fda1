#include "CPortEsc.h"

#include <cstring>

namespace {

constexpr char ESC = 27;

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string Esc(const char* text) { return std::string(1, ESC) + text; }

}  // namespace

// ------------------------------------------------------------------- VT52

TEscapeResult TEscapeCodesVT52::ProcessSequenceChar(char Ch) {
  if (!Collecting) {  // an ESC
    SequenceText.clear();
    Collecting = true;
    return erNothing;
  }
  SequenceText += Ch;
  const TEscapeCode code = DetectCode();
  if (code == ecNotCompleted) return erNothing;
  LastCode = code;
  Collecting = false;
  return erCode;
}

TEscapeCode TEscapeCodesVT52::DetectCode() {
  switch (SequenceText[0]) {
    case 'A': return ecCursorUp;
    case 'B': return ecCursorDown;
    case 'C': return ecCursorRight;
    case 'D': return ecCursorLeft;
    case 'H': return ecCursorHome;
    case 'I': return ecReverseLineFeed;
    case 'J': return ecEraseScreenFrom;
    case 'K': return ecEraseLineFrom;
    case 'Z': return ecIdentify;
    case 'Y':
      if (SequenceText.size() < 3) return ecNotCompleted;
      // Row and column travel as the byte value minus 31.
      Parameters.push_back(std::to_string(int(std::uint8_t(SequenceText[1])) - 31));
      Parameters.push_back(std::to_string(int(std::uint8_t(SequenceText[2])) - 31));
      return ecCursorMove;
    case '/':
      if (SequenceText.size() < 2) return ecNotCompleted;
      return SequenceText[1] == 'Z' ? ecIdentResponse : ecUnknown;
    default: return ecUnknown;
  }
}

std::string TEscapeCodesVT52::EscCodeToStr(TEscapeCode Code, const TStrings* Params) {
  switch (Code) {
    case ecCursorUp: return Esc("A");
    case ecCursorDown: return Esc("B");
    case ecCursorLeft: return Esc("D");
    case ecCursorRight: return Esc("C");
    case ecCursorHome: return Esc("H");
    case ecCursorMove:
      return Esc("Y") + char(GetParam(1, Params) + 31) + char(GetParam(2, Params) + 31);
    case ecReverseLineFeed: return Esc("I");
    case ecEraseLineFrom: return Esc("K");
    case ecEraseScreenFrom: return Esc("J");
    case ecIdentify: return Esc("Z");
    case ecIdentResponse: return Esc("/Z");
    default: return {};
  }
}

// ------------------------------------------------------------------ VT100

TEscapeCodesVT100::TEscapeCodesVT100() {
  for (int c = 0; c < 256; ++c) BracketFinal[c] = IsLetter(char(c));
}

TEscapeResult TEscapeCodesVT100::ProcessSequenceChar(char Ch) {
  if (!Collecting) {  // an ESC
    SequenceText.clear();
    Collecting = true;
    CollectingBracketed = false;
    return erNothing;
  }
  SequenceText += Ch;
  TEscapeCode code = DetectCode();
  // A sequence whose end never comes is cut off: what follows is text.
  if (code == ecNotCompleted && SequenceText.size() >= MaxSequence) code = ecUnknown;
  if (code == ecNotCompleted) return erNothing;
  LastCode = code;
  Collecting = false;
  CollectingBracketed = false;
  return erCode;
}

TEscapeResult TEscapeCodesVT100::ContinueSequence(const char* text, std::size_t count, std::size_t& taken) {
  std::size_t i = 0;
  if (Collecting && !CollectingBracketed && SequenceText.empty() && count > 1 && text[0] == '[' &&
      QuickBracketed(text, count, taken))
    return erCode;
  // The "[" that opens a bracketed sequence, as DetectCode takes it.
  if (Collecting && !CollectingBracketed && SequenceText.empty() && count > 0 && text[0] == '[') {
    SequenceText += '[';
    CollectingBracketed = true;
    i = 1;
  }
  while (i < count && Collecting) {
    if (CollectingBracketed) {
      // A run of parameter bytes joins the sequence at once.
      const std::size_t room = MaxSequence - 1 - std::min(SequenceText.size(), MaxSequence - 1);
      const std::size_t end = i + std::min(count - i, room);
      std::size_t j = i;
      while (j < end && !BracketFinal[std::uint8_t(text[j])]) ++j;
      if (j < count && j < end) {
        // The final letter is here too: the sequence ends now.
        SequenceText.append(text + i, j + 1 - i);
        taken = j + 1;
        LastCode = TEscapeCodesVT100::DetectBracketed();
        Collecting = false;
        CollectingBracketed = false;
        return erCode;
      }
      SequenceText.append(text + i, j - i);
      i = j;
      if (i == count) break;
    }
    const TEscapeResult result = ProcessSequenceChar(text[i++]);
    if (result != erNothing) {
      taken = i;
      return result;
    }
  }
  taken = i;
  return erNothing;
}

TEscapeCode TEscapeCodesVT100::DetectCode() {
  if (CollectingBracketed) return DetectBracketed();
  if (SequenceText[0] == '[') {
    CollectingBracketed = true;
    return ecNotCompleted;
  }
  return DetectShort();
}

TEscapeCode TEscapeCodesVT100::DetectShort() {
  const std::string& s = SequenceText;
  if (s.size() == 1) {
    static constexpr std::array<TEscapeCode, 256> Codes = FinalCodes(sfEscape, false);
    return s[0] == '#' || s[0] == 'O' ? ecNotCompleted : Codes[std::uint8_t(s[0])];
  }
  if (s == "#8") return ecTest;
  if (s[0] == 'O') {
    switch (s[1]) {
      case 'A': return ecAppCursorUp;
      case 'B': return ecAppCursorDown;
      case 'C': return ecAppCursorRight;
      case 'D': return ecAppCursorLeft;
      default: break;
    }
  }
  return ecUnknown;
}

void TEscapeCodesVT100::SplitParameters(TStrings& params) const {
  // Between the "[" and the final letter. A ";" ends a parameter that has
  // something in it; one that starts a parameter stays in it.
  const std::uint32_t size = std::uint32_t(SequenceText.size()) - 2;
  const char* text = SequenceText.data() + 1;
  params.SetText(std::string_view(text, size));
  std::uint32_t start = 0;
  for (std::uint32_t i = 0; i < size; ++i) {
    if (text[i] == ';' && i > start) {
      params.AddPiece(start, i - start);
      start = i + 1;
    }
  }
  if (size > start) params.AddPiece(start, size - start);
}

bool TEscapeCodesVT100::QuickBracketed(const char* text, std::size_t count, std::size_t& taken) {
  // Digits and ";" only, split as SplitParameters does.
  const std::size_t size = Parameters.ScanParameters<false, false>(text + 1, count - 1);
  if (size == TStrings::npos || !BracketFinal[std::uint8_t(text[size + 1])]) return false;
  SequenceText.append(text, size + 2);
  taken = size + 2;
  LastCode = DecideBracketed(text[size + 1]);
  Collecting = false;
  return true;
}

TEscapeCode TEscapeCodesVT100::DetectBracketed() {
  const char final = SequenceText.back();
  if (!BracketFinal[std::uint8_t(final)]) return ecNotCompleted;
  SplitParameters(Parameters);
  return DecideBracketed(final);
}

TEscapeCode TEscapeCodesVT100::DecideBracketed(char final) {
  static constexpr std::array<TEscapeCode, 256> Codes = FinalCodes(sfControl, false);
  if (const TEscapeCode code = Codes[std::uint8_t(final)]) return code;  // the moves and the rest that need no more
  const char first = Parameters.empty() ? 0 : Parameters[0][0];
  // J, K, g and n use their parameter up in deciding.
  const auto decided = [this](TEscapeCode code) {
    Parameters.clear();
    return code;
  };
  switch (final) {
    case 'J': return decided(first == 0 || first == '0' ? ecEraseScreenFrom : first == '2' ? ecEraseScreen : ecUnknown);
    case 'K': return decided(first == 0 || first == '0' ? ecEraseLineFrom : first == '2' ? ecEraseLine : ecUnknown);
    case 'g': return decided(first == 0 || first == '0' ? ecClearTab : first == '3' ? ecClearAllTabs : ecUnknown);
    case 'n':
      switch (first) {
        case '0': return decided(ecReportDeviceOK);
        case '3': return decided(ecReportDeviceFailure);
        case '5': return decided(ecQueryDevice);
        case '6': return decided(ecQueryCursorPos);
        default: return decided(ecUnknown);
      }
    case 'c':
      if (Parameters.empty() || (Parameters.size() == 1 && Parameters[0] == "0")) return ecIdentify;
      if (Parameters.size() == 2 && Parameters[0] == "?1") return ecIdentResponse;
      return ecUnknown;
    default: return ecUnknown;
  }
}

std::string TEscapeCodesVT100::EscCodeToStr(TEscapeCode Code, const TStrings* Params) {
  return Code < EscapeCodeCount ? EscapeCodeBytes(Code, Params) : std::string();
}

std::string EscapeCodeBytes(TEscapeCode code, const TStrings* params) {
#define COMPORT_ESCAPE_CODE(code, bytes, final, other) bytes,
  static const char* const Bytes[] = {COMPORT_ESCAPE_CODES(COMPORT_ESCAPE_CODE)};
#undef COMPORT_ESCAPE_CODE
  if (code < 0 || code >= ExtendedEscapeCodeCount || !*Bytes[code]) return {};
  std::string out(1, ESC);
  for (const char* b = Bytes[code]; *b; ++b) {
    if (b[0] == '%' && (b[1] == '1' || b[1] == '2')) {
      out += std::to_string(TEscapeCodes::GetParam(*++b - '0', params));
    } else {
      out += *b;
    }
  }
  return out;
}

const char* EscapeCodeName(TEscapeCode code) {
#define COMPORT_ESCAPE_CODE(code, bytes, final, other) #code,
  static const char* const Names[] = {COMPORT_ESCAPE_CODES(COMPORT_ESCAPE_CODE)};
#undef COMPORT_ESCAPE_CODE
  return code >= 0 && code < ExtendedEscapeCodeCount ? Names[code] : "ecExtended";
}
