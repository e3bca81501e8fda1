#include "CPortEsc.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char ESC = 27;

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string Esc(const char* text) { return std::string(1, ESC) + text; }

std::string EscFormat(const char* format, int a, int b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return Esc(text);
}

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
    switch (s[0]) {
      case '#':
      case 'O': return ecNotCompleted;
      case '7': return ecSaveCaretAndAttr;
      case '8': return ecRestoreCaretAndAttr;
      case 'H': return ecSetTab;
      case 'c': return ecReset;
      default: return ecUnknown;
    }
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
  // Digits and ";" only, split as SplitParameters does: a ";" ends a
  // parameter that has something in it, and else stays in it.
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
    } else if (c != ';') {
      break;
    } else if (std::uint32_t(j - 1) > start) {
      if (p.FCount == TStrings::FewItems) return false;
      p.FFew[p.FCount++] = {start, std::uint32_t(j - 1) - start, int(value), number};
      start = std::uint32_t(j);
      value = 0;
      number = true;
    } else {
      number = false;  // a ";" that starts a parameter stays in it
    }
  }
  if (j == end || !BracketFinal[std::uint8_t(text[j])] || p.FCount == TStrings::FewItems) return false;
  if (std::uint32_t(j - 1) > start) p.FFew[p.FCount++] = {start, std::uint32_t(j - 1) - start, int(value), number};
  std::memcpy(p.FShortText, text + 1, j - 1);
  p.FTextSize = std::uint32_t(j - 1);
  SequenceText.append(text, j + 1);
  taken = j + 1;
  LastCode = DecideBracketed(text[j]);
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
  switch (final) {  // the moves first: they need no more
    case 'A': return ecCursorUp;
    case 'B': return ecCursorDown;
    case 'C': return ecCursorRight;
    case 'D': return ecCursorLeft;
    case 'H': return ecCursorHome;
    case 'f': return ecCursorMove;
    default: break;
  }
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
    case 'R': return ecReportCursorPos;
    case 'h': return ecSetMode;
    case 'l': return ecResetMode;
    case 'm': return ecAttributes;
    case 's': return ecSaveCaret;
    case 'u': return ecRestoreCaret;
    default: return ecUnknown;
  }
}

std::string TEscapeCodesVT100::EscCodeToStr(TEscapeCode Code, const TStrings* Params) {
  const int p1 = GetParam(1, Params), p2 = GetParam(2, Params);
  switch (Code) {
    case ecCursorUp: return Esc("[A");
    case ecCursorDown: return Esc("[B");
    case ecCursorLeft: return Esc("[D");
    case ecCursorRight: return Esc("[C");
    case ecCursorHome: return Esc("[H");
    case ecCursorMove: return EscFormat("[%d;%df", p1, p2);
    case ecAppCursorLeft: return Esc("OD");
    case ecAppCursorRight: return Esc("OC");
    case ecAppCursorUp: return Esc("OA");
    case ecAppCursorDown: return Esc("OB");
    case ecEraseLineFrom: return Esc("[K");
    case ecEraseScreenFrom: return Esc("[J");
    case ecEraseLine: return Esc("[2K");
    case ecEraseScreen: return Esc("[2J");
    case ecSetTab: return Esc("H");
    case ecClearTab: return Esc("[g");
    case ecClearAllTabs: return Esc("[3g");
    case ecIdentify: return Esc("[c");
    case ecIdentResponse: return EscFormat("[?1;%dc", p1);
    case ecQueryDevice: return Esc("[5n");
    case ecReportDeviceOK: return Esc("[0n");
    case ecReportDeviceFailure: return Esc("[3n");
    case ecQueryCursorPos: return Esc("[6n");
    case ecReportCursorPos: return EscFormat("[%d;%dR", p1, p2);
    case ecAttributes: return Esc("[m");
    case ecSetMode: return Esc("[h");
    case ecResetMode: return Esc("[l");
    case ecReset: return Esc("c");
    case ecSaveCaretAndAttr: return Esc("7");
    case ecRestoreCaretAndAttr: return Esc("8");
    case ecSaveCaret: return Esc("[s");
    case ecRestoreCaret: return Esc("[u");
    case ecTest: return Esc("#8");
    default: return {};
  }
}

const char* EscapeCodeName(TEscapeCode code) {
  static const char* const Names[] = {
      "ecUnknown", "ecNotCompleted", "ecCursorUp", "ecCursorDown", "ecCursorLeft", "ecCursorRight", "ecCursorHome",
      "ecCursorMove", "ecReverseLineFeed", "ecAppCursorLeft", "ecAppCursorRight", "ecAppCursorUp", "ecAppCursorDown",
      "ecEraseLineFrom", "ecEraseScreenFrom", "ecEraseLine", "ecEraseScreen", "ecSetTab", "ecClearTab",
      "ecClearAllTabs", "ecIdentify", "ecIdentResponse", "ecQueryDevice", "ecReportDeviceOK",
      "ecReportDeviceFailure", "ecQueryCursorPos", "ecReportCursorPos", "ecAttributes", "ecSetMode", "ecResetMode",
      "ecReset", "ecSaveCaretAndAttr", "ecRestoreCaretAndAttr", "ecSaveCaret", "ecRestoreCaret", "ecTest"};
  return code >= 0 && code < EscapeCodeCount ? Names[code] : "ecExtended";
}
