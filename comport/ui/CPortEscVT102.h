// The escape-code parser of the extended terminal: the VT100 parser's
// sequences and those of a VT102 with ANSI colours that today's serial
// consoles send (scroll regions, insert and delete, erasing parts of lines
// and screens, absolute cursor columns and rows, character sets).
#pragma once

#include "CPortEsc.h"

// The kinds it adds, numbered after the 36 of TEscapeCode.
inline constexpr TEscapeCode ecIndex = TEscapeCode(EscapeCodeCount + 0);         // ESC D
inline constexpr TEscapeCode ecNextLine = TEscapeCode(EscapeCodeCount + 1);      // ESC E
inline constexpr TEscapeCode ecReverseIndex = TEscapeCode(EscapeCodeCount + 2);  // ESC M
inline constexpr TEscapeCode ecScrollRegion = TEscapeCode(EscapeCodeCount + 3);  // CSI t;b r
inline constexpr TEscapeCode ecInsertLines = TEscapeCode(EscapeCodeCount + 4);   // CSI n L
inline constexpr TEscapeCode ecDeleteLines = TEscapeCode(EscapeCodeCount + 5);   // CSI n M
inline constexpr TEscapeCode ecInsertChars = TEscapeCode(EscapeCodeCount + 6);   // CSI n @
inline constexpr TEscapeCode ecDeleteChars = TEscapeCode(EscapeCodeCount + 7);   // CSI n P
inline constexpr TEscapeCode ecEraseChars = TEscapeCode(EscapeCodeCount + 8);    // CSI n X
inline constexpr TEscapeCode ecEraseLineTo = TEscapeCode(EscapeCodeCount + 9);   // CSI 1 K
inline constexpr TEscapeCode ecEraseScreenTo = TEscapeCode(EscapeCodeCount + 10);  // CSI 1 J
inline constexpr TEscapeCode ecCursorColumn = TEscapeCode(EscapeCodeCount + 11);   // CSI n G, CSI n `
inline constexpr TEscapeCode ecCursorRow = TEscapeCode(EscapeCodeCount + 12);      // CSI n d
inline constexpr TEscapeCode ecCursorNextLine = TEscapeCode(EscapeCodeCount + 13);  // CSI n E
inline constexpr TEscapeCode ecCursorPrevLine = TEscapeCode(EscapeCodeCount + 14);  // CSI n F
inline constexpr TEscapeCode ecCharsetG0 = TEscapeCode(EscapeCodeCount + 15);       // ESC ( c; the set in Parameters
inline constexpr TEscapeCode ecCharsetG1 = TEscapeCode(EscapeCodeCount + 16);       // ESC ) c
inline constexpr TEscapeCode ecKeypadApplication = TEscapeCode(EscapeCodeCount + 17);  // ESC =
inline constexpr TEscapeCode ecKeypadNumeric = TEscapeCode(EscapeCodeCount + 18);      // ESC >
inline constexpr TEscapeCode ecScrollUp = TEscapeCode(EscapeCodeCount + 19);           // CSI n S
inline constexpr TEscapeCode ecScrollDown = TEscapeCode(EscapeCodeCount + 20);         // CSI n T
inline constexpr int ExtendedEscapeCodeCount = EscapeCodeCount + 21;

class TEscapeCodesVT102 : public TEscapeCodesVT100 {
public:
  TEscapeCodesVT102();
  // As a VT102 does, a control character inside a sequence is carried out
  // at once and the sequence goes on; ESC starts it anew, CAN and SUB end
  // it. (The VT100 parser takes such bytes into the sequence.)
  TEscapeResult ProcessChar(char Ch) override {
    if (Collecting && std::uint8_t(Ch) < 0x20) return ControlInSequence(Ch);
    return TEscapeCodesVT100::ProcessChar(Ch);
  }
  std::string EscCodeToStr(TEscapeCode Code, const TStrings* Params) override;

protected:
  TEscapeCode DetectBracketed() override;
  TEscapeCode DetectShort() override;
  // Every ";" separates, so a parameter may be empty: it stands for the
  // sequence's default ("ESC[;4m" is 0 and 4, "ESC[;5H" row 1, column 5).
  void SplitParameters(TStrings& params) const override;

private:
  TEscapeResult ControlInSequence(char Ch);
};

// The name of an extended kind ("ecScrollRegion"), or of a specified one.
const char* ExtendedEscapeCodeName(TEscapeCode code);
