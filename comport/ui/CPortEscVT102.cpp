#include "CPortEscVT102.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char ESC = 27;

std::string Esc(const std::string& text) { return std::string(1, ESC) + text; }

std::string Csi(int n, char final) {
  char text[32];
  std::snprintf(text, sizeof text, "[%d%c", n, final);
  return Esc(text);
}

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
  // Parameter bytes, then a final byte, all within the inline store; each
  // parameter is read as a number on the way (a marker or a colon makes its
  // piece none).
  TStrings& p = Parameters;
  p.clear();
  const std::size_t end = std::min(count, std::size_t(1 + TStrings::ShortText));
  std::uint32_t start = 0;
  unsigned value = 0;
  bool number = true;
  std::size_t j = 1;
  for (; j < end; ++j) {
    const char c = text[j];
    const unsigned digit = unsigned(c - '0');
    if (digit <= 9) {
      value = value < 100000000 ? value * 10 + digit : 999999999;
    } else if (c == ';') {
      if (p.FCount == TStrings::FewItems - 1) return false;
      const std::uint32_t at = std::uint32_t(j - 1);
      p.FFew[p.FCount++] = {start, at - start, int(value), number && at > start};
      start = at + 1;
      value = 0;
      number = true;
    } else if (IsParameterByte(std::uint8_t(c))) {
      number = false;
    } else {
      break;
    }
  }
  if (j == end || !IsFinal(std::uint8_t(text[j]))) return false;
  if (j > 1) {
    const std::uint32_t size = std::uint32_t(j - 1);
    p.FFew[p.FCount++] = {start, size - start, int(value), number && size > start};
    std::memcpy(p.FShortText, text + 1, size);
    p.FTextSize = size;
  }
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
    switch (s[0]) {
      case 'D': return ecIndex;
      case 'E': return ecNextLine;
      case 'M': return ecReverseIndex;
      case '=': return ecKeypadApplication;
      case '>': return ecKeypadNumeric;
      case '7': return ecSaveCaretAndAttr;
      case '8': return ecRestoreCaretAndAttr;
      case 'H': return ecSetTab;
      case 'c': return ecReset;
      case 'Z': return ecIdentify;
      default: return ecUnknown;
    }
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
  FMarker = marker >= '<' && marker <= '?' ? marker : 0;
  if (!FMarker && FIntermediates.empty()) {
    // The moves first: they are most of what full-screen programs send.
    switch (final) {
      case 'H': return ecCursorHome;
      case 'm': return ecAttributes;
      case 'A': return ecCursorUp;
      case 'B': return ecCursorDown;
      case 'C': return ecCursorRight;
      case 'D': return ecCursorLeft;
      default: break;
    }
  }
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
    case 'A': return ecCursorUp;
    case 'B':
    case 'e': return ecCursorDown;
    case 'C':
    case 'a': return ecCursorRight;
    case 'D': return ecCursorLeft;
    case 'H': return ecCursorHome;
    case 'f': return ecCursorMove;
    case 'r': return ecScrollRegion;
    case 'L': return ecInsertLines;
    case 'M': return ecDeleteLines;
    case '@': return ecInsertChars;
    case 'P': return ecDeleteChars;
    case 'X': return ecEraseChars;
    case 'G':
    case '`': return ecCursorColumn;
    case 'd': return ecCursorRow;
    case 'E': return ecCursorNextLine;
    case 'F': return ecCursorPrevLine;
    case 'S': return ecScrollUp;
    case 'T': return ecScrollDown;
    case 'b': return ecRepeat;
    case 'I': return ecTabForward;
    case 'Z': return ecTabBackward;
    case 'x': return ecRequestParameters;
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
    case 'R': return ecReportCursorPos;
    case 'h': return ecSetMode;
    case 'l': return ecResetMode;
    case 'm': return ecAttributes;
    case 's': return ecSaveCaret;
    case 'u': return ecRestoreCaret;
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
  const int p1 = GetParam(1, Params), p2 = GetParam(2, Params);
  switch (int(Code)) {
    case ecIndex: return Esc("D");
    case ecNextLine: return Esc("E");
    case ecReverseIndex: return Esc("M");
    case ecScrollRegion: {
      char text[32];
      std::snprintf(text, sizeof text, "[%d;%dr", p1, p2);
      return Esc(text);
    }
    case ecInsertLines: return Csi(p1, 'L');
    case ecDeleteLines: return Csi(p1, 'M');
    case ecInsertChars: return Csi(p1, '@');
    case ecDeleteChars: return Csi(p1, 'P');
    case ecEraseChars: return Csi(p1, 'X');
    case ecEraseLineTo: return Esc("[1K");
    case ecEraseScreenTo: return Esc("[1J");
    case ecCursorColumn: return Csi(p1, 'G');
    case ecCursorRow: return Csi(p1, 'd');
    case ecCursorNextLine: return Csi(p1, 'E');
    case ecCursorPrevLine: return Csi(p1, 'F');
    case ecCharsetG0: return Esc("(") + (Params && !Params->empty() ? std::string((*Params)[0]) : "B");
    case ecCharsetG1: return Esc(")") + (Params && !Params->empty() ? std::string((*Params)[0]) : "B");
    case ecKeypadApplication: return Esc("=");
    case ecKeypadNumeric: return Esc(">");
    case ecScrollUp: return Csi(p1, 'S');
    case ecScrollDown: return Csi(p1, 'T');
    case ecOsc: {
      const std::string number = Params && !Params->empty() ? std::string((*Params)[0]) : "0";
      const std::string text = Params && Params->size() > 1 ? std::string((*Params)[1]) : "";
      return Esc("]" + number + ";" + text) + Esc("\\");
    }
    case ecIdentifySecondary: return Esc("[>c");
    case ecRequestParameters: return Csi(Params && !Params->empty() ? Params->Number(0, 0) : 0, 'x');
    case ecRepeat: return Csi(p1, 'b');
    case ecTabForward: return Csi(p1, 'I');
    case ecTabBackward: return Csi(p1, 'Z');
    case ecSoftReset: return Esc("[!p");
    default: return TEscapeCodesVT100::EscCodeToStr(Code, Params);
  }
}

const char* ExtendedEscapeCodeName(TEscapeCode code) {
  static const char* const Names[] = {
      "ecIndex",        "ecNextLine",      "ecReverseIndex",   "ecScrollRegion",   "ecInsertLines",
      "ecDeleteLines",  "ecInsertChars",   "ecDeleteChars",    "ecEraseChars",     "ecEraseLineTo",
      "ecEraseScreenTo", "ecCursorColumn", "ecCursorRow",      "ecCursorNextLine", "ecCursorPrevLine",
      "ecCharsetG0",    "ecCharsetG1",     "ecKeypadApplication", "ecKeypadNumeric", "ecScrollUp",
      "ecScrollDown",   "ecOsc",           "ecControlString",  "ecIdentifySecondary", "ecRequestParameters",
      "ecRepeat",       "ecTabForward",    "ecTabBackward",    "ecSoftReset"};
  if (code >= EscapeCodeCount && code < ExtendedEscapeCodeCount) return Names[code - EscapeCodeCount];
  return EscapeCodeName(code);
}
