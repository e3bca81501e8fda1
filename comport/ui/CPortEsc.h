// Escape-code parsers: small state machines over received bytes that tell
// plain text from control sequences, and that translate sequence kinds back
// into the bytes to send. No widgets here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum TEscapeResult { erChar, erCode, erNothing };

// The kinds of control sequences, shared by the terminal and its parsers.
enum TEscapeCode : int {
  ecUnknown, ecNotCompleted, ecCursorUp, ecCursorDown, ecCursorLeft, ecCursorRight, ecCursorHome,
  ecCursorMove, ecReverseLineFeed, ecAppCursorLeft, ecAppCursorRight, ecAppCursorUp, ecAppCursorDown,
  ecEraseLineFrom, ecEraseScreenFrom, ecEraseLine, ecEraseScreen, ecSetTab, ecClearTab, ecClearAllTabs,
  ecIdentify, ecIdentResponse, ecQueryDevice, ecReportDeviceOK, ecReportDeviceFailure, ecQueryCursorPos,
  ecReportCursorPos, ecAttributes, ecSetMode, ecResetMode, ecReset, ecSaveCaretAndAttr, ecRestoreCaretAndAttr,
  ecSaveCaret, ecRestoreCaret, ecTest
};
constexpr int EscapeCodeCount = ecTest + 1;

// A list of strings, kept in one buffer: adding and emptying allocate
// nothing once the list has grown, as a parser needs for every sequence.
// Each entry's value as a decimal integer is worked out once, when it is
// added (what GetParam reads).
class TStrings {
public:
  TStrings() = default;
  TStrings(std::initializer_list<std::string_view> items) {
    for (std::string_view s : items) push_back(s);
  }
  std::size_t size() const { return FItems.size(); }
  bool empty() const { return FItems.empty(); }
  std::string_view operator[](std::size_t i) const { return {FText.data() + FItems[i].Offset, FItems[i].Length}; }
  // The entry as a decimal integer (an optional sign and up to nine
  // digits); fallback when it is none.
  int Number(std::size_t i, int fallback) const { return FItems[i].IsNumber ? FItems[i].Value : fallback; }
  void push_back(std::string_view s) {
    FItems.push_back(Item(s, std::uint32_t(FText.size())));
    FText.append(s);
  }
  // Builds the list from pieces of one text, copied once: SetText, then
  // AddPiece for each entry.
  void SetText(std::string_view text) {
    FText.assign(text);
    FItems.clear();
  }
  void AddPiece(std::uint32_t offset, std::uint32_t length) {
    FItems.push_back(Item(std::string_view(FText.data() + offset, length), offset));
  }
  void clear() {
    FText.clear();
    FItems.clear();
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
  // An optional sign and decimal digits; leading zeros do not count, so a
  // number has at most nine digits that do (more is beyond any count here).
  static TItem Item(std::string_view s, std::uint32_t offset) {
    TItem item{offset, std::uint32_t(s.size()), 0, false};
    std::size_t i = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) return item;
    while (i + 1 < s.size() && s[i] == '0') ++i;
    if (s.size() - i > 9) return item;
    int value = 0;
    for (; i < s.size(); ++i) {
      const unsigned digit = unsigned(s[i] - '0');
      if (digit > 9) return item;
      value = value * 10 + int(digit);
    }
    item.IsNumber = true;
    item.Value = s[0] == '-' ? -value : value;
    return item;
  }
  std::string FText;
  std::vector<TItem> FItems;
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
  static int GetParam(int Num, const TStrings* Params);

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
