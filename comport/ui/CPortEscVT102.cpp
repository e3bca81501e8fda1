#include "CPortEscVT102.h"

#include <cstring>

namespace {

constexpr char ESC = 27;

std::string Esc(const std::string& text) { return std::string(1, ESC) + text; }

bool IsParameterByte(std::uint8_t c) { return c >= 0x30 && c <= 0x3F; }
bool IsIntermediate(std::uint8_t c) { return c >= 0x20 && c <= 0x2F; }
bool IsFinal(std::uint8_t c) { return c >= 0x40 && c <= 0x7E; }

}  // namespace

void TEscapeCodesVT102::Add(char Ch) {
  // A sequence longer than the bound is still taken to its end; only its
  // text stops growing.
  if (SequenceText.size() < MaxSequence) SequenceText += Ch;
  ++FLength;
}

TEscapeResult TEscapeCodesVT102::Step(char Ch) {
  const std::uint8_t c = std::uint8_t(Ch);
  // What every state does with control characters.
  if (c == 0x18 || c == 0x1A) {  // CAN, SUB: the sequence is dropped
    FState = sGround;
    return erNothing;
  }
  if (FState == sString) {
    if (c == 7) return End(DetectString());  // BEL ends a string as ST does
    if (c == 27) {
      FState = sStringEscape;
      return erNothing;
    }
    if (c >= 0x20) Add(Ch);  // other controls inside a string are dropped
    return erNothing;
  }
  if (FState == sStringEscape) {
    if (c == '\\') return End(DetectString());
    // Any other byte after ESC ends the string unfinished and starts a
    // sequence of its own; the string is dropped.
    SequenceText.clear();
    FState = sEscape;
    return Step(Ch);
  }
  if (c == 27) {  // a new sequence
    SequenceText.clear();
    FState = sEscape;
    return erNothing;
  }
  if (c < 0x20) {  // carried out at once; the sequence goes on
    LastChar = Ch;
    return erChar;
  }
  if (c == 0x7F) return erNothing;  // DEL is ignored inside a sequence

  switch (FState) {
    case sEscape:
      FLength = 0;
      FMarker = 0;
      FIntermediates.clear();
      FIntermediateSeen = FMalformed = false;
      Add(Ch);
      switch (Ch) {
        case '[': FState = sCsi; return erNothing;
        case ']':
        case 'P':
        case '_':
        case '^':
        case 'X': FState = sString; return erNothing;
        case 'O':  // SS3: one more byte
        case 'N':  // SS2
          FState = sEscapeIntermediate;
          return erNothing;
        default: break;
      }
      if (IsIntermediate(c)) {
        FState = sEscapeIntermediate;
        return erNothing;
      }
      return End(DetectEscape());
    case sEscapeIntermediate:
      Add(Ch);
      if (IsIntermediate(c) && SequenceText[0] != 'O' && SequenceText[0] != 'N') return erNothing;
      return End(DetectEscape());
    case sCsi:
      if (IsParameterByte(c)) {
        if (FIntermediateSeen) FMalformed = true;
        Add(Ch);
        return erNothing;
      }
      if (IsIntermediate(c)) {
        FIntermediateSeen = true;
        if (FIntermediates.size() == 4) FMalformed = true;  // no sequence has so many
        else FIntermediates += Ch;
        Add(Ch);
        return erNothing;
      }
      if (IsFinal(c)) {
        Add(Ch);
        return End(DetectCsi());
      }
      FMalformed = true;  // a byte beyond ASCII: the sequence counts for nothing
      return erNothing;
    default: return erNothing;
  }
}

TEscapeResult TEscapeCodesVT102::ContinueSequence(const char* text, std::size_t count, std::size_t& taken) {
  std::size_t i = 0;
  if (FState == sEscape && count > 1 && text[0] == '[' && QuickCsi(text, count, taken)) return erCode;
  while (i < count && FState != sGround) {
    if (FState == sCsi && !FIntermediateSeen) {
      // A run of parameter bytes joins the sequence at once.
      std::size_t j = i;
      while (j < count && IsParameterByte(std::uint8_t(text[j]))) ++j;
      const std::size_t room = MaxSequence - std::min(SequenceText.size(), MaxSequence);
      SequenceText.append(text + i, std::min(j - i, room));
      FLength += j - i;
      i = j;
      if (i == count) break;
    }
    const TEscapeResult result = Step(text[i++]);
    if (result != erNothing) {
      taken = i;
      return result;
    }
  }
  taken = i;
  return erNothing;
}

bool TEscapeCodesVT102::QuickCsi(const char* text, std::size_t count, std::size_t& taken) {
  // Parameter bytes, then a final byte, all within the inline store.
  const std::size_t size = Parameters.ScanParameters<true, true>(text + 1, count - 1);
  if (size == TStrings::npos || !IsFinal(std::uint8_t(text[size + 1]))) return false;
  const std::size_t j = size + 1;  // the final byte
  SequenceText.clear();  // (append stays inline where assign does not)
  SequenceText.append(text, j + 1);
  FLength = j + 1;
  FIntermediates.clear();
  FIntermediateSeen = FMalformed = false;
  taken = j + 1;
  End(DecideCsi(text[j], j > 1 ? text[1] : 0));
  return true;
}

TEscapeCode TEscapeCodesVT102::DetectEscape() {
  Parameters.clear();
  const std::string& s = SequenceText;
  if (s.size() == 1) {
    static constexpr std::array<TEscapeCode, 256> Codes = FinalCodes(sfEscape, true);
    return s[0] == 'Z' ? ecIdentify : Codes[std::uint8_t(s[0])];  // ESC Z (DECID) asks as ESC [ c does
  }
  if (s.size() == 2) {
    switch (s[0]) {
      case '(':
      case ')':
        Parameters.push_back(std::string_view(s.data() + 1, 1));
        return s[0] == '(' ? ecCharsetG0 : ecCharsetG1;
      case '#': return s[1] == '8' ? ecTest : ecUnknown;
      case 'O':
        switch (s[1]) {
          case 'A': return ecAppCursorUp;
          case 'B': return ecAppCursorDown;
          case 'C': return ecAppCursorRight;
          case 'D': return ecAppCursorLeft;
          default: return ecUnknown;
        }
      default: return ecUnknown;
    }
  }
  return ecUnknown;  // G2 and G3 sets, code selection (ESC % G), 7- and 8-bit controls (ESC SP F)
}

void TEscapeCodesVT102::SplitParameters(TStrings& params) const {
  // The parameter bytes: after the "[", before any intermediate and the final.
  std::uint32_t size = std::uint32_t(SequenceText.size()) - 2 - std::uint32_t(FIntermediates.size());
  if (SequenceText.size() < 2 + FIntermediates.size()) size = 0;
  params.Split(std::string_view(SequenceText.data() + 1, size), ';');
}

TEscapeCode TEscapeCodesVT102::DetectCsi() {
  if (FMalformed || FLength > MaxSequence) {
    Parameters.clear();
    return ecUnknown;
  }
  SplitParameters(Parameters);
  return DecideCsi(SequenceText.back(), SequenceText.size() > 2 ? SequenceText[1] : 0);
}

TEscapeCode TEscapeCodesVT102::DecideCsi(char final, char marker) {
  static constexpr std::array<TEscapeCode, 256> Codes = FinalCodes(sfControl, true);
  FMarker = marker >= '<' && marker <= '?' ? marker : 0;
  // The moves, attributes and the rest that need no more come first: they
  // are most of what full-screen programs send.
  if (!FMarker && FIntermediates.empty())
    if (const TEscapeCode code = Codes[std::uint8_t(final)]) return code;
  if (!FIntermediates.empty()) {
    if (FIntermediates == "!" && final == 'p') return ecSoftReset;
    return ecUnknown;  // cursor style (SP q), conformance levels ...
  }
  // The first character of the first parameter, after its marker.
  std::string_view first = Parameters.empty() ? std::string_view() : Parameters[0];
  if (FMarker && !first.empty()) first.remove_prefix(1);
  const char head = first.empty() ? 0 : first[0];
  if (FMarker == '>') {
    if (final == 'c') return ecIdentifySecondary;
    return ecUnknown;  // key modifier options (CSI > 4 ; 2 m) are no attributes
  }
  if (FMarker == '<' || FMarker == '=') return ecUnknown;
  if (FMarker == '?') {
    switch (final) {
      case 'h': return ecSetMode;
      case 'l': return ecResetMode;
      case 'J':
      case 'K': break;  // selective erase: as the plain one
      case 'n':
        Parameters.clear();
        return head == '6' ? ecQueryCursorPos : ecUnknown;
      default: return ecUnknown;  // saving and restoring modes, ...
    }
  }
  switch (final) {
    case 'J':
    case 'K': {
      // 0 or none: from the caret; 1: up to it; 2: all.
      const bool screen = final == 'J';
      const TEscapeCode code = head == 0 || head == '0' ? (screen ? ecEraseScreenFrom : ecEraseLineFrom)
                               : head == '1'           ? (screen ? ecEraseScreenTo : ecEraseLineTo)
                               : head == '2' || head == '3' ? (screen ? ecEraseScreen : ecEraseLine)
                                                            : ecUnknown;
      Parameters.clear();
      return code;
    }
    case 'g': {
      const TEscapeCode code = head == 0 || head == '0' ? ecClearTab : head == '3' ? ecClearAllTabs : ecUnknown;
      Parameters.clear();
      return code;
    }
    case 'n': {
      const TEscapeCode code = head == '5' ? ecQueryDevice : head == '6' ? ecQueryCursorPos : ecUnknown;
      Parameters.clear();
      return code;
    }
    case 'c': return head == 0 || head == '0' ? ecIdentify : ecUnknown;
    default: return ecUnknown;  // window operations (t), ...
  }
}

TEscapeCode TEscapeCodesVT102::DetectString() {
  Parameters.clear();
  if (SequenceText.empty() || SequenceText[0] != ']') return ecControlString;
  // "n;text": the number, and the text after the first ";".
  const std::string_view body(SequenceText.data() + 1, SequenceText.size() - 1);
  const std::size_t semicolon = body.find(';');
  Parameters.push_back(body.substr(0, semicolon));
  Parameters.push_back(semicolon == std::string_view::npos ? std::string_view() : body.substr(semicolon + 1));
  return ecOsc;
}

std::string TEscapeCodesVT102::EscCodeToStr(TEscapeCode Code, const TStrings* Params) {
  const auto first = [Params](const char* fallback) {
    return Params && !Params->empty() ? std::string((*Params)[0]) : std::string(fallback);
  };
  switch (Code) {
    case ecCharsetG0: return Esc("(") + first("B");
    case ecCharsetG1: return Esc(")") + first("B");
    case ecOsc: {
      const std::string text = Params && Params->size() > 1 ? std::string((*Params)[1]) : "";
      return Esc("]" + first("0") + ";" + text) + Esc("\\");
    }
    case ecRequestParameters: return Esc("[" + std::to_string(Params && !Params->empty() ? Params->Number(0, 0) : 0) + "x");
    default: return EscapeCodeBytes(Code, Params);
  }
}
