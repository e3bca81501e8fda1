#include "CPortEscVT102.h"

#include <cstdio>

namespace {

std::string Esc(const std::string& text) { return std::string(1, char(27)) + text; }

std::string Csi(int n, char final) {
  char text[32];
  std::snprintf(text, sizeof text, "[%d%c", n, final);
  return Esc(text);
}

}  // namespace

TEscapeCodesVT102::TEscapeCodesVT102() {
  // ICH and HPA end in bytes that are no letters.
  BracketFinal[std::uint8_t('@')] = true;
  BracketFinal[std::uint8_t('`')] = true;
}

TEscapeResult TEscapeCodesVT102::ControlInSequence(char Ch) {
  switch (Ch) {
    case 0x1B:  // ESC: a new sequence
      SequenceText.clear();
      CollectingBracketed = false;
      return erNothing;
    case 0x18:  // CAN and SUB: the sequence is dropped
    case 0x1A:
      Collecting = CollectingBracketed = false;
      return erNothing;
    default:
      LastChar = Ch;
      return erChar;
  }
}

TEscapeCode TEscapeCodesVT102::DetectShort() {
  const std::string& s = SequenceText;
  if (s.size() == 1) {
    switch (s[0]) {
      case 'D': return ecIndex;
      case 'E': return ecNextLine;
      case 'M': return ecReverseIndex;
      case '=': return ecKeypadApplication;
      case '>': return ecKeypadNumeric;
      case '(':
      case ')': return ecNotCompleted;
      default: break;
    }
  } else if (s.size() == 2 && (s[0] == '(' || s[0] == ')')) {
    Parameters.clear();
    Parameters.push_back(std::string_view(s.data() + 1, 1));
    return s[0] == '(' ? ecCharsetG0 : ecCharsetG1;
  }
  return TEscapeCodesVT100::DetectShort();
}

void TEscapeCodesVT102::SplitParameters(TStrings& params) const {
  const std::uint32_t size = std::uint32_t(SequenceText.size()) - 2;
  const char* text = SequenceText.data() + 1;
  params.SetText(std::string_view(text, size));
  if (size == 0) return;
  std::uint32_t start = 0;
  for (std::uint32_t i = 0; i <= size; ++i) {
    if (i == size || text[i] == ';') {
      params.AddPiece(start, i - start);
      start = i + 1;
    }
  }
}

TEscapeCode TEscapeCodesVT102::DetectBracketed() {
  const char final = SequenceText.back();
  if (!BracketFinal[std::uint8_t(final)]) return ecNotCompleted;
  SplitParameters(Parameters);
  const char first = Parameters.empty() ? 0 : Parameters[0][0];
  switch (final) {
    case 'J':
    case 'K': {
      // 0 or none: from the caret; 1: up to it; 2: all.
      const bool screen = final == 'J';
      const TEscapeCode code = first == 0 || first == '0' ? (screen ? ecEraseScreenFrom : ecEraseLineFrom)
                               : first == '1'             ? (screen ? ecEraseScreenTo : ecEraseLineTo)
                               : first == '2'             ? (screen ? ecEraseScreen : ecEraseLine)
                                                          : ecUnknown;
      Parameters.clear();
      return code;
    }
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
    default: return TEscapeCodesVT100::DetectBracketed();
  }
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
    default: return TEscapeCodesVT100::EscCodeToStr(Code, Params);
  }
}

const char* ExtendedEscapeCodeName(TEscapeCode code) {
  static const char* const Names[] = {
      "ecIndex",        "ecNextLine",      "ecReverseIndex",   "ecScrollRegion",   "ecInsertLines",
      "ecDeleteLines",  "ecInsertChars",   "ecDeleteChars",    "ecEraseChars",     "ecEraseLineTo",
      "ecEraseScreenTo", "ecCursorColumn", "ecCursorRow",      "ecCursorNextLine", "ecCursorPrevLine",
      "ecCharsetG0",    "ecCharsetG1",     "ecKeypadApplication", "ecKeypadNumeric", "ecScrollUp",
      "ecScrollDown"};
  if (code >= EscapeCodeCount && code < ExtendedEscapeCodeCount) return Names[code - EscapeCodeCount];
  return EscapeCodeName(code);
}
