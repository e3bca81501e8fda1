// Escape-code parsers: small state machines over received bytes that tell
// plain text from control sequences, and that translate sequence kinds back
// into the bytes to send. No widgets here.
#pragma once

#include "CPortEscCodes.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum TEscapeResult { erChar, erCode, erNothing };

// The kinds of control sequences, shared by the terminal and its parsers,
// from the list in CPortEscCodes.h.
enum TEscapeCode : int {
#define COMPORT_ESCAPE_CODE(code, bytes, final, other) code,
  COMPORT_ESCAPE_CODES(COMPORT_ESCAPE_CODE)
#undef COMPORT_ESCAPE_CODE
};
// The kinds of the VT52 and VT100 parsers; the VT102 parser's go on to
// ExtendedEscapeCodeCount.
constexpr int EscapeCodeCount = ecTest + 1;
#define COMPORT_ESCAPE_CODE(...) +1
constexpr int ExtendedEscapeCodeCount = 0 COMPORT_ESCAPE_CODES(COMPORT_ESCAPE_CODE);
#undef COMPORT_ESCAPE_CODE

// The kind each final byte means whatever the parameters (ecUnknown:
// none), from the list: of a control sequence (ESC [ ... final), or of an
// escape sequence of that byte alone (ESC final: the kinds the list sends
// as one byte), for the VT100 parser or, extended, the VT102 parser. Two
// kinds claiming one byte do not compile.
enum TSequenceForm { sfControl, sfEscape };
constexpr std::array<TEscapeCode, 256> FinalCodes(TSequenceForm form, bool extended) {
  struct TEntry {
    TEscapeCode Code;
    const char* Bytes;
    char Final, Other;
  };
#define COMPORT_ESCAPE_CODE(code, bytes, final, other) {code, bytes, final, other},
  constexpr TEntry entries[] = {COMPORT_ESCAPE_CODES(COMPORT_ESCAPE_CODE)};
#undef COMPORT_ESCAPE_CODE
  std::array<TEscapeCode, 256> codes{};
  const auto claim = [&codes](char final, TEscapeCode code) {
    if (codes[std::uint8_t(final)] != ecUnknown) throw "two kinds claim one final byte";
    codes[std::uint8_t(final)] = code;
  };
  for (const TEntry& e : entries) {
    if (!extended && e.Code >= EscapeCodeCount) continue;
    if (form == sfEscape) {
      if (e.Bytes[0] && !e.Bytes[1]) claim(e.Bytes[0], e.Code);
      continue;
    }
    if (e.Final) claim(e.Final, e.Code);
    if (extended && e.Other) claim(e.Other, e.Code);
  }
  return codes;
}

// A list of strings, kept in one buffer: a short list (every sequence's)
// lives inside the object, so that building and emptying one allocates
// nothing and costs little, as a parser needs for every sequence. Each
// entry's value as a decimal integer is worked out once, when it is added
// (what GetParam reads).
class TStrings {
public:
  TStrings() = default;
  TStrings(std::initializer_list<std::string_view> items) {
    for (std::string_view s : items) push_back(s);
  }
  std::size_t size() const { return FCount; }
  bool empty() const { return FCount == 0; }
  std::string_view operator[](std::size_t i) const {
    const TItem& item = At(i);
    return {Text() + item.Offset, item.Length};
  }
  // The entry as a decimal integer (an optional sign and digits; a number
  // beyond nine digits counts as 999999999, more than any grid holds);
  // fallback when it is none.
  int Number(std::size_t i, int fallback) const {
    const TItem& item = At(i);
    return item.IsNumber ? item.Value : fallback;
  }
  void push_back(std::string_view s) {
    const std::uint32_t offset = FTextSize;
    AppendText(s);
    AddPiece(offset, std::uint32_t(s.size()));
  }
  // Builds the list from pieces of one text, copied once: SetText, then
  // AddPiece for each entry.
  void SetText(std::string_view text) {
    clear();
    AppendText(text);
  }
  void AddPiece(std::uint32_t offset, std::uint32_t length) {
    Push(Item(std::string_view(Text() + offset, length), offset));
  }
  // The list of the pieces of text between separators (an empty text: no
  // pieces), each read as a number on the way: one pass over the text.
  void Split(std::string_view text, char separator) {
    const std::uint32_t size = std::uint32_t(text.size());
    if (size > ShortText) {  // longer than any sequence keeps
      SetText(text);
      for (std::uint32_t start = 0, i = 0; i <= size; ++i)
        if (i == size || text[i] == separator) AddPiece(start, i - start), start = i + 1;
      return;
    }
    clear();
    FTextSize = size;
    if (size == 0) return;
    // One pass: the text is copied and each piece read as a number.
    std::uint32_t start = 0;
    unsigned value = 0;
    bool number = true, digits = false, negative = false;
    for (std::uint32_t i = 0; i < size; ++i) {
      const char c = text[i];
      FShortText[i] = c;
      const unsigned digit = unsigned(c - '0');
      if (digit <= 9) {
        value = AddDigit(value, digit);
        digits = true;
      } else if (c == separator) {
        Push({start, i - start, negative ? -int(value) : int(value), number && digits});
        start = i + 1;
        value = 0;
        number = true;
        digits = negative = false;
      } else if ((c == '-' || c == '+') && i == start) {
        negative = c == '-';
      } else {
        number = false;
      }
    }
    Push({start, size - start, negative ? -int(value) : int(value), number && digits});
  }
  // Reads the parameters of a control sequence from text (the bytes after
  // its "["), each piece read as a number on the way, and says where the
  // first byte that is no parameter byte stands; npos when text ends first
  // or the pieces outgrow the inline store (the sequence then goes the long
  // way). Digits and ";" are parameter bytes, and with AnyParameterByte the
  // rest of 0x30-0x3F too (a piece holding one is no number). A ";" ends
  // its piece; with EmptyPieces a piece may be empty, else a ";" that would
  // end an empty piece stays in the next one.
  static constexpr std::size_t npos = std::size_t(-1);
  template <bool AnyParameterByte, bool EmptyPieces>
  std::size_t ScanParameters(const char* text, std::size_t count) {
    clear();
    const std::size_t end = std::min<std::size_t>(count, ShortText);
    // Counted in locals and stored once: text may alias the members, which
    // would otherwise go back to memory with every piece.
    std::uint32_t pieces = 0, start = 0;
    unsigned value = 0;
    bool number = true;
    std::size_t i = 0;
    for (; i < end; ++i) {
      const char c = text[i];
      const unsigned digit = unsigned(c - '0');
      if (digit <= 9) {
        value = AddDigit(value, digit);
      } else if (c == ';' && (EmptyPieces || i > start)) {
        if (pieces == FewItems - 1) return npos;  // the last piece must fit too
        const std::uint32_t at = std::uint32_t(i);
        FFew[pieces++] = {start, at - start, int(value), number && at > start};
        start = at + 1;
        value = 0;
        number = true;
      } else if (c == ';' || (AnyParameterByte && unsigned(c - 0x30) <= 0x0F)) {
        number = false;
      } else {
        break;
      }
    }
    if (i == end) return npos;
    const std::uint32_t size = std::uint32_t(i);
    if (size > start || (EmptyPieces && size > 0)) FFew[pieces++] = {start, size - start, int(value), number && size > start};
    FCount = pieces;
    if (size > 0) std::memcpy(FShortText, text, size);
    FTextSize = size;
    return i;
  }

  void clear() {
    FCount = 0;
    FTextSize = 0;
    if (!FMany.empty()) FMany.clear();
  }
  bool operator==(const TStrings& other) const {
    if (size() != other.size()) return false;
    for (std::size_t i = 0; i < size(); ++i)
      if ((*this)[i] != other[i]) return false;
    return true;
  }

private:
  struct TItem {
    std::uint32_t Offset;
    std::uint32_t Length;
    int Value;
    bool IsNumber;
  };
  static constexpr std::uint32_t FewItems = 16, ShortText = 96;
  const char* Text() const { return FTextSize <= ShortText ? FShortText : FLongText.data(); }
  const TItem& At(std::size_t i) const { return i < FewItems ? FFew[i] : FMany[i - FewItems]; }
  void Push(const TItem& item) {
    if (FCount < FewItems) [[likely]]
      FFew[FCount++] = item;
    else
      PushMany(item);
  }
  void PushMany(const TItem& item) {
    FMany.push_back(item);
    ++FCount;
  }
  // A number read digit by digit stops at 999999999, more than any grid holds.
  static constexpr unsigned AddDigit(unsigned value, unsigned digit) {
    return value < 100000000 ? value * 10 + digit : 999999999;
  }
  void AppendText(std::string_view s) {
    const std::uint32_t size = FTextSize + std::uint32_t(s.size());
    if (size <= ShortText) {
      if (!s.empty()) std::memcpy(FShortText + FTextSize, s.data(), s.size());
    } else {
      if (FTextSize <= ShortText) FLongText.assign(FShortText, FTextSize);
      FLongText.append(s);
    }
    FTextSize = size;
  }
  // FLongText holds the text only while FTextSize is beyond ShortText.
  // An optional sign and decimal digits; leading zeros do not count.
  static TItem Item(std::string_view s, std::uint32_t offset) {
    TItem item{offset, std::uint32_t(s.size()), 0, false};
    std::size_t i = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) return item;
    int value = 0;
    for (; i < s.size(); ++i) {
      const unsigned digit = unsigned(s[i] - '0');
      if (digit > 9) return item;
      value = int(AddDigit(unsigned(value), digit));
    }
    item.IsNumber = true;
    item.Value = s[0] == '-' ? -value : value;
    return item;
  }
  std::uint32_t FCount = 0;
  std::uint32_t FTextSize = 0;
  TItem FFew[FewItems];
  std::vector<TItem> FMany;  // entries beyond the first FewItems
  char FShortText[ShortText];
  std::string FLongText;     // the text once it outgrows FShortText
};

inline std::ostream& operator<<(std::ostream& out, const TStrings& list) {
  out << '{';
  for (std::size_t i = 0; i < list.size(); ++i) out << (i ? ", \"" : "\"") << list[i] << '"';
  return out << '}';
}

class TEscapeCodes {
public:
  virtual ~TEscapeCodes() = default;

  char LastChar = 0;
  TEscapeCode LastCode = ecUnknown;
  // The bytes after the ESC of the current or last sequence.
  std::string SequenceText;
  // The parameters of the last sequence, first parameter first.
  TStrings Parameters;

  virtual TEscapeResult ProcessChar(char Ch) = 0;
  // The bytes that send Code with Params (none: nullptr).
  virtual std::string EscCodeToStr(TEscapeCode Code, const TStrings* Params) = 0;
  // Parameter Num (from 1) as a decimal integer; 1 when there is none or it
  // is not a number (leading zeros are allowed).
  static int GetParam(int Num, const TStrings* Params) {
    if (!Params || Num < 1 || std::size_t(Num) > Params->size()) return 1;
    return Params->Number(std::size_t(Num - 1), 1);
  }

  // A sequence is never longer than this: at this many bytes after the ESC
  // it ends as ecUnknown, and what follows is plain text again.
  static constexpr std::size_t MaxSequence = 256;
};

class TEscapeCodesVT52 : public TEscapeCodes {
public:
  TEscapeResult ProcessChar(char Ch) override {
    if (!Collecting && Ch != 27) {
      LastChar = Ch;
      return erChar;
    }
    return ProcessSequenceChar(Ch);
  }
  std::string EscCodeToStr(TEscapeCode Code, const TStrings* Params) override;

protected:
  virtual TEscapeCode DetectCode();
  [[gnu::noinline]] TEscapeResult ProcessSequenceChar(char Ch);
  bool Collecting = false;
};

class TEscapeCodesVT100 : public TEscapeCodes {
public:
  TEscapeCodesVT100();
  // The common cases stay short (and inline where the terminal knows the
  // parser's type): plain text, and the parameter bytes of a bracketed
  // sequence, which decide nothing yet.
  TEscapeResult ProcessChar(char Ch) override {
    if (!Collecting) {
      if (Ch != 27) {
        LastChar = Ch;
        return erChar;
      }
    } else if (CollectingBracketed && !BracketFinal[std::uint8_t(Ch)] && SequenceText.size() + 1 < MaxSequence) {
      SequenceText += Ch;
      return erNothing;
    }
    return ProcessSequenceChar(Ch);
  }
  // Goes on with the sequence under way through the bytes of text, as
  // ProcessChar would one by one, until it ends (erCode) or text does
  // (erNothing); taken says how many bytes it used.
  TEscapeResult ContinueSequence(const char* text, std::size_t count, std::size_t& taken);
  std::string EscCodeToStr(TEscapeCode Code, const TStrings* Params) override;

protected:
  // The kind of SequenceText so far (ecNotCompleted while it goes on).
  virtual TEscapeCode DetectCode();
  virtual TEscapeCode DetectBracketed();
  virtual TEscapeCode DetectShort();
  // Splits the bytes between "[" and the final letter into parameters.
  virtual void SplitParameters(TStrings& params) const;
  // The kind of a bracketed sequence whose parameters are in Parameters, by
  // its final letter.
  TEscapeCode DecideBracketed(char final);
  // The common bracketed sequence whole in text ("[", digits and ";", a
  // final letter), its parameters read as it is scanned; false when it is
  // not one.
  bool QuickBracketed(const char* text, std::size_t count, std::size_t& taken);
  // Everything but plain text and parameter bytes.
  [[gnu::noinline]] TEscapeResult ProcessSequenceChar(char Ch);
  bool Collecting = false;
  bool CollectingBracketed = false;
  // The bytes that end a bracketed sequence (the ASCII letters); until one
  // comes, a byte only joins the sequence.
  bool BracketFinal[256] = {};
};

// The name of a sequence kind ("ecCursorUp"), for messages and tests.
const char* EscapeCodeName(TEscapeCode code);

// The bytes the list gives for a kind, its parameters filled in from
// params; empty for a kind it does not write.
std::string EscapeCodeBytes(TEscapeCode code, const TStrings* params);
